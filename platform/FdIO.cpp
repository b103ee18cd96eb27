#include "platform/FdIO.h"

#include <cerrno>
#include <unistd.h>

namespace ruxen {

int readAll(int fd, void* buf, size_t count) {
    char* p = static_cast<char*>(buf);
    while (count > 0) {
        ssize_t n = read(fd, p, count);
        if (n < 0) {
            if (errno == EINTR)
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
