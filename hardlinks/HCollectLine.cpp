#include "hardlinks/HCollectLine.h"

#include <charconv>
#include <cstring>

#include "platform/text/FileNameEscape.h"

void parseHCollectLine(const std::string& line, std::vector<std::string>& tokens) {
    tokens.clear();
    size_t cut = line.find_first_not_of(' ');
    if (cut == std::string::npos)
        cut = line.size();
    for (size_t i = cut; i < line.size() && tokens.size() < 5; ++i) {
        if (line[i] == ' ') {
            tokens.emplace_back(line, cut, i - cut);
            cut = i + 1;
        }
    }
    tokens.emplace_back(line, cut, std::string::npos);
}

void TokenizeIncludingTokens(const std::string& text, std::vector<std::string>& tokens, const std::string& delimiters) {
    tokens.clear();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t begin = text.find_first_not_of(delimiters, pos);
        if (begin == std::string::npos)
            return;
        size_t end = text.find_first_of(delimiters, begin);
        tokens.emplace_back(text, begin, end == std::string::npos ? std::string::npos : end - begin);
        if (end == std::string::npos)
            return;
        if (tokens.size() == 5) {
            if (text[end] == ' ')
                tokens.emplace_back(text, end + 1, std::string::npos);
            return;
        }
        pos = end;
    }
}

namespace {

// The field from p up to the next blank (or the end), as a number of type T.
template <class T>
bool Field(const char*& p, const char* end, T& out) {
    const char* stop = static_cast<const char*>(memchr(p, ' ', static_cast<size_t>(end - p)));
    if (!stop)
        stop = end;
    if (stop == p || *p == '+')
        return false;
    auto r = std::from_chars(p, stop, out);
    if (r.ec != std::errc() || r.ptr != stop)
        return false;
    p = stop;
    return true;
}

HCollectLineKind Bad(std::string* error, const char* why) {
    if (error)
        *error = why;
    return HCollectLineKind::Bad;
}

}  // namespace

HCollectLineKind ParseHCollectEntry(const char* line, size_t len, HLinkGroupElement& out, std::string* error) {
    const char* p = line;
    const char* end = line + len;
    while (p < end && *p == ' ')
        ++p;
    if (end - p == 3 && memcmp(p, "# /", 3) == 0)
        return HCollectLineKind::Header;
    if (end - p < 2 || p[0] != '#' || p[1] != ' ')
        return Bad(error, "not a hard-link collect line");
    p += 2;
    HLinkGroupElement e;
    if (!Field(p, end, e.inode) || p == end || *p++ != ' ' || !Field(p, end, e.device) || p == end || *p++ != ' ' ||
        !Field(p, end, e.ctime) || p == end || *p++ != ' ' || !Field(p, end, e.size) || p == end || *p++ != ' ')
        return Bad(error, "inode, device, change time and size must be decimal numbers in range");
    thread_local std::string decoded;  // reused: one allocation per reader thread
    if (p == end || *p != '/' || memchr(p, '\r', static_cast<size_t>(end - p)) ||
        !ruxen::unescapeFileName(p, static_cast<size_t>(end - p), decoded, nullptr))
        return Bad(error, "the path is not an absolute escaped path");
    e.path.assign(p, static_cast<size_t>(end - p));
    out = std::move(e);
    return HCollectLineKind::Data;
}

namespace {

template <class T>
void AppendField(std::string& out, T value) {
    char buf[24];
    out.append(buf, static_cast<size_t>(std::to_chars(buf, buf + sizeof(buf), value).ptr - buf));
    out.push_back(' ');
}

}  // namespace

void AppendHCollectLine(std::string& out, uint64_t inode, uint64_t device, int64_t ctime, uint64_t size,
                        const char* escapedPath, size_t pathLen) {
    out.append("# ", 2);
    AppendField(out, inode);
    AppendField(out, device);
    AppendField(out, ctime);
    AppendField(out, size);
    out.append(escapedPath, pathLen);
    out.push_back('\n');
}
