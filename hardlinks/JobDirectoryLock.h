// The lock of a job results directory: an flock on its lock file
// (kJobDirectoryLockName, made when missing), so that a scan writing the
// directory afresh, a split or merge rewriting it and a backup reading it
// never run over one another. Writers take it exclusive, backups shared (two
// backups of one directory go on together). A second taker waits a bounded
// time (the registry's nJobDirectoryLockWaitSeconds) for the holder to let
// go, then is refused with a sentence naming the directory.
//
// flock locks belong to an open file description, so that one process
// taking the lock twice would wait on itself: the lock is held once per
// process and directory, and a taker in a process that holds it already
// shares that hold (a scan holds it while it calls the split and the
// merge, which take it again). Child processes inherit the hold with the
// descriptor; it ends when every holder has let go.
#pragma once

#include <memory>
#include <string>

#include "platform/base/Export.h"

class RUXEN_EXPORT JobDirectoryLock {
public:
    enum Mode { kShared, kExclusive };

    JobDirectoryLock() = default;
    ~JobDirectoryLock();
    JobDirectoryLock(const JobDirectoryLock&) = delete;
    JobDirectoryLock& operator=(const JobDirectoryLock&) = delete;

    // Takes the lock of `directory`, waiting at most `waitMs` milliseconds
    // for another process to let go (negative: the registry's wait). False
    // with a sentence naming the directory in *error: it is held by another
    // process, or held shared by this one where exclusive is asked, or its
    // lock file cannot be made. A directory on a read-only file system
    // cannot change under the job and needs no lock; a shared taker that
    // may not make the missing lock file reads the directory unlocked.
    bool Acquire(const std::string& directory, Mode mode, int waitMs, std::string* error);
    // Lets the lock go (the process's hold ends with its last taker).
    void Release();
    bool Held() const { return m_hold != nullptr; }

    // The wait of a taker, from the registry (seconds, 0 to 3600).
    static int WaitMilliseconds();

    struct Hold;

private:
    std::shared_ptr<Hold> m_hold;
};
