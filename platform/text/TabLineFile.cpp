#include "platform/text/TabLineFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/base/ScopedFd.h"

namespace {

// 1: read, 0: missing, -1: error.
int readBounded(const std::string& path, std::string& text, std::string& error) {
    ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return 0;
        error = "cannot open " + path + ": " + strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + " is not a regular file";
        return -1;
    }
    char buf[16384];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof(buf));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = "cannot read " + path + ": " + strerror(errno);
            return -1;
        }
        if (n == 0)
            return 1;
        if (text.size() + static_cast<size_t>(n) > TabLineFile::kMaxFileBytes) {
            error = path + " is larger than " + std::to_string(TabLineFile::kMaxFileBytes) + " bytes";
            return -1;
        }
        text.append(buf, static_cast<size_t>(n));
    }
}

}  // namespace

std::string TabLineFile::LineError(const std::string& name, size_t lineNo, const std::string& what) {
    return name + ":" + std::to_string(lineNo) + ": " + what;
}

bool TabLineFile::Parse(const std::string& text, const std::string& name, size_t maxLineBytes,
                        std::vector<TabLine>& out, std::string& error) {
    size_t pos = 0;
    size_t lineNo = 0;
    while (pos < text.size()) {
        ++lineNo;
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string::npos ? text.size() : nl;
        const char* p = text.data() + pos;
        size_t len = end - pos;
        pos = nl == std::string::npos ? text.size() : nl + 1;
        if (len > maxLineBytes) {
            error = LineError(name, lineNo, "line longer than " + std::to_string(maxLineBytes) + " bytes");
            return false;
        }
        if (memchr(p, '\0', len) != nullptr || memchr(p, '\r', len) != nullptr) {
            error = LineError(name, lineNo, "line holds a NUL byte or a carriage return");
            return false;
        }
        if (len == 0 || p[0] == '#')
            continue;
        TabLine line;
        line.lineNo = lineNo;
        size_t start = 0;
        for (;;) {
            const void* tab = memchr(p + start, '\t', len - start);
            size_t stop = tab ? static_cast<size_t>(static_cast<const char*>(tab) - p) : len;
            line.fields.emplace_back(p + start, stop - start);
            if (tab == nullptr)
                break;
            start = stop + 1;
        }
        out.push_back(std::move(line));
    }
    return true;
}

bool TabLineFile::ReadIfExists(const std::string& path, size_t maxLineBytes, std::vector<TabLine>& out, bool& exists,
                               std::string& error) {
    std::string text;
    int rc = readBounded(path, text, error);
    exists = rc != 0;
    if (rc <= 0)
        return rc == 0;
    return Parse(text, path, maxLineBytes, out, error);
}

bool TabLineFile::Read(const std::string& path, size_t maxLineBytes, std::vector<TabLine>& out, std::string& error) {
    bool exists = false;
    if (!ReadIfExists(path, maxLineBytes, out, exists, error))
        return false;
    if (!exists)
        error = "cannot open " + path + ": " + strerror(ENOENT);
    return exists;
}
