#include "platform/FdIO.h"

#include <cerrno>
#include <unistd.h>

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
