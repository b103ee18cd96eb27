// The debug-print base: objects that derive from it log through the process
// log writer with their own prefix ("FILEREADER: ...").
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/agent/KxLog.h"

class TDebuggable {
public:
    TDebuggable() = default;
    virtual ~TDebuggable() = default;

    void setDebugPrefix(const char* prefix) { m_prefix = prefix ? prefix : ""; }
    const std::string& getDebugPrefix() const { return m_prefix; }

    // Writes one message at `level` (the level query is asked before
    // anything is formatted; -1 is always written).
    virtual void debug(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4))) {
        if (!KxLog::Enabled(level))
            return;
        char small[1024];
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(small, sizeof small, fmt, ap);
        va_end(ap);
        if (n < 0)
            return;
        const char* text = small;
        std::string big;
        if (static_cast<size_t>(n) >= sizeof small) {
            big.resize(static_cast<size_t>(n) + 1);
            va_start(ap, fmt);
            vsnprintf(&big[0], big.size(), fmt, ap);
            va_end(ap);
            big.resize(static_cast<size_t>(n));
            text = big.c_str();
        }
        if (m_prefix.empty())
            KxLog::Write(level, __PRETTY_FUNCTION__, __LINE__, "%s", text);
        else
            KxLog::Write(level, __PRETTY_FUNCTION__, __LINE__, "%s: %s", m_prefix.c_str(), text);
    }

private:
    std::string m_prefix;
};
