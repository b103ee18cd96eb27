// The archive stream as a local file: the framing that the file sink writes
// and the stream reader reads. Other tools read these files, so the layout
// is fixed:
//
//   offset  width  content
//   0       4      "RXPL"
//   4       u32    format version, 1, network order
//   8       ...    records, back to back
//   ...     28     the end record, last in the file
//
//   a record:
//   0       u32    record type, network order
//   4       u32    payload length in bytes, network order
//   8       length payload bytes, unpadded
//
//   the end record (type 0xFFFFFFFF, payload length 20):
//   0       u32    0xFFFFFFFF
//   4       u32    20
//   8       u64    items: records of type 128 (item headers) in the stream
//   16      u64    data bytes: payload bytes of records of type 2 (item data)
//   24      u32    status: whether the stream did all it was given
//                  (ArchiveStreamStatus below)
//
// A whole stream ends with its end record, which the sink writes when it is
// closed after every write succeeded. A stream that stops anywhere else,
// even between two records, was cut short: readers report it as truncated.
// Readers also reject an end record whose counts disagree with the records
// before it, and bytes after it.
//
// The status tells a stream that did all it was given (0) from one that
// knew it did not and still ended cleanly, so that what it holds can be
// read: its records are sound, but items it was given are missing.
//
//   0  complete             every collect file it was given was walked to
//                           its end
//   1  interrupted          SIGTERM or SIGINT, or its parent process went
//                           away: it stopped between two items
//   2  collect file failed  a collect file could not be opened or read, or
//                           the stream failed on it (the rest of it is
//                           missing)
//   3  list write failed    a line of its failures or results file could
//                           not be written: a failed item may be unlisted
//   4  collect file changed a collect file's size, modification time or
//                           inode moved while the stream read it
//   5  not sent             the do-not-send hook file held every record back
//
// When several apply, the first one met is kept. Streams of older writers
// end with a 16-byte end record without the status; readers take it, and
// answer kArchiveStreamStatusUnknown for it: such a stream cannot say that
// it did all it was given.
//
// A payload is at most kArchiveStreamMaxPayload bytes; writers refuse
// larger records and readers reject them as corrupt, so one bad length
// cannot make a reader allocate or skip gigabytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/base/Coding.h"

constexpr char kArchiveStreamMagic[4] = {'R', 'X', 'P', 'L'};
constexpr uint32_t kArchiveStreamVersion = 1;
constexpr size_t kArchiveStreamPreambleSize = 8;
constexpr size_t kArchiveStreamFrameSize = 8;
constexpr uint32_t kArchiveStreamMaxPayload = 64u * 1024 * 1024;

// The record types the stream itself counts (the pipeline's own table of
// record types agrees with these).
constexpr uint32_t kArchiveStreamDataRecord = 2;
constexpr uint32_t kArchiveStreamHeaderRecord = 128;
constexpr uint32_t kArchiveStreamEndRecord = 0xFFFFFFFFu;
constexpr uint32_t kArchiveStreamEndPayloadSize = 20;
constexpr uint32_t kArchiveStreamOldEndPayloadSize = 16;  // older writers: no status
constexpr size_t kArchiveStreamEndRecordSize = kArchiveStreamFrameSize + kArchiveStreamEndPayloadSize;

// The end record's status.
enum ArchiveStreamStatus : uint32_t {
    kStreamComplete = 0,
    kStreamInterrupted = 1,
    kStreamCollectFailed = 2,
    kStreamListWriteFailed = 3,
    kStreamCollectChanged = 4,
    kStreamNotSent = 5,
};
// What a reader answers for the end record of an older writer; never written.
constexpr uint32_t kArchiveStreamStatusUnknown = 0xFFFFFFFFu;

// The status's name for dumps and messages ("unknown" for a value this
// reader does not know, "none" for kArchiveStreamStatusUnknown).
inline const char* ArchiveStreamStatusName(uint32_t status) {
    switch (status) {
    case kStreamComplete:
        return "complete";
    case kStreamInterrupted:
        return "interrupted";
    case kStreamCollectFailed:
        return "collect file failed";
    case kStreamListWriteFailed:
        return "list write failed";
    case kStreamCollectChanged:
        return "collect file changed";
    case kStreamNotSent:
        return "not sent";
    case kArchiveStreamStatusUnknown:
        return "none";
    default:
        return "unknown";
    }
}

// What the end record counts; the sink and the reader keep one each.
struct ArchiveStreamTally {
    uint64_t items = 0;      // records of type 128
    uint64_t dataBytes = 0;  // payload bytes of records of type 2

    void Count(uint32_t type, uint64_t length) {
        if (type == kArchiveStreamHeaderRecord)
            ++items;
        else if (type == kArchiveStreamDataRecord)
            dataBytes += length;
    }
};

// Writes the whole end record (frame and payload, kArchiveStreamEndRecordSize
// bytes) at dst.
inline void EncodeArchiveStreamEnd(char* dst, const ArchiveStreamTally& tally, uint32_t status) {
    ruxen::EncodeFixed32(dst, kArchiveStreamEndRecord);
    ruxen::EncodeFixed32(dst + 4, kArchiveStreamEndPayloadSize);
    ruxen::EncodeFixed64(dst + 8, tally.items);
    ruxen::EncodeFixed64(dst + 16, tally.dataBytes);
    ruxen::EncodeFixed32(dst + 24, status);
}
