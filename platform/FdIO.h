// Whole-buffer reads and writes over file descriptors: they loop over short
// counts and EINTR. Both answer 0 on success and -1 with errno on failure;
// end of file before the full count is a failure with errno ENODATA.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace ruxen {

int readAll(int fd, void* buf, size_t count);
int writeAll(int fd, const void* buf, size_t count);

// Reads up to `count` bytes at `offset`, looping over short counts and
// EINTR; fewer only at the end of the file. The count read, or -1 with
// errno.
ssize_t preadFull(int fd, void* buf, size_t count, off_t offset);

// An unnamed temporary file for reading and writing in $TMPDIR (else /tmp),
// gone when its last descriptor closes: O_TMPFILE where the file system has
// it, else a file whose name is removed at once. The descriptor
// (close-on-exec), or -1 with errno.
int openScratchFile();

}  // namespace ruxen
