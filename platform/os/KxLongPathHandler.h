// File calls for paths of any length, PATH_MAX (4096 bytes) and beyond.
//
// The leading directories of a path are walked by the rule of
// platform/os/DirWalk.h, in pieces the kernel takes: a symbolic link among them
// is followed only when root or the running user owns it (any other fails
// the call with ELOOP), starting from "/" (absolute paths) or the current
// directory (relative paths). The final component is handled by the *at()
// call with the ordinary call's own rule (lstat and readlink do not follow
// it, utime, open and opendir do unless the flags say otherwise). Failures
// answer as the ordinary call does: -1 (or null) and errno.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <utime.h>

#include <ctime>
#include <string>

#include "platform/base/NoDestructor.h"

class KxLongPathHandler {
public:
    // The handler of the process (null when long paths cannot be handled;
    // only a test makes that happen).
    static KxLongPathHandler* GetHandler();

    int lstat_long(const char* path, struct stat* st);
    // stat(2): a symbolic link as the last component is followed.
    int stat_long(const char* path, struct stat* st);
    ssize_t readlink_long(const char* path, char* buf, size_t size);
    // `times` null sets both times to now, as utime(2).
    int utime_long(const char* path, const struct utimbuf* times);
    // utimensat(2) for long paths (flags: 0 or AT_SYMLINK_NOFOLLOW).
    int utimens_long(const char* path, const struct timespec times[2], int flags);
    DIR* opendir_long(const char* path);
    int open_long(const char* path, int flags, mode_t mode = 0);
    int chdir_long(const char* path);

    // The current directory, also when it is longer than PATH_MAX; "" with
    // errno on failure.
    std::string GetCurrentWorkingDir();

private:
    friend class ruxen::NoDestructor<KxLongPathHandler>;
    KxLongPathHandler() = default;

    // Opens the directory that holds the last component of `path` and points
    // `last` at that component (with any trailing slashes). Answers the
    // directory handle (to be closed by the caller), or -1 with errno.
    int openParent(const char* path, const char** last);
};
