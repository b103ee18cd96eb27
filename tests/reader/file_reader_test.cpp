#include <gtest/gtest.h>

#include <fcntl.h>
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
#include "support/ChildLock.h"
#include "support/FaultyReaderOps.h"
#include "support/MntTabFile.h"

using namespace readertest;

namespace {

// A hang in a test that opens FIFOs or links kills the test program instead
// of the whole run.
class AlarmGuard {
public:
    explicit AlarmGuard(unsigned seconds) { alarm(seconds); }
    ~AlarmGuard() { alarm(0); }
};

// Reads the reader to its end with 64 KiB reads into an aligned buffer.
std::string drainAligned(CFileReader& r, size_t offsetInBuffer = 0) {
    void* p = nullptr;
    if (posix_memalign(&p, 4096, (1 << 16) + 4096) != 0)
        return "";
    std::unique_ptr<void, void (*)(void*)> hold(p, free);
    char* buf = static_cast<char*>(p) + offsetInBuffer;
    std::string got;
    for (int n; (n = r.read(buf, 1 << 16)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    return got;
}

void setTimes(const std::string& path, time_t atime, time_t mtime) {
    struct timespec ts[2] = {{atime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
}

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

using FileReaderTest = ReaderTestBase;

// ------------------------------------------------------------ plain reads

TEST_F(FileReaderTest, PlainFilesEndAtTheirData) {
    const std::string data = pattern(100003);
    writeFile(m_dir / "f", data);
    writeFile(m_dir / "e", "");
    auto r = reader(context());
    for (size_t bs : {size_t(1), size_t(7), size_t(4096), size_t(65537), size_t(1) << 20}) {
        for (bool hfs : {false, true}) {
            SCOPED_TRACE(std::to_string(bs) + (hfs ? " hfs" : ""));
            ASSERT_EQ(init(*r, m_dir / "f", hfs), 0);
            EXPECT_EQ(r->getTotalSize(), 100003);
            Drained d = drain(*r, bs);
            ASSERT_TRUE(d.ok) << strerror(d.err);
            EXPECT_TRUE(d.bytes == data);  // no properties block without a companion
            char c;
            EXPECT_EQ(r->read(&c, 1), 0);  // the end stays the end
            ASSERT_EQ(init(*r, m_dir / "e", hfs), 0);
            d = drain(*r, bs);
            EXPECT_TRUE(d.ok && d.bytes.empty() && d.calls == 1);
        }
    }
    // The reader does not cut a plain file at the size the caller saw: the
    // caller sends the size it declared.
    ASSERT_EQ(init(*r, m_dir / "f"), 0);
    int fd = open((m_dir / "f").c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(write(fd, "MORE", 4), 4);
    close(fd);
    EXPECT_EQ(r->getTotalSize(), 100003);
    EXPECT_TRUE(drain(*r, 333).bytes == data + "MORE");
}

TEST_F(FileReaderTest, Seeks) {
    const std::string path = m_dir / "sparse";
    const off_t kData = 8 << 20;
    const std::string chunk = pattern(4096, 9);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(pwrite(fd, chunk.data(), chunk.size(), kData), 4096);
    ASSERT_EQ(ftruncate(fd, 16 << 20), 0);
    close(fd);

    auto ctx = context();
    auto r = reader(ctx);
    errno = 0;
    EXPECT_EQ(r->seek(0, SEEK_SET), -1);  // nothing open
    EXPECT_EQ(errno, EBADF);
    ASSERT_EQ(init(*r, path), 0);
    long long at = r->seek(0, SEEK_DATA);
    if (at != 0) {  // the file system reports holes
        ASSERT_EQ(at, kData);
        std::string got(4096, '\0');
        ASSERT_EQ(r->read(&got[0], got.size()), 4096);
        EXPECT_TRUE(got == chunk);
        EXPECT_GE(r->seek(static_cast<long>(r->GetPosition()), SEEK_HOLE), kData + 4096);
        errno = 0;
        EXPECT_EQ(r->seek(static_cast<long>(kData + (1 << 20)), SEEK_DATA), -1);
        EXPECT_EQ(errno, ENXIO);
    }
    // A failed seek leaves the position alone: the item is neither ended nor restarted.
    ASSERT_EQ(r->seek(kData, SEEK_SET), kData);
    errno = 0;
    EXPECT_EQ(r->seek(-1, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(r->GetPosition(), kData);
    EXPECT_TRUE(drain(*r, 4096).bytes.substr(0, 4096) == chunk);

    ctx->SetAllowFifoFileBackup();
    EXPECT_FALSE(r->canSeek());
    errno = 0;
    EXPECT_EQ(r->seek(0, SEEK_SET), -1);
    EXPECT_EQ(errno, ENOSYS);
}

// ---------------------------------------------- what is opened, and how

// Only items whose contents are read are opened: links, sockets and device
// nodes are metadata (a tape node rewinds when opened, a node without a
// driver fails), unless the job reads raw devices.
TEST_F(FileReaderTest, WhatIsOpened) {
    AlarmGuard alarmGuard(20);
    writeFile(m_dir / "file", "contents");
    ASSERT_EQ(mkfifo((m_dir / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("fifo", (m_dir / "l-fifo").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", (m_dir / "l-dev").c_str()), 0);
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    const std::string sp = m_dir / "sock";
    ASSERT_LT(sp.size(), sizeof(sa.sun_path));
    memcpy(sa.sun_path, sp.c_str(), sp.size());
    ASSERT_EQ(bind(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)), 0);

    const std::string zeros(4, '\0');
    struct Case {
        std::string path;
        bool rawDevices, open;
        std::string bytes;  // what the reader yields when opened
    } cases[] = {
        {m_dir / "file", false, true, "cont"},
        {m_dir / "fifo", false, true, ""},  // without a writer: not waited for
        {m_dir / "l-fifo", false, false, ""},
        {m_dir / "l-dev", false, false, ""},
        {sp, false, false, ""},
        {"/dev/null", false, false, ""},
        {"/dev/zero", false, false, ""},
        {m_dir / "l-dev", true, true, zeros},
        {"/dev/zero", true, true, zeros},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + (c.rawDevices ? " (raw devices)" : ""));
        auto ctx = context();
        ctx->SetLink2RawDev(c.rawDevices);
        auto r = reader(ctx);
        ASSERT_EQ(init(*r, c.path, true), 0) << strerror(errno);
        EXPECT_EQ(r->IsOpen(), c.open);
        EXPECT_EQ(r->isHFS(), 0u);
        char buf[4];
        int n = r->read(buf, sizeof buf);
        if (!c.open) {
            EXPECT_EQ(n, -1);
            continue;
        }
        EXPECT_EQ(std::string(buf, n > 0 ? n : 0), c.bytes);
        // Only a FIFO read without FIFO backup stays non-blocking.
        const bool fifo = c.path == m_dir / "fifo";
        EXPECT_EQ((fcntl(r->getFileHandle(), F_GETFL) & O_NONBLOCK) != 0, fifo);
    }
    close(s);
}

// The handle must be the item the caller stat-ed; an item swapped for a
// FIFO must not hang the stream.
TEST_F(FileReaderTest, ItemThatChangedBetweenStatAndOpenFails) {
    AlarmGuard alarmGuard(20);
    const std::string path = m_dir / "item";
    writeFile(m_dir / "target", "target");
    ASSERT_EQ(symlink("target", (m_dir / "link").c_str()), 0);
    struct Case {
        const char* name;
        void (*change)(const std::string& dir);
    } cases[] = {
        {"swapped for a FIFO",
         [](const std::string& d) {
             ASSERT_EQ(unlink((d + "/item").c_str()), 0);
             ASSERT_EQ(mkfifo((d + "/item").c_str(), 0644), 0);
         }},
        {"replaced by another file",
         [](const std::string& d) {
             WriteWholeFile(d + "/new", "new contents");
             ASSERT_EQ(rename((d + "/new").c_str(), (d + "/item").c_str()), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path, "data");
        struct stat st = lstatOf(path);
        c.change(m_dir.path());
        auto r = reader(context());
        errno = 0;
        EXPECT_EQ(r->initialize(path.c_str(), &st, false, false), -1);
        EXPECT_EQ(errno, ESTALE);
        EXPECT_FALSE(r->IsOpen());
        unlink(path.c_str());
    }
    // A link to anything but a device is not a raw device.
    auto ctx = context();
    ctx->SetLink2RawDev(true);
    errno = 0;
    EXPECT_EQ(init(*reader(ctx), m_dir / "link"), -1);
    EXPECT_EQ(errno, ESTALE);
    // A path that vanished fails with its own errno.
    struct stat st = lstatOf(m_dir / "target");
    unlink((m_dir / "target").c_str());
    errno = 0;
    EXPECT_EQ(reader(context())->initialize((m_dir / "target").c_str(), &st, false, false), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(FileReaderTest, FifoBackupReadsInBlockingMode) {
    AlarmGuard alarmGuard(20);
    const std::string path = m_dir / "fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    auto ctx = context();
    ctx->SetAllowFifoFileBackup();
    auto r = reader(ctx);
    KxLog::SetLevel(1);
    ASSERT_EQ(init(*r, path), 0);
    EXPECT_NE(log().find("Setting back fifofile [" + path + "] in blocking mode"), std::string::npos);
    EXPECT_FALSE(fcntl(r->getFileHandle(), F_GETFL) & O_NONBLOCK);
    int w = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_EQ(write(w, "hello", 5), 5);
    close(w);
    EXPECT_EQ(drain(*r, 3).bytes, "hello");
}

TEST_F(FileReaderTest, DirectoryIsPreparedWithoutAHandle) {
    KxLog::SetLevel(0);
    auto r = reader(context());
    ASSERT_EQ(init(*r, m_dir.path(), true), 0);
    EXPECT_FALSE(r->IsOpen());
    log();
    char buf[16];
    EXPECT_EQ(r->read(buf, sizeof buf), -1);
    EXPECT_NE(log().find("failed - no handle"), std::string::npos);
    EXPECT_EQ(r->isLocked(), -1);
}

// ------------------------------------------------------------- lock test

// A lock bars reading only on a file marked for mandatory locking
// (set-group-ID without group execute), held for writing, on a file system
// mounted with mandatory locking.
TEST_F(FileReaderTest, LockTest) {
    const std::string path = m_dir / "locked";
    writeFile(path, pattern(100));
    struct Case {
        mode_t mode;
        ChildLock::Kind lock;
        bool mandLockMount;
        int expect;
    } cases[] = {
        {02644, ChildLock::kRecordWrite, true, 1},  {02644, ChildLock::kRecordWrite, false, 0},
        {02654, ChildLock::kRecordWrite, true, 0},  {0644, ChildLock::kRecordWrite, true, 0},
        {02644, ChildLock::kRecordRead, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + " lock " + std::to_string(c.lock) + (c.mandLockMount ? " mand" : ""));
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        auto ctx = context();
        auto ops = std::make_shared<FaultyReaderOps>();
        ops->mandLock = c.mandLockMount;
        ctx->SetFileOps(ops);
        auto r = reader(ctx);
        ASSERT_EQ(init(*r, path), 0);
        EXPECT_EQ(r->isLocked(), 0);  // nobody holds a lock
        ChildLock holder(path, c.lock);
        ASSERT_TRUE(holder.held());
        EXPECT_EQ(r->isLocked(), c.expect);
    }
}

// -------------------------------------------------------------- O_DIRECT

TEST_F(FileReaderTest, DirectIOReadsTheSameBytes) {
    KXPlatformInfo::setValue("FileSystemAgent", "nUseDirectIO", "1");
    const std::string data = pattern((1 << 20) + 123);
    writeFile(m_dir / "d", data);
    auto r = reader(context());
    ASSERT_EQ(init(*r, m_dir / "d"), 0);
    if (!r->IsUsingDirectIO())
        GTEST_SKIP() << "O_DIRECT refused here";
    EXPECT_TRUE(fcntl(r->getFileHandle(), F_GETFL) & O_DIRECT);
    EXPECT_TRUE(drainAligned(*r) == data);
    EXPECT_TRUE(r->IsUsingDirectIO());
    // An unaligned buffer: EINVAL from the read clears O_DIRECT and reads again.
    ASSERT_EQ(init(*r, m_dir / "d"), 0);
    EXPECT_TRUE(drainAligned(*r, 1) == data);
    EXPECT_FALSE(r->IsUsingDirectIO());
    EXPECT_FALSE(fcntl(r->getFileHandle(), F_GETFL) & O_DIRECT);
}

// Where O_DIRECT cannot be had, the open is tried again without it. Older
// tmpfs refuses it; where tmpfs takes it, a file of /proc stands in.
TEST_F(FileReaderTest, DirectIORefusedAtOpenFallsBack) {
    KXPlatformInfo::setValue("FileSystemAgent", "nUseDirectIO", "1");
    TempDir shm("reader_test", "/dev/shm");
    std::string path = shm / "f";
    writeFile(path, pattern(5000));
    int fd = open(path.c_str(), O_RDONLY | O_DIRECT);
    if (fd >= 0) {
        close(fd);
        path = "/proc/version";
        fd = open(path.c_str(), O_RDONLY | O_DIRECT);
        if (fd >= 0) {
            close(fd);
            GTEST_SKIP() << "no file system here refuses O_DIRECT";
        }
    }
    auto r = reader(context());
    ASSERT_EQ(init(*r, path), 0) << strerror(errno);
    EXPECT_FALSE(r->IsUsingDirectIO());
    EXPECT_FALSE(fcntl(r->getFileHandle(), F_GETFL) & O_DIRECT);
    std::string expect = ReadWholeFile(path);
    ASSERT_FALSE(expect.empty());
    EXPECT_EQ(drain(*r, 4096).bytes, expect);
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
        CFileReader r(ctx);
        struct stat st;
        if (!ctx->IsNoATimeUpdate() || ::lstat((m_dir / "f").c_str(), &st) != 0 ||
            r.initialize((m_dir / "f").c_str(), &st, false, false) != 0)
            _exit(11);
        std::string got(1000, '\0');
        int n = r.read(&got[0], got.size());
        _exit(n == 777 && got.compare(0, 777, data) == 0 ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Only the access time is put back, and only while the path still names the
// same file: a reverted modification time would hide a change from the next
// incremental backup.
TEST_F(FileReaderTest, PreservedAccessTimeOnlyIsPutBack) {
    const std::string path = m_dir / "t", companion = companionOf(path);
    writeFile(path, pattern(4096));
    writeFile(companion, buildAppleDouble({{2, "rsrc"}}));
    setTimes(path, 1000000000, 1100000000);
    setTimes(companion, 1000000100, 1100000100);
    auto r = reader(context());
    ASSERT_EQ(init(*r, path, true, true), 0);
    EXPECT_EQ(r->observerCount(), 2u);  // the item and its companion
    ASSERT_TRUE(drain(*r, 1000).ok);
    setTimes(path, 1200000000, 1300000000);
    setTimes(companion, 1200000100, 1300000100);
    r->closeFile();
    EXPECT_EQ(lstatOf(path).st_atime, 1000000000);
    EXPECT_EQ(lstatOf(path).st_mtime, 1300000000);
    EXPECT_EQ(lstatOf(companion).st_atime, 1000000100);

    ASSERT_EQ(init(*r, path, false, true), 0);
    writeFile(m_dir / "other", "two");
    setTimes(m_dir / "other", 1500000000, 1500000000);
    ASSERT_EQ(rename((m_dir / "other").c_str(), path.c_str()), 0);
    r->closeFile();
    EXPECT_EQ(lstatOf(path).st_atime, 1500000000);
    ASSERT_EQ(init(*r, path, true, false), 0);
    EXPECT_EQ(r->observerCount(), 0u);  // not asked for
}

// ---------------------------------------------------------------- stubs

class StubTest : public ReaderTestBase {
protected:
    void SetUp() override {
        ReaderTestBase::SetUp();
        ZXHSMTestState::AddTieredMount(m_dir.path());
        writeFile(m_stubPath, pattern(3000, 3));
        writeFile(m_plainPath, "plain file");
    }
    std::string m_stubPath = m_dir / "stub", m_plainPath = m_dir / "plain";
};

TEST_F(StubTest, StubsThroughEitherDriverMode) {
    const std::vector<char> stub = stubBytes(2, "APP-GUID", "DATA-GUID", 7, 123456);
    ZXHSMTestState::MarkStub(m_stubPath, stub);
    for (bool archiver : {true, false}) {
        SCOPED_TRACE(archiver ? "archiver driver" : "driver-less, turbo mode");
        ZXHSMTestState::SetFSFDriverLoaded(archiver);
        auto ctx = context(true);
        ASSERT_EQ(ctx->GetUseDriver(), archiver ? 1 : 2);
        auto r = reader(ctx);
        ASSERT_EQ(init(*r, m_stubPath, true), 0);
        EXPECT_TRUE(r->isStub());
        EXPECT_FALSE(r->IsOpen());
        EXPECT_EQ(r->getTotalSize(), 123456);
        EXPECT_EQ(r->GetGUID(), "DATA-GUID");
        EXPECT_EQ(r->GetAppGUIDFromStub(), "APP-GUID");
        EXPECT_EQ(r->getAppIdFromStub(), 7u);
        Drained d = drain(*r, 5);
        EXPECT_EQ(d.bytes, asString(stub));
        EXPECT_EQ(d.calls, static_cast<int>((stub.size() + 4) / 5) + 1);
        ASSERT_EQ(init(*r, m_plainPath), 0);
        EXPECT_FALSE(r->isStub());
        EXPECT_EQ(drain(*r, 4096).bytes, "plain file");
    }
    // Without turbo mode the stub is not parsed: the size is the file's.
    auto r = reader(context(false));
    ASSERT_EQ(init(*r, m_stubPath), 0);
    EXPECT_EQ(r->getTotalSize(), 3000);
    EXPECT_EQ(r->GetGUID(), "");
    // A stub record of kind 1 carries no data GUID.
    ZXHSMTestState::MarkStub(m_stubPath, stubBytes(1, "APP-GUID", "", 7, 10));
    r = reader(context(true));
    ASSERT_EQ(init(*r, m_stubPath), 0);
    EXPECT_EQ(r->GetGUID(), "");
    EXPECT_EQ(r->getTotalSize(), 10);
}

TEST_F(StubTest, UnparsableStubSwitchesTurboModeOff) {
    ZXHSMTestState::MarkStub(m_stubPath, {'j', 'u', 'n', 'k'});
    auto ctx = context(true);
    auto r = reader(ctx);
    KxLog::SetLevel(2);
    ASSERT_EQ(init(*r, m_stubPath), 0);
    EXPECT_TRUE(r->isStub());
    EXPECT_FALSE(ctx->IsTurboMode());
    EXPECT_NE(log().find(m_stubPath + " is a FSSX stub. Setting turbo mode false."), std::string::npos);
    EXPECT_EQ(r->getTotalSize(), 3000);
    EXPECT_EQ(drain(*r, 3).bytes, "junk");
}

// Every failure of the tiered-storage low level fails the item, and so does
// a path it has no object for.
TEST_F(StubTest, TieredStorageFailuresFailTheItem) {
    ZXHSMTestState::SetFailure(m_plainPath, "boom");
    struct Case {
        bool archiver;
        const char* logText;
    } cases[] = {{false, "ZXHSMLowLevel::isStub() failed, error=[boom]"},
                 {true, "ZXHSMLowLevel:getStubData() failed, error=[boom]"}};
    for (const Case& c : cases) {
        ZXHSMTestState::SetFSFDriverLoaded(c.archiver);
        log();
        EXPECT_EQ(init(*reader(context(true)), m_plainPath), -1);
        EXPECT_NE(log().find(c.logText), std::string::npos);
    }
    // A mount table that holds no mount for the path.
    MntTabFile table("/dev/sdb1 /elsewhere ext4 rw 0 0\n");
    log();
    errno = 0;
    EXPECT_EQ(init(*reader(context(true)), m_stubPath), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_NE(log().find("Failed to create ZXHSMLowLevel for '" + m_stubPath + "'"), std::string::npos);
}

// The early-stub flag of the job makes an item a stub only where the item
// lies on tiered storage; stub bytes and GUIDs never travel to the next item.
TEST_F(StubTest, EarlyStubsAndGuidsStayWithTheirItem) {
    TempDir plainDir;
    writeFile(plainDir / "p", "file bytes of p");
    auto ctx = context(true);
    const std::vector<char> early = stubBytes(2, "A", "EARLY", 1, 99);
    ctx->SetEarlyStubBackup(true);
    ctx->SetStubData(early);
    auto r = reader(ctx);
    ASSERT_EQ(init(*r, m_stubPath), 0);
    EXPECT_TRUE(r->isStub());
    r->SetGUID("ITEM-1");
    EXPECT_EQ(r->GetGUID(), "EARLY");
    EXPECT_EQ(drain(*r, 4096).bytes, asString(early));
    r->closeFile();
    EXPECT_EQ(r->GetGUID(), "ITEM-1");  // still answered after the close

    ASSERT_EQ(init(*r, plainDir / "p"), 0);
    EXPECT_FALSE(r->isStub());
    EXPECT_EQ(r->GetGUID(), "");
    EXPECT_EQ(r->GetAppGUIDFromStub(), "");
    EXPECT_EQ(r->getAppIdFromStub(), 0u);
    EXPECT_EQ(drain(*r, 4096).bytes, "file bytes of p");
}

TEST_F(StubTest, SnapshotJobReadsStubsFromTheSnapshot) {
    const std::vector<char> stub = stubBytes(2, "APP", "SNAP-GUID", 3, 77);
    ZXHSMTestState::MarkStub(m_stubPath, stub);
    ZXHSMTestState::MarkStub(m_dir / "bad", {'?'});
    writeFile(m_dir / "bad", "badstub");
    auto ctx = std::make_shared<CFileReaderContext>();
    ctx->SetSnapMode(true);
    ctx->InitHSM();
    auto r = reader(ctx);
    KxLog::SetLevel(2);
    ASSERT_EQ(init(*r, m_stubPath), 0);
    EXPECT_TRUE(r->isStub());
    EXPECT_EQ(r->GetGUID(), "SNAP-GUID");  // parsed without turbo mode
    EXPECT_EQ(drain(*r, 7).bytes, asString(stub));

    log();
    ASSERT_EQ(init(*r, m_plainPath), 0);
    EXPECT_FALSE(r->isStub());
    EXPECT_NE(log().find("is not a stub."), std::string::npos);
    EXPECT_EQ(drain(*r, 7).bytes, "plain file");

    ctx->SetTurboMode(true);
    ASSERT_EQ(init(*r, m_dir / "bad"), 0);
    EXPECT_TRUE(r->isStub());
    EXPECT_FALSE(ctx->IsTurboMode());
    EXPECT_NE(log().find("is a FSSX stub.Setting turbo mode false."), std::string::npos);
}

TEST_F(StubTest, UnreadableMountTableFailsOnlyItemsThatNeedTieredStorage) {
    kxSetMntTabPathForTest((m_dir / "no-mounts").c_str());
    auto plain = context(false);  // nothing installed, no snapshot job
    auto r = reader(plain);
    ASSERT_EQ(init(*r, m_plainPath), 0);
    EXPECT_EQ(drain(*r, 16).bytes, "plain file");
    EXPECT_FALSE(plain->ZXHSMContextFailed());  // never asked for

    auto ctx = context(true);
    r = reader(ctx);
    EXPECT_EQ(init(*r, m_plainPath), -1);
    EXPECT_TRUE(ctx->ZXHSMContextFailed());
    EXPECT_EQ(init(*r, m_dir.path()), 0);  // directories need nothing of it
}

// ------------------------------------------ data-loss prevention and counters

TEST_F(FileReaderTest, DecodedSizeIsTheDataSize) {
    const std::string data = pattern(1000);
    writeFile(m_dir / "f", data);
    DlpBackupReader::ForceDecFileSizeForTest(500);
    auto r = reader(context());
    ASSERT_EQ(init(*r, m_dir / "f"), 0);
    EXPECT_EQ(r->getTotalSize(), 500);
    // With an AppleDouble part the data fork ends at the decoded size.
    writeFile(companionOf(m_dir / "f"), buildAppleDouble({{2, "RSRC"}}));
    ASSERT_EQ(init(*r, m_dir / "f", true), 0);
    EXPECT_EQ(r->getTotalSize(), 500 + 4 + 92);
    Drained d = drain(*r, 300);
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(d.bytes == data.substr(0, 500) + "RSRC" + std::string(92, '\0'));
}

TEST_F(FileReaderTest, PerformanceStagesAreTimed) {
    writeFile(m_dir / "f", pattern(10000));
    PerfCounter pc;
    pc.Enable(true);
    auto ctx = context();
    ctx->m_pPerfCounter = &pc;
    auto r = reader(ctx);
    ASSERT_EQ(init(*r, m_dir / "f"), 0);
    ASSERT_EQ(r->seek(0, SEEK_SET), 0);
    ASSERT_TRUE(drain(*r, 4096).ok);
    EXPECT_EQ(pc.GetStage(24).count, 4u);  // three reads with data and the end
    EXPECT_EQ(pc.GetStage(25).bytes, 10000u);
    EXPECT_STREQ(pc.GetStage(24).name, "DLP::Read");
    EXPECT_EQ(pc.GetStage(27).count, 1u);
    EXPECT_EQ(pc.GetStage(26).count, 3u);
}

// ------------------------------------------------------------ long paths

TEST_F(FileReaderTest, PathLongerThanPathMaxThroughTheLongPathHandler) {
    const std::string comp(200, 'd');
    int dfd = open(m_dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    std::string path = m_dir.path();
    while (path.size() < 4096 + 300) {
        ASSERT_EQ(mkdirat(dfd, comp.c_str(), 0755), 0);
        int next = openat(dfd, comp.c_str(), O_RDONLY | O_DIRECTORY);
        close(dfd);
        dfd = next;
        path += "/" + comp;
    }
    const std::string data = pattern(12345);
    int fd = openat(dfd, "file", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
    close(dfd);
    path += "/file";

    auto ctx = context();
    auto r = reader(ctx);
    struct stat st;
    errno = 0;
    EXPECT_EQ(r->lstat(path.c_str(), &st), -1);  // the ordinary call cannot
    EXPECT_EQ(errno, ENAMETOOLONG);
    ctx->SetLongPathBackup(true);
    ASSERT_EQ(r->lstat(path.c_str(), &st), 0) << strerror(errno);
    ASSERT_EQ(r->initialize(path.c_str(), &st, true, true), 0) << strerror(errno);
    EXPECT_TRUE(drain(*r, 4000).bytes == data);
    r->closeFile();
    DIR* dp = r->opendir(path.substr(0, path.rfind('/')).c_str());
    ASSERT_NE(dp, nullptr);
    EXPECT_EQ(r->closedir(dp), 0);
    struct utimbuf ut = {1000000000, 1000000000};
    EXPECT_EQ(r->utime(path.c_str(), &ut), 0);
    ASSERT_EQ(r->lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);

    // Without a handler long paths are switched off for the job.
    KxLongPathHandler::SetUnavailableForTest(true);
    auto other = context();
    other->SetLongPathBackup(true);
    r = reader(other);
    EXPECT_EQ(r->lstat((m_dir / "file").c_str(), &st), -1);
    EXPECT_FALSE(other->IsLongPathBackup());
    EXPECT_NE(log().find("Long paths can not be handled by this job, will be reported as failures."),
              std::string::npos);
}

}  // namespace
