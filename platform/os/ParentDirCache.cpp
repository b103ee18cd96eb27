#include "platform/os/ParentDirCache.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

namespace ruxen {

bool ParentDirCache::Parent(const char* path, int* dir, const char** name) {
    m_refusal.Clear();  // about this lookup only
    if (path == nullptr || path[0] == '\0') {
        errno = path ? ENOENT : EFAULT;
        return false;
    }
    const size_t length = strlen(path);
    size_t end = length;  // of the last component
    while (end > 1 && path[end - 1] == '/')
        --end;
    size_t begin = end;
    while (begin > 0 && path[begin - 1] != '/')
        --begin;
    if (begin == end) {
        *name = ".";  // the root itself
    } else if (end == length) {
        *name = path + begin;
    } else {
        m_name.assign(path + begin, end - begin);
        *name = m_name.c_str();
    }
    if (begin == 0) {
        *dir = AT_FDCWD;
        return true;
    }
    size_t parent = begin;
    while (parent > 1 && path[parent - 1] == '/')
        --parent;
    if (m_fd.valid() && m_key.size() == parent && memcmp(m_key.data(), path, parent) == 0) {
        *dir = m_fd.get();
        return true;
    }
    return Miss(path, parent, dir);
}

bool ParentDirCache::Miss(const char* path, size_t length, int* dir) {
    m_scratch.assign(path, length);
    std::string target;
    if (!m_trusted || !m_trusted->Resolve(m_scratch, target))
        target = m_scratch;
    // Below the directory held: walk on from it.
    const size_t held = m_resolved.size();
    bool below = m_fd.valid() && target.size() > held && target.compare(0, held, m_resolved) == 0 &&
                 (target[held] == '/' || m_resolved == "/");
    size_t rest = held;
    while (below && rest < target.size() && target[rest] == '/')
        ++rest;
    below = below && rest < target.size();
    const int fd =
        below ? WalkFrom(m_fd.get(), target.substr(rest), &m_refusal) : WalkFrom(AT_FDCWD, target, &m_refusal);
    if (fd < 0) {
        if (below && m_refusal.followed == 0 && !m_refusal.link.empty())  // named from the root, not the held one
            m_refusal.link.insert(0, m_resolved == "/" ? m_resolved : m_resolved + "/");
        Clear();
        return false;
    }
    m_fd.reset(fd);
    m_key.swap(m_scratch);
    m_resolved.swap(target);
    *dir = fd;
    return true;
}

void ParentDirCache::SetTrusted(const std::shared_ptr<const TrustedPrefixes>& trusted) {
    if (trusted == m_trusted)
        return;
    m_trusted = trusted;
    Clear();
}

void ParentDirCache::Clear() {
    m_fd.reset();
    m_key.clear();
    m_resolved.clear();
}

}  // namespace ruxen
