// The tools' log as an administrator meets it: a clean run prints its
// summary and nothing else on standard error, whatever the number of
// streams; log lines go to the log file an option, the environment or the
// registry names, and to standard error only from a level asked for.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/RunProgram.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

// Standard error is one summary line of a run without failures.
bool SummaryAlone(const std::string& err) {
    unsigned long long items = 0, bytes = 0, failed = 1;
    double seconds = 0, rate = 0;
    int end = 0;
    return sscanf(err.c_str(), "ruxen-backup: done: %llu items, %llu bytes, %llu failed items, %lf s, %lf MB/s%n",
                  &items, &bytes, &failed, &seconds, &rate, &end) == 5 &&
           failed == 0 && err.substr(static_cast<size_t>(end)) == "\n";
}

TEST(ToolLog, CleanRunsPrintTheirSummaryAloneAndLogWhereTold) {
    TempDir dir("ruxen_tool_log");
    const std::string tree = dir / "tree", job = dir / "job", collect = dir / "collect.cvf", out = dir / "out";
    const std::string registry = dir / "registry.ini", fromRegistry = dir / "registry.log";
    for (const std::string& d : {tree, tree + "/sub", job})
        ASSERT_EQ(0, mkdir(d.c_str(), 0755));
    WriteWholeFile(tree + "/a.txt", "some bytes\n");
    WriteWholeFile(tree + "/sub/b.txt", "more bytes\n");
    ASSERT_EQ(0, link((tree + "/a.txt").c_str(), (tree + "/sub/a-link.txt").c_str()));
    WriteWholeFile(registry, "[FileSystemAgent]\nsLogFile=" + fromRegistry + "\n");
    // The log settings of whoever runs the tests are taken away (a name
    // alone unsets it).
    auto run = [&](const std::string& program, const std::vector<std::string>& args, std::vector<std::string> env) {
        env.insert(env.begin(), {"RUXEN_LOG_LEVEL", "RUXEN_LOG_FILE", "RUXEN_REGISTRY"});
        return RunProgram(dir.path(), program, args, {env, {}});
    };
    ProgramResult r = run("ruxen-collect", {tree}, {});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("", r.err);
    WriteWholeFile(collect, r.out);
    // The scan's first run into a job directory has no hard-links table to
    // delete, and says so only when a later run has one; neither says a
    // thing at the default level.
    r = run("ruxen-collect", {"--job-dir", job, tree}, {"RUXEN_LOG_LEVEL=0"});
    EXPECT_NE(std::string::npos, r.err.find(" open HLTable for [" + job + "]")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("Deleting hardlink table")) << r.err;
    r = run("ruxen-collect", {"--job-dir", job, tree}, {"RUXEN_LOG_LEVEL=0"});
    EXPECT_EQ(1u, CountOf(r.err, "+++++++Deleting hardlink table\n")) << r.err;
    EXPECT_EQ("", run("ruxen-collect", {"--job-dir", job, tree}, {}).err);

    struct Case {
        std::vector<std::string> args, env;
        std::string log;  // the file that takes the lines; "" none
    } cases[] = {
        {{"--archive", out, collect}, {}, ""},
        {{"--streams", "2", "--archive", out, collect, collect}, {}, ""},
        {{"--job-dir", job, "--archive", out}, {}, ""},
        {{"--job-dir", job, "--streams", "2", "--archive", out}, {}, ""},  // verified below
        {{"--log-file", dir / "option.log", "--archive", out, collect},
         {"RUXEN_LOG_FILE=" + dir / "unused.log"},
         dir / "option.log"},
        {{"--archive", out, collect}, {"RUXEN_LOG_FILE=" + dir / "env.log"}, dir / "env.log"},
        {{"--registry", registry, "--archive", out, collect}, {}, fromRegistry},
        {{"--archive", out, collect}, {"RUXEN_REGISTRY=" + registry}, fromRegistry},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.log);
        unlink(c.log.c_str());
        r = run("ruxen-backup", c.args, c.env);
        EXPECT_EQ(0, r.exitCode) << r.err;
        EXPECT_TRUE(SummaryAlone(r.err)) << r.err;
        if (!c.log.empty()) {
            const std::string log = ReadWholeFile(c.log);
            EXPECT_NE(std::string::npos, log.find(" This backup will not use DIRECT IO\n")) << log;
        }
    }
    EXPECT_NE(0, access((dir / "unused.log").c_str(), F_OK)) << "the option wins over the environment";
    r = run("ruxen-dump", {"--verify", out + ".1", out + ".2"}, {});
    EXPECT_EQ(0, r.exitCode) << r.out;
    EXPECT_EQ("", r.err);

    // Without a log file, a level asked for brings its lines to standard error.
    r = run("ruxen-backup", {"--log-level", "0", "--archive", out, collect}, {});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(" This backup will not use DIRECT IO\n")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find(" [1] ")) << r.err;
}

}  // namespace
