#include "platform/base/FdIO.h"

#include <cerrno>
#include <poll.h>
#include <time.h>
#include <unistd.h>

namespace ruxen {

int readAll(int fd, void* buf, size_t count) { return readAllWithin(fd, buf, count, -1); }

// A negative timeout waits as long as it takes, without polling.
int readAllWithin(int fd, void* buf, size_t count, int timeoutMs) {
    struct timespec start;
    if (timeoutMs >= 0)
        clock_gettime(CLOCK_MONOTONIC, &start);
    char* p = static_cast<char*>(buf);
    while (count > 0) {
        if (timeoutMs >= 0) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            const long long spent = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
            struct pollfd pfd = {fd, POLLIN, 0};
            const int ready = spent < timeoutMs ? poll(&pfd, 1, static_cast<int>(timeoutMs - spent)) : 0;
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                return -1;
            if (ready == 0) {
                errno = ETIMEDOUT;
                return -1;
            }
        }
        ssize_t n = read(fd, p, count);
        if (n < 0) {
            if (errno == EINTR || (timeoutMs >= 0 && errno == EAGAIN))
                continue;
            return -1;
        }
        if (n == 0) {
            errno = ENODATA;
            return -1;
        }
        p += n;
        count -= static_cast<size_t>(n);
    }
    return 0;
}

int writeAll(int fd, const void* buf, size_t count) {
    const char* p = static_cast<const char*>(buf);
    while (count > 0) {
        ssize_t n = write(fd, p, count);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        p += n;
        count -= static_cast<size_t>(n);
    }
    return 0;
}

ssize_t preadFull(int fd, void* buf, size_t count, off_t offset) {
    char* p = static_cast<char*>(buf);
    size_t got = 0;
    while (got < count) {
        ssize_t r = pread(fd, p + got, count - got, offset + static_cast<off_t>(got));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace ruxen
