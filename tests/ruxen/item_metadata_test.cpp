// An item's metadata list, step by step on real items (stubs through the
// tiered-storage stand-in), and its sending: the record's bytes and every
// failure path, the pairs and mount data of catalog streams, and the
// Salesforce relationships once per stream.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <list>
#include <string>
#include <vector>

#include "errorpolicy/ErrorController.h"
#include "mapping/SnapFSContentMapper.h"
#include "platform/agent/ApplicationRegistry.h"
#include "platform/base/TestControl.h"
#include "platform/hsm/ReparseData.h"
#include "platform/hsm/ZXHSMLowLevel.h"
#include "platform/index/IndexMetaDataKinds.h"
#include "platform/index/IndexingConnection.h"
#include "reader/CFileReader.h"
#include "ruxen/RuxenFilePrivate.h"
#include "support/IndexLines.h"
#include "support/MarkedFile.h"
#include "support/MemoryItem.h"
#include "support/ProcessState.h"
#include "support/StreamBytes.h"

namespace {

using namespace testfiles;
using namespace IndexMetaDataKind;
using Pairs = std::vector<std::pair<uint32_t, std::string>>;
using Item = MemoryItemOf<OpenedFile>;

// What a case sets on the opened item.
enum Set : unsigned {
    kSCFiles = 1, kOwnApp = 2, kCacheRoot = 4, kCacheItem = 8, kOverride = 16, kAltLocal = 32, kProxy = 64,
    kUnmapped = 128, kOwner = 256, kDeleted = 512, kHBase = 1024, kEarlyStub = 2048, kTurbo = 4096, kNas = 8192,
};

class ItemMetadata : public ::testing::Test {
protected:
    void SetUp() override {
        ruxen::testcontrol::ResetArchivalTime();
        ruxen::testcontrol::ResetIndexingConnections();
        ApplicationRegistry::registerApplication(2, 7, AppRecord());
        WriteWholeFile(m_file, "plain");
        WriteWholeFile(m_stub, "stub");
        ZXHSMTestState::AddTieredMount(m_dir.path());
        ReparseData rd;
        rd.kind = 2, rd.dataGuid = "DATA", rd.appGuid = "APPG";
        ZXHSMTestState::MarkStub(m_stub, BuildStubData(rd));
        std::list<std::string> map{"/rec\t" + m_dir.path()};
        ASSERT_EQ(0, m_proxy.SetProxyToHostMap(&map));
        for (size_t at = m_hbase.size(); at != std::string::npos; at = m_table.find('/', at + 1))
            ASSERT_EQ(0, mkdir(m_table.substr(0, at).c_str(), 0755));
        ASSERT_EQ(0, mkdir(m_table.c_str(), 0755));
    }
    void TearDown() override {
        ZXHSMTestState::Reset();
        ruxen::testcontrol::ResetApplicationRegistry();
        ruxen::testcontrol::ResetArchivalTime();
        ruxen::testcontrol::ResetIndexingConnections();
    }
    // Opens `path` with what `set` names, as the stream would.
    void Open(Item& m, const std::string& path, unsigned set) {
        OpenedFile& f = m.file;
        f.SetTurboMode(set & kTurbo);
        f.PrepareReaderForPass();
        ASSERT_TRUE(m.Open(path)) << path;
        f.initialize(0, false, 2, 7);
        f.SetBackupSCFilesFlag(set & kSCFiles);
        f.SetAppTypeGUID(set & kOwnApp ? "APPG" : "");
        f.SetCacheDBBackup(set & (kCacheRoot | kCacheItem));
        f.ItemForUpdate().cacheDBLogicalPath = set & kCacheRoot ? "/%CACHEDB%" : "";
        f.SetOverridePath(set & kOverride ? "/over" : "");
        f.SettingsForUpdate().alternateLocalPath = set & kAltLocal;
        f.SetAlternateLocalPath("/alt/f");
        f.SetContentMapping(set & kNas ? &m_snap : set & kProxy ? &m_proxy : &m_unmapped, set & (kProxy | kUnmapped),
                            false);
        f.SettingsForUpdate().readerType = 1;
        f.SettingsForUpdate().alternateReader = set & (kOwner | kDeleted) ? 1 : 0;
        f.GetReader().GetUserName() = "alice";
        f.ItemForUpdate().deletedKind = set & kDeleted ? 3 : 0;
        f.SetEarlyStubBackup(set & kEarlyStub);
        f.SetDoNotCreateStub(set & kEarlyStub);
        f.SetAppTypeID(29);
        f.SetIndexV2Enabled(set & kNas);
        if (set & kHBase) {
            f.SetHBaseBackup(true);
            f.SetHBaseBkpRoot(m_hbase);
            f.GetHBaseItemAttrs(f.GetMappedName());
            f.StreamStateForUpdate().hbaseIncrementalSnapshot = true;
            f.Private().SetVersionGUIDSeedSuffix("sfx");
        }
    }
    Pairs List(const std::string& path, unsigned set, bool stub = false, bool skip = false, int level = 0,
               bool catalog = false, bool snapDiff = false) {
        Item m;
        Open(m, path, set);
        m.file.setCatalogBackup(catalog);
        std::list<RuxenFile::MetaData> list;
        m.file.FillMetaTypeValueVectors(list, stub, skip, level, snapDiff);
        Pairs p;
        for (const RuxenFile::MetaData& e : list)
            p.emplace_back(static_cast<uint32_t>(e.kind), e.value);
        return p;
    }

    ProcessStateGuard m_state;
    TempDir m_dir;
    ContentMapper m_proxy, m_unmapped;
    SnapFSContentMapper m_snap;
    std::string m_file = m_dir / "f", m_stub = m_dir / "s", m_hbase = m_dir / "hbase",
                m_table = m_hbase + "/ns1~t1/data/ns1/t1";
};

TEST_F(ItemMetadata, ListOfEachStep) {
    struct Case {
        const char* name;
        std::string path;
        unsigned set;
        bool stub, skip;
        Pairs want;
    } cases[] = {
        {"plain file", m_file, 0, false, false, {}},
        {"subclient files carry none", m_stub, kTurbo | kSCFiles | kCacheRoot, true, false, {}},
        {"stub of another application", m_stub, kTurbo, true, false, {{STUB_GUID, "DATA"}, {ORIG_APP_GUID, "APPG"}}},
        {"stub of the job's application", m_stub, kTurbo | kOwnApp, true, false, {{STUB_GUID, "DATA"}}},
        {"skip suppresses both stub GUIDs", m_stub, kTurbo, true, true, {}},
        {"cache DB root", m_file, kCacheRoot, false, false,
         {{CACHEDB_ITEM, "CACHEDB"}, {LONGFILEPATH_REAL_PATH, "/%CACHEDB%"}}},
        {"override path", m_file, kCacheItem | kOverride, false, false, {{LONGFILEPATH_REAL_PATH, "/over"}}},
        {"alternate local path", m_file, kCacheItem | kAltLocal, false, false, {{LONGFILEPATH_REAL_PATH, "/alt/f"}}},
        {"proxy job", m_file, kCacheItem | kProxy, false, false, {{LONGFILEPATH_REAL_PATH, "/rec/f"}}},
        {"failed mapping keeps the name", m_file, kCacheItem | kUnmapped, false, false, {{LONGFILEPATH_REAL_PATH, m_file}}},
        {"alternate reader, owner only", m_file, kOwner, false, false, {{SRMFSDATA_USER_NAME, "alice"}}},
        {"deleted item, no names", m_file, kDeleted, false, false, {}},
        {"HBase table", m_table, kHBase, false, false,
         {{INDEXINGDATA_HBASE_FILE_TYPE, "7"}, {INDEXINGDATA_HBASE_INCREMENTAL, "true"},
          {INDEXINGDATA_HBASE_SUFFIX_SET, "true"}, {INDEXINGDATA_HBASE_SEED_SUFFIX, "sfx"}}},
        {"HBase namespace", m_table.substr(0, m_table.rfind('/')), kHBase, false, false,
         {{INDEXINGDATA_HBASE_FILE_TYPE, "6"}, {INDEXINGDATA_HBASE_INCREMENTAL, "true"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, List(c.path, c.set, c.stub, c.skip));
    }
    // Early stubs left in place: one archival time for the whole process,
    // skipped GUIDs or not.
    const Pairs first = List(m_stub, kTurbo | kEarlyStub, true, true);
    ASSERT_EQ(1u, first.size());
    EXPECT_EQ(ARCHIVAL_TIME, first[0].first);
    sleep(1);
    EXPECT_EQ(first.back(), List(m_stub, kTurbo | kEarlyStub, true, false).back());
}

// The host's override path names the item it is set for, whether set before
// or after it is opened, up to its end-of-item record, and no other.
TEST_F(ItemMetadata, OverridePathLastsFromTheHostsCallToTheItemsEnd) {
    Item m;
    auto realPath = [&m]() {
        std::list<RuxenFile::MetaData> list;
        m.file.SetCacheDBBackup(true);  // the item's real path joins its list
        m.file.FillMetaTypeValueVectors(list, false, false, 0, false);
        m.file.SetCacheDBBackup(false);
        return list.empty() ? std::string("?") : list.back().value;
    };
    m.file.SetOverridePath("/over");
    ASSERT_TRUE(m.Open(m_file));
    EXPECT_EQ("/over", realPath());
    EXPECT_EQ(0, m.file.SendEndOfFileMessage(1));
    ASSERT_TRUE(m.Open(m_file));
    EXPECT_EQ(m_file, realPath());
    m.file.SetOverridePath("/over");
    ASSERT_FALSE(m.Open(m_dir / "vanished"));
    ASSERT_TRUE(m.Open(m_file));
    EXPECT_EQ(m_file, realPath());
}

// The snapshot names of NAS backup paths, in catalog streams with the
// snapshot-difference mode, for every table entry the item is; under index
// version 2 they are stored as the next job's references.
TEST_F(ItemMetadata, NasSnapshotReferences) {
    auto entry = [](const char* full, const char* cmp, const std::string& host, const std::string& backup) {
        return sNFSBkpPathInfo{full, cmp, "", "", "", "cur", "/vol" + backup, backup, host, "", false, false, 0};
    };
    auto nas = [](const std::string& vol, const char* full, const char* incr) {
        return Pairs{{NFSSNAPDATA_FULL_SNAP, full}, {NFSSNAPDATA_INCR_SNAP, incr}, {NFSSNAPDATA_VOLUME_PATH, vol}};
    };
    Pairs two = nas("/vol" + m_file, "cur", "cur"), z = nas("/vol/z", "pf", "cur");
    two.insert(two.end(), z.begin(), z.end());
    const sNFSBkpPathInfo b = entry("", "", m_file, "/b"), none;
    struct Case {
        const char* name;
        sNFSBkpPathInfo a, b;
        int level;
        unsigned set;
        bool catalog, snapDiff;
        Pairs want;
    } cases[] = {
        {"full backup", entry("pf", "pi", m_file, "/b"), none, 1, kNas, true, true, nas("/vol/b", "cur", "cur")},
        {"no references", b, none, 2, kNas, true, true, nas("/vol/b", "cur", "cur")},
        {"previous full", entry("pf", "pi", m_file, "/b"), none, 2, kNas, true, true, nas("/vol/b", "pf", "cur")},
        {"full name missing: the list stops", entry("", "pi", "/h", m_file), entry("pf", "", m_file, "/z"), 2,
         kNas | kCacheItem, true, true, {{LONGFILEPATH_REAL_PATH, m_file}}},
        {"two entries", entry("", "", "/h", m_file), entry("pf", "", m_file, "/z"), 2, kNas, true, true, two},
        {"not a catalog stream", b, none, 2, kNas, false, true, {}},
        {"not a snapshot mapper", b, none, 2, 0, true, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_snap.GetNFSBackupPathInfo() = {{c.a.backupPath, c.a}, {c.b.backupPath, c.b}};
        EXPECT_EQ(c.want, List(m_file, c.set, false, false, c.level, c.catalog, c.snapDiff));
    }
    std::string refs;
    ASSERT_TRUE(Subclient(7).copyBkpRefTime(refs));
    EXPECT_EQ("RXREFTIMES\t1\nprevjob\t0\nref\t/b\t/vol/b\tpf\tcur\nref\t" + m_file + "\t/vol" + m_file +
                  "\tcur\tcur\nref\t/z\t/vol/z\tpf\tcur\n",
              refs);
}

// A data stream's record (more-follows flags 1, 1, 0), a catalog stream's
// pairs and mount data; each failure's result, its failures-file line, and
// no buffer left behind.
TEST_F(ItemMetadata, SendingAndItsFailures) {
    const std::string pairs = std::string("P\1", 2) + U32(CACHEDB_ITEM) + U32(7) + "CACHEDB" +
                              std::string("P\1", 2) + U32(LONGFILEPATH_REAL_PATH) + U32(10) + "/%CACHEDB%" +
                              std::string("P\0", 2) + U32(SRMFSDATA_USER_NAME) + U32(5) + "alice";
    const std::string pair = "4 conn=1 kind=0x5FABB978(SRMFSDATA_USER_NAME) value=\"alice\"";
    const std::string mount =
        "5 conn=1 IdxMetaData{4=FsSnapMountData{1=-1 2=[\"1\",\"3\"] 3=100 4=\"" + m_file + "\"}}";
    enum Fault { kNone, kNoList, kNoBuffer, kWrite, kVanished, kHardLinkRef, kCatalog, kRefused, kMount, kNotSnap };
    const Fault kBareMount = Fault(kNotSnap + 1);  // mount data alone, no pairs
    const struct Case {
        const char* name;
        Fault fault;
        int result;
        std::string record, failures;
        std::vector<std::string> index;
    } cases[] = {
        {"sent", kNone, 0, pairs, "", {}},
        {"nothing to send", kNoList, 0, "", "", {}},
        {"no buffer", kNoBuffer, 2, "", m_file + ":12\n", {}},
        {"write fails", kWrite, 2, "", m_file + ":5\n", {}},
        {"end-user access of a vanished item", kVanished, 1, "", m_file + ":2\n", {}},
        {"hard-link reference file: nothing, not even end-user access", kHardLinkRef, 0, "", "", {}},
        {"catalog", kCatalog, 0, "", "", {pair}},
        {"catalog, refused", kRefused, 2, "", m_file + ":5\n", {}},
        {"mount point", kMount, 0, "", "", {pair, mount}},
        {"mount point without a snapshot mapper", kNotSnap, 2, "", m_file + ":22\n", {pair}},
        {"mount point without pairs", kBareMount, 0, "", "", {mount}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteWholeFile(m_file, "plain");
        ErrorController::setIgnoreENOENT(false);
        ruxen::testcontrol::ResetIndexingConnections();
        TempDir lists;
        FILE* failures = fopen((lists / "f").c_str(), "w");
        MemoryRecordSink index;
        IndexingConnection conn(&index);
        const ArchiveFileId_t afile{2, 0, 1};
        conn.initialize(2, 0, 0, 0, "", "", "", 0);
        if (c.fault != kRefused)
            conn.sendAfileInfo(&afile, false);
        index.ClearRecords();
        Item m;
        const int set = c.fault == kNoList      ? 0
                        : c.fault == kBareMount ? int{kNas}
                        : c.fault >= kCatalog   ? kOwner | (c.fault == kMount ? int{kNas} : 0)
                                                : kCacheRoot | kOwner | (c.fault == kHardLinkRef ? int{kTurbo} : 0);
        Open(m, m_file, set);
        m.file.SettingsForUpdate().endUserAccess = c.fault == kVanished || c.fault == kHardLinkRef;
        if (m.file.Settings().endUserAccess)
            unlink(m_file.c_str());
        if (c.fault == kHardLinkRef)
            m.file.EnableHardLinkHandling();
        m.file.setCatalogBackup(c.fault >= kCatalog);
        m.file.SettingsForUpdate().snapMountPaths[c.fault >= kMount ? m_file : ""] = 1;
        m.file.setCollectFileMap({{1, "-1"}, {2, "4"}, {3, "-1"}});
        m.file.setTotalBackupSize(100);
        (c.fault == kNoBuffer ? m.sink.FailAllocation(1) : m.sink.FailWrite(c.fault == kWrite ? 1 : 0));
        EXPECT_EQ(c.result, m.file.PrepareAndSendMetaData(failures, 0, false, c.fault >= kCatalog ? &conn : nullptr));
        fclose(failures);
        EXPECT_EQ((Records{c.record.empty() ? Records{} : Records{{159, c.record}}}), RecordsOf(m.sink));
        EXPECT_EQ(c.index, IndexLines(index));
        EXPECT_EQ(c.failures, ReadWholeFile(lists / "f"));
        EXPECT_EQ(c.failures.empty() ? 0u : 1u, m.file.GetFailedItems());
        EXPECT_EQ(0u, m.sink.Outstanding());
    }
}

// The relationships of a collect file's directives go once per stream, on a
// connection of their own, also when no item has metadata; without an index
// the send fails the stream and the list waits for the next try.
TEST_F(ItemMetadata, SalesforceRelationshipsOncePerStream) {
    const std::string collect = "%??SFREL=G1%m1\n%??SFREL=G2%m2\n" + m_file + "\n" + m_file + "\n";
    MemoryRecordSink index;
    for (bool withIndex : {false, true}) {
        SCOPED_TRACE(withIndex ? "with an index" : "without one");
        IndexingConnection::SetDefaultSink(withIndex ? &index : nullptr);
        Item m;
        m.archive.SetArchiveFileNumber(9);
        m.file.SetJobInfo(RuxenJobInfo{2, 0, 0, 77, "", ""});
        CollectFileReader reader;
        reader.OpenMemory("collect", collect);
        StreamBackupPass pass(m.file, nullptr);
        EXPECT_EQ(withIndex ? StreamBackupPass::kCollectDone : StreamBackupPass::kStreamFailed,
                  pass.RunDataLoop(reader));
        EXPECT_EQ(withIndex, m.file.StreamState().salesforceRelationsSent);
    }
    const std::vector<std::string> lines = IndexLines(index);
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("1 conn=1 zonark=2 client=0 app_type=134 level=0 token=\"77:0:0:0\" path=\"\" indexing=\"\" reserved=0",
              lines[0]);
    EXPECT_EQ("2 conn=1 zonark=2 group=0 file=9 flag=0", lines[1]);
    EXPECT_NE(std::string::npos, lines[2].find("SfRelationship{1=\"G1\" 2=\"m1\"}")) << lines[2];
    EXPECT_NE(std::string::npos, lines[3].find("SfRelationship{1=\"G2\" 2=\"m2\"}")) << lines[3];
    EXPECT_EQ("7 conn=1 value=1", lines[4]);
}

}  // namespace
