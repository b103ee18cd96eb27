#include "reader/AppleDoubleCompanion.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/agent/KxLog.h"
#include "platform/base/FdIO.h"

namespace {

constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

}  // namespace

int AppleDoubleCompanion::Open(const std::string& name, const struct stat& st) {
    Close();
    m_name = name;
    m_dev = st.st_dev;
    m_ino = st.st_ino;
    if (Reopen() < 0) {
        m_ino = 0;
        return -1;
    }
    return m_fd.get();
}

void AppleDoubleCompanion::Close() {
    m_fd.reset();
    m_name.clear();
    m_dev = 0;
    m_ino = 0;
    m_reopenCount = 0;
}

// Opens the companion by its name; with a known identity, only while it is
// still that file.
int AppleDoubleCompanion::Reopen() {
    ScopedFd fd(m_open(m_name.c_str(), kOpenFlags));
    if (!fd.valid())
        return -1;
    struct stat fst;
    if (fstat(fd.get(), &fst) != 0)
        return -1;
    if (!S_ISREG(fst.st_mode) || (m_ino != 0 && (fst.st_dev != m_dev || fst.st_ino != m_ino))) {
        errno = ESTALE;
        return -1;
    }
    m_fd = std::move(fd);
    return m_fd.get();
}

bool AppleDoubleCompanion::IsStale(int fd) const {
    struct stat fst;
    if (fstat(fd, &fst) != 0)
        return errno == EBADF;
    return m_ino != 0 && (fst.st_ino != m_ino || fst.st_dev != m_dev);
}

void AppleDoubleCompanion::LogTable() const {
    KXLOG(0, "entries_count:%d", static_cast<int>(m_table.Count()));
    const std::vector<AppleDouble::Entry>& all = m_table.Entries();
    for (size_t i = 0; i < all.size(); ++i)
        KXLOG(0, "entries_info[%d]:%d:%d:%d", static_cast<int>(i * 3), static_cast<int>(all[i].id),
              static_cast<int>(all[i].offset), static_cast<int>(all[i].length));
}

int AppleDoubleCompanion::EntrySize(uint32_t type, int fd, bool debug) {
    if (debug)
        KXLOG(0, "type:%d handler:%d", static_cast<int>(type), fd);
    AppleDouble::Result res = m_table.Read(fd, AppleDouble::kMaxEntries);
    if (res == AppleDouble::kNoHeader) {
        KXLOG(-1, "no header data in AppleDouble file");
        return -1;
    }
    if (m_table.Count() > AppleDouble::kManyEntries)
        KXLOG(0, "The apple double include unexpected large number (%d) of entries.",
              static_cast<int>(m_table.Count()));
    if (res == AppleDouble::kTooMany) {
        KXLOG(-1, "This number is too high to proceed with this file (%s)", m_name.c_str());
        errno = ENFILE;
        return -1;
    }
    if (res == AppleDouble::kNoEntries) {
        KXLOG(-1, "no entry data in AppleDouble file");
        return -1;
    }
    if (debug)
        LogTable();
    const AppleDouble::Entry* e = m_table.Find(type);
    int rc;
    if (e == nullptr) {
        rc = -2;
    } else if (e->length > static_cast<uint32_t>(INT_MAX)) {
        KXLOG(-1, "AppleDouble file %s: entry %u is %u bytes long, more than can be read", m_name.c_str(),
              static_cast<unsigned>(type), e->length);
        errno = EINVAL;
        rc = -1;
    } else {
        rc = static_cast<int>(e->length);
    }
    if (debug)
        KXLOG(0, "return %d", rc);
    return rc;
}

int AppleDoubleCompanion::ReadEntry(uint32_t type, int fd, size_t offset, char* buf, int size, bool debug) {
    if (debug)
        KXLOG(0, "type:%d handler:%d dataOffset:%d bufferSize:%d", static_cast<int>(type), fd, static_cast<int>(offset),
              size);
    const bool stale = IsStale(fd);
    AppleDouble::Result res = stale ? AppleDouble::kNoHeader : m_table.Read(fd);
    if (res == AppleDouble::kNoHeader && (stale || errno == EBADF)) {
        if (fd == m_fd.get())
            m_fd.release();  // the number is not ours any more
        if (m_reopenCount == 0 && !m_name.empty()) {
            ++m_reopenCount;
            fd = Reopen();
            if (fd < 0) {
                KXLOG(-1, "Failed to open %s: %s", m_name.c_str(), strerror(errno));
                return -1;
            }
            KXLOG(0, "ApleDouble resource handle is invalidated. Reopened the handle again");
            res = m_table.Read(fd);
        } else {
            errno = EBADF;
        }
    }
    if (res == AppleDouble::kNoHeader) {
        KXLOG(-1, "no header data in AppleDouble file");
        return -1;
    }
    if (res != AppleDouble::kOk) {
        KXLOG(-1, "no entry data in AppleDouble file");
        return -1;
    }
    if (debug)
        LogTable();
    const AppleDouble::Entry* e = m_table.Find(type);
    if (e == nullptr || e->offset == 0) {
        KXLOG(-1, "invalid offset for entry");
        errno = EINVAL;
        return -1;
    }
    if (size <= 0 || offset >= e->length)
        return 0;
    size_t n = e->length - offset;
    if (n > static_cast<size_t>(size))
        n = static_cast<size_t>(size);
    const off_t at = static_cast<off_t>(e->offset) + static_cast<off_t>(offset);
    if (debug)
        KXLOG(0, "seek(%ld)", static_cast<long>(at));
    ssize_t r = ruxen::preadFull(fd, buf, n, at);
    if (debug)
        KXLOG(0, "rc:%d", static_cast<int>(r));
    return r < 0 ? -1 : static_cast<int>(r);
}
