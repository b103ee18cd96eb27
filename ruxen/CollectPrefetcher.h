// Prefetch of cold items. A helper thread reads the collect file on its own,
// a bounded number of lines ahead of the stream, and asks the kernel to start
// reading the first MiB of each regular file the lines name, so that the
// stream's reads find the data in the page cache, or on its way there,
// instead of waiting for the disk one file at a time.
//
// What it touches, per line (lines it cannot decode are passed over):
//   - nothing the reader would treat as a tiered-storage stub: a WILLNEED
//     there would recall the file. An item on a tiered-storage mount, an
//     item the snapshot stub query answers as a stub, every item when the
//     job's settings make any item a stub (archive and delete, early stub
//     backup of a snapshot), and every item when the mount table cannot be
//     read are passed over;
//   - lstat first, beneath the item's directory reached by the reader's
//     walk (platform/os/ParentDirCache.h, its own cache): only a non-empty
//     regular file is opened, with
//     O_NOFOLLOW | O_NONBLOCK | O_NOCTTY (nothing can block, follow a link or
//     become a terminal), and fstat must show the same regular file;
//   - O_NOATIME always: where the kernel refuses it (the caller owns neither
//     the file nor CAP_FOWNER) the file is passed over, so no access time
//     ever moves; the prefetch itself reads nothing, it only advises;
//   - with the job's cache advice on, a file of ReadCacheAdvise::kSmallFile
//     or more is left to the reader's own read-ahead: the advice would take
//     prefetched pages for someone else's working set and keep them cached.
//
// It switches itself off while what it would fetch is already cached: after
// kOffAfter opened files in a row whose first MiB was wholly resident it
// looks at only one line in kSampleEvery, and the first sampled file with a
// page missing switches it on again. Switched off, it waits between looks
// instead of being woken by the stream (from kOffPoll, doubling while the
// samples find the data cached, up to kOffPollMax), and a helper left behind
// seeks to the stream's line rather than decode every line in between: a
// warm backup pays for a few dozen looks a second.
//
// Threads: the helper is started by the first StreamAt, on the stream's
// thread, which is when the job's reader settings are final; it never
// touches the reader context (it copies what it needs before it starts) and
// has its own collect-file reader and tiered-storage context. Its reader
// reads the stream's own open collect file at an offset of its own, never
// the file's path again (which may name another file by then), and only a
// regular file: lines of a pipe taken here would be lost to the stream. It shares with
// the stream only atomics and one mutex with its condition variable, and
// runs nicer than the stream. Stop, or the destructor, joins it on every
// path.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/Export.h"
#include "platform/base/ScopedFd.h"
#include "platform/os/ParentDirCache.h"
#include "ruxen/StreamBackupPass.h"

class CFileReaderContext;
class CFileReaderOps;
class ZXHSMLowLevelCtx;

class RUXEN_EXPORT CollectPrefetcher : public CollectPositionListener {
public:
    static constexpr size_t kDistance = 64;           // lines ahead of the stream
    static constexpr off_t kPrefetchBytes = 1 << 20;  // of each file
    static constexpr unsigned kOffAfter = 32;
    static constexpr unsigned kSampleEvery = 64;
    // How long the helper waits for the stream while it is switched off: at
    // first, and at most after samples that found the data cached.
    static constexpr std::chrono::milliseconds kOffPoll{4}, kOffPollMax{32};
    // The helper runs this much nicer than the stream.
    static constexpr int kNiceIncrement = 5;
    // Behind the stream by more than this, the helper seeks to it.
    static constexpr uint64_t kSkipBytes = 8 * 1024;

    struct Counters {
        uint64_t lines = 0;           // lines the helper read
        uint64_t opened = 0;          // files opened
        uint64_t advised = 0;         // files advised WILLNEED
        uint64_t cached = 0;          // opened files found wholly cached
        uint64_t stubSkipped = 0;     // items passed over as possible stubs
        uint64_t noAtimeSkipped = 0;  // O_NOATIME refused
        uint64_t switchedOff = 0;     // times it switched itself off
    };

    // Prefetches the items of the collect file open as `collectFd` (the
    // stream's descriptor, duplicated here; `name` for log lines) from byte
    // `startOffset` (where the stream starts reading it), `distance` lines
    // ahead of the stream, for the stream whose reader uses `context`. The
    // context must outlive the prefetcher.
    CollectPrefetcher(int collectFd, std::string name, uint64_t startOffset, CFileReaderContext& context,
                      size_t distance = kDistance);
    ~CollectPrefetcher() override;
    CollectPrefetcher(const CollectPrefetcher&) = delete;
    CollectPrefetcher& operator=(const CollectPrefetcher&) = delete;

    // The stream's position; the first call starts the helper.
    void StreamAt(uint64_t collectOffset) override;

    // Stops the helper and waits for it; logs what it did. Later StreamAt
    // calls do nothing.
    void Stop();

    // Blocks until the helper waits for the stream to move on, has reached
    // the end of the collect file, or was never started (tests).
    void WaitIdle();

    Counters GetCounters() const;

private:
    struct StubPolicy {
        bool askSnapStub = false;  // the snapshot stub query decides
        int driverMode = 0;
    };

    RUXEN_HIDDEN void Start(uint64_t collectOffset);
    RUXEN_HIDDEN void Run();
    RUXEN_HIDDEN void RunLines();
    RUXEN_HIDDEN void Prefetch(const std::string& path);
    RUXEN_HIDDEN bool MayBeStub(const std::string& path);
    // Waits until the stream reaches `wakeAt` (or Stop); false on Stop.
    RUXEN_HIDDEN bool WaitForStream(uint64_t wakeAt);
    RUXEN_HIDDEN bool IdleLocked() const;

    const std::string m_path;
    ScopedFd m_collect;
    const uint64_t m_startOffset;
    const size_t m_distance;
    CFileReaderContext& m_context;
    // Copied from the context before the helper starts.
    StubPolicy m_policy;
    bool m_leaveLargeFiles = false;
    CFileReaderOps* m_ops = nullptr;

    std::thread m_thread;
    bool m_started = false;  // the stream's thread only
    bool m_stopped = false;  // the stream's thread only
    // Written by the stream for every line: a cache line of its own.
    alignas(64) std::atomic<uint64_t> m_streamAt{0};
    alignas(64) std::atomic<uint64_t> m_wakeAt{UINT64_MAX};
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_lock;
    std::condition_variable m_wake;  // the helper waits here for the stream
    std::condition_variable m_idle;  // WaitIdle waits here for the helper
    bool m_waiting = false;          // under m_lock
    uint64_t m_waitingFor = 0;       // under m_lock: the position waited for
    bool m_finished = false;         // under m_lock

    // The helper's own state.
    ruxen::ParentDirCache m_dirs;
    std::unique_ptr<ZXHSMLowLevelCtx> m_tiered;
    std::vector<char> m_stubBytes;
    bool m_off = false;
    std::chrono::milliseconds m_offPoll = kOffPoll;
    unsigned m_hitsInRow = 0;
    unsigned m_sinceSample = 0;

    struct AtomicCounters {
        std::atomic<uint64_t> lines{0}, opened{0}, advised{0}, cached{0}, stubSkipped{0}, noAtimeSkipped{0},
            switchedOff{0};
    } m_counters;
};
