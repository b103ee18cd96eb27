#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ReaderTestUtil.h"
#include "platform/base/TestControl.h"
#include "zxhsm/ZXHSMCommon/ZXHSMLowLevelCtx.h"

using namespace readertest;

namespace {

using ReaderContextTest = ReaderTestBase;

TEST(ReleaseParseTest, NoATimeFrom2_6_8On) {
    for (const char* yes : {"2.6.8", "2.6.32-754.el6.x86_64", "2.7.0", "5.15.0-91-generic"})
        EXPECT_TRUE(CFileReaderContext::ReleaseSupportsNoATime(yes)) << yes;
    // Older releases and unreadable ones leave O_NOATIME off.
    for (const char* no : {"2.6.7", "2.4.37", "1.9.9", "abc", "2.6", "", "x.6.8", "2..8", "2.6.-8",
                           "99999999999999999999999.0.0"})
        EXPECT_FALSE(CFileReaderContext::ReleaseSupportsNoATime(no)) << no;
    EXPECT_FALSE(CFileReaderContext::ReleaseSupportsNoATime(nullptr));
}

TEST_F(ReaderContextTest, DefaultsAndHookFiles) {
    // An optional registry key left out is no failure, and nothing is logged.
    KxLog::SetLevel(-1);
    { CFileReaderContext quiet; }
    EXPECT_EQ(log(), "");
    KxLog::SetLevel(1);
    {
        CFileReaderContext ctx;
        const std::string text = log();
        EXPECT_EQ(ctx.GetUseDriver(), -1);
        EXPECT_FALSE(ctx.ShouldUseDirectIO());
        EXPECT_EQ(ctx.GetBufAlignSize(), 1024u);
        EXPECT_TRUE(ctx.UsingCacheAdvise());
        EXPECT_FALSE(ctx.DebugAppleDouble());
        EXPECT_FALSE(ctx.PrintBackupFileName());
        EXPECT_TRUE(ctx.IsNoATimeUpdate());  // this host's kernel is far past 2.6.8
        for (const char* line : {"Failed to read registry key 'nUseDirectIO' from 'FileSystemAgent' section of registry",
                                 "This backup will not use DIRECT IO", "Read buffers aligned to 1024 boundary",
                                 "Using Cache Advise", "Using O_NOATIME flag to preserve A-Time"})
            EXPECT_NE(text.find(line), std::string::npos) << line;
        EXPECT_NE(ctx.GetCacheAdvise(), nullptr);
        EXPECT_EQ(ctx.GetCacheAdvise(), ctx.GetCacheAdvise());
        EXPECT_EQ(ctx.GetDLPReader(), ctx.GetDLPReader());
        ctx.SetAllowFifoFileBackup();  // switches the advice off
        EXPECT_FALSE(ctx.UsingCacheAdvise());
    }
    for (const char* hook : {"nofadvise", "DebugAppleDouble.HOOK", "dumpFileNames"})
        writeFile(m_hooks / hook, "");
    CFileReaderContext ctx;
    EXPECT_FALSE(ctx.UsingCacheAdvise());
    EXPECT_EQ(ctx.GetCacheAdvise(), nullptr);
    EXPECT_TRUE(ctx.DebugAppleDouble());
    EXPECT_TRUE(ctx.PrintBackupFileName());
    EXPECT_NE(log().find("Not using Cache Advise"), std::string::npos);
}

TEST_F(ReaderContextTest, DirectIOAndAlignment) {
    struct Case {
        const char* use;
        const char* align;
        bool direct;
        uint32_t expect;
        bool refused;  // the alignment is logged as refused
    } cases[] = {
        {"1", nullptr, true, 4096, false},    {"1", "0", true, 4096, false},       {"1", "8192", true, 8192, false},
        {"1", "512", true, 512, false},       {"1", "1048576", true, 1048576, false}, {"0x1", "0x10000", true, 65536, false},
        {"1", "3000", true, 4096, true},      {"1", "256", true, 4096, true},       {"1", "2097152", true, 4096, true},
        {"1", "-4096", true, 4096, true},     {"0", "8192", false, 1024, false},    {"2", "8192", false, 1024, false},
    };
    KxLog::SetLevel(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.use) + " / " + (c.align ? c.align : "-"));
        ruxen::testcontrol::ResetRegistry();
        KXPlatformInfo::setValue("FileSystemAgent", "nUseDirectIO", c.use);
        if (c.align)
            KXPlatformInfo::setValue("FileSystemAgent", "nBufferAlignSize", c.align);
        log();
        CFileReaderContext ctx;
        const std::string text = log();
        EXPECT_EQ(ctx.ShouldUseDirectIO(), c.direct);
        EXPECT_EQ(ctx.GetBufAlignSize(), c.expect);
        EXPECT_NE(text.find(c.direct ? "This backup will use DIRECT IO" : "This backup will not use DIRECT IO"),
                  std::string::npos);
        if (!c.direct) {
            EXPECT_NE(text.find("Registry key 'nUseDirectIO' set to 0 in 'FileSystemAgent' section of registry"),
                      std::string::npos);
        }
        EXPECT_EQ(text.find("is not a power of two") != std::string::npos, c.refused) << text;
    }
}

// The driver mode is chosen once, at the first InitHSM; later steps
// override earlier ones.
TEST_F(ReaderContextTest, DriverModeDecision) {
    struct Case {
        const char* name;
        bool driverLoaded, agentInstalled, turbo, lustre, archiveDelete, snap;
        int cluster;
        bool doNotUseArchiver;
        int mode;
        bool installed;
    } cases[] = {
        {"nothing", false, false, false, false, false, false, 0, false, 1, false},
        {"turbo, nothing installed", false, false, true, false, false, false, 0, false, 2, true},
        {"turbo with the driver", true, false, true, false, false, false, 0, false, 1, true},
        {"turbo with the agent", false, true, true, false, false, false, 0, false, 1, true},
        {"Lustre copy tool", false, false, false, true, false, false, 0, true, 4, false},
        {"GlusterFS", false, false, false, false, false, false, 11, true, 5, true},
        {"archive and delete", false, false, false, false, true, false, 0, false, 2, true},
        {"archive and delete, no archiver", false, false, false, false, true, false, 11, true, 6, true},
        {"snapshot job", false, true, true, false, true, true, 0, false, 2, false},
    };
    KXPlatformInfo::setValue("FileSystemAgent", "bEnableLustreCopyTool", "1");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZXHSMTestState::SetFSFDriverLoaded(c.driverLoaded);
        ZXHSMTestState::SetFSSXInstalled(c.agentInstalled);
        if (c.doNotUseArchiver)
            KXPlatformInfo::setValue("FileSystemAgent", "DoNotUseArchiverDriver", "1");
        else
            KXPlatformInfo::removeValue("FileSystemAgent", "DoNotUseArchiverDriver");
        CFileReaderContext ctx;
        ctx.SetTurboMode(c.turbo);
        ctx.SetLustreBackup(c.lustre);
        ctx.SetArchiveAndDelete(c.archiveDelete);
        ctx.SetDistributedAppsClusterType(c.cluster);
        ctx.SetSnapMode(c.snap);
        ctx.InitHSM();
        EXPECT_EQ(ctx.GetUseDriver(), c.mode);
        EXPECT_EQ(ctx.IsZXHSMInstalled(), c.installed);
        ctx.SetTurboMode(!c.turbo);
        ctx.InitHSM();
        EXPECT_EQ(ctx.GetUseDriver(), c.mode);  // chosen once
    }
    EXPECT_TRUE(ZXHSMServiceHelper::getUseCache());
    ZXHSMTestState::SetFSSXInstalled(false);
    KXPlatformInfo::setValue("FileSystemAgent", "DoNotUseArchiverDriver", "1");
    KxLog::SetLevel(3);
    log();
    CFileReaderContext ctx;
    ctx.SetArchiveAndDelete(true);
    ctx.InitHSM();
    const std::string text = log();
    EXPECT_NE(text.find("DoNotUseArchiverDriver is set in FileSystemAgent registry section"), std::string::npos);
    EXPECT_NE(text.find("TurboMode - No, zxhsmInstalled=1 useDriver=ARCHIVE_DELETE SnapJob=NO ArchivAndDelete=YES"),
              std::string::npos);
}

TEST_F(ReaderContextTest, TieredContextIsMadeOnceAndKeepsItsMode) {
    CFileReaderContext ctx;
    ZXHSMLowLevelCtx* a = ctx.GetZXHSMLowLevelContext(2);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(ctx.GetZXHSMLowLevelContext(1), a);
    EXPECT_EQ(a->driverMode(), 2);

    // An unreadable mount table is logged once and remembered, not thrown.
    ruxen::testcontrol::SetMountTablePath((m_dir / "no-such-mounts").c_str());
    CFileReaderContext failing;
    EXPECT_EQ(failing.GetZXHSMLowLevelContext(1), nullptr);
    EXPECT_TRUE(failing.ZXHSMContextFailed());
    EXPECT_NE(log().find("Failed to create the tiered-storage context"), std::string::npos);
    ruxen::testcontrol::SetMountTablePath(nullptr);
    EXPECT_EQ(failing.GetZXHSMLowLevelContext(1), nullptr);
    EXPECT_EQ(log().find("Failed to create the tiered-storage context"), std::string::npos);
}

TEST_F(ReaderContextTest, FactoryMakesAndKeepsReaders) {
    auto ctx = std::make_shared<CFileReaderContext>();
    std::shared_ptr<CFileReader> r = CFileReaderFactory::CreateFileReader(FILE_READER_STANDARD, ctx);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->GetContext(), ctx);
    EXPECT_EQ(r->getDebugPrefix(), "FILEREADER");

    std::shared_ptr<CFileReader> keep = r, none, other = r;
    EXPECT_TRUE(CFileReaderFactory::CreateFileReader(FILE_READER_STANDARD, ctx, keep).IsSuccess() && keep == r);
    EXPECT_TRUE(CFileReaderFactory::CreateFileReader(FILE_READER_STANDARD, ctx, none).IsSuccess() && none);
    EXPECT_TRUE(CFileReaderFactory::CreateFileReader(static_cast<FILE_READER_TYPE>(1), ctx, other).IsSuccess());
    EXPECT_TRUE(other && other != r && other->GetType() == FILE_READER_STANDARD);

    CFileReader own;  // a reader without a context makes its own
    ASSERT_TRUE(own.GetContext());
    EXPECT_EQ(own.GetContext()->GetUseDriver(), 1);  // InitHSM ran
}

}  // namespace
