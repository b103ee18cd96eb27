#include "platform/HookFiles.h"

#include <cstdlib>
#include <unistd.h>

namespace {

std::string& dirStorage() {
    static std::string dir;
    return dir;
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
    return access(Path(name).c_str(), F_OK) == 0;
}

void SetDirectoryForTest(const std::string& dir) {
    dirStorage() = dir;
}

}  // namespace HookFiles
