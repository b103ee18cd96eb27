#include "platform/base/ScratchFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace ruxen {

int openScratchFile() {
    const char* env = getenv("TMPDIR");
    const std::string dir = env && *env ? env : "/tmp";
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::string name = dir + "/ruxen-scratch-XXXXXX";
        fd = mkostemp(&name[0], O_CLOEXEC);
        if (fd >= 0)
            unlink(name.c_str());
    }
    return fd;
}

}  // namespace ruxen
