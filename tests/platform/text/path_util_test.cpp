// The whole-component prefix rule and the longest-match lookups every
// mapper and mount table uses; this is the one place that tests the rule.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/text/PathUtil.h"

namespace {

using PathUtil::CoverLength;
using PathUtil::IsPrefixPath;

TEST(PathUtilTest, PrefixCoversWholeComponentsOnly) {
    struct Case {
        const char* key;
        const char* path;
        long cover;  // CoverLength; -1 when the key does not cover the path
    } cases[] = {
        {"/a/b", "/a/b", 4},    {"/a/b", "/a/b/x", 4},  {"/a/b", "/a/b/", 4},   {"/a/b", "/a/b//x", 4},
        {"/a/b", "/a/bc", -1},  {"/a/b", "/a/b.c/x", -1}, {"/a/b", "/a", -1},   {"/a/b", "/A/b", -1},
        {"/home", "/homework", -1},
        {"/a/b/", "/a/b", 4},   {"/a/b//", "/a/b/x", 4}, {"/a/b/", "/a/bc", -1},  // trailing slashes of a key
        {"/", "/", 1},          {"/", "/x/y", 1},       {"/", "//x", 1},        {"/", "/..", 1},
        {"//", "/x", 1},        {"/", "", -1},          {"/", "x/y", -1},
        {"", "/a", -1},         {"", "", -1},           {"a", "a/b", 1},        {"a", "/a/b", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CoverLength(c.key, c.path), c.cover) << c.key << " vs " << c.path;
        EXPECT_EQ(IsPrefixPath(c.key, c.path), c.cover >= 0) << c.key << " vs " << c.path;
    }
    const char* strips[][2] = {{"", ""},          {"/", "/"},           {"///", "/"}, {"/a/b/", "/a/b"},
                               {"/a/b//", "/a/b"}, {"a//", "a"}, {"/a//b", "/a//b"}};  // inner slashes stay
    for (const auto& s : strips)
        EXPECT_EQ(PathUtil::StripTrailingSlashes(s[0]), s[1]) << s[0];
}

TEST(PathUtilTest, LongestPrefixLookupPicksDeepestKey) {
    std::map<std::string, int> table = {
        {"/", 1}, {"/a", 2}, {"/a/b", 3}, {"/a/b/c/d", 4}, {"/a/bc", 5}, {"/a/b!", 6}, {"/x/", 7},
    };
    const std::pair<const char*, int> cases[] = {
        {"/a/b/c/d/e", 4}, {"/a/b/c/d", 4}, {"/a/b/c", 3}, {"/a/b/", 3}, {"/a/bc", 5},
        {"/a/bcd", 2},  // neither /a/b nor /a/bc
        {"/a/b!/z", 6}, {"/ab", 1}, {"/", 1},
        {"/a//b/x", 2},  // "/a//b" is not the key /a/b
        {"/x/y", 7},     // a key stored with a trailing slash
        {"relative/a", -1}, {"", -1},
    };
    for (const auto& c : cases) {
        auto it = PathUtil::LongestPrefixLookup(table, c.first);
        EXPECT_EQ(it == table.end() ? -1 : it->second, c.second) << c.first;
    }
    // Keys that sort between "/a/" and "/a//" do not hide the latter; "//"
    // is a root key; of "/a" and "/a/" the bare key wins.
    std::map<std::string, int> slashed = {{"/a/!x", 1}, {"/a/ b", 2}, {"/a//", 3}, {"/a/zz", 4}, {"//", 5}};
    EXPECT_EQ(PathUtil::LongestPrefixLookup(slashed, "/a/q")->second, 3);
    EXPECT_EQ(PathUtil::LongestPrefixLookup(slashed, "/b")->second, 5);
    std::map<std::string, int> both = {{"/a", 1}, {"/a/", 2}};
    EXPECT_EQ(PathUtil::LongestPrefixLookup(both, "/a/b")->second, 1);
    std::map<std::string, int> noRoot = {{"/data", 1}};
    EXPECT_TRUE(PathUtil::LongestPrefixLookup(noRoot, "/database") == noRoot.end());
}

// The lookup walks ancestors instead of testing each key; brute force over
// the same keys must agree with it on every pair.
TEST(PathUtilTest, LookupAgreesWithThePrefixTestOnEveryPair) {
    const std::vector<std::string> keys = {"/", "/a", "/a/", "/a/b", "/a/b/", "/a/bc", "/a//b",
                                           "/ab", "a", "a/b", "/a/b/c", "/a/b c"};
    const std::vector<std::string> paths = {"/",       "/a",    "/a/",   "/a/b", "/a/b/c/d", "/a/bc/d",
                                            "/a//b/c", "/ab/c", "a/b/c", "a",    "/a/b c",   "/a/b/c/",
                                            "",        "b",     "/zz/a/b"};
    for (const auto& path : paths) {
        std::map<std::string, int> all;
        long bestLen = -1;
        for (size_t i = 0; i < keys.size(); ++i) {
            std::map<std::string, int> one = {{keys[i], 0}};
            bool found = PathUtil::LongestPrefixLookup(one, path) != one.end();
            EXPECT_EQ(found, IsPrefixPath(keys[i], path)) << keys[i] << " vs " << path;
            all[keys[i]] = static_cast<int>(i);
            bestLen = std::max(bestLen, CoverLength(keys[i], path));
        }
        auto it = PathUtil::LongestPrefixLookup(all, path);
        EXPECT_EQ(it == all.end() ? -1 : CoverLength(it->first, path), bestLen) << path;
    }
}

// A mount table is scanned in order: of equal keys the later (the mount
// that hides the earlier one) wins.
TEST(PathUtilTest, ScanTakesLongestAndLaterOfEqualKeys) {
    std::vector<std::pair<std::string, int>> mounts = {
        {"/", 1}, {"/home", 2}, {"/home/u", 3}, {"/home", 4}, {"/homework", 5},
    };
    auto keyOf = [](const std::pair<std::string, int>& e) -> const std::string& { return e.first; };
    const std::pair<const char*, int> cases[] = {
        {"/home/x", 4}, {"/home", 4}, {"/home/u/f", 3}, {"/homework/f", 5}, {"/homeless", 1}, {"relative", -1},
    };
    for (const auto& c : cases) {
        auto it = PathUtil::LongestPrefixScan(mounts.begin(), mounts.end(), c.first, keyOf);
        EXPECT_EQ(it == mounts.end() ? -1 : it->second, c.second) << c.first;
    }
}

TEST(PathUtilTest, JoinAndRemainder) {
    const char* joins[][3] = {
        {"/mnt/snap", "x/y", "/mnt/snap/x/y"}, {"/mnt/snap//", "//x/", "/mnt/snap/x/"}, {"/", "x", "/x"},
        {"//", "/x", "/x"}, {"/mnt", "", "/mnt"}, {"/mnt/", "//", "/mnt/"}, {"", "x", "x"}, {"", "", ""},
    };
    for (const auto& j : joins)
        EXPECT_EQ(PathUtil::Join(j[0], j[1]), j[2]) << j[0] << " + " << j[1];
    const char* rests[][3] = {
        {"/a", "/a", ""}, {"/a", "/a/", ""}, {"/a/", "/a/b/c", "b/c"}, {"/a", "/a//b", "b"},
        {"/", "/x/y", "x/y"}, {"/", "/", ""}, {"/a", "/ab/c", "/ab/c"},  // not covered: unchanged
    };
    for (const auto& r : rests)
        EXPECT_EQ(PathUtil::Remainder(r[0], r[1]), r[2]) << r[0] << " under " << r[1];
    for (const char* p : {"/a/./b", "/a/..", "..", ".", "/./", "/a/../b", "//.."})
        EXPECT_TRUE(PathUtil::HasDotComponent(p)) << p;
    for (const char* p : {"/a/.b", "/a/b..", "/...", "/a/b/", "", "/", "//"})
        EXPECT_FALSE(PathUtil::HasDotComponent(p)) << p;
}

TEST(PathUtilTest, CopyToBufferNeverCuts) {
    struct Case {
        std::string s;
        int size;
        int err;  // 0: copied
        char first;  // buf[0] afterwards
    } cases[] = {
        {"/a/b/c", 7, 0, '/'},              // exact fit
        {"/a/b/c", 6, ENAMETOOLONG, '\0'},  // one short: left empty
        {"", 1, 0, '\0'},
        {"a", 1, ENAMETOOLONG, '\0'},
        {"/a/b/c", 0, EINVAL, 'x'},  // a buffer of no size is not touched
        {"/a/b/c", -1, EINVAL, 'x'},
        {std::string("/a\0b", 4), 8, EINVAL, '\0'},  // a NUL would cut the path for a C reader
    };
    for (const Case& c : cases) {
        char buf[8];
        memset(buf, 'x', sizeof(buf));
        errno = 0;
        EXPECT_EQ(PathUtil::CopyToBuffer(c.s, buf, c.size), c.err ? -1 : 0) << c.s << "/" << c.size;
        EXPECT_EQ(errno, c.err) << c.s << "/" << c.size;
        EXPECT_EQ(buf[0], c.first) << c.s << "/" << c.size;
        if (c.size > 0 && c.size < 8) {
            EXPECT_EQ(buf[c.size], 'x');  // nothing written past the given size
        }
        if (c.err == 0) {
            EXPECT_EQ(std::string(buf), c.s);
        }
    }
    EXPECT_EQ(PathUtil::CopyToBuffer("/a", nullptr, 8), -1);
}

}  // namespace
