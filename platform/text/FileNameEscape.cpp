#include "platform/text/FileNameEscape.h"

#include <cstring>

#include "platform/text/ControlBytes.h"

namespace {

inline int hexValue(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

void setError(std::string* error, const char* what, size_t offset) {
    if (!error)
        return;
    *error = what;
    *error += " at offset ";
    *error += std::to_string(offset);
}

}  // namespace

namespace ruxen {

std::string escapeFileName(const char* path) {
    std::string out;
    if (path)
        escapeFileNameInto(path, strlen(path), out);
    return out;
}

void appendEscapedByte(unsigned char c, std::string& out) {
    static const char kHex[] = "0123456789ABCDEF";
    const char esc[3] = {'%', kHex[c >> 4], kHex[c & 0x0F]};
    out.append(esc, sizeof(esc));
}

void escapeFileNameInto(const char* path, size_t len, std::string& out) {
    if (!path || len == 0)
        return;
    out.reserve(out.size() + len);
    size_t runStart = 0;
    for (size_t i = 0; i < len;) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        bool control;
        const size_t n =
            c < 0x80 ? (control = c < 0x20 || c == 0x7f || c == '%', 1) : TextUnit(path + i, len - i, control);
        if (control) {
            out.append(path + runStart, i - runStart);
            for (size_t k = 0; k < n; ++k)
                appendEscapedByte(static_cast<unsigned char>(path[i + k]), out);
            runStart = i + n;
        }
        i += n;
    }
    out.append(path + runStart, len - runStart);
}

bool unescapeFileName(const char* in, size_t len, std::string& out, std::string* error) {
    out.clear();
    if (len == 0)
        return true;
    if (!in) {
        setError(error, "null input with non-zero length", 0);
        return false;
    }
    out.reserve(len);
    size_t runStart = 0;
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == '\0') {
            out.clear();
            setError(error, "NUL byte in escaped path", i);
            return false;
        }
        if (c != '%')
            continue;
        int hi = (i + 1 < len) ? hexValue(static_cast<unsigned char>(in[i + 1])) : -1;
        int lo = (i + 2 < len) ? hexValue(static_cast<unsigned char>(in[i + 2])) : -1;
        if (hi < 0 || lo < 0) {
            out.clear();
            setError(error, "'%' not followed by two hexadecimal digits", i);
            return false;
        }
        if (hi == 0 && lo == 0) {
            out.clear();
            setError(error, "escape decodes to a NUL byte", i);
            return false;
        }
        out.append(in + runStart, i - runStart);
        out.push_back(static_cast<char>((hi << 4) | lo));
        i += 2;
        runStart = i + 1;
    }
    out.append(in + runStart, len - runStart);
    return true;
}

}  // namespace ruxen
