#include "platform/os/UtfFileOps.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

int lstat_utf(const char* path, struct stat* st) { return ::lstat(path, st); }

ssize_t readlink_utf(const char* path, char* buf, size_t size) { return ::readlink(path, buf, size); }

int utime_utf(const char* path, const struct utimbuf* times) { return ::utime(path, times); }

DIR* opendir_utf(const char* path) { return ::opendir(path); }

int closedir_utf(DIR* dir) {
    if (!dir) {
        errno = EBADF;
        return -1;
    }
    return ::closedir(dir);
}

int open_utf(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

std::string KX_DFMF_NAME(const char* path) {
    if (!path)
        return std::string();
    size_t e = strlen(path);
    while (e > 0 && path[e - 1] == '/')
        --e;
    if (e == 0)
        return std::string();
    size_t b = e;
    while (b > 0 && path[b - 1] != '/')
        --b;
    std::string out;
    out.reserve(e + 2);
    out.append(path, b);
    out.append("._");
    out.append(path + b, e - b);
    return out;
}
