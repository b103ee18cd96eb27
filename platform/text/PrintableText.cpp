#include "platform/text/PrintableText.h"

#include <cstdio>

namespace ruxen {

namespace {

constexpr size_t kEscapeBytes = 4;

bool Unprintable(unsigned char c, bool quoted) { return c < 0x20 || c == 0x7f || (quoted && (c == '\\' || c == '"')); }

void Escape(unsigned char c, char* out) {
    static const char kHex[] = "0123456789abcdef";
    out[0] = '\\';
    out[1] = 'x';
    out[2] = kHex[c >> 4];
    out[3] = kHex[c & 0x0f];
}

void Append(std::string& out, const char* text, size_t length, bool quoted) {
    size_t run = 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!Unprintable(c, quoted))
            continue;
        out.append(text + run, i - run);
        char esc[kEscapeBytes];
        Escape(c, esc);
        out.append(esc, kEscapeBytes);
        run = i + 1;
    }
    out.append(text + run, length - run);
}

}  // namespace

void AppendPrintable(std::string& out, const char* text, size_t length) { Append(out, text, length, true); }

void AppendControlsEscaped(std::string& out, const char* text, size_t length) { Append(out, text, length, false); }

size_t CopyControlsEscaped(char* dst, size_t room, const char* text, size_t length, size_t* used) {
    size_t w = 0, i = 0;
    for (; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!Unprintable(c, false)) {
            if (w == room)
                break;
            dst[w++] = static_cast<char>(c);
        } else {
            if (room - w < kEscapeBytes)
                break;
            Escape(c, dst + w);
            w += kEscapeBytes;
        }
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
