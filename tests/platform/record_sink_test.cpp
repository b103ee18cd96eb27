#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/ArchiveStreamFormat.h"
#include "platform/ArchiveStreamReader.h"
#include "platform/FileRecordSink.h"
#include "platform/KxLog.h"
#include "platform/MemoryRecordSink.h"
#include "support/TestFiles.h"

namespace {

using testfiles::ReadWholeFile;
using testfiles::TempDir;

// Payload byte i of record r: differs between records and positions, so a
// swapped, shifted or dropped byte shows.
char PatternByte(size_t r, size_t i) { return static_cast<char>((r * 131 + i * 7 + (i >> 9)) & 0xff); }

int WriteRecord(RecordSink& sink, uint32_t type, uint32_t length, size_t patternId) {
    uint32_t granted = 0;
    char* p = sink.Allocate(length, &granted);
    if (!p)
        return -100;
    for (uint32_t i = 0; i < length; ++i)
        p[i] = PatternByte(patternId, i);
    int rc = sink.Write(p, type, length);
    if (rc != 0)
        sink.Free(p);
    return rc;
}

struct Planned {
    uint32_t type;
    uint32_t length;
};

TEST(FileRecordSink, WritesTheExactFileLayout) {
    TempDir dir;
    std::string path = dir / "s.rxpl";
    FileRecordSink sink;
    ASSERT_EQ(sink.Open(path.c_str()), 0);
    uint32_t granted = 0;
    char* p = sink.Allocate(3, &granted);
    ASSERT_NE(p, nullptr);
    memcpy(p, "abc", 3);
    ASSERT_EQ(sink.Write(p, 128, 3), 0);
    p = sink.Allocate(0, &granted);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(sink.Write(p, 0x01020304, 0), 0);
    ASSERT_EQ(sink.Close(), 0);

    const unsigned char expected[] = {
        'R', 'X', 'P', 'L', 0x00, 0x00, 0x00, 0x01,              // magic, version 1
        0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x03, 'a', 'b', 'c',  // type 128, 3 bytes
        0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x00,          // type 0x01020304, empty
    };
    std::string bytes = ReadWholeFile(path);
    ASSERT_EQ(bytes.size(), sizeof(expected));
    EXPECT_EQ(memcmp(bytes.data(), expected, sizeof(expected)), 0);
    EXPECT_EQ(sink.BytesWritten(), sizeof(expected));
}

// Small records are staged, large ones go out with writev; interleaving
// them must keep every byte in order.
TEST(FileRecordSink, InterleavedSmallAndLargeRecordsRoundTrip) {
    std::vector<Planned> plan = {
        {128, 1160}, {2, 0}, {2, 1}, {2, FileRecordSink::kDirectWriteBytes - 1},
        {2, FileRecordSink::kDirectWriteBytes}, {293, 4}, {2, 3 * 1024 * 1024 + 17}, {130, 0},
    };
    for (int i = 0; i < 2500; ++i)  // several megabytes of staged records
        plan.push_back({static_cast<uint32_t>(i % 2 ? 2 : 159), static_cast<uint32_t>(700 + i % 50)});
    plan.push_back({2, 300 * 1024});
    plan.push_back({130, 5});

    TempDir dir;
    std::string path = dir / "mix.rxpl";
    FileRecordSink sink;
    ASSERT_EQ(sink.Open(path.c_str()), 0);
    for (size_t r = 0; r < plan.size(); ++r)
        ASSERT_EQ(WriteRecord(sink, plan[r].type, plan[r].length, r), 0) << "record " << r;
    EXPECT_EQ(sink.Outstanding(), 0u);
    ASSERT_EQ(sink.Close(), 0);

    ArchiveStreamReader reader;
    ASSERT_TRUE(reader.OpenFile(path.c_str())) << reader.Error();
    uint64_t expectOffset = kArchiveStreamPreambleSize;
    for (size_t r = 0; r < plan.size(); ++r) {
        ArchiveRecord rec;
        ASSERT_EQ(reader.Next(&rec), ArchiveStreamReader::kRecord) << reader.Error();
        ASSERT_EQ(rec.type, plan[r].type) << "record " << r;
        ASSERT_EQ(rec.length, plan[r].length) << "record " << r;
        ASSERT_EQ(rec.offset, expectOffset);
        const char* data = nullptr;
        size_t n = 0;
        ASSERT_TRUE(reader.ReadPayload(&data, &n)) << reader.Error();
        ASSERT_EQ(n, plan[r].length);
        for (size_t i = 0; i < n; ++i)
            ASSERT_EQ(data[i], PatternByte(r, i)) << "record " << r << " byte " << i;
        expectOffset += kArchiveStreamFrameSize + n;
    }
    ArchiveRecord rec;
    EXPECT_EQ(reader.Next(&rec), ArchiveStreamReader::kEnd);
    EXPECT_EQ(sink.BytesWritten(), expectOffset);
    EXPECT_EQ(std::filesystem::file_size(path), expectOffset);
}

// Small records wait in the staging buffer until a megabyte has gathered;
// a large record takes everything staged out with it.
TEST(FileRecordSink, StagesSmallRecordsAndWritesLargeOnesAtOnce) {
    TempDir dir;
    std::string path = dir / "stage.rxpl";
    FileRecordSink sink;
    ASSERT_EQ(sink.Open(path.c_str()), 0);
    uint64_t total = kArchiveStreamPreambleSize;
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(WriteRecord(sink, 2, 1000, i), 0);
        total += 8 + 1000;
    }
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_EQ(sink.BytesWritten(), 0u);
    while (total < FileRecordSink::kStageFlushBytes) {
        ASSERT_EQ(WriteRecord(sink, 2, 1000, 0), 0);
        total += 8 + 1000;
    }
    // The record that crossed the megabyte went out with all before it.
    EXPECT_EQ(std::filesystem::file_size(path), total);
    ASSERT_EQ(WriteRecord(sink, 130, 0, 0), 0);
    total += 8;
    EXPECT_EQ(std::filesystem::file_size(path), total - 8);
    ASSERT_EQ(WriteRecord(sink, 2, FileRecordSink::kDirectWriteBytes, 0), 0);
    total += 8 + FileRecordSink::kDirectWriteBytes;
    EXPECT_EQ(std::filesystem::file_size(path), total);
    ASSERT_EQ(WriteRecord(sink, 130, 0, 0), 0);
    ASSERT_EQ(sink.Flush(), 0);
    EXPECT_EQ(std::filesystem::file_size(path), total + 8);
    EXPECT_EQ(sink.Close(), 0);
}

TEST(FileRecordSink, BufferContract) {
    FileRecordSink sink;
    ASSERT_EQ(sink.Open("/dev/null"), 0);
    for (uint32_t size : {0u, 1u, 4096u, 4097u, 1000000u}) {
        uint32_t granted = 12345;
        char* p = sink.Allocate(size, &granted);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4096, 0u) << size;
        EXPECT_GE(granted, size);
        sink.Free(p);
    }
    uint32_t granted = 0;
    EXPECT_EQ(sink.Allocate(kArchiveStreamMaxPayload + 1, &granted), nullptr);
    EXPECT_EQ(granted, 0u);

    // A length above the grant is refused and the buffer stays allocated.
    char* p = sink.Allocate(100, &granted);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(sink.Write(p, 2, 101), 0);
    EXPECT_EQ(sink.Outstanding(), 1u);
    EXPECT_EQ(sink.Write(p, 2, 100), 0);
    EXPECT_EQ(sink.Outstanding(), 0u);
    // Writing or freeing a consumed buffer, or null, is refused or harmless.
    EXPECT_NE(sink.Write(p, 2, 10), 0);
    sink.Free(p);
    sink.Free(nullptr);
    char stackBuf[16];
    EXPECT_NE(sink.Write(stackBuf, 2, 1), 0);
    EXPECT_EQ(sink.Outstanding(), 0u);
    EXPECT_EQ(sink.LastErrno(), 0);  // caller mistakes are not stream errors
    EXPECT_EQ(sink.Close(), 0);
}

TEST(FileRecordSink, SteadyTrafficReusesBuffers) {
    MemoryRecordSink mem;
    FileRecordSink sink;
    ASSERT_EQ(sink.Open("/dev/null"), 0);
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(WriteRecord(sink, 2, 65536, 1), 0);
        ASSERT_EQ(WriteRecord(mem, 2, 100 + i % 3, 1), 0);
    }
    EXPECT_EQ(sink.Close(), 0);
    EXPECT_LE(sink.SystemAllocations(), 1u);
    EXPECT_LE(mem.SystemAllocations(), 1u);
}

TEST(FileRecordSink, WriteErrorIsReportedAndSticky) {
    KxLog::StartCapture();
    FileRecordSink sink;
    ASSERT_EQ(sink.Open("/dev/full"), 0);
    // A staged record is accepted; the flush that pushes it out fails.
    EXPECT_EQ(WriteRecord(sink, 2, 10, 0), 0);
    EXPECT_NE(sink.Flush(), 0);
    EXPECT_EQ(sink.LastErrno(), ENOSPC);
    std::string log = KxLog::TakeCaptured();
    EXPECT_NE(log.find("/dev/full"), std::string::npos) << log;
    EXPECT_NE(log.find("errno 28"), std::string::npos) << log;

    // Sticky: later writes fail, and their buffers stay with the caller.
    uint32_t granted = 0;
    char* p = sink.Allocate(10, &granted);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(sink.Write(p, 2, 10), 0);
    EXPECT_EQ(sink.Outstanding(), 1u);
    sink.Free(p);
    EXPECT_EQ(sink.Outstanding(), 0u);
    EXPECT_NE(sink.Flush(), 0);
    EXPECT_NE(sink.Close(), 0);
    EXPECT_NE(sink.Close(), 0);
    KxLog::StopCapture();
}

TEST(FileRecordSink, LargeWriteErrorFailsThatWrite) {
    KxLog::StartCapture();
    FileRecordSink sink;
    ASSERT_EQ(sink.Open("/dev/full"), 0);
    uint32_t granted = 0;
    char* p = sink.Allocate(FileRecordSink::kDirectWriteBytes, &granted);
    ASSERT_NE(p, nullptr);
    memset(p, 'x', granted);
    EXPECT_NE(sink.Write(p, 2, granted), 0);
    EXPECT_EQ(sink.Outstanding(), 1u);
    sink.Free(p);
    EXPECT_NE(WriteRecord(sink, 2, 1, 0), 0);
    EXPECT_NE(sink.Close(), 0);
    KxLog::StopCapture();
}

TEST(FileRecordSink, ReadOnlyDescriptorFailsOnFlushAndClose) {
    TempDir dir;
    std::string path = dir / "ro";
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    KxLog::StartCapture();
    FileRecordSink sink;
    ASSERT_EQ(sink.Attach(fd, path.c_str(), true), 0);
    EXPECT_EQ(WriteRecord(sink, 2, 5, 0), 0);
    EXPECT_NE(sink.Close(), 0);
    EXPECT_EQ(sink.LastErrno(), EBADF);
    std::string log = KxLog::TakeCaptured();
    EXPECT_NE(log.find(path), std::string::npos) << log;
    KxLog::StopCapture();
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // owned descriptor was closed
    EXPECT_NE(WriteRecord(sink, 2, 5, 0), 0);
}

TEST(FileRecordSink, OpenFailureIsReported) {
    KxLog::StartCapture();
    FileRecordSink sink;
    EXPECT_NE(sink.Open("/nonexistent-dir/x/y.rxpl"), 0);
    EXPECT_FALSE(sink.IsOpen());
    EXPECT_NE(WriteRecord(sink, 2, 5, 0), 0);
    EXPECT_NE(KxLog::TakeCaptured().find("/nonexistent-dir/x/y.rxpl"), std::string::npos);
    KxLog::StopCapture();
}

TEST(MemoryRecordSink, KeepsRecordsAndSerialisesLikeTheFileSink) {
    TempDir dir;
    std::string path = dir / "m.rxpl";
    FileRecordSink file;
    MemoryRecordSink mem;
    ASSERT_EQ(file.Open(path.c_str()), 0);
    const Planned plan[] = {{128, 1160}, {2, 300000}, {293, 4}, {130, 0}, {149, 9}};
    for (size_t r = 0; r < sizeof(plan) / sizeof(plan[0]); ++r) {
        ASSERT_EQ(WriteRecord(file, plan[r].type, plan[r].length, r), 0);
        ASSERT_EQ(WriteRecord(mem, plan[r].type, plan[r].length, r), 0);
    }
    ASSERT_EQ(file.Close(), 0);
    ASSERT_EQ(mem.RecordCount(), 5u);
    EXPECT_EQ(mem.RecordType(1), 2u);
    ASSERT_EQ(mem.RecordBytes(1).size(), 300000u);
    EXPECT_EQ(mem.RecordBytes(1)[299999], PatternByte(1, 299999));
    EXPECT_EQ(mem.Serialize(), ReadWholeFile(path));
}

TEST(MemoryRecordSink, InjectedAllocationFailure) {
    MemoryRecordSink sink;
    sink.FailAllocation(2);
    uint32_t granted = 7;
    char* a = sink.Allocate(10, &granted);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(sink.Allocate(10, &granted), nullptr);
    EXPECT_EQ(granted, 0u);
    char* c = sink.Allocate(10, &granted);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(sink.AllocateCalls(), 3u);
    EXPECT_EQ(sink.Allocations(), 2u);
    EXPECT_EQ(sink.Outstanding(), 2u);
    sink.Free(a);
    sink.Free(c);
    EXPECT_EQ(sink.Frees(), 2u);
    EXPECT_EQ(sink.Outstanding(), 0u);
}

TEST(MemoryRecordSink, InjectedWriteFailureLeavesTheBuffer) {
    MemoryRecordSink sink;
    sink.FailWrite(1);
    uint32_t granted = 0;
    char* p = sink.Allocate(4, &granted);
    ASSERT_NE(p, nullptr);
    memcpy(p, "wxyz", 4);
    EXPECT_NE(sink.Write(p, 2, 4), 0);
    EXPECT_EQ(sink.RecordCount(), 0u);
    EXPECT_EQ(sink.Outstanding(), 1u);
    // The buffer is still the caller's: a second attempt sends it.
    EXPECT_EQ(sink.Write(p, 2, 4), 0);
    ASSERT_EQ(sink.RecordCount(), 1u);
    EXPECT_EQ(sink.RecordBytes(0), "wxyz");
    EXPECT_EQ(sink.WriteCalls(), 2u);
    EXPECT_EQ(sink.Writes(), 1u);
    EXPECT_EQ(sink.Outstanding(), 0u);
    sink.Free(p);  // already consumed: harmless
    EXPECT_EQ(sink.Frees(), 0u);
}

TEST(MemoryRecordSink, InjectedShortGrants) {
    MemoryRecordSink sink;
    sink.ShortGrant(2, 100);
    uint32_t granted = 0;
    char* a = sink.Allocate(1000, &granted);
    EXPECT_EQ(granted, 1000u);
    char* b = sink.Allocate(1000, &granted);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(granted, 100u);
    EXPECT_NE(sink.Write(b, 2, 101), 0);  // beyond the grant
    EXPECT_EQ(sink.Write(b, 2, 100), 0);
    sink.Free(a);

    sink.ShortGrantAbove(4096);
    char* c = sink.Allocate(8192, &granted);
    EXPECT_EQ(granted, 4096u);
    sink.Free(c);
    char* d = sink.Allocate(50, &granted);
    EXPECT_EQ(granted, 50u);
    sink.Free(d);
    sink.ShortGrantAbove(0);
    char* e = sink.Allocate(8192, &granted);
    EXPECT_EQ(granted, 8192u);
    sink.Free(e);
    EXPECT_EQ(sink.Outstanding(), 0u);
}

TEST(MemoryRecordSink, InjectedFlushFailureAndClose) {
    MemoryRecordSink sink;
    sink.FailFlush(2);
    EXPECT_EQ(sink.Flush(), 0);
    EXPECT_NE(sink.Flush(), 0);
    EXPECT_EQ(sink.Flush(), 0);
    EXPECT_EQ(sink.Close(), 0);
    EXPECT_TRUE(sink.IsClosed());
    uint32_t granted = 0;
    char* p = sink.Allocate(1, &granted);
    EXPECT_NE(sink.Write(p, 2, 1), 0);
    sink.Free(p);
    EXPECT_EQ(sink.Outstanding(), 0u);
}

}  // namespace
