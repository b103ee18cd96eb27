#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mapping/SnapFSContentMapper.h"
#include "platform/agent/ApplicationRegistry.h"
#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"
#include "platform/index/IdxBrowseClient.h"
#include "platform/index/NASReferenceTimes.h"
#include "support/SnapFixture.h"

namespace {

// Nested (/snapmnt/a, /snapmnt/a/nested) and sibling (/snapmnt/a,
// /snapmnt/ab) mounts, a snapshot of "/", and a volume without a snapshot id.
const char kNasVolumes[] =
    "engine\t39\n"
    "vol\t1\t/nas/a\t/snapmnt/a\t0\t11\t0\td1\n"
    "vol\t2\t/nas/a/nested\t/snapmnt/a/nested\t0\t12\t0\td2\n"
    "vol\t3\t/nas/ab\t/snapmnt/ab\t0\t13\t0\td3\n"
    "vol\t4\t/\t/snapmnt/root\t0\t14\t0\td4\n"
    "vol\t5\t/nas/nosnap\t/snapmnt/nosnap\t0\t15\t0\td5\n"
    "snap\t1\t101\nsnap\t2\t102\nsnap\t3\t103\nsnap\t4\t104\n"
    "meta\t9\t2\t5\t101\tnot-nas\n"
    "meta\t1\t2\t6\t101\t{ArrayName:arr1,FileSystem:fs1,Snapshot:cur1,Path:/vol/a}\n"
    "meta\t2\t2\t6\t102\t{ArrayName:arr2,FileSystem:fs2,Snapshot:cur2,Path:/vol/nested}\n"
    "meta\t3\t2\t6\t103\t{ArrayName:arr3,FileSystem:fs3,Snapshot:cur3,Path:/vol/ab}\n"
    "meta\t4\t2\t6\t104\t{ArrayName:arr4,FileSystem:fs4,Snapshot:cur4,Path:/vol/pdata}\n";

const std::vector<std::string> kHostPaths = {"/snapmnt/a/x", ">/snapmnt/a/nested/y", "/snapmnt/ab",
                                             "/snapmnt/root/etc"};

databrowse::BrowseItem item(const std::string& path, const std::string& full, const std::string& incr,
                            const std::string& vol) {
    databrowse::BrowseItem i;
    i.path = path;
    i.nasMeta[0] = full;
    i.nasMeta[1] = incr;
    i.nasMeta[2] = vol;
    return i;
}

class NasReferencesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ruxen::testcontrol::StartLogCapture();
        fixture_.write(8, ".snap", kNasVolumes);
        ASSERT_TRUE(m_.initialize("8", 2, 1, 39, false));
        databrowse::BrowseItem noNas = item("/nas/a/nested/y", "x", "x", "x");
        noNas.hasNasBrowseMeta = false;
        ruxen::testcontrol::SetBrowseIndex(
            2, 7,
            {item("/nas/a/x", "full1", "incr1", "/vol/a/x"), item("/nas/ab", "full3", "incr3", "/vol/old"), noNas});
        AppRecord sc;
        ApplicationRegistry::registerApplication(2, 7, sc);
    }
    void TearDown() override {
        ruxen::testcontrol::ResetBrowseIndex();
        ruxen::testcontrol::ResetApplicationRegistry();
        ruxen::testcontrol::StopLogCapture();
    }
    // "backup path: full|compare|prev volume|server|fs|snapshot|volume path" per record.
    std::vector<std::string> records() {
        std::vector<std::string> out;
        for (const auto& kv : m_.GetNFSBackupPathInfo()) {
            const sNFSBkpPathInfo& r = kv.second;
            out.push_back(kv.first + ": " + r.prevFullSnap + "|" + r.prevSnapToCompare + "|" + r.prevVolumePath + "|" +
                          r.fileServer + "|" + r.fileSystem + "|" + r.currentSnapshot + "|" + r.volumePath);
        }
        return out;
    }

    testfiles::SnapFixture fixture_;
    SnapFSContentMapper m_;
};

TEST_F(NasReferencesTest, CollectsReferencesFromTheIndexCache) {
    std::vector<std::string> hosts = kHostPaths;
    ASSERT_EQ(m_.CollectSnapInfoForNFSBackupPaths(hosts, 7, 2, false, false), 0);
    const std::vector<std::string> incremental = {
        "/etc: |||arr4|fs4|cur4|/vol/pdata/etc",  // source base "/": one '/' at the seam
        "/nas/a/nested/y: |||arr2|fs2|cur2|/vol/nested/y", "/nas/a/x: full1|incr1|/vol/a/x|arr1|fs1|cur1|/vol/a/x",
        "/nas/ab: ||/vol/old|arr3|fs3|cur3|/vol/ab",  // volume path moved: no base snapshot
    };
    EXPECT_EQ(records(), incremental);
    EXPECT_EQ(m_.GetNFSBackupPathInfo()["/nas/a/nested/y"].hostPath, "/snapmnt/a/nested/y");
    EXPECT_EQ(m_.CollectSnapInfoForNFSBackupPaths(hosts, 7, 2, false, false), 0);  // already fetched

    m_.GetNFSBackupPathInfo().clear();
    ASSERT_EQ(m_.CollectSnapInfoForNFSBackupPaths(hosts, 7, SnapFSContentMapper::kBackupDifferential, false, false), 0);
    EXPECT_EQ(records()[2], "/nas/a/x: full1|full1|/vol/a/x|arr1|fs1|cur1|/vol/a/x");

    m_.GetNFSBackupPathInfo().clear();
    ASSERT_EQ(m_.CollectSnapInfoForNFSBackupPaths(hosts, 99, SnapFSContentMapper::kBackupFull, true, false), 0);
    EXPECT_EQ(records()[2], "/nas/a/x: |||arr1|fs1|cur1|/vol/a/x");  // no index needed

    EXPECT_TRUE(m_.MarkSnapDiffDoneOnBkpPaths({}));
    sNFSBkpPathInfo known, unknown;
    known.backupPath = "/nas/ab";
    unknown.backupPath = "/nas/zz";
    EXPECT_FALSE(m_.MarkSnapDiffDoneOnBkpPaths({known, unknown}));
    EXPECT_TRUE(m_.GetNFSBackupPathInfo()["/nas/ab"].snapDiffDone);
}

TEST_F(NasReferencesTest, FailuresAddNothingAndARetrySucceeds) {
    struct Case {
        const char* name;
        std::vector<std::string> hosts;
        int subclient;
        int rc;
    } cases[] = {
        {"wildcard-added path", {"/snapmnt/a/x", "+/snapmnt/ab"}, 7, -1},
        {"unmappable path", {"/elsewhere/x"}, 7, -1},
        {"no index", {"/snapmnt/a/x"}, 99, -1},
        {"volume without snapshot id, midway", {"/snapmnt/a/x", "/snapmnt/nosnap/f"}, 7, -1},
    };
    for (Case& c : cases) {
        EXPECT_EQ(m_.CollectSnapInfoForNFSBackupPaths(c.hosts, c.subclient, 2, false, false), c.rc) << c.name;
        EXPECT_TRUE(m_.GetNFSBackupPathInfo().empty()) << c.name;
    }
    std::vector<std::string> hosts = {"/snapmnt/a/x"};
    EXPECT_EQ(m_.CollectSnapInfoForNFSBackupPaths(hosts, 7, 2, false, false), 0);
    EXPECT_EQ(records().size(), 1u);
}

TEST_F(NasReferencesTest, StoredReferenceTimesAreUsedOnlyWhenConfirmedAndNeverDropped) {
    NAS::Backup_ReferenceTimesList stored;
    stored.prevJobId = 98;
    stored.elements.push_back({"/nas/a/x", "/vol/a/x", "sfull", "sincr"});
    const std::string text = stored.toText();
    ASSERT_EQ(text, "RXREFTIMES\t1\nprevjob\t98\nref\t/nas/a/x\t/vol/a/x\tsfull\tsincr\n");
    struct Case {
        const char* name;
        bool hasRefTime;
        std::string refTime;
        bool jobKnown;
        unsigned long long prevJob;
        const char* want;  // the record of /nas/a/x
    } cases[] = {
        {"none stored", false, "", true, 98, "full1|incr1"},
        {"empty", true, "", true, 98, "full1|incr1"},
        {"unreadable", true, "garbage", true, 98, "full1|incr1"},
        {"confirmed", true, text, true, 98, "sfull|sincr"},
        {"other previous job", true, text, true, 97, "full1|incr1"},
        {"previous job unknown", true, text, false, 0, "full1|incr1"},
    };
    for (const Case& c : cases) {
        AppRecord sc;
        sc.hasRefTime = c.hasRefTime;
        sc.refTime = c.refTime;
        sc.previousJobKnown = c.jobKnown;
        sc.previousJobId = c.prevJob;
        ApplicationRegistry::registerApplication(2, 7, sc);
        m_.GetNFSBackupPathInfo().clear();
        std::vector<std::string> hosts = {"/snapmnt/a/x"};
        ASSERT_EQ(m_.CollectSnapInfoForNFSBackupPaths(hosts, 7, 2, false, true), 0) << c.name;
        const sNFSBkpPathInfo& r = m_.GetNFSBackupPathInfo()["/nas/a/x"];
        EXPECT_EQ(r.prevFullSnap + "|" + r.prevSnapToCompare, c.want) << c.name;
        std::string still;
        EXPECT_EQ(Subclient(7).copyBkpRefTime(still), c.hasRefTime) << c.name;
        EXPECT_EQ(still, c.refTime) << c.name;
    }
}

TEST_F(NasReferencesTest, IndexBrowseProblemsFailTheQuery) {
    for (int status : {2, 3, 4, -1}) {
        ruxen::testcontrol::SetBrowseResponse(status < 0 ? 0 : status, "index busy");
        ruxen::testcontrol::FailBrowse(status < 0);
        std::vector<std::string> hosts = {"/snapmnt/a/x"};
        EXPECT_EQ(m_.CollectSnapInfoForNFSBackupPaths(hosts, 7, 2, false, true), -2) << status;
        EXPECT_TRUE(m_.GetNFSBackupPathInfo().empty());
    }
}

TEST(NasMetaDataTest, SplitsBothFormsAndToleratesBadInput) {
    struct Case {
        unsigned long engine;
        const char* text;
        const char* want;
    } cases[] = {
        {39, "{ArrayName:f1,FileSystem:fs1,Snapshot:s1,Path:/vol/p}", "f1|fs1|s1|/vol/p"},
        {7, "f1|fs1|s1|/vol/p", "f1|fs1|s1|/vol/p"},
        {7, "f1|fs1|s1|/vol/p|x", "f1|fs1|s1|/vol/p|x"},
        {7, "f1|fs1", "f1|||"},
        {7, "", "|||"},
        {39, "{Path:/v}", "|||/v"},                   // value ended by '}'
        {39, "{ArrayName:a}x,Snapshot:s}", "a||s|"},  // whichever of ',' '}' comes first
        {39, "{ArrayName:unterminated", "|||"},
        {39, "{XArrayName:a,Path:/p,ArrayName:b}", "b|||/p"},  // whole keys only
    };
    for (const Case& c : cases) {
        std::string a = "stale", b = "stale", s = "stale", v = "stale";
        SnapFSContentMapper::SplitMetaData(c.text, a, b, s, v, c.engine);
        EXPECT_EQ(a + "|" + b + "|" + s + "|" + v, c.want) << c.text;
    }
}

TEST(NasMetaDataTest, ReferenceTimesTextRefusesMalformedForms) {
    NAS::Backup_ReferenceTimesList l;
    l.elements.push_back({"/a\tb", "", "", ""});
    EXPECT_EQ(l.toText(), "");
    for (const char* bad :
         {"", "RXREFTIMES\t2\nprevjob\t1\n", "RXREFTIMES\t1\nprevjob\tx\n", "RXREFTIMES\t1\nprevjob\t1\nref\ta\tb\tc\n",
          "RXREFTIMES\t1\nprevjob\t1\nref\ta\tb\tc\td\r\n"}) {
        EXPECT_FALSE(l.fromText(bad)) << bad;
        EXPECT_TRUE(l.elements.empty());
    }
    ASSERT_TRUE(l.fromText("RXREFTIMES\t1\nprevjob\t-3\nref\t/p\t\t\tincr\n"));
    EXPECT_EQ(l.prevJobId, -3);
    EXPECT_EQ(l.elements.at(0).prevIncrSnap, "incr");
}

}  // namespace
