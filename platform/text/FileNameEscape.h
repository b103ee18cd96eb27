// Escaping of paths for line-oriented files (collect files, hard-link collect
// files, failure lists): a path may hold any byte but NUL, while a line ends
// at a line feed. Each byte of a control character (C0 controls, carriage
// return and line feed among them, DEL, and C1 controls, raw or UTF-8
// encoded: ControlBytes.h) and "%" is written as "%" and two upper-case
// hexadecimal digits ("%0D", "%0A", "%1B", "%9B", "%C2%9B", "%25"), so that
// no name ends a line or drives a terminal; every other byte, UTF-8 text
// included, is written unchanged. Decoding gives back every byte exactly.
#pragma once

#include <cstddef>
#include <string>

namespace ruxen {

// The escaped form of a NUL-terminated path (a null pointer gives "").
std::string escapeFileName(const char* path);

// Appends "%" and the two hexadecimal digits of c to out.
void appendEscapedByte(unsigned char c, std::string& out);

// Appends the escaped form of path[0, len) to out. For hot paths that reuse
// one buffer: clear it, then append.
void escapeFileNameInto(const char* path, size_t len, std::string& out);

// Decodes in[0, len) into out (out is replaced). "%" and two hexadecimal
// digits of either case give that byte; every other byte is taken as it is.
// Answers false, with out cleared and a message naming the byte offset in
// *error (when error is not null), for a "%" that is not followed by two
// hexadecimal digits, for an escape that decodes to a NUL byte and for a raw
// NUL byte: a path cannot hold NUL, and keeping one would cut it silently.
//
// For every path p without NUL, unescapeFileName(escapeFileName(p)) == p.
bool unescapeFileName(const char* in, size_t len, std::string& out, std::string* error);

}  // namespace ruxen
