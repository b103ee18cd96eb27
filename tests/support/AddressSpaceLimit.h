// Runs part of a test in a child process whose address space (RLIMIT_AS) is
// capped some bytes above what the child maps at its start, so that a test
// can assert a memory bound, or that running out of memory is answered
// rather than thrown, without endangering the test program. Under
// AddressSanitizer, which reserves terabytes, no cap can be set: callers
// skip when kAddressSpaceLimitWorks is false.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// The child's exit status (body's answer, 0 to 252; 253 when body threw),
// 256 + the signal that ended it, or -1 when it could not run.
inline int RunWithAddressSpaceLimit(size_t extra, const std::function<int()>& body) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        size_t pages = 0;
        FILE* statm = fopen("/proc/self/statm", "r");  // its first number: the pages mapped
        if (statm == nullptr || fscanf(statm, "%zu", &pages) != 1)
            _exit(254);
        fclose(statm);
        const rlim_t cap = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + extra);
        const struct rlimit limit = {cap, cap};
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(254);
        int rc = 253;
        try {
            rc = body() & 0xff;
        } catch (...) {
        }
        _exit(rc);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 256 + WTERMSIG(status);
}

}  // namespace testfiles
