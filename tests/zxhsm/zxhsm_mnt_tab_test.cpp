#include <gtest/gtest.h>

#include <string>

#include "platform/base/KxException.h"
#include "platform/base/TestControl.h"
#include "platform/os/KxMntTab.h"
#include "support/MntTabFile.h"
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

// Runs `f` and returns the text of the KxException it throws.
template <class F>
std::string thrown(F f) {
    try {
        f();
    } catch (const KxException& e) {
        EXPECT_EQ(e.source(), "ZXHSMMntTab");
        EXPECT_EQ(e.code(), -1);
        return e.context() + ": " + e.text();
    }
    return "no exception";
}

TEST(ZXHSMMntTabTest, EntriesAndLookups) {
    MntTabFile file(kTable);
    ZXHSMMntTab tab;
    std::vector<ZXHSMMntTab::Entry> all = tab.getAll();
    ASSERT_EQ(all.size(), 5u);  // the over-long source is skipped, not cut
    EXPECT_EQ(all[0].special + "|" + all[0].dir + "|" + all[0].type + "|" + all[0].opts, "/dev/sda1|/|ext4|rw,relatime");
    EXPECT_FALSE(all[0].flag);
    EXPECT_TRUE(all[2].flag);  // read-only
    EXPECT_EQ(all[3].dir, "/mnt/with blank");

    struct {
        const char* file;
        const char* special;
    } finds[] = {
        {"/home/u/f", "/dev/sdc1"},
        {"/homework", "/dev/sda1"},  // whole components only
        {"/home", "/dev/sdd1"},      // the mount directory itself; the later of two entries hides the earlier
        {"/home/x/y", "/dev/sdd1"},
        {"/mnt/with blank/a", "server:/vol/x"},
        {"/mnt/long/f", "/dev/sda1"},  // its mount was skipped
        {"/", "/dev/sda1"},
    };
    for (const auto& c : finds)
        EXPECT_EQ(tab.find(c.file).special, c.special) << c.file;
    EXPECT_EQ(thrown([&] { tab.find(nullptr); }), "ZXHSMMntTab::find: Internal error: fname==NULL");
    EXPECT_EQ(thrown([&] { tab.find(""); }), "ZXHSMMntTab::find: Internal error: fname==NULL");
    EXPECT_EQ(thrown([&] { tab.find("relative/f"); }),
              "ZXHSMMntTab::find: Failed to find mount point containing file relative/f");

    ASSERT_NE(tab.find("/home", "rw"), nullptr);
    EXPECT_EQ(tab.find("/home", "rw")->special, "/dev/sdb1");
    EXPECT_EQ(tab.find("/home", "rw,relatime")->special, "/dev/sdd1");
    const char* none[][2] = {{"/home", "ro"}, {"/home/", "rw"}, {"/home", nullptr}, {nullptr, "rw"}};
    for (const auto& bad : none)
        EXPECT_EQ(tab.find(bad[0], bad[1]), nullptr);

    MntTabFile noRoot("/dev/sdb1 /home ext4 rw 0 0\n");
    ZXHSMMntTab partial;
    EXPECT_EQ(thrown([&] { partial.find("/homework/f"); }),
              "ZXHSMMntTab::find: Failed to find mount point containing file /homework/f");
}

TEST(ZXHSMMntTabTest, RealAndUnreadableTables) {
    ZXHSMMntTab real;
    EXPECT_EQ(real.find("/").dir, "/");
    EXPECT_NO_THROW(real.find(RUXEN_SOURCE_DIR));
    ruxen::testcontrol::SetMountTablePath("/nonexistent/zxhsm/mounts");
    const std::string text = thrown([] { ZXHSMMntTab tab; });
    ruxen::testcontrol::SetMountTablePath(nullptr);
    EXPECT_EQ(text.rfind("ZXHSMMntTab: ", 0), 0u) << text;
    EXPECT_NE(text.find("/nonexistent/zxhsm/mounts"), std::string::npos) << text;
}

}  // namespace
