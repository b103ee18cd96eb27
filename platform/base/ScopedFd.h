// A file descriptor owned by one object: closed when the object goes, or when
// another descriptor replaces it. The implicit closes keep errno, so a
// failure path can close and still report the error that sent it there;
// where the close itself matters (a file just written), call Close().
#pragma once

#include <unistd.h>

#include <cerrno>

class ScopedFd {
public:
    ScopedFd() = default;
    explicit ScopedFd(int fd) : m_fd(fd) {}
    ~ScopedFd() { reset(); }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ScopedFd(ScopedFd&& other) noexcept : m_fd(other.release()) {}
    ScopedFd& operator=(ScopedFd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

    // Gives the descriptor up without closing it.
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }

    // Closes the descriptor held (if any), keeping errno, and holds `fd`.
    void reset(int fd = -1) {
        if (m_fd >= 0 && m_fd != fd) {
            int saved = errno;
            ::close(m_fd);
            errno = saved;
        }
        m_fd = fd;
    }

    // Closes now and reports it: 0, or -1 with errno. The descriptor is
    // released either way.
    int Close() {
        int fd = release();
        return fd >= 0 ? ::close(fd) : 0;
    }

private:
    int m_fd = -1;
};
