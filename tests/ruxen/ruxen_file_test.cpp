// The per-file object's own services: the buffer forms, the do-not-send
// scratch buffer, own-file matching, escaping and the failure reason's bound;
// the clearing of its item state.
#include "ruxen/RuxenFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/index/IdxMessage.h"
#include "platform/archive/KXArchive.h"
#include "platform/archive/MemoryRecordSink.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenMessages.h"
#include "support/ProcessState.h"

namespace {

// Clearing makes a fresh item, the paths every item sets keeping their
// buffers: a path left behind would name the previous item (a bad line's
// failure would be recorded in the index under it).
TEST(RuxenItemState, ClearedIsFreshAndKeepsThePathBuffers) {
    RuxenItemState s;
    const std::string path(300, 'p');
    s.recordedPath = s.mappedName = s.actualPath = s.guidPath = s.shownName = s.failureReason = path;
    s.header.h_collect_offset = 7;
    s.header.h_filename[500] = 'x';
    s.st.st_size = 9;
    s.type = fTypeRegular;
    s.hlHandling = false;
    s.phase = RuxenItemPhase::kEnded;
    s.deletedKind = 3;
    s.failureCode = 5;
    const char* buffer = s.mappedName.data();
    s.Clear();
    const RuxenItemState fresh;
    EXPECT_EQ(std::vector<std::string>(6), (std::vector<std::string>{s.recordedPath, s.mappedName, s.actualPath,
                                                                     s.guidPath, s.shownName, s.failureReason}));
    EXPECT_EQ(0, memcmp(&fresh.header, &s.header, sizeof s.header));
    EXPECT_EQ(0, memcmp(&fresh.st, &s.st, sizeof s.st));
    EXPECT_EQ((std::vector<int>{fTypeOther, 1, 0, 0, 0}),
              (std::vector<int>{s.type, s.hlHandling, s.headerSent(), s.deletedKind, s.failureCode}));
    EXPECT_EQ(buffer, s.mappedName.data());
    EXPECT_GE(s.recordedPath.capacity(), path.size());
}

TEST(RuxenFileBuffers, BothFormsReachTheSinkAndAFailedWriteKeepsTheBuffer) {
    testfiles::ProcessStateGuard state;
    MemoryRecordSink sink;
    KXArchive archive(&sink);
    RuxenFile f(&archive);
    AllocateBufRet_t ret{0};
    char* buf = f.AllocateKXArchiveBuffer(AllocateBufArgs_t{100, 0}, ret);
    ASSERT_NE(nullptr, buf);
    EXPECT_GE(ret.granted, 100u);
    memcpy(buf, "abc", 3);
    WriteBufRet_t wr{-7};
    EXPECT_EQ(0, f.WriteKXArchiveBuffer(WriteBufArgs_t{PL_FS_DATA, 3}, wr));
    EXPECT_EQ(0, wr.status);
    ASSERT_EQ(1u, sink.RecordCount());
    EXPECT_EQ("abc", sink.RecordBytes(0));

    unsigned granted = 0;
    ASSERT_NE(nullptr, f.AllocateKXArchiveBuffer(10, &granted));
    sink.FailWrite(sink.WriteCalls() + 1);
    EXPECT_NE(0, f.WriteKXArchiveBuffer(PL_FS_DATA, 10));
    EXPECT_EQ(1u, sink.Outstanding());
    f.FreeKXArchiveBuffer();
    f.FreeKXArchiveBuffer();  // twice is harmless
    EXPECT_EQ(0u, sink.Outstanding());

    RuxenFile none(static_cast<KXArchive*>(nullptr));
    EXPECT_EQ(nullptr, none.AllocateKXArchiveBuffer(10, &granted));
    EXPECT_EQ(0u, granted);
}

TEST(RuxenFileBuffers, DoNotSendHookUsesAScratchBufferThatGrows) {
    testfiles::ProcessStateGuard state;
    const std::string hook = state.Hooks() / kHookDoNotSend;
    testfiles::WriteWholeFile(hook, "");
    ASSERT_EQ(0, chmod(hook.c_str(), 0600));
    MemoryRecordSink sink;
    KXArchive archive(&sink);
    RuxenFile f(&archive);
    f.initSendFlag();
    ASSERT_FALSE(f.IsSendOn());
    unsigned granted = 0;
    ASSERT_NE(nullptr, f.AllocateKXArchiveBuffer(10, &granted));
    EXPECT_GE(granted, 10u);
    char* big = f.AllocateKXArchiveBuffer(1 << 20, &granted);  // past the old fixed 66000 bytes
    ASSERT_NE(nullptr, big);
    EXPECT_GE(granted, 1u << 20);
    big[(1 << 20) - 1] = 'x';
    EXPECT_EQ(0, f.WriteKXArchiveBuffer(PL_FS_DATA, 1 << 20));
    EXPECT_EQ(0u, sink.AllocateCalls());
    ASSERT_EQ(0, unlink(hook.c_str()));
    f.initSendFlag();
    EXPECT_TRUE(f.IsSendOn());
}

TEST(RuxenFileNames, OwnFilesAndBlockLevelMountsMatchWholeComponents) {
    RuxenFile f(static_cast<KXArchive*>(nullptr));
    f.SetOwnDirectories({"/var/ruxen/", "/jobs/out.rxpl"});
    for (const char* p : {"/var/ruxen", "/var/ruxen/log/x", "/jobs/out.rxpl"})
        EXPECT_TRUE(f.iswendaxFile(p)) << p;
    for (const char* p : {"/var/ruxenx", "/var/rux", "/jobs/out.rxpl2", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(f.iswendaxFile(p)) << (p ? p : "null");

    EXPECT_FALSE(f.isBlockLevelPath("/data"));  // no block-level mounts
    f.SettingsForUpdate().blockLevelMap = {{"/data/", 1}, {"/vol/a", 2}};
    for (const char* p : {"/data", "/data/x", "/vol/a/b/c", "/vol/a/"})
        EXPECT_TRUE(f.isBlockLevelPath(p)) << p;
    for (const char* p : {"/datax", "/vol", "/vol/ab", "/", "", "data/x"})
        EXPECT_FALSE(f.isBlockLevelPath(p)) << p;
    f.SettingsForUpdate().blockLevelMap = {{"/", 1}};
    EXPECT_TRUE(f.isBlockLevelPath("/any/path"));
}

TEST(RuxenFileNames, EscapingAndTheFailureReasonBound) {
    RuxenFile f(static_cast<KXArchive*>(nullptr));
    EXPECT_STREQ("/a%0Ab%25c%0D", f.escapeFileName("/a\nb%c\r"));
    f.setFailureReason(13, "%s", std::string(5000, 'r').c_str());
    EXPECT_EQ(13, f.GetFailureCode());
    EXPECT_EQ(2046u, f.GetFailureReason().size());
}

}  // namespace

namespace {

// Index metadata records: the bytes of pairs and of a message exactly,
// nothing for nothing to send, and every fault after allocation leaves no
// buffer behind.
struct MetaCase {
    const char* name;
    std::vector<RuxenFile::IndexMetadataPair> pairs;
    bool message;         // send `Message()` instead of the pairs
    bool emptyMessage;
    unsigned failAllocation, failWrite, shortGrant;
    int result;
    std::string record;  // the one record 159 written ("" none)
};

IdxMessage Message() {
    IdxMessage m(101, 93);
    m.SetString(2, "x");
    return m;
}

TEST(RuxenFileMetadata, PairsMessagesAndFaults) {
    const std::string one = std::string("P\0\0\0\0\7\0\0\0\3abc", 13);
    const std::string three = std::string("P\1\0\0\0\1\0\0\0\1a", 11) + std::string("P\1\xff\xff\xff\xff\0\0\0\0", 10) +
                              std::string("P\0\0\0\0\3\0\0\0\2bc", 12);
    const MetaCase cases[] = {
        {"OnePair", {{7, "abc"}}, false, false, 0, 0, 0, 0, one},
        {"ThreePairs", {{1, "a"}, {0xffffffff, nullptr}, {3, "bc"}}, false, false, 0, 0, 0, 0, three},
        {"NoPairs", {}, false, false, 0, 0, 0, kMetaNothing, ""},
        {"Message", {}, true, false, 0, 0, 0, 0, Message().EncodeToString()},
        {"EmptyMessage", {}, true, true, 0, 0, 0, kMetaNothing, ""},
        {"NoBuffer", {{7, "abc"}}, false, false, 1, 0, 0, kMetaNoBuffer, ""},
        {"BufferOneByteShort", {{7, "abc"}}, false, false, 0, 0, 12, kMetaNoBuffer, ""},
        {"WriteFails", {{7, "abc"}}, true, false, 0, 1, 0, kMetaWriteFailed, ""},
    };
    for (const MetaCase& c : cases) {
        SCOPED_TRACE(c.name);
        testfiles::ProcessStateGuard state;
        MemoryRecordSink sink;
        KXArchive archive(&sink);
        RuxenFile f(&archive);
        sink.FailAllocation(c.failAllocation);
        sink.FailWrite(c.failWrite);
        if (c.shortGrant)
            sink.ShortGrant(1, c.shortGrant);
        const IdxMessage message = c.emptyMessage ? IdxMessage(101, 93) : Message();
        EXPECT_EQ(c.result, c.message ? f.SendIndexMetadata(message) : f.SendIndexMetadata(c.pairs));
        ASSERT_EQ(c.record.empty() ? 0u : 1u, sink.RecordCount());
        if (!c.record.empty()) {
            EXPECT_EQ(PL_FS_IDX_METADATA, sink.RecordType(0));
            EXPECT_EQ(c.record, sink.RecordBytes(0));
        }
        EXPECT_EQ(0u, sink.Outstanding());
        EXPECT_EQ(c.failWrite ? -1 : 0, f.GetFailureCode());
        if (c.failWrite) {
            EXPECT_EQ("pipeline error during send buffer -1", f.GetFailureReason());
        }
    }
    // With the do-not-send hook nothing is written, and that is success.
    testfiles::ProcessStateGuard state;
    testfiles::WriteWholeFile(state.Hooks() / kHookDoNotSend, "");
    ASSERT_EQ(0, chmod((state.Hooks() / kHookDoNotSend).c_str(), 0600));
    MemoryRecordSink sink;
    KXArchive archive(&sink);
    RuxenFile f(&archive);
    f.initSendFlag();
    EXPECT_EQ(0, f.SendIndexMetadata(Message()));
    EXPECT_EQ(0u, sink.AllocateCalls());
}

}  // namespace
