// The directory of the item being looked up, kept while the next items share
// it. A collect file lists a directory's entries together, so the walk to a
// directory (platform/os/DirWalk.h: a link among its directories followed only
// when root or the running user owns it) is paid once per directory, and each
// item costs one lookup of its last component relative to the descriptor
// instead of a lookup of its whole path.
//
// A directory below the one held is walked from the held descriptor, so a
// depth-first listing walks each directory once, whatever its depth. The
// descriptor stays the directory it was when it was walked: an item read
// through it is one the walk reached, whatever has been renamed since.
//
// One cache belongs to one thread.
#pragma once

#include <memory>
#include <string>

#include "platform/base/ScopedFd.h"
#include "platform/os/DirWalk.h"

namespace ruxen {

class ParentDirCache {
public:
    // The directory holding the last component of `path`: *dir its descriptor
    // (the cache's; AT_FDCWD for a relative path of one component) and *name
    // the last component, without trailing slashes ("." for "/"). False with
    // errno when the directory cannot be reached; on ELOOP Refusal() says
    // which link stopped the walk (and is empty after any other answer).
    bool Parent(const char* path, int* dir, const char** name);

    // The job's trusted prefixes (null: none); a change drops the held
    // directory.
    void SetTrusted(const std::shared_ptr<const TrustedPrefixes>& trusted);
    // Closes the held directory.
    void Clear();
    const WalkRefusal& Refusal() const { return m_refusal; }

private:
    bool Miss(const char* path, size_t length, int* dir);

    ScopedFd m_fd;
    std::string m_key;       // the directory as the items name it
    std::string m_resolved;  // as walked (trusted prefixes resolved)
    std::string m_name;      // a last component that had trailing slashes
    std::string m_scratch;
    WalkRefusal m_refusal;
    std::shared_ptr<const TrustedPrefixes> m_trusted;
};

}  // namespace ruxen
