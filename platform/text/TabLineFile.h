// Small text files of TAB-separated lines: the stand-ins' fixture files and
// the pair-map files of the tools.
//
// Lines end at a line feed (the last one may lack it). Empty lines and lines
// whose first character is '#' are skipped. Fields are split at every TAB and
// empty fields are kept ("a\t\tb" is three fields). Nothing is escaped, so a
// field cannot hold a TAB or a line feed; a line holding a NUL byte or a
// carriage return, and a line longer than the caller's bound, is an error
// that names the file and the line ("<name>:<line>: <reason>"): such a line
// cannot be a path as written, and reading it as one would name another file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct TabLine {
    size_t lineNo = 0;  // from 1
    std::vector<std::string> fields;
};

class TabLineFile {
public:
    // A file larger than this is refused as a whole.
    static constexpr size_t kMaxFileBytes = 64u << 20;

    // Parses `text` (named `name` in errors). Answers false with `error` set
    // at the first bad line; `out` then holds the lines before it.
    static bool Parse(const std::string& text, const std::string& name, size_t maxLineBytes, std::vector<TabLine>& out,
                      std::string& error);

    // Reads and parses a whole file. A file that cannot be opened or read is
    // an error naming it and the reason.
    static bool Read(const std::string& path, size_t maxLineBytes, std::vector<TabLine>& out, std::string& error);

    // The same for a file that may be absent: answers true with `out` empty
    // and `exists` false when it is missing (ENOENT).
    static bool ReadIfExists(const std::string& path, size_t maxLineBytes, std::vector<TabLine>& out, bool& exists,
                             std::string& error);

    // "<name>:<line>: <what>", the form of every error above, for callers
    // that judge the fields themselves.
    static std::string LineError(const std::string& name, size_t lineNo, const std::string& what);
};
