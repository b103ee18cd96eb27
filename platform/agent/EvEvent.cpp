#include "platform/agent/EvEvent.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/base/CTyError.h"

void EvDebug::DebugLvl(const char* function, int level, const char* fmt, ...) {
    if (!KxLog::Enabled(level))
        return;
    va_list ap;
    va_start(ap, fmt);
    KxLog::VWrite(level, function ? function : "?", 0, fmt, ap);
    va_end(ap);
}

void EvDebug::VDebugLvl(const char* function, int level, const char* fmt, va_list ap) {
    if (!KxLog::Enabled(level))
        return;
    KxLog::VWrite(level, function ? function : "?", 0, fmt, ap);
}

void EvDebug::Error(const char* title, const char* fmt, ...) {
    int savedErrno = errno;  // callers often log errno right after this
    va_list ap;
    va_start(ap, fmt);
    std::string text = CTyError::FormatV(fmt, ap);
    va_end(ap);
    KxLog::Write(-1, __PRETTY_FUNCTION__, __LINE__, "%s: %s", title ? title : "?", text.c_str());
    errno = savedErrno;
}

void EvEvent::raise(int severity, unsigned id, const char* fmt, ...) {
    int savedErrno = errno;
    ++m_count;
    va_list ap;
    va_start(ap, fmt);
    std::string text = CTyError::FormatV(fmt, ap);
    va_end(ap);
    if (m_source.empty())
        KxLog::Write(-1, __PRETTY_FUNCTION__, __LINE__, "EVENT sev=%d id=0x%x: %s", severity, id, text.c_str());
    else
        KxLog::Write(-1, __PRETTY_FUNCTION__, __LINE__, "EVENT sev=%d id=0x%x [%s]: %s", severity, id, m_source.c_str(),
                     text.c_str());
    errno = savedErrno;
}
