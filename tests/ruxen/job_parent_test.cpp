// The parent with real child processes whose streams are function objects:
// which collect file each stream got, what the parent made of streams that
// failed or ended early, and the job's totals.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/base/StopSignals.h"
#include "platform/base/TestControl.h"
#include "ruxen/RuxenBase.h"
#include "support/ProcessState.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

enum Misdeed { kNone, kExitAtOnce, kDieHoldingFile, kReportFailure, kHalfMessage };

struct ParentCase {
    const char* name;
    int streams;
    int culprit;  // the stream that misbehaves: 0 none, -1 every one
    Misdeed misdeed;
    int status;
    std::vector<std::string> failed;  // collect files reported failed
    uint64_t items;                   // the job's totals: one item per file a stream reported
};
void PrintTo(const ParentCase& c, std::ostream* os) { *os << c.name; }

class Parent : public ::testing::TestWithParam<ParentCase> {};

TEST_P(Parent, HandsOutEachFileOnceInOrderAndSettlesFailures) {
    const ParentCase& c = GetParam();
    ProcessStateGuard state;
    TempDir dir("ruxen_parent");
    const std::string log = dir / "handed";
    // Well-behaved streams wait until the culprit holds its first file, so
    // that it is always collect file 1.
    int gate[2];
    ASSERT_EQ(0, pipe(gate));
    BackupArgs args;
    args.streamCount = c.streams;
    args.archivePath = "/dev/null";
    std::vector<std::string> collects;
    for (int i = 1; i <= 5; ++i) {
        collects.push_back(dir / ("c" + std::to_string(i)));
        WriteWholeFile(collects.back(), "");
    }
    RuxenBase job(args, collects);
    ruxen::testcontrol::SetMessageDeadline(100);
    job.setStreamFunction([&](RuxenBase& j, const BackupArgs& a, const RuxenBase::NextCollect& next) {
        const bool culprit = c.culprit == -1 || c.culprit == a.streamNumber;
        if (culprit && c.misdeed == kExitAtOnce)
            _exit(3);
        const int fd = open(log.c_str(), O_WRONLY | O_APPEND);
        char byte = 0;
        if (!culprit && c.culprit > 0 && read(gate[0], &byte, 1) != 1)
            _exit(9);
        StreamRun run;
        for (int n; (n = next()) > 0;) {
            const std::string line = std::to_string(a.streamNumber) + " " + std::to_string(n) + "\n";
            if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
                _exit(9);
            ++run.totals.items;
            if (culprit && c.misdeed != kNone)
                break;
        }
        if (culprit && c.misdeed != kNone) {
            for (int i = 1; i < c.streams; ++i)
                if (write(gate[1], "g", 1) != 1)
                    _exit(9);
            // Three bytes of a message, then nothing: the parent must not
            // wait for the rest while the others go on.
            if (c.misdeed == kHalfMessage) {
                if (write(j.messageSocket(), "\1\0\0", 3) != 3)
                    _exit(9);
                while (ruxen::StopRequested() == 0)
                    pause();  // until the parent kills it (or dies)
                _exit(9);
            }
            if (c.misdeed != kReportFailure)
                _exit(3);
            run.failed = true;
        }
        return run;
    });
    WriteWholeFile(log, "");
    for (int i = 1; c.misdeed == kExitAtOnce && i < c.streams; ++i)  // the culprit leaves before asking
        ASSERT_EQ(1, write(gate[1], "g", 1));

    alarm(20);  // a parent waiting for the rest of a message for ever fails the test
    EXPECT_EQ(c.status, job.parent());
    alarm(0);
    close(gate[0]);
    close(gate[1]);
    std::vector<std::string> failedNames;
    for (const std::string& f : job.failedCollectFiles())
        failedNames.push_back(f.substr(f.rfind('/') + 1));
    EXPECT_EQ(c.failed, failedNames);
    EXPECT_EQ(c.items, job.jobTotals().items);
    const std::set<std::string> failed(c.failed.begin(), c.failed.end());
    for (const RestartInfo_t& r : job.restartList()) {
        const bool f = failed.count("c" + std::to_string(r.collectNumber)) > 0;
        EXPECT_EQ(f ? kRestartFailed : kRestartFinished, r.offset) << r.collectNumber;
    }
    std::map<int, std::vector<int>> byStream;
    std::multiset<int> handed;
    std::istringstream lines(ReadWholeFile(log));
    for (int s, n; lines >> s >> n;) {
        byStream[s].push_back(n);
        handed.insert(n);
    }
    for (auto& [s, got] : byStream)
        EXPECT_TRUE(std::is_sorted(got.begin(), got.end())) << "stream " << s;
    const size_t handedOut = c.culprit == -1 ? static_cast<size_t>(c.streams) : 5;
    EXPECT_EQ(handedOut, handed.size());
    EXPECT_EQ(handedOut, std::set<int>(handed.begin(), handed.end()).size()) << "a file was handed out twice";
    EXPECT_EQ(!c.failed.empty(), state.Log().find("/c1) was not backed up") != std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Parent,
    ::testing::Values(ParentCase{"TwoStreams", 2, 0, kNone, 0, {}, 5},
                      ParentCase{"ThreeStreams", 3, 0, kNone, 0, {}, 5},
                      ParentCase{"MoreStreamsThanFiles", 9, 0, kNone, 0, {}, 5},
                      ParentCase{"ExitsAtOnce", 3, 2, kExitAtOnce, 1, {}, 5},
                      ParentCase{"DiesHoldingAFile", 3, 2, kDieHoldingFile, 1, {"c1"}, 4},
                      ParentCase{"ReportsAFailedStream", 2, 2, kReportFailure, 1, {"c1"}, 5},
                      ParentCase{"SendsHalfAMessage", 3, 2, kHalfMessage, 1, {"c1"}, 4},
                      ParentCase{"EveryStreamDies", 2, -1, kDieHoldingFile, 1, {"c1", "c2", "c3", "c4", "c5"}, 0}),
    [](const ::testing::TestParamInfo<ParentCase>& i) { return std::string(i.param.name); });

// SIGTERM to the parent reaches every child, whose stream ends as
// interrupted; the parent waits for both, and nothing is counted done: the
// files they held and the files never handed out fail. A second signal
// kills streams that do not stop.
TEST(ParentStop, SignalReachesEveryStreamAndFailsWhatIsLeft) {
    for (int signals : {1, 2}) {
        SCOPED_TRACE(std::to_string(signals) + " signals");
        ProcessStateGuard state;
        TempDir dir("ruxen_parent_stop");
        BackupArgs args;
        args.streamCount = 2;
        args.archivePath = "/dev/null";
        std::vector<std::string> collects;
        for (const char* name : {"c1", "c2", "c3", "c4"}) {
            collects.push_back(dir / name);
            WriteWholeFile(collects.back(), "");
        }
        RuxenBase job(args, collects);
        job.setStreamFunction([&](RuxenBase&, const BackupArgs& a, const RuxenBase::NextCollect& next) {
            StreamRun run;
            run.totals.items = next() > 0;
            if (a.streamNumber == 1 && kill(getppid(), SIGTERM) != 0)
                _exit(9);
            // The parent passes the signal on; with a second one (sent once
            // the first has come back), these streams do not stop, and are
            // killed.
            bool resent = false;
            for (int i = 0; ruxen::StopRequested() != SIGTERM || signals > 1; ++i) {
                if (i > 5000)
                    _exit(9);
                if (signals > 1 && ruxen::StopRequested() != 0 && a.streamNumber == 1 && !resent) {
                    resent = true;
                    if (kill(getppid(), SIGTERM) != 0)
                        _exit(9);
                }
                usleep(1000);
            }
            run.failed = true;
            return run;
        });
        EXPECT_EQ(1, job.parent());
        EXPECT_EQ(SIGTERM, ruxen::StopRequested());
        EXPECT_EQ(collects, job.failedCollectFiles());
        const std::string log = state.Log();
        EXPECT_NE(log.find("c4) was not backed up: the job was interrupted before it"), std::string::npos) << log;
        EXPECT_EQ(signals > 1, log.find("ended without reporting") != std::string::npos) << log;
        EXPECT_EQ(signals > 1, log.find("exit status 9") == std::string::npos && log.find("(signal 9)") != std::string::npos)
            << log;
    }
}

}  // namespace
