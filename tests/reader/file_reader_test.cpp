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
#include "platform/base/TestControl.h"
#include "platform/hsm/ReparseData.h"
#include "platform/os/ReadCacheAdvise.h"
#include "support/ChildLock.h"
#include "support/DeepPath.h"
#include "support/FaultyReaderOps.h"
#include "support/MntTabFile.h"

using namespace readertest;

namespace {

// A hang in a test that opens FIFOs or links kills the test program instead
// of the whole run.
struct AlarmGuard {
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
            EXPECT_TRUE(d.ok && d.bytes == data);  // no properties block without a companion
            char c;
            EXPECT_EQ(r->read(&c, 1), 0);  // the end stays the end
            ASSERT_EQ(init(*r, m_dir / "e", hfs), 0);
            d = drain(*r, bs);
            EXPECT_TRUE(d.ok && d.bytes.empty() && d.calls == 1);
        }
    }
    // A plain file is read to its end, not cut at the size the caller saw:
    // the caller sends the size it declared.
    ASSERT_EQ(init(*r, m_dir / "f"), 0);
    int fd = open((m_dir / "f").c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(write(fd, "MORE", 4), 4);
    close(fd);
    EXPECT_EQ(r->getTotalSize(), 100003);
    EXPECT_TRUE(drain(*r, 333).bytes == data + "MORE");
}

TEST_F(FileReaderTest, Seeks) {
    const std::string path = m_dir / "sparse", chunk = pattern(4096, 9);
    // Data far past the page-cache advice's first windows, cached and clean.
    const off_t kData = 64 << 20;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(pwrite(fd, chunk.data(), chunk.size(), kData), 4096);
    ASSERT_EQ(ftruncate(fd, 72 << 20), 0);
    ASSERT_EQ(fdatasync(fd), 0);
    close(fd);
    auto ctx = context();
    auto r = reader(ctx);
    errno = 0;
    EXPECT_EQ(r->seek(0, SEEK_SET), -1);  // nothing open
    EXPECT_EQ(errno, EBADF);
    ASSERT_EQ(init(*r, path), 0);
    if (r->seek(0, SEEK_DATA) != 0) {  // the file system reports holes
        EXPECT_EQ(r->GetPosition(), kData);
        EXPECT_GE(r->seek(kData, SEEK_HOLE), kData + 4096);
        errno = 0;
        EXPECT_EQ(r->seek(kData + (1 << 20), SEEK_DATA), -1);
        EXPECT_EQ(errno, ENXIO);
    }
    // A failed seek leaves the position alone: the item is neither ended nor restarted.
    ASSERT_EQ(r->seek(kData, SEEK_SET), kData);
    errno = 0;
    EXPECT_EQ(r->seek(-1, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(r->GetPosition(), kData);
    EXPECT_TRUE(drain(*r, 4096).bytes.substr(0, 4096) == chunk);
    // The advice saw where the read landed before it read: what was cached stays.
    fd = open(path.c_str(), O_RDONLY);
    EXPECT_EQ(1, ReadCacheAdvise::ResidentPages(fd, kData, 4096));
    close(fd);
    ctx->SetAllowFifoFileBackup();
    errno = 0;
    EXPECT_EQ(r->seek(0, SEEK_SET), -1);
    EXPECT_EQ(errno, ENOSYS);
}

// ---------------------------------------------- what is opened, and how

// Only items whose contents are read are opened: directories, links,
// sockets and device nodes are metadata (a tape node rewinds when opened, a
// node without a driver fails), unless the job reads raw devices.
TEST_F(FileReaderTest, WhatIsOpened) {
    AlarmGuard alarmGuard(20);
    writeFile(m_dir / "file", "contents");
    ASSERT_EQ(mkfifo((m_dir / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("fifo", (m_dir / "l-fifo").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", (m_dir / "l-dev").c_str()), 0);
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    const std::string sp = m_dir / "sock";
    memcpy(sa.sun_path, sp.c_str(), sp.size());
    ASSERT_EQ(bind(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)), 0);
    const std::string zeros(4, '\0');
    struct Case {
        std::string path;
        bool rawDevices, open;
        std::string bytes;  // what the reader yields when opened
    } cases[] = {
        {m_dir / "file", false, true, "cont"}, {m_dir / "fifo", false, false, ""},  // without FIFO backup
        {m_dir / "l-fifo", false, false, ""},  {m_dir / "l-dev", false, false, ""},
        {sp, false, false, ""},                {"/dev/null", false, false, ""},
        {"/dev/zero", false, false, ""},       {m_dir.path(), false, false, ""},
        {m_dir / "l-dev", true, true, zeros},  {"/dev/zero", true, true, zeros},
    };
    KxLog::SetLevel(0);
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
        // A device is read in blocking mode; a regular file keeps O_NONBLOCK
        // until a read answers EAGAIN.
        EXPECT_EQ((fcntl(r->getFileHandle(), F_GETFL) & O_NONBLOCK) != 0, c.path == m_dir / "file");
    }
    EXPECT_NE(log().find("read(" + m_dir.path() + ") failed - no handle"), std::string::npos);
    close(s);
}

// The handle must be the item the caller stat-ed (an item swapped for a
// FIFO must not hang the stream); a path that vanished fails with its errno.
TEST_F(FileReaderTest, ItemThatChangedBetweenStatAndOpenFails) {
    AlarmGuard alarmGuard(20);
    const std::string path = m_dir / "item";
    writeFile(m_dir / "target", "target");
    ASSERT_EQ(symlink("target", (m_dir / "link").c_str()), 0);
    struct Case {
        void (*change)(const std::string& item);
        int err;
    } cases[] = {
        {[](const std::string& p) { ASSERT_TRUE(unlink(p.c_str()) == 0 && mkfifo(p.c_str(), 0644) == 0); }, ESTALE},
        {[](const std::string& p) {
             WriteWholeFile(p + ".new", "new contents");
             ASSERT_EQ(rename((p + ".new").c_str(), p.c_str()), 0);
         }, ESTALE},
        {[](const std::string& p) { ASSERT_EQ(unlink(p.c_str()), 0); }, ENOENT},
    };
    for (const Case& c : cases) {
        writeFile(path, "data");
        struct stat st = lstatOf(path);
        c.change(path);
        auto r = reader(context());
        errno = 0;
        EXPECT_EQ(r->initialize(path.c_str(), &st, false, false), -1);
        EXPECT_EQ(errno, c.err);
        EXPECT_FALSE(r->IsOpen());
        unlink(path.c_str());
    }
    // A link to anything but a device is not a raw device.
    auto ctx = context();
    ctx->SetLink2RawDev(true);
    errno = 0;
    EXPECT_EQ(init(*reader(ctx), m_dir / "link"), -1);
    EXPECT_EQ(errno, ESTALE);
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
        {02644, ChildLock::kRecordWrite, true, 1}, {02644, ChildLock::kRecordWrite, false, 0},
        {02654, ChildLock::kRecordWrite, true, 0}, {0644, ChildLock::kRecordWrite, true, 0},
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
        r->closeFile();
        EXPECT_EQ(r->isLocked(), -1);
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

// A file system that heeds O_NONBLOCK on a regular file answers a read
// EAGAIN: the handle is switched to blocking mode (keeping O_DIRECT) and the
// read made again.
TEST_F(FileReaderTest, ReadAnsweringEagainIsMadeAgainInBlockingMode) {
    const std::string data = pattern(70000);
    writeFile(m_dir / "f", data);
    for (const char* direct : {"0", "1"}) {
        SCOPED_TRACE(std::string("nUseDirectIO=") + direct);
        KXPlatformInfo::setValue("FileSystemAgent", "nUseDirectIO", direct);
        auto ctx = context();
        auto ops = std::make_shared<FaultyReaderOps>();
        ops->failRead = {2, EAGAIN};
        ctx->SetFileOps(ops);
        auto r = reader(ctx);
        ASSERT_EQ(init(*r, m_dir / "f"), 0);
        const bool directIO = r->IsUsingDirectIO();
        EXPECT_TRUE(drainAligned(*r) == data);
        const int fl = fcntl(r->getFileHandle(), F_GETFL);
        EXPECT_FALSE(fl & O_NONBLOCK);
        EXPECT_EQ((fl & O_DIRECT) != 0, directIO);
    }
}

// Where O_DIRECT cannot be had, the open is tried again without it. Older
// tmpfs refuses it; where tmpfs takes it, a file of /proc stands in.
TEST_F(FileReaderTest, DirectIORefusedAtOpenFallsBack) {
    KXPlatformInfo::setValue("FileSystemAgent", "nUseDirectIO", "1");
    TempDir shm("reader_test", "/dev/shm");
    std::string path = shm / "f";
    writeFile(path, pattern(5000));
    for (const char* next : {"/proc/version", ""}) {
        int fd = open(path.c_str(), O_RDONLY | O_DIRECT);
        if (fd < 0)
            break;
        close(fd);
        if (!*next)
            GTEST_SKIP() << "no file system here refuses O_DIRECT";
        path = next;
    }
    auto r = reader(context());
    ASSERT_EQ(init(*r, path), 0) << strerror(errno);
    EXPECT_FALSE(r->IsUsingDirectIO());
    EXPECT_FALSE(fcntl(r->getFileHandle(), F_GETFL) & O_DIRECT);
    EXPECT_EQ(drain(*r, 4096).bytes, ReadWholeFile(path));
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

// Only the access times of the item and its companion are put back: a
// reverted modification time would hide a change from the next incremental
// backup.
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
    ASSERT_EQ(init(*r, path, true, false), 0);
    EXPECT_EQ(r->observerCount(), 0u);  // not asked for
}

// ---------------------------------------------------------------- stubs

std::vector<char> stubBytes(uint32_t kind, const std::string& dataGuid, uint64_t size) {
    ReparseData rd;
    rd.kind = kind;
    rd.appGuid = "APP-GUID";
    rd.dataGuid = dataGuid;
    rd.appId = 7;
    rd.recordedSize = size;
    return BuildStubData(rd);
}

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
    const std::vector<char> stub = stubBytes(2, "DATA-GUID", 123456);
    ZXHSMTestState::MarkStub(m_stubPath, stub);
    struct Case {
        bool driver, turbo;
        int mode;
        long long size;
        const char* guid;
    } cases[] = {{true, true, 1, 123456, "DATA-GUID"}, {false, true, 2, 123456, "DATA-GUID"},
                 {true, false, 1, 3000, ""}};  // without turbo mode the stub is not parsed
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + (c.turbo ? " turbo" : ""));
        ZXHSMTestState::SetFSFDriverLoaded(c.driver);
        auto ctx = context(c.turbo);
        ASSERT_EQ(ctx->GetUseDriver(), c.mode);
        auto r = reader(ctx);
        ASSERT_EQ(init(*r, m_stubPath, true), 0);
        EXPECT_TRUE(r->isStub() && !r->IsOpen());
        EXPECT_EQ(r->getTotalSize(), c.size);
        EXPECT_EQ(r->GetGUID(), c.guid);
        EXPECT_EQ(r->GetAppGUIDFromStub(), c.turbo ? "APP-GUID" : "");
        Drained d = drain(*r, 5);
        EXPECT_EQ(d.bytes, std::string(stub.begin(), stub.end()));
        EXPECT_EQ(d.calls, static_cast<int>((stub.size() + 4) / 5) + 1);
        ASSERT_EQ(init(*r, m_plainPath), 0);
        EXPECT_FALSE(r->isStub());
        EXPECT_EQ(drain(*r, 4096).bytes, "plain file");
    }
    // A stub record of kind 1 carries no data GUID; one that cannot be
    // parsed switches turbo mode off and is sent as it is.
    ZXHSMTestState::MarkStub(m_stubPath, stubBytes(1, "", 10));
    auto r = reader(context(true));
    ASSERT_EQ(init(*r, m_stubPath), 0);
    EXPECT_EQ(r->GetGUID(), "");
    EXPECT_EQ(r->getTotalSize(), 10);
    ZXHSMTestState::MarkStub(m_stubPath, {'j', 'u', 'n', 'k'});
    KxLog::SetLevel(2);
    ASSERT_EQ(init(*r, m_stubPath), 0);
    EXPECT_FALSE(r->GetContext()->IsTurboMode());
    EXPECT_NE(log().find(m_stubPath + " is a FSSX stub. Setting turbo mode false."), std::string::npos);
    EXPECT_EQ(r->getTotalSize(), 3000);
    EXPECT_EQ(drain(*r, 3).bytes, "junk");
}

// Every failure of the tiered-storage low level fails the item, and so does
// a path it has no object for; only items that need tiered storage fail.
TEST_F(StubTest, TieredStorageFailuresFailTheItem) {
    ZXHSMTestState::SetFailure(m_plainPath, "boom");
    for (bool driver : {false, true}) {
        ZXHSMTestState::SetFSFDriverLoaded(driver);
        log();
        EXPECT_EQ(init(*reader(context(true)), m_plainPath), -1);
        EXPECT_NE(log().find(driver ? "ZXHSMLowLevel:getStubData() failed, error=[boom]"
                                    : "ZXHSMLowLevel::isStub() failed, error=[boom]"),
                  std::string::npos);
    }
    {
        MntTabFile table("/dev/sdb1 /elsewhere ext4 rw 0 0\n");  // no mount holds the path
        errno = 0;
        EXPECT_EQ(init(*reader(context(true)), m_stubPath), -1);
        EXPECT_EQ(errno, EIO);
        EXPECT_NE(log().find("Failed to create ZXHSMLowLevel for '" + m_stubPath + "'"), std::string::npos);
    }
    ruxen::testcontrol::SetMountTablePath((m_dir / "no-mounts").c_str());
    ZXHSMTestState::SetFSFDriverLoaded(false);
    auto plain = context(false);  // nothing installed, no snapshot job
    auto r = reader(plain);
    ASSERT_EQ(init(*r, m_stubPath), 0);
    EXPECT_FALSE(plain->ZXHSMContextFailed());  // never asked for
    auto ctx = context(true);
    r = reader(ctx);
    EXPECT_EQ(init(*r, m_stubPath), -1);
    EXPECT_TRUE(ctx->ZXHSMContextFailed());
    EXPECT_EQ(init(*r, m_dir.path()), 0);  // directories need nothing of it
}

// The early-stub flag of the job makes an item a stub only where the item
// lies on tiered storage; stub bytes and GUIDs never travel to the next item.
TEST_F(StubTest, EarlyStubsAndGuidsStayWithTheirItem) {
    TempDir plainDir;
    writeFile(plainDir / "p", "file bytes of p");
    auto ctx = context(true);
    const std::vector<char> early = stubBytes(2, "EARLY", 99);
    ctx->SetEarlyStubBackup(true);
    ctx->SetStubData(early);
    auto r = reader(ctx);
    ASSERT_EQ(init(*r, m_stubPath), 0);
    r->SetGUID("ITEM-1");
    EXPECT_EQ(r->GetGUID(), "EARLY");
    EXPECT_EQ(drain(*r, 4096).bytes, std::string(early.begin(), early.end()));
    r->closeFile();
    EXPECT_EQ(r->GetGUID(), "ITEM-1");  // still answered after the close
    ASSERT_EQ(init(*r, plainDir / "p"), 0);
    EXPECT_FALSE(r->isStub());
    EXPECT_TRUE(r->GetGUID().empty() && r->GetAppGUIDFromStub().empty() && r->getAppIdFromStub() == 0);
    EXPECT_EQ(drain(*r, 4096).bytes, "file bytes of p");
}

TEST_F(StubTest, SnapshotJobReadsStubsFromTheSnapshot) {
    const std::vector<char> stub = stubBytes(2, "SNAP-GUID", 77);
    ZXHSMTestState::MarkStub(m_stubPath, stub);
    ZXHSMTestState::MarkStub(m_plainPath + "2", {'?'});
    writeFile(m_plainPath + "2", "badstub");
    auto ctx = std::make_shared<CFileReaderContext>();
    ctx->SetSnapMode(true);
    ctx->InitHSM();
    auto r = reader(ctx);
    KxLog::SetLevel(2);
    ASSERT_EQ(init(*r, m_stubPath), 0);
    EXPECT_EQ(r->GetGUID(), "SNAP-GUID");  // parsed without turbo mode
    EXPECT_EQ(drain(*r, 7).bytes, std::string(stub.begin(), stub.end()));
    log();
    ASSERT_EQ(init(*r, m_plainPath), 0);
    EXPECT_FALSE(r->isStub());
    EXPECT_NE(log().find("is not a stub."), std::string::npos);
    EXPECT_EQ(drain(*r, 7).bytes, "plain file");
    ctx->SetTurboMode(true);
    ASSERT_EQ(init(*r, m_plainPath + "2"), 0);
    EXPECT_TRUE(r->isStub());
    EXPECT_FALSE(ctx->IsTurboMode());
    EXPECT_NE(log().find("is a FSSX stub.Setting turbo mode false."), std::string::npos);
}

// ------------------------------------------ data-loss prevention and counters

TEST_F(FileReaderTest, DecodedSizeIsTheDataSize) {
    const std::string data = pattern(1000);
    writeFile(m_dir / "f", data);
    ruxen::testcontrol::ForceDlpDecodedSize(500);
    auto r = reader(context());
    ASSERT_EQ(init(*r, m_dir / "f"), 0);
    EXPECT_EQ(r->getTotalSize(), 500);
    // With an AppleDouble part the data fork ends at the decoded size.
    writeFile(companionOf(m_dir / "f"), buildAppleDouble({{2, "RSRC"}}));
    ASSERT_EQ(init(*r, m_dir / "f", true), 0);
    EXPECT_EQ(r->getTotalSize(), 500 + 4 + 92);
    Drained d = drain(*r, 300);
    EXPECT_TRUE(d.ok && d.bytes == data.substr(0, 500) + "RSRC" + std::string(92, '\0'));
}

// A path longer than PATH_MAX goes through the long-path handler; without a
// handler long paths are switched off for the job.
TEST_F(FileReaderTest, PathLongerThanPathMax) {
    const std::string path = MakeDeepDir(m_dir.path()) + "/file", data = pattern(12345);
    auto ctx = context();
    ctx->SetLongPathBackup(true);
    auto r = reader(ctx);
    int fd = r->GetLongPathHandler()->open_long(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
    struct stat st;
    ASSERT_EQ(r->lstat(path.c_str(), &st), 0) << strerror(errno);
    ASSERT_EQ(r->initialize(path.c_str(), &st, true, true), 0) << strerror(errno);
    EXPECT_TRUE(drain(*r, 4000).bytes == data);
    ctx->SetLongPathBackup(false);
    errno = 0;
    EXPECT_EQ(r->lstat(path.c_str(), &st), -1);  // the ordinary call cannot
    EXPECT_EQ(errno, ENAMETOOLONG);

    ruxen::testcontrol::SetLongPathsUnavailable(true);
    auto other = context();
    other->SetLongPathBackup(true);
    EXPECT_EQ(reader(other)->lstat(path.c_str(), &st), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_FALSE(other->IsLongPathBackup());
    EXPECT_NE(log().find("Long paths can not be handled by this job, will be reported as failures."),
              std::string::npos);
}

}  // namespace
