#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/archive/MemoryRecordSink.h"
#include "platform/archive/ZXHeaderByteOrder.h"
#include "platform/base/TestControl.h"
#include "platform/index/IdxMetadata.h"
#include "platform/index/IndexMetaDataHelper.h"
#include "platform/index/IndexMetaDataKinds.h"
#include "platform/index/IndexRecords.h"
#include "platform/index/IndexingConnection.h"

namespace {

using namespace IndexMetaDataKind;
using std::string;

string B(const char* s, size_t n) { return string(s, n); }

struct PairIn {
    uint32_t kind;
    const char* value;
};

// Encodes the pairs as a record is built: exact length first, then each pair
// with its more-follows flag.
string EncodePairs(const std::vector<PairIn>& pairs) {
    IndexMetaDataHelper h;
    unsigned size = 0;
    for (const PairIn& p : pairs)
        size += static_cast<unsigned>(h.getEncodedLength(p.kind, p.value));
    string buf(size, '\xEE');
    unsigned offset = 0;
    for (size_t k = 0; k < pairs.size(); ++k)
        EXPECT_EQ(h.fillBuffer(pairs[k].kind, pairs[k].value, &buf[0], size, offset, k + 1 < pairs.size()), 0);
    EXPECT_EQ(offset, size);
    return buf;
}

TEST(IndexMetaDataHelper, PairsHaveTheDocumentedBytesAndDecodeBack) {
    EXPECT_EQ(EncodePairs({{INDEXINGDATA_HBASE_FILE_TYPE, "7"}}),
              B("P\x00\x6D\xF1\xD3\x48\x00\x00\x00\x01"
                "7", 11));
    string three = EncodePairs({{STUB_GUID, "g"}, {CACHEDB_ITEM, ""}, {ORIG_APP_GUID, nullptr}});
    EXPECT_EQ(three, B("P\x01\xE0\xD0\x98\xD3\x00\x00\x00\x01g"
                       "P\x01\x36\xF9\x2D\x3A\x00\x00\x00\x00"
                       "P\x00\x1F\xCB\xCC\x13\x00\x00\x00\x00", 31));
    std::vector<IndexMetaDataHelper::Pair> out;
    const char* why = nullptr;
    ASSERT_TRUE(IndexMetaDataHelper::DecodePairs(three.data(), three.size(), &out, &why));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].kind, STUB_GUID);
    EXPECT_EQ(out[0].value, "g");
    EXPECT_TRUE(out[1].more);
    EXPECT_FALSE(out[2].more);
}

TEST(IndexMetaDataHelper, ShortBufferIsRefusedAndLeftUntouched) {
    IndexMetaDataHelper h;
    const char* v = "value";
    unsigned need = static_cast<unsigned>(h.getEncodedLength(STUB_GUID, v));
    string buf(need + 4, 'z');
    unsigned offset = 4;
    EXPECT_EQ(h.fillBuffer(STUB_GUID, v, &buf[0], need + 3, offset, 0), -1);
    EXPECT_EQ(offset, 4u);
    EXPECT_EQ(buf, string(need + 4, 'z'));
    offset = need + 5;  // past the end
    EXPECT_EQ(h.fillBuffer(STUB_GUID, v, &buf[0], need + 4, offset, 0), -1);

    IdxMetadata::IdxMetaData m;
    m.getFileSet()->setName("fs1");
    unsigned len = 0, used = 7;
    ASSERT_EQ(h.getEncodedLength(&m, len), 0);
    string mb(len, 'z');
    EXPECT_EQ(h.fillBuffer(&m, &mb[0], len - 1, used), -1);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(mb, string(len, 'z'));
    EXPECT_EQ(h.fillBuffer(&m, &mb[0], len, used), 0);
    EXPECT_EQ(used, len);
}

TEST(IdxMessage, DocumentedBytesRoundTripAndEmptyIsNothing) {
    IndexMetaDataHelper h;
    IdxMetadata::IdxMetaData empty;
    unsigned len = 99;
    EXPECT_EQ(h.getEncodedLength(&empty, len), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(h.getEncodedLength(static_cast<const IdxMessage*>(nullptr), len), -1);

    IdxMetadata::IdxMetaData m;
    m.getError()->setCode(-1);
    m.getError()->setReason("ab");
    EXPECT_EQ(m.EncodeToString(), B("M\x01"
                                    "\x00\x00\x00\x65\x00\x00\x00\x5D\x00\x00\x00\x01"
                                    "\x00\x00\x00\x01\x04\x00\x00\x00\x24"
                                    "\x00\x00\x00\x65\x00\x00\x00\x5F\x00\x00\x00\x02"
                                    "\x00\x00\x00\x01\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"
                                    "\x00\x00\x00\x02\x02\x00\x00\x00\x02"
                                    "ab", 59));

    // Every kind of field, nested two deep, and a 2046-character reason.
    m.getError()->setReason(string(2046, 'r'));
    m.getIndexing()->getDbInfo()->setComponentGuid("comp");
    m.getIndexing()->setObjectGuid("obj");
    m.getFsSnapMountData()->addCollectFile("1");
    m.getFsSnapMountData()->addCollectFile("");
    m.getSrmData()->getFsData()->set(IdxMetadata::FsData::kMountDir, string("/\x01\"", 3));
    string bytes = m.EncodeToString();
    EXPECT_EQ(h.getEncodedLength(&m, len), 0);
    EXPECT_EQ(len, bytes.size());

    IdxMessage back(0, 0);
    const char* why = nullptr;
    ASSERT_TRUE(IdxMessage::Decode(bytes.data(), bytes.size(), &back, &why)) << why;
    EXPECT_EQ(back.EncodeToString(), bytes);
    EXPECT_EQ(back.ToText(), m.ToText());
    EXPECT_EQ(back.Part(1)->String(2).size(), 2046u);
    EXPECT_NE(m.ToText().find("FsData{12=\"/\\x01\\x22\"}"), string::npos) << m.ToText();

    // A copy is deep and keeps the named parts.
    IdxMetadata::IdxMetaData copy = m;
    m.getIndexing()->getDbInfo()->setComponentGuid("changed");
    EXPECT_EQ(copy.getIndexing()->getDbInfo()->componentGuid(), "comp");

    // A decoded part takes its named accessors on first use.
    IdxMetadata::IdxMetaData typed;
    ASSERT_TRUE(IdxMessage::Decode(bytes.data(), bytes.size(), &typed, &why));
    EXPECT_EQ(typed.getIndexing()->objectGuid(), "obj");
    EXPECT_EQ(typed.getIndexing()->getDbInfo()->componentGuid(), "comp");
}

TEST(IdxMessage, MalformedInputIsRefused) {
    string good = [] {
        Indexing::IdxCommand c;
        c.setCommand(0);
        c.getMetadata()->getSfRelationship()->setGuid("g");
        return c.EncodeToString();
    }();
    IdxMessage m(0, 0);
    const char* why = nullptr;
    ASSERT_TRUE(IdxMessage::Decode(good.data(), good.size(), &m, &why));
    struct Case {
        string bytes;
        const char* why;
    } cases[] = {
        {"", "not a message"},
        {B("M\x02", 2), "unknown message version"},
        {good.substr(0, good.size() - 1), "part cut short"},
        {good + "x", "bytes after the message"},
        {B("M\x01\0\0\0\1\0\0\0\1\0\0\0\0", 14), "message without fields"},
        {B("M\x01\0\0\0\1\0\0\0\1\xFF\xFF\xFF\xFF", 14), "field count beyond the bytes"},
        {B("M\x01\0\0\0\1\0\0\0\1\0\0\0\1\0\0\0\1\x09" "12345678", 27), "unknown field kind"},
        {B("M\x01\0\0\0\1\0\0\0\1\0\0\0\2\0\0\0\2\1" "12345678\0\0\0\2\1" "12345678", 40),
         "field numbers not ascending"},
        {B("M\x01\0\0\0\1\0\0\0\1\0\0\0\1\0\0\0\1\3\x7F\xFF\xFF\xFF", 23), "list count beyond the bytes"},
        {B("M\x01\0\0\0\1\0\0\0\1\0\0\0\1\0\0\0\1\4\0\0\0\x0D\0\0\0\0\0\0\0\0\0\0\0\0\0", 36),
         "part length does not match its fields"},
    };
    for (const Case& c : cases) {
        why = nullptr;
        EXPECT_FALSE(IdxMessage::Decode(c.bytes.data(), c.bytes.size(), &m, &why)) << c.why;
        EXPECT_STREQ(why, c.why);
    }
    // Nesting deeper than the decoder allows.
    string deep;
    for (int d = 0; d <= IdxMessage::kMaxDepth + 1; ++d) {
        string body = B("\0\0\0\1\0\0\0\1\0\0\0\1\0\0\0\1\4", 17);
        uint32_t n = htonl(static_cast<uint32_t>(deep.empty() ? 12 : deep.size()));
        body.append(reinterpret_cast<const char*>(&n), 4);
        deep = body + (deep.empty() ? B("\0\0\0\1\0\0\0\1\0\0\0\0", 12) : deep);
    }
    deep = "M\x01" + deep;
    EXPECT_FALSE(IdxMessage::Decode(deep.data(), deep.size(), &m, &why));
    EXPECT_STREQ(why, "parts nested too deep");

    std::vector<IndexMetaDataHelper::Pair> pairs;
    const string badPairs[] = {"", B("P\x01\0\0\0\1\0\0\0\0", 10), B("P\x02\0\0\0\1\0\0\0\0", 10),
                               B("P\x00\0\0\0\1\0\0\0\5" "abc", 13), B("P\x00\0\0\0\1\0\0\0\0Q", 11)};
    for (const string& b : badPairs)
        EXPECT_FALSE(IndexMetaDataHelper::DecodePairs(b.data(), b.size(), &pairs, &why)) << b.size();
}

TEST(IndexMetaDataHelper, EncodeDataDispatchesByKind) {
    IndexMetaDataHelper h;
    int type = IdxMetadata::HBASE_TABLE;
    int64_t t = 4102444800;  // beyond 2038
    EXPECT_STREQ(h.encodeData(INDEXINGDATA_HBASE_FILE_TYPE, type), "7");
    EXPECT_STREQ(h.encodeData(ARCHIVAL_TIME, t), "4102444800");
    EXPECT_STREQ(h.encodeData(INDEXINGDATA_HBASE_FILE_TYPE, static_cast<void*>(&type)), "7");
    EXPECT_STREQ(h.encodeData(ARCHIVAL_TIME, static_cast<void*>(&t)), "4102444800");
    EXPECT_EQ(h.encodeData(STUB_GUID, static_cast<void*>(&t)), nullptr);
    EXPECT_EQ(h.encodeData(0x1234, static_cast<void*>(&t)), nullptr);
    EXPECT_EQ(h.encodeData(ARCHIVAL_TIME, static_cast<void*>(nullptr)), nullptr);
}

// --- the indexing connection

class IndexingConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { ruxen::testcontrol::ResetIndexingConnections(); }
    void TearDown() override { ruxen::testcontrol::ResetIndexingConnections(); }
    static int Init(IndexingConnection& c) { return c.initialize(2, 3, 33, 1, "tok", "/p", "ix", 0); }
    static IndexMetaDataStruct Pair(uint32_t len) {
        return IndexMetaDataStruct{kIndexMetaDataMarker, kIndexMetaDataVersion, STUB_GUID, 0, len};
    }
    MemoryRecordSink sink;
    ArchiveFileId_t afile{2, 0, 7};
    char header[ZXHeaderLayout::kRecordSize] = {};
};

TEST_F(IndexingConnectionTest, CallsOutOfOrderWriteNothing) {
    IndexingConnection none;  // no default sink
    EXPECT_EQ(Init(none), -1);

    IndexingConnection c(&sink);
    IdxMetadata::IdxMetaData m, empty;
    m.getFileSet()->setName("x");
    EXPECT_EQ(c.sendAfileInfo(&afile, false), -1);
    EXPECT_EQ(c.backupDone(0), -1);
    ASSERT_EQ(Init(c), 0);
    EXPECT_EQ(Init(c), -1);
    EXPECT_EQ(c.sendMetaDataInfo(&m), -1);
    EXPECT_EQ(c.sendFileInfo(reinterpret_cast<ZXFileHeader*>(header), 0, nullptr, 0), -1);
    EXPECT_EQ(c.sendAfileInfo(nullptr, false), -1);
    ASSERT_EQ(c.sendAfileInfo(&afile, false), 0);
    IndexMetaDataStruct bad = Pair(1);
    bad.marker = 0;
    EXPECT_EQ(c.sendMetaDataInfo(bad, "v"), -1);
    EXPECT_EQ(c.sendMetaDataInfo(Pair(1), nullptr), -1);
    EXPECT_EQ(c.sendMetaDataInfo(&empty), 0);  // nothing to send
    ASSERT_EQ(c.backupDone(1), 0);
    EXPECT_EQ(c.sendMetaDataInfo(Pair(1), "v"), -1);
    EXPECT_EQ(c.setStreamJobId(5), -1);
    ASSERT_EQ(sink.RecordCount(), 3u);
    EXPECT_EQ(sink.RecordType(0), IDX_INIT);
    EXPECT_EQ(sink.RecordType(1), IDX_AFILE);
    EXPECT_EQ(sink.RecordBytes(1), B("\0\0\0\1\0\0\0\2\0\0\0\0\0\0\0\7\0", 17));
    EXPECT_EQ(sink.RecordType(2), IDX_DONE);
    EXPECT_EQ(sink.FlushCalls(), 1u);
}

TEST_F(IndexingConnectionTest, EveryCallFailsCleanlyOnInjectedSinkFaults) {
    IdxMetadata::IdxMetaData m;
    m.getError()->setCode(5);
    Indexing::IdxCommand cmd;
    cmd.getMetadata()->getSfRelationship()->setGuid("g");
    IdxMetadata::IdxDbInfo db;
    db.setViewName("TBLVIEW");
    IndexMetaDataStruct pair = Pair(3);
    auto zx = reinterpret_cast<const ZXFileHeader*>(header);
    // Each step is the call made with the n-th allocation or write failing;
    // it must fail, leave no buffer behind and write nothing, and a retry
    // must succeed.
    std::vector<std::function<int(IndexingConnection&)>> steps = {
        [](IndexingConnection& c) { return Init(c); },
        [&](IndexingConnection& c) { return c.sendAfileInfo(&afile, true); },
        [&](IndexingConnection& c) { return c.sendMetaDataInfo(pair, "abc"); },
        [&](IndexingConnection& c) { return c.sendMetaDataInfo(&m); },
        [&](IndexingConnection& c) { return c.sendFileInfo(zx, 9, "target", 0); },
        [&](IndexingConnection& c) { return c.sendFileInfoV2(db, cmd); },
        [](IndexingConnection& c) { return c.setStreamJobId(77); },
        [](IndexingConnection& c) { return c.updateRestartInfo(3, 1ull << 40); },
        [](IndexingConnection& c) { return c.clearMetaDataInfo(); },
        [](IndexingConnection& c) { return c.backupDone(0); },
    };
    for (int fault = 0; fault < 2; ++fault) {
        MemoryRecordSink s;
        IndexingConnection c(&s);
        for (size_t k = 0; k < steps.size(); ++k) {
            if (fault == 0)
                s.FailAllocation(s.AllocateCalls() + 1);
            else
                s.FailWrite(s.WriteCalls() + 1);
            EXPECT_EQ(steps[k](c), -1) << "step " << k << " fault " << fault;
            EXPECT_EQ(s.RecordCount(), k);
            EXPECT_EQ(s.Outstanding(), 0u);
            EXPECT_EQ(steps[k](c), 0) << "step " << k << " fault " << fault;
        }
        EXPECT_EQ(s.RecordCount(), steps.size());
    }
    // A failed flush fails backupDone.
    MemoryRecordSink s;
    IndexingConnection c(&s);
    ASSERT_EQ(Init(c), 0);
    s.FailFlush(1);
    EXPECT_EQ(c.backupDone(0), -1);
}

}  // namespace
