#include "hardlinks/HLFileOps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "hardlinks/HardLinkExceptions.h"
#include "hardlinks/HardLinkMessages.h"
#include "platform/agent/KxLog.h"
#include "platform/base/FdIO.h"

int RemoveFileIfPresent(const std::string& path) { return unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : -1; }

bool PathExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

namespace {

[[noreturn]] void CopyFailed(const char* what, const std::string& source, const std::string& destination) {
    KXLOG(-1, "copy of %s to %s failed: %s (%s)", source.c_str(), destination.c_str(), what, strerror(errno));
    throw HardLinkManagerBaseException(what);
}

// Writes what `fill` produces into path's temporary name, syncs and renames
// it over path. 0, or an errno value with the temporary file removed.
template <class Fill>
int WriteThroughTemporary(const std::string& path, Fill fill) {
    const std::string tmp = path + ".tmp";
    ScopedFd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid())
        return errno;
    int err = fill(fd.get()) == 0 && fsync(fd.get()) == 0 ? 0 : errno;
    if (fd.Close() != 0 && err == 0)
        err = errno;
    if (err == 0 && rename(tmp.c_str(), path.c_str()) != 0)
        err = errno;
    if (err != 0)
        unlink(tmp.c_str());
    return err;
}

}  // namespace

void copy_file(const std::string& source, const std::string& destination, bool overwrite) {
    ScopedFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat sst, dst;
    if (!in.valid() || fstat(in.get(), &sst) != 0)
        CopyFailed(kErrCopyOpenIn, source, destination);
    if (stat(destination.c_str(), &dst) == 0) {
        if (dst.st_dev == sst.st_dev && dst.st_ino == sst.st_ino)
            CopyFailed(kErrCopySame, source, destination);
        if (!overwrite)
            CopyFailed(kErrCopyExists, source, destination);
    }
    int err = WriteThroughTemporary(destination, [&](int out) {
        std::vector<char> buf(1 << 20);
        for (;;) {
            ssize_t n = read(in.get(), buf.data(), buf.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return static_cast<int>(n);
            if (ruxen::writeAll(out, buf.data(), static_cast<size_t>(n)) != 0)
                return -1;
        }
    });
    if (err != 0) {
        errno = err;
        CopyFailed(err == EACCES || err == ENOENT ? kErrCopyOpenOut : kErrCopyIO, source, destination);
    }
}

int WriteFileSynced(const std::string& path, const std::string& content) {
    ScopedFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid())
        return errno;
    int err = ruxen::writeAll(fd.get(), content.data(), content.size()) == 0 && fsync(fd.get()) == 0 ? 0 : errno;
    if (fd.Close() != 0 && err == 0)
        err = errno;
    return err;
}

int SyncPath(const std::string& path) {
    ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    return fsync(fd.get()) == 0 && fd.Close() == 0 ? 0 : -1;
}

int WriteFileAtomically(const std::string& path, const std::string& content) {
    return WriteThroughTemporary(path, [&](int fd) { return ruxen::writeAll(fd, content.data(), content.size()); });
}
