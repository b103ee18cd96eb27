#include "reader/CFileReaderOps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "platform/base/NoDestructor.h"
#include "platform/hsm/DlpBackupReader.h"

int CFileReaderOps::openat(int dir, const char* name, int flags, const char*) { return ::openat(dir, name, flags); }

ssize_t CFileReaderOps::read(DlpBackupReader& dlp, int fd, void* buf, size_t count) { return dlp.read(fd, buf, count); }

off_t CFileReaderOps::lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }

int CFileReaderOps::fstat(int fd, struct stat* st) { return ::fstat(fd, st); }

int CFileReaderOps::fstatvfs(int fd, struct statvfs* st) { return ::fstatvfs(fd, st); }

ssize_t CFileReaderOps::readStub(const char* stub, size_t left, char* buf, size_t count) {
    size_t n = count < left ? count : left;
    if (n > 0)
        memcpy(buf, stub, n);
    return static_cast<ssize_t>(n);
}

CFileReaderOps& CFileReaderOps::System() {
    static ruxen::NoDestructor<CFileReaderOps> ops;  // used until exit
    return *ops;
}
