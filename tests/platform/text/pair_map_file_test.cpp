#include <gtest/gtest.h>

#include <string>

#include "platform/text/PairMapFile.h"
#include "support/TestFiles.h"

namespace {

TEST(PairMapFileTest, ReadsStrictPairLines) {
    PairMapFile::Pairs pairs;
    std::string error;
    ASSERT_TRUE(
        PairMapFile::Parse("# recorded\tlocal\n/data\t/snap/d\n\n/data/sub/\t/snap/s\n/a b\t/x y", "m", pairs, error))
        << error;
    EXPECT_EQ(pairs, (PairMapFile::Pairs{{"/data", "/snap/d"}, {"/data/sub/", "/snap/s"}, {"/a b", "/x y"}}));

    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"/a\t/b\n/c /d\n", "m:2: expected two paths separated by one TAB"},
        {"/a\t/b\t/c\n", "m:1: expected two paths separated by one TAB"},
        {"/a\t\n", "m:1: both paths must be absolute"},
        {"rel\t/b\n", "m:1: both paths must be absolute"},
        {"/a\t/b\n/a/\t/c\n", "m:2: the first path is given twice"},
        {"/a\t/b\r\n", "m:1: line holds a NUL byte or a carriage return"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(PairMapFile::Parse(c.text, "m", pairs, error)) << c.text;
        EXPECT_EQ(error, c.error);
        EXPECT_TRUE(pairs.empty());
    }
    EXPECT_FALSE(PairMapFile::Parse(std::string("/a\t/b") + '\0' + "c\n", "m", pairs, error));
    EXPECT_FALSE(PairMapFile::Parse("/a\t/" + std::string(PairMapFile::kMaxLineBytes, 'b'), "m", pairs, error));
    EXPECT_EQ(error, "m:1: line longer than 8192 bytes");

    testfiles::TempDir dir("pair_map_test");
    testfiles::WriteWholeFile(dir / "map", "/r\t/l\n");
    ASSERT_TRUE(PairMapFile::Read(dir / "map", pairs, error));
    EXPECT_EQ(pairs.size(), 1u);
    EXPECT_FALSE(PairMapFile::Read(dir / "missing", pairs, error));
    EXPECT_NE(error.find("missing"), std::string::npos);
    EXPECT_FALSE(PairMapFile::Read(dir.path(), pairs, error));  // a directory
}

}  // namespace
