#include "platform/text/PrintableText.h"

#include <cstdio>

#include "platform/text/ControlBytes.h"

namespace ruxen {

namespace {

constexpr size_t kEscapeBytes = 4;

// The bytes at text[0, length) (length > 0) that stand together: one, or a
// UTF-8 sequence; `escape` says whether each of them is written "\xNN".
inline size_t Unit(const char* text, size_t length, bool quoted, bool& escape) {
    const unsigned char c = static_cast<unsigned char>(*text);
    if (c < 0x80) {
        escape = c < 0x20 || c == 0x7f || (quoted && (c == '\\' || c == '"'));
        return 1;
    }
    return TextUnit(text, length, escape);
}

void Escape(unsigned char c, char* out) {
    static const char kHex[] = "0123456789abcdef";
    out[0] = '\\';
    out[1] = 'x';
    out[2] = kHex[c >> 4];
    out[3] = kHex[c & 0x0f];
}

void Append(std::string& out, const char* text, size_t length, bool quoted) {
    size_t run = 0;
    for (size_t i = 0; i < length;) {
        bool escape;
        const size_t n = Unit(text + i, length - i, quoted, escape);
        if (escape) {
            out.append(text + run, i - run);
            for (size_t k = 0; k < n; ++k) {
                char esc[kEscapeBytes];
                Escape(static_cast<unsigned char>(text[i + k]), esc);
                out.append(esc, kEscapeBytes);
            }
            run = i + n;
        }
        i += n;
    }
    out.append(text + run, length - run);
}

}  // namespace

void AppendPrintable(std::string& out, const char* text, size_t length) { Append(out, text, length, true); }

void AppendControlsEscaped(std::string& out, const char* text, size_t length) { Append(out, text, length, false); }

size_t CopyControlsEscaped(char* dst, size_t room, const char* text, size_t length, size_t* used) {
    size_t w = 0, i = 0;
    while (i < length) {
        bool escape;
        const size_t n = Unit(text + i, length - i, false, escape);
        if (room - w < (escape ? n * kEscapeBytes : n))
            break;  // never half an escape or half a character
        for (size_t k = 0; k < n; ++k) {
            if (escape) {
                Escape(static_cast<unsigned char>(text[i + k]), dst + w);
                w += kEscapeBytes;
            } else {
                dst[w++] = text[i + k];
            }
        }
        i += n;
    }
    *used = i;
    return w;
}

void AppendFormatV(std::string& out, const char* fmt, va_list ap) {
    char buf[256];
    int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    if (n > 0)
        out.append(buf, static_cast<size_t>(n) < sizeof(buf) ? static_cast<size_t>(n) : sizeof(buf) - 1);
}

void AppendFormat(std::string& out, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    AppendFormatV(out, fmt, ap);
    va_end(ap);
}

}  // namespace ruxen
