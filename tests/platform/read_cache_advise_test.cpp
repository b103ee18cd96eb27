#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/ReadCacheAdvise.h"
#include "support/TestFiles.h"

namespace {

// A file of `size` bytes whose byte i is (i * 7 + i / 4096) & 0xFF, in a
// temporary directory.
class PatternFile {
public:
    explicit PatternFile(size_t size) : size_(size) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>(Byte(i));
        testfiles::WriteWholeFile(path_, bytes);
    }
    static unsigned char Byte(size_t i) { return static_cast<unsigned char>(i * 7 + i / 4096); }
    const std::string& path() const { return path_; }
    size_t size() const { return size_; }

private:
    size_t size_;
    testfiles::TempDir dir_{"cache_advise_test"};
    std::string path_ = dir_ / "data";
};

// Reads the whole file with reads of `chunk` bytes, reporting each to the
// advice, and checks every byte.
void ReadAndCheck(ReadCacheAdvise& advice, const PatternFile& file, size_t chunk, bool directIO) {
    int fd = open(file.path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    advice.begin(fd, directIO);
    std::vector<unsigned char> buf(chunk);
    off_t pos = 0;
    for (;;) {
        ssize_t n = read(fd, buf.data(), buf.size());
        ASSERT_GE(n, 0);
        if (n == 0)
            break;
        for (ssize_t i = 0; i < n; ++i)
            ASSERT_EQ(buf[i], PatternFile::Byte(pos + i)) << "offset " << pos + i;
        advice.note(fd, pos, static_cast<size_t>(n));
        pos += n;
    }
    EXPECT_EQ(static_cast<size_t>(pos), file.size());
    advice.end(fd);
    close(fd);
}

TEST(ReadCacheAdviseTest, AdvisesPerWindowWithoutDisturbingReads) {
    PatternFile file(2 * ReadCacheAdvise::kWindow + 12345);
    std::unique_ptr<ReadCacheAdvise> advice(ReadCacheAdvise::newInstance());
    ReadAndCheck(*advice, file, 65536 + 3, false);
    // Sequential at the start, one drop per full window, the rest at the end.
    EXPECT_EQ(advice->adviceCalls(), 1u + 2u + 1u);
    EXPECT_EQ(advice->failedAdviceCalls(), 0u);

    // The same object serves the next file from a fresh start.
    ReadAndCheck(*advice, file, 1 << 20, false);
    EXPECT_EQ(advice->adviceCalls(), 8u);
}

TEST(ReadCacheAdviseTest, NothingUnderDirectIOAndForOtherHandles) {
    PatternFile file(ReadCacheAdvise::kWindow + 1);
    std::unique_ptr<ReadCacheAdvise> advice(ReadCacheAdvise::newInstance());
    ReadAndCheck(*advice, file, 1 << 20, true);
    EXPECT_EQ(advice->adviceCalls(), 0u);

    int fd = open(file.path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    advice->begin(fd, false);
    advice->note(fd + 100, 0, 2 * ReadCacheAdvise::kWindow);  // another handle
    EXPECT_EQ(advice->adviceCalls(), 1u);
    advice->end(fd + 100);  // not the advised handle: no drop
    EXPECT_EQ(advice->adviceCalls(), 1u);
    close(fd);
}

TEST(ReadCacheAdviseTest, PipeTakesNoAdviceAndStillReads) {
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
