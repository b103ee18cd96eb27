#include "ruxen/CollectInputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/base/FdIO.h"
#include "platform/os/DirWalk.h"

namespace {

constexpr size_t kCopyChunk = 256 * 1024;

bool Fail(std::string* error, const std::string& text) {
    if (error)
        *error = text;
    return false;
}

}  // namespace

std::vector<std::string> CollectInputFile::CopyDirectories(const std::string& archivePath) {
    std::vector<std::string> dirs;
    struct stat st;
    if (!archivePath.empty() && archivePath != "-" &&
        (stat(archivePath.c_str(), &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode))) {
        const size_t slash = archivePath.rfind('/');
        dirs.push_back(slash == std::string::npos ? "." : slash == 0 ? "/" : archivePath.substr(0, slash));
    }
    const char* tmp = getenv("TMPDIR");
    dirs.push_back(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    return dirs;
}

bool CollectInputFile::Open(const std::string& path, const std::vector<std::string>& copyDirectories,
                            std::string* error) {
    m_fd.reset();
    m_path = path;
    m_copied = false;
    m_copiedBytes = 0;
    m_known = false;
    m_first.Clear();
    // Looked at before it is opened: opening a device node can block (a
    // terminal), change the device (a tape rewinds on close) or never end
    // (/dev/zero, copied until the disk is full). Only the null device, an
    // empty list, is read among them.
    ScopedFd probe(open(path.c_str(), O_PATH | O_CLOEXEC));
    struct stat st;
    if (!probe.valid() || fstat(probe.get(), &st) != 0)
        return Fail(error, "cannot open the collect file " + path + ": " + strerror(errno));
    const bool nullDevice = S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3);
    if (S_ISDIR(st.st_mode) || S_ISBLK(st.st_mode) || (S_ISCHR(st.st_mode) && !nullDevice))
        return Fail(error, "the collect file " + path + " is a " +
                               (S_ISDIR(st.st_mode)   ? "directory"
                                : S_ISBLK(st.st_mode) ? "block device"
                                                      : "character device") +
                               ": a collect file is a file, or a pipe, of one path a line");
    ScopedFd source(open(ruxen::ProcFdPath(probe.get()).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!source.valid() || fstat(source.get(), &st) != 0)
        return Fail(error, "cannot open the collect file " + path + ": " + strerror(errno));
    if (S_ISREG(st.st_mode)) {
        m_fd = std::move(source);
        m_first.Take(m_fd.get(), m_path);
        m_known = true;
        return true;
    }

    // Read once, whole, into a file every reader of the job can share.
    ScopedFd copy;
    std::string tried;
    int why = 0;
    for (const std::string& dir : copyDirectories) {
        copy.reset(open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
        if (copy.valid()) {
            tried = dir;
            break;
        }
        why = errno;
        tried += (tried.empty() ? "" : ", ") + dir;
    }
    if (!copy.valid())
        return Fail(error, "cannot make a temporary copy of the collect file " + path +
                               " (which is not a regular file) in " + tried + ": " + strerror(why));
    std::vector<char> buf(kCopyChunk);
    for (;;) {
        const ssize_t n = read(source.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail(error, "cannot read the collect file " + path + ": " + strerror(errno));
        if (n == 0)
            break;
        if (ruxen::writeAll(copy.get(), buf.data(), static_cast<size_t>(n)) != 0)
            return Fail(error, "cannot copy the collect file " + path + " into a temporary file in " + tried + ": " +
                                   strerror(errno));
        m_copiedBytes += static_cast<uint64_t>(n);
    }
    m_fd = std::move(copy);
    m_copied = true;
    // The copy as made: no path names it, so only its descriptor is followed.
    m_first.Take(m_fd.get(), m_path);
    m_known = true;
    return true;
}

void CollectInputFile::Release() {
    if (!m_copied)
        m_fd.reset();
}

bool CollectInputFile::Reopen(std::string* error, bool* changed, const char** what) {
    *changed = false;
    if (m_fd.valid())
        return true;
    // What the name holds is looked at through an O_PATH descriptor, which
    // opens nothing, and only a regular file is opened through it: a FIFO
    // would hang the stream, a device could act on being opened, and a name
    // swapped between a look and an open could still be either.
    ScopedFd probe(open(m_path.c_str(), O_PATH | O_CLOEXEC));
    struct stat st;
    if (!probe.valid() && errno == ENOENT) {
        *changed = true;
        *what = "path";  // it names no file any more
        return Fail(error, m_path);
    }
    if (!probe.valid() || fstat(probe.get(), &st) != 0)
        return Fail(error, "cannot open the collect file " + m_path + " again: " + strerror(errno));
    ScopedFd fd;
    if (S_ISREG(st.st_mode))
        fd.reset(open(ruxen::ProcFdPath(probe.get()).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (S_ISREG(st.st_mode) && !fd.valid())
        return Fail(error, "cannot open the collect file " + m_path + " again: " + strerror(errno));
    const char* differs = !fd.valid() ? "inode" : m_first.Changed(fd.get(), m_path);
    if (differs != nullptr) {
        *changed = true;
        *what = differs;
        return Fail(error, m_path);
    }
    m_fd = std::move(fd);
    return true;
}
