#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ReaderTestUtil.h"
#include "reader/AppleDouble.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "reader/CFileReaderFactory.h"

using namespace readertest;

namespace {

const size_t kBufferSizes[] = {1, 7, 59, 60, 61, 4096};

const unsigned char* bytesOf(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// ----------------------------------------------------------------- parser

TEST(AppleDoubleParseTest, EntriesInFileOrderFirstOfAnIdWins) {
    std::string f = buildAppleDouble({{9, "finder"}, {2, "rsrc"}, {2, "second"}, {0x80000001u, "props"}});
    AppleDouble ad;
    ASSERT_EQ(ad.Parse(bytesOf(f), f.size()), AppleDouble::kOk);
    ASSERT_EQ(ad.Count(), 4u);
    ASSERT_EQ(ad.Entries().size(), 4u);
    EXPECT_EQ(ad.Entries()[0].id, 9u);
    const AppleDouble::Entry* e = ad.Find(2);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->length, 4u);
    EXPECT_EQ(f.substr(e->offset, e->length), "rsrc");
    EXPECT_EQ(ad.Find(0x80000001u)->length, 5u);
    EXPECT_EQ(ad.Find(1), nullptr);
}

TEST(AppleDoubleParseTest, BigEndianFieldsByHand) {
    // count 1; entry id 0x80000001, offset 0x00000102, length 0x0000003C.
    const unsigned char raw[] = {0, 5, 0x16, 7, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 0x00, 0x01, 0x80, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x3C};
    AppleDouble ad;
    ASSERT_EQ(ad.Parse(raw, sizeof raw), AppleDouble::kOk);
    ASSERT_EQ(ad.Entries().size(), 1u);
    EXPECT_EQ(ad.Entries()[0].id, 0x80000001u);
    EXPECT_EQ(ad.Entries()[0].offset, 0x102u);
    EXPECT_EQ(ad.Entries()[0].length, 60u);
}

TEST(AppleDoubleParseTest, ShortHeaderAndTruncatedTable) {
    std::string f = buildAppleDouble({{2, "abc"}, {9, "def"}});
    AppleDouble ad;
    EXPECT_EQ(ad.Parse(bytesOf(f), 25), AppleDouble::kNoHeader);
    EXPECT_EQ(ad.Parse(nullptr, 0), AppleDouble::kNoHeader);
    errno = 0;
    EXPECT_EQ(ad.Parse(bytesOf(f), 26 + 12 + 11), AppleDouble::kNoEntries);
    EXPECT_EQ(errno, ENFILE);
    EXPECT_TRUE(ad.Entries().empty());
    EXPECT_EQ(ad.Parse(bytesOf(f), 26 + 24), AppleDouble::kOk);  // the table is all it needs
}

TEST(AppleDoubleParseTest, LargestCountOnTheHeap) {
    std::vector<ADEntry> many(65535, ADEntry{7, ""});
    many[65534].id = 2;
    std::string f = buildAppleDouble(many);
    AppleDouble ad;
    ASSERT_EQ(ad.Parse(bytesOf(f), f.size()), AppleDouble::kOk);
    EXPECT_EQ(ad.Entries().size(), 65535u);
    ASSERT_NE(ad.Find(2), nullptr);
    EXPECT_EQ(ad.Parse(bytesOf(f), f.size(), AppleDouble::kMaxEntries), AppleDouble::kTooMany);
    EXPECT_EQ(ad.Count(), 65535u);
    // A count of 65535 with a short table must not read past the bytes.
    std::string head = f.substr(0, 26 + 100);
    EXPECT_EQ(ad.Parse(bytesOf(head), head.size()), AppleDouble::kNoEntries);
}

TEST(AppleDoubleParseTest, ReadFromAFileLeavesItsPositionAlone) {
    TempDir dir;
    std::string f = buildAppleDouble({{2, "abc"}});
    writeFile(dir / "ad", f);
    int fd = open((dir / "ad").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 5, SEEK_SET), 5);
    AppleDouble ad;
    EXPECT_EQ(ad.Read(fd), AppleDouble::kOk);
    EXPECT_EQ(ad.Find(2)->length, 3u);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 5);
    close(fd);
    errno = 0;
    EXPECT_EQ(ad.Read(fd), AppleDouble::kNoHeader);
    EXPECT_EQ(errno, EBADF);
}

// ------------------------------------------------------- through the reader

class AppleDoubleReaderTest : public ReaderTestBase {
protected:
    void SetUp() override {
        ReaderTestBase::SetUp();
        m_ctx = std::make_shared<CFileReaderContext>();
        m_ctx->InitHSM();
        m_reader = CFileReaderFactory::CreateFileReader(FILE_READER_STANDARD, m_ctx);
        m_path = m_dir / "item";
    }
    void make(const std::string& data, const std::string& companion) {
        writeFile(m_path, data);
        writeFile(companionOf(m_path), companion);
    }
    int init(bool hfs = true) {
        struct stat st = lstatOf(m_path);
        return m_reader->initialize(m_path.c_str(), &st, hfs, false);
    }
    // Reads the item with every buffer size of the list and checks the bytes.
    void expectItem(const std::string& expect) {
        for (size_t bs : kBufferSizes) {
            SCOPED_TRACE("buffer " + std::to_string(bs));
            ASSERT_EQ(init(), 0) << strerror(errno);
            EXPECT_EQ(m_reader->getTotalSize(), static_cast<long long>(expect.size()));
            Drained d = drain(*m_reader, bs);
            ASSERT_TRUE(d.ok) << strerror(d.err);
            ASSERT_EQ(d.bytes.size(), expect.size());
            EXPECT_TRUE(d.bytes == expect);
            char c;
            EXPECT_EQ(m_reader->read(&c, 1), 0);
            EXPECT_EQ(m_reader->GetResourceFileHandle(), -1);  // closed at the end
        }
    }

    std::shared_ptr<CFileReaderContext> m_ctx;
    std::shared_ptr<CFileReader> m_reader;
    std::string m_path;
};

TEST_F(AppleDoubleReaderTest, ResourceForkAndFinderInfoWithoutProperties) {
    const std::string data = pattern(5000, 1), rsrc = pattern(1000, 2), finder = pattern(32, 3);
    make(data, buildAppleDouble({{2, rsrc}, {9, finder}}));
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(m_reader->isHFS(), 0x11u);
    EXPECT_EQ(m_reader->getDataSize(), 5000);
    EXPECT_EQ(m_reader->getResourceSize(), 1000);
    EXPECT_EQ(m_reader->getTotalSize(), 5000 + 1092);
    EXPECT_EQ(m_reader->GetResourceFileName(), companionOf(m_path));
    expectItem(data + rsrc + std::string(60, '\0') + finder);
}

TEST_F(AppleDoubleReaderTest, AllPartsWithShuffledTable) {
    const std::string data = pattern(777, 4), rsrc = pattern(300, 5), props = pattern(60, 6), finder = pattern(32, 7);
    make(data, buildAppleDouble({{9, finder}, {3, "name"}, {0x80000001u, props}, {2, rsrc}}));
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(m_reader->isHFS(), 0x1u);
    expectItem(data + rsrc + props + finder);
}

TEST_F(AppleDoubleReaderTest, DuplicateIdsFirstWins) {
    const std::string data = pattern(100, 4);
    make(data, buildAppleDouble({{2, "first"}, {9, pattern(32, 8)}, {2, "second one"}, {9, pattern(32, 9)}}));
    expectItem(data + "first" + std::string(60, '\0') + pattern(32, 8));
}

TEST_F(AppleDoubleReaderTest, EmptyDataForkAndNoResourceFork) {
    make("", buildAppleDouble({{0x80000001u, pattern(60, 1)}, {9, pattern(32, 2)}}));
    expectItem(pattern(60, 1) + pattern(32, 2));
}

TEST_F(AppleDoubleReaderTest, ShortHFSEntriesAreZeroFilled) {
    const std::string data = pattern(10, 1);
    make(data, buildAppleDouble({{0x80000001u, "short props"}, {9, "tiny"}, {2, "R"}}));
    expectItem(data + "R" + "short props" + std::string(60 - 11, '\0') + "tiny" + std::string(28, '\0'));
}

TEST_F(AppleDoubleReaderTest, SeventeenEntriesAreReadWithAWarning) {
    std::vector<ADEntry> entries;
    for (uint32_t i = 0; i < 14; ++i)
        entries.push_back({100 + i, "x"});
    entries.push_back({2, "resource"});
    entries.push_back({0x80000001u, pattern(60, 3)});
    entries.push_back({9, pattern(32, 4)});
    make("data", buildAppleDouble(entries));
    KxLog::SetLevel(0);
    log();
    ASSERT_EQ(init(), 0);
    EXPECT_NE(log().find("The apple double include unexpected large number (17) of entries."), std::string::npos);
    KxLog::SetLevel(-1);
    expectItem("data" + std::string("resource") + pattern(60, 3) + pattern(32, 4));
}

TEST_F(AppleDoubleReaderTest, MoreThan1024EntriesGiveNoResourceFork) {
    std::vector<ADEntry> entries(1022, ADEntry{50, "y"});
    entries.push_back({2, "resource"});
    entries.push_back({0x80000001u, pattern(60, 3)});
    entries.push_back({9, pattern(32, 4)});
    make("data", buildAppleDouble(entries));
    ASSERT_EQ(init(), 0);
    EXPECT_NE(log().find("This number is too high to proceed with this file (" + companionOf(m_path) + ")"),
              std::string::npos);
    EXPECT_EQ(m_reader->getResourceSize(), 0);
    EXPECT_EQ(m_reader->isHFS(), 0x1u);  // -1 is not "no such entry"
    int fd = m_reader->GetResourceFileHandle();
    errno = 0;
    EXPECT_EQ(m_reader->getAppleDoubleSize(HFS_RESOURCE_FORK, fd), -1);
    EXPECT_EQ(errno, ENFILE);
    // The properties block is read without the size query's limit.
    expectItem("data" + pattern(60, 3) + pattern(32, 4));
}

TEST_F(AppleDoubleReaderTest, TruncatedTableGivesZeroProperties) {
    std::string f = buildAppleDouble({{2, "resource"}, {9, pattern(32, 1)}}, 5);  // count says 5
    f.resize(26 + 12 * 2);
    make("abc", f);
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(m_reader->getResourceSize(), 0);
    EXPECT_EQ(m_reader->isHFS(), 0x1u);
    expectItem("abc" + std::string(92, '\0'));

    make("abc", std::string(20, 'h'));  // not even a header
    ASSERT_EQ(init(), 0);
    EXPECT_NE(log().find("no header data in AppleDouble file"), std::string::npos);
    expectItem("abc" + std::string(92, '\0'));
}

TEST_F(AppleDoubleReaderTest, ResourceForkAtOffsetZeroIsAFormatError) {
    make("data", buildAppleDouble({{2, "resource", 0}, {9, pattern(32, 1)}}));
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(m_reader->getResourceSize(), 8);
    char buf[64];
    ASSERT_EQ(m_reader->read(buf, sizeof buf), 4);
    log();
    errno = 0;
    EXPECT_EQ(m_reader->read(buf, sizeof buf), -1);
    EXPECT_EQ(errno, EINVAL);
    std::string text = log();
    EXPECT_NE(text.find("invalid offset for entry"), std::string::npos);
    EXPECT_NE(text.find("Detected invalid format of the AppleDouble file " + companionOf(m_path)), std::string::npos);
}

TEST_F(AppleDoubleReaderTest, TruncatedResourceForkIsAFormatError) {
    // The table promises 1000 bytes; the file holds 400 of them.
    std::string f = buildAppleDouble({{2, pattern(1000, 2)}});
    f.resize(f.size() - 600);
    make("data", f);
    for (size_t bs : kBufferSizes) {
        SCOPED_TRACE(bs);
        ASSERT_EQ(init(), 0);
        Drained d = drain(*m_reader, bs);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(d.err, EINVAL);
        EXPECT_LE(d.bytes.size(), 4u + 400u);  // never padded into a short success
    }
}

TEST_F(AppleDoubleReaderTest, ResourceForkThatGrowsIsReadToItsRecordedLength) {
    const std::string rsrc = pattern(1000, 2);
    std::string f = buildAppleDouble({{2, rsrc + pattern(1000, 3)}});
    // The table says 1000 at initialize...
    putBE32(f, 26 + 8, 1000);
    make("data", f);
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(m_reader->getResourceSize(), 1000);
    // ...and 2000 afterwards.
    int fd = open(companionOf(m_path).c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const unsigned char len2000[4] = {0, 0, 0x07, 0xD0};
    ASSERT_EQ(pwrite(fd, len2000, 4, 26 + 8), 4);
    close(fd);
    Drained d = drain(*m_reader, 4096);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bytes.size(), 4u + 1000u + 92u);
    EXPECT_TRUE(d.bytes.substr(4, 1000) == rsrc);
    EXPECT_EQ(d.bytes.substr(1004), std::string(92, '\0'));
}

TEST_F(AppleDoubleReaderTest, LengthAboveIntMaxIsABadFile) {
    make("data", buildAppleDouble({{2, "abc", -1, 0x80000000LL}, {9, pattern(32, 1)}}));
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(m_reader->getResourceSize(), 0);
    errno = 0;
    EXPECT_EQ(m_reader->getAppleDoubleSize(HFS_RESOURCE_FORK, m_reader->GetResourceFileHandle()), -1);
    EXPECT_EQ(errno, EINVAL);
    expectItem("data" + std::string(60, '\0') + pattern(32, 1));
}

TEST_F(AppleDoubleReaderTest, DataForkIsCappedAtTheDataSize) {
    const std::string data = pattern(3000, 1);
    make(data, buildAppleDouble({{2, "RSRC"}}));
    ASSERT_EQ(init(), 0);
    // The file grows after the stat: the grown bytes are not sent, the
    // resource fork follows at exactly the data size.
    int fd = open(m_path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "GROWN", 5), 5);
    close(fd);
    Drained d = drain(*m_reader, 4096);
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(d.bytes == data + "RSRC" + std::string(92, '\0'));
    EXPECT_EQ(d.calls, 5);  // data, resource, properties, Finder information, the end
}

TEST_F(AppleDoubleReaderTest, DataForkThatShrankFailsTheItem) {
    make(pattern(3000, 1), buildAppleDouble({{2, "RSRC"}}));
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(truncate(m_path.c_str(), 1000), 0);
    Drained d = drain(*m_reader, 4096);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.err, ENODATA);
    EXPECT_EQ(d.bytes.size(), 1000u);
}

TEST_F(AppleDoubleReaderTest, NoSeekingOutOfTheDataFork) {
    const std::string data = pattern(3000, 1);
    make(data, buildAppleDouble({{2, "RSRC"}}));
    ASSERT_EQ(init(), 0);
    ASSERT_TRUE(m_reader->canSeek());
    errno = 0;
    EXPECT_EQ(m_reader->seek(3001, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(m_reader->GetPosition(), 0);
    EXPECT_EQ(m_reader->seek(2000, SEEK_SET), 2000);
    std::string buf(5000, '\0');
    ASSERT_EQ(m_reader->read(&buf[0], buf.size()), 1000);
    EXPECT_TRUE(buf.substr(0, 1000) == data.substr(2000));
    EXPECT_FALSE(m_reader->IsAppleDoubleReadStarted());
    ASSERT_EQ(m_reader->read(&buf[0], 2), 2);
    EXPECT_TRUE(m_reader->IsAppleDoubleReadStarted());
    EXPECT_FALSE(m_reader->canSeek());
    EXPECT_EQ(m_reader->GetAppleDoubleProgress(), 2);
    errno = 0;
    EXPECT_EQ(m_reader->seek(0, SEEK_SET), -1);
    EXPECT_EQ(errno, ENOSYS);
}

// Under O_DIRECT the capped tail is read with an aligned length into the
// caller's aligned buffer and trimmed.
TEST_F(AppleDoubleReaderTest, DirectIOTailIsReadAlignedAndTrimmed) {
    KXPlatformInfo::setValue("FileSystemAgent", "nUseDirectIO", "1");
    auto ctx = std::make_shared<CFileReaderContext>();
    ctx->InitHSM();
    auto r = CFileReaderFactory::CreateFileReader(FILE_READER_STANDARD, ctx);
    const std::string data = pattern(10000, 1);
    make(data, buildAppleDouble({{2, "RSRC"}}));
    struct stat st = lstatOf(m_path);
    ASSERT_EQ(r->initialize(m_path.c_str(), &st, true, false), 0);
    if (!r->IsUsingDirectIO())
        GTEST_SKIP() << "O_DIRECT refused on /tmp";
    void* p = nullptr;
    ASSERT_EQ(posix_memalign(&p, 4096, 65536), 0);
    std::unique_ptr<void, void (*)(void*)> hold(p, free);
    char* buf = static_cast<char*>(p);
    ASSERT_EQ(r->read(buf, 65536), 10000);
    EXPECT_TRUE(std::string(buf, 10000) == data);
    EXPECT_TRUE(r->IsUsingDirectIO());  // the tail did not need a fallback
    ASSERT_EQ(r->read(buf, 65536), 4);
    EXPECT_EQ(std::string(buf, 4), "RSRC");

    // A buffer too small for the rounded tail reads it without O_DIRECT.
    ASSERT_EQ(r->initialize(m_path.c_str(), &st, true, false), 0);
    ASSERT_TRUE(r->IsUsingDirectIO());
    ASSERT_EQ(r->read(buf, 8192), 8192);
    ASSERT_EQ(r->read(buf, 4000), 1808);
    EXPECT_TRUE(std::string(buf, 1808) == data.substr(8192));
    EXPECT_FALSE(r->IsUsingDirectIO());
    ASSERT_EQ(r->read(buf, 4000), 4);
}

TEST_F(AppleDoubleReaderTest, CompanionThatIsNotARegularFileIsIgnored) {
    writeFile(m_path, "data");
    alarm(20);
    ASSERT_EQ(mkfifo(companionOf(m_path).c_str(), 0644), 0);
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(m_reader->isHFS(), 0u);
    EXPECT_EQ(drain(*m_reader, 4096).bytes, "data");
    unlink(companionOf(m_path).c_str());

    // A link to a real companion is not a companion either.
    writeFile(m_dir / "real", buildAppleDouble({{2, "RSRC"}}));
    ASSERT_EQ(symlink("real", companionOf(m_path).c_str()), 0);
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(m_reader->isHFS(), 0u);
    EXPECT_EQ(m_reader->getTotalSize(), 4);
    EXPECT_EQ(drain(*m_reader, 4096).bytes, "data");
    alarm(0);
}

TEST_F(AppleDoubleReaderTest, NoCompanionLookupWithoutTheHFSFlag) {
    make("data", buildAppleDouble({{2, "RSRC"}}));
    ASSERT_EQ(init(false), 0);
    EXPECT_EQ(m_reader->isHFS(), 0u);
    EXPECT_EQ(m_reader->getTotalSize(), 4);
    EXPECT_EQ(drain(*m_reader, 4096).bytes, "data");
}

TEST_F(AppleDoubleReaderTest, ClosedCompanionHandleIsReopenedOnce) {
    const std::string rsrc = pattern(500, 2);
    make("data", buildAppleDouble({{2, rsrc}, {9, pattern(32, 3)}}));
    ASSERT_EQ(init(), 0);
    char buf[100];
    ASSERT_EQ(m_reader->read(buf, sizeof buf), 4);
    close(m_reader->GetResourceFileHandle());  // someone closed it behind our back
    log();
    KxLog::SetLevel(0);
    Drained d = drain(*m_reader, 100);
    ASSERT_TRUE(d.ok) << strerror(d.err);
    EXPECT_TRUE(d.bytes == rsrc + std::string(60, '\0') + pattern(32, 3));
    EXPECT_NE(log().find("ApleDouble resource handle is invalidated. Reopened the handle again"), std::string::npos);

    // Once per item only.
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(m_reader->read(buf, sizeof buf), 4);
    close(m_reader->GetResourceFileHandle());
    ASSERT_EQ(m_reader->read(buf, 10), 10);
    close(m_reader->GetResourceFileHandle());
    EXPECT_EQ(m_reader->read(buf, 10), -1);
}

// A companion handle number that now belongs to another file is neither
// read nor closed by the reader.
TEST_F(AppleDoubleReaderTest, ReusedCompanionHandleNumberIsLeftToItsOwner) {
    const std::string rsrc = pattern(500, 2);
    make("data", buildAppleDouble({{2, rsrc}}));
    writeFile(m_dir / "other", buildAppleDouble({{2, pattern(500, 9)}}));
    ASSERT_EQ(init(), 0);
    char buf[100];
    ASSERT_EQ(m_reader->read(buf, sizeof buf), 4);
    const int old = m_reader->GetResourceFileHandle();
    int other = open((m_dir / "other").c_str(), O_RDONLY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(dup2(other, old), old);  // the number now names another file
    close(other);
    Drained d = drain(*m_reader, 100);
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(d.bytes.substr(0, 500) == rsrc);
    m_reader->closeFile();
    EXPECT_GE(fcntl(old, F_GETFD), 0);  // still open: it is not the reader's
    close(old);
}

TEST_F(AppleDoubleReaderTest, QueriesOnAHandleDirectly) {
    const std::string f = buildAppleDouble({{9, pattern(32, 1)}, {2, "0123456789"}});
    writeFile(m_dir / "ad", f);
    int fd = open((m_dir / "ad").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(m_reader->getAppleDoubleSize(HFS_RESOURCE_FORK, fd), 10);
    EXPECT_EQ(m_reader->getAppleDoubleSize(HFS_FINDER_INFO, fd), 32);
    EXPECT_EQ(m_reader->getAppleDoubleSize(HFS_PROPERTIES, fd), -2);
    char buf[16] = {0};
    EXPECT_EQ(m_reader->readAppleDouble(HFS_RESOURCE_FORK, fd, 3, buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "3456");
    EXPECT_EQ(m_reader->readAppleDouble(HFS_RESOURCE_FORK, fd, 8, buf, 16), 2);
    EXPECT_EQ(m_reader->readAppleDouble(HFS_RESOURCE_FORK, fd, 10, buf, 16), 0);
    EXPECT_EQ(m_reader->readAppleDouble(HFS_RESOURCE_FORK, fd, 100, buf, 16), 0);
    EXPECT_EQ(m_reader->readAppleDouble(HFS_PROPERTIES, fd, 0, buf, 16), -1);
    close(fd);
}

TEST_F(AppleDoubleReaderTest, DebugHookLogsTheTable) {
    writeFile(m_hooks / "DebugAppleDouble.HOOK", "");
    auto ctx = std::make_shared<CFileReaderContext>();
    ASSERT_TRUE(ctx->DebugAppleDouble());
    auto r = CFileReaderFactory::CreateFileReader(FILE_READER_STANDARD, ctx);
    make("data", buildAppleDouble({{2, "RSRC"}}));
    KxLog::SetLevel(0);
    log();
    struct stat st = lstatOf(m_path);
    ASSERT_EQ(r->initialize(m_path.c_str(), &st, true, false), 0);
    ASSERT_TRUE(drain(*r, 4096).ok);
    std::string text = log();
    EXPECT_NE(text.find("entries_count:1"), std::string::npos);
    EXPECT_NE(text.find("entries_info[0]:2:38:4"), std::string::npos);
    EXPECT_NE(text.find("will read fork data"), std::string::npos);
    EXPECT_NE(text.find("will read HFS Properties"), std::string::npos);
    EXPECT_NE(text.find("m_oHFSHdr.data_size:4 isHFS:17 rsrc_size:4"), std::string::npos);
}

}  // namespace
