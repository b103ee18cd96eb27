#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/agent/EvEvent.h"
#include "platform/agent/HookFiles.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"
#include "support/LogCapture.h"
#include "support/TestFiles.h"

namespace {

int g_formatted = 0;

int countedArg() {
    ++g_formatted;
    return 7;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedLevel_ = KxLog::Query();
        ruxen::testcontrol::StartLogCapture();
        g_formatted = 0;
    }
    void TearDown() override {
        ruxen::testcontrol::StopLogCapture();
        KxLog::SetLevel(savedLevel_);
    }
    int savedLevel_ = 0;
};

TEST_F(LogTest, LineCarriesPidLevelFunctionAndLineAndKeepsErrno) {
    KxLog::SetLevel(3);
    int line = __LINE__ + 2;
    errno = ENOENT;
    KXLOG(2, "hello %s %d", "world", 5);
    EXPECT_EQ(errno, ENOENT);
    std::string out = ruxen::testcontrol::TakeCapturedLog();
    EXPECT_EQ(out.find(std::to_string(getpid()) + " "), 0u) << out;
    EXPECT_NE(out.find(" [2] "), std::string::npos) << out;
    EXPECT_NE(out.find("TestBody():" + std::to_string(line) + " hello world 5\n"), std::string::npos) << out;

    // A name cannot end the line, forge another or drive a terminal; the
    // message's own line end is no part of it.
    KXLOG(2, "item failed: %s: %s\n", "/a\n1 01/01 00:00:00 [-1] forged", "\x1b[2J");
    out = ruxen::testcontrol::TakeCapturedLog();
    EXPECT_NE(out.find(" item failed: /a\\x0a1 01/01 00:00:00 [-1] forged: \\x1b[2J\n"), std::string::npos) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
}

TEST_F(LogTest, LevelAboveQueryIsNotFormatted) {
    KxLog::SetLevel(1);
    KXLOG(2, "value %d", countedArg());
    EVDEBUG(2, "value %d", countedArg());  // the same for the debug log of event holders
    EXPECT_EQ(g_formatted, 0);
    EXPECT_EQ(ruxen::testcontrol::TakeCapturedLog(), "");
    KXLOG(1, "value %d", countedArg());
    EXPECT_EQ(g_formatted, 1);
    EXPECT_NE(ruxen::testcontrol::TakeCapturedLog().find("value 7"), std::string::npos);

    // Failures are written whatever the level.
    KxLog::SetLevel(-1);
    KXLOG(-1, "failure %d", countedArg());
    KXLOG(0, "quiet %d", countedArg());
    EXPECT_EQ(g_formatted, 2);
    EXPECT_NE(ruxen::testcontrol::TakeCapturedLog().find("[-1] "), std::string::npos);
}

TEST_F(LogTest, EvDebugAndEventsUseTheSameWriter) {
    KxLog::SetLevel(2);
    EvDebug::DebugLvl("CCollectFileArbitrator::addCollect", 2, "disk %s", "sda");
    EvDebug::Error("Parse FilterFile", "Error in parsing FilterFile");
    std::string out = ruxen::testcontrol::TakeCapturedLog();
    EXPECT_NE(out.find("[2] CCollectFileArbitrator::addCollect:0 disk sda\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[-1] "), std::string::npos) << out;
    EXPECT_NE(out.find(" Parse FilterFile: Error in parsing FilterFile\n"), std::string::npos) << out;

    KxLog::SetLevel(-1);
    EvEvent ev("ruxenParent");
    ev.raise(EvEvent::Critical, 0x1a2b, "disk %s lost", "sdb");
    EvEvent copy = ev;  // a copy, as objects keep of the job's event object, counts on its own
    copy.raise(EvEvent::Minor, 2, "minor");
    EXPECT_EQ(ev.count(), 1u);
    EXPECT_EQ(copy.count(), 2u);
    out = ruxen::testcontrol::TakeCapturedLog();
    EXPECT_NE(out.find("EVENT sev=1 id=0x1a2b [ruxenParent]: disk sdb lost\n"), std::string::npos) << out;
    EXPECT_NE(out.find("EVENT sev=3 id=0x2 [ruxenParent]: minor\n"), std::string::npos) << out;
}

// An argument of megabytes (a registry line, a garbage path) gives a line
// of a few KiB that says how much was cut; a message at the limit is whole.
TEST_F(LogTest, LongMessagesAreCutWithAMark) {
    KxLog::SetLevel(1);
    std::string huge(5000000, 'r');
    KXLOG(0, "value=%s end", huge.c_str());
    std::string line = ruxen::testcontrol::TakeCapturedLog();
    EXPECT_LT(line.size(), KxLog::kMaxMessageBytes + 1200);
    size_t at = line.find("value=rrr");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(line.substr(at + KxLog::kMaxMessageBytes), "... [4995914 bytes cut]\n");

    std::string exact(KxLog::kMaxMessageBytes - 2, 'e');
    KXLOG(0, "<%s>", exact.c_str());
    line = ruxen::testcontrol::TakeCapturedLog();
    EXPECT_NE(line.find("<" + exact + ">\n"), std::string::npos);
    EXPECT_EQ(line.find("cut]"), std::string::npos);
}

// The log file comes from the option, else the environment, else the
// registry; the level from the option, else the environment, else 1 for a
// file and -1 for standard error; a level not from -1 to 100 is refused.
TEST(LogSettingsTest, FromOptionsEnvironmentAndRegistry) {
    struct Case {
        const char *fileOption, *levelOption, *envFile, *envLevel, *registryFile;
        const char* file;  // expected; null: refused
        int level;
    } cases[] = {
        {nullptr, nullptr, nullptr, nullptr, nullptr, "", -1},
        {nullptr, nullptr, nullptr, "2", nullptr, "", 2},
        {nullptr, nullptr, "", nullptr, "/reg.log", "/reg.log", 1},
        {nullptr, nullptr, "/env.log", nullptr, "/reg.log", "/env.log", 1},
        {"/opt.log", nullptr, "/env.log", "3", "/reg.log", "/opt.log", 3},
        {nullptr, "0", nullptr, "5", nullptr, "", 0},
        {"/opt.log", "-1", nullptr, "x", nullptr, "/opt.log", -1},
        {nullptr, nullptr, nullptr, "100", nullptr, "", 100},
        {nullptr, nullptr, nullptr, "-2", nullptr, nullptr, 0},
        {nullptr, nullptr, nullptr, "101", nullptr, nullptr, 0},
        {nullptr, nullptr, "/env.log", "", nullptr, nullptr, 0},
        {nullptr, nullptr, nullptr, "1x", nullptr, nullptr, 0},
        {nullptr, nullptr, nullptr, " 1", nullptr, nullptr, 0},
        {nullptr, nullptr, nullptr, "+1", nullptr, nullptr, 0},
        {nullptr, nullptr, nullptr, "-", nullptr, nullptr, 0},
        {nullptr, nullptr, nullptr, "00000000001", nullptr, nullptr, 0},
        {nullptr, "-2", nullptr, "1", nullptr, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.levelOption ? c.levelOption : "-") + " " + (c.envLevel ? c.envLevel : "-"));
        ruxen::testcontrol::ResetRegistry();
        if (c.registryFile)
            KXPlatformInfo::setValue(kFileSystemAgentSection, kLogFileKey, c.registryFile);
        for (const auto& [name, value] : {std::pair{"RUXEN_LOG_FILE", c.envFile}, {"RUXEN_LOG_LEVEL", c.envLevel}})
            value ? setenv(name, value, 1) : unsetenv(name);
        KxLog::Settings settings;
        std::string error;
        const bool ok = KxLog::ResolveSettings(c.fileOption, c.levelOption, &settings, &error);
        EXPECT_EQ(ok, c.file != nullptr) << error;
        if (ok) {
            EXPECT_EQ(settings.file, c.file);
            EXPECT_EQ(settings.level, c.level);
        } else {
            EXPECT_NE(error.find(c.levelOption ? "the log level" : "RUXEN_LOG_LEVEL"), std::string::npos) << error;
            EXPECT_NE(error.find("a whole number from -1 (failures only) to 100"), std::string::npos) << error;
        }
    }
    unsetenv("RUXEN_LOG_FILE");
    unsetenv("RUXEN_LOG_LEVEL");
}

// Applied settings send the lines up to their level to the log file,
// appended; a file that cannot be opened changes nothing.
TEST(LogSettingsTest, ApplyWritesToTheFileUpToItsLevel) {
    testfiles::TempDir dir("log_settings");
    const std::string path = dir / "job.log";
    testfiles::WriteWholeFile(path, "earlier\n");
    std::string error;
    ASSERT_TRUE(KxLog::Apply({path, 0}, &error)) << error;
    KXLOG(0, "kept");
    KXLOG(1, "left out");
    EXPECT_FALSE(KxLog::Apply({dir / "no/such/dir/log", 2}, &error));
    EXPECT_EQ(error, "cannot open the log file " + dir / "no/such/dir/log" + ": No such file or directory");
    KXLOG(-1, "still here");
    const std::string text = testfiles::ReadWholeFile(path);
    EXPECT_EQ(text.compare(0, 8, "earlier\n"), 0) << text;
    EXPECT_NE(text.find(" [0] "), std::string::npos) << text;
    EXPECT_NE(text.find(" kept\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" still here\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("left out"), std::string::npos) << text;
    EXPECT_EQ(KxLog::Query(), 0);
}

// Anyone can create files in /tmp: a hook counts only when it is a file of
// root or of this user that nobody else can write, and has no other name (a
// hard link to any root-owned file is no hook where protected_hardlinks is
// off).
TEST(HookFilesTest, OnlyTrustedHookFilesCount) {
    testfiles::TempDir tmp("hookfiles_test");
    const std::string& dir = tmp.path();
    ruxen::testcontrol::SetHookDirectory(dir);
    EXPECT_EQ(HookFiles::Path("KX.ruxen.do.not.send"), dir + "/KX.ruxen.do.not.send");
    testfiles::LogCapture log;
    struct Case {
        const char* name;
        mode_t mode;
        uid_t owner;  // -1: the running user
        bool link;    // a symbolic link to the file; "hard-*": a second name of it
        bool honoured;
    } cases[] = {
        {"mine", 0644, static_cast<uid_t>(-1), false, true},
        {"group-writable", 0664, static_cast<uid_t>(-1), false, false},
        {"world-writable", 0606, static_cast<uid_t>(-1), false, false},
        {"someone-elses", 0644, 65534, false, false},
        {"link-to-mine", 0644, static_cast<uid_t>(-1), true, false},
        {"hard-linked", 0644, static_cast<uid_t>(-1), false, false},
    };
    for (const Case& c : cases) {
        std::string path = dir + "/" + c.name;
        testfiles::WriteWholeFile(c.link ? path + ".target" : path, "");
        if (std::string(c.name).rfind("hard-", 0) == 0) {
            ASSERT_EQ(link(path.c_str(), (path + ".other").c_str()), 0);
        }
        if (c.link) {
            ASSERT_EQ(symlink((path + ".target").c_str(), path.c_str()), 0);
        }
        ASSERT_EQ(chmod(c.link ? (path + ".target").c_str() : path.c_str(), c.mode), 0);
        if (c.owner != static_cast<uid_t>(-1) && lchown(path.c_str(), c.owner, static_cast<gid_t>(-1)) != 0)
            continue;  // only root can give a file away
        EXPECT_EQ(HookFiles::Exists(c.name), c.honoured) << c.name;
    }
    EXPECT_FALSE(HookFiles::Exists("absent"));
    const std::string lines = log.Take();
    EXPECT_NE(lines.find("hook file " + dir + "/world-writable passed over"), std::string::npos);
    EXPECT_NE(lines.find("hook file " + dir + "/hard-linked passed over: owner "), std::string::npos) << lines;
    EXPECT_NE(lines.find(", 2 links; a hook must be"), std::string::npos) << lines;

    ruxen::testcontrol::SetHookDirectory("");
    const char* env = getenv("RUXEN_HOOK_DIR");
    EXPECT_EQ(HookFiles::Directory(), (env && *env) ? env : "/tmp");
}

}  // namespace
