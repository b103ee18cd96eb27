#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/PathUtil.h"

namespace {

using PathUtil::IsPrefixPath;

TEST(PathUtilTest, StripTrailingSlashesKeepsRoot) {
    EXPECT_EQ(PathUtil::StripTrailingSlashes(""), "");
    EXPECT_EQ(PathUtil::StripTrailingSlashes("/"), "/");
    EXPECT_EQ(PathUtil::StripTrailingSlashes("//"), "/");
    EXPECT_EQ(PathUtil::StripTrailingSlashes("///"), "/");
    EXPECT_EQ(PathUtil::StripTrailingSlashes("/a/b/"), "/a/b");
    EXPECT_EQ(PathUtil::StripTrailingSlashes("/a/b//"), "/a/b");
    EXPECT_EQ(PathUtil::StripTrailingSlashes("a//"), "a");
    EXPECT_EQ(PathUtil::StripTrailingSlashes("/a//b"), "/a//b");  // inner slashes stay
}

TEST(PathUtilTest, PrefixMatchesWholeComponentsOnly) {
    EXPECT_TRUE(IsPrefixPath("/a/b", "/a/b"));
    EXPECT_TRUE(IsPrefixPath("/a/b", "/a/b/x"));
    EXPECT_TRUE(IsPrefixPath("/a/b", "/a/b/"));
    EXPECT_TRUE(IsPrefixPath("/a/b", "/a/b//x"));
    EXPECT_FALSE(IsPrefixPath("/a/b", "/a/bc"));
    EXPECT_FALSE(IsPrefixPath("/a/b", "/a/b.c/x"));
    EXPECT_FALSE(IsPrefixPath("/a/b", "/a"));
    EXPECT_FALSE(IsPrefixPath("/a/b", "/A/b"));
    EXPECT_FALSE(IsPrefixPath("/home", "/homework"));
    EXPECT_TRUE(IsPrefixPath("/home", "/home"));

    // Trailing slashes of the key are ignored.
    EXPECT_TRUE(IsPrefixPath("/a/b/", "/a/b"));
    EXPECT_TRUE(IsPrefixPath("/a/b//", "/a/b/x"));
    EXPECT_FALSE(IsPrefixPath("/a/b/", "/a/bc"));

    // "/" covers every absolute path, and only those.
    for (const char* p : {"/", "/x", "/x/y", "//x", "/.."})
        EXPECT_TRUE(IsPrefixPath("/", p)) << p;
    EXPECT_TRUE(IsPrefixPath("//", "/x"));
    EXPECT_FALSE(IsPrefixPath("/", ""));
    EXPECT_FALSE(IsPrefixPath("/", "x/y"));

    // An empty key covers nothing; relative keys match relative paths.
    EXPECT_FALSE(IsPrefixPath("", "/a"));
    EXPECT_FALSE(IsPrefixPath("", ""));
    EXPECT_TRUE(IsPrefixPath("a", "a/b"));
    EXPECT_FALSE(IsPrefixPath("a", "/a/b"));

    EXPECT_EQ(PathUtil::CoverLength("/a/b/", "/a/b/c"), 4);
    EXPECT_EQ(PathUtil::CoverLength("/", "/a"), 1);
    EXPECT_EQ(PathUtil::CoverLength("/a/b", "/a/bc"), -1);
}

TEST(PathUtilTest, JoinAndRemainder) {
    EXPECT_EQ(PathUtil::Join("/mnt/snap", "x/y"), "/mnt/snap/x/y");
    EXPECT_EQ(PathUtil::Join("/mnt/snap/", "/x"), "/mnt/snap/x");
    EXPECT_EQ(PathUtil::Join("/mnt/snap//", "//x/"), "/mnt/snap/x/");
    EXPECT_EQ(PathUtil::Join("/", "x"), "/x");
    EXPECT_EQ(PathUtil::Join("//", "/x"), "/x");
    EXPECT_EQ(PathUtil::Join("/mnt", ""), "/mnt");
    EXPECT_EQ(PathUtil::Join("/mnt/", "//"), "/mnt/");
    EXPECT_EQ(PathUtil::Join("", "x"), "x");
    EXPECT_EQ(PathUtil::Join("", ""), "");

    EXPECT_EQ(PathUtil::Remainder("/a", "/a"), "");
    EXPECT_EQ(PathUtil::Remainder("/a", "/a/"), "");
    EXPECT_EQ(PathUtil::Remainder("/a/", "/a/b/c"), "b/c");
    EXPECT_EQ(PathUtil::Remainder("/a", "/a//b"), "b");
    EXPECT_EQ(PathUtil::Remainder("/", "/x/y"), "x/y");
    EXPECT_EQ(PathUtil::Remainder("/", "/"), "");
    EXPECT_EQ(PathUtil::Remainder("/a", "/ab/c"), "/ab/c");  // not covered: unchanged
}

TEST(PathUtilTest, LongestPrefixLookupPicksDeepestWholeComponentKey) {
    std::map<std::string, int> table = {
        {"/", 1}, {"/a", 2}, {"/a/b", 3}, {"/a/b/c/d", 4}, {"/a/bc", 5}, {"/a/b!", 6}, {"/x/", 7},
    };
    auto val = [&](const std::string& p) {
        auto it = PathUtil::LongestPrefixLookup(table, p);
        return it == table.end() ? -1 : it->second;
    };
    EXPECT_EQ(val("/a/b/c/d/e"), 4);
    EXPECT_EQ(val("/a/b/c/d"), 4);
    EXPECT_EQ(val("/a/b/c"), 3);
    EXPECT_EQ(val("/a/b/"), 3);
    EXPECT_EQ(val("/a/b"), 3);
    EXPECT_EQ(val("/a/bc"), 5);
    EXPECT_EQ(val("/a/bcd"), 2);  // neither /a/b nor /a/bc
    EXPECT_EQ(val("/a/b!/z"), 6);
    EXPECT_EQ(val("/a"), 2);
    EXPECT_EQ(val("/ab"), 1);
    EXPECT_EQ(val("/"), 1);
    EXPECT_EQ(val("/a//b/x"), 2);  // "/a//b" is not the key /a/b
    EXPECT_EQ(val("/x"), 7);       // a key stored with a trailing slash
    EXPECT_EQ(val("/x/y"), 7);
    EXPECT_EQ(val("relative/a"), -1);
    EXPECT_EQ(val(""), -1);

    std::map<std::string, int> noRoot = {{"/data", 1}};
    EXPECT_TRUE(PathUtil::LongestPrefixLookup(noRoot, "/database") == noRoot.end());
    EXPECT_TRUE(PathUtil::LongestPrefixLookup(noRoot, "/") == noRoot.end());
    std::map<std::string, int> empty;
    EXPECT_TRUE(PathUtil::LongestPrefixLookup(empty, "/a") == empty.end());
}

TEST(PathUtilTest, LongestPrefixLookupFindsKeysWithSeveralTrailingSlashes) {
    // Keys that sort between "/a/" and "/a//" must not hide the latter.
    std::map<std::string, int> table = {{"/a/!x", 1}, {"/a/ b", 2}, {"/a//", 3}, {"/a/zz", 4}, {"//", 5}};
    auto it = PathUtil::LongestPrefixLookup(table, "/a/q");
    ASSERT_NE(it, table.end());
    EXPECT_EQ(it->second, 3);
    it = PathUtil::LongestPrefixLookup(table, "/b");
    ASSERT_NE(it, table.end());
    EXPECT_EQ(it->second, 5);  // "//" is the root key

    // Bare and slashed forms of one key: the bare one is taken.
    std::map<std::string, int> both = {{"/a", 1}, {"/a/", 2}};
    EXPECT_EQ(PathUtil::LongestPrefixLookup(both, "/a/b")->second, 1);
}

TEST(PathUtilTest, LookupAgreesWithPrefixTestOnEveryPair) {
    const std::vector<std::string> keys = {"/", "/a", "/a/", "/a/b", "/a/b/", "/a/bc", "/a//b",
                                           "/ab", "a", "a/b", "/a/b/c", "/a/b c"};
    const std::vector<std::string> paths = {"/",       "/a",    "/a/",    "/a/b", "/a/b/c/d", "/a/bc/d",
                                            "/a//b/c", "/ab/c", "a/b/c",  "a",    "/a/b c",   "/a/b/c/",
                                            "",        "b",     "/zz/a/b"};
    for (const auto& path : paths) {
        // Brute force over single-key tables, then the whole table.
        std::map<std::string, int> all;
        long bestLen = -1;
        for (size_t i = 0; i < keys.size(); ++i) {
            std::map<std::string, int> one = {{keys[i], 0}};
            bool found = PathUtil::LongestPrefixLookup(one, path) != one.end();
            EXPECT_EQ(found, IsPrefixPath(keys[i], path)) << keys[i] << " vs " << path;
            all[keys[i]] = static_cast<int>(i);
            bestLen = std::max(bestLen, PathUtil::CoverLength(keys[i], path));
        }
        auto it = PathUtil::LongestPrefixLookup(all, path);
        if (bestLen < 0) {
            EXPECT_TRUE(it == all.end()) << path;
        } else {
            ASSERT_TRUE(it != all.end()) << path;
            EXPECT_EQ(PathUtil::CoverLength(it->first, path), bestLen) << path;
        }
    }
}

TEST(PathUtilTest, ScanTakesLongestAndLaterOfEqualKeys) {
    std::vector<std::pair<std::string, int>> mounts = {
        {"/", 1}, {"/home", 2}, {"/home/u", 3}, {"/home", 4}, {"/homework", 5},
    };
    auto keyOf = [](const std::pair<std::string, int>& e) -> const std::string& { return e.first; };
    auto at = [&](const std::string& p) {
        auto it = PathUtil::LongestPrefixScan(mounts.begin(), mounts.end(), p, keyOf);
        return it == mounts.end() ? -1 : it->second;
    };
    EXPECT_EQ(at("/home/x"), 4);  // over-mounted: the later /home
    EXPECT_EQ(at("/home"), 4);
    EXPECT_EQ(at("/home/u/f"), 3);
    EXPECT_EQ(at("/homework/f"), 5);
    EXPECT_EQ(at("/homeless"), 1);
    EXPECT_EQ(at("relative"), -1);
}

TEST(PathUtilTest, CopyToBufferNeverCuts) {
    char buf[8];
    const std::string s = "/a/b/c";  // 6 characters

    memset(buf, 'x', sizeof(buf));
    errno = 0;
    EXPECT_EQ(PathUtil::CopyToBuffer(s, buf, 7), 0);  // exact fit: len + 1
    EXPECT_STREQ(buf, "/a/b/c");

    memset(buf, 'x', sizeof(buf));
    errno = 0;
    EXPECT_EQ(PathUtil::CopyToBuffer(s, buf, 6), -1);  // one short
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[6], 'x');  // nothing written past the given size

    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(PathUtil::CopyToBuffer("", buf, 1), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(PathUtil::CopyToBuffer("a", buf, 1), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(buf[0], '\0');

    memset(buf, 'x', sizeof(buf));
    for (int size : {0, -1, -100}) {
        errno = 0;
        EXPECT_EQ(PathUtil::CopyToBuffer(s, buf, size), -1) << size;
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(buf[0], 'x');  // a buffer of no size is not touched
    }
    errno = 0;
    EXPECT_EQ(PathUtil::CopyToBuffer(s, nullptr, 8), -1);
    EXPECT_EQ(errno, EINVAL);

    // A NUL inside the string would cut the path for a C reader.
    memset(buf, 'x', sizeof(buf));
    errno = 0;
    EXPECT_EQ(PathUtil::CopyToBuffer(std::string("/a\0b", 4), buf, 8), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(buf[0], '\0');
}

}  // namespace
