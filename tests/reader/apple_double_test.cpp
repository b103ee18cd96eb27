#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ReaderTestUtil.h"
#include "reader/AppleDouble.h"

using namespace readertest;

namespace {

const uint32_t kProps = 0x80000001u;
const std::string Z60(60, '\0'), Z92(92, '\0');

const unsigned char* bytesOf(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// ----------------------------------------------------------------- parser

TEST(AppleDoubleParseTest, BigEndianFieldsByHand) {
    // count 1; entry id 0x80000001, offset 0x00000102, length 0x0000003C.
    const unsigned char raw[] = {0, 5, 0x16, 7, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 0x00, 0x01, 0x80, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x3C};
    AppleDouble ad;
    ASSERT_EQ(ad.Parse(raw, sizeof raw), AppleDouble::kOk);
    ASSERT_EQ(ad.Entries().size(), 1u);
    EXPECT_EQ(ad.Entries()[0].id, kProps);
    EXPECT_EQ(ad.Entries()[0].offset, 0x102u);
    EXPECT_EQ(ad.Entries()[0].length, 60u);
}

TEST(AppleDoubleParseTest, Results) {
    const std::string two = buildAppleDouble({{2, "abc"}, {9, "def"}, {2, "second"}});
    std::vector<ADEntry> many(65535, ADEntry{7, ""});
    many.back().id = 2;
    const std::string big = buildAppleDouble(many);
    struct Case {
        const std::string* file;
        size_t size;
        unsigned limit;
        AppleDouble::Result result;
        uint32_t rsrcLength;  // of the first entry 2 when kOk
    } cases[] = {
        {&two, two.size(), 0xFFFF, AppleDouble::kOk, 3},       // first of an id wins
        {&two, 26 + 36, 0xFFFF, AppleDouble::kOk, 3},          // the table is all it needs
        {&two, 25, 0xFFFF, AppleDouble::kNoHeader, 0},
        {&two, 26 + 35, 0xFFFF, AppleDouble::kNoEntries, 0},
        {&big, big.size(), 0xFFFF, AppleDouble::kOk, 0},       // the largest count, on the heap
        {&big, big.size(), AppleDouble::kMaxEntries, AppleDouble::kTooMany, 0},
        {&big, 26 + 100, 0xFFFF, AppleDouble::kNoEntries, 0},  // never read past the bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.file->size()) + " cut to " + std::to_string(c.size));
        AppleDouble ad;
        std::string cut = c.file->substr(0, c.size);  // ASan sees any read past it
        EXPECT_EQ(ad.Parse(bytesOf(cut), cut.size(), c.limit), c.result);
        if (c.result != AppleDouble::kOk) {
            EXPECT_TRUE(ad.Entries().empty());
        } else if (c.rsrcLength) {
            ASSERT_NE(ad.Find(2), nullptr);
            EXPECT_EQ(ad.Find(2)->length, c.rsrcLength);
            EXPECT_EQ(c.file->substr(ad.Find(2)->offset, 3), "abc");
        } else {
            EXPECT_EQ(ad.Entries().size(), 65535u);
            EXPECT_NE(ad.Find(2), nullptr);
        }
    }
    AppleDouble ad;
    EXPECT_EQ(ad.Parse(nullptr, 0), AppleDouble::kNoHeader);
}

// ------------------------------------------------------- through the reader

class AppleDoubleReaderTest : public ReaderTestBase {
protected:
    void SetUp() override {
        ReaderTestBase::SetUp();
        m_reader = reader(context());
        m_path = m_dir / "item";
    }
    void make(const std::string& data, const std::string& companion) {
        writeFile(m_path, data);
        writeFile(companionOf(m_path), companion);
    }
    int init(bool hfs = true) { return ReaderTestBase::init(*m_reader, m_path, hfs); }

    std::shared_ptr<CFileReader> m_reader;
    std::string m_path;
};

std::vector<ADEntry> entries17() {
    std::vector<ADEntry> e;
    for (uint32_t i = 0; i < 14; ++i)
        e.push_back({100 + i, "x"});
    e.push_back({2, "resource"});
    e.push_back({kProps, pattern(60, 3)});
    e.push_back({9, pattern(32, 4)});
    return e;
}

std::vector<ADEntry> entries1025() {
    std::vector<ADEntry> e(1022, ADEntry{50, "y"});
    e.push_back({2, "resource"});
    e.push_back({kProps, pattern(60, 3)});
    e.push_back({9, pattern(32, 4)});
    return e;
}

std::string truncatedTable() {
    std::string f = buildAppleDouble({{2, "resource"}, {9, pattern(32, 1)}}, 5);  // count says 5
    f.resize(26 + 12 * 2);
    return f;
}

std::string truncatedFork() {
    std::string f = buildAppleDouble({{2, pattern(1000, 2)}});  // the table promises 1000 bytes
    f.resize(f.size() - 600);
    return f;
}

// Each companion is read with every buffer size: the item yields exactly
// `expect` (data, resource fork, 92-byte block) or fails with `err`.
TEST_F(AppleDoubleReaderTest, ItemStreams) {
    const std::string data = pattern(777, 4), rsrc = pattern(300, 5), props = pattern(60, 6), finder = pattern(32, 7);
    struct Case {
        const char* name;
        std::string data, companion;
        uint32_t isHFS;
        long long rsrcSize;
        std::string expect;
        int err = 0;
        const char* logText = nullptr;
    } cases[] = {
        {"no properties entry", data, buildAppleDouble({{2, rsrc}, {9, finder}}), 0x11, 300, data + rsrc + Z60 + finder},
        {"shuffled table", data, buildAppleDouble({{9, finder}, {3, "name"}, {kProps, props}, {2, rsrc}}), 0x1, 300,
         data + rsrc + props + finder},
        {"duplicate ids", data, buildAppleDouble({{2, "first"}, {9, finder}, {2, "second one"}, {9, props}}), 0x11, 5,
         data + "first" + Z60 + finder},
        {"empty data, no fork", "", buildAppleDouble({{kProps, props}, {9, finder}}), 0x1, 0, props + finder},
        {"short HFS entries", "d", buildAppleDouble({{kProps, "short props"}, {9, "tiny"}, {2, "R"}}), 0x1, 1,
         "dR" + std::string("short props") + std::string(49, '\0') + "tiny" + std::string(28, '\0')},
        {"17 entries", "data", buildAppleDouble(entries17()), 0x1, 8, "data" + std::string("resource") + pattern(60, 3) +
         pattern(32, 4), 0, "The apple double include unexpected large number (17) of entries."},
        {"1025 entries", "data", buildAppleDouble(entries1025()), 0x1, 0, "data" + pattern(60, 3) + pattern(32, 4), 0,
         "This number is too high to proceed with this file ("},
        {"truncated table", "abc", truncatedTable(), 0x1, 0, "abc" + Z92},
        {"no header", "abc", std::string(20, 'h'), 0x1, 0, "abc" + Z92, 0, "no header data in AppleDouble file"},
        {"length above INT_MAX", "data", buildAppleDouble({{2, "abc", -1, 0x80000000LL}, {9, finder}}), 0x11, 0,
         "data" + Z60 + finder},
        {"fork at offset 0", "data", buildAppleDouble({{2, "resource", 0}, {9, finder}}), 0x11, 8, "data", EINVAL,
         "invalid offset for entry"},
        {"truncated fork", "data", truncatedFork(), 0x11, 1000, "data" + pattern(1000, 2).substr(0, 400), EINVAL,
         "Detected invalid format of the AppleDouble file "},
    };
    KxLog::SetLevel(0);
    for (const Case& c : cases) {
        make(c.data, c.companion);
        for (size_t bs : {1, 7, 59, 60, 61, 4096}) {
            SCOPED_TRACE(std::string(c.name) + ", buffer " + std::to_string(bs));
            log();
            ASSERT_EQ(init(), 0) << strerror(errno);
            EXPECT_EQ(m_reader->isHFS(), c.isHFS);
            EXPECT_EQ(m_reader->getResourceSize(), c.rsrcSize);
            EXPECT_EQ(m_reader->getTotalSize(), static_cast<long long>(c.data.size()) + c.rsrcSize + 92);
            Drained d = drain(*m_reader, bs);
            const std::string text = log();
            if (c.logText) {
                EXPECT_NE(text.find(c.logText), std::string::npos);
            }
            if (c.err) {
                EXPECT_FALSE(d.ok);
                EXPECT_EQ(d.err, c.err);
                EXPECT_LE(d.bytes.size(), c.expect.size());  // never padded into a success
                EXPECT_EQ(d.bytes, c.expect.substr(0, d.bytes.size()));
                continue;
            }
            ASSERT_TRUE(d.ok) << strerror(d.err);
            EXPECT_TRUE(d.bytes == c.expect) << d.bytes.size() << " bytes, not " << c.expect.size();
            char one;
            EXPECT_EQ(m_reader->read(&one, 1), 0);
            EXPECT_EQ(m_reader->GetResourceFileHandle(), -1);  // closed at the end
        }
    }
}

TEST_F(AppleDoubleReaderTest, ForkAndDataKeepTheirRecordedLengths) {
    // The resource fork grows after initialize: it is read to its old length.
    const std::string rsrc = pattern(1000, 2);
    std::string f = buildAppleDouble({{2, rsrc + pattern(1000, 3)}});
    putBE32(f, 26 + 8, 1000);
    make("data", f);
    ASSERT_EQ(init(), 0);
    int fd = open(companionOf(m_path).c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    putBE32(f, 26 + 8, 2000);
    ASSERT_EQ(pwrite(fd, f.data() + 26 + 8, 4, 26 + 8), 4);
    close(fd);
    Drained d = drain(*m_reader, 4096);
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(d.bytes == "data" + rsrc + Z92);

    // The data fork grows: the grown bytes are not sent; it shrinks: the item fails.
    const std::string data = pattern(3000, 1);
    make(data, buildAppleDouble({{2, "RSRC"}}));
    ASSERT_EQ(init(), 0);
    fd = open(m_path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(write(fd, "GROWN", 5), 5);
    close(fd);
    d = drain(*m_reader, 4096);
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(d.bytes == data + "RSRC" + Z92);
    EXPECT_EQ(d.calls, 5);  // data, resource, properties, Finder information, the end
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(truncate(m_path.c_str(), 1000), 0);
    d = drain(*m_reader, 4096);
    EXPECT_EQ(d.err, ENODATA);
    EXPECT_EQ(d.bytes.size(), 1000u);
}

TEST_F(AppleDoubleReaderTest, NoSeekingOutOfTheDataFork) {
    const std::string data = pattern(3000, 1);
    make(data, buildAppleDouble({{2, "RSRC"}}));
    ASSERT_EQ(init(), 0);
    errno = 0;
    EXPECT_EQ(m_reader->seek(3001, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(m_reader->GetPosition(), 0);
    EXPECT_EQ(m_reader->seek(2000, SEEK_SET), 2000);
    std::string buf(5000, '\0');
    ASSERT_EQ(m_reader->read(&buf[0], buf.size()), 1000);
    EXPECT_TRUE(buf.substr(0, 1000) == data.substr(2000));
    EXPECT_TRUE(m_reader->canSeek());
    ASSERT_EQ(m_reader->read(&buf[0], 2), 2);
    EXPECT_FALSE(m_reader->canSeek());
    EXPECT_EQ(m_reader->GetAppleDoubleProgress(), 2);
    errno = 0;
    EXPECT_EQ(m_reader->seek(0, SEEK_SET), -1);
    EXPECT_EQ(errno, ENOSYS);
}

// Under O_DIRECT the capped tail is read with an aligned length into the
// caller's aligned buffer and trimmed; a buffer too small for the rounded
// tail reads it without O_DIRECT.
TEST_F(AppleDoubleReaderTest, DirectIOTailIsReadAlignedAndTrimmed) {
    KXPlatformInfo::setValue("FileSystemAgent", "nUseDirectIO", "1");
    auto r = reader(context());
    const std::string data = pattern(10000, 1);
    make(data, buildAppleDouble({{2, "RSRC"}}));
    ASSERT_EQ(ReaderTestBase::init(*r, m_path, true), 0);
    if (!r->IsUsingDirectIO())
        GTEST_SKIP() << "O_DIRECT refused here";
    void* p = nullptr;
    ASSERT_EQ(posix_memalign(&p, 4096, 65536), 0);
    std::unique_ptr<void, void (*)(void*)> hold(p, free);
    char* buf = static_cast<char*>(p);
    ASSERT_EQ(r->read(buf, 65536), 10000);
    EXPECT_TRUE(std::string(buf, 10000) == data);
    EXPECT_TRUE(r->IsUsingDirectIO());
    ASSERT_EQ(r->read(buf, 65536), 4);
    EXPECT_EQ(std::string(buf, 4), "RSRC");

    ASSERT_EQ(ReaderTestBase::init(*r, m_path, true), 0);
    ASSERT_EQ(r->read(buf, 8192), 8192);
    ASSERT_EQ(r->read(buf, 4000), 1808);
    EXPECT_TRUE(std::string(buf, 1808) == data.substr(8192));
    EXPECT_FALSE(r->IsUsingDirectIO());
}

// Only a regular file is a companion, and only when Mac properties are asked.
TEST_F(AppleDoubleReaderTest, WhatIsNoCompanion) {
    writeFile(m_path, "data");
    writeFile(m_dir / "real", buildAppleDouble({{2, "RSRC"}}));
    alarm(20);
    ASSERT_EQ(mkfifo(companionOf(m_path).c_str(), 0644), 0);
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(m_reader->isHFS(), 0u);
    EXPECT_EQ(drain(*m_reader, 4096).bytes, "data");
    unlink(companionOf(m_path).c_str());
    ASSERT_EQ(symlink("real", companionOf(m_path).c_str()), 0);
    for (bool hfs : {true, false}) {
        ASSERT_EQ(init(hfs), 0);
        EXPECT_EQ(m_reader->isHFS(), 0u);
        EXPECT_EQ(drain(*m_reader, 4096).bytes, "data");
        unlink(companionOf(m_path).c_str());
        writeFile(companionOf(m_path), buildAppleDouble({{2, "RSRC"}}));
    }
    alarm(0);
}

// A companion handle closed behind the reader's back is reopened once per
// item; a handle number that now names another file is neither read nor
// closed by the reader.
TEST_F(AppleDoubleReaderTest, LostCompanionHandle) {
    const std::string rsrc = pattern(500, 2);
    make("data", buildAppleDouble({{2, rsrc}, {9, pattern(32, 3)}}));
    KxLog::SetLevel(0);
    char buf[100];
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(m_reader->read(buf, sizeof buf), 4);
    close(m_reader->GetResourceFileHandle());
    log();
    Drained d = drain(*m_reader, 100);
    ASSERT_TRUE(d.ok) << strerror(d.err);
    EXPECT_TRUE(d.bytes == rsrc + Z60 + pattern(32, 3));
    EXPECT_NE(log().find("ApleDouble resource handle is invalidated. Reopened the handle again"), std::string::npos);

    ASSERT_EQ(init(), 0);
    ASSERT_EQ(m_reader->read(buf, sizeof buf), 4);
    close(m_reader->GetResourceFileHandle());
    ASSERT_EQ(m_reader->read(buf, 10), 10);
    close(m_reader->GetResourceFileHandle());
    EXPECT_EQ(m_reader->read(buf, 10), -1);  // once per item only

    writeFile(m_dir / "other", buildAppleDouble({{2, pattern(500, 9)}}));
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(m_reader->read(buf, sizeof buf), 4);
    const int old = m_reader->GetResourceFileHandle();
    int other = open((m_dir / "other").c_str(), O_RDONLY);
    ASSERT_EQ(dup2(other, old), old);
    close(other);
    d = drain(*m_reader, 100);
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(d.bytes.substr(0, 500) == rsrc);
    m_reader->closeFile();
    EXPECT_GE(fcntl(old, F_GETFD), 0);  // still open: it is not the reader's
    close(old);
}

}  // namespace
