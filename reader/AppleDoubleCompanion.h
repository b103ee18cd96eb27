// The AppleDouble companion of the item being read: its descriptor, the
// identity (device and inode) it was opened with, its path, the one reopen
// an item is allowed, and its entry table (AppleDouble.h has the layout).
//
// A descriptor number that no longer names the companion (closed behind the
// reader's back, or reused for another file) is never closed by the
// companion: it may belong to someone else by now. It is dropped, and the
// companion is opened again once per item.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/base/ScopedFd.h"
#include "reader/AppleDouble.h"

class AppleDoubleCompanion {
public:
    // Opens a path with flags (the reader's long-path-aware open).
    using Opener = std::function<int(const char* path, int flags)>;

    explicit AppleDoubleCompanion(Opener opener) : m_open(std::move(opener)) {}

    // Opens `name`, which lstat described as `st`, without following a link
    // and without blocking; -1 with errno (ESTALE when it is no longer that
    // regular file).
    int Open(const std::string& name, const struct stat& st);
    // Closes the companion and forgets it: name, identity, reopen count.
    void Close();

    int Fd() const { return m_fd.get(); }
    const std::string& Name() const { return m_name; }
    // Names a companion without opening it (a reopen then checks only that
    // it is a regular file).
    void SetName(const std::string& name) { m_name = name; }

    // The length of the first entry `type` of the companion open on `fd`;
    // -2 when there is none; -1 with errno on a bad file (no header, a table
    // shorter than its count, more than 1024 entries, a length above
    // INT_MAX).
    int EntrySize(uint32_t type, int fd, bool debug);
    // Reads up to `size` bytes of entry `type` from `offset` within the
    // entry; the count (0 past its end) or -1. When `fd` no longer names the
    // companion, the companion is reopened (once per item) and read instead.
    int ReadEntry(uint32_t type, int fd, size_t offset, char* buf, int size, bool debug);

private:
    // The companion's entry table, for AppleDouble debugging.
    void LogTable() const;
    // Whether `fd` fails to name the companion (it is closed, or another
    // file now holds its number).
    bool IsStale(int fd) const;
    // Opens the companion again; -1 with errno (ESTALE when the name no
    // longer names it).
    int Reopen();

    Opener m_open;
    ScopedFd m_fd;
    std::string m_name;
    dev_t m_dev = 0;
    ino_t m_ino = 0;  // 0: identity unknown
    unsigned m_reopenCount = 0;
    AppleDouble m_table;  // reused between reads
};
