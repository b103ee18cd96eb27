#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/ArchiveStreamReader.h"
#include "platform/CPipelayer.h"
#include "platform/FileRecordSink.h"
#include "platform/KXArchive.h"
#include "platform/KxLog.h"
#include "platform/MemoryRecordSink.h"

namespace {

bool Aligned(const char* p) { return reinterpret_cast<uintptr_t>(p) % kRecordBufferAlignment == 0; }

class QuietLog {
public:
    QuietLog() { KxLog::StartCapture(); }
    ~QuietLog() { KxLog::StopCapture(); }
};

TEST(KXArchive, DataBufferIsSentAndConsumed) {
    MemoryRecordSink sink;
    KXArchive archive(&sink);
    unsigned granted = 0;
    char* p = archive.AllocateDataBuffer(1160, &granted);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(Aligned(p));
    EXPECT_GE(granted, 1160u);
    memcpy(p, "header", 6);
    EXPECT_EQ(archive.WriteDataBuffer(128, 6), 0);
    EXPECT_EQ(archive.CurrentDataBuffer(), nullptr);
    ASSERT_EQ(sink.RecordCount(), 1u);
    EXPECT_EQ(sink.RecordType(0), 128u);
    EXPECT_EQ(sink.RecordBytes(0), "header");
    EXPECT_EQ(sink.Outstanding(), 0u);

    // Nothing held: a write fails, a free is harmless.
    QuietLog quiet;
    EXPECT_NE(archive.WriteDataBuffer(2, 0), 0);
    archive.FreeDataBuffer();
    EXPECT_EQ(sink.Frees(), 0u);
}

TEST(KXArchive, ZeroByteRecord) {
    MemoryRecordSink sink;
    KXArchive archive(&sink);
    unsigned granted = 99;
    ASSERT_NE(archive.AllocateDataBuffer(0, &granted), nullptr);
    EXPECT_EQ(granted, 0u);
    EXPECT_EQ(archive.WriteDataBuffer(130, 0), 0);
    ASSERT_EQ(sink.RecordCount(), 1u);
    EXPECT_TRUE(sink.RecordBytes(0).empty());
}

TEST(KXArchive, FailedWriteLeavesTheBufferWithTheCaller) {
    QuietLog quiet;
    MemoryRecordSink sink;
    sink.FailWrite(1);
    KXArchive archive(&sink);
    unsigned granted = 0;
    char* p = archive.AllocateDataBuffer(10, &granted);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(archive.WriteDataBuffer(2, 10), 0);
    EXPECT_EQ(archive.CurrentDataBuffer(), p);
    EXPECT_EQ(sink.Outstanding(), 1u);
    // A length beyond the grant is refused too, and the buffer still held.
    EXPECT_NE(archive.WriteDataBuffer(2, granted + 1), 0);
    EXPECT_EQ(sink.Outstanding(), 1u);
    archive.FreeDataBuffer();
    archive.FreeDataBuffer();
    EXPECT_EQ(sink.Frees(), 1u);
    EXPECT_EQ(sink.Outstanding(), 0u);
    EXPECT_EQ(sink.RecordCount(), 0u);
}

TEST(KXArchive, AllocationFailuresAnswerNull) {
    QuietLog quiet;
    MemoryRecordSink sink;
    KXArchive archive(&sink);
    sink.FailAllocation(1);
    unsigned granted = 5;
    EXPECT_EQ(archive.AllocateDataBuffer(100, &granted), nullptr);
    EXPECT_EQ(granted, 0u);
    // A short grant is never passed on: the buffer goes back and the answer
    // is null.
    sink.ShortGrant(2, 50);
    EXPECT_EQ(archive.AllocateDataBuffer(100, &granted), nullptr);
    EXPECT_EQ(granted, 0u);
    EXPECT_EQ(sink.Outstanding(), 0u);
    sink.ShortGrantAbove(4096);
    EXPECT_EQ(archive.allocateCmdBuffer(8192), nullptr);
    EXPECT_NE(archive.allocateCmdBuffer(4), nullptr);
    archive.freeCmdBuffer();
    EXPECT_EQ(sink.Outstanding(), 0u);
    KXArchive noSink(nullptr);
    EXPECT_EQ(noSink.AllocateDataBuffer(1, &granted), nullptr);
}

TEST(KXArchive, ReplacedOrAbandonedBuffersDoNotLeak) {
    MemoryRecordSink sink;
    {
        KXArchive archive(&sink);
        unsigned granted = 0;
        ASSERT_NE(archive.AllocateDataBuffer(100, &granted), nullptr);
        char* second = archive.AllocateDataBuffer(200, &granted);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(sink.Outstanding(), 1u);
        EXPECT_EQ(archive.CurrentDataBuffer(), second);
        ASSERT_NE(archive.allocateCmdBuffer(4), nullptr);
        EXPECT_EQ(sink.Outstanding(), 2u);
    }
    EXPECT_EQ(sink.Outstanding(), 0u);
}

TEST(KXArchive, CommandBufferIsSentAndFlushed) {
    MemoryRecordSink sink;
    KXArchive archive(&sink);
    char* cmd = archive.allocateCmdBuffer(4);
    ASSERT_NE(cmd, nullptr);
    EXPECT_TRUE(Aligned(cmd));
    uint32_t one = htonl(1);
    memcpy(cmd, &one, 4);
    EXPECT_EQ(archive.writeSyncBuffer(329, 4), 0);
    EXPECT_EQ(sink.FlushCalls(), 1u);
    ASSERT_EQ(sink.RecordCount(), 1u);
    EXPECT_EQ(sink.RecordType(0), 329u);
    EXPECT_EQ(sink.RecordBytes(0), std::string("\0\0\0\1", 4));
    EXPECT_EQ(sink.Outstanding(), 0u);
}

TEST(KXArchive, CommandFailuresAreReported) {
    QuietLog quiet;
    MemoryRecordSink sink;
    KXArchive archive(&sink);
    EXPECT_NE(archive.writeSyncBuffer(329, 4), 0);  // no buffer

    sink.FailWrite(1);
    ASSERT_NE(archive.allocateCmdBuffer(4), nullptr);
    EXPECT_NE(archive.writeSyncBuffer(329, 4), 0);
    EXPECT_EQ(sink.Outstanding(), 1u);  // held until freed
    archive.freeCmdBuffer();
    EXPECT_EQ(sink.Outstanding(), 0u);

    // The record went out but no answer came: still a failure.
    sink.FailFlush(1);
    ASSERT_NE(archive.allocateCmdBuffer(4), nullptr);
    EXPECT_NE(archive.writeSyncBuffer(329, 4), 0);
    EXPECT_EQ(sink.Outstanding(), 0u);
}

TEST(KXArchive, FileSignatureIsCopiedAndCleared) {
    KXArchive archive(nullptr);
    EXPECT_FALSE(archive.HasFileSignatureData());
    char text[] = "name_client_1_2_3_4_5-extra";
    archive.SetFileSignatureData(text, 21);
    text[0] = 'X';
    EXPECT_TRUE(archive.HasFileSignatureData());
    EXPECT_EQ(archive.GetFileSignatureData(), "name_client_1_2_3_4_5");
    archive.SetFileSignatureData(nullptr, -1);
    EXPECT_FALSE(archive.HasFileSignatureData());
    EXPECT_EQ(archive.GetFileSignatureData(), "");
    archive.SetFileSignatureData("abc", 3);
    archive.SetFileSignatureData("abc", -1);
    EXPECT_FALSE(archive.HasFileSignatureData());

    EXPECT_EQ(archive.GetArchiveFileNumber(), 0u);
    archive.SetArchiveFileNumber(4711);
    EXPECT_EQ(archive.GetArchiveFileNumber(), 4711u);
}

TEST(KXArchive, RecordsReachAStreamFile) {
    std::string path = (std::filesystem::temp_directory_path() / "ruxen-kxarchive.rxpl").string();
    {
        FileRecordSink sink;
        ASSERT_EQ(sink.Open(path.c_str()), 0);
        KXArchive archive(&sink);
        unsigned granted = 0;
        char* p = archive.AllocateDataBuffer(5, &granted);
        ASSERT_NE(p, nullptr);
        memcpy(p, "hello", 5);
        ASSERT_EQ(archive.WriteDataBuffer(2, 5), 0);
        char* cmd = archive.allocateCmdBuffer(4);
        ASSERT_NE(cmd, nullptr);
        memset(cmd, 0, 4);
        ASSERT_EQ(archive.writeSyncBuffer(329, 4), 0);
        // Synchronous: the command is in the file before the sink closes.
        EXPECT_EQ(std::filesystem::file_size(path), 8u + 13u + 12u);
        ASSERT_EQ(sink.Close(), 0);
    }
    ArchiveStreamReader reader;
    ASSERT_TRUE(reader.OpenFile(path.c_str()));
    ArchiveRecord r;
    ASSERT_EQ(reader.Next(&r), ArchiveStreamReader::kRecord);
    EXPECT_EQ(r.type, 2u);
    ASSERT_EQ(reader.Next(&r), ArchiveStreamReader::kRecord);
    EXPECT_EQ(r.type, 329u);
    EXPECT_EQ(reader.Next(&r), ArchiveStreamReader::kEnd);
    std::filesystem::remove(path);
}

TEST(CPipelayer, TagDataFollowsTheHeldBuffer) {
    MemoryRecordSink sink;
    CPipelayer layer(&sink);
    EXPECT_EQ(layer.GetCurrentTagDataPtr(), nullptr);
    unsigned granted = 0;
    char* p = layer.AllocateDataBuffer(1160, &granted);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(Aligned(p));
    EXPECT_GE(granted, 1160u);
    EXPECT_EQ(layer.GetCurrentTagDataPtr(), p);
    // The header sender reads the name length at offset 12, network order.
    memset(p, 0, 1160);
    uint32_t nameLen = htonl(9);
    memcpy(p + 12, &nameLen, 4);
    uint32_t read;
    memcpy(&read, layer.GetCurrentTagDataPtr() + 12, 4);
    EXPECT_EQ(ntohl(read), 9u);
    EXPECT_EQ(layer.SendDataBuffer(128, 133 + 9), 0);
    EXPECT_EQ(layer.GetCurrentTagDataPtr(), nullptr);
    ASSERT_EQ(sink.RecordCount(), 1u);
    EXPECT_EQ(sink.RecordBytes(0).size(), 142u);
}

TEST(CPipelayer, FailedSendKeepsTheBufferAndFreeIsIdempotent) {
    QuietLog quiet;
    MemoryRecordSink sink;
    sink.FailWrite(1);
    {
        CPipelayer layer(&sink);
        unsigned granted = 0;
        char* p = layer.AllocateDataBuffer(1160, &granted);
        ASSERT_NE(p, nullptr);
        EXPECT_NE(layer.SendDataBuffer(128, 1160), 0);
        EXPECT_EQ(layer.GetCurrentTagDataPtr(), p);
        // A header of a 1027-character name measures 133 + 1028 = 1161
        // bytes: more than a 1160-byte buffer holds, so it is refused.
        EXPECT_NE(layer.SendDataBuffer(128, 1161), 0);
        EXPECT_EQ(sink.Outstanding(), 1u);
        layer.FreeDataBuffer();
        layer.FreeDataBuffer();
        EXPECT_EQ(layer.GetCurrentTagDataPtr(), nullptr);
        EXPECT_EQ(sink.Outstanding(), 0u);
        EXPECT_NE(layer.SendDataBuffer(2, 0), 0);

        sink.ShortGrant(2, 10);
        EXPECT_EQ(layer.AllocateDataBuffer(100, &granted), nullptr);
        EXPECT_EQ(layer.GetCurrentTagDataPtr(), nullptr);
        ASSERT_NE(layer.AllocateDataBuffer(100, &granted), nullptr);
    }
    EXPECT_EQ(sink.Outstanding(), 0u);  // the destructor gave the held buffer back
}

}  // namespace
