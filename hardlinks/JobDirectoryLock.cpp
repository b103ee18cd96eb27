#include "hardlinks/JobDirectoryLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "hardlinks/HardLinkMessages.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/CTyError.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/ScopedFd.h"

struct JobDirectoryLock::Hold {
    dev_t dev = 0;
    ino_t ino = 0;
    Mode mode = kShared;
    ScopedFd fd;  // the flock's open file; none on a read-only file system
};

namespace {

// The holds of this process, by directory: a second taker shares one.
struct Holds {
    std::mutex mutex;
    std::vector<std::weak_ptr<JobDirectoryLock::Hold>> list;
};

Holds& TheHolds() {
    static ruxen::NoDestructor<Holds> holds;
    return *holds;
}

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool Fail(std::string* error, std::string text) {
    KXLOG(1, "%s", text.c_str());
    if (error)
        *error = std::move(text);
    return false;
}

}  // namespace

JobDirectoryLock::~JobDirectoryLock() { Release(); }

void JobDirectoryLock::Release() {
    if (!m_hold)
        return;
    std::lock_guard<std::mutex> guard(TheHolds().mutex);
    m_hold.reset();  // the last taker's release closes the lock file
}

int JobDirectoryLock::WaitMilliseconds() {
    return static_cast<int>(1000 * KXPlatformInfo::getNumberWithin(kFileSystemAgentSection, kKeyJobDirectoryLockWait, 0,
                                                                   kMaxJobDirectoryLockWaitSeconds,
                                                                   kDefaultJobDirectoryLockWaitSeconds));
}

bool JobDirectoryLock::Acquire(const std::string& directory, Mode mode, int waitMs, std::string* error) {
    Release();
    if (waitMs < 0)
        waitMs = WaitMilliseconds();
    const std::string lockPath = directory + "/" + kJobDirectoryLockName;
    ScopedFd dir(open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!dir.valid() || fstat(dir.get(), &st) != 0)
        return Fail(error,
                    CTyError::Format(kErrJobDirectoryLockFile, directory.c_str(), directory.c_str(), strerror(errno)));
    Holds& holds = TheHolds();
    std::lock_guard<std::mutex> guard(holds.mutex);
    holds.list.erase(
        std::remove_if(holds.list.begin(), holds.list.end(), [](const std::weak_ptr<Hold>& h) { return h.expired(); }),
        holds.list.end());
    for (const std::weak_ptr<Hold>& w : holds.list) {
        std::shared_ptr<Hold> h = w.lock();
        if (!h || h->dev != st.st_dev || h->ino != st.st_ino)
            continue;
        if (h->mode == kShared && mode == kExclusive)
            return Fail(error, CTyError::Format(kErrJobDirectoryReadLocked, directory.c_str()));
        m_hold = std::move(h);
        return true;
    }

    auto hold = std::make_shared<Hold>();
    hold->dev = st.st_dev;
    hold->ino = st.st_ino;
    hold->mode = mode;
    struct statvfs vfs;
    const bool readOnly = fstatvfs(dir.get(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY);
    if (!readOnly) {
        const int flags = O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
        hold->fd.reset(openat(dir.get(), kJobDirectoryLockName, O_RDWR | O_CREAT | flags, 0644));
        // A reader may share the lock through a file it cannot write; one
        // that may not make the lock file reads the directory unlocked (a
        // scan of it made by this system leaves the file; the collect
        // files' own check still tells a rewrite).
        if (!hold->fd.valid() && errno == EACCES && mode == kShared) {
            hold->fd.reset(openat(dir.get(), kJobDirectoryLockName, O_RDONLY | flags));
            if (!hold->fd.valid() && errno == ENOENT) {
                KXLOG(1, "the job directory %s has no lock file, and this user cannot make one: read unlocked",
                      directory.c_str());
                holds.list.push_back(hold);
                m_hold = std::move(hold);
                return true;
            }
        }
        struct stat lockSt;
        if (!hold->fd.valid() || fstat(hold->fd.get(), &lockSt) != 0)
            return Fail(error, CTyError::Format(kErrJobDirectoryLockFile, directory.c_str(), lockPath.c_str(),
                                                strerror(errno)));
        if (!S_ISREG(lockSt.st_mode))
            return Fail(error, CTyError::Format(kErrJobDirectoryLockFile, directory.c_str(), lockPath.c_str(),
                                                "not a regular file"));
        const int64_t deadline = NowMs() + waitMs;
        for (bool said = false;;) {
            if (flock(hold->fd.get(), (mode == kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0)
                break;
            if (errno != EWOULDBLOCK && errno != EINTR)
                return Fail(error, CTyError::Format(kErrJobDirectoryLockFile, directory.c_str(), lockPath.c_str(),
                                                    strerror(errno)));
            const int64_t left = deadline - NowMs();
            if (left <= 0)
                return Fail(error,
                            CTyError::Format(kErrJobDirectoryBusy, directory.c_str(), lockPath.c_str(), waitMs / 1000));
            if (!said)
                KXLOG(0, "the job directory %s is in use by another process: waiting for it", directory.c_str());
            said = true;
            const int64_t pause = std::min<int64_t>(left, 20);
            struct timespec ts = {0, static_cast<long>(pause) * 1000000};
            nanosleep(&ts, nullptr);
        }
    }
    holds.list.push_back(hold);
    m_hold = std::move(hold);
    return true;
}
