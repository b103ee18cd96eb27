#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ReaderTestUtil.h"
#include "platform/PerfCounter.h"
#include "platform/ReparseData.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "reader/CFileReaderFactory.h"

using namespace readertest;

namespace {

// A hang in a test that opens FIFOs or links kills the test program instead
// of the whole run.
class AlarmGuard {
public:
    explicit AlarmGuard(unsigned seconds) { alarm(seconds); }
    ~AlarmGuard() { alarm(0); }
};

struct AlignedBuffer {
    explicit AlignedBuffer(size_t n, size_t align = 4096) {
        if (posix_memalign(&p, align, n + align) != 0)
            p = nullptr;
    }
    ~AlignedBuffer() { free(p); }
    char* data() { return static_cast<char*>(p); }
    void* p = nullptr;
};

class FileReaderTest : public ReaderTestBase {
protected:
    std::shared_ptr<CFileReaderContext> makeContext() {
        auto ctx = std::make_shared<CFileReaderContext>();
        ctx->InitHSM();
        return ctx;
    }
    std::shared_ptr<CFileReader> makeReader(std::shared_ptr<CFileReaderContext> ctx) {
        return CFileReaderFactory::CreateFileReader(FILE_READER_STANDARD, ctx);
    }
    // Reads a whole item through a fresh reader.
    Drained readItem(const std::string& path, size_t bufSize, bool hfs = false) {
        auto r = makeReader(makeContext());
        struct stat st = lstatOf(path);
        EXPECT_EQ(r->initialize(path.c_str(), &st, hfs, false), 0) << strerror(errno);
        return drain(*r, bufSize);
    }
};

// ------------------------------------------------------------ plain reads

TEST_F(FileReaderTest, PlainFileWithOddBufferSizes) {
    const std::string data = pattern(100003);
    writeFile(m_dir / "f", data);
    for (size_t bs : {size_t(1), size_t(7), size_t(4095), size_t(4096), size_t(65537), size_t(1) << 20}) {
        for (bool hfs : {false, true}) {
            SCOPED_TRACE(std::to_string(bs) + (hfs ? " hfs" : ""));
            auto r = makeReader(makeContext());
            struct stat st = lstatOf(m_dir / "f");
            ASSERT_EQ(r->initialize((m_dir / "f").c_str(), &st, hfs, false), 0);
            EXPECT_TRUE(r->IsOpen());
            EXPECT_EQ(r->getTotalSize(), 100003);
            EXPECT_EQ(r->isHFS(), 0u);
            Drained d = drain(*r, bs);
            ASSERT_TRUE(d.ok) << strerror(d.err);
            // No trailing properties block for a file without a companion.
            EXPECT_EQ(d.bytes.size(), data.size());
            EXPECT_TRUE(d.bytes == data);
            char c;
            EXPECT_EQ(r->read(&c, 1), 0);  // the end stays the end
        }
    }
}

TEST_F(FileReaderTest, EmptyFileYieldsNothing) {
    writeFile(m_dir / "e", "");
    for (bool hfs : {false, true}) {
        Drained d = readItem(m_dir / "e", 4096, hfs);
        EXPECT_TRUE(d.ok);
        EXPECT_EQ(d.bytes.size(), 0u);
        EXPECT_EQ(d.calls, 1);
    }
}

// The reader does not cut a plain file at the size the caller saw: it reads
// until read(2) says the end. The caller sends the size it declared.
TEST_F(FileReaderTest, FileAppendedAfterInitializeIsReadToItsNewEnd) {
    const std::string a = pattern(1000, 1), b = pattern(500, 2);
    writeFile(m_dir / "grow", a);
    auto r = makeReader(makeContext());
    struct stat st = lstatOf(m_dir / "grow");
    ASSERT_EQ(r->initialize((m_dir / "grow").c_str(), &st, false, false), 0);
    int fd = open((m_dir / "grow").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, b.data(), b.size()), 500);
    close(fd);
    EXPECT_EQ(r->getTotalSize(), 1000);
    Drained d = drain(*r, 333);
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(d.bytes == a + b);
}

TEST_F(FileReaderTest, SparseFileSeeksPassThrough) {
    const std::string path = m_dir / "sparse";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const off_t kData = 8 << 20, kSize = 16 << 20;
    const std::string chunk = pattern(4096, 9);
    ASSERT_EQ(pwrite(fd, chunk.data(), chunk.size(), kData), 4096);
    ASSERT_EQ(ftruncate(fd, kSize), 0);
    close(fd);

    auto r = makeReader(makeContext());
    struct stat st = lstatOf(path);
    ASSERT_EQ(r->initialize(path.c_str(), &st, false, false), 0);
    ASSERT_TRUE(r->canSeek());
    long long at = r->seek(0, SEEK_DATA);
    if (at == 0)
        GTEST_SKIP() << "the file system reports no holes";
    ASSERT_EQ(at, kData);
    EXPECT_EQ(r->GetPosition(), kData);
    std::string got(4096, '\0');
    ASSERT_EQ(r->read(&got[0], got.size()), 4096);
    EXPECT_TRUE(got == chunk);
    long long hole = r->seek(static_cast<long>(r->GetPosition()), SEEK_HOLE);
    EXPECT_GE(hole, kData + 4096);
    // No data after the last block: -1 with ENXIO, and the position stays.
    long long before = r->GetPosition();
    errno = 0;
    EXPECT_EQ(r->seek(static_cast<long>(kData + (1 << 20)), SEEK_DATA), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(r->GetPosition(), before);
}

TEST_F(FileReaderTest, FailedSeekLeavesThePositionAlone) {
    const std::string data = pattern(5000);
    writeFile(m_dir / "f", data);
    auto r = makeReader(makeContext());
    struct stat st = lstatOf(m_dir / "f");
    ASSERT_EQ(r->initialize((m_dir / "f").c_str(), &st, false, false), 0);
    std::string head(100, '\0');
    ASSERT_EQ(r->read(&head[0], 100), 100);
    errno = 0;
    EXPECT_EQ(r->seek(-1, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(r->GetPosition(), 100);
    Drained d = drain(*r, 4096);
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(head + d.bytes == data);  // not ended, not restarted
    EXPECT_EQ(r->seek(10, SEEK_SET), 10);
    EXPECT_EQ(r->GetPosition(), 10);
}

TEST_F(FileReaderTest, SeekNeedsAnOpenSeekableItem) {
    auto ctx = makeContext();
    auto r = makeReader(ctx);
    errno = 0;
    EXPECT_EQ(r->seek(0, SEEK_SET), -1);
    EXPECT_EQ(errno, EBADF);
    ctx->SetAllowFifoFileBackup();
    EXPECT_FALSE(r->canSeek());
    errno = 0;
    EXPECT_EQ(r->seek(0, SEEK_SET), -1);
    EXPECT_EQ(errno, ENOSYS);
}

TEST_F(FileReaderTest, DirectoryIsPreparedWithoutAHandle) {
    KxLog::SetLevel(0);
    auto r = makeReader(makeContext());
    struct stat st = lstatOf(m_dir.path());
    ASSERT_EQ(r->initialize(m_dir.path().c_str(), &st, true, false), 0);
    EXPECT_FALSE(r->IsOpen());
    EXPECT_EQ(r->getFileHandle(), -1);
    log();
    char buf[16];
    EXPECT_EQ(r->read(buf, sizeof buf), -1);
    EXPECT_NE(log().find("failed - no handle"), std::string::npos);
    EXPECT_EQ(r->isLocked(), -1);
}

TEST_F(FileReaderTest, PathThatVanishedFailsWithItsErrno) {
    writeFile(m_dir / "gone", "x");
    struct stat st = lstatOf(m_dir / "gone");
    unlink((m_dir / "gone").c_str());
    auto r = makeReader(makeContext());
    errno = 0;
    EXPECT_EQ(r->initialize((m_dir / "gone").c_str(), &st, false, false), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(log().find("Failed to open"), std::string::npos);
}

// ------------------------------------------------- the item must stay itself

TEST_F(FileReaderTest, FileSwappedForAFifoFailsWithoutHanging) {
    AlarmGuard alarmGuard(20);
    const std::string path = m_dir / "swap";
    writeFile(path, "data");
    struct stat st = lstatOf(path);
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    auto r = makeReader(makeContext());
    errno = 0;
    EXPECT_EQ(r->initialize(path.c_str(), &st, false, false), -1);
    EXPECT_EQ(errno, ESTALE);
    EXPECT_FALSE(r->IsOpen());
}

TEST_F(FileReaderTest, FileReplacedByAnotherFileFails) {
    const std::string path = m_dir / "rep";
    writeFile(path, "old");
    struct stat st = lstatOf(path);
    writeFile(m_dir / "new", "new contents");
    ASSERT_EQ(rename((m_dir / "new").c_str(), path.c_str()), 0);
    auto r = makeReader(makeContext());
    errno = 0;
    EXPECT_EQ(r->initialize(path.c_str(), &st, false, false), -1);
    EXPECT_EQ(errno, ESTALE);
}

TEST_F(FileReaderTest, FifoIsOpenedWithoutBlocking) {
    AlarmGuard alarmGuard(20);
    const std::string path = m_dir / "fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    auto r = makeReader(makeContext());
    struct stat st = lstatOf(path);
    // No writer: neither the open nor the read waits for one.
    ASSERT_EQ(r->initialize(path.c_str(), &st, false, false), 0);
    ASSERT_TRUE(r->IsOpen());
    EXPECT_TRUE(fcntl(r->getFileHandle(), F_GETFL) & O_NONBLOCK);
    char buf[64];
    EXPECT_EQ(r->read(buf, sizeof buf), 0);
}

TEST_F(FileReaderTest, FifoBackupReadsInBlockingMode) {
    AlarmGuard alarmGuard(20);
    const std::string path = m_dir / "fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    auto ctx = makeContext();
    ctx->SetAllowFifoFileBackup();
    auto r = makeReader(ctx);
    struct stat st = lstatOf(path);
    KxLog::SetLevel(1);
    log();
    ASSERT_EQ(r->initialize(path.c_str(), &st, false, false), 0);
    EXPECT_NE(log().find("Setting back fifofile [" + path + "] in blocking mode"), std::string::npos);
    EXPECT_FALSE(fcntl(r->getFileHandle(), F_GETFL) & O_NONBLOCK);
    EXPECT_FALSE(r->canSeek());
    int w = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(w, 0);
    ASSERT_EQ(write(w, "hello", 5), 5);
    close(w);
    Drained d = drain(*r, 3);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, "hello");
}

TEST_F(FileReaderTest, SymbolicLinksAndSocketsAreNotOpened) {
    AlarmGuard alarmGuard(20);
    ASSERT_EQ(mkfifo((m_dir / "fifo").c_str(), 0644), 0);
    writeFile(m_dir / "file", "contents");
    ASSERT_EQ(symlink("fifo", (m_dir / "l-fifo").c_str()), 0);
    ASSERT_EQ(symlink("file", (m_dir / "l-file").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", (m_dir / "l-dev").c_str()), 0);

    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    const std::string sp = m_dir / "sock";
    ASSERT_LT(sp.size(), sizeof(sa.sun_path));
    memcpy(sa.sun_path, sp.c_str(), sp.size());
    ASSERT_EQ(bind(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)), 0);

    auto r = makeReader(makeContext());
    for (const char* name : {"l-fifo", "l-file", "l-dev", "sock"}) {
        SCOPED_TRACE(name);
        struct stat st = lstatOf(m_dir / name);
        ASSERT_EQ(r->initialize((m_dir / name).c_str(), &st, true, false), 0);
        EXPECT_FALSE(r->IsOpen());
        EXPECT_EQ(r->isHFS(), 0u);
        char buf[8];
        EXPECT_EQ(r->read(buf, sizeof buf), -1);
    }
    close(s);
}

TEST_F(FileReaderTest, LinkToARawDeviceIsReadWhenTheJobSaysSo) {
    AlarmGuard alarmGuard(20);
    ASSERT_EQ(symlink("/dev/zero", (m_dir / "raw").c_str()), 0);
    writeFile(m_dir / "file", "contents");
    ASSERT_EQ(symlink("file", (m_dir / "notraw").c_str()), 0);
    auto ctx = makeContext();
    ctx->SetLink2RawDev(true);
    auto r = makeReader(ctx);
    struct stat st = lstatOf(m_dir / "raw");
    ASSERT_EQ(r->initialize((m_dir / "raw").c_str(), &st, false, false), 0);
    ASSERT_TRUE(r->IsOpen());
    std::string buf(4096, 'x');
    EXPECT_EQ(r->read(&buf[0], buf.size()), 4096);
    EXPECT_EQ(buf, std::string(4096, '\0'));
    // A link to anything but a device is not a raw device.
    st = lstatOf(m_dir / "notraw");
    errno = 0;
    EXPECT_EQ(r->initialize((m_dir / "notraw").c_str(), &st, false, false), -1);
    EXPECT_EQ(errno, ESTALE);
}

// ------------------------------------------------------------- lock test

class LockHolder {
public:
    // Forks a child that holds a lock of `type` on the whole file until the
    // holder is destroyed.
    LockHolder(const std::string& path, short type) {
        int up[2], down[2];
        if (pipe(up) != 0 || pipe(down) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            close(up[0]);
            close(down[1]);
            int fd = open(path.c_str(), O_RDWR);
            struct flock fl;
            memset(&fl, 0, sizeof(fl));
            fl.l_type = type;
            fl.l_whence = SEEK_SET;
            char ok = (fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0) ? 'y' : 'n';
            if (write(up[1], &ok, 1) != 1)
                _exit(2);
            char c;
            (void)!::read(down[0], &c, 1);
            _exit(0);
        }
        close(up[1]);
        close(down[0]);
        m_release = down[1];
        char c = 'n';
        m_locked = ::read(up[0], &c, 1) == 1 && c == 'y';
        close(up[0]);
    }
    ~LockHolder() {
        if (m_release >= 0)
            close(m_release);
        if (m_pid > 0) {
            int status;
            waitpid(m_pid, &status, 0);
        }
    }
    bool locked() const { return m_locked; }

private:
    pid_t m_pid = -1;
    int m_release = -1;
    bool m_locked = false;
};

TEST_F(FileReaderTest, LockTestFollowsTheMandatoryLockingMark) {
    const std::string path = m_dir / "locked";
    writeFile(path, pattern(100));
    auto r = makeReader(makeContext());

    ASSERT_EQ(chmod(path.c_str(), 02644), 0);
    struct stat st = lstatOf(path);
    ASSERT_EQ(st.st_mode & 07777, 02644u);
    ASSERT_EQ(r->initialize(path.c_str(), &st, false, false), 0);
    EXPECT_EQ(r->isLocked(), 0);  // nobody holds a lock
    {
        LockHolder holder(path, F_WRLCK);
        ASSERT_TRUE(holder.locked());
        EXPECT_EQ(r->isLocked(), 1);

        ASSERT_EQ(chmod(path.c_str(), 02654), 0);
        st = lstatOf(path);
        ASSERT_EQ(r->initialize(path.c_str(), &st, false, false), 0);
        EXPECT_EQ(r->isLocked(), 0);  // group-execute: no mandatory locking

        ASSERT_EQ(chmod(path.c_str(), 0644), 0);
        st = lstatOf(path);
        ASSERT_EQ(r->initialize(path.c_str(), &st, false, false), 0);
        EXPECT_EQ(r->isLocked(), 0);
    }
    {
        ASSERT_EQ(chmod(path.c_str(), 02644), 0);
        st = lstatOf(path);
        ASSERT_EQ(r->initialize(path.c_str(), &st, false, false), 0);
        LockHolder holder(path, F_RDLCK);
        ASSERT_TRUE(holder.locked());
        EXPECT_EQ(r->isLocked(), 0);  // a read lock does not bar reading
    }
    r->closeFile();
    EXPECT_EQ(r->isLocked(), -1);
}

// -------------------------------------------------------------- O_DIRECT

TEST_F(FileReaderTest, DirectIOWhereTheFileSystemAllowsIt) {
    KXPlatformInfo::setValue("FileSystemAgent", "nUseDirectIO", "1");
    const std::string data = pattern((1 << 20) + 123);
    writeFile(m_dir / "d", data);
    auto ctx = makeContext();
    ASSERT_TRUE(ctx->ShouldUseDirectIO());
    auto r = makeReader(ctx);
    struct stat st = lstatOf(m_dir / "d");
    ASSERT_EQ(r->initialize((m_dir / "d").c_str(), &st, false, false), 0);
    if (!r->IsUsingDirectIO())
        GTEST_SKIP() << "O_DIRECT refused on /tmp";
    EXPECT_TRUE(fcntl(r->getFileHandle(), F_GETFL) & O_DIRECT);
    AlignedBuffer buf(65536);
    std::string got;
    for (;;) {
        int n = r->read(buf.data(), 65536);
        ASSERT_GE(n, 0) << strerror(errno);
        if (n == 0)
            break;
        got.append(buf.data(), static_cast<size_t>(n));
    }
    EXPECT_TRUE(got == data);
    EXPECT_TRUE(r->IsUsingDirectIO());
}

TEST_F(FileReaderTest, DirectIOReadWithAnUnalignedBufferFallsBack) {
    KXPlatformInfo::setValue("FileSystemAgent", "nUseDirectIO", "1");
    const std::string data = pattern(300000);
    writeFile(m_dir / "d", data);
    auto r = makeReader(makeContext());
    struct stat st = lstatOf(m_dir / "d");
    ASSERT_EQ(r->initialize((m_dir / "d").c_str(), &st, false, false), 0);
    if (!r->IsUsingDirectIO())
        GTEST_SKIP() << "O_DIRECT refused on /tmp";
    AlignedBuffer buf(70000);
    char* odd = buf.data() + 1;  // EINVAL under O_DIRECT
    std::string got;
    for (;;) {
        int n = r->read(odd, 65536);
        ASSERT_GE(n, 0) << strerror(errno);
        if (n == 0)
            break;
        got.append(odd, static_cast<size_t>(n));
    }
    EXPECT_TRUE(got == data);
    EXPECT_FALSE(r->IsUsingDirectIO());
    EXPECT_FALSE(fcntl(r->getFileHandle(), F_GETFL) & O_DIRECT);
}

// Where O_DIRECT cannot be had, the open is tried again without it. Older
// tmpfs refuses it; where tmpfs takes it, a file of /proc stands in.
TEST_F(FileReaderTest, DirectIORefusedAtOpenFallsBack) {
    KXPlatformInfo::setValue("FileSystemAgent", "nUseDirectIO", "1");
    std::unique_ptr<TempDir> tmpfs;
    std::string path;
    struct stat shm;
    if (stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) {
        tmpfs.reset(new TempDir("reader_test", "/dev/shm"));
        writeFile(*tmpfs / "f", pattern(5000));
        int fd = open((*tmpfs / "f").c_str(), O_RDONLY | O_DIRECT);
        if (fd < 0 && errno == EINVAL)
            path = *tmpfs / "f";
        if (fd >= 0)
            close(fd);
    }
    if (path.empty()) {
        int fd = open("/proc/version", O_RDONLY | O_DIRECT);
        if (fd >= 0) {
            close(fd);
            GTEST_SKIP() << "no file system here refuses O_DIRECT";
        }
        path = "/proc/version";
    }
    std::string expect;
    {
        char buf[4096];
        int f = open(path.c_str(), O_RDONLY);
        ASSERT_GE(f, 0);
        ssize_t n;
        while ((n = ::read(f, buf, sizeof buf)) > 0)
            expect.append(buf, static_cast<size_t>(n));
        close(f);
    }
    ASSERT_FALSE(expect.empty());
    auto r = makeReader(makeContext());
    struct stat st = lstatOf(path);
    ASSERT_EQ(r->initialize(path.c_str(), &st, false, false), 0) << strerror(errno);
    EXPECT_FALSE(r->IsUsingDirectIO());
    EXPECT_FALSE(fcntl(r->getFileHandle(), F_GETFL) & O_DIRECT);
    Drained d = drain(*r, 4096);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, expect);
}

TEST_F(FileReaderTest, DirectIOOnTmpfsReadsTheSameBytes) {
    struct stat shm;
    if (stat("/dev/shm", &shm) != 0 || !S_ISDIR(shm.st_mode))
        GTEST_SKIP() << "no tmpfs at /dev/shm";
    KXPlatformInfo::setValue("FileSystemAgent", "nUseDirectIO", "1");
    TempDir tmpfs("reader_test", "/dev/shm");
    const std::string data = pattern(200001);
    writeFile(tmpfs / "f", data);
    auto r = makeReader(makeContext());
    struct stat st = lstatOf(tmpfs / "f");
    ASSERT_EQ(r->initialize((tmpfs / "f").c_str(), &st, false, false), 0);
    AlignedBuffer buf(65536);
    std::string got;
    for (;;) {
        int n = r->read(buf.data(), 65536);
        ASSERT_GE(n, 0) << strerror(errno);
        if (n == 0)
            break;
        got.append(buf.data(), static_cast<size_t>(n));
    }
    EXPECT_TRUE(got == data);
}

// ------------------------------------------------ O_NOATIME and access time

TEST_F(FileReaderTest, NoATimeRefusedForAnotherOwnerIsRetriedWithout) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to become another user";
    const std::string data = pattern(777);
    ASSERT_EQ(chmod(m_dir.path().c_str(), 0755), 0);
    writeFile(m_dir / "f", data);  // owned by root, readable by all
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        auto ctx = std::make_shared<CFileReaderContext>();
        if (!ctx->IsNoATimeUpdate())
            _exit(11);
        CFileReader r(ctx);
        struct stat st;
        if (::lstat((m_dir / "f").c_str(), &st) != 0)
            _exit(12);
        if (r.initialize((m_dir / "f").c_str(), &st, false, false) != 0)
            _exit(13);
        std::string got(1000, '\0');
        int n = r.read(&got[0], got.size());
        _exit(n == 777 && got.compare(0, 777, data) == 0 ? 0 : 14);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

void setTimes(const std::string& path, time_t atime, time_t mtime) {
    struct timespec ts[2];
    ts[0].tv_sec = atime;
    ts[0].tv_nsec = 0;
    ts[1].tv_sec = mtime;
    ts[1].tv_nsec = 0;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
}

TEST_F(FileReaderTest, PreservedAccessTimeOnlyIsPutBack) {
    const std::string path = m_dir / "t";
    writeFile(path, pattern(4096));
    writeFile(companionOf(path), buildAppleDouble({{2, "rsrc"}}));
    setTimes(path, 1000000000, 1100000000);
    setTimes(companionOf(path), 1000000100, 1100000100);
    auto r = makeReader(makeContext());
    struct stat st = lstatOf(path);
    ASSERT_EQ(r->initialize(path.c_str(), &st, true, true), 0);
    EXPECT_EQ(r->observerCount(), 2u);  // the item and its companion
    ASSERT_TRUE(drain(*r, 1000).ok);
    // Someone reads and modifies the file while it is backed up.
    setTimes(path, 1200000000, 1300000000);
    setTimes(companionOf(path), 1200000100, 1300000100);
    r->closeFile();
    EXPECT_EQ(r->observerCount(), 0u);
    struct stat after = lstatOf(path);
    EXPECT_EQ(after.st_atime, 1000000000);
    EXPECT_EQ(after.st_mtime, 1300000000);  // the modification stays visible
    after = lstatOf(companionOf(path));
    EXPECT_EQ(after.st_atime, 1000000100);
    EXPECT_EQ(after.st_mtime, 1300000100);
}

TEST_F(FileReaderTest, AccessTimeOfAReplacedFileIsLeftAlone) {
    const std::string path = m_dir / "t";
    writeFile(path, "one");
    setTimes(path, 1000000000, 1100000000);
    auto r = makeReader(makeContext());
    struct stat st = lstatOf(path);
    ASSERT_EQ(r->initialize(path.c_str(), &st, false, true), 0);
    writeFile(m_dir / "other", "two");
    setTimes(m_dir / "other", 1500000000, 1500000000);
    ASSERT_EQ(rename((m_dir / "other").c_str(), path.c_str()), 0);
    r->closeFile();
    EXPECT_EQ(lstatOf(path).st_atime, 1500000000);
}

TEST_F(FileReaderTest, NoPreserversWithoutTheFlag) {
    writeFile(m_dir / "t", "x");
    auto r = makeReader(makeContext());
    struct stat st = lstatOf(m_dir / "t");
    ASSERT_EQ(r->initialize((m_dir / "t").c_str(), &st, false, false), 0);
    EXPECT_EQ(r->observerCount(), 0u);
}

// ---------------------------------------------------------------- stubs

std::vector<char> stubBytes(uint32_t kind, const std::string& appGuid, const std::string& dataGuid, uint32_t appId,
                            uint64_t size) {
    ReparseData rd;
    rd.kind = kind;
    rd.appGuid = appGuid;
    rd.dataGuid = dataGuid;
    rd.appId = appId;
    rd.recordedSize = size;
    return BuildStubData(rd);
}

std::string asString(const std::vector<char>& v) { return std::string(v.begin(), v.end()); }

TEST_F(FileReaderTest, StubThroughTheArchiverDriver) {
    ZXHSMTestState::SetFSFDriverLoaded(true);
    ZXHSMTestState::AddTieredMount(m_dir.path());
    const std::string stubPath = m_dir / "stub", plainPath = m_dir / "plain";
    writeFile(stubPath, pattern(3000, 3));
    writeFile(plainPath, pattern(2000, 4));
    const std::vector<char> stub = stubBytes(2, "APP", "DATA-GUID", 7, 123456);
    ZXHSMTestState::MarkStub(stubPath, stub);

    auto ctx = makeContext();
    ASSERT_EQ(ctx->GetUseDriver(), 1);
    ASSERT_TRUE(ctx->IsZXHSMInstalled());
    auto r = makeReader(ctx);
    struct stat st = lstatOf(stubPath);
    ASSERT_EQ(r->initialize(stubPath.c_str(), &st, true, false), 0);
    EXPECT_TRUE(r->isStub());
    EXPECT_FALSE(r->IsOpen());
    // Without turbo mode the stub is not parsed: the size is the file's.
    EXPECT_EQ(r->getTotalSize(), 3000);
    EXPECT_EQ(r->GetGUID(), "");
    Drained d = drain(*r, 5);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, asString(stub));
    EXPECT_EQ(d.calls, static_cast<int>((stub.size() + 4) / 5) + 1);

    st = lstatOf(plainPath);
    ASSERT_EQ(r->initialize(plainPath.c_str(), &st, false, false), 0);
    EXPECT_FALSE(r->isStub());
    d = drain(*r, 4096);
    EXPECT_TRUE(d.bytes == pattern(2000, 4));
}

TEST_F(FileReaderTest, StubDriverLessInTurboMode) {
    ZXHSMTestState::AddTieredMount(m_dir.path());
    const std::string stubPath = m_dir / "stub";
    writeFile(stubPath, pattern(3000, 3));
    const std::vector<char> stub = stubBytes(2, "APP-GUID", "DATA-GUID", 7, 123456);
    ZXHSMTestState::MarkStub(stubPath, stub);

    auto ctx = std::make_shared<CFileReaderContext>();
    ctx->SetTurboMode(true);
    ctx->InitHSM();
    ASSERT_EQ(ctx->GetUseDriver(), 2);
    auto r = makeReader(ctx);
    struct stat st = lstatOf(stubPath);
    ASSERT_EQ(r->initialize(stubPath.c_str(), &st, false, false), 0);
    EXPECT_TRUE(r->isStub());
    EXPECT_EQ(r->getTotalSize(), 123456);
    EXPECT_EQ(r->GetGUID(), "DATA-GUID");
    EXPECT_EQ(r->GetAppGUIDFromStub(), "APP-GUID");
    EXPECT_EQ(r->getAppIdFromStub(), 7u);
    EXPECT_TRUE(ctx->IsTurboMode());
    Drained d = drain(*r, 4096);
    EXPECT_EQ(d.bytes, asString(stub));

    // A stub record of kind 1 carries no data GUID.
    ZXHSMTestState::MarkStub(stubPath, stubBytes(1, "APP-GUID", "", 7, 10));
    ASSERT_EQ(r->initialize(stubPath.c_str(), &st, false, false), 0);
    EXPECT_EQ(r->GetGUID(), "");
    EXPECT_EQ(r->getTotalSize(), 10);
}

TEST_F(FileReaderTest, UnparsableStubSwitchesTurboModeOff) {
    ZXHSMTestState::AddTieredMount(m_dir.path());
    const std::string stubPath = m_dir / "stub";
    writeFile(stubPath, pattern(3000, 3));
    ZXHSMTestState::MarkStub(stubPath, {'j', 'u', 'n', 'k'});
    auto ctx = std::make_shared<CFileReaderContext>();
    ctx->SetTurboMode(true);
    ctx->InitHSM();
    auto r = makeReader(ctx);
    KxLog::SetLevel(2);
    log();
    struct stat st = lstatOf(stubPath);
    ASSERT_EQ(r->initialize(stubPath.c_str(), &st, false, false), 0);
    EXPECT_TRUE(r->isStub());
    EXPECT_FALSE(ctx->IsTurboMode());
    EXPECT_NE(log().find(stubPath + " is a FSSX stub. Setting turbo mode false."), std::string::npos);
    EXPECT_EQ(r->getTotalSize(), 3000);
    EXPECT_EQ(drain(*r, 3).bytes, "junk");
}

TEST_F(FileReaderTest, StubQueryFailureFailsTheItem) {
    ZXHSMTestState::AddTieredMount(m_dir.path());
    writeFile(m_dir / "f", "x");
    ZXHSMTestState::SetFailure(m_dir / "f", "boom");
    auto ctx = std::make_shared<CFileReaderContext>();
    ctx->SetTurboMode(true);
    ctx->InitHSM();
    auto r = makeReader(ctx);
    struct stat st = lstatOf(m_dir / "f");
    EXPECT_EQ(r->initialize((m_dir / "f").c_str(), &st, false, false), -1);
    EXPECT_NE(log().find("ZXHSMLowLevel::isStub() failed, error=[boom]"), std::string::npos);

    ZXHSMTestState::SetFSFDriverLoaded(true);
    auto ctx1 = makeContext();
    ASSERT_EQ(ctx1->GetUseDriver(), 1);
    auto r1 = makeReader(ctx1);
    EXPECT_EQ(r1->initialize((m_dir / "f").c_str(), &st, false, false), -1);
    EXPECT_NE(log().find("ZXHSMLowLevel:getStubData() failed, error=[boom]"), std::string::npos);
}

// The early-stub flag of the job makes an item a stub only where the item
// lies on tiered storage; elsewhere the file's own bytes are read.
TEST_F(FileReaderTest, EarlyStubFlagAloneDoesNotMakeAStub) {
    TempDir tiered;
    ZXHSMTestState::AddTieredMount(tiered.path());
    writeFile(tiered / "s", "file bytes of s");
    writeFile(m_dir / "p", "file bytes of p");
    auto ctx = std::make_shared<CFileReaderContext>();
    ctx->SetTurboMode(true);
    ctx->InitHSM();
    const std::vector<char> early = stubBytes(1, "A", "", 1, 99);
    ctx->SetEarlyStubBackup(true);
    ctx->SetStubData(early);
    auto r = makeReader(ctx);

    struct stat st = lstatOf(tiered / "s");
    ASSERT_EQ(r->initialize((tiered / "s").c_str(), &st, false, false), 0);
    EXPECT_TRUE(r->isStub());
    EXPECT_EQ(drain(*r, 4096).bytes, asString(early));

    st = lstatOf(m_dir / "p");
    ASSERT_EQ(r->initialize((m_dir / "p").c_str(), &st, false, false), 0);
    EXPECT_FALSE(r->isStub());
    EXPECT_EQ(drain(*r, 4096).bytes, "file bytes of p");
}

TEST_F(FileReaderTest, GuidAndStubBytesDoNotLeakToTheNextItem) {
    ZXHSMTestState::AddTieredMount(m_dir.path());
    writeFile(m_dir / "stub", "stubfile");
    writeFile(m_dir / "next", "next item");
    const std::vector<char> stub = stubBytes(2, "APP", "DATA-1", 3, 50);
    ZXHSMTestState::MarkStub(m_dir / "stub", stub);
    auto ctx = std::make_shared<CFileReaderContext>();
    ctx->SetTurboMode(true);
    ctx->InitHSM();
    auto r = makeReader(ctx);

    struct stat st = lstatOf(m_dir / "stub");
    ASSERT_EQ(r->initialize((m_dir / "stub").c_str(), &st, false, false), 0);
    r->SetGUID("ITEM-1");
    EXPECT_EQ(r->GetGUID(), "DATA-1");
    ASSERT_TRUE(drain(*r, 4096).ok);
    r->closeFile();
    EXPECT_EQ(r->GetGUID(), "ITEM-1");  // still answered after the close

    st = lstatOf(m_dir / "next");
    ASSERT_EQ(r->initialize((m_dir / "next").c_str(), &st, false, false), 0);
    EXPECT_FALSE(r->isStub());
    EXPECT_EQ(r->GetGUID(), "");
    EXPECT_EQ(r->GetAppGUIDFromStub(), "");
    EXPECT_EQ(r->getAppIdFromStub(), 0u);
    EXPECT_EQ(drain(*r, 4096).bytes, "next item");
}

TEST_F(FileReaderTest, SnapshotJobReadsStubsFromTheSnapshot) {
    ZXHSMTestState::AddTieredMount(m_dir.path());
    writeFile(m_dir / "stub", "stubfile");
    writeFile(m_dir / "bad", "badstub");
    writeFile(m_dir / "plain", "plain file");
    const std::vector<char> stub = stubBytes(2, "APP", "SNAP-GUID", 3, 77);
    ZXHSMTestState::MarkStub(m_dir / "stub", stub);
    ZXHSMTestState::MarkStub(m_dir / "bad", {'?'});
    auto ctx = std::make_shared<CFileReaderContext>();
    ctx->SetSnapMode(true);
    ctx->InitHSM();
    auto r = makeReader(ctx);
    KxLog::SetLevel(2);

    struct stat st = lstatOf(m_dir / "stub");
    ASSERT_EQ(r->initialize((m_dir / "stub").c_str(), &st, false, false), 0);
    EXPECT_TRUE(r->isStub());
    EXPECT_EQ(r->GetGUID(), "SNAP-GUID");  // parsed without turbo mode
    EXPECT_EQ(drain(*r, 7).bytes, asString(stub));

    log();
    st = lstatOf(m_dir / "plain");
    ASSERT_EQ(r->initialize((m_dir / "plain").c_str(), &st, false, false), 0);
    EXPECT_FALSE(r->isStub());
    EXPECT_NE(log().find("is not a stub."), std::string::npos);
    EXPECT_EQ(drain(*r, 7).bytes, "plain file");

    ctx->SetTurboMode(true);
    st = lstatOf(m_dir / "bad");
    ASSERT_EQ(r->initialize((m_dir / "bad").c_str(), &st, false, false), 0);
    EXPECT_TRUE(r->isStub());
    EXPECT_FALSE(ctx->IsTurboMode());
    EXPECT_NE(log().find("is a FSSX stub.Setting turbo mode false."), std::string::npos);
}

TEST_F(FileReaderTest, UnreadableMountTableFailsOnlyItemsThatNeedTieredStorage) {
    writeFile(m_dir / "f", "data");
    kxSetMntTabPathForTest((m_dir / "no-mounts").c_str());
    struct stat st = lstatOf(m_dir / "f");
    {
        auto ctx = makeContext();  // nothing installed, no snapshot job
        auto r = makeReader(ctx);
        ASSERT_EQ(r->initialize((m_dir / "f").c_str(), &st, false, false), 0);
        EXPECT_EQ(drain(*r, 16).bytes, "data");
        EXPECT_FALSE(ctx->ZXHSMContextFailed());  // never asked for
    }
    {
        auto ctx = std::make_shared<CFileReaderContext>();
        ctx->SetTurboMode(true);
        ctx->InitHSM();
        auto r = makeReader(ctx);
        log();
        EXPECT_EQ(r->initialize((m_dir / "f").c_str(), &st, false, false), -1);
        EXPECT_NE(log().find("Failed to create ZXHSMLowLevel for '" + (m_dir / "f") + "'"), std::string::npos);
        EXPECT_TRUE(ctx->ZXHSMContextFailed());
        // Directories need nothing of it.
        struct stat dst = lstatOf(m_dir.path());
        EXPECT_EQ(r->initialize(m_dir.path().c_str(), &dst, false, false), 0);
    }
}

// ------------------------------------------ data-loss prevention and counters

TEST_F(FileReaderTest, DecodedSizeIsTheDataSize) {
    const std::string data = pattern(1000);
    writeFile(m_dir / "f", data);
    DlpBackupReader::ForceDecFileSizeForTest(500);
    auto r = makeReader(makeContext());
    struct stat st = lstatOf(m_dir / "f");
    ASSERT_EQ(r->initialize((m_dir / "f").c_str(), &st, false, false), 0);
    EXPECT_EQ(r->getTotalSize(), 500);
    EXPECT_EQ(r->getDataSize(), 500);

    // With an AppleDouble part the data fork ends at the decoded size.
    writeFile(companionOf(m_dir / "f"), buildAppleDouble({{2, "RSRC"}}));
    ASSERT_EQ(r->initialize((m_dir / "f").c_str(), &st, true, false), 0);
    EXPECT_EQ(r->getTotalSize(), 500 + 4 + 92);
    Drained d = drain(*r, 300);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bytes.size(), 596u);
    EXPECT_TRUE(d.bytes.substr(0, 500) == data.substr(0, 500));
    EXPECT_EQ(d.bytes.substr(500, 4), "RSRC");
}

TEST_F(FileReaderTest, PerformanceStagesAreTimed) {
    const std::string data = pattern(10000);
    writeFile(m_dir / "f", data);
    PerfCounter pc;
    pc.Enable(true);
    auto ctx = makeContext();
    ctx->m_pPerfCounter = &pc;
    auto r = makeReader(ctx);
    struct stat st = lstatOf(m_dir / "f");
    ASSERT_EQ(r->initialize((m_dir / "f").c_str(), &st, false, false), 0);
    ASSERT_EQ(r->seek(0, SEEK_SET), 0);
    ASSERT_TRUE(drain(*r, 4096).ok);
    EXPECT_EQ(pc.GetStage(24).count, 4u);  // three reads with data and the end
    EXPECT_EQ(pc.GetStage(25).bytes, 10000u);
    EXPECT_STREQ(pc.GetStage(24).name, "DLP::Read");
    EXPECT_EQ(pc.GetStage(27).count, 1u);
    EXPECT_EQ(pc.GetStage(26).count, 3u);
}

TEST_F(FileReaderTest, FileNamesAreLoggedWhenAsked) {
    writeFile(m_hooks / "dumpFileNames", "");
    writeFile(m_dir / "f", "x");
    KxLog::SetLevel(0);
    auto r = makeReader(makeContext());
    struct stat st = lstatOf(m_dir / "f");
    ASSERT_EQ(r->initialize((m_dir / "f").c_str(), &st, false, false), 0);
    EXPECT_NE(log().find("Will backup " + (m_dir / "f")), std::string::npos);
}

// ------------------------------------------------------------ long paths

// Builds a directory chain deeper than PATH_MAX under `base` and a file at
// its end; answers the file's full path.
std::string makeDeepFile(const std::string& base, const std::string& contents) {
    const std::string comp(200, 'd');
    int dfd = open(base.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_GE(dfd, 0);
    std::string path = base;
    while (path.size() < 4096 + 300) {
        EXPECT_EQ(mkdirat(dfd, comp.c_str(), 0755), 0);
        int next = openat(dfd, comp.c_str(), O_RDONLY | O_DIRECTORY);
        EXPECT_GE(next, 0);
        close(dfd);
        dfd = next;
        path += "/" + comp;
    }
    int fd = openat(dfd, "file", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    close(fd);
    close(dfd);
    return path + "/file";
}

TEST_F(FileReaderTest, PathLongerThanPathMaxThroughTheLongPathHandler) {
    const std::string data = pattern(12345);
    const std::string path = makeDeepFile(m_dir.path(), data);
    ASSERT_GT(path.size(), 4096u);
    auto ctx = makeContext();
    auto r = makeReader(ctx);
    struct stat st;
    errno = 0;
    EXPECT_EQ(r->lstat(path.c_str(), &st), -1);  // the ordinary call cannot
    EXPECT_EQ(errno, ENAMETOOLONG);

    ctx->SetLongPathBackup(true);
    ASSERT_EQ(r->lstat(path.c_str(), &st), 0) << strerror(errno);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 12345);
    ASSERT_EQ(r->initialize(path.c_str(), &st, true, true), 0) << strerror(errno);
    Drained d = drain(*r, 4000);
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(d.bytes == data);
    r->closeFile();

    const std::string dir = path.substr(0, path.rfind('/'));
    DIR* dp = r->opendir(dir.c_str());
    ASSERT_NE(dp, nullptr);
    EXPECT_EQ(r->closedir(dp), 0);
    struct utimbuf ut = {1000000000, 1000000000};
    EXPECT_EQ(r->utime(path.c_str(), &ut), 0);
    ASSERT_EQ(r->lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);
}

TEST_F(FileReaderTest, NoLongPathHandlerSwitchesLongPathsOff) {
    KxLongPathHandler::SetUnavailableForTest(true);
    writeFile(m_dir / "f", "x");
    auto ctx = makeContext();
    ctx->SetLongPathBackup(true);
    auto r = makeReader(ctx);
    struct stat st;
    EXPECT_EQ(r->lstat((m_dir / "f").c_str(), &st), 0);  // the ordinary call
    EXPECT_FALSE(ctx->IsLongPathBackup());
    EXPECT_NE(log().find("Long paths can not be handled by this job, will be reported as failures."),
              std::string::npos);
    char target[64];
    ASSERT_EQ(symlink("f", (m_dir / "l").c_str()), 0);
    EXPECT_EQ(r->readlink((m_dir / "l").c_str(), target, sizeof target), 1);
}

}  // namespace
