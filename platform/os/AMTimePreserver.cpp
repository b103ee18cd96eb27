#include "platform/os/AMTimePreserver.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/agent/KxLog.h"

AMTimePreserver::AMTimePreserver(CoreInodePropPreserver<struct stat>* core, ruxen::ParentDirCache* dirs)
    : m_core(core), m_dirs(dirs) {}

AMTimePreserver::AMTimePreserver(std::unique_ptr<CoreInodePropPreserver<struct stat>> core) : m_core(std::move(core)) {}

AMTimePreserver::~AMTimePreserver() {}

void AMTimePreserver::reset() {
    if (!m_core)
        return;
    const std::string& name = m_core->name();
    const struct stat& before = m_core->statRecord();
    ruxen::ParentDirCache own;
    ruxen::ParentDirCache& dirs = m_dirs ? *m_dirs : own;
    int dir;
    const char* last;
    struct stat now;
    int rc = dirs.Parent(name.c_str(), &dir, &last) ? fstatat(dir, last, &now, AT_SYMLINK_NOFOLLOW) : -1;
    if (rc != 0) {
        int e = errno;
        if (e == ENOENT || e == ENOTDIR) {
            KXLOG(2, "'%s' is gone; access time not restored", name.c_str());
            m_result = Replaced;
        } else {
            KXLOG(-1, "lstat(%s) failed: %s; access time not restored", name.c_str(), strerror(e));
            m_result = Failed;
        }
        return;
    }
    if (now.st_dev != before.st_dev || now.st_ino != before.st_ino) {
        KXLOG(2, "'%s' was replaced while it was read; access time not restored", name.c_str());
        m_result = Replaced;
        return;
    }
    if (now.st_atim.tv_sec == before.st_atim.tv_sec && now.st_atim.tv_nsec == before.st_atim.tv_nsec) {
        m_result = Unchanged;
        return;
    }

    // Access time only: a modification made meanwhile must stay visible to
    // the next incremental backup.
    struct timespec times[2];
    times[0] = before.st_atim;
    times[1].tv_sec = 0;
    times[1].tv_nsec = UTIME_OMIT;
    rc = utimensat(dir, last, times, AT_SYMLINK_NOFOLLOW);
    if (rc != 0) {
        KXLOG(-1, "failed to restore the access time of '%s': %s", name.c_str(), strerror(errno));
        m_result = Failed;
        return;
    }
    m_result = Restored;
}

std::string AMTimePreserver::getname() const { return m_core ? m_core->getname() : std::string(); }

int AMTimePreserver::getstatresult() const { return m_core ? m_core->getstatresult() : 0; }

time_t AMTimePreserver::getatime() const { return m_core ? m_core->getatime() : 0; }

time_t AMTimePreserver::getmtime() const { return m_core ? m_core->getmtime() : 0; }

uid_t AMTimePreserver::getinodeuid() const { return m_core ? m_core->getinodeuid() : 0; }

mode_t AMTimePreserver::getmode() const { return m_core ? m_core->getmode() : 0; }
