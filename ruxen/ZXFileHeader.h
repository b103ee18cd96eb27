// The item header record: 1160 bytes, sent as record type 128 in network
// byte order. The per-file object keeps a working copy in host order and
// converts it into a second record just before sending; readers of a stream
// decode it with DecodeZXFileHeader.
//
//   off  width  field              off  width  field
//   0    u32    h_version (3)      96   u32    h_separator
//   4    u32    h_magic (0x50C0)   100  u32    h_flags
//   8    u32    h_nlink            104  u32    h_ino_high
//   12   u32    h_namelen          108  u32    portable_flags
//   16   u64    h_mode             112  u32    h_rdev
//   24   u64    h_uid              116  u32    h_ino_low
//   32   u64    h_gid              120  u8     h_isHFS
//   40   u32    h_reserved (0)     121  3 u8   reserved
//   44   u32    h_dev              124  u32    h_atime
//   48   u64    h_platform_flags   128  u32    h_client_os
//   56   u64    h_filesize         132  char[1028] h_filename (NUL-terminated)
//   64   u64    h_mtime
//   72   u64    h_ctime
//   80   u64    h_datasize
//   88   u64    h_collect_offset
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

constexpr uint32_t ZX_HEADER_VERSION = 3;
constexpr uint32_t ZX_HEADER_MAGIC = 0x50C0;
constexpr size_t ZX_HEADER_SIZE = 1160;
constexpr size_t ZX_HEADER_FIXED_SIZE = 132;
constexpr size_t ZX_HEADER_NAME_SIZE = 1028;

// h_platform_flags bits.
constexpr uint64_t ZX_HDR_FLAG_NOT_SPARSE = 0x8000000000000000ull;
constexpr uint64_t ZX_HDR_FLAG_HARDLINK = 0x4000000000000000ull;
constexpr uint64_t ZX_HDR_FLAG_HARDLINK2 = 0x2000000000000000ull;
constexpr uint64_t ZX_HDR_FLAG_HARDLINK_BOTH = ZX_HDR_FLAG_HARDLINK | ZX_HDR_FLAG_HARDLINK2;
constexpr uint64_t ZX_HDR_FLAG_DIR_CHANGE_FILE = 0x1000000000000000ull;
constexpr uint64_t ZX_HDR_FLAG_STUB = 0x0200000000000000ull;
constexpr uint64_t ZX_HDR_FLAG_SPARSE_TESTED = 0x0100000000000000ull;
constexpr uint64_t ZX_HDR_FLAG_PSEUDO_ITEM = 0x0020000000000000ull;
constexpr uint64_t ZX_HDR_FLAG_SAP_META_DATA = 0x0000400000000000ull;
constexpr uint64_t ZX_HDR_FLAG_ORACLE_META_DATA = 0x0000200000000000ull;
constexpr uint64_t ZX_HDR_FLAG_DB2_META_DATA = 0x0000200000000000ull;
constexpr uint64_t ZX_HDR_FLAG_MOUNT_PATH = 0x0000100000000000ull;
constexpr uint64_t ZX_HDR_FLAG_OBJSRV_META_DATA = 0x0000100000000000ull;
constexpr uint64_t ZX_HDR_FLAG_DELETED = 0x0000020000000000ull;
constexpr uint64_t ZX_HDR_FLAG_SUBCLIENT_FILES = 0x0000010000000000ull;
constexpr uint64_t ZX_HDR_FLAG_HIDDEN_IN_BROWSE = 0x0000008000000000ull;
constexpr uint64_t ZX_HDR_FLAG_DELETED_KIND5 = 0x0000001000000000ull;

// portable_flags values.
constexpr uint32_t ZXFLAG_DUMP = 0x0001;
constexpr uint32_t ZXFLAG_STUB = 0x0004;
constexpr uint32_t ZXFLAG_WENDAX_STUB_WITH_GUID = 0x0008;
constexpr uint32_t ZXFLAG_LONG_PATH_NAME = 0x0020;
constexpr uint32_t ZXFLAG_FAILED_ITEM = 0x0040;
constexpr uint32_t ZXFLAG_NOT_COUNTABLE = 0x0200;
constexpr uint32_t ZXFLAG_HARDLINK_PHONY_NAME = 0x0400;
constexpr uint32_t ZXFLAG_APPLE_DOUBLE = 0x1000;
constexpr uint32_t ZXFLAG_HL_GROUP_HEAD = 0x8000;

// h_flags bits.
constexpr uint32_t ZX_HFLAG_SLASH_SEPARATOR = 0x1;
constexpr uint32_t ZX_HFLAG_ALWAYS = 0x2;
constexpr uint32_t ZX_HFLAG_NEVER = 0x4;

struct ZXFileHeader {
    uint32_t h_version;
    uint32_t h_magic;
    uint32_t h_nlink;
    uint32_t h_namelen;
    uint64_t h_mode;
    uint64_t h_uid;
    uint64_t h_gid;
    uint32_t h_reserved;
    uint32_t h_dev;
    uint64_t h_platform_flags;
    uint64_t h_filesize;
    uint64_t h_mtime;
    uint64_t h_ctime;
    uint64_t h_datasize;
    uint64_t h_collect_offset;
    uint32_t h_separator;
    uint32_t h_flags;
    uint32_t h_ino_high;
    uint32_t portable_flags;
    uint32_t h_rdev;
    uint32_t h_ino_low;
    uint8_t h_isHFS;
    uint8_t h_reserved2[3];
    uint32_t h_atime;
    uint32_t h_client_os;
    char h_filename[ZX_HEADER_NAME_SIZE];

    // Zeroes all 1160 bytes: every numeric field, bytes 120-123 and the
    // whole name. The name area is cleared too because the pipeline layer
    // sends 133 + h_namelen bytes; name bytes left uninitialised past the
    // terminating NUL would otherwise carry stale memory onto the wire.
    ZXFileHeader();

    // Clears all 1160 bytes.
    void Clear();
};

static_assert(std::is_standard_layout<ZXFileHeader>::value, "header record must be standard layout");
static_assert(std::is_trivially_copyable<ZXFileHeader>::value, "header record is copied as bytes");
static_assert(sizeof(ZXFileHeader) == ZX_HEADER_SIZE, "header record is 1160 bytes");
static_assert(offsetof(ZXFileHeader, h_version) == 0, "h_version at 0");
static_assert(offsetof(ZXFileHeader, h_magic) == 4, "h_magic at 4");
static_assert(offsetof(ZXFileHeader, h_nlink) == 8, "h_nlink at 8");
static_assert(offsetof(ZXFileHeader, h_namelen) == 12, "h_namelen at 12");
static_assert(offsetof(ZXFileHeader, h_mode) == 16, "h_mode at 16");
static_assert(offsetof(ZXFileHeader, h_uid) == 24, "h_uid at 24");
static_assert(offsetof(ZXFileHeader, h_gid) == 32, "h_gid at 32");
static_assert(offsetof(ZXFileHeader, h_reserved) == 40, "h_reserved at 40");
static_assert(offsetof(ZXFileHeader, h_dev) == 44, "h_dev at 44");
static_assert(offsetof(ZXFileHeader, h_platform_flags) == 48, "h_platform_flags at 48");
static_assert(offsetof(ZXFileHeader, h_filesize) == 56, "h_filesize at 56");
static_assert(offsetof(ZXFileHeader, h_mtime) == 64, "h_mtime at 64");
static_assert(offsetof(ZXFileHeader, h_ctime) == 72, "h_ctime at 72");
static_assert(offsetof(ZXFileHeader, h_datasize) == 80, "h_datasize at 80");
static_assert(offsetof(ZXFileHeader, h_collect_offset) == 88, "h_collect_offset at 88");
static_assert(offsetof(ZXFileHeader, h_separator) == 96, "h_separator at 96");
static_assert(offsetof(ZXFileHeader, h_flags) == 100, "h_flags at 100");
static_assert(offsetof(ZXFileHeader, h_ino_high) == 104, "h_ino_high at 104");
static_assert(offsetof(ZXFileHeader, portable_flags) == 108, "portable_flags at 108");
static_assert(offsetof(ZXFileHeader, h_rdev) == 112, "h_rdev at 112");
static_assert(offsetof(ZXFileHeader, h_ino_low) == 116, "h_ino_low at 116");
static_assert(offsetof(ZXFileHeader, h_isHFS) == 120, "h_isHFS at 120");
static_assert(offsetof(ZXFileHeader, h_reserved2) == 121, "reserved bytes at 121");
static_assert(offsetof(ZXFileHeader, h_atime) == 124, "h_atime at 124");
static_assert(offsetof(ZXFileHeader, h_client_os) == 128, "h_client_os at 128");
static_assert(offsetof(ZXFileHeader, h_filename) == ZX_HEADER_FIXED_SIZE, "h_filename at 132");
static_assert(ZX_HEADER_FIXED_SIZE + ZX_HEADER_NAME_SIZE == ZX_HEADER_SIZE, "fixed part + name = record");

// Copies all 1160 bytes of source into destination and puts every u32 and
// u64 field of the destination in network byte order; bytes 120-123 and the
// name travel unchanged. The source is not modified. Answers 0, or -1 when
// either pointer is null. source == destination converts in place.
int ConvertZXFileHeaderToNetOrder(const ZXFileHeader* source, ZXFileHeader* destination);

// Byte length of a header record (type 128) when it goes through the
// pipeline layer: the 132-byte fixed part plus h_namelen + 1, with h_namelen
// read in network order at offset 12 of netOrderRecord (a whole record).
// Never more than 1160 and never less than 133: see ZXFileHeader.cpp for why
// the length is clamped.
uint32_t ZXHeaderPipelineLength(const void* netOrderRecord);

// Shortest header record on the wire: the fixed part and the name's NUL.
constexpr size_t ZX_HEADER_MIN_RECORD = ZX_HEADER_FIXED_SIZE + 1;
// Longest: 133 + h_namelen bytes for a 1028-byte name count is one byte past
// the record (writers of this system clamp it; others may not).
constexpr size_t ZX_HEADER_MAX_RECORD = ZX_HEADER_SIZE + 1;

// Decodes a header record as it came off the stream (network order, 1160
// bytes or the pipeline layer's 133 + h_namelen) into `header` in host
// order. False, with *why naming the fault, for a length outside
// [ZX_HEADER_MIN_RECORD, ZX_HEADER_MAX_RECORD], a wrong version or magic, a
// name without its NUL inside the bytes sent, or h_namelen above the name
// area. A null payload only checks the length.
bool DecodeZXFileHeader(const void* payload, size_t length, ZXFileHeader* header, const char** why);
