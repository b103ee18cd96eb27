#include <gtest/gtest.h>

#include <string>

#include "platform/base/KxException.h"
#include "platform/base/TestControl.h"
#include "platform/hsm/ZXHSMLowLevel.h"
#include "support/MntTabFile.h"
#include "zxhsm/ZXHSMCommon/ZXHSMLowLevelCtx.h"

namespace {

using testfiles::MntTabFile;

const char kTable[] =
    "/dev/sda1 / ext4 rw 0 0\n"
    "/dev/sdb1 /data ext4 rw 0 0\n"
    "/dev/sdc1 /data/nested xfs rw 0 0\n";

// The context answers the object of the mount that holds a path, one per
// mount; whether the path lies on tiered storage is the object's answer.
TEST(ZXHSMLowLevelCtxTest, ObjectPerMountAndTheFileSystemTest) {
    MntTabFile table(kTable);
    ZXHSMTestState::Reset();
    ZXHSMTestState::AddTieredMount("/data/");
    ZXHSMTestState::AddTieredMount("/data/nested/deep");
    ZXHSMLowLevelCtx ctx(ZXHSM_DRIVER_LESS);
    struct Case {
        const char* path;
        const char* mount;  // null: no object
        int onTiered;
    } cases[] = {
        {"/data/x", "/data", 1},
        {"/data", "/data", 1},
        {"/database/f", "/", 0},            // whole components only
        {"/data/nested/f", "/data/nested", 0},  // a deeper plain mount hides it
        {"/data/nested/deep/f", "/data/nested", 1},
        {"/other/f", "/", 0},
        {"data/f", nullptr, 0},
        {"", nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ZXHSMLowLevel* ll = ctx.getByFileName(c.path);
        if (!c.mount) {
            EXPECT_EQ(ll, nullptr);
            continue;
        }
        ASSERT_NE(ll, nullptr);
        EXPECT_EQ(ll->getMountPoint(), c.mount);
        EXPECT_EQ(ll->isSXRFS(c.path) > 0, c.onTiered == 1);
        EXPECT_EQ(dynamic_cast<ZXHSMLowLevelCXFS*>(ll), nullptr);
    }
    EXPECT_EQ(ctx.getByFileName(nullptr), nullptr);
    EXPECT_EQ(ctx.objectCount(), 3u);
    EXPECT_EQ(ctx.getByFileName("/data/y"), ctx.getByFileName("/data/x"));
    ZXHSMTestState::RemoveTieredMount("/data");
    EXPECT_EQ(ctx.getByFileName("/data/x")->isSXRFS("/data/x"), 0);

    ZXHSMLowLevelCtx archiver(ZXHSM_ARCHIVER_DRIVER);
    EXPECT_NE(dynamic_cast<ZXHSMLowLevelCXFS*>(archiver.getByFileName("/data/x")), nullptr);
    // No mount for a path: no object.
    MntTabFile partial("/dev/sdb1 /data ext4 rw 0 0\n");
    ZXHSMLowLevelCtx noRoot(ZXHSM_DRIVER_LESS);
    EXPECT_EQ(noRoot.getByFileName("/other/f"), nullptr);
    ZXHSMTestState::Reset();
}

TEST(ZXHSMLowLevelCtxTest, UnreadableMountTableThrows) {
    ruxen::testcontrol::SetMountTablePath("/nonexistent/zxhsm/mounts");
    EXPECT_THROW(ZXHSMLowLevelCtx ctx(1), KxException);
    ruxen::testcontrol::SetMountTablePath(nullptr);
}

}  // namespace
