// The per-file object's own services: the buffer forms, the do-not-send
// scratch buffer, own-file matching, escaping and the failure reason's bound.
#include "ruxen/RuxenFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "platform/KXArchive.h"
#include "platform/MemoryRecordSink.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenMessages.h"
#include "support/ProcessState.h"

namespace {

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

TEST(RuxenFileNames, OwnFilesMatchWholeComponents) {
    RuxenFile f(static_cast<KXArchive*>(nullptr));
    f.SetOwnDirectories({"/var/ruxen/", "/jobs/out.rxpl"});
    for (const char* p : {"/var/ruxen", "/var/ruxen/log/x", "/jobs/out.rxpl"})
        EXPECT_TRUE(f.iswendaxFile(p)) << p;
    for (const char* p : {"/var/ruxenx", "/var/rux", "/jobs/out.rxpl2", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(f.iswendaxFile(p)) << (p ? p : "null");
}

TEST(RuxenFileNames, EscapingAndTheFailureReasonBound) {
    RuxenFile f(static_cast<KXArchive*>(nullptr));
    EXPECT_STREQ("/a%0Ab%25c%0D", f.escapeFileName("/a\nb%c\r"));
    f.setFailureReason(13, "%s", std::string(5000, 'r').c_str());
    EXPECT_EQ(13, f.GetFailureCode());
    EXPECT_EQ(2046u, f.GetFailureReason().size());
}

}  // namespace
