#include "platform/agent/KxLog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <time.h>
#include <unistd.h>

#include "platform/agent/KXPlatformInfo.h"
#include "platform/base/FdIO.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/TestControl.h"
#include "platform/text/PrintableText.h"

int KxLog::s_level = KxLog::kDefaultFileLevel;  // until a program applies its settings

namespace {

struct Writer {
    std::mutex mu;
    int fd = STDERR_FILENO;
    bool ownFd = false;
    bool capturing = false;
    std::string captured;
};

Writer& writer() {
    static ruxen::NoDestructor<Writer> w;  // logging may run in exit paths
    return *w;
}

}  // namespace

void KxLog::Write(int level, const char* function, int line, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    VWrite(level, function, line, fmt, ap);
    va_end(ap);
}

void KxLog::VWrite(int level, const char* function, int line, const char* fmt, va_list ap) {
    if (!Enabled(level))
        return;
    int savedErrno = errno;  // logging must not disturb the caller's errno

    // Prefix, message and the cut mark all fit here: a line never grows
    // with its arguments (a 5 MB registry line stays a short log line).
    constexpr size_t kPrefixBytes = 1024;
    constexpr size_t kMarkBytes = 64;
    char buf[kPrefixBytes + kMaxMessageBytes + kMarkBytes];
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    localtime_r(&ts.tv_sec, &tmv);
    int n = snprintf(buf, kPrefixBytes, "%d %02d/%02d %02d:%02d:%02d [%d] %s:%d ", static_cast<int>(getpid()),
                     tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, level, function ? function : "?",
                     line);
    size_t len = n < 0 ? 0 : std::min(static_cast<size_t>(n), kPrefixBytes - 1);
    // Control bytes of names and collect lines in the message are escaped
    // ("\x0a"), so that no argument can end the line or forge another.
    char raw[kMaxMessageBytes + 1];
    int body = vsnprintf(raw, sizeof raw, fmt, ap);
    size_t rawLen = body > 0 ? std::min(static_cast<size_t>(body), kMaxMessageBytes) : 0;
    size_t whole = body > 0 ? static_cast<size_t>(body) : 0;
    if (rawLen == whole && rawLen > 0 && raw[rawLen - 1] == '\n')
        --rawLen, --whole;  // the message's own line end
    size_t used = 0;
    len += ruxen::CopyControlsEscaped(buf + len, kMaxMessageBytes, raw, rawLen, &used);
    if (used < whole)
        len += static_cast<size_t>(snprintf(buf + len, kMarkBytes, "... [%zu bytes cut]", whole - used));
    buf[len++] = '\n';

    Writer& w = writer();
    std::lock_guard<std::mutex> lock(w.mu);
    if (w.capturing)
        w.captured.append(buf, len);
    else
        (void)ruxen::writeAll(w.fd, buf, len);  // nowhere left to report a failed log write
    errno = savedErrno;
}

void KxLog::UseStderr() {
    Writer& w = writer();
    std::lock_guard<std::mutex> lock(w.mu);
    if (w.ownFd)
        close(w.fd);
    w.fd = STDERR_FILENO;
    w.ownFd = false;
}

bool KxLog::UseFile(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    UseDescriptor(fd);
    return true;
}

void KxLog::UseDescriptor(int fd) {
    Writer& w = writer();
    std::lock_guard<std::mutex> lock(w.mu);
    if (w.ownFd)
        close(w.fd);
    w.fd = fd;
    w.ownFd = true;
}

bool KxLog::ParseLevel(const char* text, int* level) {
    if (!text || !*text)
        return false;
    const char* digits = text[0] == '-' ? text + 1 : text;
    if (!*digits || strspn(digits, "0123456789") != strlen(digits) || strlen(digits) > 3)
        return false;
    const long v = strtol(text, nullptr, 10);
    if (v < kMinLevel || v > kMaxLevel)
        return false;
    *level = static_cast<int>(v);
    return true;
}

bool KxLog::ResolveSettings(const char* fileOption, const char* levelOption, Settings* out, std::string* error) {
    Settings s;
    const char* env = getenv("RUXEN_LOG_FILE");
    if (fileOption && *fileOption)
        s.file = fileOption;
    else if (env && *env)
        s.file = env;
    else
        KXPlatformInfo::getString(kFileSystemAgentSection, kLogFileKey, s.file);
    const char* from = levelOption ? "the log level" : "RUXEN_LOG_LEVEL";
    const char* level = levelOption ? levelOption : getenv("RUXEN_LOG_LEVEL");
    if (!level) {
        s.level = s.file.empty() ? kDefaultStderrLevel : kDefaultFileLevel;
    } else if (!ParseLevel(level, &s.level)) {
        std::string shown;
        ruxen::AppendControlsEscaped(shown, level, strlen(level));
        *error = std::string(from) + " \"" + shown + "\" is not a level: a whole number from " +
                 std::to_string(kMinLevel) + " (failures only) to " + std::to_string(kMaxLevel);
        return false;
    }
    *out = std::move(s);
    return true;
}

bool KxLog::Apply(const Settings& settings, std::string* error) {
    if (settings.file.empty()) {
        UseStderr();
    } else if (settings.fd >= 0) {
        UseDescriptor(settings.fd);
    } else if (!UseFile(settings.file.c_str())) {
        *error = "cannot open the log file " + settings.file + ": " + strerror(errno);
        return false;
    }
    s_level = settings.level;
    return true;
}

bool KxLog::ConfigureFromEnvironment(std::string* error) {
    Settings settings;
    return ResolveSettings(nullptr, nullptr, &settings, error) && Apply(settings, error);
}

void ruxen::testcontrol::StartLogCapture() {
    Writer& w = writer();
    std::lock_guard<std::mutex> lock(w.mu);
    w.capturing = true;
    w.captured.clear();
}

std::string ruxen::testcontrol::TakeCapturedLog() {
    Writer& w = writer();
    std::lock_guard<std::mutex> lock(w.mu);
    std::string out;
    out.swap(w.captured);
    return out;
}

void ruxen::testcontrol::StopLogCapture() {
    Writer& w = writer();
    std::lock_guard<std::mutex> lock(w.mu);
    w.capturing = false;
    w.captured.clear();
}

namespace {

// The log as a fresh process has it: standard error, level 1, nothing captured.
void ResetLog() {
    ruxen::testcontrol::StopLogCapture();
    KxLog::UseStderr();
    KxLog::SetLevel(KxLog::kDefaultFileLevel);
}

const ruxen::testcontrol::Registration kTestReset("log destination, level and capture", &ResetLog);

}  // namespace
