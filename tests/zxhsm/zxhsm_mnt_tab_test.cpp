#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/KxException.h"
#include "platform/KxMntTab.h"
#include "support/MntTabFile.h"
#include "support/TestFiles.h"
#include "zxhsm/ZXHSMCommon/ZXHSMMntTab.h"

namespace {

using testfiles::MntTabFile;

const std::string kTable =
    "/dev/sda1 / ext4 rw,relatime 0 0\n"
    "/dev/sdb1 /home ext4 rw 0 0\n"
    "/dev/sdc1 /home/u xfs ro,noatime 0 0\n"
    "server:/vol/x /mnt/with\\040blank nfs rw,hard 0 0\n"
    "/dev/" + std::string(1100, 'l') + " /mnt/long ext4 rw 0 0\n"
    "/dev/sdd1 /home ext4 rw,relatime 0 0\n";

// Runs `f` and returns the KxException it throws.
template <class F>
KxException thrown(F f) {
    try {
        f();
    } catch (const KxException& e) {
        return e;
    }
    ADD_FAILURE() << "no KxException";
    return KxException("", "", "", -999);
}

TEST(ZXHSMMntTabTest, CopiesTheReadersEntriesInOrder) {
    MntTabFile file(kTable);
    ZXHSMMntTab tab;
    std::vector<ZXHSMMntTab::Entry> all = tab.getAll();
    ASSERT_EQ(all.size(), 5u);  // the over-long source is skipped, not cut
    EXPECT_EQ(all[0].special, "/dev/sda1");
    EXPECT_EQ(all[0].dir, "/");
    EXPECT_FALSE(all[0].flag);
    EXPECT_EQ(all[0].type, "ext4");
    EXPECT_EQ(all[0].opts, "rw,relatime");
    EXPECT_EQ(all[2].dir, "/home/u");
    EXPECT_TRUE(all[2].flag);
    EXPECT_EQ(all[3].special, "server:/vol/x");
    EXPECT_EQ(all[3].dir, "/mnt/with blank");
    EXPECT_EQ(all[4].special, "/dev/sdd1");
}

TEST(ZXHSMMntTabTest, FindTheMountThatHoldsAFile) {
    MntTabFile file(kTable);
    ZXHSMMntTab tab;
    EXPECT_EQ(tab.find("/home/u/f").special, "/dev/sdc1");
    EXPECT_EQ(tab.find("/homework").dir, "/");
    EXPECT_EQ(tab.find("/home").dir, "/home");  // the mount directory itself
    // Two entries for /home: the later one hides the earlier.
    EXPECT_EQ(tab.find("/home").special, "/dev/sdd1");
    EXPECT_EQ(tab.find("/home/x/y").special, "/dev/sdd1");
    EXPECT_EQ(tab.find("/mnt/with blank/a").special, "server:/vol/x");
    EXPECT_EQ(tab.find("/mnt/long/f").dir, "/");  // its mount was skipped
    EXPECT_EQ(tab.find("/").special, "/dev/sda1");
}

TEST(ZXHSMMntTabTest, FindFailuresAreExceptions) {
    MntTabFile file(kTable);
    ZXHSMMntTab tab;
    for (const char* bad : {static_cast<const char*>(nullptr), ""}) {
        KxException e = thrown([&] { tab.find(bad); });
        EXPECT_EQ(e.context(), "ZXHSMMntTab::find");
        EXPECT_EQ(e.text(), "Internal error: fname==NULL");
        EXPECT_EQ(e.source(), "ZXHSMMntTab");
        EXPECT_EQ(e.code(), -1);
    }
    KxException e = thrown([&] { tab.find("relative/f"); });
    EXPECT_EQ(e.text(), "Failed to find mount point containing file relative/f");

    MntTabFile noRoot("/dev/sdb1 /home ext4 rw 0 0\n");
    ZXHSMMntTab partial;
    e = thrown([&] { partial.find("/homework/f"); });
    EXPECT_EQ(e.context(), "ZXHSMMntTab::find");
    EXPECT_EQ(e.text(), "Failed to find mount point containing file /homework/f");
    EXPECT_EQ(e.code(), -1);
    EXPECT_EQ(partial.find("/home/f").dir, "/home");
}

TEST(ZXHSMMntTabTest, FindByDirectoryAndOptions) {
    MntTabFile file(kTable);
    ZXHSMMntTab tab;
    const ZXHSMMntTab::Entry* e = tab.find("/home", "rw");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->special, "/dev/sdb1");
    e = tab.find("/home", "rw,relatime");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->special, "/dev/sdd1");
    EXPECT_EQ(tab.find("/home", "ro"), nullptr);
    EXPECT_EQ(tab.find("/home/", "rw"), nullptr);  // exact directory only
    EXPECT_EQ(tab.find("/home", nullptr), nullptr);
    EXPECT_EQ(tab.find(nullptr, "rw"), nullptr);
}

TEST(ZXHSMMntTabTest, UnreadableTableFailsConstruction) {
    kxSetMntTabPathForTest("/nonexistent/zxhsm/mounts");
    KxException e = thrown([] { ZXHSMMntTab tab; });
    kxSetMntTabPathForTest(nullptr);
    EXPECT_EQ(e.context(), "ZXHSMMntTab");
    EXPECT_EQ(e.source(), "ZXHSMMntTab");
    EXPECT_EQ(e.code(), -1);
    EXPECT_NE(e.text().find("/nonexistent/zxhsm/mounts"), std::string::npos) << e.text();
}

TEST(ZXHSMMntTabTest, RealMountTable) {
    kxSetMntTabPathForTest(nullptr);
    ZXHSMMntTab tab;
    EXPECT_FALSE(tab.getAll().empty());
    EXPECT_EQ(tab.find("/").dir, "/");
    EXPECT_NO_THROW(tab.find(RUXEN_SOURCE_DIR));
}

}  // namespace
