// A name-mapping record as the parent sends it to each child: after a
// 32-bit record count in host byte order, that many records of two
// NUL-terminated paths in fixed 1024-byte fields.
//
// A path that does not fit its field with its NUL (1024 characters or more)
// is never sent cut: a cut prefix would map a different tree, and the child
// would read the live file system in place of the snapshot. The sender
// refuses the whole table, and the receiver refuses a field without a NUL.
#pragma once

#include <cstdint>

struct SnapMapRecord_t {
    char oldPath[1024];  // the original mount path of a snapshot device
    char newPath[1024];  // its snapshot's mount path
};

static_assert(sizeof(SnapMapRecord_t) == 2048, "SnapMapRecord_t is 2048 bytes");

// More records than this in one table is a protocol error (one record per
// snapshot device of the job).
constexpr int32_t kMaxSnapMapRecords = 65536;
