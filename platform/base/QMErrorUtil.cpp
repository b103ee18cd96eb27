#include "platform/base/QMErrorUtil.h"

#include <cstdarg>
#include <string>

CTyError QMErrorUtil::ErrorErrNo(const QMCodeLocation& location, int errnum, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = CTyError::FormatV(fmt, ap);
    va_end(ap);
    return CTyError(CTyError::FacilityErrNo, errnum, location, std::move(text));
}

CTyError QMErrorUtil::ErrorWin32(const QMCodeLocation& location, int number, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = CTyError::FormatV(fmt, ap);
    va_end(ap);
    return CTyError(CTyError::FacilityWin32, number, location, std::move(text));
}
