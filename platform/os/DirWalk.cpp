#include "platform/os/DirWalk.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/agent/KxLog.h"
#include "platform/base/ScopedFd.h"
#include "platform/base/TestControl.h"
#include "platform/text/PathUtil.h"

namespace ruxen {

namespace {

constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Set once the kernel turned openat2 down as unknown: the walk then goes one
// component at a time.
std::atomic<bool> g_noOpenat2{false};

int Openat2RefusingLinks(int dir, const char* path) {
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(syscall(SYS_openat2, dir, path, &how, sizeof how));
}

// The end of the longest run of whole components of `s` from `pos` that,
// counted from `start`, is shorter than PATH_MAX; `pos` when the first
// component alone is too long.
size_t PieceEnd(const std::string& s, size_t start, size_t pos) {
    size_t end = pos;
    for (size_t j = pos; j < s.size();) {
        size_t c = s.find('/', j);
        if (c == std::string::npos)
            c = s.size();
        if (c - start >= PATH_MAX)
            break;
        end = c;
        for (j = c; j < s.size() && s[j] == '/';)
            ++j;
    }
    return end;
}

// Whether the walk may follow the link `st` describes as one more of the
// `links` it followed: root's or the running user's, and within kMaxLinks.
// False with errno ELOOP and `why` (when given) naming `shown` up to
// `shownLength` as the refused link.
bool MayFollow(const struct stat& st, const std::string& shown, size_t shownLength, unsigned& links, WalkRefusal* why) {
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        if (why) {
            why->link.assign(shown, 0, shownLength);
            why->owner = st.st_uid;
            why->followed = links;
        }
        errno = ELOOP;
        return false;
    }
    if (++links > kMaxLinks) {
        if (why)
            why->tooManyLinks = true;
        errno = ELOOP;
        return false;
    }
    return true;
}

// The target of the link `name` in `dir` ("" for the link open at `dir`):
// its length, or -1 with errno, an empty target or one of PATH_MAX bytes or
// more included.
ssize_t ReadTarget(int dir, const char* name, char (&target)[PATH_MAX]) {
    const ssize_t n = readlinkat(dir, name, target, sizeof target);
    if (n > 0 && static_cast<size_t>(n) < sizeof target)
        return n;
    if (n >= 0)
        errno = n == 0 ? ENOENT : ENAMETOOLONG;
    return -1;
}

}  // namespace

void TrustedPrefixes::Add(const std::string& prefix) {
    const std::string named = PathUtil::StripTrailingSlashes(prefix);
    if (named.empty())
        return;
    char* real = realpath(named.c_str(), nullptr);
    if (real == nullptr) {
        KXLOG(1, "the local path %s cannot be resolved (%s): items below it are looked up as any other", named.c_str(),
              strerror(errno));
        return;
    }
    std::string resolved = real;
    free(real);
    if (resolved != named)
        m_prefixes.emplace_back(named, std::move(resolved));
}

bool TrustedPrefixes::Resolve(const std::string& dir, std::string& out) const {
    const std::pair<std::string, std::string>* best = nullptr;
    long bestLength = -1;
    for (const auto& p : m_prefixes) {
        const long n = PathUtil::CoverLength(p.first, dir);
        if (n > bestLength) {
            bestLength = n;
            best = &p;
        }
    }
    if (best == nullptr)
        return false;
    out = best->second;
    out.append(dir, static_cast<size_t>(bestLength), std::string::npos);
    return true;
}

int WalkFrom(int from, const std::string& rest, WalkRefusal* why) {
    if (why)
        why->Clear();
    if (rest.empty()) {
        errno = ENOENT;
        return -1;
    }
    std::string todo = rest, piece;
    ScopedFd owned;
    int cur = from;
    bool fromRoot = todo[0] == '/';  // the walk starts at "/", not opened yet
    size_t pos = 0, slowUntil = 0;
    unsigned links = 0;
    for (;;) {
        const size_t start = pos;  // a piece from the root keeps its slashes
        while (pos < todo.size() && todo[pos] == '/')
            ++pos;
        if (pos == todo.size())
            break;
        // As many components as the kernel takes at once, every link refused.
        if (pos >= slowUntil && !g_noOpenat2.load(std::memory_order_relaxed)) {
            const size_t first = fromRoot ? start : pos;
            const size_t end = PieceEnd(todo, first, pos);
            if (end > pos) {
                piece.assign(todo, first, end - first);
                const int fd = Openat2RefusingLinks(cur, piece.c_str());
                if (fd >= 0) {
                    owned.reset(fd);
                    cur = fd;
                    fromRoot = false;
                    pos = end;
                    continue;
                }
                if (errno == ENOSYS || errno == EINVAL || errno == E2BIG)
                    g_noOpenat2.store(true);
                else if (errno != ELOOP && errno != EAGAIN && errno != EPERM)
                    return -1;
                slowUntil = end;  // a link in there: this piece one component at a time
            }
        }
        if (fromRoot) {
            owned.reset(open("/", kDirFlags));
            if (!owned.valid())
                return -1;
            cur = owned.get();
            fromRoot = false;
        }
        size_t c = todo.find('/', pos);
        if (c == std::string::npos)
            c = todo.size();
        piece.assign(todo, pos, c - pos);
        const int fd = openat(cur, piece.c_str(), kDirFlags);
        if (fd >= 0) {
            owned.reset(fd);
            cur = fd;
            pos = c;
            continue;
        }
        if (errno != ENOTDIR && errno != ELOOP)
            return -1;
        struct stat st;
        if (fstatat(cur, piece.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return -1;
        if (!S_ISLNK(st.st_mode)) {
            errno = ENOTDIR;
            return -1;
        }
        char target[PATH_MAX];
        const ssize_t n = MayFollow(st, todo, c, links, why) ? ReadTarget(cur, piece.c_str(), target) : -1;
        if (n < 0)
            return -1;
        // The target, then what followed the link; an absolute target from
        // the root, a relative one from the link's own directory.
        todo.replace(0, c, target, static_cast<size_t>(n));
        pos = slowUntil = 0;
        fromRoot = target[0] == '/';
    }
    if (owned.valid())
        return owned.release();
    // Nothing but slashes or the start itself.
    return fromRoot ? open("/", kDirFlags) : openat(cur, ".", kDirFlags);
}

int OpenDirectory(const std::string& dir, WalkRefusal* why, const TrustedPrefixes* trusted) {
    std::string resolved;
    if (trusted && trusted->Resolve(dir, resolved))
        return WalkFrom(AT_FDCWD, resolved, why);
    return WalkFrom(AT_FDCWD, dir, why);
}

namespace {

// The kernel's name of what `fd` names (an absolute path without links).
bool NameOf(int fd, std::string& out) {
    char name[PATH_MAX];
    const ssize_t n = readlink(ProcFdPath(fd).c_str(), name, sizeof name);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof name || name[0] != '/') {
        if (n >= 0)
            errno = ENAMETOOLONG;
        return false;
    }
    out.assign(name, static_cast<size_t>(n));
    return true;
}

}  // namespace

int OpenResolved(const std::string& path, std::string& resolved, WalkRefusal* why) {
    if (why)
        why->Clear();
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    std::string todo = path;
    unsigned links = 0;
    for (;;) {
        const size_t end = PathUtil::TrimmedLength(todo);
        const size_t slash = todo.rfind('/', end - 1);
        const size_t start = slash == std::string::npos ? 0 : slash + 1;
        const std::string name = todo.substr(start, end - start);
        ScopedFd fd;
        if (name.empty() || name == "." || name == ".." || end < todo.size()) {
            // "/", or a path that can only name a directory.
            fd.reset(WalkFrom(AT_FDCWD, todo, why));
        } else {
            const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : todo.substr(0, slash);
            ScopedFd parent(WalkFrom(AT_FDCWD, dir, why));
            if (!parent.valid())
                return -1;
            fd.reset(openat(parent.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            struct stat st;
            if (!fd.valid() || fstat(fd.get(), &st) != 0)
                return -1;
            if (S_ISLNK(st.st_mode)) {
                char target[PATH_MAX];
                const ssize_t n = MayFollow(st, todo, end, links, why) ? ReadTarget(fd.get(), "", target) : -1;
                if (n < 0)
                    return -1;
                // A relative target from the directory that holds the link,
                // as the kernel names it.
                std::string base;
                if (target[0] != '/' && !NameOf(parent.get(), base))
                    return -1;
                todo = target[0] == '/' ? std::string(target, static_cast<size_t>(n))
                                        : PathUtil::Join(base, std::string(target, static_cast<size_t>(n)));
                continue;
            }
        }
        if (!fd.valid() || !NameOf(fd.get(), resolved))
            return -1;
        return fd.release();
    }
}

int OpenFileByRule(const std::string& path, int flags, mode_t mode, WalkRefusal* why, bool* created) {
    if (why)
        why->Clear();
    if (created)
        *created = false;
    std::string todo = path, name;
    ScopedFd dir;
    int at = AT_FDCWD;
    unsigned links = 0;
    // Each turn reaches the directory of the last name by the rule and looks
    // at the name: a link there is followed (by the rule too) as a new path
    // from that directory; a file made a link meanwhile is looked at again.
    for (unsigned turn = 0; turn <= kMaxLinks; ++turn) {
        const size_t slash = todo.rfind('/');
        name.assign(todo, slash == std::string::npos ? 0 : slash + 1, std::string::npos);
        if (name.empty() || name == "." || name == "..") {
            errno = EISDIR;
            return -1;
        }
        if (slash != std::string::npos) {
            const int fd = WalkFrom(at, slash == 0 ? std::string("/") : todo.substr(0, slash), why);
            if (fd < 0)
                return -1;
            dir.reset(fd);
            at = fd;
        }
        struct stat st;
        if (fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            if (!MayFollow(st, todo, todo.size(), links, why))
                return -1;
            // /proc/self/fd/N names an open file, not a path to walk.
            ScopedFd here(at == AT_FDCWD ? open(".", kDirFlags) : -1);
            struct statfs fs;
            if (fstatfs(at == AT_FDCWD ? here.get() : at, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC)
                return openat(at, name.c_str(), flags & ~(O_CREAT | O_EXCL), mode);
            char target[PATH_MAX];
            const ssize_t n = ReadTarget(at, name.c_str(), target);
            if (n < 0)
                return -1;
            todo.assign(target, static_cast<size_t>(n));
            continue;
        }
        const int plain = (flags & ~O_CREAT) | O_NOFOLLOW;
        if (flags & O_CREAT) {
            const int fd = openat(at, name.c_str(), plain | O_CREAT | O_EXCL, mode);
            if (fd >= 0 && created)
                *created = true;
            if (fd >= 0 || errno != EEXIST)
                return fd;
        }
        const int fd = openat(at, name.c_str(), plain, mode);
        if (fd >= 0 || (errno != ELOOP && !(errno == ENOENT && (flags & O_CREAT))))
            return fd;
    }
    if (why)
        why->tooManyLinks = true;
    errno = ELOOP;
    return -1;
}

ProcFdPath::ProcFdPath(int fd) { snprintf(m_text, sizeof m_text, "/proc/self/fd/%d", fd); }

}  // namespace ruxen

void ruxen::testcontrol::UseOpenat2(bool use) { g_noOpenat2.store(!use); }

namespace {
const ruxen::testcontrol::Registration kTestReset("openat2 in the walk", [] { ruxen::testcontrol::UseOpenat2(true); });
}  // namespace
