// Snapshot and proxy jobs run end to end: the collect files name recorded
// paths that do not exist here, the data is read from the local (fixture
// "snapshot" or proxy mount) directory, the archive carries the recorded
// names, and ruxen-dump --verify --map finds every item's bytes at its
// mapped path. So do snapshot-to-tape jobs.
#include <filesystem>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "mapping/SnapFSContentMapper.h"
#include "support/ProcessState.h"
#include "support/RunProgram.h"
#include "support/SnapFixture.h"
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
        // The local side of the map is reached through a link of another
        // user: configuration, resolved once, so followed.
        ASSERT_EQ(0, symlink("local", (m_dir / "mnt").c_str()));
        if (geteuid() == 0) {
            ASSERT_EQ(0, lchown((m_dir / "mnt").c_str(), 65534, 65534));
        }
    }
    std::string Local(const std::string& p = "") const { return m_dir / (m_local + (p.empty() ? "" : "/" + p)); }
    // The options of the job: its outputs, and its snapshot (the one volume
    // /rec has its snapshot mounted at local/) or its wildcard proxy map (the
    // content entry's pattern pairs every local/vol* with /rec/vol*). The
    // verifier's map is written to m_map.
    std::vector<std::string> JobArgs(const JobCase& c) {
        const std::string registry = m_dir / "registry.ini";
        std::vector<std::string> args = {"--registry", registry,  "--failures", m_failures,
                                         "--archive",  m_archive, "--streams",  std::to_string(c.streams)};
        if (c.snapshot) {
            WriteWholeFile(m_dir / "fixtures/42.snap", "vol\t1\t/rec\t" + Local() + "\t0\t101\t55\t/dev/s1\n");
            WriteWholeFile(registry, "[FileSystemAgent]\nsSnapFixtureDir=" + (m_dir / "fixtures") + "\n");
            args.insert(args.end(),
                        {"--app-id", "2:7", "--app-type", "33", "--snap-job-id", "42", "--snap-engine", "7"});
        } else {
            WriteWholeFile(registry, "[FileSystemAgent]\nProxyHandleWildCardOneLevel=Y\n");
            WriteWholeFile(m_dir / "proxy.txt", "/rec/vol*\t" + Local("vol*") + "\n");
            args.insert(args.end(), {"--app-id", "1:25", "--app-type", "25", "--proxy-map", m_dir / "proxy.txt"});
        }
        WriteWholeFile(m_map, "/rec\t" + Local() + "\n");
        return args;
    }
    // The archive files of the job's streams.
    std::vector<std::string> Archives(int streams) const {
        if (streams <= 1)
            return {m_archive};
        std::vector<std::string> out;
        for (int s = 1; s <= streams; ++s)
            out.push_back(m_archive + "." + std::to_string(s));
        return out;
    }

    TempDir m_dir{"ruxen_mapped_job"};
    std::string m_local = "mnt";  // the map's local side
    const std::string m_map = m_dir / "map.txt", m_archive = m_dir / "out.rxpl", m_failures = m_dir / "failures.txt";
};

TEST_P(MappedJob, ReadsLocallyAndRecordsTheRecordedNames) {
    const JobCase& c = GetParam();
    const std::string map = m_map, archive = m_archive, failures = m_failures;
    std::vector<std::string> args = JobArgs(c);
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

// The names of a hard-link group's other members (records 149) are
// recorded paths, as its headers carry: the dump names no local path, and
// each name mapped through the verifier's map is a link of the item.
TEST_P(MappedJob, HardLinkMembersGoUnderRecordedNames) {
    const JobCase& c = GetParam();
    const std::string job = m_dir / "job";
    ASSERT_EQ(0, mkdir(job.c_str(), 0755));
    ASSERT_EQ(0, link(Local("vol1/a.txt").c_str(), Local("vol1/sub/h1").c_str()));
    ASSERT_EQ(0, link(Local("vol1/a.txt").c_str(), Local("vol2/h2").c_str()));
    // The scan records real paths (its hard-links table too), so the map
    // names the real local side here.
    m_local = "local";
    ProgramResult r = RunProgram(m_dir.path(), "ruxen-collect", {"--job-dir", job, Local("vol1"), Local("vol2")});
    ASSERT_EQ(0, r.exitCode) << r.err;
    // The scan met the files here; the collect files name recorded paths.
    std::vector<std::string> args = JobArgs(c);
    args.insert(args.end(), {"--job-dir", job});
    for (const auto& entry : std::filesystem::directory_iterator(job)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("CollectTot", 0) != 0)
            continue;
        std::string text = ReadWholeFile(entry.path().string());
        for (size_t at; (at = text.find(Local())) != std::string::npos;)
            text.replace(at, Local().size(), "/rec");
        WriteWholeFile(entry.path().string(), text);
    }
    r = RunProgram(m_dir.path(), "ruxen-backup", args);
    ASSERT_EQ(0, r.exitCode) << r.err;
    std::vector<std::string> verify = {"--verify", "--list", "--map", m_map};
    for (const std::string& a : Archives(c.streams))
        verify.push_back(a);
    ProgramResult dump = RunProgram(m_dir.path(), "ruxen-dump", verify);
    EXPECT_EQ(0, dump.exitCode) << dump.out << dump.err;
    EXPECT_EQ(std::string::npos, dump.out.find(Local())) << "no local path is recorded\n" << dump.out;
    EXPECT_NE(std::string::npos, dump.out.find("OPT_HDR2 type=149 length=17 text=\"/rec/vol1/sub/h1\"")) << dump.out;
}

INSTANTIATE_TEST_SUITE_P(Jobs, MappedJob,
                         ::testing::Values(JobCase{"Snapshot", 1, true}, JobCase{"SnapshotTwoStreams", 2, true},
                                           JobCase{"WildcardProxy", 1, false},
                                           JobCase{"WildcardProxyTwoStreams", 2, false}),
                         [](const ::testing::TestParamInfo<JobCase>& i) { return std::string(i.param.name); });

// A job whose snapshots cannot be had fails before its first item; one
// whose map cannot be read (an input) fails before its archive is made.
TEST(MappedJobRefusals, SetUpFailuresFailTheJob) {
    TempDir dir("ruxen_mapped_refused");
    WriteWholeFile(dir / "c", "/rec/x\n");
    WriteWholeFile(dir / "bad.map", "/rec relative\n");
    const std::vector<std::pair<int, std::vector<std::string>>> cases = {
        {1, {"--app-id", "2:7", "--snap-job-id", "42", "--snap-engine", "7"}},  // no fixtures: no snapshots
        {2, {"--proxy-map", dir / "bad.map"}},
        {2, {"--name-map", dir / "bad.map"}},
        {1, {"--replication-job-id", "9"}},
    };
    for (const auto& [status, extra] : cases) {
        std::vector<std::string> args = {"--archive", dir / "out"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(dir / "c");
        unlink((dir / "out").c_str());
        ProgramResult r = RunProgram(dir.path(), "ruxen-backup", args);
        EXPECT_EQ(status, r.exitCode) << extra[0] << "\n" << r.err;
        EXPECT_EQ(status == 1, access((dir / "out").c_str(), F_OK) == 0) << extra[0];
    }
    ProgramResult r = RunProgram(dir.path(), "ruxen-backup", {"--proxy-map", dir / "c", "--archive", dir / "c", dir / "bad.map"});
    EXPECT_NE(std::string::npos, r.err.find("it is the proxy map file")) << r.err;
    WriteWholeFile(dir / "long.map", "/a\t/b\n/rec\t/" + std::string(9000, 'x') + "\n");
    for (const char* option : {"--name-map", "--proxy-map"}) {
        r = RunProgram(dir.path(), "ruxen-backup", {option, dir / "long.map", "--archive", dir / "out", dir / "c"});
        EXPECT_EQ(2, r.exitCode) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(std::string(option[2] == 'n' ? "the name map cannot be used: " : ": ") +
                                                dir / "long.map:2: line longer than 8192 bytes"))
            << r.err;
    }
    // The native snapshot's mapping file is an input too.
    const std::string native = dir / "nativeSnapMapInfo.kxf";
    WriteWholeFile(native, "mapping");
    r = RunProgram(dir.path(), "ruxen-backup", {"--native-snap", "--archive", native, dir / "c"});
    EXPECT_EQ(2, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("it is the native snapshot mapping file")) << r.err;
    EXPECT_EQ("mapping", ReadWholeFile(native));
}

// The scan found the items in snapshots mounted as the snapshot mapper's
// file says (volume 1 at then1, volume 2 at same2); volume 1 is at now1 now.
// Each item, named where the scan found it or by its source path, is read
// where its snapshot is now and recorded under its source path. The file is
// read from the job directory, else beside the first collect file; without
// it collect paths are source paths.
TEST(SnapshotToTapeJob, ReadsEachItemWhereItsSnapshotIsMountedNow) {
    ProcessStateGuard state;
    SnapFixture fixture;
    TempDir dir("ruxen_snap_tape");
    auto volumes = [&](const char* one) {
        fixture.write(42, ".snap",
                      "vol\t1\t/rec1\t" + dir / one + "\t0\t101\t55\t/dev/s1\nvol\t2\t/rec2\t" +
                          dir / "same2\t0\t102\t55\t/dev/s2\n");
    };
    for (const char* d : {"now1", "now1/sub", "same2", "job", "collects"})
        ASSERT_EQ(0, mkdir((dir / d).c_str(), 0755)) << d;
    WriteWholeFile(dir / "now1/a.txt", "alpha\n");
    WriteWholeFile(dir / "now1/sub/b.bin", pattern(70000, 3));
    WriteWholeFile(dir / "same2/c.txt", "gamma\n");
    volumes("then1");
    SnapFSContentMapper scan;
    ASSERT_TRUE(scan.initialize("42", 2, 55, 7, false));
    const std::string file = dir / "collects/hwsnapInfo.kxf", inJob = dir / "job/hwsnapInfo.kxf";
    ASSERT_TRUE(scan.saveMappingToFile(file));
    const std::string saved = ReadWholeFile(file);
    volumes("now1");
    WriteWholeFile(dir / "registry", "[FileSystemAgent]\nsSnapFixtureDir=" + fixture.dir().path() + "\n");
    WriteWholeFile(dir / "map", "/rec1\t" + dir / "now1\n/rec2\t" + dir / "same2\n");
    const std::string then = dir / "then1", x = "/elsewhere/x:22\n";
    WriteWholeFile(dir / "collects/c1",
                   then + "\n" + then + "/a.txt\n" + then + "/sub\n" + then + "/sub/b.bin\n/elsewhere/x\n");
    WriteWholeFile(dir / "collects/c2", dir / "same2/c.txt\n/rec1/a.txt\n");
    const struct {
        const char* name;
        int streams;
        std::string at, text;  // the mapping file and what it holds ("": none)
        std::string failed;    // "-": the job is refused
    } cases[] = {
        {"beside the collect files", 1, file, saved, x},
        {"in the job directory, two streams", 2, inJob, saved, x},
        {"none: source paths", 1, file, "",
         then + ":22\n" + then + "/a.txt:22\n" + then + "/sub:22\n" + then + "/sub/b.bin:22\n" + x},
        {"a line of another form", 2, file, "x:/rec1:/then1:\n", "-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& f : {file, inJob, dir / "out", dir / "out.1"})
            unlink(f.c_str());
        if (!c.text.empty())
            WriteWholeFile(c.at, c.text);
        std::vector<std::string> args = {
            "--registry", dir / "registry", "--app-id",  "2:7",       "--snap-tape-job-id",
            "42",         "--snap-engine",  "7",         "--streams", std::to_string(c.streams),
            "--failures", dir / "failures", "--archive", dir / "out"};
        if (c.at == inJob)
            args.insert(args.end(), {"--job-dir", dir / "job"});
        args.insert(args.end(), {dir / "collects/c1", dir / "collects/c2"});
        const std::vector<std::string> suffixes =
            c.streams > 1 ? std::vector<std::string>{".1", ".2"} : std::vector<std::string>{""};
        ProgramResult r = RunProgram(dir.path(), "ruxen-backup", args);
        if (c.failed == "-") {
            EXPECT_EQ(2, r.exitCode);
            EXPECT_NE(std::string::npos, r.err.find("the snapshot mapping file " + file + " has a line")) << r.err;
            EXPECT_NE(0, access((dir / "out.1").c_str(), F_OK)) << "an output was made";
            continue;
        }
        ASSERT_EQ(0, r.exitCode) << r.err;
        std::string failed;
        std::vector<std::string> verify = {"--verify", "--list", "--map", dir / "map"};
        for (const std::string& s : suffixes) {
            failed += ReadWholeFile(dir / "failures" + s);
            verify.push_back(dir / "out" + s);
        }
        EXPECT_EQ(c.failed, failed);
        ProgramResult dump = RunProgram(dir.path(), "ruxen-dump", verify);
        EXPECT_EQ(0, dump.exitCode) << dump.out << dump.err;
        EXPECT_EQ(std::string::npos, dump.out.find("name=\"" + dir.path())) << "no local path is recorded\n"
                                                                            << dump.out;
        EXPECT_NE(std::string::npos, dump.out.find(c.text.empty() ? "verify: 2 items, 2 compared, 2 matched, 0 mis"
                                                                  : "verify: 6 items, 4 compared, 4 matched, 0 mis"))
            << dump.out;
    }
}

// Without a content mapping in force the name map says where each item is
// read (the recorded files hold other bytes): the archive carries the
// recorded names with the mapped files' bytes, in one stream or two. The
// map's target is configuration, followed through another user's link; a
// "." or ".." component fails, whether the map's prefix matches it or not.
TEST(NameMappedJob, ReadsTheMappedPathsUnderTheRecordedNames) {
    TempDir dir("ruxen_name_mapped");
    for (const char* d : {"rec", "rec/sub", "snap", "snap/sub", "other"})
        ASSERT_EQ(0, mkdir((dir / d).c_str(), 0755)) << d;
    WriteWholeFile(dir / "rec/a", "recorded a\n");
    WriteWholeFile(dir / "snap/a", "the snapshot's a\n");
    WriteWholeFile(dir / "rec/sub/b", pattern(70000, 1));
    WriteWholeFile(dir / "snap/sub/b", pattern(70000, 2));
    ASSERT_EQ(0, symlink("snap", (dir / "snaplink").c_str()));
    if (geteuid() == 0) {
        ASSERT_EQ(0, lchown((dir / "snaplink").c_str(), 65534, 65534));
    }
    const std::string names = dir / "names.map";
    WriteWholeFile(names, dir / "rec\t" + dir / "snaplink\n");
    WriteWholeFile(dir / "c1", dir / "rec/a\n" + dir / "other/../rec/a\n" + dir / "rec/./a\n");
    WriteWholeFile(dir / "c2", dir / "rec/sub\n" + dir / "rec/sub/b\n");
    for (int streams : {1, 2}) {
        SCOPED_TRACE(streams);
        const std::string archive = dir / ("out" + std::to_string(streams));
        ProgramResult r = RunProgram(
            dir.path(), "ruxen-backup",
            {"--name-map", names, "--streams", std::to_string(streams), "--archive", archive, dir / "c1", dir / "c2"},
            {{"RUXEN_LOG_LEVEL=2"}, {}});
        ASSERT_EQ(0, r.exitCode) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("mapped '" + dir / "rec/a' to '" + dir / "snaplink/a'")) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("done: 3 items, 70017 bytes, 2 failed items")) << r.err;
        std::vector<std::string> archives;
        for (int s = 1; s <= streams; ++s)
            archives.push_back(streams == 1 ? archive : archive + "." + std::to_string(s));
        std::vector<std::string> verify = {"--verify", "--list", "--map", names};
        verify.insert(verify.end(), archives.begin(), archives.end());
        ProgramResult dump = RunProgram(dir.path(), "ruxen-dump", verify);
        EXPECT_EQ(0, dump.exitCode) << dump.out << dump.err;
        EXPECT_NE(std::string::npos, dump.out.find("verify: 3 items, 2 compared, 2 matched")) << dump.out;
        EXPECT_NE(std::string::npos, dump.out.find("name=\"" + dir / "rec/a\"")) << dump.out;
        verify.erase(verify.begin() + 2, verify.begin() + 4);  // the recorded files: other bytes
        EXPECT_EQ(1, RunProgram(dir.path(), "ruxen-dump", verify).exitCode);
    }
}

}  // namespace
