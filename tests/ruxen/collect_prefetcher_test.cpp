// The prefetcher on real trees: what it opens (and how), how far it runs
// ahead of the stream and when it switches itself off. Nothing here is
// timed; whole passes run with it in the job and tool tests.
#include "ruxen/CollectPrefetcher.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/text/FileNameEscape.h"
#include "platform/os/ReadCacheAdvise.h"
#include "platform/base/ScopedFd.h"
#include "platform/hsm/ZXHSMLowLevel.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "support/ProcessState.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

// Records every open asked for (path, flags); refuses O_NOATIME on
// `notMine` as the kernel does for a file of another owner.
struct RecordingOps : CFileReaderOps {
    std::string notMine;
    std::mutex lock;
    std::vector<std::pair<std::string, int>> opens;
    int openat(int dir, const char* name, int flags, const char* path) override {
        std::lock_guard<std::mutex> g(lock);
        opens.push_back({path, flags});
        errno = EPERM;
        return path == notMine && (flags & O_NOATIME) ? -1 : CFileReaderOps::openat(dir, name, flags, path);
    }
    std::set<std::string> Paths() {
        std::lock_guard<std::mutex> g(lock);
        std::set<std::string> s;
        for (auto& o : opens)
            s.insert(o.first);
        return s;
    }
};

class Prefetch : public ::testing::Test {
protected:
    void SetUp() override {
        ZXHSMTestState::Reset();
        m_ctx.SetFileOps(m_ops);
    }
    void TearDown() override { ZXHSMTestState::Reset(); }

    // Writes the collect file of `paths` (escaped); the offset of each line.
    std::vector<uint64_t> Collect(const std::vector<std::string>& paths) {
        std::string text;
        std::vector<uint64_t> offsets;
        for (const std::string& p : paths) {
            offsets.push_back(text.size());
            text += ruxen::escapeFileName(p.c_str()) + "\n";
        }
        WriteWholeFile(m_dir / "collect", text);
        return offsets;
    }
    // A prefetcher over `paths` with the stream at the first line, never
    // moving, until it is idle.
    ScopedFd OpenCollect() { return ScopedFd(open((m_dir / "collect").c_str(), O_RDONLY | O_CLOEXEC)); }
    CollectPrefetcher::Counters RunOver(const std::vector<std::string>& paths, size_t distance = 64) {
        const uint64_t first = Collect(paths)[0];
        CollectPrefetcher p(OpenCollect().get(), "collect", 0, m_ctx, distance);
        p.StreamAt(first);
        p.WaitIdle();
        p.Stop();
        return p.GetCounters();
    }
    std::vector<std::string> Files(int count, size_t size) {
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            paths.push_back(m_dir / ("f" + std::to_string(i)));
            WriteWholeFile(paths.back(), pattern(size, i));
        }
        return paths;
    }

    ProcessStateGuard m_state;
    TempDir m_dir{"ruxen_prefetch"};
    CFileReaderContext m_ctx;
    std::shared_ptr<RecordingOps> m_ops = std::make_shared<RecordingOps>();
};

struct JobCase {
    const char* name;
    bool driverLoaded, archiveAndDelete, snapshot, earlyStub, catalog;
    std::set<std::string> opened;  // names under the tree
};
void PrintTo(const JobCase& c, std::ostream* os) { *os << c.name; }
class PrefetchJobs : public Prefetch, public ::testing::WithParamInterface<JobCase> {};

// Only regular files are opened, never a possible stub (the reader, with
// the same settings, agrees), never following links, blocking or taking a
// terminal, always without moving an access time: a file that refuses
// O_NOATIME is passed over, not opened without it.
TEST_P(PrefetchJobs, OpensOnlyRegularFilesThatAreNoStubs) {
    const JobCase& c = GetParam();
    const TempDir& d = m_dir;
    for (const char* f : {"file", "notmine", "tiered/stub", "tiered/plain", "snapstub"}) {
        mkdir((d / "tiered").c_str(), 0755);
        WriteWholeFile(d / f, "data");
    }
    WriteWholeFile(d / "empty", "");
    ASSERT_EQ(0, symlink((d / "file").c_str(), (d / "link").c_str()));
    ASSERT_EQ(0, mkfifo((d / "fifo").c_str(), 0644));
    m_ops->notMine = d / "notmine";
    ZXHSMTestState::AddTieredMount(d / "tiered");
    ZXHSMTestState::MarkStub(d / "tiered/stub", {'S'});
    ZXHSMTestState::MarkStub(d / "snapstub", {'S'});
    ZXHSMTestState::SetFSFDriverLoaded(c.driverLoaded);
    m_ctx.SetArchiveAndDelete(c.archiveAndDelete);
    m_ctx.SetSnapMode(c.snapshot);
    m_ctx.SetEarlyStubBackup(c.earlyStub);
    m_ctx.SetSnapCatalogMode(c.catalog);

    const std::vector<std::string> names = {"file", "notmine", "empty", "link", "fifo", "tiered", "tiered/stub",
                                            "tiered/plain", "snapstub", "missing"};
    std::vector<std::string> paths = {d.path(), "relative/line", "/dev/null"};
    for (const std::string& n : names)
        paths.push_back(d / n);
    RunOver(paths);

    std::set<std::string> want, opened = m_ops->Paths();
    for (const std::string& n : c.opened)
        want.insert(d / n);
    EXPECT_EQ(want, opened);
    const int need = O_NOATIME | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    for (auto& o : m_ops->opens)
        EXPECT_TRUE((o.second & need) == need && (o.second & O_ACCMODE) == O_RDONLY) << o.first;
    CFileReader reader(std::shared_ptr<CFileReaderContext>(&m_ctx, [](CFileReaderContext*) {}));
    for (const std::string& n : names) {
        struct stat st;
        if (lstat((d / n).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            reader.initialize((d / n).c_str(), &st, false, false) == 0) {
            EXPECT_FALSE(reader.isStub() && opened.count(d / n)) << n << " is a stub to the reader";
        }
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
// are not opened, and far behind it the helper seeks rather than read them;
// the destructor joins the helper while it waits.
TEST_F(Prefetch, StaysWithinItsDistanceOfTheStream) {
    std::vector<uint64_t> at = Collect(Files(400, 1));
    ASSERT_GT(at[350] - at[8], CollectPrefetcher::kSkipBytes);
    auto openedLines = [&] {
        std::set<int> lines;
        for (const std::string& p : m_ops->Paths())
            lines.insert(std::stoi(p.substr(p.rfind('/') + 2)));
        return lines;
    };
    auto range = [](std::set<int> s, int from, int to) {
        for (int i = from; i <= to; ++i)
            s.insert(i);
        return s;
    };
    CollectPrefetcher p(OpenCollect().get(), "collect", 0, m_ctx, 8);
    p.WaitIdle();  // not started yet
    p.StreamAt(at[0]);
    p.WaitIdle();
    EXPECT_EQ(range({}, 1, 8), openedLines());
    p.StreamAt(at[350]);
    p.WaitIdle();
    EXPECT_EQ(range(range({}, 1, 8), 351, 358), openedLines());
    EXPECT_EQ(18u, p.GetCounters().lines);
}

// The helper reads the stream's open collect file, never its path again: a
// collect file renamed over that path does not feed it other lines, and a
// pipe, whose lines only the stream may take, is not read at all.
TEST_F(Prefetch, ReadsTheOpenCollectFileAndNoPipe) {
    const std::vector<std::string> paths = Files(4, 8192);
    Collect({paths[0], paths[1]});
    ScopedFd fd = OpenCollect();
    ASSERT_EQ(0, rename((m_dir / "collect").c_str(), (m_dir / "other").c_str()));
    Collect({paths[2]});
    CollectPrefetcher p(fd.get(), "collect", 0, m_ctx);
    p.StreamAt(0);
    p.WaitIdle();
    p.Stop();
    EXPECT_EQ(std::set<std::string>({paths[1]}), m_ops->Paths());  // the stream is at the first line

    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    ScopedFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    const std::string lines = paths[2] + "\n" + paths[3] + "\n";
    ASSERT_EQ(static_cast<ssize_t>(lines.size()), write(writeEnd.get(), lines.data(), lines.size()));
    writeEnd.Close();
    CollectPrefetcher q(readEnd.get(), "pipe", 0, m_ctx);
    q.StreamAt(0);
    q.WaitIdle();
    q.Stop();
    std::string left(lines.size() + 1, '\0');
    EXPECT_EQ(static_cast<ssize_t>(lines.size()), read(readEnd.get(), &left[0], left.size()));
    EXPECT_EQ(std::set<std::string>({paths[1]}), m_ops->Paths());
}

// Files whose first MiB is cached switch it off (one line in kSampleEvery
// is still looked at); the first cold sample switches it on again, and the
// cold files after it are advised. No access time moves, although the file
// system would record a read (atime older than mtime).
TEST_F(Prefetch, SwitchesOffWhileCachedAndOnWhenMissesReturn) {
    constexpr int kWarm = 100, kCold = 100;
    std::vector<std::string> paths = Files(kWarm + kCold, 8192);
    const struct timespec times[2] = {{1000000, 0}, {0, UTIME_OMIT}};
    for (int i = kWarm; i < kWarm + kCold; ++i) {
        ScopedFd fd(open(paths[i].c_str(), O_RDONLY));
        ASSERT_TRUE(fd.valid() && fdatasync(fd.get()) == 0 && futimens(fd.get(), times) == 0);
        posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
        if (ReadCacheAdvise::ResidentPages(fd.get(), 0, 8192) != 0)
            GTEST_SKIP() << "the file system keeps dropped pages cached";
    }
    paths.insert(paths.begin(), m_dir.path());
    CollectPrefetcher::Counters n = RunOver(paths, 1000);
    EXPECT_EQ(1u, n.switchedOff);
    EXPECT_LE(n.cached, CollectPrefetcher::kOffAfter + kWarm / CollectPrefetcher::kSampleEvery + 1);
    EXPECT_GE(n.advised, static_cast<uint64_t>(kCold - CollectPrefetcher::kSampleEvery));
    for (int i = kWarm + 1; i <= kWarm + kCold; ++i) {
        struct stat st;
        ASSERT_EQ(0, stat(paths[i].c_str(), &st));
        EXPECT_EQ(1000000, st.st_atim.tv_sec) << paths[i];
    }
}

}  // namespace
