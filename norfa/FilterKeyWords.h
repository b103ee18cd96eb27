// The scan program's filter file: its keywords, the parser's codes and the
// kinds of items.
//
// A filter file is read line by line:
//
//   BEGIN
//   PRUNEDIRS            directories (and wildcards) to leave out
//   /var/tmp
//   *.o
//   NOPRUNEDIRS          exceptions to PRUNEDIRS
//   NONAMES              names (files) to leave out
//   YESNAMES             exceptions to NONAMES
//   SCDIRNAMES           directories whose names pick out a kind of directory
//   SCNODIRS             ... and those that do not
//   END
//
// A keyword line is the keyword alone or followed by white space (leading
// blanks allowed, case ignored). Every other line of a section is one item;
// an item's text ends at its first tab or carriage return, and when it holds
// the byte 0x15 it is the text after the first one. Empty items are passed
// over. A file is read completely only when it reaches END.
#pragma once

#include <cstddef>
#include <cstdint>

struct FilterKeyWord {
    const char* keyword;
    int64_t code;
};

constexpr int64_t FILTER_BEGIN = 4096;
constexpr int64_t FILTER_END = 4097;
constexpr int64_t FILTER_PRUNEDIRS = 4098;
constexpr int64_t FILTER_NOPRUNEDIRS = 4099;
constexpr int64_t FILTER_NONAMES = 4100;
constexpr int64_t FILTER_YESNAMES = 4101;
constexpr int64_t FILTER_SCDIRNAMES = 4104;
constexpr int64_t FILTER_SCNODIRS = 4105;

// Searched in this order.
constexpr FilterKeyWord FilterKeyWords[] = {
    {"BEGIN", FILTER_BEGIN},           {"END", FILTER_END},
    {"SCDIRNAMES", FILTER_SCDIRNAMES}, {"SCNODIRS", FILTER_SCNODIRS},
    {"PRUNEDIRS", FILTER_PRUNEDIRS},   {"NOPRUNEDIRS", FILTER_NOPRUNEDIRS},
    {"NONAMES", FILTER_NONAMES},       {"YESNAMES", FILTER_YESNAMES},
};

// Results of ParseFilterFile; every stored item carries kFilterItemValid.
constexpr int kFilterParsedToEnd = 4097;
constexpr int kFilterParseFailed = 4103;
constexpr int32_t kFilterItemValid = 4097;

// Kinds of items (IdentifyFilterItem).
constexpr int kFilterItemDirectory = 2;
constexpr int kFilterItemFile = 3;
constexpr int kFilterItemWildcard = 4;

// The suffix that marks an item to be matched as a wildcard (backslash,
// slash, backslash, slash).
constexpr const char* kFilterWildcardSuffix = "\\/\\/";

// Longest item line of the stream form, in bytes without the line feed.
constexpr size_t kFilterStreamLineMax = 65536;
// The file form reads into fixed buffers (with the line feed and the end
// mark): section lines of 1024 bytes, lines between sections of 2048.
constexpr size_t kFilterSectionBuffer = 1024;
constexpr size_t kFilterTopBuffer = 2048;
