#include "platform/os/ReadCacheAdvise.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"

namespace {

// cachestat(2): the same number on every architecture of the unified
// system-call table.
constexpr long kSysCachestat = 451;

struct CachestatRange {
    uint64_t off;
    uint64_t len;
};
struct Cachestat {
    uint64_t nr_cache;
    uint64_t nr_dirty;
    uint64_t nr_writeback;
    uint64_t nr_evicted;
    uint64_t nr_recently_evicted;
};

// False once the kernel (or a seccomp filter) refused the call.
std::atomic<bool> g_cachestat{true};

// Pages of [off, off + len) in the page cache; -1 when the kernel cannot say.
long long CachedPages(int fd, off_t off, off_t len) {
    if (!g_cachestat.load(std::memory_order_relaxed))
        return -1;
    CachestatRange range{static_cast<uint64_t>(off), static_cast<uint64_t>(len)};
    Cachestat cs;
    if (syscall(kSysCachestat, fd, &range, &cs, 0) == 0)
        return static_cast<long long>(cs.nr_cache);
    if (errno == ENOSYS || errno == EPERM)
        g_cachestat.store(false, std::memory_order_relaxed);
    return -1;
}

off_t PageSize() {
    static const off_t size = [] {
        long p = sysconf(_SC_PAGESIZE);
        return static_cast<off_t>(p > 0 ? p : 4096);
    }();
    return size;
}

}  // namespace

ReadCacheAdvise* ReadCacheAdvise::newInstance() { return new ReadCacheAdvise(); }

bool ReadCacheAdvise::CachestatInUse() { return g_cachestat.load(std::memory_order_relaxed); }

long long ReadCacheAdvise::ResidentPages(int fd, off_t off, off_t len) {
    if (len <= 0)
        return 0;
    const long long cached = CachedPages(fd, off, len);
    if (cached >= 0)
        return cached;
    const off_t page = PageSize();
    const off_t start = off - off % page;
    const size_t span = static_cast<size_t>(off + len - start);
    void* map = mmap(nullptr, span, PROT_READ, MAP_SHARED, fd, start);
    if (map == MAP_FAILED)
        return -1;
    std::vector<unsigned char> resident((span + page - 1) / page);
    long long count = -1;
    if (mincore(map, span, resident.data()) == 0) {
        count = 0;
        for (unsigned char r : resident)
            count += r & 1;
    }
    munmap(map, span);
    return count;
}

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
    if (m_fileSize > 0) {
        // The residency of the first windows is taken before the first read
        // in any case.
        for (int64_t w = 0; w <= kAhead; ++w)
            takeSnapshot(w);
        m_nextSnapshotAt = kWindow;
        if (whollyCached()) {
            // Nothing to drop, and nothing for read-ahead to fetch.
            m_pagesKept += static_cast<unsigned long long>((m_fileSize + 4095) / 4096);
            m_active = false;
            return;
        }
    }
    advise(0, 0, POSIX_FADV_SEQUENTIAL);
}

// Whether the whole file is in the page cache, as cachestat says. Asked only
// when each of the first windows is: the rest of the file is then asked
// once. A file partly cached costs no walk over its pages beyond the one of
// each window the reader comes to.
bool ReadCacheAdvise::whollyCached() const {
    for (int64_t w = 0; w <= kAhead; ++w) {
        if (w * kWindow >= m_fileSize)
            return true;
        const Snapshot* s = findSnapshot(w);
        if (!s || !s->allCached)
            return false;
    }
    const off_t rest = (kAhead + 1) * kWindow;
    if (rest >= m_fileSize)
        return true;
    return CachedPages(m_fd, rest, m_fileSize - rest) == (m_fileSize - rest + 4095) / 4096;
}

void ReadCacheAdvise::jumpTo(off_t pos) {
    if (m_high > m_adviced)
        dropRange(m_adviced, m_high);
    m_adviced = pos - pos % PageSize();
    m_high = pos;
}

void ReadCacheAdvise::landAt(off_t pos) {
    jumpTo(pos);
    const int64_t w = pos / kWindow;
    for (int64_t at = w; at <= w + kAhead; ++at)
        if (!findSnapshot(at))
            takeSnapshot(at);
    m_nextSnapshotAt = (w + 1) * kWindow;
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
    s.allCached = false;
    off_t start = window * kWindow;
    if (m_fileSize <= 0 || start >= m_fileSize || PageSize() != 4096)
        return;
    off_t len = m_fileSize - start < kWindow ? m_fileSize - start : kWindow;
    size_t pages = static_cast<size_t>((len + 4095) / 4096);
    const long long cached = CachedPages(m_fd, start, len);
    if (cached == 0 || cached == static_cast<long long>(pages)) {
        memset(s.resident, cached == 0 ? 0 : 1, pages);
        memset(s.resident + pages, 0, kMaxPages - pages);
        s.known = true;
        s.allCached = cached != 0;
        return;
    }
    void* map = mmap(nullptr, static_cast<size_t>(len), PROT_READ, MAP_SHARED, m_fd, start);
    if (map == MAP_FAILED)
        return;
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
        KXLOG(3, "posix_fadvise(%d, %lld, %lld, %d) failed: %d", m_fd, static_cast<long long>(offset),
              static_cast<long long>(len), advice, rc);
        m_active = false;
    }
}

void ruxen::testcontrol::UseCachestat(bool use) { g_cachestat.store(use, std::memory_order_relaxed); }

namespace {
const ruxen::testcontrol::Registration kTestReset("cachestat in cache advice",
                                                  [] { ruxen::testcontrol::UseCachestat(true); });
}  // namespace
