// A caller's hook that splits a line of a failures file into the item's path
// and its error number, for files not written in the "path<delim>code" form.
#pragma once

#include <string>

#include "platform/base/CTyError.h"
#include "platform/base/Export.h"

class RUXEN_EXPORT KxErrorControlCallback {
public:
    virtual ~KxErrorControlCallback() = default;

    // The default takes the whole line as the path and 0 as the code.
    virtual CTyError ParseFailedFileEntry(const std::string& line, char /*delimiter*/, std::string& path, long& code) {
        path = line;
        code = 0;
        return CTyError();
    }
};
