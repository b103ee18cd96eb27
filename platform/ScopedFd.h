// Owns one file descriptor: closes it at the end of the scope.
#pragma once

#include <unistd.h>

class ScopedFd {
public:
    explicit ScopedFd(int fd = -1) : m_fd(fd) {}
    ~ScopedFd() { reset(); }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Closes the descriptor now; answers close(2)'s result (0 when none).
    int reset(int fd = -1) {
        int rc = 0;
        if (m_fd >= 0)
            rc = ::close(m_fd);
        m_fd = fd;
        return rc;
    }

private:
    int m_fd;
};
