// Scratch files: unnamed temporary files for data a process spills and
// reads back itself.
#pragma once

namespace ruxen {

// An unnamed temporary file for reading and writing in $TMPDIR (else /tmp),
// gone when its last descriptor closes: O_TMPFILE where the file system has
// it, else a file whose name is removed at once. The descriptor
// (close-on-exec), or -1 with errno.
int openScratchFile();

}  // namespace ruxen
