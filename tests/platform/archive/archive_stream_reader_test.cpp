#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "platform/archive/ArchiveStreamReader.h"
#include "support/StreamBytes.h"

namespace {

using testfiles::StreamEnd;
using testfiles::StreamPreamble;
using testfiles::StreamRecord;
using testfiles::U32;

// Every case runs once over memory and once over a descriptor of a real
// file, which take different read paths.
enum class Source { kMemory, kFile };

class ReaderSourceTest : public ::testing::TestWithParam<Source> {
protected:
    void TearDown() override {
        if (fd_ >= 0)
            close(fd_);
    }

    bool Open(const std::string& bytes) {
        bytes_ = bytes;
        if (GetParam() == Source::kMemory)
            return reader_.OpenMemory(bytes_.data(), bytes_.size(), "mem");
        if (fd_ >= 0)
            close(fd_);
        char tmpl[] = "/tmp/ruxen-reader-XXXXXX";
        fd_ = mkstemp(tmpl);
        unlink(tmpl);
        EXPECT_EQ(write(fd_, bytes_.data(), bytes_.size()), static_cast<ssize_t>(bytes_.size()));
        lseek(fd_, 0, SEEK_SET);
        return reader_.OpenFd(fd_, "file");
    }

    // Reads records (payloads read or skipped) until the end or an error;
    // answers the final status.
    ArchiveStreamReader::Status Drain(int* records, bool readPayloads = true) {
        *records = 0;
        ArchiveRecord r;
        for (;;) {
            ArchiveStreamReader::Status st = reader_.Next(&r);
            if (st != ArchiveStreamReader::kRecord)
                return st;
            const char* p;
            size_t n;
            if (readPayloads && !reader_.ReadPayload(&p, &n))
                return ArchiveStreamReader::kError;
            ++*records;
        }
    }

    ArchiveStreamReader reader_;
    std::string bytes_;
    int fd_ = -1;
};

TEST_P(ReaderSourceTest, ReadsRecordsWithOffsetsAndCounts) {
    ASSERT_TRUE(Open(StreamPreamble() + StreamRecord(128, "hdr") + StreamRecord(2, "abcde") +
                     StreamRecord(293, U32(4096)) + StreamEnd(1, 5)));
    ArchiveRecord r;
    const char* p;
    size_t n;
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kRecord);
    EXPECT_EQ(r.type, 128u);
    EXPECT_EQ(r.length, 3u);
    EXPECT_EQ(r.offset, 8u);
    ASSERT_TRUE(reader_.ReadPayload(&p, &n));
    EXPECT_EQ(std::string(p, n), "hdr");
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kRecord);
    EXPECT_EQ(r.offset, 19u);
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kRecord);  // payload left unread
    EXPECT_EQ(r.offset, 32u);
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kEnd) << reader_.Error();
    EXPECT_EQ(reader_.EndOffset(), 44u);
    EXPECT_EQ(reader_.Offset(), 72u);
    EXPECT_EQ(reader_.Tally().items, 1u);
    EXPECT_EQ(reader_.Tally().dataBytes, 5u);
    EXPECT_EQ(reader_.EndStatus(), 0u);
    EXPECT_EQ(reader_.Next(&r), ArchiveStreamReader::kEnd);
}

// The end record's status as written; an older writer's end record (16
// bytes) is read, its status unknown.
TEST_P(ReaderSourceTest, EndRecordStatusAndOlderEndRecords) {
    const struct {
        int64_t status;
        uint32_t length, want;
    } cases[] = {{0, 20, 0}, {1, 20, 1}, {4, 20, 4}, {77, 20, 77}, {-1, 16, kArchiveStreamStatusUnknown}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        ASSERT_TRUE(Open(StreamPreamble() + StreamRecord(128, "h") + StreamEnd(1, 0, c.status)));
        int records = 0;
        ASSERT_EQ(Drain(&records), ArchiveStreamReader::kEnd) << reader_.Error();
        EXPECT_EQ(reader_.EndLength(), c.length);
        EXPECT_EQ(reader_.EndStatus(), c.want);
        EXPECT_EQ(reader_.Offset(), 17u + 8 + c.length);
    }
}

// Streams that are cut, damaged or end wrongly: the error names the offset
// where the stream went wrong, whether the payloads are read or skipped.
TEST_P(ReaderSourceTest, MalformedStreamsAreErrors) {
    const std::string pre = StreamPreamble();
    struct Case {
        std::string bytes;
        int records;  // read before the error
        const char* error;
    } cases[] = {
        {std::string("RXPM", 4) + U32(1), -1, "bad magic at offset 0"},
        {std::string("RXPL", 4) + U32(2), -1, "unsupported format version 2 at offset 4"},
        {std::string("RXPL\0", 5), -1, "truncated stream: it ends at offset 5, inside the 8-byte preamble"},
        {"", -1, "ends at offset 0"},
        {pre, 0, "truncated stream: it ends at offset 8 without its end record"},
        {pre + StreamRecord(128, "h") + StreamRecord(130, ""), 2,
         "truncated stream: it ends at offset 25 without its end record"},
        {pre + StreamRecord(2, "ok") + U32(2) + U32(kArchiveStreamMaxPayload + 1) + "xyz", 1,
         "record at offset 18 (type 2): payload length 67108865 exceeds the maximum of 67108864"},
        {pre + U32(2) + U32(kArchiveStreamMaxPayload) + "xyz", 0,
         "truncated payload: record at offset 8 (type 2) declares 67108864 bytes, the stream ends at offset 19"},
        {pre + StreamRecord(130, "") + std::string("\0\0\0", 3), 1,
         "truncated record frame at offset 16: 3 of 8 bytes"},
        {pre + StreamRecord(2, "abcd") + U32(2) + U32(10) + "1234", 1,
         "record at offset 20 (type 2) declares 10 bytes, the stream ends at offset 32"},
        {pre + StreamRecord(128, "h") + StreamEnd(2, 0), 1,
         "end record at offset 17 counts 2 items and 0 data bytes; the stream holds 1 items and 0 data bytes"},
        {pre + StreamRecord(2, "abc") + StreamEnd(0, 4), 1, "counts 0 items and 4 data bytes"},
        {pre + StreamEnd(0, 0) + "x", 0, "bytes after the end record, from offset 36"},
        {pre + StreamEnd(0, 0, -1) + "x", 0, "bytes after the end record, from offset 32"},
        {pre + StreamRecord(0xFFFFFFFF, "short"), 0,
         "end record at offset 8: payload length 5, expected 20 (or 16 of an older writer)"},
        {pre + StreamEnd(0, 0).substr(0, 24), 0, "truncated end record at offset 8: 16 of 20 payload bytes"},
    };
    for (bool readPayloads : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.error);
            bool opened = Open(c.bytes);
            EXPECT_EQ(opened, c.records >= 0);
            int records = -1;
            if (opened) {
                EXPECT_EQ(Drain(&records, readPayloads), ArchiveStreamReader::kError);
                if (readPayloads) {  // a skipped payload is found cut one record later
                    EXPECT_EQ(records, c.records);
                }
            }
            EXPECT_NE(reader_.Error().find(c.error), std::string::npos) << reader_.Error();
            ArchiveRecord r;
            EXPECT_EQ(reader_.Next(&r), ArchiveStreamReader::kError);  // errors stay
        }
    }
}

TEST_P(ReaderSourceTest, LargePayloadsComeInChunksOrAreSkipped) {
    std::string big(3 * ArchiveStreamReader::kChunkBytes + 12345, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 13 + (i >> 16));
    const std::string stream =
        StreamPreamble() + StreamRecord(2, big) + StreamRecord(293, U32(77)) + StreamEnd(0, big.size());
    ASSERT_TRUE(Open(stream));
    ArchiveRecord r;
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kRecord);
    std::string joined;
    int chunks = 0;
    const char* p;
    size_t n;
    do {
        ASSERT_TRUE(reader_.ReadChunk(&p, &n)) << reader_.Error();
        EXPECT_LE(n, ArchiveStreamReader::kChunkBytes);
        joined.append(p, n);
        chunks += n > 0;
    } while (n > 0);
    EXPECT_EQ(chunks, 4);
    EXPECT_TRUE(joined == big);

    // Partly read, then skipped.
    ASSERT_TRUE(Open(stream));
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kRecord);
    ASSERT_TRUE(reader_.ReadChunk(&p, &n));
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kRecord);
    EXPECT_EQ(r.offset, 16 + big.size());
    ASSERT_TRUE(reader_.ReadPayload(&p, &n));
    EXPECT_EQ(std::string(p, n), U32(77));
    EXPECT_EQ(reader_.Next(&r), ArchiveStreamReader::kEnd) << reader_.Error();
}

INSTANTIATE_TEST_SUITE_P(Sources, ReaderSourceTest, ::testing::Values(Source::kMemory, Source::kFile),
                         [](const ::testing::TestParamInfo<Source>& info) {
                             return info.param == Source::kMemory ? "Memory" : "File";
                         });

TEST(ArchiveStreamReader, MissingFileIsAnError) {
    ArchiveStreamReader reader;
    EXPECT_FALSE(reader.OpenFile("/nonexistent/stream.rxpl"));
    EXPECT_NE(reader.Error().find("cannot open"), std::string::npos);
}

}  // namespace
