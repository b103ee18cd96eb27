// The wildcard matcher of path patterns.
//
// A pattern is matched against a whole path (anchored), component by
// component; the delimiter (default '/') separates components:
//
//   *        any run of characters within one component (none included)
//   ?        one character that is not the delimiter
//   [...]    one character of a set: ranges (a-z), negation by a leading
//            '!' or '^', classes ([:alpha:] and the other POSIX names); a
//            ']' first in the set is a member. Never matches the delimiter.
//   **       as a whole component ("/**/", a leading "**/", a trailing "/**"
//            or the whole pattern): zero or more whole components. Inside a
//            component "**" is the same as "*".
//   escape   (default '\\') the next character stands for itself.
//
// Case-insensitive mode folds ASCII letters. init fails on an unterminated
// '[', an unknown class name and a trailing escape character.
//
// Matching simulates every way the pattern can be read at once (one pass over
// the path, a set of pattern positions per character), so its cost is the
// path's length times the pattern's length whatever the pattern: "*a*a*a*b"
// cannot blow up. match is const and keeps no state between calls: one
// matcher may be shared by threads once initialised. A matcher is not
// copyable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TPathMatch {
public:
    TPathMatch() = default;
    virtual ~TPathMatch() = default;
    TPathMatch(const TPathMatch&) = delete;
    TPathMatch& operator=(const TPathMatch&) = delete;

    // Configuration; takes effect at the next init.
    void setDelimiter(char d) { m_delim = static_cast<unsigned char>(d); }
    void setEscape(char e) { m_escape = static_cast<unsigned char>(e); }
    void caseSensitive() { m_fold = false; }
    void caseInsensitive() { m_fold = true; }

    // Compiles the pattern. With `anchored` 0 the pattern may also match a
    // trailing run of whole components of the path (it may begin after any
    // delimiter); with `prefix` 1 it may also match a leading run of whole
    // components (the path may go on below a match). Answers 0, or -1 for a
    // pattern that cannot be compiled (the matcher then matches nothing).
    virtual int init(const std::string& pattern, int anchored = 1, int prefix = 0);

    // 1 when the path matches the pattern given to init, else 0.
    virtual int match(const char* path, size_t len) const;
    int match(const std::string& path) const { return match(path.data(), path.size()); }
    int match(const char* path) const;

    const std::string& pattern() const { return m_pattern; }

private:
    enum Kind : uint8_t {
        Lit,       // one character
        Any,       // '?'
        Set,       // '[...]': index into m_sets
        Star,      // '*' within a component
        Delim,     // the delimiter
        GlobDir,   // "**" + delimiter: zero or more components, each with its delimiter
        GlobTail,  // delimiter + "**" at the end: nothing, or the delimiter and anything
        GlobAll,   // the whole pattern "**": anything
    };
    struct Token {
        Kind kind;
        unsigned char ch;  // Lit: the (folded) character
        uint32_t set;      // Set: index into m_sets
    };
    struct CharSet {
        uint64_t bits[4];
        bool has(unsigned char c) const { return (bits[c >> 6] >> (c & 63)) & 1; }
        void add(unsigned char c) { bits[c >> 6] |= uint64_t(1) << (c & 63); }
    };

    int parseSet(const std::string& p, size_t& i);
    unsigned char fold(unsigned char c) const;
    void buildMasks();
    // The tokens of a small pattern that read `c` and move on.
    uint64_t advance(unsigned char c) const {
        const unsigned w = c >> 6;
        const uint64_t bit = uint64_t(1) << (c & 63);
        if ((m_exceptional[w] & bit) == 0)
            return m_advanceDefault;
        return m_exceptions[m_exceptionRank[w] +
                            static_cast<unsigned>(__builtin_popcountll(m_exceptional[w] & (bit - 1)))];
    }
    int matchSmall(const unsigned char* s, size_t len) const;
    int matchLarge(const unsigned char* s, size_t len) const;

    unsigned char m_delim = '/';
    unsigned char m_escape = '\\';
    bool m_fold = false;
    bool m_ready = false;
    bool m_anchored = true;
    bool m_prefix = false;
    std::string m_pattern;
    std::vector<Token> m_tokens;
    std::vector<CharSet> m_sets;

    // Patterns of fewer than 64 tokens run on one word per state vector:
    // bit i stands for token i. The tokens that read a byte and move on are
    // the same for most bytes (m_advanceDefault); the few bytes that differ
    // (a pattern's literals, the edges of its sets) are marked in
    // m_exceptional and their words kept in byte order in m_exceptions, so
    // that a rule costs a few words, not a table of 256 (thousands of rules
    // are loaded at once).
    bool m_small = false;
    uint64_t m_advanceDefault = 0;
    uint64_t m_exceptional[4] = {};
    uint16_t m_exceptionRank[4] = {};  // marked bytes in the words before
    std::vector<uint64_t> m_exceptions;
    uint64_t m_star = 0, m_globDir = 0, m_globTail = 0, m_globAll = 0;
};
