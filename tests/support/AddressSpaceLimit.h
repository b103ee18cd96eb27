// Runs part of a test in a child process whose address space (RLIMIT_AS) is
// capped some bytes above what the child maps at its start, so that a test
// can assert a memory bound, or that running out of memory is answered
// rather than thrown, without endangering the test program.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>

namespace testfiles {

// The bytes the process maps (its VmSize). AddressSanitizer's shadow alone
// is terabytes: no cap can be set there, and callers skip above this.
constexpr size_t kMappedWithoutSanitizer = size_t(1) << 40;
inline size_t MappedBytes() {
    size_t pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm != nullptr && fscanf(statm, "%zu", &pages) != 1)
        pages = 0;
    if (statm != nullptr)
        fclose(statm);
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// The child's exit status (body's answer, 0 to 253; 254 when no cap could
// be set), or 256 + the signal that ended it (SIGABRT when body threw).
inline int RunWithAddressSpaceLimit(size_t extra, const std::function<int()>& body) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const rlim_t cap = static_cast<rlim_t>(MappedBytes() + extra);
        const struct rlimit limit = {cap, cap};
        _exit(MappedBytes() != 0 && setrlimit(RLIMIT_AS, &limit) == 0 ? body() & 0xff : 254);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 256 + WTERMSIG(status);
}

}  // namespace testfiles
