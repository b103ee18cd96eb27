#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "platform/ArchiveStreamFormat.h"
#include "platform/ArchiveStreamReader.h"

namespace {

std::string U32(uint32_t v) {
    uint32_t n = htonl(v);
    return std::string(reinterpret_cast<const char*>(&n), 4);
}

std::string Preamble() { return std::string("RXPL", 4) + U32(1); }

std::string Record(uint32_t type, const std::string& payload) {
    return U32(type) + U32(static_cast<uint32_t>(payload.size())) + payload;
}

// Every case runs once over memory and once over a descriptor of a real
// file, which take different read paths.
enum class Source { kMemory, kFile };

class ReaderSourceTest : public ::testing::TestWithParam<Source> {
protected:
    void TearDown() override {
        if (!path_.empty())
            unlink(path_.c_str());
        if (fd_ >= 0)
            close(fd_);
    }

    bool Open(const std::string& bytes) {
        bytes_ = bytes;
        if (GetParam() == Source::kMemory)
            return reader_.OpenMemory(bytes_.data(), bytes_.size(), "mem");
        char tmpl[] = "/tmp/ruxen-reader-XXXXXX";
        fd_ = mkstemp(tmpl);
        path_ = tmpl;
        EXPECT_EQ(write(fd_, bytes_.data(), bytes_.size()), static_cast<ssize_t>(bytes_.size()));
        lseek(fd_, 0, SEEK_SET);
        return reader_.OpenFd(fd_, path_.c_str());
    }

    // Reads records until the end or an error; answers the final status.
    ArchiveStreamReader::Status Drain(int* records) {
        *records = 0;
        ArchiveRecord r;
        for (;;) {
            ArchiveStreamReader::Status st = reader_.Next(&r);
            if (st != ArchiveStreamReader::kRecord)
                return st;
            const char* p;
            size_t n;
            if (!reader_.ReadPayload(&p, &n))
                return ArchiveStreamReader::kError;
            ++*records;
        }
    }

    ArchiveStreamReader reader_;
    std::string bytes_;
    std::string path_;
    int fd_ = -1;
};

TEST_P(ReaderSourceTest, ReadsRecordsWithOffsets) {
    ASSERT_TRUE(Open(Preamble() + Record(128, "hdr") + Record(2, "") + Record(293, U32(4096))));
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
    EXPECT_EQ(r.type, 2u);
    EXPECT_EQ(r.length, 0u);
    EXPECT_EQ(r.offset, 19u);
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kRecord);  // payload left unread
    EXPECT_EQ(r.offset, 27u);
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kEnd);
    EXPECT_EQ(reader_.Offset(), 39u);
    EXPECT_EQ(reader_.Next(&r), ArchiveStreamReader::kEnd);
}

TEST_P(ReaderSourceTest, EmptyStreamEndsCleanly) {
    ASSERT_TRUE(Open(Preamble()));
    int records = -1;
    EXPECT_EQ(Drain(&records), ArchiveStreamReader::kEnd);
    EXPECT_EQ(records, 0);
}

TEST_P(ReaderSourceTest, RejectsBadMagicAtOffsetZero) {
    EXPECT_FALSE(Open(std::string("RXPM", 4) + U32(1)));
    EXPECT_NE(reader_.Error().find("bad magic at offset 0"), std::string::npos) << reader_.Error();
    ArchiveRecord r;
    EXPECT_EQ(reader_.Next(&r), ArchiveStreamReader::kError);
}

TEST_P(ReaderSourceTest, RejectsUnknownVersionAtOffsetFour) {
    EXPECT_FALSE(Open(std::string("RXPL", 4) + U32(2)));
    EXPECT_NE(reader_.Error().find("version 2 at offset 4"), std::string::npos) << reader_.Error();
}

TEST_P(ReaderSourceTest, RejectsTruncatedPreamble) {
    EXPECT_FALSE(Open(std::string("RXPL\0", 5)));
    EXPECT_NE(reader_.Error().find("ends at offset 5"), std::string::npos) << reader_.Error();
    EXPECT_FALSE(Open(""));
    EXPECT_NE(reader_.Error().find("ends at offset 0"), std::string::npos) << reader_.Error();
}

TEST_P(ReaderSourceTest, RejectsLengthAboveTheMaximum) {
    ASSERT_TRUE(Open(Preamble() + Record(2, "ok") + U32(2) + U32(kArchiveStreamMaxPayload + 1) +
                     "xyz"));
    int records = 0;
    EXPECT_EQ(Drain(&records), ArchiveStreamReader::kError);
    EXPECT_EQ(records, 1);
    EXPECT_NE(reader_.Error().find("record at offset 18"), std::string::npos) << reader_.Error();
    EXPECT_NE(reader_.Error().find("exceeds the maximum"), std::string::npos) << reader_.Error();
    ArchiveRecord r;
    EXPECT_EQ(reader_.Next(&r), ArchiveStreamReader::kError);  // errors stay
}

TEST_P(ReaderSourceTest, MaximumLengthWithoutItsBytesIsATruncation) {
    ASSERT_TRUE(Open(Preamble() + U32(2) + U32(kArchiveStreamMaxPayload) + "xyz"));
    int records = 0;
    EXPECT_EQ(Drain(&records), ArchiveStreamReader::kError);
    EXPECT_NE(reader_.Error().find("truncated payload: record at offset 8 (type 2) declares "
                                   "67108864 bytes, the stream ends at offset 19"),
              std::string::npos)
        << reader_.Error();
}

TEST_P(ReaderSourceTest, RejectsTruncatedFrame) {
    ASSERT_TRUE(Open(Preamble() + Record(130, "") + std::string("\0\0\0", 3)));
    int records = 0;
    EXPECT_EQ(Drain(&records), ArchiveStreamReader::kError);
    EXPECT_EQ(records, 1);
    EXPECT_NE(reader_.Error().find("truncated record frame at offset 16: 3 of 8 bytes"),
              std::string::npos)
        << reader_.Error();
}

TEST_P(ReaderSourceTest, RejectsTruncatedPayloadWhenReadOrSkipped) {
    std::string cut = Preamble() + Record(2, "abcd") + U32(2) + U32(10) + "1234";
    ASSERT_TRUE(Open(cut));
    int records = 0;
    EXPECT_EQ(Drain(&records), ArchiveStreamReader::kError);
    EXPECT_NE(reader_.Error().find("record at offset 20 (type 2) declares 10 bytes, the stream "
                                   "ends at offset 32"),
              std::string::npos)
        << reader_.Error();

    // Skipping the payload instead of reading it finds the same cut.
    ASSERT_TRUE(Open(cut));
    ArchiveRecord r;
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kRecord);
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kRecord);
    EXPECT_EQ(reader_.Next(&r), ArchiveStreamReader::kError);
    EXPECT_NE(reader_.Error().find("offset 20"), std::string::npos) << reader_.Error();
}

TEST_P(ReaderSourceTest, ReadsALargePayloadInChunks) {
    std::string big(3 * ArchiveStreamReader::kChunkBytes + 12345, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 13 + (i >> 16));
    ASSERT_TRUE(Open(Preamble() + Record(2, big) + Record(130, "end")));
    ArchiveRecord r;
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kRecord);
    std::string joined;
    int chunks = 0;
    for (;;) {
        const char* p;
        size_t n;
        ASSERT_TRUE(reader_.ReadChunk(&p, &n)) << reader_.Error();
        if (n == 0)
            break;
        EXPECT_LE(n, ArchiveStreamReader::kChunkBytes);
        joined.append(p, n);
        ++chunks;
    }
    EXPECT_EQ(chunks, 4);
    EXPECT_TRUE(joined == big);
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kRecord);
    EXPECT_EQ(r.type, 130u);
}

TEST_P(ReaderSourceTest, PartlyReadPayloadIsSkipped) {
    std::string big(2 * ArchiveStreamReader::kChunkBytes + 1, 'q');
    ASSERT_TRUE(Open(Preamble() + Record(2, big) + Record(293, U32(77))));
    ArchiveRecord r;
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kRecord);
    const char* p;
    size_t n;
    ASSERT_TRUE(reader_.ReadChunk(&p, &n));
    ASSERT_EQ(reader_.Next(&r), ArchiveStreamReader::kRecord);
    EXPECT_EQ(r.type, 293u);
    EXPECT_EQ(r.offset, 8 + 8 + big.size());
    ASSERT_TRUE(reader_.ReadPayload(&p, &n));
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(std::string(p, n), U32(77));
}

INSTANTIATE_TEST_SUITE_P(Sources, ReaderSourceTest,
                         ::testing::Values(Source::kMemory, Source::kFile),
                         [](const ::testing::TestParamInfo<Source>& info) {
                             return info.param == Source::kMemory ? "Memory" : "File";
                         });

TEST(ArchiveStreamReader, ReadsFromAPipe) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string bytes = Preamble() + Record(149, std::string("/a/b\0", 5)) + Record(130, "");
    ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fds[1]);
    ArchiveStreamReader reader;
    ASSERT_TRUE(reader.OpenFd(fds[0], "pipe"));
    ArchiveRecord r;
    ASSERT_EQ(reader.Next(&r), ArchiveStreamReader::kRecord);
    const char* p;
    size_t n;
    ASSERT_TRUE(reader.ReadPayload(&p, &n));
    EXPECT_EQ(std::string(p, n), std::string("/a/b\0", 5));
    ASSERT_EQ(reader.Next(&r), ArchiveStreamReader::kRecord);
    EXPECT_EQ(reader.Next(&r), ArchiveStreamReader::kEnd);
    close(fds[0]);
}

TEST(ArchiveStreamReader, MissingFileIsAnError) {
    ArchiveStreamReader reader;
    EXPECT_FALSE(reader.OpenFile("/nonexistent/stream.rxpl"));
    EXPECT_NE(reader.Error().find("cannot open"), std::string::npos);
}

}  // namespace
