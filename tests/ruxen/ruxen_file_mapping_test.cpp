// The per-file object's content mapper: which one a job gets, its set-up on
// the snapshot fixtures, mappers of the wrong type, the path conversions, the
// mount points, and the error-filter switches of a stream.
#include <gtest/gtest.h>

#include <cerrno>
#include <list>
#include <string>
#include <typeinfo>

#include "errorpolicy/ErrorController.h"
#include "mapping/DBSnapContentMapper.h"
#include "mapping/SnapFSContentMapper.h"
#include "mapping/WildCardContentMapper.h"
#include "norfa/FLRConsistencyPtMapper.h"
#include "platform/agent/ApplicationRegistry.h"
#include "platform/archive/KXArchive.h"
#include "platform/archive/MemoryRecordSink.h"
#include "platform/base/TestControl.h"
#include "ruxen/ContentManagerHelper.h"
#include "ruxen/RuxenBase.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "support/MntTabFile.h"
#include "support/ProcessState.h"
#include "support/SnapFixture.h"

namespace {

using namespace testfiles;

// The per-file object over an archive of its own.
class MappedFile : public RuxenFile {
public:
    MappedFile() : RuxenFile(&m_archive) {}

private:
    MemoryRecordSink m_sink;
    KXArchive m_archive{&m_sink};
};

// Fresh process-wide mappers and registry for each test.
class Mapping : public ::testing::Test {
protected:
    void TearDown() override {
        ruxen::testcontrol::ResetContentMappers();
        ruxen::testcontrol::ResetApplicationRegistry();
    }
    static void App(unsigned long appId, unsigned long type, bool blockLevel = false) {
        AppRecord r;
        r.appType = type;
        r.blockLevelBackup = blockLevel;
        ApplicationRegistry::registerApplication(2, appId, r);
    }
    ProcessStateGuard state_;
};

TEST_F(Mapping, SelectionByJobKindApplicationTypeAndRegistry) {
    const struct {
        bool snapshotJob;
        unsigned long appId, type;
        bool blockLevel, wildcard;
        const std::type_info& mapper;
        bool tolerated;
    } cases[] = {
        {true, 7, 33, false, false, typeid(SnapFSContentMapper), true},
        {true, 7, 61, false, false, typeid(DBSnapContentMapper), false},
        {true, 7, 135, true, false, typeid(SnapFSContentMapper), true},  // block-level database subclient
        {true, 0, 61, false, false, typeid(ContentMapper), true},        // no application: a proxy job
        {false, 7, 61, false, false, typeid(ContentMapper), true},
        {false, 7, 25, false, true, typeid(WildCardContentMapper), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.appId) + " type " + std::to_string(c.type));
        App(c.appId, c.type, c.blockLevel);
        KXPlatformInfo::setValue(kFileSystemAgentSection, "ProxyHandleWildCardOneLevel", c.wildcard ? "yes" : "n");
        MappedFile f;
        f.initialize(0, c.snapshotJob, 2, c.appId);
        ASSERT_NE(nullptr, f.GetContentMapper());
        const ContentMapper& chosen = *f.GetContentMapper();
        EXPECT_EQ(std::string(c.mapper.name()), typeid(chosen).name());
        EXPECT_EQ(c.tolerated, f.errorsTolerated());
    }
}

// Only a known subclient with an engine (or database types 61 and 135) takes
// the snapshot path; the others run the mapper's own initialize, which a
// snapshot mapper without pairs refuses. A mapper of the wrong type answers
// false, never a blind cast.
TEST_F(Mapping, SetUpTakesTheSnapshotPathOnlyWhereItApplies) {
    SnapFixture fixture;
    fixture.write(42, ".snap", "vol\t1\t/data\t/snap/d\t0\t101\t55\t/dev/s1\n");
    App(7, 33);
    const struct {
        unsigned long zonark, appId;
        int engine;
        bool ok;
    } cases[] = {{2, 7, 7, true}, {0, 7, 7, false}, {2, 0, 7, false}, {2, 7, 0, false}, {2, 9, 7, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.zonark) + ":" + std::to_string(c.appId) + " engine " + std::to_string(c.engine));
        ruxen::testcontrol::ResetContentMappers();
        MappedFile f;
        f.initialize(0, true, 2, 7);
        char id[] = "42";
        EXPECT_EQ(c.ok, f.setupProxyHost(id, c.engine, false, "", c.zonark, c.appId));
        EXPECT_EQ(c.ok, f.IsProxyHost());
        std::string local;
        f.GetContentMapper()->MakeHostPathFromProxyPath(std::string("/data/x"), local);
        EXPECT_EQ(c.ok ? "/snap/d/x" : "/data/x", local);
    }

    App(8, 61);  // a database application on a proxy job's plain mapper
    MappedFile plain;
    plain.initialize(0, false, 2, 8);
    char id[] = "42";
    EXPECT_FALSE(plain.setupProxyHost(id, 7, false, "", 2, 8));
    std::list<std::string> raw;
    EXPECT_EQ(-1, plain.GetRawDeviceProxyList(&raw));
    EXPECT_FALSE(plain.loadProxyMappingFromFile(fixture.dir() / "hwsnapInfo.kxf"));
}

// A mapper whose local-to-recorded direction fails for one folder.
class HalfMapper : public ContentMapper {
public:
    int MakeProxyPathFromHostPath(const std::string& host, std::string& out) override {
        if (host == "/lost")
            return -1;
        out = "/rec" + host;
        return 0;
    }
    int GetHostPathList(std::list<std::string>* out) override {
        *out = {"/a/b", "/lost", "/a/c"};
        return 0;
    }
};

TEST_F(Mapping, ProxyListAndPathConversions) {
    MappedFile f;
    HalfMapper half;
    f.SetContentMapping(&half, false, false);
    std::list<std::string> list;
    f.GetProxyList(list);
    EXPECT_EQ((std::list<std::string>{"/rec/a/b", "/rec/a", "/rec", "/rec/a/c", "/rec/a", "/rec", "/"}), list);

    // Recorded to local through the table: the longest whole-component key,
    // a path equal to a key without its "/".
    EXPECT_EQ("/old/f", f.convertCollectPathToLocalPath("/old/f"));  // empty table
    f.SettingsForUpdate().hwSnapPathTable = {{"/old/", "/new/"}, {"/old/deep/", "/x/"}};
    const std::pair<const char*, const char*> conversions[] = {
        {"/old/f", "/new/f"}, {"/old/deep/g", "/x/g"}, {"/old", "/new"}, {"/older/f", "/older/f"}, {"/", "/"}};
    for (const auto& c : conversions)
        EXPECT_EQ(c.second, f.convertCollectPathToLocalPath(c.first)) << c.first;

    // Local back to recorded only with the native snapshot, only on a hit.
    for (const auto& c : {std::make_pair(false, "/x"), {true, "/rec/x"}, {true, "/lost"}}) {
        std::string path = c.second == std::string("/rec/x") ? "/x" : c.second;
        f.setUseNativeSnap(c.first);
        f.ConvertToHosPath(path);
        EXPECT_EQ(c.second, path);
    }
    f.SetContentMapping(nullptr, false, false);
    list.clear();
    f.GetProxyList(list);
    EXPECT_EQ(std::list<std::string>{"/"}, list);

    // The consistency-point mapper replaces it and belongs to the per-file
    // object (a second one releases the first); a refused job id leaves the
    // replication flag off.
    char bad[] = "4x2";
    EXPECT_FALSE(f.InitFLRHost(bad) || f.InitFLRHost(bad) || f.IsReplicationHost());
    EXPECT_NE(nullptr, dynamic_cast<FLRConsistencyPtMapper*>(f.GetContentMapper()));
}

TEST_F(Mapping, MountDetailsNumberedInTableOrder) {
    TempDir dir("mount_details");
    MntTabFile table("/dev/sda1 / ext4 rw 0 0\n"
                     "proc /proc proc rw 0 0\n"
                     "srv:/x " + dir.path() + " nfs4 rw 0 0\n" +
                     "tmpfs " + dir.path() + " tmpfs rw 0 0\n");
    std::map<int, MountEntry> mounts;
    char error[1024] = "";
    ASSERT_EQ(3, GetMountDetailsFS(mounts, error, kMountSizes | kMountNoPseudo));
    std::string numbers;
    for (const auto& m : mounts)
        numbers += std::to_string(m.first) + m.second.path + ";";
    EXPECT_EQ("1/;3" + dir.path() + ";4" + dir.path() + ";", numbers);
    EXPECT_EQ(0u, mounts[3].size) << "a network file system is not asked for its size";
    EXPECT_GT(mounts[4].size, 0u);
    ASSERT_EQ(4, GetMountDetailsFS(mounts, error, kMountSizes | kMountNetworkSizes));
    EXPECT_EQ("proc", mounts[2].fsType);

    MappedFile f;
    EXPECT_EQ(3, f.PopulateMountDetails());
    EXPECT_EQ(1, f.PopulateMountDetails()) << "known mounts are kept";
    ruxen::testcontrol::SetMountTablePath((dir / "missing").c_str());
    EXPECT_EQ(-1, GetMountDetailsFS(mounts, error, 0));
    EXPECT_NE(std::string::npos, std::string(error).find("mount table"));
    MappedFile hadoop;  // its one mount "/", without the table
    hadoop.SettingsForUpdate().hadoopBackup = true;
    EXPECT_EQ(1, hadoop.PopulateMountDetails());
    EXPECT_EQ("/", hadoop.GetMountPoints().at(0).path);
}

// ENOENT is reported where the job asks for it: application type 125, a
// deduplication-database subclient, or errors not tolerated.
TEST_F(Mapping, StreamSetsTheErrorFilterSwitches) {
    const struct {
        uint32_t type;
        bool ddb, notTolerated, reportENOENT;
    } cases[] = {{0, false, false, false}, {125, false, false, true}, {0, true, false, true}, {0, false, true, true}};
    for (const auto& c : cases) {
        ProcessStateGuard state;
        BackupArgs args;
        args.archivePath = "/dev/null";
        args.appType = c.type;
        args.ddbSubclient = c.ddb;
        args.errorsNotTolerated = c.notTolerated;
        RuxenBase job(args, {});
        StreamRun run = job.runStream(args, [] { return 0; });
        EXPECT_FALSE(run.failed);
        EXPECT_EQ(c.reportENOENT, ErrorController::shouldReportError(ENOENT)) << c.type << c.ddb << c.notTolerated;
        EXPECT_TRUE(ErrorController::shouldReportError(EIO));
    }
}

}  // namespace
