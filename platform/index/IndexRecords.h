// The records of the indexing connection: the two fixed records its callers
// fill, and the index file that stands in for the indexing service.
//
// The index file is an archive-stream file (ArchiveStreamFormat.h: u32
// type, u32 length, payload, network order, payloads of at most 64 MiB)
// under its own magic "RXIX", version 1. Every payload starts with the u32
// number of the connection that wrote it (connections of one process are
// numbered from 1 and may interleave); then, network order throughout,
// str = u32 length and the bytes:
//
//   type  record         after the connection number
//   1     IDX_INIT       u64 zonark id, u64 client id, u64 application type,
//                        i32 backup level, str job token, str path,
//                        str indexing text, u64 reserved
//   2     IDX_AFILE      u32 zonark id, u32 group number, u32 file number,
//                        u8 flag
//   3     IDX_FILE       1160-byte item header in network order,
//                        u64 stream offset, str link target, u64 reserved
//   4     IDX_PAIR       IndexMetaDataStruct (20 bytes), value (its length)
//   5     IDX_MESSAGE    an index metadata message (IdxMessage.h)
//   6     IDX_FILE_V2    u32 length, IdxDbInfo message of that length,
//                        IdxCommand message (the rest)
//   7     IDX_DONE       i32 value
//   8     IDX_CLEAR      nothing
//   9     IDX_JOB        u64 stream job id
//   10    IDX_RESTART    u32 collect-file number, u64 offset
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char kIndexStreamMagic[4] = {'R', 'X', 'I', 'X'};
constexpr uint32_t kIndexStreamVersion = 1;

enum IndexRecordType : uint32_t {
    IDX_INIT = 1,
    IDX_AFILE = 2,
    IDX_FILE = 3,
    IDX_PAIR = 4,
    IDX_MESSAGE = 5,
    IDX_FILE_V2 = 6,
    IDX_DONE = 7,
    IDX_CLEAR = 8,
    IDX_JOB = 9,
    IDX_RESTART = 10,
};

// The archive file that the entries after it belong to.
struct ArchiveFileId_t {
    uint32_t zonarkId;
    uint32_t aGroupNumber;
    uint32_t aFileNumber;
};
static_assert(sizeof(ArchiveFileId_t) == 12, "ArchiveFileId_t is three u32");
static_assert(offsetof(ArchiveFileId_t, aGroupNumber) == 4, "group number at 4");
static_assert(offsetof(ArchiveFileId_t, aFileNumber) == 8, "file number at 8");

// One (kind, value) pair for the connection, filled by the caller in host
// order; the value's bytes travel beside it. On the index file it is the
// same five fields in network order.
struct IndexMetaDataStruct {
    uint32_t marker;   // kIndexMetaDataMarker
    uint32_t version;  // kIndexMetaDataVersion
    uint32_t kind;
    uint32_t reserved;  // 0
    uint32_t length;    // value bytes, no terminator
};
static_assert(sizeof(IndexMetaDataStruct) == 20, "IndexMetaDataStruct is 20 bytes");
static_assert(offsetof(IndexMetaDataStruct, version) == 4, "version at 4");
static_assert(offsetof(IndexMetaDataStruct, kind) == 8, "kind at 8");
static_assert(offsetof(IndexMetaDataStruct, reserved) == 12, "reserved at 12");
static_assert(offsetof(IndexMetaDataStruct, length) == 16, "length at 16");

constexpr uint32_t kIndexMetaDataMarker = 0x5599AA44;
constexpr uint32_t kIndexMetaDataVersion = 1;
