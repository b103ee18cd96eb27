#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include "HardLinkTestUtil.h"

#include "hardlinks/HCollectFile.h"
#include "hardlinks/HardLinkMessages.h"
#include "hardlinks/JobDirectory.h"
#include "hardlinks/SplitConfig.h"
#include "platform/base/TestControl.h"

namespace {

using Files = std::map<std::string, std::string>;

int m_calls = 0;  // links and renames of the last FailingRenameManager

// Fails the n-th link or rename (1-based) of a split or merge, or kills its
// process there.
class FailingRenameManager : public HardLinkManager {
public:
    int failAt = 0;
    bool kill = false;
    FailingRenameManager() { m_calls = 0; }

protected:
    int renamePath(const std::string& from, const std::string& to) override {
        return Stop() ? -1 : HardLinkManager::renamePath(from, to);
    }
    int linkPath(const std::string& from, const std::string& to) override {
        return Stop() ? -1 : HardLinkManager::linkPath(from, to);
    }

private:
    bool Stop() {
        if (++m_calls != failAt)
            return false;
        if (kill)
            raise(SIGKILL);
        errno = EIO;
        return true;
    }
};

class SplitMergeTest : public HardLinkJobTest {
protected:
    void SetUp() override {
        HardLinkJobTest::SetUp();
        m_mgr.initHardLinkManager(m_dir.path(), "CollectTot");
    }
    static void Insert(HardLinkManager& m, uint32_t n, const std::string& path, uint64_t ino,
                       int64_t size) {
        ASSERT_TRUE(m.InsertEntryInHCollectFile(n, path, "", Stat(ino, 1, 0, size)));
    }
    // Merges; the files the directory then holds.
    Files Merge(uint32_t expectCount, int expectMissing) {
        uint32_t count = 0;
        int missing = -1;
        EXPECT_TRUE(m_mgr.MergeSplitFiles(count, missing));
        EXPECT_EQ(count, expectCount);
        EXPECT_EQ(missing, expectMissing);
        return Snapshot();
    }
    FailingRenameManager m_mgr;
};

// Also with the lines sorted in runs of one and two through a temporary
// file, as a file of millions of lines is.
TEST_F(SplitMergeTest, SplitBoundsFilesBySize) {
    for (int form = 0; form < 6; ++form) {
        const size_t run = form < 2 ? HCollectGroupReader::kRunLines : static_cast<size_t>(form / 2);
        const bool all = form % 2;
        SCOPED_TRACE(std::to_string(run) + (all ? " all records" : ""));
        ClearDir();
        HardLinkManager mgr;
        mgr.initHardLinkManager(m_dir.path(), "CollectTot");
        mgr.setAllRecords(all);
        ruxen::testcontrol::SetSplitRunLines(run);
        WriteFiles({{"HCollectTot2.tmp", "stale\n"}, {"HCollect_split_config", "stale\n"}});
        // Total 66 over 6 streams: at most 11 per file before the next group starts one.
        Insert(mgr, 1, "/1a", 1, 11);  // exactly the limit: the next group still joins
        Insert(mgr, 1, "/2", 2, 1);    // one more: the next group starts a new file
        Insert(mgr, 1, "/1b", 1, 11);
        Insert(mgr, 1, "/3", 3, 40);   // larger than the limit: a file of its own
        Insert(mgr, 1, "/4", 4, 1);
        Insert(mgr, 3, "/9", 9, 2);    // another source never shares a file
        ASSERT_TRUE(mgr.SplitHCollectFile(4, true, 6));
        mgr.Cleanup();
        EXPECT_EQ(Snapshot(), (Files{
            {"HCollectTot1.kxf", all ? "# /\n# 1 1 0 11 /1a\n# 1 1 0 11 /1b\n# 2 1 0 1 /2\n"
                                     : "# /\n# 1 1 0 11 /1a\n# 2 1 0 1 /2\n"},
            {"HCollectTot2.kxf", "# /\n# 3 1 0 40 /3\n"},
            {"HCollectTot3.kxf", "# /\n# 4 1 0 1 /4\n"},
            {"HCollectTot4.kxf", "# /\n# 9 1 0 2 /9\n"},
            {"HCollect_split_config", "1 1 2 3 \n2 \n3 4 \n4 \n"},
        }));
    }
}

TEST_F(SplitMergeTest, PlainSplitRewritesInPlaceAndDropsEmptySources) {
    Insert(m_mgr, 1, "/a", 7, 5);
    Insert(m_mgr, 1, "/b", 7, 5);
    Insert(m_mgr, 1, "/c", 3, 1);
    Insert(m_mgr, 5, "/d", 4, 1);
    Insert(m_mgr, 3, "/e", 6, 1);
    ASSERT_FALSE(m_mgr.closeCollectFile(3).IsError());
    testfiles::WriteWholeFile(At("HCollectTot3.kxf"), "# /\n");  // a source without groups
    ASSERT_TRUE(m_mgr.SplitHCollectFile(2, true, 100));  // limit 0: plain
    EXPECT_EQ(Snapshot(), (Files{
        {"HCollectTot1.kxf", "# /\n# 3 1 0 1 /c\n# 7 1 0 5 /a\n"},
        {"HCollectTot5.kxf", "# /\n# 4 1 0 1 /d\n"},
        {"HCollect_split_config", "1 1 \n2 \n3 \n4 \n5 5 \n"},
    }));

    HardLinkManager::DisableHardLinkFeature();
    uint32_t count = 7;
    int missing = 7;
    EXPECT_FALSE(m_mgr.SplitHCollectFile(2, false, 0));
    EXPECT_FALSE(m_mgr.MergeSplitFiles(count, missing));
    EXPECT_EQ(count + missing, 14u);
}

// A malformed line, or lines to sort in runs where no temporary file can
// be made: the split fails before it replaces anything.
TEST_F(SplitMergeTest, SplitFailureIsCritical) {
    const char* tmpdir = getenv("TMPDIR");
    const std::string saved = tmpdir ? tmpdir : "";
    for (bool noScratch : {false, true}) {
        SCOPED_TRACE(noScratch);
        ClearDir();
        Insert(m_mgr, 1, "/a", 7, 5);
        Insert(m_mgr, 1, "/b", 8, 5);
        ASSERT_FALSE(m_mgr.closeCollectFile(1).IsError());
        const std::string lines = noScratch ? "# /\n# 7 1 0 5 /a\n# 8 1 0 5 /b\n" : "# /\n# 7 1 0 5\n";
        testfiles::WriteWholeFile(At("HCollectTot1.kxf"), lines);
        ruxen::testcontrol::SetSplitRunLines(1);
        if (noScratch)
            setenv("TMPDIR", (m_dir / "none").c_str(), 1);
        EXPECT_THROW(m_mgr.SplitHCollectFile(1, false, 0), HardLinkManagerCriticalException);
        tmpdir ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");
        EXPECT_EQ(testfiles::ReadWholeFile(At("hardLinks")), "");  // the table is gone
        EXPECT_FALSE(PathExists(At("hardLinks.dat")));
        EXPECT_EQ(testfiles::ReadWholeFile(At("HCollectTot1.kxf")), lines);
        EXPECT_FALSE(PathExists(At("HCollect_split_config")));
    }
}

const Files kWorkedExample = {
    {"HCollectTot1.kxf", "H1"}, {"HCollectTot2.kxf", "H2"}, {"CollectTot1.kxf", "C1"},
    {"CollectTot2.kxf", "C2"},  {"CollectTot3.kxf", "C3"},  {"CollectTot4.kxf", "C4"},
    {"CollectTot5.kxf", "C5"},  {"CollectTot6.kxf", "C6"},
    {"HCollect_split_config", "1 1 \n2 \n3 2 \n"},        {"split_config", "1\n2 4 6\n3\n"},
};

TEST_F(SplitMergeTest, WorkedMergeExample) {
    WriteFiles(kWorkedExample);
    EXPECT_EQ(Merge(9, 0), (Files{
        {"CollectTot1.kxf", "H1"}, {"CollectTot2.kxf", "C1"}, {"CollectTot3.kxf", "C2"},
        {"CollectTot4.kxf", "C4"}, {"CollectTot5.kxf", "C5"}, {"CollectTot6.kxf", "C6"},
        {"CollectTot7.kxf", "H2"}, {"CollectTot8.kxf", "C3"},
        {"HCollect_split_config", "1 1 \n2 \n3 2 \n"},
        {"Merged_split_config", "H1 2 \n3 4 5 6 \nH7 8 \n"},
        {"split_config", "1 2 2\n3 4 6\n7 8 8\n"},
        {"split_config.orig", "1\n2 4 6\n3\n"},
    }));
}

TEST_F(SplitMergeTest, MergeOrdersKeysAsStringsAndCopiesUnsplitKeys) {
    Files in;
    for (int i = 1; i <= 12; ++i) {
        in["CollectTot" + std::to_string(i) + ".kxf"] = "C" + std::to_string(i);
        in["HCollect_split_config"] += std::to_string(i) + " \n";
        in["split_config"] += (i == 3 ? "03" : std::to_string(i)) + "\n";
    }
    WriteFiles(in);
    Files out = Merge(13, 0);
    const char* expect[] = {"C1", "C10", "C11", "C12", "C2", "C3", "C4", "C5", "C6", "C7", "C8", "C9"};
    for (int i = 1; i <= 12; ++i)
        EXPECT_EQ(out["CollectTot" + std::to_string(i) + ".kxf"], expect[i - 1]);

    // No split_config: each key's file is copied after its H files; a missing
    // one still takes its number, as an empty collect file. A key that a
    // split_config range lists joins that group.
    ClearDir();
    WriteFiles({{"HCollectTot1.kxf", "H1"}, {"CollectTot1.kxf", "C1"}, {"HCollect_split_config", "1 1 \n2 \n"}});
    EXPECT_EQ(Merge(4, 1), (Files{
        {"CollectTot1.kxf", "H1"}, {"CollectTot2.kxf", "C1"}, {"CollectTot3.kxf", ""},
        {"HCollect_split_config", "1 1 \n2 \n"},
        {"Merged_split_config", "H1 2 \n3 \n"}, {"split_config", "1 2 2\n3\n"},
    }));
    ClearDir();
    WriteFiles({{"HCollectTot5.kxf", "H5"}, {"CollectTot1.kxf", "C1"}, {"CollectTot2.kxf", "C2"},
                {"HCollect_split_config", "2 5 \n"}, {"split_config", "1 2 2\n"}});
    EXPECT_EQ(Merge(4, 0)["Merged_split_config"], "H1 2 3 \n");
}

// A merge that refuses changes nothing, the hard-links table included: bad
// configurations, a journal it cannot read, files of a merge that no journal
// describes, a collect file neither configuration names (a new number would
// overwrite it), which the log names.
TEST_F(SplitMergeTest, MalformedMergeInputLeavesTheDirectoryAlone) {
    struct Case {
        const char* hConfig;  // nullptr: absent
        const char* sConfig;
        const char* extra = nullptr;   // a file of that name, holding its name
        const char* logged = nullptr;  // in the log
    } cases[] = {
        {nullptr, "1\n"},
        {"1 x \n", "1\n"},
        {"1 1 \n", "0\n"},
        {"1 1 \n", "1,H2\n"},
        {"1 \n", "1 2 3\n2\n"},
        {"1 1 \n2 1 \n", "1\n2\n"},
        {"1 7 \n", "1\n"},
        {"1 \n", "1 2 9\n"},
        {"1 1\n", "1 2 99999999999\n"},
        {"1 1 \n", "1\n", "CollectTot2.tmpl"},
        {"1 1 \n", "1\n", "Merged_split_config.journal"},  // cut: no end line
        {"1 1 \n2 \n", "1\n2\n", nullptr,
         "holds CollectTot3.kxf, which neither split_config nor HCollect_split_config"},
        {"1 1 \n3 \n", nullptr, nullptr, "holds CollectTot2.kxf, which neither"},
    };
    for (const Case& c : cases) {
        Files in = {{"HCollectTot1.kxf", "H1"}, {"CollectTot1.kxf", "C1"}, {"CollectTot2.kxf", "C2"},
                    {"CollectTot3.kxf", "C3"}};
        if (c.sConfig)
            in["split_config"] = c.sConfig;
        if (c.hConfig)
            in["HCollect_split_config"] = c.hConfig;
        if (c.extra)
            in[c.extra] = c.extra;
        ClearDir();
        WriteFiles(in);
        HardLinksTable table;
        ASSERT_EQ(0, table.setDirectory(m_dir.path(), false, "hardLinks"));
        ASSERT_EQ(0, table.close());
        uint32_t count = 5;
        int missing = 5;
        SCOPED_TRACE(std::string(c.hConfig ? c.hConfig : "-") + "/" + (c.sConfig ? c.sConfig : "-"));
        ruxen::testcontrol::StartLogCapture();
        EXPECT_THROW(m_mgr.MergeSplitFiles(count, missing), HardLinkManagerCriticalException);
        const std::string log = ruxen::testcontrol::TakeCapturedLog();
        ruxen::testcontrol::StopLogCapture();
        EXPECT_TRUE(!c.logged || log.find(c.logged) != std::string::npos) << log;
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(Snapshot(), in);
        EXPECT_EQ(0, table.setDirectory(m_dir.path(), true, "hardLinks")) << "the table is whole";
    }
}

// A scan's split and merge, stopped at every link and rename they make,
// by a SIGKILL of the process or by a failure: the directory left is
// refused by a backup, and the next run (a split or merge left by the last
// finishes from its journal; one killed before its journal is redone by the
// library alone; a split never committed means the scan runs again) ends
// where an undisturbed run ends, the hard-links table whole.
TEST_F(SplitMergeTest, KilledOrFailedAtEveryStepTheNextRunFinishes) {
    auto scan = [&](HardLinkManager& m) {
        WriteFiles({{"CollectTot1.kxf", "C1"},
                    {"CollectTot2.kxf", "C2"},
                    {"CollectTot3.kxf", "C3"},
                    {"split_config", "1\n2 3 3\n"}});
        m.initHardLinkManager(m_dir.path(), "CollectTot");
        Insert(m, 1, "/a", 7, 5);
        Insert(m, 1, "/b", 7, 5);
        Insert(m, 1, "/c", 3, 50);
        Insert(m, 3, "/d", 4, 1);
        HardLinkManager::getHLTableClass(m_dir.path(), false)->close();
        HardLinkManager::closeHLTableClass();
    };
    auto run = [&](HardLinkManager& m) {
        uint32_t count;
        int missing;
        if (!PathExists(At("HCollect_split_config")) || PathExists(At(kSplitJournalName)))
            m.SplitHCollectFile(3, true, 2);
        m.MergeSplitFiles(count, missing);
    };
    auto nextRun = [&]() {
        HardLinkManager m;
        const bool splitKilled = PathExists(At(std::string(kSplitJournalName) + ".tmp"));
        if (!PathExists(At(kSplitJournalName)) && !PathExists(At("HCollect_split_config")) && !splitKilled) {
            ClearDir();
            scan(m);
        }
        m.initHardLinkManager(m_dir.path(), "CollectTot");
        run(m);
    };
    FailingRenameManager whole;
    scan(whole);
    run(whole);
    const Files done = Snapshot();
    EXPECT_EQ(done.at("Merged_split_config"), "H1 H2 3 \nH4 5 6 \n");
    ASSERT_TRUE(JobDirectory(m_dir.path(), "CollectTot").Load());

    for (bool kill : {true, false}) {
        int points = 0, beforeSplitJournal = 0;
        for (int at = 1;; ++at) {
            SCOPED_TRACE((kill ? "killed at step " : "failed at step ") + std::to_string(at));
            ClearDir();
            fflush(nullptr);
            const pid_t pid = kill ? fork() : 0;
            if (pid == 0) {
                FailingRenameManager m;
                m.failAt = at;
                m.kill = kill;
                scan(m);
                try {
                    run(m);
                } catch (const HardLinkManagerCriticalException&) {
                }
                if (kill)
                    _exit(0);
            }
            int status = 0;
            ASSERT_TRUE(!kill || waitpid(pid, &status, 0) == pid);
            if (kill ? WIFEXITED(status) : m_calls < at)
                break;  // no step left to stop at
            ASSERT_TRUE(!kill || (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL));
            ++points;
            beforeSplitJournal += PathExists(At(std::string(kSplitJournalName) + ".tmp"));
            EXPECT_FALSE(JobDirectory(m_dir.path(), "CollectTot").Load());
            nextRun();
            EXPECT_EQ(Snapshot(), done);
            EXPECT_TRUE(JobDirectory(m_dir.path(), "CollectTot").Load());
        }
        EXPECT_GT(points, 15);
        EXPECT_EQ(kill ? 1 : 0, beforeSplitJournal) << "a kill as the split's journal is put in place";
    }
}

// Random jobs: collect files, some split by split_config, hard links
// recorded in any of them; the scan's split and merge; the restart list
// then names every original collect file exactly once, and every regular
// file of a group with H files waits until they are all done.
TEST_F(SplitMergeTest, RandomSplitAndMerge) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        ruxen::testcontrol::ResetHardLinkManager();
        HardLinkManager::EnableHardLinkFeature();
        ClearDir();
        HardLinkManager mgr;
        mgr.initHardLinkManager(m_dir.path(), "CollectTot");
        mgr.setAllRecords(pick(0, 1));
        ruxen::testcontrol::SetSplitRunLines(pick(0, 1) ? HCollectGroupReader::kRunLines : pick(1, 4));

        const int files = pick(1, 14);
        std::multiset<std::string> originals;
        std::string split;
        for (int i = 1; i <= files;) {
            int len = std::min(pick(1, 4), files - i + 1);
            split += std::to_string(i);
            if (len == 2 || (len > 2 && pick(0, 1)))
                split += " " + std::to_string(i + 1) + " " + std::to_string(i + len - 1);
            else if (len > 2)
                for (int j = 1; j < len; ++j)
                    split += "," + std::to_string(i + j);
            split += "\n";
            for (int j = i; j < i + len; ++j) {
                std::string content = "collect " + std::to_string(j) + "\n";
                testfiles::WriteWholeFile(At("CollectTot" + std::to_string(j) + ".kxf"), content);
                originals.insert(content);
            }
            i += len;
        }
        if (pick(0, 3))
            testfiles::WriteWholeFile(At("split_config"), split);
        std::map<std::pair<int, uint32_t>, std::vector<std::string>> links;  // (inode, source)
        for (int k = pick(0, 30); k > 0; --k) {
            uint32_t n = pick(1, files);
            int ino = pick(1, 12);
            std::string path = "/f" + std::to_string(k);
            ASSERT_TRUE(mgr.InsertEntryInHCollectFile(n, path, "", Stat(ino, n, 0, ino)));
            links[{ino, n}].push_back(path);
        }
        std::multiset<std::string> hLines;  // what the H files must hold
        for (const auto& kv : links)
            for (size_t i = 0; i < (mgr.allRecords() ? kv.second.size() : 1); ++i)
                hLines.insert("# " + std::to_string(kv.first.first) + " " + std::to_string(kv.first.second) +
                              " 0 " + std::to_string(kv.first.first) + " " + kv.second[i]);
        ASSERT_TRUE(mgr.SplitHCollectFile(files, pick(0, 1), pick(0, 4)));
        uint32_t count = 0;
        int missing = -1;
        ASSERT_TRUE(mgr.MergeSplitFiles(count, missing));
        EXPECT_EQ(missing, 0);

        HLGroupMap groups;
        ASSERT_TRUE(ReadMergedSplitConfigFileMap(nullptr, At("Merged_split_config"), groups));
        std::vector<RestartInfo_t> list;
        ASSERT_TRUE(PopulateRestartInfoListUsingSplitConfig(nullptr, m_dir.path(), list));
        std::multiset<std::string> regular, hRead;
        std::set<int32_t> seen;
        for (const RestartInfo_t& r : list) {
            EXPECT_TRUE(seen.insert(r.collectNumber).second) << r.collectNumber;
            std::string content = testfiles::ReadWholeFile(At("CollectTot" + std::to_string(r.collectNumber) + ".kxf"));
            if (groups.GroupOf({true, r.collectNumber}) < 0) {
                regular.insert(content);
                continue;
            }
            for (size_t pos = 0, nl; (nl = content.find('\n', pos)) != std::string::npos; pos = nl + 1)
                if (content.compare(pos, nl - pos, "# /") != 0)
                    hRead.insert(content.substr(pos, nl - pos));
        }
        EXPECT_EQ(regular, originals);
        EXPECT_EQ(hRead, hLines);
        EXPECT_EQ(seen.size(), count - 1u);
        EXPECT_EQ(groups.entries(), count - 1u);
        for (const auto& kv : groups.groups()) {
            std::vector<int32_t> h, r;
            for (const _HLColStatus& e : kv.second)
                (e.parsed.hardLink ? h : r).push_back(e.parsed.number);
            for (size_t done = 0; done <= h.size(); ++done) {
                for (int32_t n : r)
                    EXPECT_EQ(ShouldWaitForHardLinkCollectFilesProcessing(n, groups), done < h.size());
                if (done < h.size())
                    UpdateStatusToCompletedForHLFile(h[done], groups);
            }
        }
    }
}

}  // namespace
