// The stream pass reading items through the file reader, checked on what
// reaches the archive: the tools' verifier compares every regular item
// with its file; items it cannot compare (stubs, resource forks) are
// checked byte by byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "errorpolicy/ErrorController.h"
#include "platform/agent/HookFiles.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/archive/KXArchive.h"
#include "platform/base/StopSignals.h"
#include "platform/base/TestControl.h"
#include "platform/hsm/DlpBackupReader.h"
#include "platform/hsm/ReparseData.h"
#include "platform/hsm/ZXHSMLowLevel.h"
#include "platform/text/FileNameEscape.h"
#include "reader/CFileReaderContext.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/StreamBackupPass.h"
#include "support/AppleDoubleBuilder.h"
#include "support/ChildLock.h"
#include "support/FaultyReaderOps.h"
#include "support/StreamCheck.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

class ReaderDataPath : public ::testing::Test {
protected:
    void SetUp() override {
        reset();
        ruxen::testcontrol::SetHookDirectory(m_hooks.path());
        ruxen::testcontrol::StartLogCapture();
    }
    void TearDown() override {
        ruxen::testcontrol::StopLogCapture();
        ruxen::testcontrol::SetHookDirectory("");
        reset();
    }
    static void reset() {
        ruxen::testcontrol::ResetRegistry();
        ZXHSMTestState::Reset();
        ruxen::testcontrol::ResetDlp();
        ruxen::testcontrol::ResetErrorController();
        ruxen::testcontrol::SetStopRequested(0);
    }

    // Backs up `paths` through `file`; the failures and results files are
    // read back into m_failures and m_results.
    void Run(RuxenFile& file, const std::vector<std::string>& paths,
             StreamBackupPass::Result expect = StreamBackupPass::kCollectDone) {
        std::string text;
        for (const std::string& p : paths)
            text += ruxen::escapeFileName(p.c_str()) + "\n";
        CollectFileReader collect;
        collect.OpenMemory("collect", text);
        FILE* failures = fopen((m_dir / "failures").c_str(), "w");
        FILE* results = fopen((m_dir / "results").c_str(), "w");
        file.SetResultsFile(results);
        StreamBackupPass pass(file, failures);
        EXPECT_EQ(pass.RunDataLoop(collect), expect);
        fclose(failures);
        fclose(results);
        file.SetResultsFile(nullptr);
        m_failures = ReadWholeFile(m_dir / "failures");
        m_results = ReadWholeFile(m_dir / "results");
    }

    TempDir m_dir{"reader_path_test"};
    TempDir m_hooks{"reader_path_hooks"};
    MemoryRecordSink m_sink;
    KXArchive m_archive{&m_sink};
    std::string m_failures, m_results;
};

void makeSparse(const std::string& path, off_t dataAt, const std::string& data, off_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), dataAt), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

// Every kind of item the reader opens, or does not, reaches the archive
// whole: large and small files, holes, direct I/O, a FIFO without a writer,
// device nodes (not opened), a file under a write lease, a file marked for
// mandatory locking with a write lock held (Linux enforces no such lock);
// access times are put back.
TEST_F(ReaderDataPath, ItemsReachTheArchiveWhole) {
    alarm(30);  // a FIFO or a lease that blocked would hang the stream
    const std::string big = m_dir / "big", small = m_dir / "small", sparse = m_dir / "holes", fifo = m_dir / "fifo",
                      leased = m_dir / "leased", locked = m_dir / "locked", node = m_dir / "node";
    WriteWholeFile(big, pattern(3 * 1024 * 1024 + 123, 7));
    WriteWholeFile(small, pattern(10, 8));
    makeSparse(sparse, 40 << 20, pattern(5000, 9), (40 << 20) + 5000 + (8 << 20));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    WriteWholeFile(leased, pattern(70000, 10));
    WriteWholeFile(locked, pattern(5000, 11));
    ASSERT_EQ(chmod(locked.c_str(), 02644), 0);
    std::vector<std::string> items = {big, small, sparse, fifo, locked, "/dev/null"};
    if (mknod(node.c_str(), S_IFCHR | 0600, makedev(240, 7)) == 0)
        items.push_back(node);  // no driver: opening it fails with ENXIO
    for (bool directIO : {false, true}) {
        SCOPED_TRACE(directIO ? "direct I/O" : "buffered");
        KXPlatformInfo::setValue("FileSystemAgent", "nUseDirectIO", directIO ? "1" : "0");
        ChildLock lease(leased, ChildLock::kWriteLease);
        ChildLock lock(locked, ChildLock::kRecordWrite);
        ASSERT_TRUE(lock.held());
        std::vector<std::string> all = items;
        if (lease.held())
            all.push_back(leased);
        m_sink.ClearRecords();
        struct timespec times[2] = {{1500000000, 0}, {1600000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, small.c_str(), times, 0), 0);
        RuxenFile file(&m_archive);
        file.SetPreserveAccessTimes(true);
        Run(file, all);
        EXPECT_EQ(file.GetFailedItems(), 0u) << m_failures;
        struct stat st;
        ASSERT_EQ(lstat(small.c_str(), &st), 0);
        EXPECT_EQ(st.st_atime, 1500000000);  // put back; the modification time is not touched
        EXPECT_EQ(st.st_mtime, 1600000000);
        StreamCheck check = CheckRecords(m_sink);
        EXPECT_TRUE(check.Ok()) << check.lines;
        EXPECT_EQ(check.items, all.size());
        EXPECT_EQ(check.matched, lease.held() ? 5u : 4u) << check.lines;
    }
    alarm(0);
}

ZXFileHeader headerOf(const MemoryRecordSink& sink, size_t record) {
    ZXFileHeader h;
    const char* why = nullptr;
    EXPECT_TRUE(DecodeZXFileHeader(sink.RecordBytes(record).data(), sink.RecordBytes(record).size(), &h, &why));
    return h;
}

// Items the verifier cannot compare: Mac properties follow the data only
// when a companion exists (after a hole at the end of the data fork too),
// and a stub sends its own bytes under its recorded size.
TEST_F(ReaderDataPath, MacPropertiesAndStubs) {
    const std::string doc = m_dir / "doc", plain = m_dir / "plain", sparse = m_dir / "sparse", stub = m_dir / "stub";
    const std::string data = pattern(5000, 1), rsrc = pattern(1000, 2), finder = pattern(32, 3);
    WriteWholeFile(doc, data);
    WriteWholeFile(companionOf(doc), buildAppleDouble({{2, rsrc}, {9, finder}}));
    WriteWholeFile(plain, pattern(777, 4));
    makeSparse(sparse, 0, pattern(4096, 5), 8 << 20);  // ends in a hole
    WriteWholeFile(companionOf(sparse), buildAppleDouble({{2, rsrc}}));
    WriteWholeFile(stub, pattern(3000, 10));
    ZXHSMTestState::AddTieredMount(m_dir.path());
    ReparseData rd;
    rd.kind = 2;
    rd.dataGuid = "DATA";
    rd.recordedSize = 123456;
    const std::vector<char> stubData = BuildStubData(rd);
    ZXHSMTestState::MarkStub(stub, stubData);

    RuxenFile file(&m_archive);
    file.SetBackupMacProperties(true);
    file.SetTurboMode(true);  // driver-less stub handling
    Run(file, {doc, plain, sparse, stub});
    StreamCheck check = CheckRecords(m_sink);
    EXPECT_TRUE(check.Ok()) << check.lines;
    EXPECT_EQ(check.matched, 3u);  // the plain file, and the Mac items with their companions
    EXPECT_TRUE(ItemBytes(m_sink, 0) == data + rsrc + std::string(60, '\0') + finder);
    EXPECT_TRUE(ItemBytes(m_sink, 2) == pattern(4096, 5) + std::string((8 << 20) - 4096, '\0') + rsrc +
                                           std::string(92, '\0'));
    EXPECT_EQ(ItemBytes(m_sink, 3), std::string(stubData.begin(), stubData.end()));
    ZXFileHeader h = headerOf(m_sink, 0);
    EXPECT_EQ(h.h_filesize, 5000u + 1000u + 92u);
    EXPECT_EQ(h.h_datasize, 5000u);
    EXPECT_EQ(h.h_isHFS, 0x11u);  // companion, no HFS properties entry
    EXPECT_TRUE(h.portable_flags & ZXFLAG_APPLE_DOUBLE);
    for (size_t i = 0; i < m_sink.RecordCount(); ++i) {
        if (m_sink.RecordType(i) != PL_FS_HEADER || headerOf(m_sink, i).h_filesize != 123456u)
            continue;
        h = headerOf(m_sink, i);  // the stub, under its recorded size
        EXPECT_TRUE((h.portable_flags & ZXFLAG_STUB) && (h.portable_flags & ZXFLAG_WENDAX_STUB_WITH_GUID));
        EXPECT_TRUE(h.h_platform_flags & ZX_HDR_FLAG_STUB);
        return;
    }
    ADD_FAILURE() << "no stub header";
}

// Each way reading an item can fail ends the item as failed (record 134),
// listed in the failures file, while the stream goes on with the next item;
// a stop asked for while an item is read ends it so too, and the stream
// stops before the next.
TEST_F(ReaderDataPath, ReadFailuresFailTheItem) {
    ZXHSMTestState::AddTieredMount(m_dir.path());
    const std::string plain = m_dir / "plain", sparse = m_dir / "sparse", stub = m_dir / "stub", next = m_dir / "next";
    WriteWholeFile(next, "next item");
    struct Case {
        const char* name;
        const std::string* path;
        FaultyReaderOps::Fault FaultyReaderOps::*fault;
        uint64_t call;
        const char* reason;
        int err;
        bool stop = false;
    } cases[] = {
        {"a read", &plain, &FaultyReaderOps::failRead, 2, "read failed: Input/output error", EIO},
        {"a seek", &sparse, &FaultyReaderOps::failSeek, 3, "cannot seek in the item", EIO},
        {"a stub read", &stub, &FaultyReaderOps::failStub, 1, "cannot read the stub data", EIO},
        {"the file shrank", &plain, nullptr, 0, "file shrank during backup: 1048576 of 3145728 bytes read", ENODATA},
        {"a stop", &plain, nullptr, 0, "the backup was interrupted (signal 15) while the item was read", EINTR, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteWholeFile(plain, pattern(3 << 20, 1));
        makeSparse(sparse, 1 << 20, "data", 2 << 20);
        WriteWholeFile(stub, "stub file");
        ZXHSMTestState::MarkStub(stub, BuildStubData(ReparseData()));
        auto ops = std::make_shared<FaultyReaderOps>();
        if (c.fault)
            (ops.get()->*c.fault).call = c.call;
        else if (c.stop)
            ops->afterRead = [] { ruxen::testcontrol::SetStopRequested(SIGTERM); };
        else
            ops->afterRead = [&] { ASSERT_EQ(truncate(plain.c_str(), 1 << 20), 0); };
        m_sink.ClearRecords();
        RuxenFile file(&m_archive);
        file.SetTurboMode(true);
        file.GetReaderContext().SetFileOps(ops);
        Run(file, {*c.path, next}, c.stop ? StreamBackupPass::kStopped : StreamBackupPass::kCollectDone);
        ruxen::testcontrol::SetStopRequested(0);
        EXPECT_EQ(file.GetFailedItems(), 1u);
        EXPECT_EQ(m_failures, ruxen::escapeFileName(c.path->c_str()) + ":" + std::to_string(c.err) + "\n");
        EXPECT_NE(m_results.find(std::string(c.reason)), std::string::npos) << m_results;
        StreamCheck check = CheckRecords(m_sink);
        EXPECT_EQ(check.failed, 1u) << check.lines;
        EXPECT_EQ(check.matched, c.stop ? 0u : 1u) << check.lines;  // the next item
    }
}

// A holder that keeps its write lease costs the item after
// nLeaseBreakWaitSeconds, with a reason that says so, not the kernel's
// lease-break time (45 s) for each such file; the stream goes on.
TEST_F(ReaderDataPath, KeptWriteLeaseFailsTheItemAfterTheRegistryTime) {
    KXPlatformInfo::setValue("FileSystemAgent", "nLeaseBreakWaitSeconds", "1");
    const std::string leased = m_dir / "leased", next = m_dir / "next";
    WriteWholeFile(leased, "held");
    WriteWholeFile(next, "next item");
    ChildLock holder(leased, ChildLock::kStubbornLease);
    ASSERT_TRUE(holder.held());
    RuxenFile file(&m_archive);
    Run(file, {leased, next});
    EXPECT_EQ(m_failures, leased + ":" + std::to_string(EWOULDBLOCK) + "\n");
    EXPECT_NE(m_results.find(" a write lease held on the file was not released within 1 s"), std::string::npos)
        << m_results;
    EXPECT_EQ(CheckRecords(m_sink).matched, 1u);
}

// A file rewritten while it is read keeps its item (the header is out, the
// data is what was read) and is reported: a results line, a failure-level
// log line (naming the stream in a job of several, its name's line feed
// escaped) and the changed-item count.
TEST_F(ReaderDataPath, FileChangedWhileReadIsKeptAndReported) {
    const std::string path = m_dir / "busy\nname", quiet = m_dir / "quiet";
    WriteWholeFile(path, pattern(3 << 20, 2));
    WriteWholeFile(quiet, "quiet");
    auto ops = std::make_shared<FaultyReaderOps>();
    ops->afterRead = [&] {
        struct timespec ts[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
    };
    RuxenFile file(&m_archive);
    file.GetReaderContext().SetFileOps(ops);
    file.SetStreamNumber(2);
    KxLog::SetLevel(-1);
    Run(file, {path, quiet});
    EXPECT_EQ(file.GetChangedItems(), 1u);
    EXPECT_EQ(file.GetFailedItems(), 0u);
    EXPECT_EQ(m_failures, "");
    EXPECT_EQ(m_results, "Backup: " + ruxen::escapeFileName(path.c_str()) + " changed while being read\n");
    const std::string log = ruxen::testcontrol::TakeCapturedLog();
    EXPECT_NE(log.find("stream 2: " + m_dir / "busy\\x0aname changed while being read\n"), std::string::npos) << log;
    StreamCheck check = CheckRecords(m_sink);
    EXPECT_TRUE(check.Ok()) << check.lines;
    EXPECT_EQ(check.matched, 2u);
}

// The job's snapshot mode is handed to the reader before each pass.
TEST_F(ReaderDataPath, SnapshotModeIsSetBeforeEachPass) {
    WriteWholeFile(m_dir / "f", "f");
    RuxenFile file(&m_archive);
    file.initialize(0, true, 0, 0);
    for (int pass = 0; pass < 2; ++pass) {
        file.GetReaderContext().SetSnapMode(false);
        Run(file, {m_dir / "f"});
        EXPECT_TRUE(file.GetReaderContext().IsSnapJob());
        EXPECT_EQ(file.GetReaderContext().GetUseDriver(), 2);
    }
}

}  // namespace
