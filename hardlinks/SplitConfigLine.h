// The one reader of collect-file tokens and of the lines of the three split
// configuration files in a job results directory.
//
// Token: "<n>" names regular collect file n, "H<n>" hard-link collect file n;
// n is decimal digits only (leading zeros allowed), 1..INT32_MAX.
//
// Lines (white space of any kind separates words; a line is trimmed first):
//   split_config            "F" | "F S" | "F S E" : the collect file F, then
//                           every number S..E (E = S when absent; S > E gives
//                           no range); words past the third are ignored.
//                           A line holding a comma is a list "a,b,H3" whose
//                           pieces (trimmed) are one token each.
//   Merged_split_config     "H1 2 3 " : every word one token, in order.
//   HCollect_split_config   "N K1 K2 " : collect file N and its hard-link
//                           collect files K1, K2 (bare numbers read as HK).
// A bad word is counted and skipped, never read as 0. A range of more than
// kMaxRangeSpan numbers is refused as a whole (counted as one bad word).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CollectToken {
    bool hardLink = false;
    int32_t number = 0;

    std::string str() const { return (hardLink ? "H" : "") + std::to_string(number); }
    bool operator==(const CollectToken& o) const { return hardLink == o.hardLink && number == o.number; }
    // A key for maps: kind and number in one value.
    uint64_t key() const { return (uint64_t(hardLink) << 32) | uint32_t(number); }
};

// Reads s[0, len) strictly as a token (allowH false: digits only).
bool ParseCollectToken(const char* s, size_t len, CollectToken& out, bool allowH = true);

enum class SplitConfigKind { SplitConfig, MergedSplitConfig, HCollectSplitConfig };

struct SplitConfigLine {
    static constexpr uint64_t kMaxRangeSpan = 1u << 16;

    std::vector<CollectToken> members;  // the line's collect files, in order
    uint64_t badWords = 0;
    uint64_t ignoredWords = 0;   // split_config: words past the third
    bool invertedRange = false;  // split_config: S > E
    std::string firstError;      // why the first bad word was bad
};

// Parses one line (its line feed already removed) into `out` (replaced).
void ParseSplitConfigLine(SplitConfigKind kind, const std::string& line, SplitConfigLine& out);
