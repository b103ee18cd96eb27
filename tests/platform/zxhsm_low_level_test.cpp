#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/KxCriticalSection.h"
#include "platform/KxException.h"
#include "platform/KxMntTab.h"
#include "platform/ReparseData.h"
#include "platform/ZXHSMLowLevel.h"
#include "support/TestFiles.h"

namespace {

// A temporary directory holding a mount table the reader is pointed at, and
// real files for the stub questions. The tiered-storage state is reset around
// each test.
class ZXHSMLowLevelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ZXHSMTestState::Reset();
        writeMntTab("/dev/sda1 / ext4 rw 0 0\n"
                    "/dev/sdb1 /data ext4 rw 0 0\n"
                    "/dev/sdc1 /data/nested xfs rw 0 0\n"
                    "/dev/sdd1 /tiered fuse.sxrfs rw 0 0\n");
    }
    void TearDown() override {
        kxSetMntTabPathForTest(nullptr);
        ZXHSMTestState::Reset();
    }
    void writeMntTab(const std::string& text) {
        std::string path = dir_ / "mounts";
        testfiles::WriteWholeFile(path, text);
        kxSetMntTabPathForTest(path.c_str());
    }
    std::string makeFile(const char* name) {
        std::string path = dir_ / name;
        testfiles::WriteWholeFile(path, "");
        return path;
    }

    testfiles::TempDir dir_{"zxhsm_ll_test"};
};

TEST_F(ZXHSMLowLevelTest, ObjectsAreCachedByMountNotByFile) {
    ZXHSMTestState::AddTieredMount("/tiered");
    ZXHSMTestState::AddTieredMount("/data/");
    ZXHSMLowLevelCtx ctx(ZXHSM_DRIVER_LESS);
    EXPECT_EQ(ctx.driverMode(), ZXHSM_DRIVER_LESS);

    ZXHSMLowLevel* a = ctx.getByFileName("/tiered/a");
    ZXHSMLowLevel* b = ctx.getByFileName("/tiered/dir/b");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->getMountPoint(), "/tiered");
    EXPECT_EQ(ctx.getByFileName("/tiered"), a);

    ZXHSMLowLevel* d = ctx.getByFileName("/data/x");
    ASSERT_NE(d, nullptr);
    EXPECT_NE(d, a);
    EXPECT_EQ(d->getMountPoint(), "/data");
    EXPECT_EQ(ctx.objectCount(), 2u);
}

TEST_F(ZXHSMLowLevelTest, NoObjectOffTheTieredMounts) {
    ZXHSMTestState::AddTieredMount("/data");
    ZXHSMLowLevelCtx ctx(ZXHSM_ARCHIVER_DRIVER);
    EXPECT_EQ(ctx.getByFileName("/other/file"), nullptr);
    EXPECT_EQ(ctx.getByFileName("/database/file"), nullptr);  // whole components only
    EXPECT_EQ(ctx.getByFileName("/data/nested/file"), nullptr);  // a deeper plain mount
    EXPECT_EQ(ctx.getByFileName("data/file"), nullptr);
    EXPECT_EQ(ctx.getByFileName(""), nullptr);
    EXPECT_EQ(ctx.getByFileName(nullptr), nullptr);
    EXPECT_EQ(ctx.objectCount(), 0u);

    // A tiered-storage mount below the plain one wins again.
    ZXHSMTestState::AddTieredMount("/data/nested/deep");
    ZXHSMLowLevel* deep = ctx.getByFileName("/data/nested/deep/f");
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(deep->getMountPoint(), "/data/nested/deep");
}

TEST_F(ZXHSMLowLevelTest, DriverModeChoosesTheForm) {
    ZXHSMTestState::AddTieredMount("/tiered");
    ZXHSMLowLevelCtx archiver(ZXHSM_ARCHIVER_DRIVER);
    EXPECT_NE(dynamic_cast<ZXHSMLowLevelCXFS*>(archiver.getByFileName("/tiered/f")), nullptr);
    ZXHSMLowLevelCtx driverless(ZXHSM_DRIVER_LESS);
    ZXHSMLowLevel* ll = driverless.getByFileName("/tiered/f");
    ASSERT_NE(ll, nullptr);
    EXPECT_EQ(dynamic_cast<ZXHSMLowLevelCXFS*>(ll), nullptr);
}

TEST_F(ZXHSMLowLevelTest, UnreadableMountTableThrows) {
    kxSetMntTabPathForTest((dir_ / "no-such-table").c_str());
    EXPECT_THROW(ZXHSMLowLevelCtx ctx(1), KxException);
}

TEST_F(ZXHSMLowLevelTest, FileSystemTestFollowsTheRegistry) {
    ZXHSMTestState::AddTieredMount("/tiered");
    ZXHSMLowLevelCtx ctx(ZXHSM_DRIVER_LESS);
    ZXHSMLowLevel* ll = ctx.getByFileName("/tiered/f");
    ASSERT_NE(ll, nullptr);
    EXPECT_GT(ll->isSXRFS("/tiered/f"), 0);
    EXPECT_EQ(ll->isSXRFS("/elsewhere/f"), 0);
    EXPECT_EQ(ll->isSXRFS(nullptr), 0);
    ZXHSMTestState::RemoveTieredMount("/tiered");
    EXPECT_EQ(ll->isSXRFS("/tiered/f"), 0);
}

TEST_F(ZXHSMLowLevelTest, StubQuestionsAnswerFromTheRegistry) {
    const std::string plain = makeFile("plain");
    const std::string stub = makeFile("stub");
    const std::string broken = makeFile("broken");
    ReparseData rd;
    rd.kind = 2;
    rd.dataGuid = "data-guid";
    const std::vector<char> bytes = BuildStubData(rd);
    ZXHSMTestState::AddTieredMount(dir_.path());
    ZXHSMTestState::MarkStub(stub, bytes);
    ZXHSMTestState::SetFailure(broken, "recall service down");

    ZXHSMLowLevelCtx ctx(ZXHSM_DRIVER_LESS);
    ZXHSMLowLevel* ll = ctx.getByFileName(stub.c_str());
    ASSERT_NE(ll, nullptr);
    EXPECT_EQ(ll->getLastError(), "");

    EXPECT_EQ(ll->isStub(plain.c_str()), 0);
    EXPECT_GT(ll->isStub(stub.c_str()), 0);
    EXPECT_LT(ll->isStub(broken.c_str()), 0);
    EXPECT_EQ(ll->getLastError(), "recall service down");
    EXPECT_LT(ll->isStub((dir_ / "missing").c_str()), 0);
    EXPECT_NE(ll->getLastError().find("missing"), std::string::npos);

    std::vector<char> got{'j', 'u', 'n', 'k'};
    EXPECT_EQ(ll->backupStub(stub.c_str(), got), 0);
    EXPECT_EQ(got, bytes);
    EXPECT_LT(ll->backupStub(plain.c_str(), got), 0);
    EXPECT_TRUE(got.empty());
    EXPECT_LT(ll->backupStub(broken.c_str(), got), 0);

    EXPECT_EQ(ll->getSnapStubData(stub.c_str(), got), 0);
    EXPECT_EQ(got, bytes);
    EXPECT_NE(ll->getSnapStubData(plain.c_str(), got), 0);
    EXPECT_NE(ll->getLastError().find("not a stub"), std::string::npos);
    EXPECT_NE(ll->getSnapStubData(broken.c_str(), got), 0);
    EXPECT_EQ(ll->getLastError(), "recall service down");

    ZXHSMTestState::UnmarkStub(stub);
    EXPECT_EQ(ll->isStub(stub.c_str()), 0);
}

TEST_F(ZXHSMLowLevelTest, CxfsGetStubDataReportsBothAnswers) {
    const std::string plain = makeFile("plain");
    const std::string stub = makeFile("stub");
    const std::string broken = makeFile("broken");
    const std::vector<char> bytes = BuildStubData(ReparseData());
    ZXHSMTestState::AddTieredMount(dir_.path());
    ZXHSMTestState::MarkStub(stub, bytes);
    ZXHSMTestState::SetFailure(broken, "driver refused");

    ZXHSMLowLevelCtx ctx(ZXHSM_ARCHIVER_DRIVER);
    auto* cx = dynamic_cast<ZXHSMLowLevelCXFS*>(ctx.getByFileName(plain.c_str()));
    ASSERT_NE(cx, nullptr);
    bool isStub = true;
    std::vector<char> data{'x'};
    EXPECT_EQ(cx->getStubData(plain.c_str(), isStub, data, 0), 0);
    EXPECT_FALSE(isStub);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(cx->getStubData(stub.c_str(), isStub, data, 4096), 0);
    EXPECT_TRUE(isStub);
    EXPECT_EQ(data, bytes);
    EXPECT_LT(cx->getStubData(broken.c_str(), isStub, data, 0), 0);
    EXPECT_FALSE(isStub);
    EXPECT_EQ(cx->getLastError(), "driver refused");
}

TEST_F(ZXHSMLowLevelTest, ServiceFlagsDefaultOffAndReset) {
    EXPECT_FALSE(ZXHSMServiceHelper::IsFSFDriverLoaded());
    EXPECT_FALSE(IsFSSXInstalled());
    EXPECT_FALSE(ZXHSMServiceHelper::getUseCache());
    ZXHSMTestState::SetFSFDriverLoaded(true);
    ZXHSMTestState::SetFSSXInstalled(true);
    ZXHSMServiceHelper::setUseCache(true);
    EXPECT_TRUE(ZXHSMServiceHelper::IsFSFDriverLoaded());
    EXPECT_TRUE(IsFSSXInstalled());
    EXPECT_TRUE(ZXHSMServiceHelper::getUseCache());
    ZXHSMTestState::Reset();
    EXPECT_FALSE(ZXHSMServiceHelper::IsFSFDriverLoaded());
    EXPECT_FALSE(IsFSSXInstalled());
    EXPECT_FALSE(ZXHSMServiceHelper::getUseCache());
}

TEST(KxCriticalSectionTest, IsRecursiveAndExcludesOtherThreads) {
    KxCriticalSection cs;
    cs.Enter();
    {
        KxCriticalSection::Lock again(cs);  // same thread enters again
        std::atomic<bool> otherGot{true};
        std::thread t([&] {
            otherGot = cs.TryEnter();
            if (otherGot)
                cs.Leave();
        });
        t.join();
        EXPECT_FALSE(otherGot.load());
    }
    cs.Leave();
    std::atomic<bool> otherGot{false};
    std::thread t([&] {
        otherGot = cs.TryEnter();
        if (otherGot)
            cs.Leave();
    });
    t.join();
    EXPECT_TRUE(otherGot.load());
}

}  // namespace
