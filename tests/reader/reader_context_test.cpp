#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ReaderTestUtil.h"
#include "platform/KxMntTab.h"
#include "platform/ZXHSMLowLevel.h"
#include "reader/CFileReaderContext.h"
#include "reader/CFileReaderFactory.h"

using namespace readertest;

namespace {

class ReaderContextTest : public ReaderTestBase {
protected:
    void reg(const char* key, const char* value) { KXPlatformInfo::setValue("FileSystemAgent", key, value); }
};

TEST(ReleaseParseTest, NoATimeFrom2_6_8On) {
    EXPECT_FALSE(CFileReaderContext::ReleaseSupportsNoATime("2.6.7"));
    EXPECT_TRUE(CFileReaderContext::ReleaseSupportsNoATime("2.6.8"));
    EXPECT_TRUE(CFileReaderContext::ReleaseSupportsNoATime("2.6.32-754.el6.x86_64"));
    EXPECT_TRUE(CFileReaderContext::ReleaseSupportsNoATime("2.7.0"));
    EXPECT_TRUE(CFileReaderContext::ReleaseSupportsNoATime("5.15.0-91-generic"));
    EXPECT_FALSE(CFileReaderContext::ReleaseSupportsNoATime("2.4.37"));
    EXPECT_FALSE(CFileReaderContext::ReleaseSupportsNoATime("1.9.9"));
    // Unreadable releases leave O_NOATIME off.
    EXPECT_FALSE(CFileReaderContext::ReleaseSupportsNoATime("abc"));
    EXPECT_FALSE(CFileReaderContext::ReleaseSupportsNoATime("2.6"));
    EXPECT_FALSE(CFileReaderContext::ReleaseSupportsNoATime(""));
    EXPECT_FALSE(CFileReaderContext::ReleaseSupportsNoATime(nullptr));
    EXPECT_FALSE(CFileReaderContext::ReleaseSupportsNoATime("x.6.8"));
    EXPECT_FALSE(CFileReaderContext::ReleaseSupportsNoATime("2..8"));
    EXPECT_FALSE(CFileReaderContext::ReleaseSupportsNoATime("2.6.-8"));
    EXPECT_FALSE(CFileReaderContext::ReleaseSupportsNoATime("99999999999999999999999.0.0"));
}

TEST_F(ReaderContextTest, DefaultsWithoutRegistryOrHooks) {
    KxLog::SetLevel(0);
    CFileReaderContext ctx;
    std::string text = log();
    EXPECT_EQ(ctx.GetUseDriver(), -1);
    EXPECT_FALSE(ctx.ShouldUseDirectIO());
    EXPECT_EQ(ctx.GetBufAlignSize(), 1024u);
    EXPECT_TRUE(ctx.UsingCacheAdvise());
    EXPECT_FALSE(ctx.DebugAppleDouble());
    EXPECT_FALSE(ctx.PrintBackupFileName());
    EXPECT_FALSE(ctx.IsZXHSMInstalled());
    EXPECT_FALSE(ctx.IsTurboMode());
    EXPECT_EQ(ctx.m_pPerfCounter, nullptr);
    EXPECT_NE(text.find("Failed to read registry key 'nUseDirectIO' from 'FileSystemAgent' section of registry"),
              std::string::npos);
    EXPECT_NE(text.find("This backup will not use DIRECT IO"), std::string::npos);
    EXPECT_NE(text.find("Read buffers aligned to 1024 boundary"), std::string::npos);
    EXPECT_NE(text.find("Using Cache Advise"), std::string::npos);
    // This host's kernel is far past 2.6.8.
    EXPECT_TRUE(ctx.IsNoATimeUpdate());
    EXPECT_NE(text.find("Using O_NOATIME flag to preserve A-Time"), std::string::npos);
    EXPECT_NE(ctx.GetCacheAdvise(), nullptr);
    EXPECT_EQ(ctx.GetCacheAdvise(), ctx.GetCacheAdvise());
    EXPECT_NE(ctx.GetDLPReader(), nullptr);
    EXPECT_EQ(ctx.GetDLPReader(), ctx.GetDLPReader());
}

TEST_F(ReaderContextTest, HookFilesSwitchAdviceAndDebugging) {
    writeFile(m_hooks / "nofadvise", "");
    writeFile(m_hooks / "DebugAppleDouble.HOOK", "");
    writeFile(m_hooks / "dumpFileNames", "");
    KxLog::SetLevel(0);
    CFileReaderContext ctx;
    EXPECT_FALSE(ctx.UsingCacheAdvise());
    EXPECT_EQ(ctx.GetCacheAdvise(), nullptr);
    EXPECT_TRUE(ctx.DebugAppleDouble());
    EXPECT_TRUE(ctx.PrintBackupFileName());
    EXPECT_NE(log().find("Not using Cache Advise"), std::string::npos);
}

TEST_F(ReaderContextTest, FifoBackupSwitchesAdviceOff) {
    CFileReaderContext ctx;
    ASSERT_TRUE(ctx.UsingCacheAdvise());
    ctx.SetAllowFifoFileBackup();
    EXPECT_TRUE(ctx.IsFIFOBackupAllowed());
    EXPECT_FALSE(ctx.UsingCacheAdvise());
    EXPECT_EQ(ctx.GetCacheAdvise(), nullptr);
}

TEST_F(ReaderContextTest, DirectIOAndAlignment) {
    struct Case {
        const char* use;
        const char* align;
        bool direct;
        uint32_t expect;
    };
    const Case cases[] = {
        {"1", nullptr, true, 4096},   {"1", "0", true, 4096},        {"1", "8192", true, 8192},
        {"1", "512", true, 512},      {"1", "1048576", true, 1048576}, {"0x1", "0x10000", true, 65536},
        {"1", "3000", true, 4096},    {"1", "256", true, 4096},      {"1", "2097152", true, 4096},
        {"1", "-4096", true, 4096},   {"0", "8192", false, 1024},    {"2", "8192", false, 1024},
    };
    for (const Case& c : cases) {
        KXPlatformInfo::resetForTest();
        reg("nUseDirectIO", c.use);
        if (c.align)
            reg("nBufferAlignSize", c.align);
        log();
        KxLog::SetLevel(0);
        CFileReaderContext ctx;
        std::string text = log();
        SCOPED_TRACE(std::string(c.use) + " / " + (c.align ? c.align : "-"));
        EXPECT_EQ(ctx.ShouldUseDirectIO(), c.direct);
        EXPECT_EQ(ctx.GetBufAlignSize(), c.expect);
        EXPECT_NE(text.find(c.direct ? "This backup will use DIRECT IO" : "This backup will not use DIRECT IO"),
                  std::string::npos);
        if (!c.direct) {
            EXPECT_NE(text.find("Registry key 'nUseDirectIO' set to 0 in 'FileSystemAgent' section of registry"),
                      std::string::npos);
        }
        bool refused = c.direct && c.align && c.expect == 4096 && std::string(c.align) != "0";
        EXPECT_EQ(text.find("is not a power of two") != std::string::npos, refused) << text;
    }
}

TEST_F(ReaderContextTest, InitHSMWithoutAnythingInstalled) {
    {
        CFileReaderContext ctx;
        ctx.SetTurboMode(true);
        ctx.InitHSM();
        EXPECT_EQ(ctx.GetUseDriver(), 2);
        EXPECT_TRUE(ctx.IsZXHSMInstalled());
        EXPECT_TRUE(ZXHSMServiceHelper::getUseCache());
    }
    {
        CFileReaderContext ctx;
        KxLog::SetLevel(3);
        log();
        ctx.InitHSM();
        EXPECT_EQ(ctx.GetUseDriver(), 1);
        EXPECT_FALSE(ctx.IsZXHSMInstalled());
        EXPECT_NE(log().find("TurboMode - No, zxhsmInstalled=0 useDriver=ARCHIVER_DRIVER SnapJob=NO "
                             "ArchivAndDelete=NO"),
                  std::string::npos);
        // Chosen once: turbo mode afterwards changes nothing.
        ctx.SetTurboMode(true);
        ctx.InitHSM();
        EXPECT_EQ(ctx.GetUseDriver(), 1);
        EXPECT_NE(log().find("TurboMode - Yes, zxhsmInstalled=0 useDriver=ARCHIVER_DRIVER"), std::string::npos);
    }
}

TEST_F(ReaderContextTest, InitHSMWithDriverOrAgent) {
    ZXHSMTestState::SetFSFDriverLoaded(true);
    {
        CFileReaderContext ctx;
        ctx.SetTurboMode(true);
        ctx.InitHSM();
        EXPECT_EQ(ctx.GetUseDriver(), 1);  // the driver is there: no driver-less mode
        EXPECT_TRUE(ctx.IsZXHSMInstalled());
    }
    ZXHSMTestState::SetFSFDriverLoaded(false);
    ZXHSMTestState::SetFSSXInstalled(true);
    {
        CFileReaderContext ctx;
        EXPECT_TRUE(ctx.IsZXHSMInstalled());  // from construction
        ctx.SetTurboMode(true);
        ctx.InitHSM();
        EXPECT_EQ(ctx.GetUseDriver(), 1);
    }
}

TEST_F(ReaderContextTest, SnapModeFixesDriverLess) {
    ZXHSMTestState::SetFSSXInstalled(true);
    CFileReaderContext ctx;
    ASSERT_TRUE(ctx.IsZXHSMInstalled());
    ctx.SetSnapMode(true);
    EXPECT_TRUE(ctx.IsSnapJob());
    EXPECT_EQ(ctx.GetUseDriver(), 2);
    EXPECT_FALSE(ctx.IsZXHSMInstalled());
    KxLog::SetLevel(3);
    log();
    ctx.InitHSM();
    EXPECT_EQ(ctx.GetUseDriver(), 2);
    EXPECT_FALSE(ctx.IsZXHSMInstalled());
    EXPECT_NE(log().find("zxhsmInstalled=0 useDriver=DRIVER_LESS SnapJob=YES ArchivAndDelete=NO"),
              std::string::npos);
}

TEST_F(ReaderContextTest, LaterStepsOverrideEarlierOnes) {
    reg("DoNotUseArchiverDriver", "1");
    reg("bEnableLustreCopyTool", "1");
    {
        CFileReaderContext ctx;
        ctx.SetLustreBackup(true);
        ctx.InitHSM();
        EXPECT_EQ(ctx.GetUseDriver(), 4);
        EXPECT_FALSE(ctx.IsZXHSMInstalled());
    }
    {
        CFileReaderContext ctx;
        ctx.SetDistributedAppsClusterType(11);
        ctx.InitHSM();
        EXPECT_EQ(ctx.GetUseDriver(), 5);
        EXPECT_TRUE(ctx.IsZXHSMInstalled());
    }
    {
        KxLog::SetLevel(3);
        log();
        CFileReaderContext ctx;
        ctx.SetArchiveAndDelete(true);
        ctx.SetDistributedAppsClusterType(11);
        ctx.InitHSM();
        EXPECT_EQ(ctx.GetUseDriver(), 6);
        EXPECT_TRUE(ctx.IsZXHSMInstalled());
        std::string text = log();
        EXPECT_NE(text.find("DoNotUseArchiverDriver is set in FileSystemAgent registry section"), std::string::npos);
        EXPECT_NE(text.find("useDriver=ARCHIVE_DELETE SnapJob=NO ArchivAndDelete=YES"), std::string::npos);
    }
    KXPlatformInfo::removeValue("FileSystemAgent", "DoNotUseArchiverDriver");
    {
        CFileReaderContext ctx;
        ctx.SetArchiveAndDelete(true);
        ctx.InitHSM();
        EXPECT_EQ(ctx.GetUseDriver(), 2);
    }
}

TEST_F(ReaderContextTest, TieredContextIsMadeOnceAndKeepsItsMode) {
    CFileReaderContext ctx;
    ZXHSMLowLevelCtx* a = ctx.GetZXHSMLowLevelContext(2);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->driverMode(), 2);
    EXPECT_EQ(ctx.GetZXHSMLowLevelContext(1), a);
    EXPECT_EQ(a->driverMode(), 2);
}

TEST_F(ReaderContextTest, UnreadableMountTableIsRememberedNotThrown) {
    kxSetMntTabPathForTest((m_dir / "no-such-mounts").c_str());
    CFileReaderContext ctx;
    EXPECT_EQ(ctx.GetZXHSMLowLevelContext(1), nullptr);
    EXPECT_TRUE(ctx.ZXHSMContextFailed());
    EXPECT_NE(log().find("Failed to create the tiered-storage context"), std::string::npos);
    // Not tried again for every item.
    kxSetMntTabPathForTest(nullptr);
    EXPECT_EQ(ctx.GetZXHSMLowLevelContext(1), nullptr);
    EXPECT_EQ(log().find("Failed to create the tiered-storage context"), std::string::npos);
}

TEST_F(ReaderContextTest, FactoryMakesAndKeepsReaders) {
    auto ctx = std::make_shared<CFileReaderContext>();
    std::shared_ptr<CFileReader> r = CFileReaderFactory::CreateFileReader(FILE_READER_STANDARD, ctx);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->GetType(), FILE_READER_STANDARD);
    EXPECT_EQ(r->GetContext(), ctx);
    EXPECT_EQ(r->getDebugPrefix(), "FILEREADER");

    std::shared_ptr<CFileReader> keep = r;
    EXPECT_TRUE(CFileReaderFactory::CreateFileReader(FILE_READER_STANDARD, ctx, keep).IsSuccess());
    EXPECT_EQ(keep, r);

    std::shared_ptr<CFileReader> none;
    EXPECT_TRUE(CFileReaderFactory::CreateFileReader(FILE_READER_STANDARD, ctx, none).IsSuccess());
    ASSERT_TRUE(none);
    EXPECT_NE(none, r);

    std::shared_ptr<CFileReader> other = r;
    EXPECT_TRUE(CFileReaderFactory::CreateFileReader(static_cast<FILE_READER_TYPE>(1), ctx, other).IsSuccess());
    ASSERT_TRUE(other);
    EXPECT_NE(other, r);
    EXPECT_EQ(other->GetType(), FILE_READER_STANDARD);
}

TEST_F(ReaderContextTest, ReaderWithoutContextMakesItsOwn) {
    CFileReader r;
    ASSERT_TRUE(r.GetContext());
    EXPECT_EQ(r.GetContext()->GetUseDriver(), 1);  // InitHSM ran
}

}  // namespace
