// The data-loss-prevention reader. Every data-fork read of the file reader
// goes through it so that files protected by a data-loss-prevention agent
// can be read decoded.
//
// No such agent exists on this host: the reader passes reads straight to
// read(2) and reports no decoded size. Tests can force DLP mode and a decoded
// size process-wide (platform/base/TestControl.h).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

class DlpBackupReader {
public:
    static DlpBackupReader* create();
    static void destroy(DlpBackupReader* reader);  // null is allowed

    // The file being read now (the handle and its path).
    void setFd(int fd, const char* path);

    // Behaves as read(2) on `fd` (retries EINTR; -1 with errno on failure).
    ssize_t read(int fd, void* buf, size_t n);

    // Whether the current file is read in DLP mode.
    bool isDlpMode() const;

    // The decoded size of the current file, or (unsigned long long)-1 when
    // no decoded size applies.
    unsigned long long getDecFileSize() const;

    int getFd() const { return m_fd; }
    const std::string& getPath() const { return m_path; }

private:
    DlpBackupReader() = default;
    ~DlpBackupReader() = default;

    int m_fd = -1;
    std::string m_path;
};
