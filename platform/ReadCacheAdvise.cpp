#include "platform/ReadCacheAdvise.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/KxLog.h"

namespace {

off_t PageSize() {
    static const off_t size = [] {
        long p = sysconf(_SC_PAGESIZE);
        return static_cast<off_t>(p > 0 ? p : 4096);
    }();
    return size;
}

}  // namespace

ReadCacheAdvise* ReadCacheAdvise::newInstance() { return new ReadCacheAdvise(); }

void ReadCacheAdvise::begin(int fd, bool directIO, off_t size) {
    m_fd = fd;
    m_adviced = 0;
    m_high = 0;
    m_nextSnapshotAt = 0;
    m_fileSize = 0;
    for (Snapshot& s : m_snapshots)
        s.window = -1;
    m_active = !directIO && fd >= 0;
    if (!m_active)
        return;
    if (size < 0) {
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
            size = st.st_size;
    }
    if (size >= 0 && size < kSmallFile) {
        m_active = false;
        return;
    }
    m_fileSize = size > 0 ? size : 0;
    advise(0, 0, POSIX_FADV_SEQUENTIAL);
    if (m_active && m_fileSize > 0) {
        for (int64_t w = 0; w <= kAhead; ++w)
            takeSnapshot(w);
        m_nextSnapshotAt = kWindow;
    }
}

void ReadCacheAdvise::snapshotAhead(off_t end) {
    // The reader has entered window w: take the windows up to w + kAhead
    // before the read-ahead gets there.
    int64_t w = (end - 1) / kWindow;
    for (int64_t ahead = w + 1; ahead <= w + kAhead; ++ahead)
        if (!findSnapshot(ahead))
            takeSnapshot(ahead);
    m_nextSnapshotAt = (w + 1) * kWindow;
}

const ReadCacheAdvise::Snapshot* ReadCacheAdvise::findSnapshot(int64_t window) const {
    for (const Snapshot& s : m_snapshots)
        if (s.window == window)
            return &s;
    return nullptr;
}

void ReadCacheAdvise::takeSnapshot(int64_t window) {
    Snapshot& s = m_snapshots[window % kSlots];
    s.window = window;
    s.known = false;
    off_t start = window * kWindow;
    if (m_fileSize <= 0 || start >= m_fileSize || PageSize() != 4096)
        return;
    off_t len = m_fileSize - start < kWindow ? m_fileSize - start : kWindow;
    void* map = mmap(nullptr, static_cast<size_t>(len), PROT_READ, MAP_SHARED, m_fd, start);
    if (map == MAP_FAILED)
        return;
    size_t pages = static_cast<size_t>((len + 4095) / 4096);
    if (mincore(map, static_cast<size_t>(len), s.resident) == 0) {
        for (size_t i = pages; i < kMaxPages; ++i)
            s.resident[i] = 0;
        s.known = true;
    }
    munmap(map, static_cast<size_t>(len));
}

void ReadCacheAdvise::dropRange(off_t from, off_t to) {
    while (from < to && m_active) {
        int64_t w = from / kWindow;
        off_t windowEnd = (w + 1) * kWindow;
        off_t stop = to < windowEnd ? to : windowEnd;
        const Snapshot* s = findSnapshot(w);
        if (!s || !s->known) {
            advise(from, stop - from, POSIX_FADV_DONTNEED);
        } else {
            // One call per run of pages that were not resident before.
            off_t base = w * kWindow;
            off_t p = from;
            while (p < stop) {
                size_t page = static_cast<size_t>((p - base) / 4096);
                bool wasResident = s->resident[page] & 1;
                off_t runEnd = base + static_cast<off_t>(page + 1) * 4096;
                while (runEnd < stop &&
                       ((s->resident[static_cast<size_t>((runEnd - base) / 4096)] & 1) != 0) == wasResident)
                    runEnd += 4096;
                if (runEnd > stop)
                    runEnd = stop;
                if (wasResident)
                    m_pagesKept += static_cast<unsigned long long>((runEnd - p + 4095) / 4096);
                else
                    advise(p, runEnd - p, POSIX_FADV_DONTNEED);
                p = runEnd;
            }
        }
        from = stop;
    }
}

void ReadCacheAdvise::dropBehind() {
    // The kernel drops whole pages only; the partly read last page is
    // dropped with the next window.
    off_t upTo = m_high - (m_high % PageSize());
    dropRange(m_adviced, upTo);
    m_adviced = upTo;
}

void ReadCacheAdvise::end(int fd) {
    if (m_active && fd == m_fd && m_high > m_adviced)
        dropRange(m_adviced, m_high);
    m_active = false;
    m_fd = -1;
    m_adviced = 0;
    m_high = 0;
}

void ReadCacheAdvise::advise(off_t offset, off_t len, int advice) {
    if (!m_active)
        return;
    ++m_adviceCalls;
    int rc = posix_fadvise(m_fd, offset, len, advice);
    if (rc != 0) {
        ++m_failedAdviceCalls;
        // Pipes and FIFOs (ESPIPE) take no advice; stop asking for this handle.
        KXLOG(3, "posix_fadvise(%d, %lld, %lld, %d) failed: %d", m_fd,
              static_cast<long long>(offset), static_cast<long long>(len), advice, rc);
        m_active = false;
    }
}
