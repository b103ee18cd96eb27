#include "platform/text/PathUtil.h"

#include <cerrno>
#include <cstring>

namespace PathUtil {

std::string StripTrailingSlashes(std::string path) {
    path.resize(TrimmedLength(path));
    return path;
}

long CoverLength(const std::string& key, const std::string& path) {
    const size_t k = TrimmedLength(key);
    if (k == 0)
        return -1;
    if (k == 1 && key[0] == '/')
        return (!path.empty() && path[0] == '/') ? 1 : -1;
    if (path.size() < k || path.compare(0, k, key, 0, k) != 0)
        return -1;
    if (path.size() == k || path[k] == '/')
        return static_cast<long>(k);
    return -1;
}

bool IsPrefixPath(const std::string& key, const std::string& path) { return CoverLength(key, path) >= 0; }

bool HasDotComponent(const std::string& path) {
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const size_t n = end - start;
        if ((n == 1 || n == 2) && path.compare(start, n, "..", n) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

std::string Join(const std::string& a, const std::string& b) {
    size_t start = 0;
    while (start < b.size() && b[start] == '/')
        ++start;
    if (start == b.size())
        return a;
    if (a.empty())
        return b;
    const size_t alen = TrimmedLength(a);
    std::string out;
    out.reserve(alen + 1 + (b.size() - start));
    out.append(a, 0, alen);
    if (out != "/")
        out.push_back('/');
    out.append(b, start, std::string::npos);
    return out;
}

std::string Remainder(const std::string& key, const std::string& path) {
    long n = CoverLength(key, path);
    if (n < 0)
        return path;
    size_t start = static_cast<size_t>(n);
    while (start < path.size() && path[start] == '/')
        ++start;
    return path.substr(start);
}

int CopyToBuffer(const std::string& s, char* buf, int size) {
    if (buf == nullptr || size <= 0) {
        errno = EINVAL;
        return -1;
    }
    if (s.size() > static_cast<size_t>(size) - 1) {
        buf[0] = '\0';
        errno = ENAMETOOLONG;
        return -1;
    }
    if (memchr(s.data(), '\0', s.size()) != nullptr) {
        buf[0] = '\0';
        errno = EINVAL;
        return -1;
    }
    memcpy(buf, s.data(), s.size());
    buf[s.size()] = '\0';
    return 0;
}

}  // namespace PathUtil
