#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <future>
#include <unistd.h>
#include <vector>

#include "platform/archive/ArchiveStreamReader.h"
#include "platform/archive/FileRecordSink.h"
#include "platform/archive/MemoryRecordSink.h"
#include "platform/base/TestControl.h"
#include "support/LogCapture.h"
#include "support/StreamBytes.h"
#include "support/TestFiles.h"

namespace {

using testfiles::LogCapture;
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

int WriteText(RecordSink& sink, uint32_t type, const std::string& text) {
    uint32_t granted = 0;
    char* p = sink.Allocate(static_cast<uint32_t>(text.size()), &granted);
    memcpy(p, text.data(), text.size());
    int rc = sink.Write(p, type, static_cast<uint32_t>(text.size()));
    if (rc != 0)
        sink.Free(p);
    return rc;
}

// The bytes of a stream, the end record and its counts included, and the
// memory sink's picture of the same records.
TEST(FileRecordSink, WritesTheExactFileLayoutWithItsEndRecord) {
    TempDir dir;
    std::string path = dir / "s.rxpl";
    FileRecordSink file;
    MemoryRecordSink mem;
    ASSERT_EQ(file.Open(path.c_str()), 0);
    LogCapture log;
    for (RecordSink* sink : {static_cast<RecordSink*>(&file), static_cast<RecordSink*>(&mem)}) {
        ASSERT_EQ(WriteText(*sink, 128, "abc"), 0);
        ASSERT_EQ(WriteText(*sink, 0x01020304, ""), 0);
        ASSERT_EQ(WriteText(*sink, 2, "xy"), 0);
        // Refused records are not counted, and no caller may forge the end.
        uint32_t granted = 0;
        char* p = sink->Allocate(5, &granted);
        EXPECT_NE(sink->Write(p, 2, 6), 0);
        EXPECT_NE(sink->Write(p, 0xFFFFFFFF, 5), 0);
        sink->Free(p);
        ASSERT_EQ(sink->Close(), 0);
    }
    const unsigned char expected[] = {
        'R', 'X', 'P', 'L', 0, 0, 0, 1,                       // magic, version 1
        0, 0, 0, 0x80, 0, 0, 0, 3, 'a', 'b', 'c',             // type 128, 3 bytes
        1, 2, 3, 4, 0, 0, 0, 0,                               // type 0x01020304, empty
        0, 0, 0, 2, 0, 0, 0, 2, 'x', 'y',                     // type 2, 2 bytes
        0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 20,                  // end record
        0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2,       // 1 item, 2 data bytes
        0, 0, 0, 0,                                           // status 0: complete
    };
    const std::string want(reinterpret_cast<const char*>(expected), sizeof(expected));
    EXPECT_EQ(ReadWholeFile(path), want);
    EXPECT_EQ(file.BytesWritten(), sizeof(expected));
    EXPECT_EQ(mem.Serialize(), want);

    // Abandoned without Close: the records are there, the end record is not.
    {
        FileRecordSink abandoned;
        ASSERT_EQ(abandoned.Open(path.c_str()), 0);
        ASSERT_EQ(WriteText(abandoned, 128, "abc"), 0);
    }
    EXPECT_EQ(ReadWholeFile(path), want.substr(0, 19));

    // A stream that did not do all it was given says why: the first reason
    // set stays, and a new stream starts complete.
    for (uint32_t first : {kStreamInterrupted, kStreamComplete}) {
        ASSERT_EQ(file.Open(path.c_str()), 0);
        file.SetEndStatus(first);
        if (first != kStreamComplete)
            file.SetEndStatus(kStreamListWriteFailed);
        ASSERT_EQ(file.Close(), 0);
        const std::string bytes = ReadWholeFile(path);
        EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\0\0\0", 3) + static_cast<char>(first));
    }
}

// Small records are staged, large ones go out with writev; interleaving
// them must keep every byte in order, through a file, through writes cut
// into pieces (a pipe that could not be grown), and through a pipe.
enum class Dest { kFile, kPieces, kOddPieces, kPipe };

class SinkRoundTrip : public ::testing::TestWithParam<Dest> {};

TEST_P(SinkRoundTrip, EveryByteArrivesInOrderAndIsCounted) {
    struct Planned {
        uint32_t type, length;
    };
    std::vector<Planned> plan = {
        {128, 1160}, {2, 0}, {2, 1}, {2, FileRecordSink::kDirectWriteBytes - 1},
        {2, FileRecordSink::kDirectWriteBytes}, {293, 4}, {2, 3 * 1024 * 1024 + 17}, {130, 0},
    };
    for (int i = 0; i < 2500; ++i)  // several megabytes of staged records
        plan.push_back({static_cast<uint32_t>(i % 2 ? 2 : 128), static_cast<uint32_t>(700 + i % 50)});
    plan.push_back({2, 300 * 1024});

    TempDir dir;
    std::string path = dir / "mix.rxpl";
    std::future<std::string> piped;  // outlives the sink, which ends the pipe
    FileRecordSink sink;
    if (GetParam() == Dest::kPipe) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(sink.Attach(fds[1], "pipe", true), 0);
        EXPECT_GE(fcntl(fds[1], F_GETPIPE_SZ), static_cast<int>(FileRecordSink::kPipeBytes));
        piped = std::async(std::launch::async, [fd = fds[0]] {
            std::string got;
            char buf[65536];
            ssize_t n;
            while ((n = read(fd, buf, sizeof(buf))) > 0)
                got.append(buf, static_cast<size_t>(n));
            close(fd);
            return got;
        });
    } else {
        if (GetParam() != Dest::kFile)  // taken when the sink starts
            ruxen::testcontrol::LimitRecordSinkWrites(GetParam() == Dest::kPieces ? FileRecordSink::kPipePieceBytes
                                                                                  : 4099);
        ASSERT_EQ(sink.Open(path.c_str()), 0);
        ruxen::testcontrol::LimitRecordSinkWrites(0);
    }
    for (size_t r = 0; r < plan.size(); ++r)
        ASSERT_EQ(WriteRecord(sink, plan[r].type, plan[r].length, r), 0) << "record " << r;
    EXPECT_EQ(sink.Outstanding(), 0u);
    ASSERT_EQ(sink.Close(), 0);
    std::string bytes = GetParam() == Dest::kPipe ? piped.get() : ReadWholeFile(path);
    EXPECT_EQ(bytes.size(), sink.BytesWritten());

    ArchiveStreamReader reader;
    ASSERT_TRUE(reader.OpenMemory(bytes.data(), bytes.size())) << reader.Error();
    ArchiveRecord rec;
    for (size_t r = 0; r < plan.size(); ++r) {
        ASSERT_EQ(reader.Next(&rec), ArchiveStreamReader::kRecord) << reader.Error();
        ASSERT_EQ(rec.type, plan[r].type) << "record " << r;
        const char* data = nullptr;
        size_t n = 0;
        ASSERT_TRUE(reader.ReadPayload(&data, &n)) << reader.Error();
        ASSERT_EQ(n, plan[r].length) << "record " << r;
        for (size_t i = 0; i < n; ++i)
            ASSERT_EQ(data[i], PatternByte(r, i)) << "record " << r << " byte " << i;
    }
    ASSERT_EQ(reader.Next(&rec), ArchiveStreamReader::kEnd) << reader.Error();
    EXPECT_EQ(reader.Tally().items, 1251u);
    EXPECT_EQ(reader.Tally().dataBytes, sink.Tally().dataBytes);
}

INSTANTIATE_TEST_SUITE_P(Destinations, SinkRoundTrip,
                         ::testing::Values(Dest::kFile, Dest::kPieces, Dest::kOddPieces, Dest::kPipe));

TEST(FileRecordSink, BufferContract) {
    FileRecordSink sink;
    ASSERT_EQ(sink.Open("/dev/null"), 0);
    for (uint32_t size : {0u, 1u, 4097u, 1000000u}) {
        uint32_t granted = 12345;
        char* p = sink.Allocate(size, &granted);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % kRecordBufferAlignment, 0u) << size;
        EXPECT_GE(granted, size);
        sink.Free(p);
    }
    LogCapture log;
    uint32_t granted = 0;
    EXPECT_EQ(sink.Allocate(kArchiveStreamMaxPayload + 1, &granted), nullptr);
    EXPECT_EQ(granted, 0u);
    char* p = sink.Allocate(100, &granted);
    EXPECT_EQ(sink.Write(p, 2, 100), 0);
    // Writing or freeing a consumed buffer, or a foreign one, is refused or harmless.
    EXPECT_NE(sink.Write(p, 2, 10), 0);
    sink.Free(p);
    sink.Free(nullptr);
    char stackBuf[16];
    EXPECT_NE(sink.Write(stackBuf, 2, 1), 0);
    EXPECT_EQ(sink.Outstanding(), 0u);
    EXPECT_EQ(sink.LastErrno(), 0);  // caller mistakes are not stream errors
    // Steady traffic reuses the pooled buffers.
    ASSERT_EQ(WriteRecord(sink, 2, 65536, 1), 0);
    uint64_t allocations = sink.SystemAllocations();
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(WriteRecord(sink, 2, 65536, 1), 0);
    EXPECT_EQ(sink.SystemAllocations(), allocations);
    EXPECT_EQ(sink.Close(), 0);
}

// A record that is staged fails at the flush, a large one at its own
// write; either way the error is logged, sticky, and the stream gets no
// end record.
TEST(FileRecordSink, WriteErrorsAreReportedAndSticky) {
    for (uint32_t length : {10u, FileRecordSink::kDirectWriteBytes}) {
        LogCapture log;
        FileRecordSink sink;
        ASSERT_EQ(sink.Open("/dev/full"), 0);
        int rc = WriteRecord(sink, 2, length, 0);
        if (length < FileRecordSink::kDirectWriteBytes) {
            EXPECT_EQ(rc, 0);
            EXPECT_NE(sink.Flush(), 0);
        } else {
            EXPECT_NE(rc, 0);
        }
        EXPECT_EQ(sink.LastErrno(), ENOSPC);
        std::string text = log.Take();
        EXPECT_NE(text.find("[/dev/full] failed, errno 28"), std::string::npos) << text;
        uint32_t granted = 0;
        char* p = sink.Allocate(10, &granted);
        EXPECT_NE(sink.Write(p, 2, 10), 0);
        EXPECT_EQ(sink.Outstanding(), 1u);  // still the caller's
        sink.Free(p);
        EXPECT_NE(sink.Flush(), 0);
        EXPECT_NE(sink.Close(), 0);
        EXPECT_NE(sink.Close(), 0);
    }

    TempDir dir;
    std::string path = dir / "ro";
    testfiles::WriteWholeFile(path, "");
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    LogCapture log;
    FileRecordSink sink;
    ASSERT_EQ(sink.Attach(fd, path.c_str(), true), 0);
    EXPECT_EQ(WriteRecord(sink, 2, 5, 0), 0);
    EXPECT_NE(sink.Close(), 0);
    EXPECT_EQ(sink.LastErrno(), EBADF);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the owned descriptor was closed
    EXPECT_EQ(ReadWholeFile(path), "");

    EXPECT_NE(sink.Open("/nonexistent-dir/y.rxpl"), 0);
    EXPECT_FALSE(sink.IsOpen());
    EXPECT_NE(log.Take().find("/nonexistent-dir/y.rxpl"), std::string::npos);
}

}  // namespace
