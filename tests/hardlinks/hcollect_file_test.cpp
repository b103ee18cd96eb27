#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "HardLinkTestUtil.h"
#include "hardlinks/HCollectFile.h"
#include "hardlinks/HCollectGroupReader.h"
#include "hardlinks/HCollectLine.h"
#include "hardlinks/TextLineReader.h"
#include "platform/text/FileNameEscape.h"

namespace {

using testfiles::ReadWholeFile;
using testfiles::WriteWholeFile;

// The groups of an H collect file's text; throws as the file reader does.
HLGroupsMap_t Groups(const std::string& text) {
    TextLineReader lines;
    lines.OpenMemory(text.data(), text.size());
    HLGroupsMap_t map;
    HCollectFile::ReadGroups(lines, "test", map);
    return map;
}

class HCollectFileTest : public HardLinkJobTest {};

TEST_F(HCollectFileTest, LinesRoundTripByteForByte) {
    const uint64_t kHigh = UINT64_MAX - 1;
    const std::string awkward = "/dir with blanks/100%\r\nsure";
    {
        HCollectFile w(m_dir.path(), "CollectTot", 3, HCOLLECT_WRITE);
        w.InsertEntryInHCollectFile(ruxen::escapeFileName(awkward.c_str()), Stat(kHigh, kHigh - 1, -5, 7));
        w.InsertEntryInHCollectFile("/b", Stat(12, 34, 1700000000, 0));
        w.close();
    }
    {  // a second writer appends without a second header
        HCollectFile w(m_dir.path(), "CollectTot", 3, HCOLLECT_WRITE);
        w.InsertEntryInHCollectFile("/c", Stat(12, 34, 1700000000, 0));
    }
    EXPECT_EQ(ReadWholeFile(At("HCollectTot3.kxf")),
              "# /\n"
              "# 18446744073709551614 18446744073709551613 -5 7 /dir with blanks/100%25%0D%0Asure\n"
              "# 12 34 1700000000 0 /b\n"
              "# 12 34 1700000000 0 /c\n");
    HLGroupsMap_t map;
    HCollectFile r(m_dir.path(), "CollectTot", 3, HCOLLECT_READ);
    EXPECT_TRUE(r.GetHLGroupsMap(map));
    ASSERT_EQ(map.size(), 2u);
    const std::vector<HLinkGroupElement>& big = map.at({kHigh, kHigh - 1});
    ASSERT_EQ(big.size(), 1u);
    EXPECT_EQ(big[0].ctime, -5);
    std::string decoded;
    ASSERT_TRUE(ruxen::unescapeFileName(big[0].path.data(), big[0].path.size(), decoded, nullptr));
    EXPECT_EQ(decoded, awkward);
    ASSERT_EQ(map.at({12, 34}).size(), 2u);
    EXPECT_EQ(map.at({12, 34})[1].path, "/c");
    EXPECT_TRUE(map.at({12, 34})[0].IsSameAs(map.at({12, 34})[1]));
}

TEST_F(HCollectFileTest, GroupsAreFilesNotInodeNumbers) {
    HLGroupsMap_t map = Groups("# /\n# 5 1 0 1 /dev1/a\n\n# 5 2 0 1 /dev2/a\n# 4 9 0 1 /z\n# 5 1 0 1 /dev1/b\n");
    ASSERT_EQ(map.size(), 3u);
    auto it = map.begin();
    EXPECT_EQ(it->first, HLGroupKey(4, 9));  // inode first
    EXPECT_EQ((++it)->second.size(), 2u);     // (5, 1): /dev1/a and /dev1/b
    EXPECT_EQ((++it)->second[0].path, "/dev2/a");
    EXPECT_TRUE(Groups("# /\n").empty());
    EXPECT_TRUE(Groups("").empty());
}

// The group reader hands out the lines of the map's groups in the map's
// order, sorted in memory or in runs through a temporary file; with
// firstOnly the first line of each group.
TEST_F(HCollectFileTest, GroupReaderFollowsTheMap) {
    const std::string texts[] = {
        "# /\n# 5 1 0 1 /dev1/a\n\n# 5 2 0 1 /dev2/a\n# 4 9 0 1 /z\n# 5 1 0 1 /dev1/b\n# 4 9 7 2 /y\n# 1 1 1 1 /x\n",
        "# /\n", "", "# 3 3 3 3 /only\n"};
    for (const std::string& text : texts) {
        WriteWholeFile(At("HCollectTot1.kxf"), text);
        for (size_t run : {size_t{1}, size_t{2}, size_t{3}, HCollectGroupReader::kRunLines}) {
            for (bool firstOnly : {false, true}) {
                SCOPED_TRACE(text + " run " + std::to_string(run) + (firstOnly ? " first only" : ""));
                std::string want, got;
                for (const auto& kv : Groups(text))
                    for (size_t i = 0; i < (firstOnly ? 1 : kv.second.size()); ++i)
                        want += (i ? "  " : "") + kv.second[i].path + " " + std::to_string(kv.second[i].ctime) + "\n";
                HCollectGroupReader groups(firstOnly, run);
                HCollectFile(m_dir.path(), "CollectTot", 1, HCOLLECT_READ).ReadGroupsInOrder(groups);
                HLinkGroupElement e;
                for (bool first; groups.Next(e, first);)
                    got += (first ? "" : "  ") + e.path + " " + std::to_string(e.ctime) + "\n";
                EXPECT_EQ(want, got);
            }
        }
    }
    WriteWholeFile(At("HCollectTot1.kxf"), "# /\n# 1 2 3 4 /a\n# 1 2 3 4 relative\n");
    HCollectGroupReader groups(false, 1);
    EXPECT_THROW(HCollectFile(m_dir.path(), "CollectTot", 1, HCOLLECT_READ).ReadGroupsInOrder(groups),
                 HardLinkManagerBaseException);
}

TEST_F(HCollectFileTest, MalformedLinesThrow) {
    const char* bad[] = {
        "# 1 2 3\n",                       // short line
        "# 1  2 3 4 /p\n",                 // two blanks
        "# 1 2 3 4\n",                     // no path
        "# 1 2 3 4 \n",                    // empty path
        "# 1 2 3 4 relative\n",            // not absolute
        "# x 2 3 4 /p\n",                  // not a number
        "# 1 2 3 4x /p\n",                 // not a whole number
        "# -1 2 3 4 /p\n",                 // negative inode
        "# 1 2 3 -4 /p\n",                 // negative size
        "# +1 2 3 4 /p\n",                 // sign
        "# 18446744073709551616 2 3 4 /p\n",  // inode out of range
        "# 1 2 9223372036854775808 4 /p\n",   // ctime out of range
        "# 1 2 3 4 /p%00\n",               // escape of NUL
        "# 1 2 3 4 /p%zz\n",               // broken escape
        "# 1 2 3 4 /p\r\n",                // raw carriage return
        "/plain/path\n",                   // not an H line
        "#1 2 3 4 /p\n",
        "# 1 2 3 4 /p",                    // last line without its line feed
    };
    for (const char* line : bad) {
        std::string text = std::string("# /\n# 9 9 9 9 /ok\n") + line;
        EXPECT_THROW(
            {
                try {
                    Groups(text);
                } catch (const HardLinkManagerBaseException& e) {
                    EXPECT_STREQ(e.what(), "Could not create the HL groups map");
                    throw;
                }
            },
            HardLinkManagerBaseException)
            << line;
    }
    // The older tokenizers, kept for their callers: single blanks cut, the rest is the path.
    std::vector<std::string> tokens;
    parseHCollectLine("  # 1  2 3 4 a b", tokens);
    EXPECT_EQ(tokens, (std::vector<std::string>{"#", "1", "", "2", "3", "4 a b"}));
    TokenizeIncludingTokens("a,,b c d e f g", tokens, ", ");
    EXPECT_EQ(tokens, (std::vector<std::string>{"a", "b", "c", "d", "e", "f g"}));
    TokenizeIncludingTokens("a b c d e,f", tokens, ", ");
    EXPECT_EQ(tokens.size(), 5u);
}

TEST_F(HCollectFileTest, WriterRefusesAndReportsFailures) {
    HCollectFile w(m_dir.path(), "CollectTot", 1, HCOLLECT_WRITE);
    for (const std::string& p : {std::string(""), std::string("rel"), std::string("/a\nb"),
                                 std::string("/a\rb"), std::string("/a\0b", 4)})
        EXPECT_THROW(w.InsertEntryInHCollectFile(p, Stat(1, 1, 1, 1)), HardLinkManagerBaseException);
    EXPECT_THROW(HCollectFile(m_dir.path(), "CollectTot", 2, HCOLLECT_READ),
                 HardLinkManagerBaseException);
    // A file whose last line was cut is not appended to.
    WriteWholeFile(At("HCollectTot4.kxf"), "# /\n# 1 2 3 4 /cut");
    EXPECT_THROW(HCollectFile(m_dir.path(), "CollectTot", 4, HCOLLECT_WRITE),
                 HardLinkManagerBaseException);
    // A buffered write that fails is reported by close().
    ASSERT_EQ(symlink("/dev/full", At("HCollectTot5.kxf").c_str()), 0);
    HCollectFile full(m_dir.path(), "CollectTot", 5, HCOLLECT_WRITE);
    full.InsertEntryInHCollectFile("/p", Stat(1, 1, 1, 1));
    EXPECT_THROW(full.close(), HardLinkManagerBaseException);
    EXPECT_EQ(HCollectFile::GetCollectFilePath(7, "/d", "CollectTot", ".tmpl"), "/d/CollectTot7.tmpl");
}

}  // namespace
