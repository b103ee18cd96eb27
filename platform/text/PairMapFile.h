// Files of path pairs, one pair a line:
//
//     <first path><TAB><second path>
//
// "recorded<TAB>local" for the proxy map of ruxen-backup and ruxen-dump,
// "old<TAB>new" for its name map. The one reader of all of them, and strict:
// nothing is escaped (a path cannot hold a TAB, a line feed, a carriage
// return or a NUL byte), each line holds exactly two absolute paths, a first
// path may be given only once (trailing slashes do not make another path),
// and a line is at most kMaxLineBytes long. Empty lines and lines beginning
// with '#' are skipped. Any other line is an error naming the file and the
// line ("<file>:<line>: <reason>"), and nothing of the file is used.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

class PairMapFile {
public:
    using Pairs = std::vector<std::pair<std::string, std::string>>;

    static constexpr size_t kMaxLineBytes = 8192;

    // Parses `text` (named `name` in errors) into `out` (replaced), in file order.
    static bool Parse(const std::string& text, const std::string& name, Pairs& out, std::string& error);
    // Reads and parses a file; a file that cannot be read is an error too.
    static bool Read(const std::string& path, Pairs& out, std::string& error);
};
