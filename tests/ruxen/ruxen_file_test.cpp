// The per-file object's own services: the buffer forms, the do-not-send
// scratch buffer, own-file matching, long-path test, escaping and the
// failure reason's bound.
#include "ruxen/RuxenFile.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/HookFiles.h"
#include "platform/KXArchive.h"
#include "platform/KxLog.h"
#include "platform/MemoryRecordSink.h"
#include "ruxen/PipelineRecordTypes.h"
#include "support/TestFiles.h"

namespace {

class RuxenFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        HookFiles::SetDirectoryForTest(m_hooks.path());
        KxLog::StartCapture();
    }
    void TearDown() override {
        KxLog::StopCapture();
        HookFiles::SetDirectoryForTest("");
    }
    testfiles::TempDir m_hooks{"ruxen_file_hooks"};
    MemoryRecordSink m_sink;
    KXArchive m_archive{&m_sink};
};

TEST_F(RuxenFileTest, BothBufferFormsReachTheSink) {
    RuxenFile f(&m_archive);
    AllocateBufArgs_t args{100, 0};
    AllocateBufRet_t ret{0};
    char* buf = f.AllocateKXArchiveBuffer(args, ret);
    ASSERT_NE(buf, nullptr);
    EXPECT_GE(ret.granted, 100u);
    memcpy(buf, "abc", 3);
    WriteBufArgs_t w{PL_FS_DATA, 3};
    WriteBufRet_t wr{-7};
    EXPECT_EQ(f.WriteKXArchiveBuffer(w, wr), 0);
    EXPECT_EQ(wr.status, 0);
    ASSERT_EQ(m_sink.RecordCount(), 1u);
    EXPECT_EQ(m_sink.RecordBytes(0), "abc");

    // A failed write leaves the buffer; freeing it twice is harmless.
    unsigned granted = 0;
    ASSERT_NE(f.AllocateKXArchiveBuffer(10, &granted), nullptr);
    m_sink.FailWrite(m_sink.WriteCalls() + 1);
    EXPECT_NE(f.WriteKXArchiveBuffer(PL_FS_DATA, 10), 0);
    EXPECT_EQ(m_sink.Outstanding(), 1u);
    f.FreeKXArchiveBuffer();
    f.FreeKXArchiveBuffer();
    EXPECT_EQ(m_sink.Outstanding(), 0u);

    // No sink behind the object: no buffer.
    RuxenFile none(static_cast<KXArchive*>(nullptr));
    EXPECT_EQ(none.AllocateKXArchiveBuffer(10, &granted), nullptr);
    EXPECT_EQ(granted, 0u);
}

TEST_F(RuxenFileTest, DoNotSendHookUsesAScratchBufferThatGrows) {
    testfiles::WriteWholeFile(m_hooks / "KX.ruxen.do.not.send", "");
    RuxenFile f(&m_archive);
    f.initSendFlag();
    ASSERT_FALSE(f.IsSendOn());
    unsigned granted = 0;
    char* small = f.AllocateKXArchiveBuffer(10, &granted);
    ASSERT_NE(small, nullptr);
    EXPECT_GE(granted, 10u);
    // Larger than the old fixed 66000 bytes: the scratch buffer grows.
    char* big = f.AllocateKXArchiveBuffer(1 << 20, &granted);
    ASSERT_NE(big, nullptr);
    EXPECT_GE(granted, 1u << 20);
    big[(1 << 20) - 1] = 'x';  // the whole grant is writable
    EXPECT_EQ(f.WriteKXArchiveBuffer(PL_FS_DATA, 1 << 20), 0);
    EXPECT_EQ(m_sink.RecordCount(), 0u);
    EXPECT_EQ(m_sink.AllocateCalls(), 0u);

    testfiles::RemoveTree(m_hooks / "KX.ruxen.do.not.send");
    f.initSendFlag();
    EXPECT_TRUE(f.IsSendOn());
}

TEST_F(RuxenFileTest, OwnFilesMatchWholeComponents) {
    RuxenFile f(&m_archive);
    f.SetOwnDirectories({"/var/ruxen/", "/jobs/out.rxpl"});
    EXPECT_TRUE(f.iswendaxFile("/var/ruxen"));
    EXPECT_TRUE(f.iswendaxFile("/var/ruxen/log/x"));
    EXPECT_FALSE(f.iswendaxFile("/var/ruxenx"));
    EXPECT_FALSE(f.iswendaxFile("/var/rux"));
    EXPECT_TRUE(f.iswendaxFile("/jobs/out.rxpl"));
    EXPECT_FALSE(f.iswendaxFile("/jobs/out.rxpl2"));
    EXPECT_FALSE(f.iswendaxFile(nullptr));
}

TEST_F(RuxenFileTest, EscapingAndTheFailureReasonBound) {
    RuxenFile f(&m_archive);
    EXPECT_STREQ(f.escapeFileName("/a\nb%c\r"), "/a%0Ab%25c%0D");
    f.setFailureReason(13, "%s", std::string(5000, 'r').c_str());
    EXPECT_EQ(f.GetFailureCode(), 13);
    EXPECT_EQ(f.GetFailureReason().size(), 2046u);
}

}  // namespace
