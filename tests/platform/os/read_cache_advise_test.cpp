#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/base/TestControl.h"
#include "platform/os/ReadCacheAdvise.h"
#include "support/AppleDoubleBuilder.h"
#include "support/TestFiles.h"

namespace {

// A file of `size` bytes in a temporary directory.
class PatternFile {
public:
    explicit PatternFile(size_t size) : size_(size) { testfiles::WriteWholeFile(path_, testfiles::pattern(size)); }
    const std::string& path() const { return path_; }
    size_t size() const { return size_; }

private:
    size_t size_;
    testfiles::TempDir dir_{"cache_advise_test"};
    std::string path_ = dir_ / "data";
};

// Reads the whole file with reads of `chunk` bytes, reporting each to the
// advice (which must not change what is read).
void ReadAndCheck(ReadCacheAdvise& advice, const PatternFile& file, size_t chunk, bool directIO) {
    int fd = open(file.path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    advice.begin(fd, directIO);
    std::string got, buf(chunk, '\0');
    for (ssize_t n; (n = read(fd, &buf[0], chunk)) > 0;) {
        advice.note(fd, static_cast<off_t>(got.size()), static_cast<size_t>(n));
        got.append(buf, 0, static_cast<size_t>(n));
    }
    advice.end(fd);
    close(fd);
    EXPECT_TRUE(got == testfiles::pattern(file.size()));
}

// Pages of the file now in the page cache.
size_t ResidentPages(const PatternFile& file) {
    int fd = open(file.path().c_str(), O_RDONLY);
    if (fd < 0)
        return 0;
    void* map = mmap(nullptr, file.size(), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return 0;
    size_t pages = (file.size() + 4095) / 4096;
    std::vector<unsigned char> vec(pages);
    size_t resident = 0;
    if (mincore(map, file.size(), vec.data()) == 0)
        for (unsigned char v : vec)
            resident += v & 1;
    munmap(map, file.size());
    return resident;
}

// Pushes the file out of the page cache (written pages must be clean first).
void Evict(const PatternFile& file) {
    int fd = open(file.path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fdatasync(fd), 0);
    ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
    close(fd);
}

// Each test runs with cachestat(2) asked (where the kernel has it) and with
// the residency taken by mincore alone.
class ReadCacheAdviseTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { ruxen::testcontrol::UseCachestat(GetParam()); }
    void TearDown() override { ruxen::testcontrol::UseCachestat(true); }
};
INSTANTIATE_TEST_SUITE_P(Residency, ReadCacheAdviseTest, ::testing::Values(true, false));

TEST_P(ReadCacheAdviseTest, DropsWhatTheReadBroughtIn) {
    PatternFile file(2 * ReadCacheAdvise::kWindow + 12345);
    ASSERT_NO_FATAL_FAILURE(Evict(file));
    if (ResidentPages(file) != 0)
        GTEST_SKIP() << "this file system keeps evicted pages";
    std::unique_ptr<ReadCacheAdvise> advice(ReadCacheAdvise::newInstance());
    ReadAndCheck(*advice, file, 65536 + 3, false);
    EXPECT_EQ(advice->failedAdviceCalls(), 0u);
    EXPECT_EQ(advice->pagesKept(), 0u);
    // Read-ahead may leave a few pages past the last drop; the windows are gone.
    EXPECT_LE(ResidentPages(file), 64u);
}

// The file reaches past the windows whose residency is taken at the start,
// so that whether it is wholly cached takes its rest into account.
TEST_P(ReadCacheAdviseTest, KeepsPagesThatWereCachedBefore) {
    const off_t firstWindows = (ReadCacheAdvise::kAhead + 1) * ReadCacheAdvise::kWindow;
    PatternFile file(firstWindows + ReadCacheAdvise::kWindow + 12345);  // just written: resident
    const size_t pages = (file.size() + 4095) / 4096;
    ASSERT_EQ(ResidentPages(file), pages);
    std::unique_ptr<ReadCacheAdvise> advice(ReadCacheAdvise::newInstance());
    ReadAndCheck(*advice, file, 1 << 20, false);
    EXPECT_EQ(advice->pagesKept(), pages);
    // A wholly cached file costs no advice at all where the kernel can say so.
    EXPECT_EQ(advice->adviceCalls(), ReadCacheAdvise::CachestatInUse() ? 0u : 1u);
    EXPECT_EQ(ResidentPages(file), pages);

    // Warm up to the last window: only the cold rest is dropped.
    ASSERT_NO_FATAL_FAILURE(Evict(file));
    int fd = open(file.path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    // No read-ahead: exactly the first windows become resident.
    ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM), 0);
    std::vector<char> buf(firstWindows);
    ASSERT_EQ(pread(fd, buf.data(), buf.size(), 0), static_cast<ssize_t>(buf.size()));
    close(fd);
    std::unique_ptr<ReadCacheAdvise> again(ReadCacheAdvise::newInstance());
    ReadAndCheck(*again, file, 1 << 20, false);
    const size_t warm = firstWindows / 4096;
    // The kernel may let a few pages of the warm windows go meanwhile (seen
    // under load): what matters is that the warm windows stay and the cold
    // rest goes.
    const size_t slack = warm / 16;
    ASSERT_LE(again->pagesKept(), warm + 64);
    EXPECT_GE(again->pagesKept() + slack, warm);
    EXPECT_GE(ResidentPages(file) + slack, warm);
    EXPECT_LE(ResidentPages(file), warm + 600);  // plus read-ahead of the warm windows
}

// A reader that jumps over a hole gives no advice for the hole: the advice
// point moves to where it landed. Told before the read, the advice keeps
// the data beyond the hole that was cached before.
TEST_P(ReadCacheAdviseTest, JumpOverAHoleAdvisesNothingInIt) {
    testfiles::TempDir dir("cache_advise_test");
    const std::string path = dir / "sparse";
    const off_t far = 512 * ReadCacheAdvise::kWindow;  // 4 GiB of hole
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::vector<char> data(1 << 20, 'x');
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), far), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(0, fdatasync(fd));  // clean pages: a DONTNEED would drop them
    std::unique_ptr<ReadCacheAdvise> advice(ReadCacheAdvise::newInstance());
    advice->begin(fd, false);
    advice->willRead(fd, 0);
    advice->note(fd, 0, data.size());
    advice->willRead(fd, far);
    advice->note(fd, far, data.size());
    advice->end(fd);
    EXPECT_LE(advice->adviceCalls(), 8u);
    EXPECT_EQ(advice->failedAdviceCalls(), 0u);
    EXPECT_EQ(static_cast<long long>(data.size() / 4096),
              ReadCacheAdvise::ResidentPages(fd, far, static_cast<off_t>(data.size())));
    close(fd);
}

TEST(ReadCacheAdviseOther, NothingUnderDirectIOAndForOtherHandles) {
    PatternFile file(ReadCacheAdvise::kWindow + 1);
    std::unique_ptr<ReadCacheAdvise> advice(ReadCacheAdvise::newInstance());
    ReadAndCheck(*advice, file, 1 << 20, true);
    EXPECT_EQ(advice->adviceCalls(), 0u);

    ASSERT_NO_FATAL_FAILURE(Evict(file));  // a cached file would take no advice
    int fd = open(file.path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    advice->begin(fd, false);
    advice->note(fd + 100, 0, 2 * ReadCacheAdvise::kWindow);  // another handle
    EXPECT_EQ(advice->adviceCalls(), 1u);
    advice->end(fd + 100);  // not the advised handle: no drop
    EXPECT_EQ(advice->adviceCalls(), 1u);
    close(fd);
}

TEST(ReadCacheAdviseOther, PipeTakesNoAdviceAndStillReads) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "abc", 3), 3);
    close(p[1]);
    std::unique_ptr<ReadCacheAdvise> advice(ReadCacheAdvise::newInstance());
    advice->begin(p[0], false);
    EXPECT_EQ(advice->failedAdviceCalls(), 1u);  // ESPIPE
    char buf[4];
    ASSERT_EQ(read(p[0], buf, sizeof buf), 3);
    advice->note(p[0], 0, 3);
    advice->note(p[0], 3, ReadCacheAdvise::kWindow);
    advice->end(p[0]);
    EXPECT_EQ(advice->adviceCalls(), 1u);  // nothing after the refusal
    close(p[0]);
}

}  // namespace
