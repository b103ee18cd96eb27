#include "platform/os/KxLongPathHandler.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/base/NoDestructor.h"
#include "platform/base/ScopedFd.h"
#include "platform/base/TestControl.h"
#include "platform/os/DirWalk.h"

namespace {

std::atomic<bool> g_unavailable{false};

}  // namespace

KxLongPathHandler* KxLongPathHandler::GetHandler() {
    static ruxen::NoDestructor<KxLongPathHandler> handler;
    return g_unavailable.load() ? nullptr : handler.get();
}

int KxLongPathHandler::openParent(const char* path, const char** last) {
    if (!path) {
        errno = EFAULT;
        return -1;
    }
    const size_t n = strlen(path);
    if (n == 0) {
        errno = ENOENT;
        return -1;
    }
    // The last component, trailing slashes included: the final call then
    // treats them as the ordinary call would.
    size_t e = n;
    while (e > 0 && path[e - 1] == '/')
        --e;
    if (e == 0) {  // nothing but slashes: the root itself
        *last = ".";
        return ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    size_t b = e;
    while (b > 0 && path[b - 1] != '/')
        --b;
    *last = path + b;
    if (b == 0)
        return ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return ruxen::OpenDirectory(std::string(path, b), nullptr);
}

int KxLongPathHandler::lstat_long(const char* path, struct stat* st) {
    const char* last;
    ScopedFd dir(openParent(path, &last));
    if (!dir.valid())
        return -1;
    return ::fstatat(dir.get(), last, st, AT_SYMLINK_NOFOLLOW);
}

int KxLongPathHandler::stat_long(const char* path, struct stat* st) {
    const char* last;
    ScopedFd dir(openParent(path, &last));
    if (!dir.valid())
        return -1;
    return ::fstatat(dir.get(), last, st, 0);
}

ssize_t KxLongPathHandler::readlink_long(const char* path, char* buf, size_t size) {
    const char* last;
    ScopedFd dir(openParent(path, &last));
    if (!dir.valid())
        return -1;
    return ::readlinkat(dir.get(), last, buf, size);
}

int KxLongPathHandler::utime_long(const char* path, const struct utimbuf* times) {
    if (!times)
        return utimens_long(path, nullptr, 0);
    struct timespec ts[2];
    ts[0].tv_sec = times->actime;
    ts[0].tv_nsec = 0;
    ts[1].tv_sec = times->modtime;
    ts[1].tv_nsec = 0;
    return utimens_long(path, ts, 0);
}

int KxLongPathHandler::utimens_long(const char* path, const struct timespec times[2], int flags) {
    const char* last;
    ScopedFd dir(openParent(path, &last));
    if (!dir.valid())
        return -1;
    return ::utimensat(dir.get(), last, times, flags);
}

DIR* KxLongPathHandler::opendir_long(const char* path) {
    const char* last;
    ScopedFd dir(openParent(path, &last));
    if (!dir.valid())
        return nullptr;
    ScopedFd fd(::openat(dir.get(), last, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        return nullptr;
    DIR* d = ::fdopendir(fd.get());
    if (d)
        fd.release();  // the stream owns it now
    return d;
}

int KxLongPathHandler::open_long(const char* path, int flags, mode_t mode) {
    const char* last;
    ScopedFd dir(openParent(path, &last));
    if (!dir.valid())
        return -1;
    return ::openat(dir.get(), last, flags, mode);
}

int KxLongPathHandler::chdir_long(const char* path) {
    const char* last;
    ScopedFd dir(openParent(path, &last));
    if (!dir.valid())
        return -1;
    ScopedFd fd(::openat(dir.get(), last, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    return ::fchdir(fd.get());
}

std::string KxLongPathHandler::GetCurrentWorkingDir() {
    char buf[PATH_MAX];
    if (::getcwd(buf, sizeof buf))
        return buf;
    if (errno != ENAMETOOLONG && errno != ERANGE)
        return std::string();

    // Longer than the kernel answers: climb with ".." and find each
    // directory's name in its parent.
    struct stat root;
    if (::stat("/", &root) != 0)
        return std::string();
    ScopedFd cur(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!cur.valid())
        return std::string();
    struct stat curSt;
    if (::fstat(cur.get(), &curSt) != 0)
        return std::string();
    std::vector<std::string> names;
    while (!(curSt.st_dev == root.st_dev && curSt.st_ino == root.st_ino)) {
        ScopedFd parent(::openat(cur.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!parent.valid())
            return std::string();
        struct stat parSt;
        if (::fstat(parent.get(), &parSt) != 0)
            return std::string();
        if (parSt.st_dev == curSt.st_dev && parSt.st_ino == curSt.st_ino)
            break;  // a root of its own (a changed root)
        ScopedFd listFd(::dup(parent.get()));
        DIR* d = listFd.valid() ? ::fdopendir(listFd.get()) : nullptr;
        if (!d)
            return std::string();
        listFd.release();  // the stream owns it now
        bool found = false;
        const bool crossesMount = parSt.st_dev != curSt.st_dev;
        errno = 0;
        while (struct dirent* de = ::readdir(d)) {
            if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, ".."))
                continue;
            // Below a mount point the entry's inode number is the covered
            // directory's, so every entry is checked there.
            if (!crossesMount && de->d_ino != curSt.st_ino)
                continue;
            struct stat st;
            if (::fstatat(parent.get(), de->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == curSt.st_dev &&
                st.st_ino == curSt.st_ino) {
                names.emplace_back(de->d_name);
                found = true;
                break;
            }
        }
        ::closedir(d);
        cur = std::move(parent);
        curSt = parSt;
        if (!found) {
            errno = ENOENT;
            return std::string();
        }
    }
    if (names.empty())
        return "/";
    std::string out;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        out += '/';
        out += *it;
    }
    return out;
}

void ruxen::testcontrol::SetLongPathsUnavailable(bool unavailable) { g_unavailable = unavailable; }

namespace {
const ruxen::testcontrol::Registration kTestReset("long paths",
                                                  [] { ruxen::testcontrol::SetLongPathsUnavailable(false); });
}  // namespace
