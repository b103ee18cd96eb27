// ruxen-backup over a job directory as the merge of hard-link collect files
// leaves it: every collect file is backed up once, by two streams, and each
// regular collect file of a split group only after the group's hard-link
// collect file, by disk group and in order.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

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

}  // namespace
