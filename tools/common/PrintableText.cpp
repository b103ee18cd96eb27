#include "PrintableText.h"

#include <cstdio>

namespace ruxen {

void AppendPrintable(std::string& out, const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f || c == '\\' || c == '"') {
            char esc[5];
            snprintf(esc, sizeof(esc), "\\x%02x", c);
            out.append(esc, 4);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
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
