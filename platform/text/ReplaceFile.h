// Writes a whole file so that a reader sees either the old content or the new
// one, never a part: the content goes to a temporary file in the same
// directory, is flushed, and is renamed over the target. Every write, the
// flush and the close are checked, and a failure removes the temporary file
// and leaves the target as it was.
//
// An existing target that is a character device (/dev/null, /dev/full) is
// written in place instead: renaming over it would replace the device node.
// Any other existing target that is not a regular file (a directory, a FIFO,
// a socket) is refused.
#pragma once

#include <string>

namespace ReplaceFile {

// Answers true, or false with the reason in `error`.
bool Write(const std::string& path, const std::string& content, std::string& error);

}  // namespace ReplaceFile
