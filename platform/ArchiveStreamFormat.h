// The archive stream as a local file: the framing that the file sink writes
// and the stream reader reads. Other tools read these files, so the layout
// is fixed:
//
//   offset  width  content
//   0       4      "RXPL"
//   4       u32    format version, 1, network order
//   8       ...    records, back to back, until the end of the file
//
//   a record:
//   0       u32    record type, network order
//   4       u32    payload length in bytes, network order
//   8       length payload bytes, unpadded
//
// A stream ends cleanly only at a record boundary. A payload is at most
// kArchiveStreamMaxPayload bytes; writers refuse larger records and readers
// reject them as corrupt, so one bad length cannot make a reader allocate
// or skip gigabytes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char kArchiveStreamMagic[4] = {'R', 'X', 'P', 'L'};
constexpr uint32_t kArchiveStreamVersion = 1;
constexpr size_t kArchiveStreamPreambleSize = 8;
constexpr size_t kArchiveStreamFrameSize = 8;
constexpr uint32_t kArchiveStreamMaxPayload = 64u * 1024 * 1024;
