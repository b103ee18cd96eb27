#include "platform/content/TPathMatch.h"

#include <cctype>
#include <cstring>
#include <memory>

namespace {

// POSIX class names of bracket expressions, tested on the character as it
// stands in the path (not folded).
struct ClassName {
    const char* name;
    int (*test)(int);
};
const ClassName kClasses[] = {
    {"alnum", isalnum}, {"alpha", isalpha}, {"blank", isblank}, {"cntrl", iscntrl},
    {"digit", isdigit}, {"graph", isgraph}, {"lower", islower}, {"print", isprint},
    {"punct", ispunct}, {"space", isspace}, {"upper", isupper}, {"xdigit", isxdigit},
};

inline bool testBit(const uint64_t* v, size_t i) { return (v[i >> 6] >> (i & 63)) & 1; }
inline void setBit(uint64_t* v, size_t i) { v[i >> 6] |= uint64_t(1) << (i & 63); }

}  // namespace

unsigned char TPathMatch::fold(unsigned char c) const {
    return (m_fold && c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Reads the bracket expression that starts at p[i] ('[') and appends its set.
// Ranges compare folded characters, classes the character itself, so that
// the set answers for the path's character as it stands.
int TPathMatch::parseSet(const std::string& p, size_t& i) {
    const size_t n = p.size();
    size_t j = i + 1;
    bool negate = false;
    if (j < n && (p[j] == '!' || p[j] == '^')) {
        negate = true;
        ++j;
    }
    struct Range {
        unsigned char lo, hi;
    };
    std::vector<Range> ranges;
    std::vector<int (*)(int)> classes;
    // Reads one member character (escaped or not) at p[j]; false at the end.
    auto member = [&](unsigned char& out) -> bool {
        if (j >= n)
            return false;
        unsigned char c = static_cast<unsigned char>(p[j]);
        if (c == m_escape) {
            if (j + 1 >= n)
                return false;
            c = static_cast<unsigned char>(p[j + 1]);
            ++j;
        }
        ++j;
        out = fold(c);
        return true;
    };
    for (bool first = true;; first = false) {
        if (j >= n)
            return -1;  // unterminated
        if (p[j] == ']' && !first) {
            ++j;
            break;
        }
        if (p[j] == '[' && j + 1 < n && (p[j + 1] == '.' || p[j + 1] == '='))
            return -1;  // collating elements and equivalence classes: not supported
        if (p[j] == '[' && j + 1 < n && p[j + 1] == ':') {
            size_t end = p.find(":]", j + 2);
            if (end != std::string::npos) {
                std::string name = p.substr(j + 2, end - (j + 2));
                int (*test)(int) = nullptr;
                for (const ClassName& k : kClasses)
                    if (name == k.name)
                        test = k.test;
                if (!test)
                    return -1;
                classes.push_back(test);
                j = end + 2;
                continue;
            }
        }
        unsigned char lo, hi;
        if (!member(lo))
            return -1;
        hi = lo;
        if (j + 1 < n && p[j] == '-' && p[j + 1] != ']') {
            ++j;
            if (!member(hi))
                return -1;
        }
        ranges.push_back({lo, hi});
    }
    CharSet set{};
    for (int c = 0; c < 256; ++c) {
        unsigned char f = fold(static_cast<unsigned char>(c));
        bool in = false;
        for (const Range& r : ranges)
            in = in || (r.lo <= f && f <= r.hi);
        for (auto test : classes)
            in = in || test(c) != 0;
        if (in != negate && c != m_delim)
            set.add(static_cast<unsigned char>(c));
    }
    m_sets.push_back(set);
    m_tokens.push_back({Set, 0, static_cast<uint32_t>(m_sets.size() - 1)});
    i = j;
    return 0;
}

int TPathMatch::init(const std::string& pattern, int anchored, int prefix) {
    m_ready = false;
    m_tokens.clear();
    m_sets.clear();
    m_pattern = pattern;
    m_anchored = anchored != 0;
    m_prefix = prefix != 0;
    const std::string& p = pattern;
    const size_t n = p.size();
    bool compStart = true;  // the next token begins a component
    size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == m_escape) {
            if (i + 1 >= n)
                return -1;  // trailing escape
            m_tokens.push_back({Lit, fold(static_cast<unsigned char>(p[i + 1])), 0});
            i += 2;
            compStart = false;
            continue;
        }
        if (c == '*') {
            size_t j = i;
            while (j < n && p[j] == '*')
                ++j;
            const bool wholeComponent = compStart && j - i >= 2 && (j == n || p[j] == static_cast<char>(m_delim));
            if (wholeComponent && j == n) {
                if (m_tokens.empty()) {
                    m_tokens.push_back({GlobAll, 0, 0});
                } else {
                    m_tokens.back() = {GlobTail, 0, 0};  // the delimiter before "**"
                }
                i = j;
            } else if (wholeComponent) {
                m_tokens.push_back({GlobDir, 0, 0});
                i = j + 1;  // the delimiter belongs to the glob
            } else {
                m_tokens.push_back({Star, 0, 0});
                i = j;
                compStart = false;
            }
            continue;
        }
        if (c == '[') {
            if (parseSet(p, i) != 0) {
                m_tokens.clear();
                m_sets.clear();
                return -1;
            }
            compStart = false;
            continue;
        }
        if (c == '?') {
            m_tokens.push_back({Any, 0, 0});
            compStart = false;
        } else if (c == m_delim) {
            m_tokens.push_back({Delim, 0, 0});
            compStart = true;
        } else {
            m_tokens.push_back({Lit, fold(c), 0});
            compStart = false;
        }
        ++i;
    }
    m_tokens.shrink_to_fit();
    m_sets.shrink_to_fit();
    buildMasks();
    m_ready = true;
    return 0;
}

void TPathMatch::buildMasks() {
    m_small = false;
    m_advanceDefault = 0;
    memset(m_exceptional, 0, sizeof m_exceptional);
    memset(m_exceptionRank, 0, sizeof m_exceptionRank);
    m_exceptions.clear();
    m_exceptions.shrink_to_fit();
    m_star = m_globDir = m_globTail = m_globAll = 0;
    if (m_tokens.size() >= 64)
        return;
    uint64_t advance[256] = {};
    for (size_t i = 0; i < m_tokens.size(); ++i) {
        const Token& t = m_tokens[i];
        const uint64_t bit = uint64_t(1) << i;
        for (int c = 0; c < 256; ++c) {
            const unsigned char u = static_cast<unsigned char>(c);
            if ((t.kind == Lit && fold(u) == t.ch) || (t.kind == Any && u != m_delim) ||
                (t.kind == Set && m_sets[t.set].has(u)) || (t.kind == Delim && u == m_delim))
                advance[u] |= bit;
        }
        if (t.kind == Star)
            m_star |= bit;
        else if (t.kind == GlobDir)
            m_globDir |= bit;
        else if (t.kind == GlobTail)
            m_globTail |= bit;
        else if (t.kind == GlobAll)
            m_globAll |= bit;
    }
    // The word most bytes share (the majority, when one holds more than half
    // of them, as it does but for patterns built of large sets) is the
    // default; every other byte is an exception.
    uint64_t common = 0;
    for (int c = 0, votes = 0; c < 256; ++c) {
        if (votes == 0)
            common = advance[c];
        votes += advance[c] == common ? 1 : -1;
    }
    size_t count = 0;
    for (int c = 0; c < 256; ++c)
        count += advance[c] != common;
    m_exceptions.reserve(count);
    for (unsigned w = 0; w < 4; ++w) {
        m_exceptionRank[w] = static_cast<uint16_t>(m_exceptions.size());
        for (unsigned b = 0; b < 64; ++b) {
            const uint64_t word = advance[w * 64 + b];
            if (word != common) {
                m_exceptional[w] |= uint64_t(1) << b;
                m_exceptions.push_back(word);
            }
        }
    }
    m_advanceDefault = common;
    m_small = true;
}

int TPathMatch::match(const char* path) const { return path ? match(path, strlen(path)) : 0; }

int TPathMatch::match(const char* s, size_t len) const {
    if (!m_ready || (s == nullptr && len != 0))
        return 0;
    const unsigned char* u = reinterpret_cast<const unsigned char*>(s);
    return m_small ? matchSmall(u, len) : matchLarge(u, len);
}

// Two words: `main` (before token i) and `mid` (inside a component that a
// glob token is reading). Every edge either stays on a token, moves to the
// next one (a shift by one), or switches a glob token between its two words.
int TPathMatch::matchSmall(const unsigned char* s, size_t len) const {
    const unsigned m = static_cast<unsigned>(m_tokens.size());
    const uint64_t final = uint64_t(1) << m;
    const uint64_t skip = m_star | m_globDir | m_globTail | m_globAll;
    auto closure = [&](uint64_t main, uint64_t mid) {
        main |= (mid & m_globTail) << 1;
        for (uint64_t prev = 0; prev != main;) {
            prev = main;
            main |= (main & skip) << 1;
        }
        return main;
    };
    uint64_t main = closure(1, 0), mid = 0;
    for (size_t pos = 0; pos < len; ++pos) {
        const unsigned char c = s[pos];
        const bool isDelim = c == m_delim;
        if (m_prefix && isDelim && (main & final))
            return 1;
        uint64_t nMain = (main & advance(c)) << 1;
        uint64_t nMid;
        if (isDelim) {
            nMain |= (main | mid) & m_globDir;
            nMain |= main & m_globAll;
            nMid = (main & m_globTail) | (mid & m_globTail);
            if (!m_anchored)
                nMain |= 1;
        } else {
            nMain |= main & (m_star | m_globAll);
            nMid = ((main | mid) & m_globDir) | (mid & m_globTail);
        }
        if ((nMain | nMid) == 0 && m_anchored)
            return 0;
        main = closure(nMain, nMid);
        mid = nMid;
    }
    return (main & final) ? 1 : 0;
}

int TPathMatch::matchLarge(const unsigned char* s, size_t len) const {
    const size_t m = m_tokens.size();
    const size_t words = (m + 1 + 63) / 64;
    // Four state vectors: current and next, each for the main position and
    // the "inside a component" position of the two glob kinds.
    uint64_t local[4 * 4];
    std::unique_ptr<uint64_t[]> heap;
    uint64_t* mem = local;
    if (words > 4) {
        heap.reset(new uint64_t[4 * words]);
        mem = heap.get();
    }
    uint64_t* curMain = mem;
    uint64_t* curMid = mem + words;
    uint64_t* nxtMain = mem + 2 * words;
    uint64_t* nxtMid = mem + 3 * words;
    std::memset(mem, 0, 4 * words * sizeof(uint64_t));

    // Positions reached without reading a character; every such edge leads
    // forward by one token, so one pass in token order closes the set.
    auto closure = [&](uint64_t* main, uint64_t* mid) {
        for (size_t i = 0; i < m; ++i) {
            Kind k = m_tokens[i].kind;
            if ((testBit(main, i) && (k == Star || k == GlobDir || k == GlobTail || k == GlobAll)) ||
                (k == GlobTail && testBit(mid, i)))
                setBit(main, i + 1);
        }
    };
    setBit(curMain, 0);
    closure(curMain, curMid);

    for (size_t pos = 0; pos < len; ++pos) {
        const unsigned char c = s[pos];
        const bool isDelim = c == m_delim;
        if (m_prefix && isDelim && testBit(curMain, m))
            return 1;
        std::memset(nxtMain, 0, words * sizeof(uint64_t));
        std::memset(nxtMid, 0, words * sizeof(uint64_t));
        for (size_t w = 0; w < words; ++w) {
            for (uint64_t bits = curMain[w] | curMid[w]; bits; bits &= bits - 1) {
                const size_t i = w * 64 + static_cast<size_t>(__builtin_ctzll(bits));
                if (i >= m)
                    continue;  // the final position reads nothing
                const Token& t = m_tokens[i];
                const bool inMain = testBit(curMain, i);
                const bool inMid = testBit(curMid, i);
                switch (t.kind) {
                case Lit:
                    if (fold(c) == t.ch)
                        setBit(nxtMain, i + 1);
                    break;
                case Any:
                    if (!isDelim)
                        setBit(nxtMain, i + 1);
                    break;
                case Set:
                    if (m_sets[t.set].has(c))
                        setBit(nxtMain, i + 1);
                    break;
                case Star:
                    if (!isDelim)
                        setBit(nxtMain, i);
                    break;
                case Delim:
                    if (isDelim)
                        setBit(nxtMain, i + 1);
                    break;
                case GlobDir:
                    setBit(isDelim ? nxtMain : nxtMid, i);
                    break;
                case GlobTail:
                    if (inMid || (inMain && isDelim))
                        setBit(nxtMid, i);
                    break;
                case GlobAll:
                    setBit(nxtMain, i);
                    break;
                }
            }
        }
        if (!m_anchored && isDelim)
            setBit(nxtMain, 0);
        bool alive = false;
        for (size_t w = 0; w < words && !alive; ++w)
            alive = (nxtMain[w] | nxtMid[w]) != 0;
        if (!alive && m_anchored)
            return 0;
        closure(nxtMain, nxtMid);
        std::swap(curMain, nxtMain);
        std::swap(curMid, nxtMid);
    }
    return testBit(curMain, m) ? 1 : 0;
}
