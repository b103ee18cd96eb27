// The reference snapshots of a subclient's NAS backup paths, as stored with
// the subclient between jobs.
//
// Text form (TAB-separated lines, nothing escaped, so no field may hold a
// TAB, a line feed, a carriage return or a NUL byte):
//
//     RXREFTIMES<TAB>1
//     prevjob<TAB><previous job id, decimal>
//     ref<TAB><backup path><TAB><previous volume path><TAB><previous full><TAB><previous incremental>
//
// one "ref" line per element, in order. Reading is strict: apart from empty
// lines and lines beginning with '#', any other line refuses the whole text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/index/CNMessageBase.h"

namespace NAS {

struct Backup_ReferenceTimes {
    std::string backupPath;
    std::string prevVolumePath;
    std::string prevFullSnap;
    std::string prevIncrSnap;
};

class Backup_ReferenceTimesList : public CNMessageBase {
public:
    int64_t prevJobId = 0;
    std::vector<Backup_ReferenceTimes> elements;

    const char* messageType() const override { return "NAS.Backup_ReferenceTimesList"; }
    // The text form; "" when a field cannot be written.
    std::string toText() const override;
    // Replaces the list by the one `text` holds; false (and the list left
    // empty) when the text is not a valid form.
    bool fromText(const std::string& text);
};

}  // namespace NAS
