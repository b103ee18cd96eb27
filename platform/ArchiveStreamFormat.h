// The archive stream as a local file: the framing that the file sink writes
// and the stream reader reads. Other tools read these files, so the layout
// is fixed:
//
//   offset  width  content
//   0       4      "RXPL"
//   4       u32    format version, 1, network order
//   8       ...    records, back to back
//   ...     24     the end record, last in the file
//
//   a record:
//   0       u32    record type, network order
//   4       u32    payload length in bytes, network order
//   8       length payload bytes, unpadded
//
//   the end record (type 0xFFFFFFFF, payload length 16):
//   0       u32    0xFFFFFFFF
//   4       u32    16
//   8       u64    items: records of type 128 (item headers) in the stream
//   16      u64    data bytes: payload bytes of records of type 2 (item data)
//
// A whole stream ends with its end record, which the sink writes when it is
// closed after every write succeeded. A stream that stops anywhere else,
// even between two records, was cut short: readers report it as truncated.
// Readers also reject an end record whose counts disagree with the records
// before it, and bytes after it.
//
// A payload is at most kArchiveStreamMaxPayload bytes; writers refuse
// larger records and readers reject them as corrupt, so one bad length
// cannot make a reader allocate or skip gigabytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Coding.h"

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
constexpr uint32_t kArchiveStreamEndPayloadSize = 16;
constexpr size_t kArchiveStreamEndRecordSize = kArchiveStreamFrameSize + kArchiveStreamEndPayloadSize;

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
inline void EncodeArchiveStreamEnd(char* dst, const ArchiveStreamTally& tally) {
    ruxen::EncodeFixed32(dst, kArchiveStreamEndRecord);
    ruxen::EncodeFixed32(dst + 4, kArchiveStreamEndPayloadSize);
    ruxen::EncodeFixed64(dst + 8, tally.items);
    ruxen::EncodeFixed64(dst + 16, tally.dataBytes);
}
