// Page-cache advice for a sequential backup read: the kernel is told that the
// file is read sequentially, and the pages behind the reader are dropped in
// windows so that a backup does not push the host's working set out of the
// page cache. Nothing is advised for handles opened with O_DIRECT.
//
// note() runs once per read on the hot path: it costs an integer compare and
// issues a system call only once per window.
#pragma once

#include <sys/types.h>

#include <cstddef>

class ReadCacheAdvise {
public:
    // The window after which the pages read are dropped.
    static constexpr off_t kWindow = 8 * 1024 * 1024;

    static ReadCacheAdvise* newInstance();
    virtual ~ReadCacheAdvise() = default;

    // Starts advice for a newly opened handle: POSIX_FADV_SEQUENTIAL, unless
    // `directIO` (then note and end do nothing for this handle). A handle
    // that takes no advice (a pipe or FIFO) is not advised further either.
    // One handle is followed at a time: begin forgets the previous one.
    void begin(int fd, bool directIO);

    // Reports that `count` bytes were read at `pos`. Once the reader is a
    // window past the last advice point, POSIX_FADV_DONTNEED is given for the
    // range behind it.
    void note(int fd, off_t pos, size_t count) {
        if (!m_active || fd != m_fd)
            return;
        off_t end = pos + static_cast<off_t>(count);
        if (end > m_high)
            m_high = end;
        if (m_high - m_adviced >= kWindow)
            dropBehind();
    }

    // Ends advice for the handle: DONTNEED for the rest that was read.
    void end(int fd);

    // Counters for tests and diagnostics.
    unsigned long adviceCalls() const { return m_adviceCalls; }
    unsigned long failedAdviceCalls() const { return m_failedAdviceCalls; }

protected:
    ReadCacheAdvise() = default;

private:
    void dropBehind();
    void advise(off_t offset, off_t len, int advice);

    int m_fd = -1;
    bool m_active = false;
    off_t m_adviced = 0;  // bytes [0, m_adviced) were already dropped
    off_t m_high = 0;     // highest byte read so far (exclusive)
    unsigned long m_adviceCalls = 0;
    unsigned long m_failedAdviceCalls = 0;
};
