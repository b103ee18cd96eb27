// Whole-file reads and writes of small configuration and rules files.
#pragma once

#include <cstddef>
#include <string>

namespace WholeFile {

// Reads the regular file `path` into `out`. Refuses (false, with the reason
// in `error`) a file that cannot be opened or read, one that is not a
// regular file (a FIFO or a device is never waited on or read), and one
// larger than `maxBytes`.
bool ReadRegular(const std::string& path, size_t maxBytes, std::string& out, std::string& error);

// Replaces `path` with `content`: written to a new temporary file in the same
// directory, flushed, closed and renamed over `path`, so that a reader sees
// the old file or the whole new one. Every step is checked; on failure the
// temporary file is removed, `path` is left as it was, and the reason is in
// `error`.
bool WriteAtomically(const std::string& path, const std::string& content, std::string& error);

}  // namespace WholeFile
