// Lines of a hard-link collect file ("H collect file").
//
// Format (text, every line ended by a line feed):
//   # /                                      first line of every file
//   # <inode> <device> <ctime> <size> <path> one path of a hard-linked file
// Fields are separated by exactly one blank. inode and device are unsigned
// 64-bit decimal numbers, ctime a signed 64-bit decimal number (seconds),
// size an unsigned 64-bit decimal number; path is the rest of the line,
// absolute, escaped with escapeFileName (so it holds no carriage return or
// line feed) and may hold blanks. Lines of one file (inode, device) need not
// be adjacent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hardlinks/HLinkGroupElement.h"

// Cuts a line into at most six tokens: leading blanks are skipped, every
// single blank cuts (two blanks give an empty token), and after the fifth
// cut the rest of the line is the last token. A data line gives "#", inode,
// device, ctime, size, path; the first line gives "#" and "/".
void parseHCollectLine(const std::string& line, std::vector<std::string>& tokens);

// Tokens are the runs of characters not in `delimiters`. After the fifth
// token, when a blank ended it, the rest of the text after that blank is the
// sixth token; when another delimiter ended it, there are five tokens.
void TokenizeIncludingTokens(const std::string& text, std::vector<std::string>& tokens, const std::string& delimiters);

enum class HCollectLineKind { Header, Data, Bad };

// Reads one line strictly: "# /" is the header; a data line needs "#" and
// four complete decimal numbers in range, each after exactly one blank, and
// a path that decodes (unescapeFileName), is absolute and holds no raw
// carriage return. Anything else is Bad, with the reason in *error.
HCollectLineKind ParseHCollectEntry(const char* line, size_t len, HLinkGroupElement& out, std::string* error);

// Appends the data line (with its line feed) of an already escaped path.
void AppendHCollectLine(std::string& out, uint64_t inode, uint64_t device, int64_t ctime, uint64_t size,
                        const char* escapedPath, size_t pathLen);

// The header line "# /" with its line feed.
constexpr const char* kHCollectHeaderLine = "# /\n";
