// Text from a stream (names, link targets) made safe for one output line:
// control bytes, DEL, the backslash and the double quote become \xNN; other
// bytes, UTF-8 included, pass unchanged.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace ruxen {

void AppendPrintable(std::string& out, const char* text, size_t length);

// Appends printf-style text to a dump line; a piece is at most 255 bytes.
void AppendFormatV(std::string& out, const char* fmt, va_list ap);
void AppendFormat(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace ruxen
