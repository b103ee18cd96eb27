// Helpers shared by the reader tests: a scratch directory, file writers, a
// builder of AppleDouble companion files and a loop that drains a reader.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/DlpBackupReader.h"
#include "platform/HookFiles.h"
#include "platform/KXPlatformInfo.h"
#include "platform/KxLog.h"
#include "platform/KxLongPathHandler.h"
#include "platform/KxMntTab.h"
#include "platform/ZXHSMLowLevel.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"

namespace readertest {

// Removes `name` under the directory `dirfd`, recursively, without building
// paths (so trees deeper than PATH_MAX go too).
inline void removeAt(int dirfd, const char* name) {
    struct stat st;
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            DIR* d = fdopendir(fd);
            if (d) {
                std::vector<std::string> names;
                while (struct dirent* e = readdir(d))
                    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                        names.emplace_back(e->d_name);
                for (const std::string& n : names)
                    removeAt(::dirfd(d), n.c_str());
                closedir(d);
            } else {
                close(fd);
            }
        }
        unlinkat(dirfd, name, AT_REMOVEDIR);
    } else {
        unlinkat(dirfd, name, 0);
    }
}

class TempDir {
public:
    explicit TempDir(const char* base = "/tmp") {
        std::string tmpl = std::string(base) + "/reader_testXXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr)
            ADD_FAILURE() << "mkdtemp under " << base << ": " << strerror(errno);
        else
            m_path = buf.data();
    }
    ~TempDir() {
        if (!m_path.empty())
            removeAt(AT_FDCWD, m_path.c_str());
    }
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + off, bytes.size() - off);
        ASSERT_GT(n, 0) << strerror(errno);
        off += static_cast<size_t>(n);
    }
    ASSERT_EQ(close(fd), 0);
}

// Bytes that differ from position to position (and from seed to seed).
inline std::string pattern(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

inline struct stat lstatOf(const std::string& path) {
    struct stat st;
    memset(&st, 0, sizeof(st));
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path << ": " << strerror(errno);
    return st;
}

// Drains the reader with reads of `bufSize` bytes. `ok` turns false when a
// read fails (errno is kept in *err) or the reader gives more than `limit`.
struct Drained {
    std::string bytes;
    bool ok = true;
    int err = 0;
    int calls = 0;
};
inline Drained drain(CFileReader& r, size_t bufSize, size_t limit = 256u << 20) {
    Drained d;
    std::vector<char> buf(bufSize);
    for (;;) {
        int n = r.read(buf.data(), bufSize);
        ++d.calls;
        if (n < 0) {
            d.ok = false;
            d.err = errno;
            return d;
        }
        if (n == 0)
            return d;
        if (static_cast<size_t>(n) > bufSize) {
            ADD_FAILURE() << "read gave " << n << " bytes into a buffer of " << bufSize;
            d.ok = false;
            return d;
        }
        d.bytes.append(buf.data(), static_cast<size_t>(n));
        if (d.bytes.size() > limit) {
            d.ok = false;
            return d;
        }
    }
}

// ---- AppleDouble companion files

inline void putBE32(std::string& s, size_t at, uint32_t v) {
    s[at] = static_cast<char>(v >> 24);
    s[at + 1] = static_cast<char>(v >> 16);
    s[at + 2] = static_cast<char>(v >> 8);
    s[at + 3] = static_cast<char>(v);
}

struct ADEntry {
    uint32_t id;
    std::string bytes;
    // Overrides of what the table says (-1: the real value).
    long long offset = -1;
    long long length = -1;
};

// A companion file: 24 header bytes, the count, the table, then the entries'
// bytes in table order. `count` overrides the count field (-1: the number of
// entries).
inline std::string buildAppleDouble(const std::vector<ADEntry>& entries, long count = -1) {
    std::string s(26 + entries.size() * 12, '\0');
    memcpy(&s[0], "\x00\x05\x16\x07\x00\x02\x00\x00", 8);  // magic, version
    uint16_t c = static_cast<uint16_t>(count < 0 ? static_cast<long>(entries.size()) : count);
    s[24] = static_cast<char>(c >> 8);
    s[25] = static_cast<char>(c);
    for (size_t i = 0; i < entries.size(); ++i) {
        const ADEntry& e = entries[i];
        size_t at = 26 + i * 12;
        uint32_t off = static_cast<uint32_t>(s.size());
        s += e.bytes;
        putBE32(s, at, e.id);
        putBE32(s, at + 4, e.offset >= 0 ? static_cast<uint32_t>(e.offset) : off);
        putBE32(s, at + 8, e.length >= 0 ? static_cast<uint32_t>(e.length) : static_cast<uint32_t>(e.bytes.size()));
    }
    return s;
}

inline std::string companionOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return path.substr(0, slash + 1) + "._" + path.substr(slash + 1);
}

// Process-wide state every test starts from: empty registry, hook files in a
// directory of their own, no tiered storage, no forced DLP mode, logging
// captured so that failure lines do not flood the output.
class ReaderTestBase : public ::testing::Test {
protected:
    void SetUp() override {
        KXPlatformInfo::resetForTest();
        HookFiles::SetDirectoryForTest(m_hooks.path());
        ZXHSMTestState::Reset();
        DlpBackupReader::ResetForTest();
        KxLongPathHandler::SetUnavailableForTest(false);
        kxSetMntTabPathForTest(nullptr);
        m_oldLevel = KxLog::Query();
        KxLog::StartCapture();
    }
    void TearDown() override {
        KxLog::StopCapture();
        KxLog::SetLevel(m_oldLevel);
        HookFiles::SetDirectoryForTest("");
        KXPlatformInfo::resetForTest();
        ZXHSMTestState::Reset();
        DlpBackupReader::ResetForTest();
        KxLongPathHandler::SetUnavailableForTest(false);
        kxSetMntTabPathForTest(nullptr);
    }
    std::string log() { return KxLog::TakeCaptured(); }

    TempDir m_dir;
    TempDir m_hooks;
    int m_oldLevel = 0;
};

}  // namespace readertest
