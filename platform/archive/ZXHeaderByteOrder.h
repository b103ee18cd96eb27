// The pipeline transport's view of the 1160-byte item header record: which
// byte ranges are 32- and 64-bit numbers. The header record itself
// (ruxen/ZXFileHeader.h) checks its layout against this one table, and both
// byte-order conversions walk it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ZXHeaderLayout {

constexpr size_t kRecordSize = 1160;

// Offsets of the u32 fields.
constexpr size_t kU32Offsets[] = {0, 4, 8, 12, 40, 44, 96, 100, 104, 108, 112, 116, 124, 128};
// Offsets of the u64 fields.
constexpr size_t kU64Offsets[] = {16, 24, 32, 48, 56, 64, 72, 80, 88};
// Offset of h_namelen, read by the pipeline layer for the header length.
constexpr size_t kNameLenOffset = 12;

}  // namespace ZXHeaderLayout

// Converts a header record between host and network byte order in place
// (the conversion is its own inverse). Bytes 120-123 and the name are left
// alone. A no-op on a big-endian host.
void ConvertZXFileHeaderByteOrder(void* record);
