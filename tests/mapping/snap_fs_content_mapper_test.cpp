#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "mapping/SnapFSContentMapper.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"
#include "platform/snapshot/TavSnapUtilBase.h"
#include "support/MntTabFile.h"
#include "support/SnapFixture.h"

namespace {

using testfiles::ReadWholeFile;
using testfiles::WriteWholeFile;

// Nested (/data, /data/sub) and sibling (/data, /data2) sources, two raw
// volumes (flags 1 and 2), a block-level volume, and two replicas, one of
// whose replicated folder does not lie under its source.
const char kVolumes[] =
    "engine\t7\n"
    "# id source mount flags archive client device [orig base rel]\n"
    "vol\t1\t/data\t/snap/d\t0\t101\t55\t/dev/s1\n"
    "vol\t2\t/data/sub/\t/snap/ds/\t16384\t102\t56\t/dev/s2\n"
    "vol\t3\t/dev/rdsk/c0\t/snap/raw1\t1\t103\t0\t/dev/s3\n"
    "vol\t4\t/dev/rdsk/c1\t/snap/raw2/\t2\t104\t0\t/dev/s4\n"
    "vol\t5\t/rep/src/\t/snap/rep\t0\t105\t0\t/dev/s5\t/orig/rep\t/base/\t/rep/src/deep/\n"
    "vol\t6\t/short/src\t/snap/short\t0\t106\t0\t/dev/s6\t/orig/short\t/base\t/sh\n"
    "vol\t7\t/data2\t/snap/d2\t0\t107\t0\t/dev/s7\n";

class SnapFSContentMapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        ruxen::testcontrol::StartLogCapture();
        fixture_.write(42, ".snap", kVolumes);
        ASSERT_TRUE(m_.initialize("42", 2, 9, 7, false));
    }
    void TearDown() override { ruxen::testcontrol::StopLogCapture(); }

    testfiles::SnapFixture fixture_;
    SnapFSContentMapper m_;
};

TEST_F(SnapFSContentMapperTest, LoadsVolumesIntoMapRawListAndDeviceMap) {
    const std::map<std::string, std::string> want = {
        {"/data", "/snap/d"},           {"/data/sub", "/snap/ds"},
        {"/data2", "/snap/d2"},         {"/orig/rep", "/snap/rep/deep"},
        {"/orig/short", "/snap/short"},  // short replica path: the root
    };
    EXPECT_EQ(m_.GetSourceToLocalMap(), want);
    ASSERT_EQ(m_.GetRawDevList().size(), 2u);
    const RawDevInfo& r = m_.GetRawDevList().back();
    EXPECT_EQ(r.source + "|" + r.mount + "|" + r.sourceParent + "|" + r.mountParent,
              "/dev/rdsk/c1|/snap/raw2/c1|/dev/rdsk|/snap/raw2");
    EXPECT_EQ(m_.GetSourceSnapDeviceMap(), (std::map<std::string, std::string>{{"/data/sub", "/dev/s2"}}));
    EXPECT_EQ(m_.GetSourceClientId(), 55u);
    std::list<std::string> rawList;
    EXPECT_EQ(m_.GetRawProxyList(&rawList), 1);
    EXPECT_EQ(rawList, (std::list<std::string>{"/snap/raw1/c0", "/snap/raw2/c1"}));
}

TEST_F(SnapFSContentMapperTest, MapsBothDirectionsOnWholeComponents) {
    struct Case {
        bool toHost;
        const char* in;
        int rc;
        const char* out;
    } cases[] = {
        {true, "/data/f", 0, "/snap/d/f"},
        {true, "/data/sub/x", 0, "/snap/ds/x"},
        {true, "/data2/y", 0, "/snap/d2/y"},
        {true, "/datax/y", -1, "/datax/y"},
        {true, "/dev/rdsk/c0", 0, "/snap/raw1/c0"},
        {true, "/dev/rdsk/", 0, "/snap/raw1"},
        {true, "/orig/rep/a", 0, "/snap/rep/deep/a"},
        {false, "/snap/ds/x", 0, "/data/sub/x"},
        {false, "/snap/raw2/c1", 0, "/dev/rdsk/c1"},
        {false, "/snap/raw2", 0, "/dev/rdsk"},
        {false, "/snap/d", 0, "/data"},
        {false, "/snap/dx", -1, "/snap/dx"},
    };
    for (const Case& c : cases) {
        std::string s;
        char buf[64];
        int rc = c.toHost ? m_.MakeHostPathFromProxyPath(std::string(c.in), s)
                          : m_.MakeProxyPathFromHostPath(std::string(c.in), s);
        EXPECT_EQ(rc, c.rc) << c.in;
        EXPECT_EQ(s, c.out) << c.in;
        rc = c.toHost ? m_.MakeHostPathFromProxyPath(c.in, buf, sizeof(buf))
                      : m_.MakeProxyPathFromHostPath(c.in, buf, sizeof(buf));
        EXPECT_EQ(rc, c.rc) << c.in;
        EXPECT_STREQ(buf, c.out) << c.in;
    }
    // A result that does not fit is an error, never a cut path: raw and map hits alike.
    for (const char* in : {"/dev/rdsk/c0", "/data/f"}) {
        char small[9];
        EXPECT_EQ(m_.MakeHostPathFromProxyPath(in, small, sizeof(small)), -1);
        EXPECT_EQ(errno, ENAMETOOLONG);
        EXPECT_STREQ(small, "");
        EXPECT_EQ(m_.MakeHostPathFromProxyPath(in, small, 0), -1);
        EXPECT_EQ(errno, EINVAL);
    }
}

TEST_F(SnapFSContentMapperTest, AnswersVolumeQuestions) {
    EXPECT_EQ(m_.getSourcePathByLocalPath("/snap/ds/x"), "/data/sub/");    // the longest local path wins
    EXPECT_EQ(m_.getSourcePathByLocalPath("/snap/raw1"), "/dev/rdsk/c0");  // a raw mount parent: the source
    EXPECT_EQ(m_.getSourcePathByLocalPath("/snap/rep/deep/q"), "/rep/src/");
    EXPECT_EQ(m_.getSourcePathByLocalPath("/snapx"), "");
    EXPECT_EQ(m_.getArchiveIDByPath("/snap/ds/"), 102);
    EXPECT_EQ(m_.getArchiveIDByPath("/snap/raw1/c0"), 103);
    EXPECT_EQ(m_.getArchiveIDByPath("/snap/ds/x"), -1);
    EXPECT_EQ(m_.getSourcePathByArchiveID(104), "/dev/rdsk/c1");
    EXPECT_EQ(m_.getSourcePathByArchiveID(107), "/data2");
    EXPECT_EQ(m_.getSourcePathByArchiveID(999), "");
    EXPECT_TRUE(m_.isVolumePath("/snap/ds/"));
    EXPECT_TRUE(m_.isVolumePath("/snap/raw2"));
    EXPECT_FALSE(m_.isVolumePath("/snap"));
    std::string host, proxy;
    EXPECT_EQ(m_.GetHostAndProxyFromProxyPath("/data/sub/z", host, proxy), 0);
    EXPECT_EQ(proxy + ">" + host, "/data/sub>/snap/ds");
    EXPECT_EQ(m_.GetHostAndProxyFromProxyPath("/data3", host, proxy), -1);
}

TEST_F(SnapFSContentMapperTest, ReloadReplacesEverythingAndUnmountGoesToTheUtilities) {
    fixture_.write(42, ".snap", "vol\t1\t/other\t/snap/o\t0\t1\t0\t/dev/o\n");
    ASSERT_TRUE(m_.initConsistencyPtMapper("42", false, true));
    EXPECT_EQ(m_.GetSourceToLocalMap(), (std::map<std::string, std::string>{{"/other", "/snap/o"}}));
    EXPECT_TRUE(m_.GetRawDevList().empty());
    EXPECT_TRUE(m_.GetSourceSnapDeviceMap().empty());
    m_.UnmountSnapshots();
    EXPECT_EQ(m_.SnapUtil()->unmountCalls(), 1);
}

TEST(SnapFSContentMapperSetUp, RefusesWhatCannotBeLoaded) {
    ruxen::testcontrol::StartLogCapture();
    struct Case {
        const char* name;
        const char* fixture;  // null: no fixture file
        const char* jobId;
        int engine;
        bool mount;
    } cases[] = {
        {"engine not set", kVolumes, "42", -1, false}, {"no file", nullptr, "42", 7, false},
        {"bad job id", kVolumes, "42x", 7, false},     {"bad line", "vol\t1\t/data\n", "42", 7, false},
        {"no volumes", "engine\t7\n", "42", 7, false}, {"mount dir missing", kVolumes, "42", 7, true},
    };
    for (const Case& c : cases) {
        testfiles::SnapFixture fixture;
        if (c.fixture)
            fixture.write(42, ".snap", c.fixture);
        SnapFSContentMapper m;
        EXPECT_FALSE(m.initialize(c.jobId, 1, 1, c.engine, c.mount)) << c.name;
        EXPECT_FALSE(m.IsEnabled()) << c.name;
        std::string out;
        EXPECT_EQ(m.MakeHostPathFromProxyPath(std::string("/data/x"), out), 0) << c.name;  // disabled: identity
        EXPECT_EQ(out, "/data/x");
    }
    // Without a fixture directory nothing loads; a retry once it is there
    // succeeds (the first utilities object is freed).
    SnapFSContentMapper m;
    EXPECT_FALSE(m.initialize("42", 1, 1, 7, true));
    testfiles::SnapFixture fixture;
    fixture.write(42, ".snap", "vol\t1\t/data\t" + fixture.dir().path() + "\t0\t1\t0\t/dev/x\n");
    EXPECT_TRUE(m.initialize("42", 1, 1, 7, true));
    EXPECT_TRUE(m.initialize("42", 1, 1));  // enabled: true at once
    // Another job in the same process gets its own snapshots, not job 42's.
    fixture.write(43, ".snap", "vol\t1\t/other\t" + fixture.dir().path() + "\t0\t1\t0\t/dev/y\n");
    EXPECT_TRUE(m.initialize("43", 1, 1, 7, true));
    std::string out;
    EXPECT_EQ(m.MakeHostPathFromProxyPath(std::string("/other/x"), out), 0);
    EXPECT_EQ(out, fixture.dir().path() + "/x");
    EXPECT_EQ(m.MakeHostPathFromProxyPath(std::string("/data/x"), out), -1);
    // A job whose snapshots cannot be had (or whose engine is not set)
    // leaves the mapper off and empty, also for a retry: job 43's snapshots
    // never answer for job 44.
    for (int engine : {-1, 7, 7}) {
        EXPECT_FALSE(m.initialize("44", 1, 1, engine, true)) << engine;
        EXPECT_FALSE(m.IsEnabled());
        EXPECT_TRUE(m.GetSourceToLocalMap().empty());
        EXPECT_EQ(m.getArchiveIDByPath(fixture.dir().path().c_str()), -1);
    }
    ruxen::testcontrol::StopLogCapture();
}

TEST(SnapFSContentMapperSetUp, RootSourceAddsLocalMountsWhenAsked) {
    ruxen::testcontrol::StartLogCapture();
    testfiles::MntTabFile mounts("/dev/sda1 / ext4 rw 0 0\n/dev/sdb1 /home ext4 rw 0 0\n/dev/sdc1 /data ext4 rw 0 0\n");
    testfiles::SnapFixture fixture;
    fixture.write(5, ".snap", "vol\t1\t/\t/snap/root/\t0\t1\t0\t/dev/r\nvol\t2\t/data\t/snap/data\t0\t2\t0\t/dev/d\n");
    for (const char* enable : {"0", "1"}) {
        KXPlatformInfo::setValue("FileSystemAgent", "nEnableRootVolumeMapperMounts", enable);
        SnapFSContentMapper m;
        ASSERT_TRUE(m.initialize("5", 1, 1, 3, false));
        std::string host, proxy;
        EXPECT_EQ(m.GetHostAndProxyFromProxyPath("/home/u", host, proxy), 0);
        EXPECT_EQ(proxy + ">" + host, enable[0] == '1' ? "/home>/home" : "/>/snap/root");
        EXPECT_EQ(m.GetHostAndProxyFromProxyPath("/data/x", host, proxy), 0);
        EXPECT_EQ(proxy + ">" + host, "/data>/snap/data");  // a snapshot source keeps its snapshot
        std::string out;
        EXPECT_EQ(m.MakeHostPathFromProxyPath(std::string("/etc/x"), out), 0);
        EXPECT_EQ(out, "/snap/root/etc/x");
    }
    KXPlatformInfo::removeValue("FileSystemAgent", "nEnableRootVolumeMapperMounts");
    ruxen::testcontrol::StopLogCapture();
}

TEST_F(SnapFSContentMapperTest, MappingFileRoundTripsAndMapsMovedMounts) {
    const std::string file = fixture_.dir() / "hwsnapInfo.kxf";
    ASSERT_TRUE(m_.saveMappingToFile(file));
    EXPECT_EQ(ReadWholeFile(file),
              "r:/dev/rdsk/c0:/dev/rdsk:/snap/raw1/c0:/snap/raw1:\n"
              "r:/dev/rdsk/c1:/dev/rdsk:/snap/raw2/c1:/snap/raw2:\n"
              "m:/data:/snap/d:\nm:/data/sub:/snap/ds:\nm:/data2:/snap/d2:\n"
              "m:/orig/rep:/snap/rep/deep:\nm:/orig/short:/snap/short:\n");
    std::map<std::string, std::string> moved;
    EXPECT_TRUE(m_.loadMappingFromFile(file, moved));
    EXPECT_TRUE(moved.empty());  // same places: nothing to translate

    struct Case {
        const char* name;
        const char* text;
        bool ok;
        std::map<std::string, std::string> want;
    } cases[] = {
        {"moved",
         "m:/data:/old/d:\r\nr:/dev/rdsk/c1:/dev/rdsk:/old/r/c1:/old/r:\n\nm:/gone:/x:\n",
         true,
         {{"/old/d/", "/snap/d/"}, {"/old/r/c1/", "/snap/raw2/c1/"}, {"/old/r/", "/snap/raw2/"}}},
        {"mounted at /", "m:/data::\n", true, {{"/", "/snap/d/"}}},
        {"bad letter stops", "m:/data:/a:\nx:/data:/b:\nm:/data2:/c:\n", false, {{"/a/", "/snap/d/"}}},
        {"field count", "m:/data:/a:/b:\n", false, {}},
        {"no final colon", "m:/data:/a\n", false, {}},
        {"short r", "r:/dev/rdsk/c1:/dev/rdsk:\n", false, {}},
        {"line at its bound", nullptr, true, {{"/" + std::string(65536 - 10, 'a') + "/", "/snap/d/"}}},
        {"line past its bound", nullptr, false, {}},
    };
    for (const Case& c : cases) {
        const size_t pad = 65536 - 10 + (c.ok ? 0 : 1);  // "m:/data:/" and ":" around it
        WriteWholeFile(file, c.text ? c.text : "m:/data:/" + std::string(pad, 'a') + ":\n");
        std::map<std::string, std::string> got;
        EXPECT_EQ(m_.loadMappingFromFile(file, got), c.ok) << c.name;
        EXPECT_EQ(got, c.want) << c.name;
    }

    std::map<std::string, std::string> direct;
    EXPECT_TRUE(m_.loadMappingFromFile(fixture_.dir() / "missing", direct));
    EXPECT_EQ(direct.size(), 5u);
    EXPECT_EQ(direct["/data/sub/"], "/snap/ds/");
}

// A line is refused once it runs past its bound, not after it was read
// whole: a line of 128 MiB (a hole) never comes into memory.
TEST_F(SnapFSContentMapperTest, MappingFileLineRefusedWhileRead) {
    const std::string file = fixture_.dir() / "hole.kxf";
    testfiles::WriteSparse(file, 128u << 20, {{0, "m:/data:/"}});
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    std::map<std::string, std::string> got;
    EXPECT_FALSE(m_.loadMappingFromFile(file, got));
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 * 1024) << "KiB more at the peak";
    EXPECT_NE(ruxen::testcontrol::TakeCapturedLog().find("a line longer than 65536 bytes"), std::string::npos);
}

TEST_F(SnapFSContentMapperTest, MappingFileWriterRefusesWhatItCannotWrite) {
    EXPECT_FALSE(m_.saveMappingToFile("/dev/full"));
    const std::string file = fixture_.dir() / "colon.kxf";
    m_.SetSourceToLocalMap({{"/a:b", "/snap/x"}});
    EXPECT_FALSE(m_.saveMappingToFile(file));
    m_.SetSourceToLocalMap({{"/a", "/snap/x\ny"}});
    EXPECT_FALSE(m_.saveMappingToFile(file));
    EXPECT_NE(access(file.c_str(), F_OK), 0);
}

}  // namespace
