// How the engine reaches the directory of an item: a walk that follows a
// symbolic link among the directories of a path only when root or the
// running user owns the link (the rule of the kernel's protected_symlinks
// for a privileged reader); any other link fails the walk with ELOOP.
//
// A user who swaps a directory of his own for a link between the scan and the
// backup would otherwise have a backup running as root read, under his
// path, whatever the link names (another user's files, device nodes). The
// item itself is then looked up relative to the directory's descriptor
// without following it (fstatat, openat with O_NOFOLLOW, readlinkat), so no
// part of its path is followed against the rule.
//
// The walk asks the kernel to refuse every link (openat2 with
// RESOLVE_NO_SYMLINKS, in pieces shorter than PATH_MAX, so paths of any
// length are walked); where that meets a link, or the kernel has no openat2,
// it goes on one component at a time (openat with O_NOFOLLOW|O_DIRECTORY),
// and a link it may follow is read and its target walked by the same rule,
// from the root for an absolute target, at most kMaxLinks links in all.
// Descriptors are O_PATH: they name directories without reading them, and
// the walk holds one at a time, whatever the depth.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace ruxen {

// Why a walk failed with ELOOP.
struct WalkRefusal {
    // The refused link: the walked path up to it, or, once a link was
    // followed, the text of the target that holds it.
    std::string link;
    uid_t owner = 0;            // its owner
    unsigned followed = 0;      // links followed before it
    bool tooManyLinks = false;  // more than kMaxLinks links, not a refusal of one

    bool Refused() const { return !link.empty() || tooManyLinks; }
    void Clear() {
        link.clear();
        owner = 0;
        followed = 0;
        tooManyLinks = false;
    }
};

// Local path prefixes that a job's configuration names (a snapshot mount, a
// proxy destination), resolved once when the job is set up: links among
// their own components are followed as the administrator set them up; below
// them the walk's rule holds. Immutable once filled, so that several threads
// may share it.
class TrustedPrefixes {
public:
    // Resolves `prefix` (realpath) and keeps it when it resolves to another
    // path; one that cannot be resolved is left to the rule (logged).
    void Add(const std::string& prefix);
    bool Empty() const { return m_prefixes.empty(); }
    // `dir` with the longest prefix that covers it (on whole components)
    // replaced by its resolution, in `out`; false, `out` untouched, when none
    // covers it.
    bool Resolve(const std::string& dir, std::string& out) const;

private:
    std::vector<std::pair<std::string, std::string>> m_prefixes;  // as named, resolved
};

// The most links one walk follows (the kernel's own limit).
constexpr unsigned kMaxLinks = 40;

// Opens the directory `dir` by the rule, as an O_PATH descriptor (the
// caller's); a relative `dir` from the working directory. -1 with errno; on
// ELOOP `why` (when given) says which link stopped the walk.
int OpenDirectory(const std::string& dir, WalkRefusal* why, const TrustedPrefixes* trusted = nullptr);

// Walks `rest`, a path relative to the directory open at `from` (borrowed,
// never closed; AT_FDCWD allowed), or absolute, by the rule: as OpenDirectory.
int WalkFrom(int from, const std::string& rest, WalkRefusal* why);

// Opens what `path` names, whatever its type, as an O_PATH descriptor (the
// caller's; opening it so opens no device and reads nothing), following a
// symbolic link among its components, the last one included, by the rule.
// `resolved` gets the absolute path of what was opened without any link,
// "." or ".." (the kernel's name of the descriptor), so that a later walk
// of it meets no link. -1 with errno; on ELOOP `why` (when given) says which
// link stopped it.
int OpenResolved(const std::string& path, std::string& resolved, WalkRefusal* why);

// Opens the file `path` (a job's output) by the same rule: the links among
// its directories, and a link that the path ends in, are followed only when
// root or the running user owns them (ELOOP otherwise, `why` saying which);
// the file itself is opened with O_NOFOLLOW. A link into /proc (the
// descriptor links behind /dev/stdout) is opened as the kernel resolves it,
// since it names an open file, not a path. `flags` and `mode` as open()'s;
// with O_CREAT, `created` (when given) says whether this call made the
// file. -1 with errno.
int OpenFileByRule(const std::string& path, int flags, mode_t mode, WalkRefusal* why, bool* created = nullptr);

// The name by which the path calls reach what an O_PATH descriptor names:
// "/proc/self/fd/N". Following it lands on the item itself, even when the
// item is a symbolic link or a device node, and opens nothing.
class ProcFdPath {
public:
    explicit ProcFdPath(int fd);
    const char* c_str() const { return m_text; }

private:
    char m_text[32];
};

}  // namespace ruxen
