#include "hardlinks/TextLineReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool TextLineReader::Open(const std::string& path) {
    ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    Attach(std::move(fd));
    return true;
}

void TextLineReader::Attach(ScopedFd fd) {
    m_fd = std::move(fd);
    if (!m_buf)
        m_buf.reset(new char[kBufferSize]);
    m_data = m_buf.get();
    m_pos = m_end = 0;
    m_eof = false;
    m_terminated = true;
    m_lineNumber = 0;
}

void TextLineReader::OpenMemory(const char* data, size_t size) {
    m_fd = ScopedFd();
    m_data = data;
    m_pos = 0;
    m_end = size;
    m_eof = true;
    m_terminated = true;
    m_lineNumber = 0;
}

int TextLineReader::Fill() {
    m_pos = m_end = 0;
    for (;;) {
        ssize_t n = read(m_fd.get(), m_buf.get(), kBufferSize);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        m_end = static_cast<size_t>(n);
        m_eof = n == 0;
        return 0;
    }
}

int TextLineReader::Next(std::string& line) {
    line.clear();
    bool any = false;
    for (;;) {
        if (m_pos == m_end) {
            if (m_eof || Fill() != 0)
                break;
            if (m_eof)
                break;
        }
        const char* start = m_data + m_pos;
        const void* nl = memchr(start, '\n', m_end - m_pos);
        size_t take = nl ? static_cast<size_t>(static_cast<const char*>(nl) - start) : m_end - m_pos;
        if (line.size() + take > kMaxLine) {
            errno = EOVERFLOW;
            return -1;
        }
        line.append(start, take);
        any = true;
        m_pos += take;
        if (nl) {
            ++m_pos;
            m_terminated = true;
            ++m_lineNumber;
            return 1;
        }
    }
    if (!m_eof)
        return -1;  // the read failed; errno is set
    if (!any)
        return 0;
    m_terminated = false;
    ++m_lineNumber;
    return 1;
}
