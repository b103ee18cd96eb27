// File calls on names that may carry any bytes. On Linux paths are bytes and
// the calls pass them through unchanged.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <utime.h>

#include <string>

int lstat_utf(const char* path, struct stat* st);
ssize_t readlink_utf(const char* path, char* buf, size_t size);
int utime_utf(const char* path, const struct utimbuf* times);
DIR* opendir_utf(const char* path);
int closedir_utf(DIR* dir);
int open_utf(const char* path, int flags, mode_t mode = 0);

// The name of the AppleDouble companion file of `path`: the same directory,
// the base name prefixed with "._". "/a/b/c" gives "/a/b/._c", "/x" gives
// "/._x", "x" gives "._x"; trailing slashes of `path` are ignored. A path
// without a base name ("", "/", null) has no companion: "".
std::string KX_DFMF_NAME(const char* path);
