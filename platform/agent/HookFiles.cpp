#include "platform/agent/HookFiles.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/agent/KxLog.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/TestControl.h"

namespace {

std::string& dirStorage() {
    static ruxen::NoDestructor<std::string> dir;
    return *dir;
}

}  // namespace

namespace HookFiles {

const std::string& Directory() {
    std::string& d = dirStorage();
    if (d.empty()) {
        const char* env = getenv("RUXEN_HOOK_DIR");
        d = (env && *env) ? env : "/tmp";
    }
    return d;
}

std::string Path(const char* name) {
    std::string p = Directory();
    if (p.empty() || p.back() != '/')
        p += '/';
    p += name;
    return p;
}

bool Exists(const char* name) {
    std::string path = Path(name);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return false;
    bool owner = st.st_uid == 0 || st.st_uid == geteuid();
    // A second name is no hook: where protected_hardlinks is off, anyone may
    // link any root-owned file into /tmp under a hook's name.
    if (S_ISLNK(st.st_mode) || !owner || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || st.st_nlink != 1) {
        KXLOG(0,
              "hook file %s passed over: owner %u, mode 0%o, %u links; a hook must be a file of root or "
              "uid %u with one link that group and others cannot write",
              path.c_str(), static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode),
              static_cast<unsigned>(st.st_nlink), static_cast<unsigned>(geteuid()));
        return false;
    }
    return true;
}

}  // namespace HookFiles

void ruxen::testcontrol::SetHookDirectory(const std::string& dir) { dirStorage() = dir; }

namespace {
const ruxen::testcontrol::Registration kTestReset("hook directory", [] { ruxen::testcontrol::SetHookDirectory(""); });
}  // namespace
