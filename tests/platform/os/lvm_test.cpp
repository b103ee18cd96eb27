#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <string>
#include <vector>

#include "platform/base/KxException.h"
#include "platform/base/TestControl.h"
#include "platform/os/LVM.h"
#include "support/TestFiles.h"

namespace {

using std::string;
using testfiles::TempDir;
using testfiles::WriteWholeFile;

const string kVg(32, 'A');
const string kOtherVg(32, 'C');

class LvmTest : public ::testing::Test {
protected:
    // A block device of the fake tree: class/block/<name> with its number,
    // and dev/block/<num> pointing at it the way sysfs links them.
    void Device(const string& name, const string& num, const string& dmUuid = "", const string& dmName = "",
                const std::vector<string>& slaves = {}) {
        string d = sys + "/class/block/" + name;
        MakeDirs(d + "/slaves");
        WriteWholeFile(d + "/dev", num + "\n");
        WriteWholeFile(d + "/size", "2048\n");
        if (!dmUuid.empty()) {
            MakeDirs(d + "/dm");
            WriteWholeFile(d + "/dm/uuid", dmUuid + "\n");
            WriteWholeFile(d + "/dm/name", dmName + "\n");
        }
        for (const string& s : slaves)
            MakeDirs(d + "/slaves/" + s);
        MakeDirs(sys + "/dev/block");
        ASSERT_EQ(symlink(("../../class/block/" + name).c_str(), (sys + "/dev/block/" + num).c_str()), 0);
    }
    static void MakeDirs(const string& path) {
        for (size_t p = 1; p != string::npos; p = path.find('/', p + 1))
            mkdir(path.substr(0, p).c_str(), 0755);
        mkdir(path.c_str(), 0755);
    }
    void SetUp() override {
        Device("sda", "8:0");
        Device("sda2", "8:2");
        Device("sdb1", "8:17");
        Device("sdc", "8:32");
        Device("dm-0", "253:0", "LVM-" + kVg + string(32, 'B'), "vg0-lv0", {"sda2", "sdb1"});
        Device("dm-1", "253:1", "LVM-" + kVg + string(32, 'D'), "vg0-my--lv", {"sdb1"});
        // A snapshot lies on its copy-on-write volume, which lies on sdc.
        Device("dm-3", "253:3", "LVM-" + kVg + string(32, 'E'), "vg0-snap", {"dm-4"});
        Device("dm-4", "253:4", "LVM-" + kVg + string(32, 'E') + "-cow", "vg0-snap-cow", {"sdc"});
        Device("dm-5", "253:5", "LVM-" + kOtherVg + string(32, 'F'), "other-lv", {"sda"});
        Device("dm-2", "253:2", "CRYPT-LUKS2-0123-luks", "luks", {"sda"});
        Device("dm-6", "253:6", "LVM-" + kOtherVg + string(32, 'G'), "nodash", {});
    }
    TempDir dir;
    string sys = dir / "sys";
};

TEST_F(LvmTest, LogicalVolumeWithItsGroupAndPhysicalVolumes) {
    LVM::SysfsProvider p(sys, "/dev");
    auto engine = p.getByDevNum(253, 0, "/dev/mapper/vg0-lv0");
    ASSERT_NE(engine, nullptr);
    LVM::VG vg = engine->getVG();
    EXPECT_EQ(vg.name, "vg0");
    EXPECT_EQ(vg.uuid, kVg);
    EXPECT_EQ(vg.devNum, "253:0");
    ASSERT_EQ(vg.lvs.size(), 4u);  // lv0, my-lv, snap, snap-cow; not the other group's
    const LVM::LV& lv0 = vg.lvs.at("lv0");
    EXPECT_EQ(lv0.devicePath, "/dev/mapper/vg0-lv0");
    std::vector<string> pvs = lv0.pvs;
    std::sort(pvs.begin(), pvs.end());
    EXPECT_EQ(pvs, (std::vector<string>{"sda2", "sdb1"}));
    EXPECT_EQ(vg.lvs.at("my-lv").pvs, std::vector<string>{"sdb1"});
    EXPECT_EQ(vg.lvs.at("my-lv").dmName, "vg0-my--lv");
    EXPECT_EQ(vg.lvs.at("snap").pvs, std::vector<string>{"sdc"});
    ASSERT_EQ(vg.pvs.size(), 3u);
    EXPECT_EQ(vg.pvs.at("sdb1").devicePath, "/dev/sdb1");
    EXPECT_EQ(vg.pvs.at("sdb1").devNum, "8:17");
}

TEST_F(LvmTest, OtherDevicesAreNotLogicalVolumes) {
    LVM::SysfsProvider p(sys, "/dev");
    EXPECT_EQ(p.getByDevNum(253, 2, "/dev/mapper/luks"), nullptr);  // device-mapper, not LVM
    EXPECT_EQ(p.getByDevNum(8, 0, "/dev/sda"), nullptr);            // a plain disk
    EXPECT_EQ(p.getByDevNum(9, 9, "/dev/none"), nullptr);           // not there
    string file = dir / "file";
    WriteWholeFile(file, "");
    EXPECT_EQ(p.getByLVDevice(file), nullptr);  // not a block device
    EXPECT_EQ(p.getByLVDevice(dir / "missing"), nullptr);
    auto bad = p.getByDevNum(253, 6, "/dev/dm-6");
    ASSERT_NE(bad, nullptr);
    EXPECT_THROW(bad->getVG(), KxException);

    std::string vg, lv;
    struct {
        const char* in;
        bool ok;
        const char* vg;
        const char* lv;
    } names[] = {{"a-b", true, "a", "b"},           {"my--vg-my--lv", true, "my-vg", "my-lv"},
                 {"vg-lv-real", true, "vg", "lv-real"}, {"a--b", false, "", ""},
                 {"-lv", false, "", ""},             {"vg-", false, "", ""}};
    for (const auto& n : names) {
        EXPECT_EQ(LVM::SplitDmName(n.in, &vg, &lv), n.ok) << n.in;
        if (n.ok) {
            EXPECT_EQ(vg, n.vg);
            EXPECT_EQ(lv, n.lv);
        }
    }
}

TEST(Lvm, ProviderCanBeReplaced) {
    struct Fake : LVM::Provider {
        std::unique_ptr<LVM::Engine> getByLVDevice(const std::string& d) override {
            asked = d;
            return nullptr;
        }
        std::string asked;
    } fake;
    ruxen::testcontrol::SetLvmProvider(&fake);
    EXPECT_EQ(LVM::getByLVDevice("/dev/x"), nullptr);
    EXPECT_EQ(fake.asked, "/dev/x");
    ruxen::testcontrol::SetLvmProvider(nullptr);
    EXPECT_EQ(LVM::getByLVDevice("/nonexistent/dev"), nullptr);
}

}  // namespace
