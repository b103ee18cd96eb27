// Runs a piece of a test in a child process whose address space is capped
// (RLIMIT_AS), so that a test can assert a memory bound, or that running
// out of memory is answered rather than thrown, without endangering the
// test program itself.
//
// The cap is given above what the child maps when it starts (its VmSize),
// so that the libraries a test program happens to map do not count. Under
// AddressSanitizer, which reserves terabytes of address space, no cap can
// be set: kAddressSpaceLimitWorks is false there and callers skip.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

namespace testfiles {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSpaceLimitWorks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSpaceLimitWorks = false;
#else
constexpr bool kAddressSpaceLimitWorks = true;
#endif
#else
constexpr bool kAddressSpaceLimitWorks = true;
#endif

// The process's mapped bytes now (VmSize), 0 when unknown.
inline size_t MappedBytes() {
    FILE* f = fopen("/proc/self/status", "r");
    size_t kib = 0;
    char line[256];
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
        if (strncmp(line, "VmSize:", 7) == 0)
            sscanf(line + 7, "%zu", &kib);
    if (f != nullptr)
        fclose(f);
    return kib * 1024;
}

// Runs `body` in a child allowed `extra` bytes of address space beyond what
// it maps at the start. The child's exit status (body's answer, 0 to 252;
// 253 when body threw), or 256 + the signal that ended it, or -1 when the
// child could not run.
constexpr int kThrew = 253;
inline int RunWithAddressSpaceLimit(size_t extra, const std::function<int()>& body) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const rlim_t cap = static_cast<rlim_t>(MappedBytes() + extra);
        const struct rlimit limit = {cap, cap};
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(254);
        int rc = kThrew;
        try {
            rc = body() & 0xff;
        } catch (...) {
        }
        _exit(rc);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 256 + WTERMSIG(status);
}

}  // namespace testfiles
