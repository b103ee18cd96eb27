// The process-wide filter that every per-item failure report consults before
// an item is counted as failed or written to the failures file.
//
// It holds three pieces of state for the whole process: the list of error
// numbers never to report (registry value backupDoNotReportFileError of
// section FileSystemAgent, read once by initialize), the ignore-ENOENT switch
// and the errors-tolerated switch. While both switches are on, ENOENT (2) is
// never reported. Everything is static: there is one filter per process,
// set up by the job object's initialisation and tuned before the stream
// pass. A process does its backup work on one thread; nothing is locked.
#pragma once

#include <string>

#include "platform/base/Export.h"
#include "platform/base/KxTypes.h"

class KXJobCtrlClient;
class KxErrorControl;

class RUXEN_EXPORT ErrorController {
public:
    // Reads the do-not-report list, once per process; later calls change
    // nothing. The arguments identify the caller and do not change what is
    // done. Always answers 0.
    static int initialize(int id, KXJobCtrlClient* jobCtrl, ULONG clientId, ULONG appType, const std::string& dir);

    // true = report the error. Consults the ENOENT rule and the
    // do-not-report list. Before initialize every error but an ignored
    // ENOENT is reported (and "not initialized" is logged once).
    static bool shouldReportError(int code);
    // true = report the error. Consults the ENOENT rule only.
    static bool shouldReportError(const std::string& path, const int& code);

    static void setErrorsTolerated(bool tolerated);
    static void setIgnoreENOENT(bool ignore);

    // The filter keeps no rules object: always null.
    static KxErrorControl* GetKxErrorControl();

    ErrorController() = delete;  // the filter is the process's, never an object
};
