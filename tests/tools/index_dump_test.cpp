#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/IndexDump.h"
#include "platform/archive/MemoryRecordSink.h"
#include "platform/base/TestControl.h"
#include "platform/index/IdxMetadata.h"
#include "platform/index/IndexMetaDataHelper.h"
#include "platform/index/IndexMetaDataKinds.h"
#include "platform/index/IndexingConnection.h"
#include "ruxen/ZXFileHeader.h"

namespace {

using std::string;

// The sink's records as an index file.
string IndexFile(const MemoryRecordSink& sink) {
    string bytes = sink.Serialize();
    memcpy(&bytes[0], kIndexStreamMagic, 4);
    return bytes;
}

string Dump(const string& bytes, bool* clean) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    IndexDump dump(out, nullptr);
    *clean = dump.RunMemory(bytes.data(), bytes.size(), "t.rxix");
    fclose(out);
    string s(text, size);
    free(text);
    return s;
}

TEST(IndexDump, PrintsEveryRecordTheConnectionWrites) {
    ruxen::testcontrol::ResetIndexingConnections();
    MemoryRecordSink sink;
    IndexingConnection c(&sink);
    ZXFileHeader h;
    h.Clear();
    h.h_version = ZX_HEADER_VERSION;
    h.h_magic = ZX_HEADER_MAGIC;
    h.h_mode = 0100644;
    h.h_filesize = 12;
    strcpy(h.h_filename, "/d/a \"b\"");
    ArchiveFileId_t afile{2, 0, 7};
    IndexMetaDataStruct pair{kIndexMetaDataMarker, kIndexMetaDataVersion,
                             IndexMetaDataKind::ARCHIVAL_TIME, 0, 2};
    IdxMetadata::IdxMetaData m;
    m.getError()->setCode(-1);
    IdxMetadata::IdxDbInfo db;
    db.setViewName("TBLVIEW");
    Indexing::IdxCommand cmd;
    cmd.setCommand(0);
    ASSERT_EQ(c.initialize(2, 3, 134, 1, "tok", "/p", nullptr, 0), 0);
    ASSERT_EQ(c.setStreamJobId(77), 0);
    ASSERT_EQ(c.sendAfileInfo(&afile, true), 0);
    ASSERT_EQ(c.sendMetaDataInfo(pair, "42"), 0);
    ASSERT_EQ(c.sendMetaDataInfo(&m), 0);
    ASSERT_EQ(c.sendFileInfo(&h, 9, "tgt", 0), 0);
    ASSERT_EQ(c.sendFileInfoV2(db, cmd), 0);
    ASSERT_EQ(c.updateRestartInfo(3, 1ull << 40), 0);
    ASSERT_EQ(c.clearMetaDataInfo(), 0);
    ASSERT_EQ(c.backupDone(1), 0);
    ASSERT_EQ(sink.Close(), 0);
    bool clean = false;
    EXPECT_EQ(Dump(IndexFile(sink), &clean),
              "8 IDX_INIT conn=1 zonark=2 client=3 app_type=134 level=1 token=\"tok\" path=\"/p\" "
              "indexing=\"\" reserved=0\n"
              "73 IDX_JOB conn=1 job=77\n"
              "93 IDX_AFILE conn=1 zonark=2 group=0 file=7 flag=1\n"
              "118 IDX_PAIR conn=1 kind=0xD67868CF(ARCHIVAL_TIME) value=\"42\"\n"
              "152 IDX_MESSAGE conn=1 IdxMetaData{1=IdxErrorInfo{1=-1}}\n"
              "212 IDX_FILE conn=1 name=\"/d/a \\x22b\\x22\" mode=0100644 size=12 offset=9 "
              "link=\"tgt\" reserved=0\n"
              "1407 IDX_FILE_V2 conn=1 db=IdxDbInfo{4=\"TBLVIEW\"} command=IdxCommand{1=0}\n"
              "1480 IDX_RESTART conn=1 collect=3 offset=1099511627776\n"
              "1504 IDX_CLEAR conn=1\n"
              "1516 IDX_DONE conn=1 value=1\n");
    EXPECT_TRUE(clean);

    // The archive stream's magic is not an index file; a cut frame ends the
    // dump as a failure.
    EXPECT_EQ(Dump(sink.Serialize(), &clean), "");
    EXPECT_FALSE(clean);
    string cut = IndexFile(sink);
    cut.resize(cut.size() - 1);
    Dump(cut, &clean);
    EXPECT_FALSE(clean);
}

TEST(IndexDump, MalformedRecordsAreNamed) {
    struct Case {
        uint32_t type;
        string payload;
        const char* why;
    } cases[] = {
        {IDX_DONE, string("\0\0\0", 3), "record without a connection number"},
        {IDX_DONE, string("\0\0\0\1\0\0\0", 7), "done record cut short"},
        {IDX_DONE, string("\0\0\0\1\0\0\0\0x", 9), "bytes after the record's fields"},
        {IDX_INIT, string("\0\0\0\1", 4), "init record cut short"},
        {IDX_PAIR, string("\0\0\0\1\x55\x99\xAA\x44\0\0\0\2\0\0\0\1\0\0\0\0\0\0\0\0", 24),
         "pair record with a wrong marker or version"},
        {IDX_PAIR, string("\0\0\0\1\x55\x99\xAA\x44\0\0\0\1\0\0\0\1\0\0\0\0\0\0\0\3ab", 26),
         "pair value length does not match the record"},
        {IDX_MESSAGE, string("\0\0\0\1", 4), "message record without a message"},
        {IDX_MESSAGE, string("\0\0\0\1M\1", 6), "message header cut short"},
        {IDX_FILE, string("\0\0\0\1", 4), "file record cut short"},
        {IDX_FILE, string("\0\0\0\1", 4) + string(1160, '\0'), "header record with a wrong version or magic"},
        {IDX_FILE_V2, string("\0\0\0\1\0\0\0\5", 8), "database info cut short"},
        {99, string("\0\0\0\1", 4), "unknown record type"},
    };
    for (const Case& c : cases) {
        string text;
        const char* why = nullptr;
        EXPECT_FALSE(IndexDump::DescribeRecord(c.type, c.payload.data(), c.payload.size(), &text, &why));
        EXPECT_STREQ(why, c.why);
    }
}

TEST(IndexDump, DescribesMetadataRecordPayloads) {
    IndexMetaDataHelper h;
    string buf(static_cast<size_t>(h.getEncodedLength(IndexMetaDataKind::STUB_GUID, "g") +
                                   h.getEncodedLength(0x1234, "\n")),
               '\0');
    unsigned off = 0;
    ASSERT_EQ(h.fillBuffer(IndexMetaDataKind::STUB_GUID, "g", &buf[0], buf.size(), off, 1), 0);
    ASSERT_EQ(h.fillBuffer(0x1234, "\n", &buf[0], buf.size(), off, 0), 0);
    string text;
    const char* why = nullptr;
    ASSERT_TRUE(IndexDump::DescribeMetadata(buf.data(), buf.size(), &text, &why));
    EXPECT_EQ(text, "pairs=2 [kind=0xE0D098D3(STUB_GUID) more=1 value=\"g\"] "
                    "[kind=0x00001234(?) more=0 value=\"\\x0a\"]");
    IdxMetadata::IdxMetaData m;
    m.getFsSnapMountData()->addCollectFile("1");
    string bytes = m.EncodeToString();
    ASSERT_TRUE(IndexDump::DescribeMetadata(bytes.data(), bytes.size(), &text, &why));
    EXPECT_EQ(text, "message IdxMetaData{4=FsSnapMountData{2=[\"1\"]}}");
    EXPECT_FALSE(IndexDump::DescribeMetadata(bytes.data(), bytes.size() - 1, &text, &why));
    EXPECT_FALSE(IndexDump::DescribeMetadata(buf.data(), buf.size() - 1, &text, &why));
}

}  // namespace
