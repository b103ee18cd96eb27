// Text from outside (names, link targets, collect lines) made safe for one
// output line, in one notation everywhere: a byte that must not reach the
// line as it is becomes "\xNN" (two lower-case hexadecimal digits); other
// bytes, UTF-8 text included, pass unchanged.
//
//   - a quoted field (AppendPrintable; ruxen-dump's names and texts):
//     control characters (C0, DEL and C1, raw or UTF-8 encoded:
//     ControlBytes.h), the backslash and the double quote;
//   - free text (log lines, the summary of ruxen-backup): control
//     characters only, so that a message keeps its own quotes.
//
// Either way a name cannot end a line, forge another or drive a terminal.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#include "platform/base/Export.h"

namespace ruxen {

void AppendPrintable(std::string& out, const char* text, size_t length);
// Exported: a host program escapes its own summary lines the same way.
RUXEN_EXPORT void AppendControlsEscaped(std::string& out, const char* text, size_t length);
inline std::string ControlsEscaped(const std::string& text) {
    std::string out;
    AppendControlsEscaped(out, text.data(), text.size());
    return out;
}
// Free text into a fixed buffer (no allocation): copies text[0, length)
// escaped into dst, at most `room` bytes and never half an escape or half a
// UTF-8 character; answers the bytes written, and in *used the bytes of
// text taken.
size_t CopyControlsEscaped(char* dst, size_t room, const char* text, size_t length, size_t* used);

// Appends printf-style text to a dump line; a piece is at most 255 bytes.
void AppendFormatV(std::string& out, const char* fmt, va_list ap);
void AppendFormat(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace ruxen
