// The tools' log as an administrator meets it: a clean run prints its
// summary and nothing else on standard error, whatever the number of
// streams; log lines go to the log file an option, the environment or the
// registry names, and to standard error only from a level asked for.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

// The child's log settings are the test's alone: those of whoever runs the
// tests are taken away, then `set` ("NAME=value") applied.
ProgramOptions Environment(std::vector<std::string> set = {}) {
    ProgramOptions options;
    options.inChild = [set] {
        for (const char* name : {"RUXEN_LOG_LEVEL", "RUXEN_LOG_FILE", "RUXEN_REGISTRY"})
            unsetenv(name);
        for (const std::string& kv : set)
            setenv(kv.substr(0, kv.find('=')).c_str(), kv.substr(kv.find('=') + 1).c_str(), 1);
    };
    return options;
}

class ToolLog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, mkdir(m_tree.c_str(), 0755));
        ASSERT_EQ(0, mkdir((m_tree + "/sub").c_str(), 0755));
        WriteWholeFile(m_tree + "/a.txt", "some bytes\n");
        WriteWholeFile(m_tree + "/sub/b.txt", "more bytes\n");
        ASSERT_EQ(0, link((m_tree + "/a.txt").c_str(), (m_tree + "/sub/a-link.txt").c_str()));
        ASSERT_EQ(0, mkdir(m_job.c_str(), 0755));
        ProgramResult r = Run("ruxen-collect", {m_tree});
        ASSERT_EQ(0, r.exitCode) << r.err;
        EXPECT_EQ("", r.err);
        WriteWholeFile(m_collect, r.out);
    }
    ProgramResult Run(const std::string& program, const std::vector<std::string>& args,
                      std::vector<std::string> env = {}) {
        return RunProgram(m_dir.path(), program, args, Environment(std::move(env)));
    }

    TempDir m_dir{"ruxen_tool_log"};
    std::string m_tree = m_dir / "tree", m_job = m_dir / "job", m_collect = m_dir / "collect.cvf",
                m_archive = m_dir / "out";
};

// One stream, two streams and the job-directory road with a hard-link
// group: the summary alone; the scan's first run into a job directory and
// the verification say nothing there either.
TEST_F(ToolLog, ACleanRunPrintsItsSummaryAlone) {
    ProgramResult r = Run("ruxen-collect", {"--job-dir", m_job, m_tree});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("", r.err) << "a first run has nothing to delete or report";
    const std::vector<std::vector<std::string>> runs = {
        {"--archive", m_archive, m_collect},
        {"--streams", "2", "--archive", m_archive, m_collect, m_collect},
        {"--job-dir", m_job, "--archive", m_archive},
        {"--job-dir", m_job, "--streams", "2", "--archive", m_archive},
    };
    for (const std::vector<std::string>& args : runs) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        r = Run("ruxen-backup", args);
        EXPECT_EQ(0, r.exitCode) << r.err;
        EXPECT_TRUE(SummaryAlone(r.err)) << r.err;
    }
    r = Run("ruxen-dump", {"--verify", m_archive + ".1", m_archive + ".2"});
    EXPECT_EQ(0, r.exitCode) << r.out;
    EXPECT_EQ("", r.err);
}

// The log file named by the option, the environment or the registry takes
// the lines of the job's level (1 unless asked); standard error keeps the
// summary alone. Without a log file, a level asked for brings the lines to
// standard error.
TEST_F(ToolLog, LinesGoToTheLogFileOrToStandardErrorWhenAsked) {
    const std::string registry = m_dir / "registry.ini", fromRegistry = m_dir / "registry.log";
    WriteWholeFile(registry, "[FileSystemAgent]\nsLogFile=" + fromRegistry + "\n");
    struct Case {
        std::vector<std::string> args, env;
        std::string log;  // the file that takes the lines
    } cases[] = {
        {{"--log-file", m_dir / "option.log"}, {"RUXEN_LOG_FILE=" + m_dir / "unused.log"}, m_dir / "option.log"},
        {{}, {"RUXEN_LOG_FILE=" + m_dir / "env.log"}, m_dir / "env.log"},
        {{"--registry", registry}, {}, fromRegistry},
        {{}, {"RUXEN_REGISTRY=" + registry}, fromRegistry},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        unlink(c.log.c_str());
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--archive", m_archive, m_collect});
        ProgramResult r = Run("ruxen-backup", args, c.env);
        EXPECT_EQ(0, r.exitCode) << r.err;
        EXPECT_TRUE(SummaryAlone(r.err)) << r.err;
        const std::string log = ReadWholeFile(c.log);
        EXPECT_NE(std::string::npos, log.find("] void CFileReaderContext::InitDirectIO():")) << log;
        EXPECT_NE(std::string::npos, log.find(" This backup will not use DIRECT IO\n")) << log;
    }
    EXPECT_NE(0, access((m_dir / "unused.log").c_str(), F_OK)) << "the option wins over the environment";

    ProgramResult r = Run("ruxen-backup", {"--log-level", "0", "--archive", m_archive, m_collect});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(" This backup will not use DIRECT IO\n")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find(" [1] ")) << r.err;
    // The scan's first run into a job directory has no table to delete, and
    // says so only when a later run has one.
    r = Run("ruxen-collect", {"--job-dir", m_job, m_tree}, {"RUXEN_LOG_LEVEL=0"});
    EXPECT_NE(std::string::npos, r.err.find(" open HLTable for [" + m_job + "]")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("Deleting hardlink table")) << r.err;
    r = Run("ruxen-collect", {"--job-dir", m_job, m_tree}, {"RUXEN_LOG_LEVEL=0"});
    EXPECT_EQ(1u, CountOf(r.err, "+++++++Deleting hardlink table\n")) << r.err;
}

}  // namespace
