#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>

#include "norfa/FLRConsistencyPtMapper.h"
#include "norfa/FlrSnapMgr.h"
#include "norfa/FlrSnapOS.h"
#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"
#include "platform/os/KxMntTab.h"
#include "platform/snapshot/ReplicaDBClient.h"
#include "support/MntTabFile.h"
#include "support/SnapFixture.h"

namespace {

using FlrSnapOS::RDEV;

TEST(FlrSnapMgrTest, ParsesShortSnapshotNames) {
    struct Case {
        const char* name;
        int ok;
        int type;
        long time;
        long seq;
    } cases[] = {
        {"kxr_5f3a", 1, 1, 0x5f3a, 0},
        {"kxr_5f3a_3", 1, 1, 0x5f3a, 3},
        {"kxm_ABC_ff", 1, 0, 0xabc, 0xff},
        {"kxc_7fffffffffffffff", 1, 2, 0x7fffffffffffffff, 0},
        {"kxc_8000000000000000", 0, 0, 0, 0},   // does not fit a long
        {"kxc_00000000000000001", 0, 0, 0, 0},  // 17 digits
        {"kxr_", 0, 0, 0, 0},
        {"kxr_5f3a_", 0, 0, 0, 0},
        {"kxr_5f3a_3x", 0, 0, 0, 0},
        {"kxr_5f3g", 0, 0, 0, 0},
        {"kxq_1", 0, 0, 0, 0},
        {"", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        FlrSnapMgr::SNAP_TYPE type = FlrSnapMgr::kConsistency;
        long time = -1, seq = -1;
        EXPECT_EQ(FlrSnapMgr::parseShortSnapName(c.name, &type, &time, &seq), c.ok) << c.name;
        const std::string want =
            c.ok ? std::to_string(c.type) + "/" + std::to_string(c.time) + "/" + std::to_string(c.seq)
                 : "2/-1/-1";  // a refused name writes nothing
        EXPECT_EQ(std::to_string(type) + "/" + std::to_string(time) + "/" + std::to_string(seq), want) << c.name;
    }
    EXPECT_EQ(FlrSnapMgr::parseShortSnapName("kxm_1", nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(FlrSnapMgr::parseShortSnapName(nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(FlrSnapOSTest, DevicesAreEqualOnlyByAKnownDeviceNumber) {
    ruxen::testcontrol::StartLogCapture();
    testfiles::TempDir dir("rdev_test");
    ASSERT_EQ(symlink("/dev/null", (dir / "kxm_1").c_str()), 0);
    RDEV link(dir / "kxm_1");
    EXPECT_EQ(link.getSnapShortName(), "kxm_1");
    EXPECT_TRUE(link == RDEV("/dev/null"));
    EXPECT_FALSE(link == RDEV("/dev/zero"));
    EXPECT_FALSE(RDEV(dir / "missing") == RDEV(dir / "missing"));  // unreadable: never the same device
    EXPECT_FALSE(RDEV(dir.path()) == RDEV(dir.path()));            // not a device: number 0
    EXPECT_TRUE(RDEV("tmpfs") == RDEV("tmpfs"));
    EXPECT_FALSE(RDEV("tmpfs") == RDEV("srv:/tmpfs"));

    RDEV net("filer:/vol/v1/.snapshot/kxr_10/dir/f");
    EXPECT_EQ(net.kind(), RDEV::kNetwork);
    EXPECT_EQ(net.server() + "|" + net.path() + "|" + net.volume() + "|" + net.getSnapShortName() + "|" + net.rest(),
              "filer|/vol/v1/.snapshot/kxr_10/dir/f|v1|kxr_10|dir/f");
    RDEV plain("filer:/vol/v1/data");
    EXPECT_EQ(plain.volume() + "|" + plain.getSnapShortName() + "|" + plain.rest(), "v1||data");
    EXPECT_TRUE(RDEV().empty());
    ruxen::testcontrol::StopLogCapture();
}

// Snapshots kxm_64_1 (reference time 0x64) and kxr_32 (0x32) are links to
// /dev/zero and /dev/full, mounted at /mnt/snapA and /mnt/snapB.
class FLRConsistencyPtMapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        ruxen::testcontrol::StartLogCapture();
        ruxen::testcontrol::ResetNorfaRefTime();
        ASSERT_EQ(symlink("/dev/zero", (dir_ / "kxm_64_1").c_str()), 0);
        ASSERT_EQ(symlink("/dev/full", (dir_ / "kxr_32").c_str()), 0);
        ASSERT_EQ(symlink("/dev/zero", (dir_ / "snapX").c_str()), 0);
        ASSERT_EQ(symlink("/dev/null", (dir_ / "kxm_5").c_str()), 0);
        answer_.pairPaths = {{1, "/src/a/", "/replica/dst1/"}, {2, "/src/b", "/replica"}};
        answer_.snapPairs = {{0, 10, 1}, {0, 20, 2}};
        answer_.snapshots = {{10, "stale", "vol"}, {10, dir_ / "kxm_64_1", "vol"}, {20, dir_ / "kxr_32", "vol"}};
    }
    void TearDown() override {
        ruxen::testcontrol::ResetConsistencyPointAnswers();
        ruxen::testcontrol::StopLogCapture();
    }

    testfiles::TempDir dir_{"flr_test"};
    testfiles::MntTabFile mounts_{
        "/dev/root / ext4 rw 0 0\n/dev/sdq9 /replica ext4 rw 0 0\n/dev/zero /mnt/snapA ext4 ro 0 0\n"
        "/dev/full /mnt/snapB/ ext4 ro 0 0\n/dev/null /mnt/snapN ext4 ro 0 0\n"};
    QueryFLRCPByJobIdRet_t answer_;
};

TEST_F(FLRConsistencyPtMapperTest, MapsHostContentsIntoMountedSnapshots) {
    ruxen::testcontrol::SetConsistencyPointAnswer(77, answer_);
    FLRConsistencyPtMapper m;
    ASSERT_TRUE(m.initialize("77"));
    EXPECT_EQ(m.GetSourceToLocalMap(),
              (std::map<std::string, std::string>{{"/src/a", "/mnt/snapA/dst1"}, {"/src/b", "/mnt/snapB"}}));
    EXPECT_EQ(getNorfaRefTime(), 0x32);
    std::string out;
    EXPECT_EQ(m.MakeHostPathFromProxyPath(std::string("/src/a/f"), out), 0);
    EXPECT_EQ(out, "/mnt/snapA/dst1/f");
    EXPECT_TRUE(m.initialize("not even a number"));  // enabled: true at once

    // The same from the fixture file, for another process of the job.
    testfiles::SnapFixture fixture;
    fixture.write(78, ".flrcp",
                  "pairpath\t1\t/src/c\t/replica/x/y\nsnappair\t0\t5\t1\nsnapshot\t5\t" + (dir_ / "kxm_5") + "\tvol\n");
    FLRConsistencyPtMapper f;
    ASSERT_TRUE(f.initialize("78"));
    EXPECT_EQ(f.GetSourceToLocalMap(), (std::map<std::string, std::string>{{"/src/c", "/mnt/snapN/x/y"}}));
    EXPECT_EQ(getNorfaRefTime(), 5);
}

TEST_F(FLRConsistencyPtMapperTest, EachBadRecordFailsTheSetUp) {
    struct Case {
        const char* name;
        const char* jobId;
        void (*spoil)(QueryFLRCPByJobIdRet_t&, const std::string& dir);
    } cases[] = {
        {"null job id", nullptr, nullptr},
        {"empty job id", "", nullptr},
        {"job id not a number", "77x", nullptr},
        {"no answer", "79", nullptr},
        {"empty host content", "77",
         [](QueryFLRCPByJobIdRet_t& r, const std::string&) { r.pairPaths[1].hostContent = ""; }},
        {"destination on no mount", "77",
         [](QueryFLRCPByJobIdRet_t& r, const std::string&) { r.pairPaths[1].destination = "rel"; }},
        {"no snapshot of the pair", "77",
         [](QueryFLRCPByJobIdRet_t& r, const std::string&) { r.snapPairs[1].pairId = 9; }},
        {"empty device", "77", [](QueryFLRCPByJobIdRet_t& r, const std::string&) { r.snapshots[2].snapDevice = ""; }},
        {"unreadable device", "77",
         [](QueryFLRCPByJobIdRet_t& r, const std::string& d) { r.snapshots[2].snapDevice = d + "/kxr_missing"; }},
        {"device not mounted", "77",
         [](QueryFLRCPByJobIdRet_t& r, const std::string&) { r.snapshots[2].snapDevice = "/dev/random"; }},
        {"bad short name", "77",
         [](QueryFLRCPByJobIdRet_t& r, const std::string& d) { r.snapshots[2].snapDevice = d + "/snapX"; }},
    };
    for (const Case& c : cases) {
        QueryFLRCPByJobIdRet_t a = answer_;
        if (c.spoil)
            c.spoil(a, dir_.path());
        ruxen::testcontrol::SetConsistencyPointAnswer(77, a);
        FLRConsistencyPtMapper m;
        EXPECT_FALSE(m.initialize(c.jobId)) << c.name;
        EXPECT_FALSE(m.IsEnabled()) << c.name;
        EXPECT_TRUE(m.GetSourceToLocalMap().empty()) << c.name;
        EXPECT_EQ(getNorfaRefTime(), 0) << c.name;  // published only after a successful set-up
    }
    ruxen::testcontrol::SetConsistencyPointAnswer(77, answer_);
    ruxen::testcontrol::SetMountTablePath((dir_ / "no-such-mounts").c_str());
    FLRConsistencyPtMapper m;
    EXPECT_FALSE(m.initialize("77"));  // the mount table's exception is caught
}

}  // namespace
