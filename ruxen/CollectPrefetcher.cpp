#include "ruxen/CollectPrefetcher.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <exception>
#include <system_error>
#include <utility>

#include "platform/agent/KxLog.h"
#include "platform/base/ScopedFd.h"
#include "platform/hsm/ZXHSMLowLevel.h"
#include "platform/os/ReadCacheAdvise.h"
#include "platform/text/PathUtil.h"
#include "reader/CFileReaderContext.h"
#include "reader/CFileReaderOps.h"
#include "ruxen/CollectFileReader.h"
#include "zxhsm/ZXHSMCommon/ZXHSMLowLevelCtx.h"

namespace {

long long PagesOf(off_t len) {
    static const long page = [] {
        long p = sysconf(_SC_PAGESIZE);
        return p > 0 ? p : 4096L;
    }();
    return (len + page - 1) / page;
}

}  // namespace

CollectPrefetcher::CollectPrefetcher(int collectFd, std::string name, uint64_t startOffset, CFileReaderContext& context,
                                     size_t distance)
    : m_path(std::move(name)),
      m_collect(collectFd < 0 ? -1 : fcntl(collectFd, F_DUPFD_CLOEXEC, 0)),
      m_startOffset(startOffset),
      m_distance(distance > 0 ? distance : 1),
      m_context(context) {}

CollectPrefetcher::~CollectPrefetcher() { Stop(); }

void CollectPrefetcher::StreamAt(uint64_t collectOffset) {
    if (!m_started) {
        if (!m_stopped)
            Start(collectOffset);
        return;
    }
    m_streamAt.store(collectOffset);
    // Only a helper that waits for this position needs the lock and a wake.
    if (collectOffset >= m_wakeAt.load()) {
        std::lock_guard<std::mutex> g(m_lock);
        m_wake.notify_one();
    }
}

void CollectPrefetcher::Start(uint64_t collectOffset) {
    m_started = true;
    m_streamAt.store(collectOffset);
    CFileReaderContext& c = m_context;
    // What the stream does before every item; the settings are final then.
    c.InitHSM();
    const char* why = nullptr;
    if (c.IsSnapCatalogeJob())
        why = "a catalog-only job reads no data";
    else if (c.ShouldUseDirectIO())
        why = "direct reads bypass the page cache";
    else if (c.IsZXHSMInstalled() && c.IsArchiveAndDelete())
        why = "every item may be a tiered-storage stub (archive and delete)";
    else if (c.IsSnapJob() && c.IsEarlyStubBackup())
        why = "every item is a stub (early stub backup of a snapshot)";
    if (why) {
        KXLOG(2, "no prefetch for %s: %s", m_path.c_str(), why);
        return;
    }
    m_policy.askSnapStub = c.IsSnapJob();
    m_policy.driverMode = c.GetUseDriver() > 0 ? c.GetUseDriver() : ZXHSM_DRIVER_LESS;
    m_leaveLargeFiles = c.UsingCacheAdvise();
    m_ops = &c.FileOps();
    m_dirs.SetTrusted(c.GetTrustedPrefixes());
    try {
        m_thread = std::thread(&CollectPrefetcher::Run, this);
    } catch (const std::system_error& e) {
        KXLOG(1, "no prefetch for %s: cannot start its thread: %s", m_path.c_str(), e.what());
    }
}

void CollectPrefetcher::Stop() {
    if (m_stopped)
        return;
    m_stopped = true;
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_stop.store(true);
    }
    m_wake.notify_all();
    m_thread.join();
    const Counters n = GetCounters();
    KXLOG(2,
          "prefetch of %s: %llu lines, %llu files opened, %llu advised, %llu found cached, %llu possible stubs "
          "and %llu files refusing O_NOATIME passed over, switched off %llu times",
          m_path.c_str(), static_cast<unsigned long long>(n.lines), static_cast<unsigned long long>(n.opened),
          static_cast<unsigned long long>(n.advised), static_cast<unsigned long long>(n.cached),
          static_cast<unsigned long long>(n.stubSkipped), static_cast<unsigned long long>(n.noAtimeSkipped),
          static_cast<unsigned long long>(n.switchedOff));
}

bool CollectPrefetcher::IdleLocked() const { return m_finished || (m_waiting && m_streamAt.load() < m_waitingFor); }

void CollectPrefetcher::WaitIdle() {
    if (!m_thread.joinable())
        return;
    std::unique_lock<std::mutex> g(m_lock);
    m_idle.wait(g, [this] { return IdleLocked(); });
}

CollectPrefetcher::Counters CollectPrefetcher::GetCounters() const {
    Counters n;
    n.lines = m_counters.lines.load();
    n.opened = m_counters.opened.load();
    n.advised = m_counters.advised.load();
    n.cached = m_counters.cached.load();
    n.stubSkipped = m_counters.stubSkipped.load();
    n.noAtimeSkipped = m_counters.noAtimeSkipped.load();
    n.switchedOff = m_counters.switchedOff.load();
    return n;
}

bool CollectPrefetcher::WaitForStream(uint64_t wakeAt) {
    std::unique_lock<std::mutex> g(m_lock);
    m_waitingFor = wakeAt;
    m_waiting = true;
    m_idle.notify_all();
    if (m_off) {
        // Switched off, the helper only samples: it looks again after a
        // while rather than have the stream wake it, which would cost the
        // stream a system call and a context switch every half window.
        if (!m_stop.load() && m_streamAt.load() < wakeAt)
            m_wake.wait_for(g, m_offPoll);
    } else {
        // Published before the position is read again: a stream that moves
        // on after this store sees it and wakes the helper under the lock.
        m_wakeAt.store(wakeAt);
        while (!m_stop.load() && m_streamAt.load() < wakeAt)
            m_wake.wait(g);
        m_wakeAt.store(UINT64_MAX);
    }
    m_waiting = false;
    return !m_stop.load();
}

void CollectPrefetcher::Run() {
    // Background work: where the processors are busy, the stream goes first.
    // (Linux gives each thread its own nice value.)
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    if (errno == 0)
        setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice + kNiceIncrement);
    try {
        RunLines();
    } catch (const std::exception& e) {
        KXLOG(1, "prefetch of %s ends: %s", m_path.c_str(), e.what());
    }
    m_tiered.reset();
    std::lock_guard<std::mutex> g(m_lock);
    m_finished = true;
    m_idle.notify_all();
}

void CollectPrefetcher::RunLines() {
    try {
        m_tiered.reset(new ZXHSMLowLevelCtx(m_policy.driverMode));
    } catch (const std::exception& e) {
        // Where items lie cannot be told: any of them could be a stub.
        KXLOG(1, "no prefetch for %s: %s", m_path.c_str(), e.what());
        return;
    }
    struct stat st;
    if (fstat(m_collect.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        KXLOG(1, "no prefetch for %s: not a regular file, whose lines only the stream may take", m_path.c_str());
        return;
    }
    CollectFileReader reader;
    std::string error;
    if (!reader.OpenDescriptor(m_collect.get(), m_path, &error) || (m_startOffset > 0 && !reader.Seek(m_startOffset))) {
        KXLOG(1, "no prefetch: %s", error.empty() ? "cannot seek in the collect file" : error.c_str());
        return;
    }
    // Offsets of the lines handled that the stream has not reached yet.
    std::deque<uint64_t> ahead;
    CollectLine line;
    uint64_t lastRead = m_startOffset;
    while (!m_stop.load()) {
        const uint64_t at = m_streamAt.load();
        while (!ahead.empty() && ahead.front() <= at)
            ahead.pop_front();
        // Far behind the stream (it is switched off and looked away, or the
        // stream is faster), jumping there costs less than decoding every
        // line in between.
        if (ahead.empty() && at > lastRead + kSkipBytes && reader.Seek(at))
            lastRead = at;
        if (ahead.size() >= m_distance) {
            // Go on once the stream has taken half of the lines ahead: one
            // wake per half window, not one per item.
            if (!WaitForStream(ahead[m_distance / 2]))
                return;
            continue;
        }
        const CollectLineSource::Result r = reader.Next(line);
        if (r == CollectLineSource::kEnd || r == CollectLineSource::kReadError)
            return;
        m_counters.lines.fetch_add(1, std::memory_order_relaxed);
        lastRead = line.offset;
        if (line.offset <= at)
            continue;  // the stream got there first
        ahead.push_back(line.offset);
        // The stream refuses a path with "." or ".." components unopened.
        if (r == CollectLineSource::kLine && !PathUtil::HasDotComponent(line.path))
            Prefetch(line.path);
    }
}

bool CollectPrefetcher::MayBeStub(const std::string& path) {
    ZXHSMLowLevel* low = m_tiered->getByFileName(path.c_str());
    if (low == nullptr || low->isSXRFS(path.c_str()) > 0)
        return true;
    return m_policy.askSnapStub && low->getSnapStubData(path.c_str(), m_stubBytes) == 0;
}

void CollectPrefetcher::Prefetch(const std::string& path) {
    if (m_off && ++m_sinceSample < kSampleEvery)
        return;
    m_sinceSample = 0;
    if (MayBeStub(path)) {
        m_counters.stubSkipped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // Beneath the item's directory, as the reader looks it up: nothing is
    // reached through a link the reader would refuse.
    int dir;
    const char* name;
    struct stat st;
    if (!m_dirs.Parent(path.c_str(), &dir, &name) || fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || st.st_size == 0)
        return;
    if (m_leaveLargeFiles && st.st_size >= ReadCacheAdvise::kSmallFile)
        return;
    ScopedFd fd(
        m_ops->openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOATIME | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, path.c_str()));
    if (!fd.valid()) {
        if (errno == EPERM)
            m_counters.noAtimeSkipped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    m_counters.opened.fetch_add(1, std::memory_order_relaxed);
    struct stat fst;
    if (m_ops->fstat(fd.get(), &fst) != 0 || !S_ISREG(fst.st_mode) || fst.st_dev != st.st_dev ||
        fst.st_ino != st.st_ino)
        return;
    const off_t len = fst.st_size < kPrefetchBytes ? fst.st_size : kPrefetchBytes;
    if (ReadCacheAdvise::ResidentPages(fd.get(), 0, len) >= PagesOf(len)) {
        m_counters.cached.fetch_add(1, std::memory_order_relaxed);
        if (m_off) {
            m_offPoll = std::min(2 * m_offPoll, kOffPollMax);
        } else if (++m_hitsInRow >= kOffAfter) {
            m_off = true;
            m_offPoll = kOffPoll;
            m_counters.switchedOff.fetch_add(1, std::memory_order_relaxed);
            KXLOG(3, "prefetch of %s: the data is cached, switched off", m_path.c_str());
        }
        return;
    }
    m_hitsInRow = 0;
    if (m_off) {
        m_off = false;
        KXLOG(3, "prefetch of %s: misses again, switched on", m_path.c_str());
    }
    if (posix_fadvise(fd.get(), 0, len, POSIX_FADV_WILLNEED) == 0)
        m_counters.advised.fetch_add(1, std::memory_order_relaxed);
}
