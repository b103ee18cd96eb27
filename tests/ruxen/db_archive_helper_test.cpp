// The database browse-view sender: its records byte for byte, and every way
// a record can fail to go out.
#include "ruxen/dbArchiveHelper.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/archive/CPipelayer.h"
#include "platform/index/IdxMetadata.h"
#include "platform/archive/KXArchive.h"
#include "platform/archive/MemoryRecordSink.h"
#include "ruxen/PipelineRecordTypes.h"
#include "support/ProcessState.h"

namespace {

// The header of "/db/t1": size 0x1234, collect offset 77, hidden in browse
// (platform bit 39), not countable (0x200), at time 0x5f000000.
std::string ExpectedHeader() {
    std::string h("\0\0\0\x03\0\0\x50\xc0\0\0\0\x01\0\0\0\x06"  // version, magic, nlink, namelen
                  "\0\0\0\0\0\0\x80\0"                         // mode
                  "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"             // uid, gid
                  "\0\0\0\0\0\0\0\0"                           // reserved, dev
                  "\0\0\0\x80\0\0\0\0"                         // platform flags
                  "\0\0\0\0\0\0\x12\x34"                       // file size
                  "\0\0\0\0\x5f\0\0\0\0\0\0\0\x5f\0\0\0"         // mtime, ctime
                  "\0\0\0\0\0\0\0\0"                           // data size
                  "\0\0\0\0\0\0\0\x4d"                         // collect offset
                  "\0\0\0\x2f\0\0\0\x03\0\0\0\0\0\0\x02\0"         // separator, flags, ino high, portable
                  "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"     // rdev, ino low, HFS byte, atime, client OS
                  "/db/t1",
                  138);
    h.resize(1160, '\0');
    return h;
}

struct Sender {
    MemoryRecordSink sink;
    KXArchive archive{&sink};
    dbArchiveHelper helper{&archive};
    Sender() { helper.setTime(0x5f000000); }
    int Header(const std::string& path) { return helper.sendFileHeader(path.c_str(), 0x1234, 77, 1ull << 39, 0x200); }
};

TEST(DbArchiveHelper, HeaderBytesAndItsRefusals) {
    testfiles::ProcessStateGuard state;
    Sender s;
    ASSERT_EQ(0, s.Header("/db/t1"));
    ASSERT_EQ(1u, s.sink.RecordCount());
    EXPECT_EQ(PL_FS_HEADER, s.sink.RecordType(0));
    EXPECT_EQ(ExpectedHeader(), s.sink.RecordBytes(0));

    // The longest name that fits, then one too long: refused before any buffer.
    EXPECT_EQ(0, s.Header("/" + std::string(1026, 'n')));
    EXPECT_EQ(std::string("\0\0\x04\x03", 4), s.sink.RecordBytes(1).substr(12, 4));
    const uint64_t calls = s.sink.AllocateCalls();
    EXPECT_EQ(ENAMETOOLONG, s.Header("/" + std::string(1027, 'n')));
    EXPECT_EQ(EINVAL, s.helper.sendFileHeader(nullptr, 0, 0, 0, 0));
    EXPECT_EQ(calls, s.sink.AllocateCalls());
}

// Every fault of every record: its result, nothing written, nothing held.
TEST(DbArchiveHelper, FailuresWriteNothingAndHoldNothing) {
    testfiles::ProcessStateGuard state;
    IdxMetadata::IdxMetaData message;
    message.getError()->setCode(5);
    for (int record = 0; record < 3; ++record) {
        for (int fault = 0; fault < 3; ++fault) {
            if (record == 1 && fault == 1)
                continue;  // an end of item asks for no room
            Sender s;
            s.sink.FailAllocation(fault == 0 ? 1 : 0);
            s.sink.ShortGrant(fault == 1 ? 1 : 0, 40);
            s.sink.FailWrite(fault == 2 ? 1 : 0);
            int rc = record == 0 ? s.Header("/db/t1") : record == 1 ? s.helper.sendEOF(true) : s.helper.sendIdxMetadata(message);
            const int expected[] = {dbArchiveHelper::kNoBuffer, dbArchiveHelper::kBufferTooSmall, -1};
            EXPECT_EQ(expected[fault], rc) << record << " " << fault;
            EXPECT_EQ(0u, s.sink.RecordCount() + s.sink.Outstanding()) << record << " " << fault;
        }
    }
}

TEST(DbArchiveHelper, EndOfItemAndMetadataRecords) {
    testfiles::ProcessStateGuard state;
    MemoryRecordSink sink;
    CPipelayer layer(&sink);
    dbArchiveHelper helper(&layer);
    IdxMetadata::IdxMetaData message;
    EXPECT_EQ(0, helper.sendIdxMetadata(message));  // no fields: nothing to send
    message.getError()->setCode(5);
    ASSERT_EQ(0, helper.sendIdxMetadata(message));
    ASSERT_EQ(0, helper.sendEOF(true));
    ASSERT_EQ(0, helper.sendEOF(false));
    ASSERT_EQ(3u, sink.RecordCount());
    EXPECT_EQ(std::string("M\x01\0\0\0\x65\0\0\0\x5d\0\0\0\x01"  // IdxMetaData, one field
                          "\0\0\0\x01\x04\0\0\0\x19"           // 1: a part of 25 bytes
                          "\0\0\0\x65\0\0\0\x5f\0\0\0\x01"       // IdxErrorInfo, one field
                          "\0\0\0\x01\x01\0\0\0\0\0\0\0\x05",    // 1: the code 5
                          48),
              sink.RecordBytes(0));
    const uint32_t types[] = {PL_FS_IDX_METADATA, PL_FS_EOF, PL_FS_EOF_FAILED};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(types[i], sink.RecordType(i));
    EXPECT_EQ(0u, sink.RecordBytes(1).size() + sink.RecordBytes(2).size());
}

}  // namespace
