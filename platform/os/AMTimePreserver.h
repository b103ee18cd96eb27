// Puts an item's access time back after the backup has read it.
//
// Only the access time is restored: the modification time is left as it is
// now (UTIME_OMIT). If the file was modified while it was read, putting the
// old modification time back would hide that change from the next
// incremental backup. The time is put back only when the path still names the
// same inode (same device and inode number as when the preserver was made):
// a file replaced in the meantime is another file. Symbolic links are not
// followed, in the item's path either: it is looked up relative to its
// directory, reached by the walk of platform/os/DirWalk.h (paths of any
// length). Failures are logged, never fatal.
#pragma once

#include <sys/stat.h>

#include <memory>

#include "platform/os/InodePropPreserver.h"
#include "platform/os/ParentDirCache.h"

class AMTimePreserver : public InodePropPreserverImpl {
public:
    // Takes over `core` (owned from now on; null makes a preserver that does
    // nothing). `dirs`, when given, is the caller's cache of directories
    // (the reader's, which outlives the preserver); else each reset walks.
    explicit AMTimePreserver(CoreInodePropPreserver<struct stat>* core, ruxen::ParentDirCache* dirs = nullptr);
    explicit AMTimePreserver(std::unique_ptr<CoreInodePropPreserver<struct stat>> core);
    ~AMTimePreserver() override;

    // Restores the access time (see above). Answers nothing; what happened is
    // kept for lastResult().
    void reset() override;

    std::string getname() const override;
    int getstatresult() const override;
    time_t getatime() const override;
    time_t getmtime() const override;
    uid_t getinodeuid() const override;
    mode_t getmode() const override;

    // Outcome of the last reset, for tests and diagnostics.
    enum Result {
        NotRun,     // reset has not run
        Restored,   // the access time was put back
        Unchanged,  // the access time was already the preserved one
        Replaced,   // the path names another inode (or nothing): left alone
        Failed,     // lstat or utimensat failed (logged)
    };
    Result lastResult() const { return m_result; }

private:
    std::unique_ptr<CoreInodePropPreserver<struct stat>> m_core;
    ruxen::ParentDirCache* m_dirs = nullptr;
    Result m_result = NotRun;
};
