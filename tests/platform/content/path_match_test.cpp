#include <gtest/gtest.h>

#include <fnmatch.h>

#include <string>
#include <vector>

#include "platform/content/TPathMatch.h"

namespace {

// Every pattern of up to three pieces against every name of up to three
// characters, both case modes, with glibc's fnmatch as the oracle: within one
// component the two must agree.
TEST(TPathMatch, AgreesWithFnmatchOnSingleComponents) {
    const std::vector<std::string> pieces = {"a", "B", "*", "?", "[ab]", "[!a]", "[a-c]", "\\*",
                                             "[[:upper:]]", "**", "[]a]", "[a-]", "-", "[!\x01-\x7f]", "\x9b"};
    const std::string alphabet = "abAB*-]c\x9b\xe9";
    std::vector<std::string> patterns = {""}, names = {""};
    for (size_t lo = 0, len = 0; len < 3; ++len) {
        size_t hi = patterns.size();
        for (size_t i = lo; i < hi; ++i)
            for (const auto& p : pieces)
                patterns.push_back(patterns[i] + p);
        lo = hi;
    }
    for (size_t lo = 0, len = 0; len < 3; ++len) {
        size_t hi = names.size();
        for (size_t i = lo; i < hi; ++i)
            for (char c : alphabet)
                names.push_back(names[i] + c);
        lo = hi;
    }
    for (int fold = 0; fold < 2; ++fold) {
        for (const auto& p : patterns) {
            TPathMatch m;
            if (fold)
                m.caseInsensitive();
            ASSERT_EQ(m.init(p), 0) << p;
            const int flags = FNM_PATHNAME | (fold ? FNM_CASEFOLD : 0);
            for (const auto& n : names)
                ASSERT_EQ(m.match(n), fnmatch(p.c_str(), n.c_str(), flags) == 0 ? 1 : 0)
                    << "pattern '" << p << "' name '" << n << "' fold " << fold;
        }
    }
}

struct PathCase {
    const char* pattern;
    const char* path;
    int expect;
    bool windows = false;  // delimiter '\', escape '/', case-insensitive
    int anchored = 1;
    int prefix = 0;
};

TEST(TPathMatch, WholePaths) {
    const PathCase cases[] = {
        {"/a/*/c", "/a/b/c", 1},
        {"/a/*/c", "/a/b/x/c", 0},       // '*' stays within a component
        {"/a/?", "/a//", 0},             // '?' never reads the delimiter
        {"/a/[/]", "/a//", 0},           // nor does a set
        {"/**/core", "/core", 1},        // zero components
        {"/**/core", "/x/y/core", 1},
        {"/**/core", "/x/ycore", 0},
        {"/a/**/b", "/a/b", 1},
        {"/a/**/b", "/a/x/y/b", 1},
        {"/a/**/b", "/ab", 0},
        {"/a/**", "/a", 1},
        {"/a/**", "/a/x/y", 1},
        {"/a/**", "/ab", 0},
        {"**", "/any/thing", 1},
        {"/x**y/z", "/xay/z", 1},        // "**" inside a component is '*'
        {"/x**y/z", "/xa/y/z", 0},
        {"/**/*.o", "/src/lib/a.o", 1},
        {"/a\\*", "/a*", 1},
        {"/a\\*", "/ab", 0},
        {"*\\**\\*.TMP", "C:\\dir\\sub\\x.tmp", 1, true},
        {"*\\**\\*.TMP", "C:\\x.tmp", 1, true},
        {"*\\**\\*.TMP", "C:/x.tmp", 0, true},  // '/' is no delimiter here
        {"c:\\a/*", "C:\\A*", 1, true},          // '/' escapes
        {"c:\\a/*", "C:\\Ab", 0, true},
        {"b/c", "/a/b/c", 1, false, 0},          // unanchored: any trailing components
        {"b/c", "/a/xb/c", 0, false, 0},
        {"/a/b", "/a/b/c/d", 1, false, 1, 1},    // prefix: the path may go on below
        {"/a/b", "/a/bc", 0, false, 1, 1},
    };
    for (const auto& c : cases) {
        TPathMatch m;
        if (c.windows) {
            m.setDelimiter('\\');
            m.setEscape('/');
            m.caseInsensitive();
        }
        ASSERT_EQ(m.init(c.pattern, c.anchored, c.prefix), 0) << c.pattern;
        EXPECT_EQ(m.match(c.path), c.expect) << c.pattern << " vs " << c.path;
    }
}

TEST(TPathMatch, RefusesBadPatternsAndMatchesNothingAfter) {
    for (const char* p : {"[abc", "abc\\", "[[:nope:]]", "[[.a.]]", "[a\\"}) {
        TPathMatch m;
        EXPECT_EQ(m.init(p), -1) << p;
        EXPECT_EQ(m.match("abc"), 0) << p;
    }
}

// Patterns that make a backtracking matcher take exponential time finish in
// one pass (a regression would hang the test until ctest's timeout).
TEST(TPathMatch, PathologicalPatternsStayLinear) {
    std::string star, name(20000, 'a');
    for (int i = 0; i < 40; ++i)
        star += "*a";
    TPathMatch m;
    ASSERT_EQ(m.init(star + "*b"), 0);
    EXPECT_EQ(m.match(name), 0);
    EXPECT_EQ(m.match(name + "b"), 1);

    std::string deep, globs;
    for (int i = 0; i < 2000; ++i)
        deep += "/a";
    for (int i = 0; i < 30; ++i)
        globs += "/**/a";
    ASSERT_EQ(m.init(globs + "/b"), 0);
    EXPECT_EQ(m.match(deep), 0);
    EXPECT_EQ(m.match(deep + "/b"), 1);
}

}  // namespace
