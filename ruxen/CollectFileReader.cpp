#include "ruxen/CollectFileReader.h"

#include <algorithm>
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
    uint64_t length = 0;
    char last = 0;
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
        // One byte past the limit is kept: it may be a CR that ends the line.
        if (m_line.size() <= kMaxLineBytes)
            m_line.append(p, std::min(take, kMaxLineBytes + 1 - m_line.size()));
        if (take > 0)
            last = p[take - 1];
        length += take;
        m_begin += take;
        if (nl) {
            ++m_begin;  // the line feed
            break;
        }
    }

    if (last == '\r') {
        --length;
        if (m_line.size() > length)
            m_line.resize(static_cast<size_t>(length));
    }
    line.rawLength = length;
    // Bad lines are rare: their messages are built only here.
    auto bad = [&](int errnum, const char* what, const std::string& detail) {
        line.errnum = errnum;
        line.error = std::string(what) + " at offset " + std::to_string(line.offset) + " of " + m_name + detail;
        line.path.clear();
        return kBadLine;
    };
    if (length > kMaxLineBytes) {
        line.raw.assign(m_line, 0, kOverlongKeepBytes);
        return bad(ENAMETOOLONG, "collect line", " is longer than " + std::to_string(kMaxLineBytes) + " bytes");
    }
    if (m_line.empty())
        return bad(EINVAL, "empty collect line", "");
    // The scan program writes a CR inside a path as "%0D".
    if (memchr(m_line.data(), '\r', m_line.size())) {
        line.raw = m_line;
        return bad(EINVAL, "collect line", " holds a raw carriage return");
    }
    std::string why;
    if (!ruxen::unescapeFileName(m_line.data(), m_line.size(), line.path, &why)) {
        line.raw = m_line;
        return bad(EINVAL, "bad collect line", ": " + why);
    }
    if (line.path[0] != '/') {
        line.raw = m_line;
        return bad(EINVAL, "collect line", " is not an absolute path");
    }
    return kLine;
}

void AppendBadLineListing(const CollectLine& line, std::string& out) {
    // The text is already in escaped form, so only what would break a list
    // line (CR) or cut it (NUL) is escaped here.
    for (char c : line.raw) {
        if (c == '\r')
            out += "%0D";
        else if (c == '\0')
            out += "%00";
        else
            out += c;
    }
    if (line.rawLength == 0)
        out += "%00(empty line)";
    else if (line.raw.size() < line.rawLength)
        out += "%00(" + std::to_string(line.rawLength) + " bytes)";
}
