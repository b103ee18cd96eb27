// The file reader's operations with faults on request. The n-th call (from
// 1) of a faulty operation answers -1 with `err`; 0 switches it off. Each
// fault fires once. `failRef` counts the opens of an item's reference
// (O_PATH), through which a directory's ACLs are read. `mandLock` makes fstatvfs report a file system mounted
// with mandatory locking; `afterRead` runs after each data read that gave
// bytes.
#pragma once

#include <fcntl.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdint>
#include <functional>

#include "reader/CFileReaderOps.h"

namespace testfiles {

class FaultyReaderOps : public CFileReaderOps {
public:
    struct Fault {
        uint64_t call = 0;
        int err = EIO;
        uint64_t calls = 0;
        bool fires() {
            if (++calls != call)
                return false;
            errno = err;
            return true;
        }
    };
    Fault failRead, failStub, failSeek, failRef;
    bool mandLock = false;
    std::function<void()> afterRead;

    ssize_t read(DlpBackupReader& dlp, int fd, void* buf, size_t count) override {
        if (failRead.fires())
            return -1;
        ssize_t n = CFileReaderOps::read(dlp, fd, buf, count);
        if (n > 0 && afterRead)
            afterRead();
        return n;
    }
    ssize_t readStub(const char* stub, size_t left, char* buf, size_t count) override {
        return failStub.fires() ? -1 : CFileReaderOps::readStub(stub, left, buf, count);
    }
    int openat(int dir, const char* name, int flags, const char* path) override {
        return (flags & O_PATH) && failRef.fires() ? -1 : CFileReaderOps::openat(dir, name, flags, path);
    }
    off_t lseek(int fd, off_t offset, int whence) override {
        return failSeek.fires() ? -1 : CFileReaderOps::lseek(fd, offset, whence);
    }
    int fstatvfs(int fd, struct statvfs* st) override {
        int r = CFileReaderOps::fstatvfs(fd, st);
        if (r == 0 && mandLock)
            st->f_flag |= ST_MANDLOCK;
        return r;
    }
};

}  // namespace testfiles
