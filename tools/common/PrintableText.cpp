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

}  // namespace ruxen
