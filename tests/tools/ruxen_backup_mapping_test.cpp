// Snapshot and proxy jobs run end to end: the collect files name recorded
// paths that do not exist here, the data is read from the local (fixture
// "snapshot" or proxy mount) directory, the archive carries the recorded
// names, and ruxen-dump --verify --map finds every item's bytes at its
// mapped path.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "support/RunProgram.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

struct JobCase {
    const char* name;
    int streams;
    bool snapshot;  // else a wildcard proxy job
};
void PrintTo(const JobCase& c, std::ostream* os) { *os << c.name; }

class MappedJob : public ::testing::TestWithParam<JobCase> {
protected:
    void SetUp() override {
        for (const char* d : {"fixtures", "local", "local/vol1", "local/vol2", "local/vol1/sub"})
            ASSERT_EQ(0, mkdir((m_dir / d).c_str(), 0755)) << d;
        WriteWholeFile(m_dir / "local/vol1/a.txt", "alpha\n");
        WriteWholeFile(m_dir / "local/vol1/sub/b.bin", pattern(70000, 3));
        WriteWholeFile(m_dir / "local/vol2/c.txt", "gamma\n");
    }
    std::string Local(const std::string& p = "") const { return m_dir / ("local" + (p.empty() ? "" : "/" + p)); }

    TempDir m_dir{"ruxen_mapped_job"};
};

TEST_P(MappedJob, ReadsLocallyAndRecordsTheRecordedNames) {
    const JobCase& c = GetParam();
    const std::string registry = m_dir / "registry.ini", map = m_dir / "map.txt", archive = m_dir / "out.rxpl",
                      failures = m_dir / "failures.txt";
    std::vector<std::string> args = {"--registry", registry, "--failures", failures, "--archive", archive,
                                     "--streams", std::to_string(c.streams)};
    if (c.snapshot) {
        // The job's one volume /rec has its snapshot mounted at local/.
        WriteWholeFile(m_dir / "fixtures/42.snap", "vol\t1\t/rec\t" + Local() + "\t0\t101\t55\t/dev/s1\n");
        WriteWholeFile(registry, "[FileSystemAgent]\nsSnapFixtureDir=" + (m_dir / "fixtures") + "\n");
        args.insert(args.end(), {"--app-id", "2:7", "--app-type", "33", "--snap-job-id", "42", "--snap-engine", "7"});
    } else {
        // The content entry's pattern pairs every local/vol* with /rec/vol*.
        WriteWholeFile(registry, "[FileSystemAgent]\nProxyHandleWildCardOneLevel=Y\n");
        WriteWholeFile(m_dir / "proxy.txt", "/rec/vol*\t" + Local("vol*") + "\n");
        args.insert(args.end(), {"--app-id", "1:25", "--app-type", "25", "--proxy-map", m_dir / "proxy.txt"});
    }
    WriteWholeFile(map, "/rec\t" + Local() + "\n");
    WriteWholeFile(m_dir / "c1", "/rec/vol1\n/rec/vol1/a.txt\n/rec/vol1/sub\n/rec/vol1/sub/b.bin\n");
    WriteWholeFile(m_dir / "c2", "/rec/vol2\n/rec/vol2/c.txt\n/rec/vol2/../vol1/a.txt\n/rec/./vol2\n/elsewhere/x\n");
    args.insert(args.end(), {m_dir / "c1", m_dir / "c2"});

    ProgramResult r = RunProgram(m_dir.path(), "ruxen-backup", args);
    ASSERT_EQ(0, r.exitCode) << r.err;
    std::string failed;
    unsigned long long matched = 0;
    for (int s = c.streams > 1 ? 1 : 0; s <= (c.streams > 1 ? c.streams : 0); ++s) {
        const std::string suffix = s ? "." + std::to_string(s) : "";
        failed += ReadWholeFile(failures + suffix);
        ProgramResult dump = RunProgram(m_dir.path(), "ruxen-dump", {archive + suffix});
        EXPECT_EQ(0, dump.exitCode) << dump.err;
        EXPECT_EQ(std::string::npos, dump.out.find(Local())) << "no local path is recorded\n" << dump.out;
        r.out += dump.out;
        ProgramResult verify = RunProgram(m_dir.path(), "ruxen-dump", {"--verify", "--map", map, archive + suffix});
        EXPECT_EQ(0, verify.exitCode) << verify.out << verify.err;
        unsigned long long compared = 0, matchedHere = 0;
        const size_t at = verify.out.find("verify: ");
        ASSERT_NE(std::string::npos, at) << verify.out;
        ASSERT_EQ(2, sscanf(verify.out.c_str() + at, "verify: %*u items, %llu compared, %llu matched", &compared,
                            &matchedHere));
        matched += matchedHere;
        // Without the map the recorded paths are nowhere to be found.
        if (compared != 0) {
            EXPECT_EQ(1, RunProgram(m_dir.path(), "ruxen-dump", {"--verify", archive + suffix}).exitCode);
        }
    }
    for (const char* p : {"/rec/vol1\"", "/rec/vol1/a.txt\"", "/rec/vol1/sub/b.bin\"", "/rec/vol2/c.txt\""})
        EXPECT_NE(std::string::npos, r.out.find(std::string("name=\"") + p)) << p << "\n" << r.out;
    EXPECT_EQ(3u, matched);
    // A "." or ".." component could lead out of the mapped tree, and no pair
    // covers /elsewhere: item failures, not reads of other paths.
    const std::string einval = ":" + std::to_string(EINVAL) + "\n";
    EXPECT_EQ("/rec/vol2/../vol1/a.txt" + einval + "/rec/./vol2" + einval + "/elsewhere/x" + einval, failed);
}

INSTANTIATE_TEST_SUITE_P(Jobs, MappedJob,
                         ::testing::Values(JobCase{"Snapshot", 1, true}, JobCase{"SnapshotTwoStreams", 2, true},
                                           JobCase{"WildcardProxy", 1, false},
                                           JobCase{"WildcardProxyTwoStreams", 2, false}),
                         [](const ::testing::TestParamInfo<JobCase>& i) { return std::string(i.param.name); });

// A job whose snapshots or map cannot be had fails before its first item.
TEST(MappedJobRefusals, SetUpFailuresFailTheJob) {
    TempDir dir("ruxen_mapped_refused");
    WriteWholeFile(dir / "c", "/rec/x\n");
    WriteWholeFile(dir / "bad.map", "/rec relative\n");
    const std::vector<std::vector<std::string>> cases = {
        {"--app-id", "2:7", "--snap-job-id", "42", "--snap-engine", "7"},  // no fixtures: no snapshots
        {"--proxy-map", dir / "bad.map"},
        {"--name-map", dir / "bad.map"},
        {"--replication-job-id", "9"},
    };
    for (const auto& extra : cases) {
        std::vector<std::string> args = {"--archive", dir / "out"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(dir / "c");
        ProgramResult r = RunProgram(dir.path(), "ruxen-backup", args);
        EXPECT_EQ(1, r.exitCode) << extra[0] << "\n" << r.err;
    }
    ProgramResult r = RunProgram(dir.path(), "ruxen-backup", {"--proxy-map", dir / "c", "--archive", dir / "c", dir / "bad.map"});
    EXPECT_NE(std::string::npos, r.err.find("it is the proxy map file")) << r.err;
}

}  // namespace
