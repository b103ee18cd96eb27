#include "platform/text/OpenedFileIdentity.h"

namespace ruxen {

namespace {

const char* Differs(const struct stat& a, const struct stat& b) {
    if (a.st_dev != b.st_dev || a.st_ino != b.st_ino)
        return "inode";
    if (a.st_size != b.st_size)
        return "size";
    if (a.st_mtim.tv_sec != b.st_mtim.tv_sec || a.st_mtim.tv_nsec != b.st_mtim.tv_nsec)
        return "modification time";
    return nullptr;
}

}  // namespace

void OpenedFileIdentity::Take(int fd, const std::string& path) {
    struct stat byPath;
    m_followed = fstat(fd, &m_opened) == 0 && S_ISREG(m_opened.st_mode);
    m_pathNamedIt = m_followed && stat(path.c_str(), &byPath) == 0 && byPath.st_dev == m_opened.st_dev &&
                    byPath.st_ino == m_opened.st_ino;
}

const char* OpenedFileIdentity::Changed(int fd, const std::string& path) const {
    if (!m_followed)
        return nullptr;
    struct stat now;
    if (fstat(fd, &now) != 0)
        return "state";
    if (const char* what = Differs(m_opened, now))
        return what;
    if (!m_pathNamedIt)
        return nullptr;
    if (stat(path.c_str(), &now) != 0)
        return "path";
    const char* what = Differs(m_opened, now);
    return what && what[0] == 'i' ? "path" : what;
}

}  // namespace ruxen
