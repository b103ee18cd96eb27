// Record types of the file-system archive stream, and the prefix of an
// optional header. Every writer and reader of stream records takes its
// numbers from here.
//
//   type  payload                                              length
//   2     the item's bytes                                     bytes filled
//   128   ZXFileHeader in network order                        1160 (pipeline layer: 133 + h_namelen)
//   129   16-byte OptionalHeaderPrefix, then the payload       payload + 16
//   130   end of item, success: empty, or NUL-terminated text  bytes used
//   134   end of item, failed: as 130                          bytes used
//   149   NUL-terminated path of a hard-link group member      strlen + 1
//   159   encoded index metadata                               encoded length
//   290   object-server metadata string                        as encoded
//   293   hole: u32 hole size, network order                   4
//   314   NUL-terminated string                                strlen + 1
//   329   command: u32 1, network order                        4
//
// A local stream file ends with one more record of its own, type
// 0xFFFFFFFF (platform/archive/ArchiveStreamFormat.h), which counts the records of
// types 128 and 2; no writer sends it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/archive/ArchiveStreamFormat.h"
#include "ruxen/OptionalHeaderPrefix.h"

enum PipelineRecordType : uint32_t {
    PL_FS_DATA = 2,
    PL_FS_HEADER = 128,
    PL_FS_OPT_HDR = 129,
    PL_FS_EOF = 130,
    PL_FS_EOF_FAILED = 134,
    PL_FS_OPT_HDR2 = 149,
    PL_FS_IDX_METADATA = 159,
    PL_FS_OBJSRV_METADATA = 290,
    PL_FS_HOLE = 293,
    PL_FS_OPT_HDR4 = 314,
    PL_FS_HARDLINK_DEDUPLICATION = 329,
};

static_assert(PL_FS_DATA == kArchiveStreamDataRecord && PL_FS_HEADER == kArchiveStreamHeaderRecord,
              "the stream file counts items and data bytes by these types");

// Largest hole one hole record may carry; a larger hole goes as several.
constexpr uint32_t kMaxHoleRecordBytes = 0xFFFFF000u;
