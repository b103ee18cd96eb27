#include "support/TestFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace testfiles {

namespace {

// Removes `name` under the directory `dirfd`, recursively, without building
// paths. Answers false when something stayed.
bool removeAt(int dirfd, const char* name) {
    struct stat st;
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    bool ok = true;
    if (S_ISDIR(st.st_mode)) {
        int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            if (DIR* d = fdopendir(fd)) {
                std::vector<std::string> names;
                while (struct dirent* e = readdir(d))
                    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                        names.emplace_back(e->d_name);
                for (const std::string& n : names)
                    ok = removeAt(::dirfd(d), n.c_str()) && ok;
                closedir(d);
            } else {
                close(fd);
                ok = false;
            }
        }
        ok = unlinkat(dirfd, name, AT_REMOVEDIR) == 0 && ok;
    } else {
        ok = unlinkat(dirfd, name, 0) == 0;
    }
    return ok;
}

}  // namespace

const char* SyncFreeBase() { return access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp"; }

TempDir::TempDir(const char* prefix, const char* base) {
    std::string tmpl = std::string(base) + "/" + prefix + "_XXXXXX";
    if (!mkdtemp(&tmpl[0])) {
        ADD_FAILURE() << "mkdtemp(" << tmpl << "): " << strerror(errno);
        return;
    }
    m_path = tmpl;
}

TempDir::~TempDir() {
    if (!m_path.empty())
        RemoveTree(m_path);
}

bool RemoveTree(const std::string& path) {
    return removeAt(AT_FDCWD, path.c_str());
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

std::string ReadWholeFile(const std::string& path) {
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        ADD_FAILURE() << "cannot open " << path << ": " << strerror(errno);
        return out;
    }
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

void WriteWholeFile(const std::string& path, const std::string& content) {
    // Mode 0644 whatever the umask: a group-writable file is no trusted hook.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FILE* f = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (!f) {
        if (fd >= 0)
            close(fd);
        FAIL() << "cannot create " << path << ": " << strerror(errno);
    }
    bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = fclose(f) == 0 && ok;
    if (!ok)
        FAIL() << "cannot write " << path << ": " << strerror(errno);
}

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

void WriteSparse(const std::string& path, uint64_t size,
                 const std::vector<std::pair<uint64_t, std::string>>& pieces) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
    bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    for (const auto& p : pieces)
        ok = ok && pwrite(fd, p.second.data(), p.second.size(), static_cast<off_t>(p.first)) ==
                       static_cast<ssize_t>(p.second.size());
    ok = close(fd) == 0 && ok;
    ASSERT_TRUE(ok) << "cannot write " << path << ": " << strerror(errno);
}

bool ReportsHoles(const std::string& dir) {
    const std::string path = dir + "/.holes_probe";
    WriteSparse(path, 8 << 20, {{0, "x"}});
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    off_t hole = fd < 0 ? -1 : lseek(fd, 0, SEEK_HOLE);
    if (fd >= 0)
        close(fd);
    unlink(path.c_str());
    return hole > 0 && hole < (8 << 20);
}

std::string MakePathOfLength(const std::string& base, size_t total) {
    std::string p = base;
    int dfd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    char letter = 'a';
    while (dfd >= 0 && total > p.size() + 202) {
        std::string comp(200, letter++);
        int nfd = mkdirat(dfd, comp.c_str(), 0755) == 0 || errno == EEXIST
                      ? openat(dfd, comp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                      : -1;
        close(dfd);
        dfd = nfd;
        p += "/" + comp;
    }
    if (dfd < 0 || total < p.size() + 2)
        return std::string();
    std::string leaf(total - p.size() - 1, 'z');
    int fd = openat(dfd, leaf.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    close(dfd);
    bool ok = fd >= 0 && write(fd, "long", 4) == 4;
    if (fd >= 0)
        close(fd);
    return ok ? p + "/" + leaf : std::string();
}

}  // namespace testfiles
