// Linked against libruxen.so alone, as another program of the agent is: each
// service such a program calls (filter-file parser, collect-file splitter,
// hard-link insert, split and merge, job error-decision rules, content and
// name mappers with the NAS reference collection) is called once through the
// library's exported symbols, and its exceptions are caught by type. A
// symbol left hidden fails the link; no helper of tests/support is used, as
// it would bring the static folder libraries in.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "errorpolicy/KxErrorControl.h"
#include "hardlinks/HardLinkManager.h"
#include "hardlinks/JobDirectoryLock.h"
#include "mapping/DBSnapContentMapper.h"
#include "mapping/FSTAVNameMapper.h"
#include "mapping/OBJServerTAVNameMapper.h"
#include "mapping/SnapFSContentMapper.h"
#include "mapping/WildCardContentMapper.h"
#include "norfa/FLRConsistencyPtMapper.h"
#include "norfa/KxFilterFile.h"
#include "platform/agent/App_JobErrorControlManager.h"
#include "platform/agent/KXJobCtrlClient.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "ruxen/CCollectFileSplitter.h"

namespace {

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

class SharedLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ruxen_link_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_TRUE(KxLog::UseFile(At("log").c_str()));  // the output stays quiet
    }
    void TearDown() override {
        KxLog::UseStderr();
        ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
    }
    std::string At(const std::string& rel) const { return dir + "/" + rel; }
    std::string dir;
};

// A mapper of the calling program's own, handed to the parser.
class PrefixMapper : public ContentMapper {
public:
    int MakeHostPathFromProxyPath(const char* in, char* out, int size) override {
        return snprintf(out, size, "/local%s", in) < size ? 0 : -1;
    }
    int MakeHostPathFromProxyPath(const std::string& in, std::string& out) override {
        out = "/local" + in;
        return 0;
    }
};

TEST_F(SharedLibrary, FilterFileParser) {
    const std::string text = "BEGIN\nPRUNEDIRS\n" + dir + "\nSCDIRNAMES\nvm\nEND\n";
    PrefixMapper mapper;
    EvEvent event;
    KxFilterFile parser;
    parser.SetEventObject(&event);
    parser.SetProxyHostObject(&mapper);
    FilterParamBlock old;
    old.file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    ASSERT_NE(old.file, nullptr);
    EXPECT_EQ(parser.ParseFilterFile(&old), kFilterParsedToEnd);
    fclose(old.file);
    ASSERT_EQ(old.excludeDirs.GetTotalNodes(), 1);
    EXPECT_EQ(FilterNode(old.excludeDirs, 0)->item, "/local" + dir);
    EXPECT_TRUE(checkVmAndAddPath(&old, "/vm/disk1"));

    FilterParamBlock_s neu;
    std::istringstream in(text);
    neu.input = &in;
    EXPECT_EQ(parser.ParseFilterFile(&neu), kFilterParsedToEnd);
    ASSERT_EQ(neu.excludeDirs.size(), 1u);
    EXPECT_EQ(neu.excludeDirs.front().item, "/local" + dir);
}

TEST_F(SharedLibrary, CollectFileSplitter) {
    Write(At("a"), std::string(60, 'a'));
    Write(At("b"), std::string(30, 'b'));
    Write(At("collect"), At("a") + "\n" + At("b") + "\n");
    ASSERT_EQ(mkdir(At("out").c_str(), 0755), 0);
    EvEvent event;
    CCollectFileSplitter splitter(event);
    CTyError err = splitter.splitBasedOnMountPoints(At("collect").c_str(), At("out").c_str(), "C", "");
    ASSERT_TRUE(err.IsSuccess()) << err.Message();
    err = splitter.splitEachMountCollectFile(1);
    ASSERT_TRUE(err.IsSuccess()) << err.Message();
    EXPECT_EQ(Read(At("out/C_1")), At("a") + "\n" + At("b") + "\n");
    EXPECT_EQ(Read(At("out/diskColMap.txt")), At("out/C_1") + " 1\n");
}

TEST_F(SharedLibrary, HardLinkInsertSplitAndMerge) {
    HardLinkManager::EnableHardLinkFeature();
    ASSERT_TRUE(HardLinkManager::HardLinkFeatureSupported());
    Write(At("f"), "linked");
    ASSERT_EQ(link(At("f").c_str(), At("g").c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(At("f").c_str(), &st), 0);
    Write(At("CollectTot1.kxf"), At("f") + "\n");
    {
        // A scan holds the directory's lock; its split and merge share it.
        JobDirectoryLock lock;
        std::string error;
        ASSERT_TRUE(lock.Acquire(dir, JobDirectoryLock::kExclusive, 0, &error)) << error;
        HardLinkManager mgr;
        ASSERT_TRUE(mgr.initHardLinkManager(dir, "CollectTot").IsSuccess());
        ASSERT_TRUE(mgr.InsertEntryInHCollectFile(1, At("f"), "", st));
        ASSERT_TRUE(mgr.InsertEntryInHCollectFile(1, At("g"), "", st));
        ASSERT_TRUE(mgr.SplitHCollectFile(1, false, 1));
        uint32_t count = 0;
        int missing = -1;
        ASSERT_TRUE(mgr.MergeSplitFiles(count, missing));
        EXPECT_EQ(count, 3u);
        EXPECT_EQ(missing, 0);
    }
    EXPECT_EQ(Read(HardLinkManager::GenerateMergedSplitConfigFileName(dir)), "H1 2 \n");
    EXPECT_NE(Read(At("CollectTot1.kxf")).find(" " + At("f") + "\n"), std::string::npos);
    EXPECT_EQ(HardLinkManager::GeneratePhonyFileNameUsingStat(st).find("/__KXHardLink@-@-Files__/"), 0u);

    // Without HCollect_split_config the merge fails: a critical exception,
    // caught here by its base type.
    HardLinkManager empty;
    empty.initHardLinkManager(At("missing"), "CollectTot");
    uint32_t count = 0;
    int missing = 0;
    try {
        empty.MergeSplitFiles(count, missing);
        ADD_FAILURE() << "the merge did not fail";
    } catch (const HardLinkManagerBaseException& e) {
        EXPECT_NE(dynamic_cast<const HardLinkManagerCriticalException*>(&e), nullptr) << e.what();
    }
    HardLinkManager::DisableHardLinkFeature();
    HardLinkManager::closeHLTableClass();
}

TEST_F(SharedLibrary, JobErrorDecisionRules) {
    const std::string xml =
        "<App_JobErrorDecisionRuleList><ruleList pattern=\"/data/*\" jobDecision=\"2\"><errorCode "
        "allErrorCodes=\"0\" fromValue=\"5\" toValue=\"13\"/></ruleList></App_JobErrorDecisionRuleList>";
    Write(At("rules.xml"), xml);
    Write(At("failures"), "/other:13\n/data/x:13\n");
    KxErrorControl fromFile(At("rules.xml"), UnixPathStyle);
    ASSERT_TRUE(fromFile.RulesLoaded());
    std::string pattern, path;
    EXPECT_EQ(fromFile.GetJobDecisionFor("/data/x", 13, pattern), 2);
    EXPECT_EQ(pattern, "/data/*");
    bool report = false;
    EXPECT_EQ(fromFile.GetJobDecisionFor("/data/y", 5, pattern, report), 2);
    KxErrorControl::DecisionType stored = 0;
    long code = 0;
    EXPECT_TRUE(fromFile.GetStoredJobDecision(stored, pattern, path, code, report));
    EXPECT_EQ(path, "/data/y");
    EXPECT_EQ(fromFile.GetJobDecisionFor(At("failures"), pattern, path, ':'), 2);
    EXPECT_EQ(path, "/data/x");
    EXPECT_EQ(fromFile.GetJobDecisionFor(std::vector<std::string>{"/data/z:6"}, pattern, path, ':'), 2);
    EXPECT_FALSE(fromFile.IsSkipFromReporting("/data/x", 13, pattern));

    KXJobCtrlClient jobCtrl;
    jobCtrl.setQuit(true);
    KxErrorControl fromString(xml, &jobCtrl, UnixPathStyle);
    EXPECT_EQ(fromString.GetJobDecisionFor(At("failures"), pattern, path, ':'), 10);  // told to stop

    App_JobErrorControlManager::SetSource([&xml](const std::string&, ULONG, std::string& out, int) {
        out = xml;
        return 0;
    });
    KxErrorControl fromServer(nullptr, KxEntities::ENTITY_CLIENT, 42, 29, dir, UnixPathStyle);
    App_JobErrorControlManager::SetSource(nullptr);
    EXPECT_TRUE(fromServer.RulesLoaded());
    EXPECT_EQ(Read(At("ErrorControlRules.xml")), xml + "\n");
}

TEST_F(SharedLibrary, ContentAndNameMappers) {
    ContentMapper proxy;
    std::list<std::string> pairs = {"/rec\t/local"};
    ASSERT_EQ(proxy.SetProxyToHostMap(&pairs), 0);
    ASSERT_TRUE(proxy.initialize("1:25"));
    std::string out;
    EXPECT_EQ(proxy.MakeHostPathFromProxyPath(std::string("/rec/a"), out), 0);
    EXPECT_EQ(out, "/local/a");

    ASSERT_EQ(mkdir(At("vol1").c_str(), 0755), 0);
    WildCardContentMapper wildcard;
    ASSERT_TRUE(wildcard.initProxyHostAppTypeForWildCards({"/src/vol*\t" + At("vol*")}));
    EXPECT_EQ(wildcard.MakeHostPathFromProxyPath(std::string("/src/vol1/f"), out), 0);
    EXPECT_EQ(out, At("vol1/f"));

    FSTAVNameMapper names;
    names.add("/data", "/snap/data");
    TAVNameMapper& anyNames = names;
    bool mapped = false;
    EXPECT_EQ(anyNames.mapName("/data/f", &mapped), "/snap/data/f");
    EXPECT_TRUE(mapped);
    EXPECT_NE(LoadObjServerNameMapper(), nullptr);

    FLRConsistencyPtMapper replication;
    EXPECT_FALSE(replication.initialize("9"));  // no consistency points here
    EXPECT_EQ(getNorfaRefTime(), 0);
}

TEST_F(SharedLibrary, SnapshotMapperAndNasReferences) {
    Write(At("8.snap"), "engine\t39\nvol\t1\t/nas/a\t" + At("snapmnt") +
                            "\t0\t11\t0\td1\nsnap\t1\t101\n"
                            "meta\t1\t2\t6\t101\t{ArrayName:arr1,FileSystem:fs1,Snapshot:cur1,Path:/vol/a}\n");
    ASSERT_EQ(mkdir(At("snapmnt").c_str(), 0755), 0);
    KXPlatformInfo::setValue(kFileSystemAgentSection, "sSnapFixtureDir", dir);
    SnapFSContentMapper snap;
    ASSERT_TRUE(snap.initialize("8", 2, 1, 39, false));
    std::string out;
    EXPECT_EQ(snap.MakeHostPathFromProxyPath(std::string("/nas/a/x"), out), 0);
    EXPECT_EQ(out, At("snapmnt/x"));

    std::vector<std::string> hosts = {At("snapmnt/x")};
    ASSERT_EQ(snap.CollectSnapInfoForNFSBackupPaths(hosts, 7, SnapFSContentMapper::kBackupFull, true, false), 0);
    const sNFSBkpPathInfo& info = snap.GetNFSBackupPathInfo()["/nas/a/x"];
    EXPECT_EQ(info.fileServer, "arr1");
    EXPECT_EQ(info.volumePath, "/vol/a/x");
    EXPECT_TRUE(snap.MarkSnapDiffDoneOnBkpPaths({info}));
    // A database snapshot job's files, made browsable.
    Write(At("9.snap"), "vol\t1\t/db\t" + At("snapmnt") + "\t0\t11\t0\td1\n");
    Write(At("9.dbfiles"), "1\t/db/f.dbf\t0\n");
    DBSnapContentMapper db;
    ASSERT_TRUE(db.initialize("9", 1, 4, false, 2u, "host", 17ul, 22ul, "tok"));
    KXJobCtrlClient jobs;
    KXBkpLevel level = 1;
    EXPECT_EQ(db.updateBrowsableIndex(&jobs, level), 0);
    EXPECT_EQ(db.appendBrowsablePathToDirChange(nullptr), EINVAL);
    KXPlatformInfo::removeValue(kFileSystemAgentSection, "sSnapFixtureDir");
}

}  // namespace
