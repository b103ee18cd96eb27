// The process-wide log writer.
//
// Every call site asks the level query first (KxLog::Enabled, a compare
// against a cached integer) and formats nothing when the answer is no.
// Level -1 marks failures and is always written. A line carries the process
// id, the level, the calling function's signature, the source line and the
// formatted message, and is written with one write(2) so that lines of
// parent and child processes sharing one file do not interleave. A message
// longer than kMaxMessageBytes is cut there and marked "... [N bytes cut]",
// so an over-long argument (a registry line, a path) cannot blow up the log;
// control bytes in the message are escaped as "\xNN" (platform/PrintableText),
// so a name holding a line feed or a terminal sequence stays on its line;
// writing a line allocates nothing.
//
// Writing a line leaves errno as it was, so a caller may log a failure and
// return -1 with the errno of the failing call.
//
// Where lines go (KxLog::Settings): a log file, named by the program's
// option, else by RUXEN_LOG_FILE, else by the registry's
// FileSystemAgent/sLogFile, takes the lines up to the log level (the
// program's option, else RUXEN_LOG_LEVEL, else 1). Without a log file,
// standard error takes the lines up to the level asked for, and when none
// was asked only the failure lines (-1), so that a run without failures
// writes nothing there.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#include "platform/base/Export.h"

// The registry key (section FileSystemAgent) naming the log file.
constexpr char kLogFileKey[] = "sLogFile";

class RUXEN_EXPORT KxLog {
public:
    static constexpr size_t kMaxMessageBytes = 4096;
    static constexpr int kMinLevel = -1;
    static constexpr int kMaxLevel = 100;
    static constexpr int kDefaultFileLevel = 1;
    static constexpr int kDefaultStderrLevel = -1;  // failures only

    // Where the log goes and up to which level.
    struct Settings {
        std::string file;  // empty: standard error
        int level = kDefaultStderrLevel;
        int fd = -1;  // `file` opened already by the caller: Apply hands it to the log

    };

    // The level query: messages of level L are written when L <= Query().
    static int Query() { return s_level; }
    static bool Enabled(int level) { return level < 0 || level <= s_level; }

    static void Write(int level, const char* function, int line, const char* fmt, ...)
        __attribute__((format(printf, 4, 5)));
    static void VWrite(int level, const char* function, int line, const char* fmt, va_list ap)
        __attribute__((format(printf, 4, 0)));

    static void SetLevel(int level) { s_level = level; }

    // Destinations. Opening a file that cannot be opened keeps the old one
    // and answers false.
    static void UseStderr();
    static bool UseFile(const char* path);
    // A file the caller opened for appending (the tools open it by the
    // lookup rule of platform/os/DirWalk.h); the log owns `fd` from now on.
    static void UseDescriptor(int fd);

    // A level: a whole decimal number from kMinLevel to kMaxLevel.
    static bool ParseLevel(const char* text, int* level);
    // The settings from a program's options (null: not given), the
    // environment and the registry, in that order. false with the reason when
    // the level given is not one.
    static bool ResolveSettings(const char* fileOption, const char* levelOption, Settings* out, std::string* error);
    // Writes lines to the settings' destination from now on, up to their
    // level. false with the reason, nothing changed, when the file cannot be
    // opened (it is appended to, never truncated).
    static bool Apply(const Settings& settings, std::string* error);
    // ResolveSettings without options, then Apply: for a host without
    // options of its own. false with the reason.
    static bool ConfigureFromEnvironment(std::string* error);

private:
    static int s_level;
};

#define KXLOG(level, ...)                                                      \
    do {                                                                       \
        if (KxLog::Enabled(level))                                             \
            KxLog::Write((level), __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__); \
    } while (0)
