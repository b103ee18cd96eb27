// Factories of CTyError values.
//
// Both take the caller's positive number (an errno, or a numbered error such
// as 774 for bad or unreadable input) and always answer an error:
// IsError() is true even for the number 0, which is kept as 0 (ErrNo() or
// Win32Code() then answer 0 and Facility() still tells the kind).
#pragma once

#include "platform/base/CTyError.h"
#include "platform/base/QMCodeLocation.h"

class QMErrorUtil {
public:
    static CTyError ErrorErrNo(const QMCodeLocation& location, int errnum, const char* fmt, ...)
        __attribute__((format(printf, 3, 4)));
    static CTyError ErrorWin32(const QMCodeLocation& location, int number, const char* fmt, ...)
        __attribute__((format(printf, 3, 4)));
};
