#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "HardLinkTestUtil.h"
#include "hardlinks/HCollectFile.h"
#include "hardlinks/HardLinkManager.h"
#include "platform/base/TestControl.h"

namespace {

using testfiles::ReadWholeFile;
using testfiles::WriteWholeFile;

class HardLinkManagerTest : public HardLinkJobTest {
protected:
    void SetUp() override {
        HardLinkJobTest::SetUp();
        m_mgr.initHardLinkManager(m_dir.path(), "CollectTot");
    }
    HardLinkManager m_mgr;
};

TEST_F(HardLinkManagerTest, RecordsRealHardLinks) {
    ASSERT_EQ(mkdir(At("tree").c_str(), 0755), 0);
    WriteWholeFile(At("tree/a"), "data");
    ASSERT_EQ(link(At("tree/a").c_str(), At("tree/b with blank").c_str()), 0);
    ASSERT_EQ(link(At("tree/a").c_str(), At("tree/c%\n").c_str()), 0);
    struct stat st;
    ASSERT_EQ(lstat(At("tree/a").c_str(), &st), 0);
    for (const char* name : {"a", "b with blank", "c%\n"})
        EXPECT_TRUE(m_mgr.InsertEntryInHCollectFile(2, At(std::string("tree/") + name), "", st));
    ASSERT_TRUE(m_mgr.closeCollectFile(2).IsError() == false);
    const std::string id = "# " + std::to_string(st.st_ino) + " " + std::to_string(st.st_dev) + " " +
                           std::to_string(st.st_ctime) + " 4 " + At("tree/");
    EXPECT_EQ(ReadWholeFile(At("HCollectTot2.kxf")),
              "# /\n" + id + "a\n" + id + "b with blank\n" + id + "c%25%0A\n");
    EXPECT_EQ(m_mgr.totalSize(), 12u);
    EXPECT_EQ(m_mgr.hColNumbers(), std::set<uint32_t>{2});
    EXPECT_EQ(m_mgr.getFileGUID(st.st_dev, st.st_ino, st.st_ctime), "");

    // The streams read the table: the group's head first, then the others.
    HardLinksTablePtr t = HardLinkManager::getHLTableClass(m_dir.path(), true);
    ASSERT_TRUE(t);
    std::string path, guid;
    int64_t ctime;
    ASSERT_EQ(t->searchFirst(st.st_dev, st.st_ino, path, ctime, guid), 1);
    EXPECT_EQ(path, At("tree/a"));
    ASSERT_EQ(t->searchNext(path, ctime), 1);
    ASSERT_EQ(t->searchNext(path, ctime), 1);
    EXPECT_EQ(path, At("tree/c%\n"));  // the table holds the raw path
    EXPECT_EQ(HardLinkManager::getHLTableClass(m_dir.path(), true), t);
    t->close();  // closed by one owner: the cache hands out a fresh one
    HardLinksTablePtr again = HardLinkManager::getHLTableClass(m_dir.path(), true);
    ASSERT_TRUE(again && again->isOpen());
    EXPECT_NE(again, t);
    EXPECT_FALSE(HardLinkManager::getHLTableClass(At("nowhere"), true));
    EXPECT_FALSE(HardLinkManager::getHLTableClass("", true));
}

TEST_F(HardLinkManagerTest, FirstInsertWipesTheTableAndFailsOnStaleFiles) {
    HardLinksTable old;
    ASSERT_EQ(old.setDirectory(m_dir.path(), false, "hardLinks"), 0);
    ASSERT_EQ(old.insert(1, 1, 1, "/stale", ""), 0);
    ASSERT_EQ(old.close(), 0);
    ASSERT_TRUE(m_mgr.InsertEntryInHCollectFile(1, "/new", "", Stat(1, 1, 1, 0)));
    std::vector<std::string> rows;
    m_mgr.closeCollectFile(1);
    HardLinkManager::getHLTableClass(m_dir.path(), true)
        ->forEachRow([&](uint64_t, uint64_t, int64_t, const std::string& p, const std::string&) { rows.push_back(p); });
    EXPECT_EQ(rows, std::vector<std::string>{"/new"});

    HardLinkManager other;
    other.initHardLinkManager(At("stale"), "CollectTot");
    ASSERT_EQ(mkdir(At("stale").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(At("stale/hardLinks.dat").c_str(), 0755), 0);
    WriteWholeFile(At("stale/hardLinks.dat/x"), "");
    EXPECT_THROW(other.InsertEntryInHCollectFile(1, "/p", "", Stat(1, 1, 1, 0)), HardLinkManagerBaseException);
    EXPECT_THROW(m_mgr.InsertEntryInHCollectFile(0, "/p", "", Stat(1, 1, 1, 0)), HardLinkManagerBaseException);
}

TEST_F(HardLinkManagerTest, SwitchPhonyNamesAndRegistry) {
    struct stat st = Stat(UINT64_MAX, UINT64_MAX, INT64_MIN, 1);
    EXPECT_EQ(HardLinkManager::GeneratePhonyFileNameUsingStat(st),
              "/__KXHardLink@-@-Files__/18446744073709551615_18446744073709551615_-9223372036854775808");
    EXPECT_EQ(HardLinkManager::GeneratePhonyFileName(Stat(0, 0, 0, 0)), "/__KXHardLink@-@-Files__/0_0_0");
    EXPECT_TRUE(m_mgr.InsertEntryInHCollectFile(1, "/__KXHardLink@-@-Files__/1_2_3", "", st));
    EXPECT_TRUE(m_mgr.hColNumbers().empty());
    EXPECT_EQ(m_mgr.GenerateMergedSplitConfigFileName("/d"), "/d/Merged_split_config");

    struct Case {
        const char* value;  // nullptr: no key
        bool on;
    } cases[] = {{"Y", true}, {"yes", true}, {"N", false}, {"", false}, {"maybe", false}, {nullptr, false}};
    for (const Case& c : cases) {
        ruxen::testcontrol::ResetHardLinkManager();
        ruxen::testcontrol::ResetRegistry();
        if (c.value)
            KXPlatformInfo::setValue("FileSystemAgent", "HLINK", c.value);
        EXPECT_EQ(HardLinkManager::HardLinkFeatureSupported(), c.on) << (c.value ? c.value : "absent");
        KXPlatformInfo::setValue("FileSystemAgent", "HLINK", "Y");  // read once only
        EXPECT_EQ(HardLinkManager::HardLinkFeatureSupported(), c.on);
    }
    ruxen::testcontrol::ResetHardLinkManager();
    HardLinkManager::DisableHardLinkFeature();  // the registry says Y but is not read again
    EXPECT_FALSE(HardLinkManager::HardLinkFeatureSupported());
    EXPECT_FALSE(m_mgr.InsertEntryInHCollectFile(1, "/p", "", Stat(1, 1, 1, 1)));
    EXPECT_FALSE(PathExists(At("HCollectTot1.kxf")));
}

TEST_F(HardLinkManagerTest, BoundedCacheAndMergedManagers) {
    m_mgr.setCollectFileCacheCapacity(2);
    for (int round = 0; round < 3; ++round)
        for (uint32_t n = 1; n <= 5; ++n)
            m_mgr.InsertEntryInHCollectFile(n, "/f" + std::to_string(round), "", Stat(n, 1, 0, 0));
    HardLinkManager empties;  // recorded empty files only
    empties.initHardLinkManager(m_dir.path(), "CollectTot");
    empties.InsertEntryInHCollectFile(6, "/e", "", Stat(6, 1, 0, 0));
    m_mgr += empties;
    EXPECT_EQ(m_mgr.hColNumbers(), (std::set<uint32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(m_mgr.insertedPaths(), 16u);
    m_mgr.Cleanup();
    EXPECT_EQ(ReadWholeFile(At("HCollectTot4.kxf")),
              "# /\n# 4 1 0 0 /f0\n# 4 1 0 0 /f1\n# 4 1 0 0 /f2\n");
    EXPECT_EQ(ReadWholeFile(At("HCollectTot6.kxf")), "# /\n# 6 1 0 0 /e\n");

    ASSERT_EQ(symlink("/dev/full", At("HCollectTot9.kxf").c_str()), 0);
    m_mgr.InsertEntryInHCollectFile(9, "/p", "", Stat(1, 1, 1, 1));
    EXPECT_TRUE(m_mgr.closeCollectFile(9).IsError());
}

TEST_F(HardLinkManagerTest, CopyFileRefusals) {
    WriteWholeFile(At("src"), "source");
    WriteWholeFile(At("dst"), "keep");
    ASSERT_EQ(link(At("dst").c_str(), At("dst-link").c_str()), 0);
    ASSERT_EQ(mkdir(At("dir").c_str(), 0755), 0);
    struct Case {
        std::string from, to;
        bool overwrite;
        const char* what;
    } cases[] = {
        {At("missing"), At("dst"), true, "Unable to open input file"},
        {At("dir"), At("dst"), true, "Unable to copy file"},  // opens, cannot be read
        {At("src"), At("dst"), false, "Output file already exists"},
        {At("dst-link"), At("dst"), true, "Input and output are the same file"},
        {At("src"), At("no/dst"), true, "Unable to open output file"},
    };
    for (const Case& c : cases) {
        try {
            copy_file(c.from, c.to, c.overwrite);
            ADD_FAILURE() << c.what;
        } catch (const HardLinkManagerBaseException& e) {
            EXPECT_STREQ(e.what(), c.what);
        }
        EXPECT_EQ(ReadWholeFile(At("dst")), "keep") << c.what;
    }
    copy_file(At("src"), At("dst"), true);
    EXPECT_EQ(ReadWholeFile(At("dst")), "source");
    copy_file(At("src"), At("new"), false);
    EXPECT_EQ(ReadWholeFile(At("new")), "source");
}

}  // namespace
