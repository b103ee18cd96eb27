// The reader's path operations. Every item is looked up relative to a
// descriptor of its directory, which the reader's cache holds while the next
// items share it (platform/os/ParentDirCache.h): a link among the directories
// of a path is followed only when root or the running user owns it, and the
// last component is taken as the call's own rule says. Paths longer than
// PATH_MAX are walked the same way, when the job backs up long paths.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/agent/KxLog.h"
#include "platform/base/ScopedFd.h"
#include "platform/os/KxLongPathHandler.h"
#include "platform/os/UtfFileOps.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"

KxLongPathHandler* CFileReader::GetLongPathHandler() {
    if (!m_longPathFetched) {
        m_longPathFetched = true;
        m_longPathHandler = KxLongPathHandler::GetHandler();
        if (m_longPathHandler == nullptr) {
            KXLOG(-1, "Long paths can not be handled by this job, will be reported as failures.");
            m_ctx->SetLongPathBackup(false);
        }
    }
    return m_longPathHandler;
}

bool CFileReader::ItemDirectory(const char* path, int* dir, const char** name) {
    if (path == nullptr) {
        errno = EFAULT;
        return false;
    }
    if (strnlen(path, PATH_MAX) >= PATH_MAX && !(m_ctx->IsLongPathBackup() && GetLongPathHandler())) {
        errno = ENAMETOOLONG;
        return false;
    }
    m_dirs.SetTrusted(m_ctx->GetTrustedPrefixes());
    return m_dirs.Parent(path, dir, name);
}

int CFileReader::lstatPath(const char* path, struct stat* st) {
    int dir;
    const char* name;
    return ItemDirectory(path, &dir, &name) ? fstatat(dir, name, st, AT_SYMLINK_NOFOLLOW) : -1;
}

int CFileReader::openPath(const char* path, int flags) {
    int dir;
    const char* name;
    return ItemDirectory(path, &dir, &name) ? m_ctx->FileOps().openat(dir, name, flags, path) : -1;
}

int CFileReader::openItemRef(const char* path) { return openPath(path, O_PATH | O_NOFOLLOW | O_CLOEXEC); }

int CFileReader::lstat(const char* path, struct stat* st) {
    m_userName.clear();
    m_groupName.clear();
    return lstatPath(path, st);
}

int CFileReader::readlink(const char* path, char* buf, size_t size) {
    int dir;
    const char* name;
    return ItemDirectory(path, &dir, &name) ? static_cast<int>(readlinkat(dir, name, buf, size)) : -1;
}

int CFileReader::utime(const char* path, const struct utimbuf* times) {
    int dir;
    const char* name;
    if (!ItemDirectory(path, &dir, &name))
        return -1;
    if (times == nullptr)
        return utimensat(dir, name, nullptr, 0);
    struct timespec ts[2] = {{times->actime, 0}, {times->modtime, 0}};
    return utimensat(dir, name, ts, 0);
}

DIR* CFileReader::opendir(const char* path) {
    ScopedFd fd(openPath(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        return nullptr;
    DIR* d = fdopendir(fd.get());
    if (d != nullptr)
        fd.release();  // the stream owns it now
    return d;
}

int CFileReader::closedir(DIR* dir) { return closedir_utf(dir); }
