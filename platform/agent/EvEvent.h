// Events and the debug log of objects that hold an event object.
//
// EvDebug writes through the process-wide log writer (KxLog): it asks the
// level query before it formats, and the line names the function the caller
// passes (there is no source line, so the line number field is 0). Use the
// EVDEBUG macro where the arguments themselves are costly: it asks the query
// before they are evaluated.
//
// EvEvent stands in for the platform's numbered major, minor and critical
// events: raising one writes "EVENT sev=<severity> id=0x<id>: <text>" as a
// failure line (level -1, always written) and counts it. Objects keep a copy
// of the job's event object; a copy starts with the original's count.
#pragma once

#include <cstdarg>
#include <string>

#include "platform/agent/KxLog.h"
#include "platform/base/Export.h"

class EvDebug {
public:
    // A debug message of the given level, written when the level query
    // allows it (level -1 always).
    static void DebugLvl(const char* function, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    static void VDebugLvl(const char* function, int level, const char* fmt, va_list ap)
        __attribute__((format(printf, 3, 0)));

    // An error message under a title ("Scan", "Parse FilterFile"), always
    // written: "<title>: <message>".
    static void Error(const char* title, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
};

#define EVDEBUG(level, ...)                                               \
    do {                                                                  \
        if (KxLog::Enabled(level))                                        \
            EvDebug::DebugLvl(__PRETTY_FUNCTION__, (level), __VA_ARGS__); \
    } while (0)

class RUXEN_EXPORT EvEvent {
public:
    // Severities of raised events.
    static constexpr int Critical = 1;
    static constexpr int Major = 2;
    static constexpr int Minor = 3;

    EvEvent() = default;
    // An event object whose lines carry a source name ("ruxenParent").
    explicit EvEvent(std::string source) : m_source(std::move(source)) {}

    void raise(int severity, unsigned id, const char* fmt, ...) __attribute__((format(printf, 4, 5)));

    const std::string& source() const { return m_source; }

    // Test accessor: how many events this object raised.
    unsigned long count() const { return m_count; }

private:
    std::string m_source;
    unsigned long m_count = 0;
};
