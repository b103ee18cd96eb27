// The parent over a job directory as the merge of hard-link collect files
// leaves it, with streams whose work is a function object that notes what
// it took: a stream that fails on a hard-link collect file fails its group,
// and a directory whose files could wait for ever is refused before any
// stream starts. (That regular files wait for their hard-link collect files:
// ruxen_backup_job_dir_test.)
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hardlinks/HardLinkManager.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/base/TestControl.h"
#include "platform/hardlinks/HardLinksTable.h"
#include "ruxen/RuxenBase.h"
#include "support/ProcessState.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

struct GroupCase {
    const char* name;
    const char* merged;  // Merged_split_config
    const char* split;   // split_config
    int failOn;          // the stream that takes this collect file fails
    int status;
    std::set<int> handed, failed;
};

TEST(JobSplitGroups, HoldsFailuresAndFilesThatWouldWaitForEver) {
    const GroupCase cases[] = {
        {"HardLinkFileFails", "H1 2 3 \nH4 5 \n6 \n", "1 2 3\n4 5 5\n6\n", 1, 1, {1, 4, 5, 6}, {1, 2, 3}},
        {"HardLinkFileNeverListed", "H1 2 \nH9 5 \n", "1 2\n5\n", 0, 1, {}, {}},
    };
    for (const GroupCase& c : cases) {
        for (const char* classic : {"Y", "N"}) {
            SCOPED_TRACE(std::string(c.name) + " classic=" + classic);
            ProcessStateGuard state;
            KXPlatformInfo::setValue(kFileSystemAgentSection, "HLINK", "Y");
            KXPlatformInfo::setValue(kFileSystemAgentSection, "sCLASSIC_ARBITRATION", classic);
            TempDir dir("job_split_groups");
            for (int n = 1; n <= 6; ++n)
                WriteWholeFile(dir / ("CollectTot" + std::to_string(n) + ".kxf"), dir.path() + "\n");
            WriteWholeFile(dir / "Merged_split_config", c.merged);
            WriteWholeFile(dir / "split_config", c.split);
            HardLinksTable table;
            ASSERT_EQ(0, table.setDirectory(dir.path(), false, "hardLinks"));
            ASSERT_EQ(0, table.close());
            const std::string notes = dir / "notes";
            WriteWholeFile(notes, "");
            BackupArgs args;
            args.streamCount = 2;
            args.archivePath = "/dev/null";
            args.jobDir = dir.path();
            RuxenBase job(args, {});
            job.setStreamFunction([&](RuxenBase&, const BackupArgs&, const RuxenBase::NextCollect& next) {
                const int fd = open(notes.c_str(), O_WRONLY | O_APPEND);
                StreamRun run;
                for (int n; !run.failed && (n = next()) > 0;) {
                    dprintf(fd, "%d\n", n);
                    run.failed = n == c.failOn;
                }
                close(fd);
                return run;
            });
            EXPECT_EQ(c.status, job.parent());
            std::set<int> handed, failed;
            std::istringstream lines(ReadWholeFile(notes));
            for (int n = 0; lines >> n;)
                EXPECT_TRUE(handed.insert(n).second) << n << " handed out twice";
            for (const std::string& f : job.failedCollectFiles())
                failed.insert(std::stoi(f.substr(f.rfind("CollectTot") + 10)));
            EXPECT_EQ(c.handed, handed);
            EXPECT_EQ(c.failed, failed);
            EXPECT_EQ(c.handed.empty(), !job.inputError().empty()) << job.setupError();
            ruxen::testcontrol::ResetHardLinkManager();
        }
    }
}

}  // namespace
