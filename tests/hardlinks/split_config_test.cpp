#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "hardlinks/SplitConfig.h"
#include "support/TestFiles.h"

namespace {

using testfiles::WriteWholeFile;
using K = SplitConfigKind;

std::string Members(const SplitConfigLine& l) {
    std::string s;
    for (const CollectToken& t : l.members)
        s += (s.empty() ? "" : " ") + t.str();
    return s;
}

TEST(SplitConfigLineTest, OneParserForEveryForm) {
    struct Case {
        K kind;
        std::string line;
        const char* members;
        uint64_t bad;
        uint64_t ignored;
    } cases[] = {
        {K::SplitConfig, "5", "5", 0, 0},
        {K::SplitConfig, "5 6 9", "5 6 7 8 9", 0, 0},
        {K::SplitConfig, "5\t7\r", "5 7", 0, 0},
        {K::SplitConfig, "7 9 8", "7", 0, 0},            // inverted range: empty
        {K::SplitConfig, "2 4 6 8 9", "2 4 5 6", 0, 2},  // words past the third
        {K::SplitConfig, "1,4,H2", "1 4 H2", 0, 0},
        {K::SplitConfig, " 1 , 04 ,\tH2 ", "1 4 H2", 0, 0},
        {K::SplitConfig, "1,,2,", "1 2", 2, 0},
        {K::SplitConfig, "1,2 3", "1", 1, 0},
        {K::SplitConfig, "1 1 2147483647", "1", 1, 0},   // range too long: refused at once
        {K::SplitConfig, "0 H0 -3", "", 2, 0},
        {K::SplitConfig, "x 2 3", "2 3", 1, 0},
        {K::SplitConfig, "4 H5 6", "4", 1, 0},           // range bounds are bare numbers
        {K::MergedSplitConfig, "H3 4 5 ", "H3 4 5", 0, 0},
        {K::MergedSplitConfig, "H 3x HH3 2147483648 +4 H2147483647", "H2147483647", 5, 0},
        {K::HCollectSplitConfig, "3 4 5 ", "3 H4 H5", 0, 0},
        {K::HCollectSplitConfig, "H3 4", "", 2, 0},
        {K::HCollectSplitConfig, "", "", 0, 0},
    };
    SplitConfigLine l;
    for (const Case& c : cases) {
        ParseSplitConfigLine(c.kind, c.line, l);
        EXPECT_EQ(Members(l), c.members) << c.line;
        EXPECT_EQ(l.badWords, c.bad) << c.line;
        EXPECT_EQ(l.ignoredWords, c.ignored) << c.line;
        for (const CollectToken& t : l.members)
            EXPECT_GE(t.number, 1) << c.line;
    }
    ParseSplitConfigLine(K::SplitConfig, "3 1 65536", l);  // the longest range taken
    EXPECT_EQ(l.members.size(), 65537u);
    ParseSplitConfigLine(K::SplitConfig, "3 1 65537", l);
    EXPECT_EQ(Members(l), "3");
}

class SplitConfigTest : public ::testing::Test {
protected:
    // Writes Merged_split_config and reads it.
    HLGroupMap Merged(const std::string& text) {
        WriteWholeFile(m_dir / "Merged_split_config", text);
        HLGroupMap map;
        EXPECT_TRUE(ReadMergedSplitConfigFileMap(nullptr, m_dir / "Merged_split_config", map));
        return map;
    }
    testfiles::TempDir m_dir{"ruxen_sc"};
};

TEST_F(SplitConfigTest, GroupsAreNonEmptyLinesAndNumbersAreListedOnce) {
    HLGroupMap map = Merged("\n  \nH1 2 3 \r\n\n\tH4 5\n6 7 3 H1 \n");
    ASSERT_EQ(map.groups().size(), 3u);
    EXPECT_EQ(map.groups().at(3).size(), 2u);  // 3 and H1 again are skipped
    EXPECT_EQ(map.GroupOf({false, 5}), 2);
    EXPECT_EQ(map.GroupOf({true, 5}), -1);
    EXPECT_TRUE(Merged("\n \t\n").empty());
    HLGroupMap none;
    EXPECT_FALSE(ReadMergedSplitConfigFileMap(nullptr, m_dir / "absent", none));
    ASSERT_EQ(mkdir((m_dir / "unreadable").c_str(), 0755), 0);  // opens, cannot be read
    EXPECT_FALSE(ReadSplitConfigFileMap(nullptr, m_dir / "unreadable", none));
}

TEST_F(SplitConfigTest, RegularFilesWaitForTheirGroupsHardLinkFiles) {
    HLGroupMap map = Merged("H1 2 3 \nH4 5 \n6 7 \n");
    struct Case {
        int32_t n;
        bool wait;
    } before[] = {{1, false}, {2, true}, {3, true}, {4, false}, {5, true}, {6, false}, {99, false}};
    for (const Case& c : before)
        EXPECT_EQ(ShouldWaitForHardLinkCollectFilesProcessing(c.n, map), c.wait) << c.n;
    EXPECT_EQ(PendingHardLinkCollectFiles(5, map), std::vector<int32_t>{4});
    EXPECT_TRUE(PendingHardLinkCollectFiles(6, map).empty());
    EXPECT_EQ(GetTheCountOfRegularCollectFilesForSpecificHLGroup(1, nullptr, map), 2);
    EXPECT_EQ(GetTheCountOfRegularCollectFilesForSpecificHLGroup(2, nullptr, map), 0);

    UpdateStatusToCompletedForHLFile(1, map);
    EXPECT_FALSE(ProcessingHardLinkCollect(2, map));
    EXPECT_TRUE(ProcessingHardLinkCollect(5, map));

    // The stream working on H4 fails: only its group's regular files fail,
    // never a finished one, and each is counted once.
    std::vector<RestartInfo_t> list;
    for (int32_t n : {1, 2, 3, 4, 5, 6, 7})
        list.push_back(RestartInfo_t{n, n == 3 ? kRestartFinished : 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(UpdateStatusToFailForHLFile(4, map, list), 1u);
    std::vector<int32_t> offsets;
    for (const RestartInfo_t& r : list)
        offsets.push_back(r.offset);
    EXPECT_EQ(offsets, (std::vector<int32_t>{0, 0, -1, 0, -2, 0, 0}));
    EXPECT_FALSE(ShouldWaitForHardLinkCollectFilesProcessing(5, map));
    EXPECT_EQ(UpdateStatusToFailForHLFile(4, map, list), 0u);
    EXPECT_EQ(UpdateStatusToFailForHLFile(2, map, list), 1u);  // H1's group: 3 is finished
    EXPECT_EQ(UpdateStatusToFailForHLFile(6, map, list), 0u);  // no H file in its group
    EXPECT_EQ(UpdateStatusToFailForHLFile(0, map, list), 0u);
}

TEST_F(SplitConfigTest, RestartListTakesOneFileOfEachGroupPerTurn) {
    std::vector<RestartInfo_t> list;
    EXPECT_TRUE(PopulateRestartInfoListUsingSplitConfig(nullptr, m_dir.path(), list));
    EXPECT_TRUE(list.empty());  // no split_config
    WriteWholeFile(m_dir / "split_config", "1 2 3\n\n4\r\n5,6\nbad\n");
    EXPECT_TRUE(PopulateRestartInfoListUsingSplitConfig(nullptr, m_dir.path(), list));
    std::vector<int32_t> order;
    for (const RestartInfo_t& r : list) {
        order.push_back(r.collectNumber);
        EXPECT_EQ(r.offset, 0);
    }
    EXPECT_EQ(order, (std::vector<int32_t>{1, 4, 5, 2, 6, 3}));
    ASSERT_EQ(mkdir((m_dir / "d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((m_dir / "d/split_config").c_str(), 0755), 0);
    EXPECT_FALSE(PopulateRestartInfoListUsingSplitConfig(nullptr, m_dir / "d", list));
}

}  // namespace
