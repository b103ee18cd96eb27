// The file operations of the file reader, behind one small interface so that
// a test can make any of them fail (the write side has MemoryRecordSink for
// the same purpose). The reader context holds the operations every reader of
// the job uses; this base class is the real thing and the default.
//
// Each operation answers as its system call does: -1 (or a negative count)
// with errno on failure.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstddef>

class DlpBackupReader;

class CFileReaderOps {
public:
    virtual ~CFileReaderOps() = default;

    // openat(2) of `name` in the directory open at `dir`; `path` is the
    // item's whole path, for a test to tell items apart.
    virtual int openat(int dir, const char* name, int flags, const char* path);
    // A data-fork read: through the data-loss-prevention reader, which
    // behaves as read(2).
    virtual ssize_t read(DlpBackupReader& dlp, int fd, void* buf, size_t count);
    virtual off_t lseek(int fd, off_t offset, int whence);
    virtual int fstat(int fd, struct stat* st);
    virtual int fstatvfs(int fd, struct statvfs* st);
    // Copies up to `count` of the `left` stub bytes at `stub`; the count.
    virtual ssize_t readStub(const char* stub, size_t left, char* buf, size_t count);

    // The real operations, shared by every context that sets none of its own.
    static CFileReaderOps& System();
};
