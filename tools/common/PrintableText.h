// Text from a stream (names, link targets) made safe for one output line:
// control bytes, DEL, the backslash and the double quote become \xNN; other
// bytes, UTF-8 included, pass unchanged.
#pragma once

#include <cstddef>
#include <string>

namespace ruxen {

void AppendPrintable(std::string& out, const char* text, size_t length);

}  // namespace ruxen
