// A chain of directories under `base` deeper than PATH_MAX, made with
// mkdirat/openat: base/0_ddd.../1_ddd.../... Answers the deepest directory's
// path ("" after a test failure).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace testfiles {

inline std::string MakeDeepDir(const std::string& base) {
    int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY);
    std::string deep = base;
    for (int i = 0; fd >= 0 && deep.size() <= PATH_MAX + 200; ++i) {
        const std::string comp = std::to_string(i) + "_" + std::string(200, 'd');
        int next = mkdirat(fd, comp.c_str(), 0755) == 0 ? openat(fd, comp.c_str(), O_RDONLY | O_DIRECTORY) : -1;
        close(fd);
        fd = next;
        deep += "/" + comp;
    }
    EXPECT_GE(fd, 0) << deep;
    if (fd < 0)
        return "";
    close(fd);
    return deep;
}

}  // namespace testfiles
