// The prefetcher on real trees: what it opens (and how), what it passes
// over, how far it runs ahead of the stream, when it switches itself off,
// and a whole pass with it attached. Nothing here is timed.
#include "ruxen/CollectPrefetcher.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/FileNameEscape.h"
#include "platform/KXArchive.h"
#include "platform/MemoryRecordSink.h"
#include "platform/ReadCacheAdvise.h"
#include "platform/ZXHSMLowLevel.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "reader/CFileReaderOps.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/RuxenFile.h"
#include "support/ProcessState.h"
#include "support/StreamCheck.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

// Records every open the prefetcher asks for; refuses O_NOATIME on the
// paths in `refuseNoAtime` as the kernel does for a file of another owner.
class RecordingOps : public CFileReaderOps {
public:
    std::set<std::string> refuseNoAtime;

    int open(const char* path, int flags) override {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_opens.push_back({path, flags});
        }
        if ((flags & O_NOATIME) && refuseNoAtime.count(path)) {
            errno = EPERM;
            return -1;
        }
        return CFileReaderOps::open(path, flags);
    }
    std::vector<std::pair<std::string, int>> Opens() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_opens;
    }
    std::set<std::string> Paths() {
        std::set<std::string> s;
        for (auto& o : Opens())
            s.insert(o.first);
        return s;
    }

private:
    std::mutex m_lock;
    std::vector<std::pair<std::string, int>> m_opens;
};

// A collect file of `paths` (written as given: an empty-escaped relative
// line is a bad line); answers the offset of each line.
std::vector<uint64_t> WriteCollect(const std::string& file, const std::vector<std::string>& paths) {
    std::string text;
    std::vector<uint64_t> offsets;
    for (const std::string& p : paths) {
        offsets.push_back(text.size());
        text += ruxen::escapeFileName(p.c_str()) + "\n";
    }
    WriteWholeFile(file, text);
    return offsets;
}

class Prefetch : public ::testing::Test {
protected:
    void SetUp() override {
        ZXHSMTestState::Reset();
        m_ops = std::make_shared<RecordingOps>();
        m_ctx.SetFileOps(m_ops);
    }
    void TearDown() override { ZXHSMTestState::Reset(); }

    // Runs a prefetcher over `paths` with the stream at the first line until
    // it is idle; the stream never moves.
    CollectPrefetcher::Counters RunOver(const std::vector<std::string>& paths, size_t distance = 64) {
        std::vector<uint64_t> at = WriteCollect(m_dir / "collect", paths);
        CollectPrefetcher p(m_dir / "collect", 0, m_ctx, distance);
        p.StreamAt(at[0]);
        p.WaitIdle();
        p.Stop();
        return p.GetCounters();
    }

    ProcessStateGuard m_state;
    TempDir m_dir{"ruxen_prefetch"};
    CFileReaderContext m_ctx;
    std::shared_ptr<RecordingOps> m_ops;
};

struct JobCase {
    const char* name;
    bool driverLoaded, archiveAndDelete, snapshot, earlyStub, catalog;
    std::set<std::string> opened;  // names under the tree
};

void PrintTo(const JobCase& c, std::ostream* os) {
    *os << c.name;
}

class PrefetchJobs : public Prefetch, public ::testing::WithParamInterface<JobCase> {};

// Only regular files are opened, never a possible stub (the reader's own
// test, with the same settings, agrees), always without following links,
// blocking, taking a terminal or moving an access time; a file that refuses
// O_NOATIME is passed over, not opened without it.
TEST_P(PrefetchJobs, OpensOnlyRegularFilesThatAreNoStubs) {
    const JobCase& c = GetParam();
    const TempDir& d = m_dir;
    WriteWholeFile(d / "file", "data");
    WriteWholeFile(d / "notmine", "data");
    m_ops->refuseNoAtime.insert(d / "notmine");
    WriteWholeFile(d / "empty", "");
    ASSERT_EQ(0, symlink((d / "file").c_str(), (d / "link").c_str()));
    ASSERT_EQ(0, mkfifo((d / "fifo").c_str(), 0644));
    ASSERT_EQ(0, mkdir((d / "tiered").c_str(), 0755));
    WriteWholeFile(d / "tiered/stub", "stub");
    WriteWholeFile(d / "tiered/plain", "data");
    WriteWholeFile(d / "snapstub", "data");
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", (d / "sock").c_str());
    ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    close(sock);
    ZXHSMTestState::AddTieredMount(d / "tiered");
    ZXHSMTestState::MarkStub(d / "tiered/stub", {'S'});
    ZXHSMTestState::MarkStub(d / "snapstub", {'S'});
    ZXHSMTestState::SetFSFDriverLoaded(c.driverLoaded);
    m_ctx.SetArchiveAndDelete(c.archiveAndDelete);
    m_ctx.SetSnapMode(c.snapshot);
    m_ctx.SetEarlyStubBackup(c.earlyStub);
    m_ctx.SetSnapCatalogMode(c.catalog);

    const std::vector<std::string> names = {"file", "notmine", "empty", "link", "fifo", "tiered", "tiered/stub",
                                            "tiered/plain", "snapstub", "sock", "missing"};
    std::vector<std::string> paths = {d.path(), "relative/line", "/dev/null"};
    for (const std::string& n : names)
        paths.push_back(d / n);
    RunOver(paths);

    std::set<std::string> want, opened = m_ops->Paths();
    for (const std::string& n : c.opened)
        want.insert(d / n);
    EXPECT_EQ(want, opened);
    for (auto& o : m_ops->Opens()) {
        const int need = O_NOATIME | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
        EXPECT_EQ(need, o.second & need) << o.first;
        EXPECT_EQ(O_RDONLY, o.second & O_ACCMODE) << o.first;
    }
    // The reader, with the settings the prefetcher took, reads no opened
    // file as a stub.
    CFileReader reader(std::shared_ptr<CFileReaderContext>(&m_ctx, [](CFileReaderContext*) {}));
    for (const std::string& n : names) {
        struct stat st;
        if (lstat((d / n).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (reader.initialize((d / n).c_str(), &st, false, false) == 0 && reader.isStub()) {
            EXPECT_EQ(0u, opened.count(d / n)) << n << " is a stub to the reader";
        }
        reader.closeFile();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, PrefetchJobs,
    ::testing::Values(JobCase{"plain", false, false, false, false, false, {"file", "notmine", "snapstub"}},
                      JobCase{"driver", true, false, false, false, false, {"file", "notmine", "snapstub"}},
                      JobCase{"archiveAndDelete", false, true, false, false, false, {}},
                      JobCase{"snapshot", false, false, true, false, false, {"file", "notmine"}},
                      JobCase{"snapshotEarlyStub", false, false, true, true, false, {}},
                      JobCase{"catalog", false, false, false, false, true, {}}),
    [](const ::testing::TestParamInfo<JobCase>& i) { return std::string(i.param.name); });

// At most `distance` lines beyond the stream; lines the stream has passed
// are not opened; stopping while it waits for the stream joins it.
TEST_F(Prefetch, StaysWithinItsDistanceOfTheStream) {
    std::vector<std::string> paths;
    for (int i = 0; i < 40; ++i) {
        paths.push_back(m_dir / ("f" + std::to_string(i)));
        WriteWholeFile(paths.back(), "x");
    }
    std::vector<uint64_t> at = WriteCollect(m_dir / "collect", paths);
    auto openedLines = [&] {
        std::set<int> lines;
        for (const std::string& p : m_ops->Paths())
            lines.insert(std::stoi(p.substr(p.rfind('/') + 2)));
        return lines;
    };
    auto range = [](int from, int to) {
        std::set<int> s;
        for (int i = from; i <= to; ++i)
            s.insert(i);
        return s;
    };
    CollectPrefetcher p(m_dir / "collect", 0, m_ctx, 8);
    p.WaitIdle();  // not started yet
    EXPECT_TRUE(m_ops->Opens().empty());
    p.StreamAt(at[0]);
    p.WaitIdle();
    EXPECT_EQ(range(1, 8), openedLines());
    p.StreamAt(at[20]);
    p.WaitIdle();
    std::set<int> want = range(1, 8), later = range(21, 28);
    want.insert(later.begin(), later.end());
    EXPECT_EQ(want, openedLines());
    EXPECT_EQ(29u, p.GetCounters().lines);
}

// Files whose first MiB is cached switch it off (one line in kSampleEvery
// is still looked at); the first cold sample switches it on again, and
// every cold file after it is advised. No access time moves, although the
// file system would record a read (atime older than mtime).
TEST_F(Prefetch, SwitchesOffWhileCachedAndOnWhenMissesReturn) {
    constexpr int kWarm = 100, kCold = 100;
    std::vector<std::string> paths = {m_dir.path()};
    for (int i = 0; i < kWarm + kCold; ++i) {
        paths.push_back(m_dir / ("f" + std::to_string(i)));
        WriteWholeFile(paths.back(), pattern(8192, i));
    }
    struct timespec times[2] = {{1000000, 0}, {0, UTIME_OMIT}};  // atime long before mtime
    for (int i = kWarm; i < kWarm + kCold; ++i) {
        int fd = open(paths[i + 1].c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, fdatasync(fd));
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        const long long resident = ReadCacheAdvise::ResidentPages(fd, 0, 8192);
        ASSERT_EQ(0, futimens(fd, times));
        close(fd);
        if (resident != 0)
            GTEST_SKIP() << "the file system keeps dropped pages cached";
    }
    CollectPrefetcher::Counters n = RunOver(paths, 1000);

    EXPECT_EQ(1u, n.switchedOff);
    const uint64_t warmOpened = n.cached;
    EXPECT_LE(warmOpened, CollectPrefetcher::kOffAfter + kWarm / CollectPrefetcher::kSampleEvery + 1);
    EXPECT_GE(n.advised, static_cast<uint64_t>(kCold - CollectPrefetcher::kSampleEvery));
    for (int i = kWarm; i < kWarm + kCold; ++i) {
        struct stat st;
        ASSERT_EQ(0, stat(paths[i + 1].c_str(), &st));
        EXPECT_EQ(1000000, st.st_atim.tv_sec) << paths[i + 1];
    }
}

// A whole pass with the prefetcher as its listener: the listener hears the
// offset of every line taken, bad lines too, and the archive is whole.
TEST_F(Prefetch, PassTellsEveryLineAndStaysWhole) {
    struct Tee : CollectPositionListener {
        CollectPrefetcher* next;
        std::vector<uint64_t> offsets;
        void StreamAt(uint64_t offset) override {
            offsets.push_back(offset);
            next->StreamAt(offset);
        }
    } tee;
    std::vector<std::string> paths;
    for (int i = 0; i < 50; ++i) {
        paths.push_back(i == 7 ? "bad line" : m_dir / ("f" + std::to_string(i)));
        if (i != 7)
            WriteWholeFile(paths.back(), pattern(1000 + i * 997, i));
    }
    std::vector<uint64_t> at = WriteCollect(m_dir / "collect", paths);
    MemoryRecordSink sink;
    KXArchive archive(&sink);
    RuxenFile file(&archive);
    file.initialize(0, false, 0, 0);
    CollectFileReader reader;
    ASSERT_TRUE(reader.Open(m_dir / "collect", nullptr));
    CollectPrefetcher prefetcher(m_dir / "collect", 0, file.GetReaderContext(), 4);
    tee.next = &prefetcher;
    StreamBackupPass pass(file, nullptr);
    pass.SetPositionListener(&tee);
    EXPECT_EQ(StreamBackupPass::kCollectDone, pass.RunDataLoop(reader));
    prefetcher.Stop();
    EXPECT_EQ(at, tee.offsets);
    StreamCheck c = CheckRecords(sink);
    EXPECT_TRUE(c.Ok()) << c.lines;
    EXPECT_EQ(49u, c.matched);
}

}  // namespace
