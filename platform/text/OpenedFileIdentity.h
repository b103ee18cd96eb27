// What a file read from start to end must still be at its end: the size,
// modification time, inode and device it had when it was opened, through
// its descriptor and through its path. A file that shrank, grew or was
// rewritten in place differs through the descriptor; one renamed over
// differs through the path.
//
// Only regular files are followed (a pipe's size and times say nothing of
// what it delivered), and the path only when it named the opened file.
#pragma once

#include <sys/stat.h>

#include <string>

namespace ruxen {

class OpenedFileIdentity {
public:
    // Records the identity of `fd`, opened from `path`.
    void Take(int fd, const std::string& path);
    void Clear() { m_followed = false; }
    // Null while the file is what it was; else what differs ("size",
    // "modification time", "inode", "path": its path names another file or
    // none, "state": it cannot be stat-ed).
    const char* Changed(int fd, const std::string& path) const;

private:
    bool m_followed = false;
    bool m_pathNamedIt = false;
    struct stat m_opened = {};
};

}  // namespace ruxen
