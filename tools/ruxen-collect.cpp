// ruxen-collect: writes a collect file for directory trees, so that the main
// job can be tried without the scan program. One escaped absolute path per
// line, depth first, each directory before its entries, entries in name
// order. Symbolic links are listed, never followed.
//
//   ruxen-collect DIR... > COLLECT
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/FileNameEscape.h"

namespace {

int g_errors = 0;
std::string g_line;

bool emit(const std::string& path) {
    g_line.clear();
    ruxen::escapeFileNameInto(path.data(), path.size(), g_line);
    g_line += '\n';
    return fwrite(g_line.data(), 1, g_line.size(), stdout) == g_line.size();
}

// Lists the entries of the directory open at `dirfd` (the descriptor is
// consumed). Walking by descriptor keeps paths of any length usable.
bool walk(int fdDir, const std::string& path) {
    DIR* d = fdopendir(fdDir);
    if (!d) {
        fprintf(stderr, "ruxen-collect: cannot read %s: %s\n", path.c_str(), strerror(errno));
        close(fdDir);
        ++g_errors;
        return true;
    }
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        names.emplace_back(e->d_name);
    }
    if (errno != 0) {
        fprintf(stderr, "ruxen-collect: error reading %s: %s\n", path.c_str(), strerror(errno));
        ++g_errors;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        std::string child = path == "/" ? "/" + n : path + "/" + n;
        if (!emit(child))
            return false;
        struct stat st;
        if (fstatat(dirfd(d), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // The backup reports it; the walk goes on.
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            int fd = openat(dirfd(d), n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                fprintf(stderr, "ruxen-collect: cannot open %s: %s\n", child.c_str(), strerror(errno));
                ++g_errors;
                continue;
            }
            if (!walk(fd, child))
                return false;
        }
    }
    closedir(d);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fprintf(argc < 2 ? stderr : stdout, "usage: ruxen-collect DIR... > COLLECT\n");
        return argc < 2 ? 2 : 0;
    }
    for (int i = 1; i < argc; ++i) {
        char* real = realpath(argv[i], nullptr);
        if (!real) {
            fprintf(stderr, "ruxen-collect: %s: %s\n", argv[i], strerror(errno));
            ++g_errors;
            continue;
        }
        std::string root = real;
        free(real);
        if (!emit(root))
            break;
        int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            fprintf(stderr, "ruxen-collect: cannot open %s: %s\n", root.c_str(), strerror(errno));
            ++g_errors;
            continue;
        }
        if (!walk(fd, root))
            break;
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "ruxen-collect: cannot write the collect file: %s\n", strerror(errno));
        return 1;
    }
    return g_errors ? 1 : 0;
}
