#include "platform/text/WholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/base/FdIO.h"
#include "platform/base/ScopedFd.h"

namespace WholeFile {

namespace {

bool Fail(std::string& error, const std::string& what, const std::string& path, int e) {
    error = what + " " + path + ": " + strerror(e);
    return false;
}

}  // namespace

bool ReadRegular(const std::string& path, size_t maxBytes, std::string& out, std::string& error) {
    out.clear();
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid())
        return Fail(error, "cannot open", path, errno);
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return Fail(error, "cannot examine", path, errno);
    if (!S_ISREG(st.st_mode)) {
        error = path + " is not a regular file";
        return false;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail(error, "cannot read", path, errno);
        if (n == 0)
            return true;
        if (out.size() + static_cast<size_t>(n) > maxBytes) {
            error = path + " is larger than " + std::to_string(maxBytes) + " bytes";
            out.clear();
            return false;
        }
        out.append(buf, static_cast<size_t>(n));
    }
}

bool WriteAtomically(const std::string& path, const std::string& content, std::string& error) {
    std::vector<char> tmpl(path.begin(), path.end());
    static const char kSuffix[] = ".tmp.XXXXXX";
    tmpl.insert(tmpl.end(), kSuffix, kSuffix + sizeof kSuffix);  // with the NUL
    ScopedFd fd(mkostemp(tmpl.data(), O_CLOEXEC));
    if (!fd.valid())
        return Fail(error, "cannot create a temporary file for", path, errno);
    const std::string tmp(tmpl.data());
    int e = 0;
    if (ruxen::writeAll(fd.get(), content.data(), content.size()) != 0 || fsync(fd.get()) != 0)
        e = errno;
    if (fd.Close() != 0 && e == 0)
        e = errno;
    if (e == 0 && ::rename(tmp.c_str(), path.c_str()) != 0)
        e = errno;
    if (e != 0) {
        ::unlink(tmp.c_str());
        return Fail(error, "cannot write", path, e);
    }
    return true;
}

}  // namespace WholeFile
