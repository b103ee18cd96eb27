// Page-cache advice for a sequential backup read: the kernel is told that the
// file is read sequentially, and the pages behind the reader are dropped in
// windows so that a backup does not push the host's working set out of the
// page cache. Nothing is advised for handles opened with O_DIRECT.
//
// Only pages that the backup itself brought into the cache are dropped.
// Pages that were cached before the reader reached them belong to someone
// else's working set (or to the previous backup of a file that stays hot);
// dropping them would make the host, and the next read, go to disk. So the
// residency of each window is taken (mincore over a short-lived read-only
// mapping) one window ahead of the reader, and a window's drop skips the
// pages that were resident then. The residency is taken kAhead windows
// ahead of the reader: the kernel's read-ahead (up to twice the device's
// read_ahead_kb under the sequential hint, 16 MiB on common virtual disks)
// must not have reached a window before its residency is known. A window
// whose residency is unknown (the reader jumped there, or the mapping
// failed) is dropped whole.
//
// Where the kernel has cachestat(2) (Linux 6.5), one call tells how much of
// a window is cached, and a window wholly cached or wholly not needs no
// mapping to know its pages. The call walks the cached pages of its range,
// so each window is asked once, when its residency is taken; only when the
// first windows are wholly cached is the rest of the file asked too, in one
// call: a file wholly cached when it is opened has nothing the backup could
// bring in and gets no advice at all. Elsewhere (ENOSYS) the residency is
// always taken by mincore.
//
// A reader that jumps forward (over a hole of a sparse file) moves the
// advice point to where it landed: nothing was read in between, so nothing
// there is advised. Told before the read (willRead), the advice takes the
// residency of the windows it lands in first.
//
// note() runs once per read on the hot path: it costs an integer compare and
// issues system calls only once per window.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

class ReadCacheAdvise {
public:
    // The window after which the pages read are dropped.
    static constexpr off_t kWindow = 8 * 1024 * 1024;
    static constexpr off_t kSmallFile = 1024 * 1024;
    // How many windows ahead of the reader their residency is taken.
    static constexpr int kAhead = 4;

    static ReadCacheAdvise* newInstance();
    virtual ~ReadCacheAdvise() = default;

    // Starts advice for a newly opened handle: POSIX_FADV_SEQUENTIAL, unless
    // `directIO` (then note and end do nothing for this handle). A handle
    // that takes no advice (a pipe or FIFO) is not advised further either.
    // One handle is followed at a time: begin forgets the previous one.
    // `size` is the file's size when the caller knows it (-1: ask fstat).
    // A file smaller than kSmallFile gets no advice at all: it is read in
    // one or two calls, the hint has nothing to act on, and its pages sit on
    // the kernel's inactive list, the first to go; the advice's own system
    // calls would cost more than the read.
    void begin(int fd, bool directIO, off_t size = -1);

    // Reports that `count` bytes were read at `pos`. Once the reader is a
    // window past the last advice point, the pages behind it that the read
    // brought in are dropped (POSIX_FADV_DONTNEED).
    void note(int fd, off_t pos, size_t count) {
        if (!m_active || fd != m_fd)
            return;
        if (pos > m_high)
            jumpTo(pos);
        off_t end = pos + static_cast<off_t>(count);
        if (end > m_high)
            m_high = end;
        if (end > m_nextSnapshotAt)
            snapshotAhead(end);
        if (m_high - m_adviced >= kWindow)
            dropBehind();
    }

    // Tells that the reader is about to read at `pos`. A read that starts
    // beyond everything read so far (the reader seeked over a hole) first
    // takes the residency of the windows it lands in, so that the pages
    // that were cached before the backup got there are kept; taken after
    // the read, they would all look like the backup's own.
    void willRead(int fd, off_t pos) {
        if (m_active && fd == m_fd && pos > m_high)
            landAt(pos);
    }

    // Ends advice for the handle: DONTNEED for the rest that was read.
    void end(int fd);

    // Counters for tests and diagnostics.
    unsigned long adviceCalls() const { return m_adviceCalls; }
    unsigned long failedAdviceCalls() const { return m_failedAdviceCalls; }
    // Pages left in the cache because they were resident before the read.
    unsigned long long pagesKept() const { return m_pagesKept; }

    // Whether cachestat(2) is asked (the kernel has it and it is not
    // switched off); tests switch it off to check the mincore way.
    static bool CachestatInUse();

    // Pages of [off, off + len) of a file that are in the page cache:
    // cachestat(2) where the kernel has it, else mincore over a short-lived
    // mapping; -1 when neither can say. Safe from any thread.
    static long long ResidentPages(int fd, off_t off, off_t len);

protected:
    ReadCacheAdvise() = default;

private:
    static constexpr int kSlots = kAhead + 2;
    static constexpr size_t kMaxPages = static_cast<size_t>(kWindow / 4096);

    // Residency of one window, taken before the reader got there.
    struct Snapshot {
        int64_t window = -1;  // window number, -1 when the slot is empty
        bool known = false;
        bool allCached = false;  // cachestat found every page cached
        unsigned char resident[kMaxPages];
    };

    bool whollyCached() const;
    void jumpTo(off_t pos);
    void landAt(off_t pos);
    void snapshotAhead(off_t end);
    void takeSnapshot(int64_t window);
    const Snapshot* findSnapshot(int64_t window) const;
    void dropBehind();
    void dropRange(off_t from, off_t to);
    void advise(off_t offset, off_t len, int advice);

    int m_fd = -1;
    bool m_active = false;
    off_t m_adviced = 0;         // bytes [0, m_adviced) were already dealt with
    off_t m_high = 0;            // highest byte read so far (exclusive)
    off_t m_nextSnapshotAt = 0;  // the next snapshot is due once a read passes this
    off_t m_fileSize = 0;
    Snapshot m_snapshots[kSlots];
    unsigned long m_adviceCalls = 0;
    unsigned long m_failedAdviceCalls = 0;
    unsigned long long m_pagesKept = 0;
};
