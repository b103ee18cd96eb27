// Whole-buffer reads and writes over file descriptors: they loop over short
// counts and EINTR. Both answer 0 on success and -1 with errno on failure;
// end of file before the full count is a failure with errno ENODATA.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace ruxen {

int readAll(int fd, void* buf, size_t count);
// readAll within `timeoutMs` milliseconds in all (negative: no limit): a
// writer that stops part-way through is a failure with errno ETIMEDOUT,
// never a reader that waits for ever.
int readAllWithin(int fd, void* buf, size_t count, int timeoutMs);
int writeAll(int fd, const void* buf, size_t count);

// Reads up to `count` bytes at `offset`, looping over short counts and
// EINTR; fewer only at the end of the file. The count read, or -1 with
// errno.
ssize_t preadFull(int fd, void* buf, size_t count, off_t offset);

}  // namespace ruxen
