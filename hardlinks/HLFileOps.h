// File helpers of the hard-link subsystem: an owned descriptor, whole-file
// copies and configuration files written through a temporary name.
#pragma once

#include <string>

#include "platform/base/ScopedFd.h"

// Copies `source` to `destination`. The source is opened first, the copy is
// written to a temporary file beside the destination, synced and renamed over
// it, so the destination is never emptied or cut when the copy fails.
// Without `overwrite` an existing destination is refused; copying a file onto
// itself is refused. Failures throw HardLinkManagerBaseException.
void copy_file(const std::string& source, const std::string& destination, bool overwrite);

// Writes `content` to path + ".tmp", syncs it and renames it to `path`.
// 0, or an errno value (the temporary file is removed).
int WriteFileAtomically(const std::string& path, const std::string& content);

// Writes `content` to `path` (created or truncated) and syncs it; no rename.
// 0, or an errno value.
int WriteFileSynced(const std::string& path, const std::string& content);

// Pushes a file's written pages, or a directory's entries (names created,
// renamed or removed), to the disk. 0, or -1 with errno.
int SyncPath(const std::string& path);

// unlink() that takes an absent file as success. 0, or -1 with errno.
int RemoveFileIfPresent(const std::string& path);

// Whether a file (or anything else) of that name exists.
bool PathExists(const std::string& path);
