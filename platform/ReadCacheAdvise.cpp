#include "platform/ReadCacheAdvise.h"

#include <fcntl.h>
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

void ReadCacheAdvise::begin(int fd, bool directIO) {
    m_fd = fd;
    m_adviced = 0;
    m_high = 0;
    m_active = !directIO && fd >= 0;
    if (m_active)
        advise(0, 0, POSIX_FADV_SEQUENTIAL);
}

void ReadCacheAdvise::dropBehind() {
    advise(m_adviced, m_high - m_adviced, POSIX_FADV_DONTNEED);
    // The kernel drops whole pages only; the partly read last page is
    // dropped with the next window.
    m_adviced = m_high - (m_high % PageSize());
}

void ReadCacheAdvise::end(int fd) {
    if (m_active && fd == m_fd && m_high > m_adviced)
        advise(m_adviced, m_high - m_adviced, POSIX_FADV_DONTNEED);
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
