#include "ruxen/CollectFileReader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/FileNameEscape.h"

namespace {
constexpr size_t kBufferBytes = 256 * 1024;
}

CollectFileReader::CollectFileReader() = default;

CollectFileReader::~CollectFileReader() {
    Close();
}

bool CollectFileReader::Open(const std::string& path, std::string* error) {
    Close();
    m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        int e = errno;
        if (error)
            *error = "cannot open collect file " + path + ": " + strerror(e);
        errno = e;
        return false;
    }
    m_name = path;
    m_memory = false;
    m_buf.resize(kBufferBytes);
    m_begin = m_end = 0;
    m_bufOffset = 0;
    m_eof = false;
    return true;
}

void CollectFileReader::OpenMemory(const std::string& name, const std::string& content) {
    Close();
    m_name = name;
    m_memory = true;
    m_buf.assign(content.begin(), content.end());
    m_begin = 0;
    m_end = m_buf.size();
    m_bufOffset = 0;
    m_eof = true;
}

bool CollectFileReader::Seek(uint64_t offset) {
    if (m_memory) {
        if (offset > m_buf.size())
            return false;
        m_begin = static_cast<size_t>(offset);
        return true;
    }
    if (m_fd < 0 || lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0)
        return false;
    m_begin = m_end = 0;
    m_bufOffset = offset;
    m_eof = false;
    return true;
}

void CollectFileReader::Close() {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_memory = false;
    m_buf.clear();
    m_begin = m_end = 0;
    m_eof = false;
}

int CollectFileReader::Fill() {
    if (m_memory || m_eof || m_fd < 0)
        return 0;
    // Keep nothing: a partial line was already copied into m_line.
    m_bufOffset += m_end;
    m_begin = m_end = 0;
    for (;;) {
        ssize_t n = read(m_fd, m_buf.data(), m_buf.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0) {
            m_eof = true;
            return 0;
        }
        m_end = static_cast<size_t>(n);
        return 1;
    }
}

CollectLineSource::Result CollectFileReader::Next(CollectLine& line) {
    line.path.clear();
    line.raw.clear();
    line.error.clear();
    line.errnum = 0;
    m_line.clear();
    bool overlong = false;
    bool started = false;

    for (;;) {
        if (m_begin >= m_end) {
            int r = Fill();
            if (r < 0) {
                line.errnum = errno;
                line.error = "cannot read collect file " + m_name + ": " + strerror(line.errnum);
                return kReadError;
            }
            if (r == 0) {
                if (!started)
                    return kEnd;
                break;  // last line without its line feed
            }
        }
        if (!started) {
            line.offset = m_bufOffset + m_begin;
            started = true;
        }
        const char* p = m_buf.data() + m_begin;
        size_t avail = m_end - m_begin;
        const char* nl = static_cast<const char*>(memchr(p, '\n', avail));
        size_t take = nl ? static_cast<size_t>(nl - p) : avail;
        if (!overlong) {
            if (m_line.size() + take > kMaxLineBytes) {
                overlong = true;
                m_line.clear();
            } else {
                m_line.append(p, take);
            }
        }
        m_begin += take;
        if (nl) {
            ++m_begin;  // the line feed
            break;
        }
    }

    if (overlong) {
        line.errnum = ENAMETOOLONG;
        line.error = "collect line at offset " + std::to_string(line.offset) + " of " + m_name +
                     " is longer than " + std::to_string(kMaxLineBytes) + " bytes";
        return kBadLine;
    }
    if (m_line.empty()) {
        line.errnum = EINVAL;
        line.error = "empty collect line at offset " + std::to_string(line.offset) + " of " + m_name;
        return kBadLine;
    }
    std::string why;
    if (!ruxen::unescapeFileName(m_line.data(), m_line.size(), line.path, &why)) {
        line.raw = m_line;
        line.errnum = EINVAL;
        line.error = "bad collect line at offset " + std::to_string(line.offset) + " of " + m_name + ": " + why;
        return kBadLine;
    }
    if (line.path[0] != '/') {
        line.raw = m_line;
        line.errnum = EINVAL;
        line.error = "collect line at offset " + std::to_string(line.offset) + " of " + m_name +
                     " is not an absolute path";
        line.path.clear();
        return kBadLine;
    }
    return kLine;
}
