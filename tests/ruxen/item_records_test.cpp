// The records that close or accompany an item: the end-of-item record and
// its payloads, the archive-and-delete list, failed items in the index
// (data and catalog streams, the once-per-process decision) and the
// object-server metadata records.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "errorpolicy/ErrorController.h"
#include "mapping/OBJServerTAVNameMapper.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/archive/CPipelayer.h"
#include "platform/base/CTyError.h"
#include "platform/base/TestControl.h"
#include "platform/index/IdxMetadata.h"
#include "platform/index/IndexingConnection.h"
#include "reader/CFileReaderContext.h"
#include "ruxen/PipelineRecordTypes.h"
#include "support/MarkedFile.h"
#include "support/MemoryItem.h"
#include "support/ProcessState.h"
#include "support/StreamBytes.h"

namespace {

using namespace testfiles;
using Types = std::vector<uint32_t>;
using Item = MemoryItemOf<MarkedFile>;

class ItemRecords : public ::testing::Test {
protected:
    void SetUp() override {
        ruxen::testcontrol::ResetProcessSwitches();
        WriteWholeFile(m_file, "file data");
        ASSERT_EQ(0, symlink("t", m_link.c_str()));
    }
    void TearDown() override { ruxen::testcontrol::ResetProcessSwitches(); }
    static void KeepFailedItems() {
        KXPlatformInfo::setValue(kFileSystemAgentSection, "bSendFailedFilesToIndexForGUI", "1");
    }
    ProcessStateGuard m_state;
    TempDir m_dir;
    std::string m_file = m_dir / "f", m_link = m_dir / "l";
};

// The payload is chosen first and the buffer sized for it: a hard-linked
// symbolic link carries its phony name, longer than its target.
TEST_F(ItemRecords, EndOfItemPayloads) {
    const std::string phony = "/__KXHardLink@-@-Files__/123456789_2049_1700000000";
    struct Case {
        const char* name;
        bool link, hardLinkJob, v2, head, phonyFlag;
        int eof;
        uint32_t type;
        std::string payload;
    } cases[] = {
        {"plain file", false, false, false, false, false, 1, 130, ""},
        {"failed link", true, false, false, false, false, 0, 134, std::string("t\0", 2)},
        {"version 2 head", false, true, true, true, false, 1, 130, std::string(1, '\0')},
        {"version 2 member", false, true, true, false, false, 1, 130, phony + '\0'},
        {"phony name", false, true, false, false, true, 1, 130, phony + '\0'},
        {"hard-linked link", true, true, false, false, true, 1, 130, phony + '\0'},
        {"link in a hard-link job", true, true, false, false, false, 1, 130, std::string("t\0", 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Item item;
        if (c.hardLinkJob)
            item.file.EnableHardLinkHandling();
        item.file.SetIndexV2Enabled(c.v2);
        item.file.marks = ItemMarks{false, c.head, false, c.phonyFlag, false, 0, "", phony};
        ASSERT_TRUE(item.Open(c.link ? m_link : m_file));
        EXPECT_EQ(0, item.file.SendEndOfFileMessage(c.eof));
        EXPECT_EQ((Records{{c.type, c.payload}}), RecordsOf(item.sink));
    }
}

// Early stubbing: a backed-up item is a stub candidate, a failed one named
// in the results file as not stubbed; either way it is switched off in the
// reader context until the next item is marked.
TEST_F(ItemRecords, EarlyStubCandidates) {
    const std::string listPath = m_dir / "stubs.kxf", resultsPath = m_dir / "results.txt";
    for (int eof : {1, 0}) {
        FILE* list = fopen(listPath.c_str(), "w");
        FILE* results = fopen(resultsPath.c_str(), "w");
        ASSERT_TRUE(list && results);
        Item item;
        item.file.SetTurboMode(true);
        item.file.SetEarlyStubBackup(true);
        item.file.SetStubCandidateList(list, listPath);
        item.file.SetResultsFile(results);
        ASSERT_TRUE(item.Open(m_file));
        item.file.GetReaderContext().SetEarlyStubBackup(true);
        EXPECT_EQ(0, item.file.SendEndOfFileMessageInternal(eof));
        EXPECT_FALSE(item.file.GetReaderContext().IsEarlyStubBackup()) << eof;
        fclose(list);
        fclose(results);
        EXPECT_EQ(eof == 1 ? m_file + "\n" : "", ReadWholeFile(listPath));
        EXPECT_EQ(eof == 1 ? "" : "Backup: " + m_file + " Stubbing: stubbing skipped.\n", ReadWholeFile(resultsPath));
    }
}

// Backed-up items are listed escaped, directories with a "/"; a failed item,
// a missing list or a list that cannot be written answers 2.
TEST_F(ItemRecords, ArchiveAndDeleteList) {
    const std::string listPath = m_dir / "delete.kxf";
    struct Case {
        std::string path, list;
        int eof, result;
        std::string listed;
    } cases[] = {
        {m_dir.path(), listPath, 1, 0, m_dir.path() + "/\n"},
        {m_file, listPath, 0, 2, ""},
        {m_file, "", 1, 2, ""},
        {m_file, "/dev/full", 1, 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " " + c.list);
        FILE* list = c.list.empty() ? nullptr : fopen(c.list.c_str(), "w");
        Item item;
        item.file.SetArchiveAndDelete(true, list);
        ASSERT_TRUE(item.Open(c.path));
        EXPECT_EQ(c.result, item.file.SendEndOfFileMessage(c.eof));
        if (list)
            fclose(list);
        if (c.list == listPath) {
            EXPECT_EQ(c.listed, ReadWholeFile(listPath));
        }
    }
}

// Whether failed items go to the index: the GUI key first, never for a job
// on the pipeline layer (snapshot restore) without it, then the file-system
// key for file-system application types.
TEST_F(ItemRecords, UseIndexRegistryMatrix) {
    struct Case {
        const char *send, *use;
        unsigned long long appType;
        bool layer, want;
    } cases[] = {
        // null: absent
        {"1", nullptr, 0, false, true},   {"1", nullptr, 124, true, true},     {nullptr, "yes", 0, false, true},
        {nullptr, "Y", 29, false, true},  {"0", "y", 0, false, true},          {nullptr, "no", 0, false, false},
        {nullptr, "", 0, false, false},   {nullptr, nullptr, 0, false, false}, {nullptr, "yes", 124, false, false},
        {nullptr, "yes", 0, true, false},
    };
    for (const Case& c : cases) {
        ruxen::testcontrol::ResetProcessSwitches();
        ruxen::testcontrol::ResetRegistry();
        if (c.send)
            KXPlatformInfo::setValue(kFileSystemAgentSection, "bSendFailedFilesToIndexForGUI", c.send);
        if (c.use)
            KXPlatformInfo::setValue(kFileSystemAgentSection, "sUseIndexForFailedItems", c.use);
        MemoryRecordSink sink;
        KXArchive archive(&sink);
        CPipelayer layer(&sink);
        std::unique_ptr<RuxenFile> f(c.layer ? new RuxenFile(&layer) : new RuxenFile(&archive));
        f->SetAppTypeID(c.appType);
        EXPECT_EQ(c.want, f->UseIndexForFailedFiles()) << (c.send ? c.send : "-") << " " << (c.use ? c.use : "-");
    }
    // Decided once per process: a later change of the registry is not seen.
    KXPlatformInfo::setValue(kFileSystemAgentSection, "sUseIndexForFailedItems", "yes");
    RuxenFile f(static_cast<KXArchive*>(nullptr));
    EXPECT_FALSE(f.UseIndexForFailedFiles());
}

// A collect entry that failed is recorded as header, message and a failed
// end-of-item record; the message carries the failure and the item's GUIDs
// (the root's component GUID, the version GUID in the stub part). A name
// that fits the header goes, however long its escaped form.
TEST_F(ItemRecords, FailedCollectEntryInADataStream) {
    KeepFailedItems();
    ErrorController::setIgnoreENOENT(false);
    MemoryRecordSink sink;
    KXArchive archive(&sink);
    RuxenFile f(&archive);
    const std::string percents = m_dir / (std::string(200, '%') + "/" + std::string(200, '%'));
    ASSERT_EQ(StreamBackupPass::kCollectDone, PassOver(f, {m_dir / "missing", percents, m_file}));
    ASSERT_EQ((Types{128, 159, 134, 128, 159, 134, 128, 2, 130}), TypesOf(sink));
    EXPECT_NE(std::string::npos, sink.RecordBytes(3).find(percents + '\0'));
    EXPECT_EQ(2u, f.GetFailedItems());
    EXPECT_EQ(1u, f.GetCountableItems());
    IdxMetadata::IdxMetaData m;
    const char* why = nullptr;
    ASSERT_TRUE(IdxMessage::Decode(sink.RecordBytes(1).data(), sink.RecordBytes(1).size(), &m, &why)) << why;
    EXPECT_EQ("2 No such file or directory", std::to_string(m.getError()->code()) + " " + m.getError()->reason());
    for (const std::string& guid : {m.getIndexing()->getDbInfo()->componentGuid(), m.getIndexing()->objectGuid(),
                                    m.getIndexing()->parentObjectGuid(), m.getDmStubData()->guid()})
        EXPECT_EQ(36u, guid.size()) << guid;
    EXPECT_NE(m.getIndexing()->objectGuid(), m.getDmStubData()->guid());
}

// A failure after the header: the message at the end of the item, counted
// once. Recorded before the end (not by it), it is recorded once more
// after the end-of-item record, and only once.
TEST_F(ItemRecords, FailureAfterTheHeaderAndTheResend) {
    KeepFailedItems();
    for (bool atEnd : {true, false}) {
        SCOPED_TRACE(atEnd ? "at the end" : "before the end");
        Item item;
        ASSERT_TRUE(item.Open(m_file));
        ASSERT_EQ(0, item.file.SendHeader(nullptr));
        item.file.ReportItemFailure(nullptr, m_file.c_str(), 5, "read failed");
        if (atEnd) {
            EXPECT_EQ(0, item.file.SendEndOfFileMessage(0));
            EXPECT_EQ((Types{128, 159, 134}), TypesOf(item.sink));
        } else {
            ASSERT_FALSE(item.file.sendFailedFileInfo(false).IsError());
            EXPECT_EQ(0, item.file.SendEndOfFileMessage(1));
            EXPECT_EQ((Types{128, 159, 130, 128, 159, 134}), TypesOf(item.sink));
        }
        EXPECT_EQ(1u, item.file.GetFailedItems());
        EXPECT_EQ(1u, item.file.GetCountableItems());
        EXPECT_FALSE(item.file.Item().resendFailedItem);
    }
}

// In a catalog stream the message and the header (marked failed) go to
// the indexing connection; without one the record fails.
TEST_F(ItemRecords, FailedItemInACatalogStream) {
    KeepFailedItems();
    ruxen::testcontrol::ResetIndexingConnections();
    MemoryRecordSink index;
    IndexingConnection conn(&index);
    ArchiveFileId_t afile{2, 0, 7};
    ASSERT_EQ(0, conn.initialize(2, 3, 0, 1, "tok", "/p", "ix", 0));
    ASSERT_EQ(0, conn.sendAfileInfo(&afile, false));
    Item item;
    item.file.setCatalogBackup(true);
    ASSERT_TRUE(item.Open(m_file));
    item.file.ReportItemFailure(nullptr, m_file.c_str(), 13, "denied");
    EXPECT_EQ("IndexingConnection was not initialized in catalog job", item.file.sendFailedFileInfo(false).Message());
    ASSERT_FALSE(item.file.sendFailedFileInfo(false, &conn).IsError());
    ASSERT_EQ((Types{IDX_INIT, IDX_AFILE, IDX_MESSAGE, IDX_FILE}), TypesOf(index));
    EXPECT_EQ(U32(ZXFLAG_FAILED_ITEM), std::string(index.RecordBytes(3).substr(4 + 108, 4)));
    EXPECT_EQ(0u, item.sink.RecordCount());
    ruxen::testcontrol::ResetIndexingConnections();
}

// Object-server metadata: the index text and GUID as pairs of one record
// (an empty value is left out), the optional text in slices as the grants
// allow; a grant of nothing, a failed write or no mapper fails.
TEST_F(ItemRecords, ObjectServerMetadata) {
    const std::string kIndexKind("P\1\x2F\x72\x79\xB5", 6), kGuidKind("P\0\x26\x59\xDA\x42", 6);
    enum Fault { kNone, kGrant4, kGrant0, kWrite };
    struct Case {
        const char *name, *index, *guid, *meta;
        Fault fault;
        bool ok;
        Records records;
    } cases[] = {
        {"nothing", "", "", "", kNone, true, {}},
        {"GUID only", "", "g1", "", kNone, true, {{159, kGuidKind + U32(2) + "g1"}}},
        {"both", "ix", "g1", "", kNone, true, {{159, kIndexKind + U32(2) + "ix" + kGuidKind + U32(2) + "g1"}}},
        {"text", "", "", "abc", kNone, true, {{290, std::string("abc\0", 4)}}},
        {"grants of 4",
         "",
         "",
         "0123456789",
         kGrant4,
         true,
         {{290, "0123"}, {290, "4567"}, {290, std::string("89\0", 3)}}},
        {"grant of 0", "", "", "0123456789", kGrant0, false, {}},
        {"write fails", "ix", "", "abc", kWrite, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<OBJServerTAVNameMapper> mapper = LoadObjServerNameMapper();
        mapper->setCurrentObject(false, c.guid, c.meta, c.index);
        Item item;
        item.file.setFNameMapper(mapper.get());
        item.sink.ShortGrantAbove(c.fault == kGrant4 ? 4 : 0);
        item.sink.ShortGrant(c.fault == kGrant0 ? 1 : 0, 0);
        item.sink.FailWrite(c.fault == kWrite ? 1 : 0);
        EXPECT_EQ(c.ok, item.file.sendObjSrvMetaData());
        EXPECT_EQ(c.records, RecordsOf(item.sink));
        EXPECT_EQ(0u, item.sink.Outstanding());
    }
    // Through the header sender, no mapper fails the item, which goes on.
    Item item;
    item.file.SetAppTypeID(124);
    ASSERT_TRUE(item.Open(m_file));
    EXPECT_EQ(0, item.file.SendHeader(nullptr));
    EXPECT_EQ("-1 failed send metadata 1", std::to_string(item.file.GetFailureCode()) + " " +
                                               item.file.GetFailureReason() + " " +
                                               std::to_string(item.file.GetFailedItems()));
}

}  // namespace
