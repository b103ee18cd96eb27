#include "platform/text/ReplaceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/base/FdIO.h"

namespace ReplaceFile {

namespace {

std::string reason(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + strerror(errno);
}

// Writes, flushes (when `sync`) and closes `fd`; the close is checked too.
bool writeAndClose(int fd, const std::string& content, bool sync, const std::string& path, std::string& error) {
    bool ok = true;
    if (ruxen::writeAll(fd, content.data(), content.size()) != 0) {
        error = reason("cannot write", path);
        ok = false;
    } else if (sync && fsync(fd) != 0) {
        error = reason("cannot flush", path);
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        error = reason("cannot close", path);
        ok = false;
    }
    return ok;
}

}  // namespace

bool Write(const std::string& path, const std::string& content, std::string& error) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (!S_ISCHR(st.st_mode)) {
            error = path + " exists and is not a regular file";
            return false;
        }
        int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            error = reason("cannot open", path);
            return false;
        }
        return writeAndClose(fd, content, false, path, error);
    }
    std::vector<char> tmp(path.begin(), path.end());
    const char suffix[] = ".tmpXXXXXX";
    tmp.insert(tmp.end(), suffix, suffix + sizeof(suffix));  // with the NUL
    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        error = reason("cannot create a temporary file for", path);
        return false;
    }
    const std::string tmpPath(tmp.data());
    if (!writeAndClose(fd, content, true, tmpPath, error)) {
        unlink(tmpPath.c_str());
        return false;
    }
    if (rename(tmpPath.c_str(), path.c_str()) != 0) {
        error = reason("cannot rename " + tmpPath + " to", path);
        unlink(tmpPath.c_str());
        return false;
    }
    return true;
}

}  // namespace ReplaceFile
