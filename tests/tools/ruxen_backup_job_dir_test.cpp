// ruxen-backup over a job directory as the merge of hard-link collect files
// leaves it: every collect file is backed up once, by two streams, and each
// regular collect file of a split group only after the group's hard-link
// collect file, by disk group and in order. And the whole road: ruxen-collect,
// the split and the merge, two streams, the dump and its verifier.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "hardlinks/HCollectLine.h"
#include "hardlinks/HardLinkManager.h"
#include "hardlinks/HardLinkMessages.h"
#include "support/RunProgram.h"
#include "support/StreamCheck.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

TEST(RuxenBackupJobDir, EveryCollectFileOnceRegularFilesAfterTheirHardLinkFiles) {
    for (const char* classic : {"Y", "N"}) {
        SCOPED_TRACE(std::string("classic=") + classic);
        TempDir dir("ruxen_job_dir");
        const std::string job = dir / "job", tree = dir / "tree";
        ASSERT_EQ(0, mkdir(job.c_str(), 0755));
        ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
        // Collect file n lists n files; the hard-link collect files 1 and 4
        // hold the most data.
        for (int n = 1; n <= 6; ++n) {
            std::string lines;
            for (int k = 0; k < n; ++k) {
                const std::string f = tree + "/f" + std::to_string(n) + "_" + std::to_string(k);
                WriteWholeFile(f, pattern(n == 1 || n == 4 ? 4 << 20 : 100, n + k));
                lines += f + "\n";
            }
            WriteWholeFile(job + "/CollectTot" + std::to_string(n) + ".kxf", lines);
        }
        WriteWholeFile(job + "/Merged_split_config", "H1 2 3 \nH4 5 \n6 \n");
        WriteWholeFile(job + "/split_config", "1 2 3\n4 5 5\n6\n");
        WriteWholeFile(dir / "registry", std::string("[FileSystemAgent]\nHLINK=Y\nsCLASSIC_ARBITRATION=") + classic +
                                             "\n");
        ProgramOptions log;
        log.env = {"RUXEN_LOG_LEVEL=2", "RUXEN_LOG_FILE=" + (dir / "log")};
        ProgramResult r = RunProgram(dir.path(), "ruxen-backup",
                                     {"--registry", dir / "registry", "--streams", "2", "--job-dir", job, "--archive",
                                      dir / "out"},
                                     log);
        ASSERT_EQ(0, r.exitCode) << r.err;
        uint64_t items = 0;
        for (const char* s : {".1", ".2"}) {
            StreamCheck c = CheckArchiveFile(dir / "out" + s);
            EXPECT_TRUE(c.Ok()) << c.lines;
            items += c.matched;
        }
        EXPECT_EQ(21u, items) << "every file of every collect file once";

        // The parent's own lines: which stream took and finished what, in order.
        std::map<int, int> taken, finished;
        std::istringstream lines(ReadWholeFile(dir / "log"));
        int order = 0;
        const std::string takes = " takes collect file ", ends = " finished collect file ";
        for (std::string line; std::getline(lines, line); ++order) {
            size_t at;
            if ((at = line.find(takes)) != std::string::npos)
                EXPECT_TRUE(taken.emplace(atoi(line.c_str() + at + takes.size()), order).second) << line;
            else if ((at = line.find(ends)) != std::string::npos)
                finished[atoi(line.c_str() + at + ends.size())] = order;
        }
        EXPECT_EQ(6u, taken.size());
        for (const auto& [regular, hardLink] : std::map<int, int>{{2, 1}, {3, 1}, {5, 4}}) {
            ASSERT_TRUE(finished.count(hardLink) && taken.count(regular));
            EXPECT_LT(finished[hardLink], taken[regular]) << regular << " before H" << hardLink;
        }
    }
}

// The program that splits and merges the scan's hard-link collect files
// runs apart from the scan: a new manager takes up what ruxen-collect
// recorded by recording each line again, in order (the test's paths need no
// escapes), then splits over the job's streams and merges.
void SplitAndMerge(const std::string& job, uint32_t collects, uint32_t streams) {
    HardLinkManager::ResetForTest();
    HardLinkManager::EnableHardLinkFeature();
    HardLinkManager mgr;
    mgr.initHardLinkManager(job, "CollectTot");
    for (uint32_t n = 1; n <= collects; ++n) {
        const std::string path = job + "/HCollectTot" + std::to_string(n) + ".kxf";
        std::istringstream lines(ReadWholeFile(path));
        ASSERT_EQ(0, unlink(path.c_str()));
        HLinkGroupElement e;
        for (std::string line; std::getline(lines, line);) {
            struct stat st {};
            if (ParseHCollectEntry(line.data(), line.size(), e, nullptr) != HCollectLineKind::Data)
                continue;
            st.st_ino = e.inode, st.st_dev = e.device, st.st_ctime = e.ctime, st.st_size = static_cast<off_t>(e.size);
            ASSERT_TRUE(mgr.InsertEntryInHCollectFile(n, e.path, "", st));
        }
    }
    uint32_t next = 0;
    int missing = -1;
    ASSERT_TRUE(mgr.SplitHCollectFile(collects, true, streams));
    ASSERT_TRUE(mgr.MergeSplitFiles(next, missing));
    EXPECT_EQ(0, missing);
}

// Three trees whose hard links cross them: each group's data goes once, in
// one of the two streams, under its phony name with the names of its other
// links (records 149); its members, in either stream, name the group. The
// streams verify together.
TEST(RuxenBackupJobDir, HardLinksAcrossTreesThroughSplitMergeAndTwoStreams) {
    TempDir dir("ruxen_job_hl");
    const std::string job = dir / "job", t1 = dir / "t1", t2 = dir / "t2", t3 = dir / "t3";
    for (const std::string& d : {job, t1, t2, t3, t3 + "/sub"})
        ASSERT_EQ(0, mkdir(d.c_str(), 0755));
    // Groups: one over all trees, one over trees 2 and 3, two within a tree.
    const std::map<std::string, std::vector<std::string>> groups = {{t1 + "/a", {t2 + "/a2", t3 + "/sub/a3"}},
                                                                    {t2 + "/b", {t3 + "/b2"}},
                                                                    {t3 + "/c", {t3 + "/sub/c2"}},
                                                                    {t1 + "/d", {t1 + "/d2"}}};
    std::multiset<std::pair<std::string, std::string>> want;  // phony name, "" (its data) or a member name
    for (const auto& [head, links] : groups) {
        WriteWholeFile(head, pattern(70000 + want.size(), static_cast<unsigned>(want.size())));
        for (const std::string& l : links)
            ASSERT_EQ(0, link(head.c_str(), l.c_str()));
        struct stat st;
        ASSERT_EQ(0, lstat(head.c_str(), &st));
        const std::string phony = kPhonyNamePrefix + std::to_string(st.st_ino) + "_" + std::to_string(st.st_dev) +
                                  "_" + std::to_string(st.st_ctime);
        want.emplace(phony, "");
        for (const std::string& l : links)
            want.emplace(phony, l);
    }
    WriteWholeFile(t1 + "/plain", pattern(5000, 9));
    WriteWholeFile(t3 + "/sub/plain", pattern(6000, 10));
    ProgramResult r = RunProgram(dir.path(), "ruxen-collect", {"--job-dir", job, t1, t2, t3});
    ASSERT_EQ(0, r.exitCode) << r.err;
    WriteWholeFile(job + "/split_config", "1\n2 3 3\n");
    ASSERT_NO_FATAL_FAILURE(SplitAndMerge(job, 3, 2));
    EXPECT_EQ("H1 2 \nH3 H4 5 6 \n", ReadWholeFile(job + "/Merged_split_config"));

    WriteWholeFile(dir / "registry", "[FileSystemAgent]\nHLINK=Y\n");
    r = RunProgram(dir.path(), "ruxen-backup",
                   {"--registry", dir / "registry", "--streams", "2", "--job-dir", job, "--failures",
                    dir / "failures", "--archive", dir / "out"});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("", ReadWholeFile(dir / "failures.1") + ReadWholeFile(dir / "failures.2"));
    r = RunProgram(dir.path(), "ruxen-dump", {"--verify", dir / "out.1", dir / "out.2"});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find(" 6 matched, 0 mismatched")) << "four groups and two plain files";
    std::multiset<std::pair<std::string, std::string>> sent;
    std::string item;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const size_t name = line.find(" HEADER type=128 length=1160 name=\""), text = line.find(" text=\"");
        if (name != std::string::npos) {
            item = line.substr(name + 35, line.find('"', name + 35) - name - 35);
            if (item.compare(0, strlen(kPhonyNamePrefix), kPhonyNamePrefix) == 0)
                sent.emplace(item, "");
        } else if (line.find(" OPT_HDR2 type=149 ") != std::string::npos) {
            sent.emplace(item, line.substr(text + 7, line.size() - text - 8));
        }
    }
    EXPECT_EQ(want, sent);
}

}  // namespace
