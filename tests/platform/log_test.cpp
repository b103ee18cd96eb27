#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "platform/EvEvent.h"
#include "platform/HookFiles.h"
#include "platform/KxLog.h"
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
        KxLog::StartCapture();
        g_formatted = 0;
    }
    void TearDown() override {
        KxLog::StopCapture();
        KxLog::SetLevel(savedLevel_);
    }
    int savedLevel_ = 0;
};

TEST_F(LogTest, LineCarriesLevelFunctionAndLine) {
    KxLog::SetLevel(3);
    int line = __LINE__ + 1;
    KXLOG(2, "hello %s %d", "world", 5);
    std::string out = KxLog::TakeCaptured();
    EXPECT_NE(out.find("[2] "), std::string::npos) << out;
    EXPECT_NE(out.find("TestBody"), std::string::npos) << out;
    EXPECT_NE(out.find(":" + std::to_string(line) + " hello world 5\n"), std::string::npos) << out;
    EXPECT_NE(out.find(std::to_string(getpid()) + " "), std::string::npos) << out;
}

TEST_F(LogTest, LevelAboveQueryIsNotFormatted) {
    KxLog::SetLevel(1);
    KXLOG(2, "value %d", countedArg());
    EXPECT_EQ(g_formatted, 0);
    EXPECT_EQ(KxLog::TakeCaptured(), "");
    KXLOG(1, "value %d", countedArg());
    EXPECT_EQ(g_formatted, 1);
    EXPECT_NE(KxLog::TakeCaptured().find("value 7"), std::string::npos);

    // The same for the debug log of event holders.
    EVDEBUG(2, "value %d", countedArg());
    EXPECT_EQ(g_formatted, 1);
    EXPECT_EQ(KxLog::TakeCaptured(), "");

    // Failures are written whatever the level.
    KxLog::SetLevel(-1);
    KXLOG(-1, "failure %d", countedArg());
    EXPECT_EQ(g_formatted, 2);
    EXPECT_NE(KxLog::TakeCaptured().find("[-1] "), std::string::npos);
    KXLOG(0, "quiet %d", countedArg());
    EXPECT_EQ(g_formatted, 2);
}

TEST_F(LogTest, LoggingPreservesErrno) {
    KxLog::SetLevel(5);
    errno = ENOENT;
    KXLOG(1, "%s", "with errno");
    EXPECT_EQ(errno, ENOENT);
    errno = EACCES;
    EvDebug::DebugLvl("f", 1, "x");
    EXPECT_EQ(errno, EACCES);
    errno = EIO;
    EvDebug::Error("Scan", "Error Finding File %s rc = %d", "/x", 2);
    EXPECT_EQ(errno, EIO);
    EvEvent ev;
    errno = EPERM;
    ev.raise(EvEvent::Major, 1, "e");
    EXPECT_EQ(errno, EPERM);
}

TEST_F(LogTest, EvDebugAndEventsUseTheSameWriter) {
    KxLog::SetLevel(2);
    EvDebug::DebugLvl("CCollectFileArbitrator::addCollect", 2, "disk %s", "sda");
    EvDebug::DebugLvl("CCollectFileArbitrator::addCollect", 3, "hidden %d", 1);
    std::string out = KxLog::TakeCaptured();
    EXPECT_NE(out.find("[2] CCollectFileArbitrator::addCollect:0 disk sda\n"), std::string::npos)
        << out;
    EXPECT_EQ(out.find("hidden"), std::string::npos);

    EvDebug::Error("Parse FilterFile", "Error in parsing FilterFile");
    out = KxLog::TakeCaptured();
    EXPECT_NE(out.find("[-1] "), std::string::npos) << out;
    EXPECT_NE(out.find("Parse FilterFile: Error in parsing FilterFile\n"), std::string::npos) << out;

    KxLog::SetLevel(-1);
    EvEvent ev;
    ev.raise(EvEvent::Critical, 0x1a2b, "disk %s lost", "sdb");
    ev.raise(EvEvent::Minor, 2, "minor");
    EXPECT_EQ(ev.count(), 2u);
    out = KxLog::TakeCaptured();
    EXPECT_NE(out.find("EVENT sev=1 id=0x1a2b: disk sdb lost\n"), std::string::npos) << out;
    EXPECT_NE(out.find("EVENT sev=3 id=0x2: minor\n"), std::string::npos) << out;

    // A copy, as objects keep of the job's event object, counts on its own.
    EvEvent copy = ev;
    copy.raise(EvEvent::Major, 3, "x");
    EXPECT_EQ(copy.count(), 3u);
    EXPECT_EQ(ev.count(), 2u);

    EvEvent named("ruxenParent");
    named.raise(EvEvent::Major, 4, "y");
    EXPECT_NE(KxLog::TakeCaptured().find("EVENT sev=2 id=0x4 [ruxenParent]: y"), std::string::npos);
}

TEST(HookFilesTest, DirectoryCanBeRedirected) {
    testfiles::TempDir tmp("hookfiles_test");
    const std::string& dir = tmp.path();
    HookFiles::SetDirectoryForTest(dir);
    EXPECT_EQ(HookFiles::Directory(), dir);
    EXPECT_EQ(HookFiles::Path("KX.ruxen.do.not.send"), dir + "/KX.ruxen.do.not.send");
    EXPECT_FALSE(HookFiles::Exists("KX.ruxen.do.not.send"));
    testfiles::WriteWholeFile(dir + "/KX.ruxen.do.not.send", "");
    EXPECT_TRUE(HookFiles::Exists("KX.ruxen.do.not.send"));

    HookFiles::SetDirectoryForTest("");
    const char* env = getenv("RUXEN_HOOK_DIR");
    EXPECT_EQ(HookFiles::Directory(), (env && *env) ? env : "/tmp");
}

}  // namespace
