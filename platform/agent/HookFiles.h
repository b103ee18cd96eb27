// Debugging hooks are files whose presence changes behaviour. Their names are
// fixed; the directory that holds them is "/tmp" unless a test (or the
// RUXEN_HOOK_DIR environment variable) points it elsewhere. Every hook file is
// looked up through these functions.
#pragma once

#include <string>

namespace HookFiles {

// The directory of the hook files.
const std::string& Directory();

// The full path of the hook file with the given name ("KX.ruxen.do.not.send").
std::string Path(const char* name);

// Whether the hook file is present and may be trusted: a file (not a
// symbolic link) of one link, owned by root or by the running user, and not
// writable by group or others. Anyone may create files in "/tmp"; a hook
// planted there by another user (a hard link to a root-owned file among
// them), or one that others could have changed, is passed over (and
// logged).
bool Exists(const char* name);

}  // namespace HookFiles
