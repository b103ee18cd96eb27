// End-to-end tests of the data loop: a real tree in a temporary directory,
// a collect file naming its items, the stream pass over the per-file object,
// and the records checked against the file system.
#include "ruxen/StreamBackupPass.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "errorpolicy/ErrorController.h"
#include "platform/ArchiveStreamReader.h"
#include "platform/CPipelayer.h"
#include "platform/FileNameEscape.h"
#include "platform/FileRecordSink.h"
#include "platform/HookFiles.h"
#include "platform/KXArchive.h"
#include "platform/KxLog.h"
#include "platform/MemoryRecordSink.h"
#include "platform/ZXHeaderByteOrder.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/ZXFileHeader.h"
#include "support/TestFiles.h"

namespace {

using testfiles::ReadWholeFile;
using testfiles::TempDir;
using testfiles::WriteWholeFile;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;

// ------------------------------------------------------------ file system

std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

// A sparse file of `size` bytes holding `pieces` (offset, bytes).
void WriteSparse(const std::string& path, uint64_t size,
                 const std::vector<std::pair<uint64_t, std::string>>& pieces) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(size)));
    for (const auto& p : pieces)
        ASSERT_EQ(static_cast<ssize_t>(p.second.size()),
                  pwrite(fd, p.second.data(), p.second.size(), static_cast<off_t>(p.first)));
    ASSERT_EQ(0, close(fd));
}

// Creates nested directories under `base` (by descriptor, so no call sees a
// path longer than one component) and a file at the end, so that the whole
// path is exactly `total` characters long. Answers the path.
std::string MakePathOfLength(const std::string& base, size_t total) {
    std::string p = base;
    int dfd = open(base.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd < 0)
        return std::string();
    char letter = 'a';
    while (total - p.size() > 202) {
        std::string comp(200, letter++);
        if (mkdirat(dfd, comp.c_str(), 0755) != 0 && errno != EEXIST) {
            close(dfd);
            return std::string();
        }
        int nfd = openat(dfd, comp.c_str(), O_RDONLY | O_DIRECTORY);
        close(dfd);
        if (nfd < 0)
            return std::string();
        dfd = nfd;
        p += "/" + comp;
    }
    std::string leaf(total - p.size() - 1, 'z');
    int fd = openat(dfd, leaf.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    close(dfd);
    if (fd < 0)
        return std::string();
    bool ok = write(fd, "long", 4) == 4;
    close(fd);
    return ok ? p + "/" + leaf : std::string();
}

// By default the error-report filter passes over items that vanished after
// the scan (ENOENT); tests that check how a missing item is reported turn
// that off for their duration.
class ReportMissingItems {
public:
    ReportMissingItems() {
        ErrorController::resetForTest();
        ErrorController::setIgnoreENOENT(false);
    }
    ~ReportMissingItems() { ErrorController::resetForTest(); }
};

// ------------------------------------------------------------ collect files

// Builds a collect file and remembers the offset of each line.
class Collect {
public:
    void Add(const std::string& path) {
        m_offsets[path] = m_text.size();
        m_text += ruxen::escapeFileName(path.c_str());
        m_text += '\n';
    }
    void AddRaw(const std::string& line) { m_text += line + "\n"; }
    uint64_t OffsetOf(const std::string& path) const { return m_offsets.at(path); }
    const std::string& Text() const { return m_text; }
    void Save(const std::string& path) const { WriteWholeFile(path, m_text); }

private:
    std::string m_text;
    std::map<std::string, uint64_t> m_offsets;
};

// ------------------------------------------------------------ records

struct Rec {
    uint32_t type;
    std::string bytes;
};

std::vector<Rec> RecordsOf(const MemoryRecordSink& sink) {
    std::vector<Rec> out;
    for (size_t i = 0; i < sink.RecordCount(); ++i)
        out.push_back(Rec{sink.RecordType(i), std::string(sink.RecordBytes(i))});
    return out;
}

std::vector<Rec> RecordsOfFile(const std::string& path) {
    std::vector<Rec> out;
    ArchiveStreamReader reader;
    EXPECT_TRUE(reader.OpenFile(path.c_str())) << reader.Error();
    ArchiveRecord r;
    ArchiveStreamReader::Status s;
    while ((s = reader.Next(&r)) == ArchiveStreamReader::kRecord) {
        const char* data = nullptr;
        size_t len = 0;
        EXPECT_TRUE(reader.ReadPayload(&data, &len)) << reader.Error();
        out.push_back(Rec{r.type, std::string(data, len)});
    }
    EXPECT_EQ(ArchiveStreamReader::kEnd, s) << reader.Error();
    return out;
}

// Decodes a header record as it came off the stream (1160 bytes, or the
// shorter pipeline-layer form).
ZXFileHeader DecodeHeader(const std::string& bytes) {
    ZXFileHeader h;
    memcpy(static_cast<void*>(&h), bytes.data(), std::min(bytes.size(), sizeof h));
    ConvertZXFileHeaderByteOrder(&h);
    return h;
}

// Checks that [pos, pos + len) of the file reads as zeros, without reading
// the parts the file system reports as holes.
void ExpectZeros(int fd, uint64_t pos, uint64_t len) {
    const uint64_t end = pos + len;
    std::vector<char> buf(kMiB);
    while (pos < end) {
        off_t data = lseek(fd, static_cast<off_t>(pos), SEEK_DATA);
        if (data < 0 || static_cast<uint64_t>(data) >= end)
            return;  // the rest is a hole, or beyond the file's end
        off_t hole = lseek(fd, data, SEEK_HOLE);
        uint64_t stop = hole < 0 ? end : std::min<uint64_t>(end, static_cast<uint64_t>(hole));
        for (uint64_t at = static_cast<uint64_t>(data); at < stop;) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), stop - at));
            ssize_t n = pread(fd, buf.data(), want, static_cast<off_t>(at));
            ASSERT_GT(n, 0) << "read at " << at;
            for (ssize_t i = 0; i < n; ++i)
                ASSERT_EQ(0, buf[static_cast<size_t>(i)]) << "hole record covers data at " << at + i;
            at += static_cast<uint64_t>(n);
        }
        pos = stop;
    }
}

// ------------------------------------------------------------ expectations

enum class Kind { kRegular, kSymlink, kOther, kFailed };

struct Item {
    std::string path;
    Kind kind;
    std::string linkTarget;
    struct stat st {};
};

struct ItemResult {
    uint64_t dataBytes = 0;
    uint64_t holeBytes = 0;
    std::vector<uint32_t> holeRecords;
    uint32_t endType = 0;
};

// Checks one item's records starting at recs[i] against the file system;
// advances i past its end-of-item record.
void CheckItem(const std::vector<Rec>& recs, size_t& i, const Item& item, uint64_t collectOffset,
               bool pipelayer, ItemResult* result) {
    SCOPED_TRACE(item.path);
    ASSERT_LT(i, recs.size());
    const Rec& hr = recs[i++];
    ASSERT_EQ(PL_FS_HEADER, hr.type);
    ZXFileHeader h = DecodeHeader(hr.bytes);
    if (pipelayer)
        EXPECT_EQ(std::min<size_t>(133 + h.h_namelen, ZX_HEADER_SIZE), hr.bytes.size());
    else
        ASSERT_EQ(ZX_HEADER_SIZE, hr.bytes.size());
    // Version and magic in network order on the wire.
    EXPECT_EQ(std::string("\0\0\0\x03\0\0\x50\xC0", 8), hr.bytes.substr(0, 8));

    const struct stat& st = item.st;
    EXPECT_EQ(ZX_HEADER_VERSION, h.h_version);
    EXPECT_EQ(ZX_HEADER_MAGIC, h.h_magic);
    EXPECT_EQ(static_cast<uint64_t>(st.st_mode), h.h_mode);
    EXPECT_EQ(static_cast<uint64_t>(st.st_uid), h.h_uid);
    EXPECT_EQ(static_cast<uint64_t>(st.st_gid), h.h_gid);
    EXPECT_EQ(static_cast<uint32_t>(st.st_nlink), h.h_nlink);
    EXPECT_EQ(static_cast<uint64_t>(st.st_mtime), h.h_mtime);
    EXPECT_EQ(static_cast<uint64_t>(st.st_ctime), h.h_ctime);
    EXPECT_EQ(static_cast<uint32_t>(st.st_atime), h.h_atime);
    EXPECT_EQ(static_cast<uint32_t>(st.st_dev), h.h_dev);
    EXPECT_EQ(static_cast<uint32_t>(static_cast<uint64_t>(st.st_ino) >> 32), h.h_ino_high);
    EXPECT_EQ(static_cast<uint32_t>(st.st_ino), h.h_ino_low);
    EXPECT_EQ(0u, h.h_reserved);
    EXPECT_EQ(0x2Fu, h.h_separator);
    EXPECT_EQ(ZX_HFLAG_SLASH_SEPARATOR | ZX_HFLAG_ALWAYS, h.h_flags);
    EXPECT_EQ(0u, h.portable_flags);
    EXPECT_EQ(0u, h.h_datasize);
    EXPECT_EQ(0, h.h_isHFS);
    EXPECT_EQ(collectOffset, h.h_collect_offset);
    EXPECT_EQ(item.path.size() + 1, h.h_namelen);
    EXPECT_EQ(item.path, std::string(h.h_filename));
    const bool notSparse = static_cast<uint64_t>(st.st_blocks) * 512 >= static_cast<uint64_t>(st.st_size);
    EXPECT_EQ(ZX_HDR_FLAG_SPARSE_TESTED | (notSparse ? ZX_HDR_FLAG_NOT_SPARSE : 0), h.h_platform_flags);

    switch (item.kind) {
    case Kind::kRegular: EXPECT_EQ(static_cast<uint64_t>(st.st_size), h.h_filesize); break;
    case Kind::kSymlink: EXPECT_EQ(item.linkTarget.size(), h.h_filesize); break;
    default: EXPECT_EQ(0u, h.h_filesize); break;
    }

    uint64_t pos = 0;
    int fd = -1;
    if (item.kind == Kind::kRegular) {
        fd = open(item.path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0) << strerror(errno);
    }
    std::string fileBytes;
    while (i < recs.size() && (recs[i].type == PL_FS_DATA || recs[i].type == PL_FS_HOLE)) {
        const Rec& r = recs[i++];
        ASSERT_EQ(Kind::kRegular, item.kind) << "data records for an item that is not a regular file";
        if (r.type == PL_FS_DATA) {
            ASSERT_GT(r.bytes.size(), 0u);
            fileBytes.resize(r.bytes.size());
            ssize_t n = pread(fd, &fileBytes[0], r.bytes.size(), static_cast<off_t>(pos));
            ASSERT_EQ(static_cast<ssize_t>(r.bytes.size()), n) << "data record past the file at " << pos;
            ASSERT_TRUE(fileBytes == r.bytes) << "data differs in the record at file offset " << pos;
            pos += r.bytes.size();
            if (result)
                result->dataBytes += r.bytes.size();
        } else {
            ASSERT_EQ(4u, r.bytes.size());
            uint32_t net;
            memcpy(&net, r.bytes.data(), 4);
            uint32_t n = ntohl(net);
            EXPECT_GT(n, 0u);
            EXPECT_LE(n, kMaxHoleRecordBytes);
            ASSERT_NO_FATAL_FAILURE(ExpectZeros(fd, pos, n));
            pos += n;
            if (result) {
                result->holeBytes += n;
                result->holeRecords.push_back(n);
            }
        }
    }
    if (fd >= 0)
        close(fd);
    ASSERT_LT(i, recs.size()) << "no end-of-item record";
    const Rec& e = recs[i++];
    ASSERT_TRUE(e.type == PL_FS_EOF || e.type == PL_FS_EOF_FAILED) << "record type " << e.type;
    if (result)
        result->endType = e.type;
    if (e.type == PL_FS_EOF && item.kind == Kind::kRegular) {
        EXPECT_EQ(static_cast<uint64_t>(st.st_size), pos) << "the item was not sent whole";
    }
    if (item.kind == Kind::kSymlink) {
        EXPECT_EQ(item.linkTarget + std::string(1, '\0'), e.bytes);
    } else {
        EXPECT_EQ(0u, e.bytes.size());
    }
}

// ------------------------------------------------------------ the tree

class StreamPassTree : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.path().empty());
        const TempDir& d = m_dir;
        m_small = d / "small";
        ASSERT_NO_FATAL_FAILURE(WriteWholeFile(m_small, Pattern(10000, 1)));
        m_empty = d / "empty";
        ASSERT_NO_FATAL_FAILURE(WriteWholeFile(m_empty, ""));
        m_sparse64 = d / "sparse64";
        ASSERT_NO_FATAL_FAILURE(WriteSparse(m_sparse64, 64 * kMiB,
                                            {{0, Pattern(64 * 1024, 2)}, {64 * kMiB - 64 * 1024, Pattern(64 * 1024, 3)}}));
        m_sparse5g = d / "sparse5g";
        ASSERT_NO_FATAL_FAILURE(WriteSparse(m_sparse5g, 5 * kGiB, {{0, Pattern(4096, 4)}}));
        m_link = d / "link";
        ASSERT_EQ(0, symlink("small", m_link.c_str()));
        m_dangling = d / "dangling";
        ASSERT_EQ(0, symlink("/nonexistent/target of a dangling link", m_dangling.c_str()));
        m_subdir = d / "subdir";
        ASSERT_EQ(0, mkdir(m_subdir.c_str(), 0755));
        m_fifo = d / "fifo";
        ASSERT_EQ(0, mkfifo(m_fifo.c_str(), 0644));
        m_weird = d / "we\nird%25name\r";
        ASSERT_NO_FATAL_FAILURE(WriteWholeFile(m_weird, Pattern(777, 5)));
        m_long = MakePathOfLength(d.path(), 1200);
        ASSERT_EQ(1200u, m_long.size());
        m_missing = d / "missing%file";

        // The 5 GiB file must not be read: without hole reporting the test
        // would read gigabytes of zeros.
        int fd = open(m_sparse5g.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        off_t hole = lseek(fd, 0, SEEK_HOLE);
        close(fd);
        if (hole != 4096)
            GTEST_SKIP() << "the file system does not report holes";

        for (const std::string& p : {m_small, m_empty, m_sparse64, m_sparse5g, m_link, m_dangling, m_subdir, m_fifo,
                                     m_weird, m_long, m_missing})
            m_collect.Add(p);
        m_collectPath = d / "collect.cvf";
        ASSERT_NO_FATAL_FAILURE(m_collect.Save(m_collectPath));
        m_failuresPath = d / "failures.txt";
    }

    // The items that are backed up, in collect order, with their stat taken
    // now (just before a pass).
    std::vector<Item> ExpectedItems() {
        std::vector<Item> items = {
            {m_small, Kind::kRegular, ""},        {m_empty, Kind::kRegular, ""},
            {m_sparse64, Kind::kRegular, ""},     {m_sparse5g, Kind::kRegular, ""},
            {m_link, Kind::kSymlink, "small"},    {m_dangling, Kind::kSymlink, "/nonexistent/target of a dangling link"},
            {m_subdir, Kind::kOther, ""},         {m_fifo, Kind::kOther, ""},
            {m_weird, Kind::kRegular, ""},
        };
        for (Item& it : items)
            EXPECT_EQ(0, lstat(it.path.c_str(), &it.st)) << it.path;
        return items;
    }

    enum class Transport { kArchiveMemory, kArchiveFile, kPipelayerMemory };

    struct RunResult {
        StreamBackupPass::Result result = StreamBackupPass::kStreamFailed;
        std::vector<Rec> recs;
        std::string failures;
        unsigned long long itemsSent = 0, failedItems = 0, dataBytes = 0, seen = 0;
        size_t outstanding = 0;
    };

    RunResult Run(Transport t) {
        RunResult rr;
        FILE* failures = fopen(m_failuresPath.c_str(), "w");
        EXPECT_NE(nullptr, failures);
        CollectFileReader reader;
        std::string error;
        EXPECT_TRUE(reader.Open(m_collectPath, &error)) << error;

        auto runWith = [&](RuxenFile& file) {
            StreamBackupPass pass(file, failures);
            rr.result = pass.RunDataLoop(reader);
            rr.seen = pass.ItemsSeen();
            rr.itemsSent = file.GetItemsSent();
            rr.failedItems = file.GetFailedItems();
            rr.dataBytes = file.GetDataBytesSent();
        };
        if (t == Transport::kArchiveFile) {
            const std::string archivePath = m_dir / "archive.rxpl";
            {
                FileRecordSink sink;
                EXPECT_EQ(0, sink.Open(archivePath.c_str()));
                KXArchive archive(&sink);
                RuxenFile file(&archive);
                runWith(file);
                rr.outstanding = sink.Outstanding();
                EXPECT_EQ(0, sink.Close());
            }
            rr.recs = RecordsOfFile(archivePath);
            unlink(archivePath.c_str());
        } else {
            MemoryRecordSink sink;
            if (t == Transport::kArchiveMemory) {
                KXArchive archive(&sink);
                RuxenFile file(&archive);
                runWith(file);
            } else {
                CPipelayer layer(&sink);
                RuxenFile file(&layer);
                runWith(file);
            }
            rr.outstanding = sink.Outstanding();
            rr.recs = RecordsOf(sink);
        }
        EXPECT_EQ(0, fclose(failures));
        rr.failures = ReadWholeFile(m_failuresPath);
        return rr;
    }

    void CheckRun(Transport t) {
        std::vector<Item> items = ExpectedItems();
        RunResult rr = Run(t);
        const bool pipelayer = t == Transport::kPipelayerMemory;
        EXPECT_EQ(StreamBackupPass::kCollectDone, rr.result);
        EXPECT_EQ(0u, rr.outstanding) << "buffers left with the sink";

        size_t i = 0;
        std::map<std::string, ItemResult> results;
        for (const Item& it : items) {
            ItemResult res;
            ASSERT_NO_FATAL_FAILURE(CheckItem(rr.recs, i, it, m_collect.OffsetOf(it.path), pipelayer, &res));
            EXPECT_EQ(PL_FS_EOF, res.endType) << it.path;
            results[it.path] = res;
        }
        EXPECT_EQ(rr.recs.size(), i) << "records after the last item";

        // Data sent: every byte of the small files, and only the data parts
        // of the sparse ones.
        EXPECT_EQ(10000u, results[m_small].dataBytes);
        EXPECT_EQ(0u, results[m_empty].dataBytes + results[m_empty].holeBytes);
        EXPECT_EQ(777u, results[m_weird].dataBytes);
        EXPECT_LT(results[m_sparse64].dataBytes, 4 * kMiB);
        EXPECT_GE(results[m_sparse64].holeRecords.size(), 1u);
        EXPECT_EQ(4096u, results[m_sparse5g].dataBytes);
        EXPECT_EQ(5 * kGiB - 4096, results[m_sparse5g].holeBytes);
        EXPECT_GE(results[m_sparse5g].holeRecords.size(), 2u) << "a hole over 4 GiB needs two records";

        uint64_t dataTotal = 0;
        for (const Rec& r : rr.recs)
            if (r.type == PL_FS_DATA)
                dataTotal += r.bytes.size();
        EXPECT_EQ(dataTotal, rr.dataBytes);
        EXPECT_EQ(9u, rr.itemsSent);
        EXPECT_EQ(2u, rr.failedItems);
        EXPECT_EQ(11u, rr.seen);

        // Failed items, in collect order: escaped path, ":", errno.
        EXPECT_EQ(m_long + ":" + std::to_string(ENAMETOOLONG) + "\n" + m_dir.path() + "/missing%25file:2\n",
                  rr.failures);
    }

    ReportMissingItems m_reportMissing;
    TempDir m_dir;
    std::string m_small, m_empty, m_sparse64, m_sparse5g, m_link, m_dangling, m_subdir, m_fifo, m_weird, m_long,
        m_missing;
    Collect m_collect;
    std::string m_collectPath, m_failuresPath;
};

TEST_F(StreamPassTree, ArchiveClientIntoMemory) {
    CheckRun(Transport::kArchiveMemory);
}

TEST_F(StreamPassTree, ArchiveClientIntoStreamFile) {
    CheckRun(Transport::kArchiveFile);
}

TEST_F(StreamPassTree, PipelineLayerSendsShortHeaders) {
    CheckRun(Transport::kPipelayerMemory);
}

// ------------------------------------------------------------ small runs

// One pass over an in-memory collect text, records kept in memory.
struct SmallRun {
    MemoryRecordSink sink;
    KXArchive archive{&sink};
    std::string failuresPath;
    FILE* failures = nullptr;

    explicit SmallRun(const TempDir& dir) : failuresPath(dir / "failures.txt") {
        failures = fopen(failuresPath.c_str(), "w");
    }
    ~SmallRun() {
        if (failures)
            fclose(failures);
    }
    StreamBackupPass::Result Pass(RuxenFile& file, const std::string& collectText) {
        CollectFileReader reader;
        reader.OpenMemory("collect", collectText);
        StreamBackupPass pass(file, failures);
        return pass.RunDataLoop(reader);
    }
    std::string Failures() {
        fflush(failures);
        return ReadWholeFile(failuresPath);
    }
    std::vector<uint32_t> Types() const {
        std::vector<uint32_t> t;
        for (size_t i = 0; i < sink.RecordCount(); ++i)
            t.push_back(sink.RecordType(i));
        return t;
    }
};

std::string CollectOf(const std::vector<std::string>& paths) {
    std::string s;
    for (const std::string& p : paths)
        s += ruxen::escapeFileName(p.c_str()) + "\n";
    return s;
}

Item StatItem(const std::string& path, Kind kind, const std::string& target = "") {
    Item it{path, kind, target};
    EXPECT_EQ(0, lstat(path.c_str(), &it.st)) << path;
    return it;
}

using V = std::vector<uint32_t>;

// A name of 1027 characters fills the header's name field with its NUL; its
// pipeline-layer record is the whole 1160 bytes. One character more does not
// fit and fails the item instead of being cut.
TEST(StreamPassNames, NameFieldBoundary) {
    TempDir dir;
    const std::string fits = MakePathOfLength(dir.path(), 1027);
    ASSERT_EQ(1027u, fits.size());
    TempDir dir2;
    const std::string over = MakePathOfLength(dir2.path(), 1028);
    ASSERT_EQ(1028u, over.size());

    SmallRun run(dir);
    CPipelayer layer(&run.sink);
    RuxenFile file(&layer);
    Item it = StatItem(fits, Kind::kRegular);
    EXPECT_EQ(StreamBackupPass::kCollectDone, run.Pass(file, CollectOf({fits, over})));
    std::vector<Rec> recs = RecordsOf(run.sink);
    ASSERT_EQ(3u, recs.size());
    EXPECT_EQ(ZX_HEADER_SIZE, recs[0].bytes.size());
    size_t i = 0;
    ASSERT_NO_FATAL_FAILURE(CheckItem(recs, i, it, 0, true, nullptr));
    EXPECT_EQ(over + ":" + std::to_string(ENAMETOOLONG) + "\n", run.Failures());
    EXPECT_EQ(1u, file.GetFailedItems());
    EXPECT_EQ(1u, file.GetItemsSent());
}

// ------------------------------------------------------------ failure state

// The failure of one item must not leak into the next: a stale failure code
// would make the pass treat the next item's own failure as already reported.
TEST(StreamPassFailureState, ResetWhenTheNextItemIsOpened) {
    ReportMissingItems reportMissing;
    TempDir dir;
    const std::string good = dir / "good";
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(good, Pattern(5000, 9)));
    const std::string missing = dir / "gone", missing2 = dir / "gone2";

    SmallRun run(dir);
    RuxenFile file(&run.archive);
    CollectFileReader reader;
    reader.OpenMemory("collect", CollectOf({missing, good, missing2}));

    EXPECT_EQ(-1, file.OpenFilesForBackup(reader, run.failures));
    EXPECT_EQ(ENOENT, file.GetFailureCode());
    EXPECT_FALSE(file.GetFailureReason().empty());

    EXPECT_EQ(0, file.OpenFilesForBackup(reader, run.failures));
    EXPECT_EQ(0, file.GetFailureCode());
    EXPECT_EQ("", file.GetFailureReason());
    EXPECT_FALSE(file.IsHeaderSent());
    ASSERT_EQ(0, file.PopulateHeader(nullptr, run.failures));
    ASSERT_EQ(0, file.SendHeader(run.failures));
    EXPECT_TRUE(file.IsHeaderSent());
    ASSERT_EQ(0, file.ReadAndSendFileData(run.failures));
    ASSERT_EQ(0, file.SendEndOfFileMessage(1));
    EXPECT_EQ(-1, file.OpenFilesForBackup(reader, run.failures));
    EXPECT_FALSE(file.IsHeaderSent()) << "the header-sent flag survived the item";
    EXPECT_EQ(1, file.OpenFilesForBackup(reader, run.failures));

    std::vector<Rec> recs = RecordsOf(run.sink);
    size_t i = 0;
    Item it = StatItem(good, Kind::kRegular);
    ASSERT_NO_FATAL_FAILURE(CheckItem(recs, i, it, missing.size() + 1, false, nullptr));
    EXPECT_EQ(recs.size(), i);
    EXPECT_EQ(missing + ":2\n" + missing2 + ":2\n", run.Failures());
}

// An item that vanished after the scan is passed over without a failure
// under the default filter; the stream goes on.
TEST(StreamPassFailureState, VanishedItemIsNotAFailureByDefault) {
    ErrorController::resetForTest();
    TempDir dir;
    const std::string good = dir / "good", missing = dir / "gone";
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(good, "data"));
    SmallRun run(dir);
    RuxenFile file(&run.archive);
    EXPECT_EQ(StreamBackupPass::kCollectDone, run.Pass(file, CollectOf({missing, good})));
    EXPECT_EQ((V{128, 2, 130}), run.Types());
    EXPECT_EQ("", run.Failures());
    EXPECT_EQ(0u, file.GetFailedItems());
    EXPECT_EQ(1u, file.GetItemsSent());
}

// A per-file object whose metadata step fails for chosen items.
class MetaFailFile : public RuxenFile {
public:
    using RuxenFile::RuxenFile;
    std::map<std::string, int> results;   // path -> result of the metadata step
    std::map<std::string, int> reported;  // path -> errno reported by the step itself
    int PrepareAndSendMetaData(FILE* failures) override {
        auto r = reported.find(GetRecordedPath());
        if (r != reported.end())
            ReportItemFailure(failures, GetRecordedPath().c_str(), r->second, "forced metadata failure");
        auto it = results.find(GetRecordedPath());
        return it == results.end() ? RuxenFile::PrepareAndSendMetaData(failures) : it->second;
    }
};

// A failed metadata step closes its item with a failed end-of-item record
// right after the header, reports it once, and the stream goes on.
TEST(StreamPassMetaData, ResultOneClosesTheItemAndGoesOn) {
    TempDir dir;
    const std::string a = dir / "a", b = dir / "b", c = dir / "c", l = dir / "l";
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(a, Pattern(3000, 1)));
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(b, Pattern(3000, 2)));
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(c, Pattern(3000, 3)));
    ASSERT_EQ(0, symlink("a", l.c_str()));

    SmallRun run(dir);
    MetaFailFile file(&run.archive);
    file.results[b] = 1;
    file.results[l] = -1;
    KxLog::StartCapture();
    EXPECT_EQ(StreamBackupPass::kCollectDone, run.Pass(file, CollectOf({a, b, l, c})));
    std::string log = KxLog::TakeCaptured();
    KxLog::StopCapture();

    EXPECT_EQ((V{128, 2, 130, 128, 134, 128, 134, 128, 2, 130}), run.Types());
    // A failed link still carries its target.
    EXPECT_EQ(std::string("a\0", 2), std::string(run.sink.RecordBytes(6)));
    EXPECT_EQ(0u, run.sink.RecordBytes(4).size());
    std::vector<Rec> recs = RecordsOf(run.sink);
    size_t i = 7;
    ASSERT_NO_FATAL_FAILURE(CheckItem(recs, i, StatItem(c, Kind::kRegular), 3 * (a.size() + 1), false, nullptr));

    EXPECT_EQ(b + ":" + std::to_string(EIO) + "\n" + l + ":" + std::to_string(EIO) + "\n", run.Failures());
    EXPECT_EQ(2u, file.GetFailedItems());
    EXPECT_EQ(2u, file.GetItemsSent());
    EXPECT_NE(std::string::npos, log.find("Failed to send meta-data for '" + b + "', continue backup with next file"));
    EXPECT_EQ(0u, run.sink.Outstanding());
}

// A metadata step that reported its own failure is not reported twice; the
// next item's unreported failure is reported, because the first item's
// failure code does not survive into it.
TEST(StreamPassMetaData, OwnReportIsNotRepeatedAndDoesNotLeak) {
    TempDir dir;
    const std::string a = dir / "a", b = dir / "b";
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(a, Pattern(100, 1)));
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(b, Pattern(100, 2)));

    SmallRun run(dir);
    MetaFailFile file(&run.archive);
    file.results[a] = 1;
    file.reported[a] = 77;
    file.results[b] = 1;
    EXPECT_EQ(StreamBackupPass::kCollectDone, run.Pass(file, CollectOf({a, b})));
    EXPECT_EQ((V{128, 134, 128, 134}), run.Types());
    EXPECT_EQ(a + ":77\n" + b + ":" + std::to_string(EIO) + "\n", run.Failures());
    EXPECT_EQ(2u, file.GetFailedItems());
}

TEST(StreamPassMetaData, ResultTwoFailsTheStream) {
    TempDir dir;
    const std::string a = dir / "a", b = dir / "b";
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(a, "aa"));
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(b, "bb"));

    SmallRun run(dir);
    MetaFailFile file(&run.archive);
    file.results[a] = 2;
    KxLog::StartCapture();
    EXPECT_EQ(StreamBackupPass::kStreamFailed, run.Pass(file, CollectOf({a, b})));
    std::string log = KxLog::TakeCaptured();
    KxLog::StopCapture();
    EXPECT_EQ((V{128}), run.Types());
    EXPECT_NE(std::string::npos, log.find("PrepareAndSendMetaData fail with FAIL_BACKUP"));
}

// ------------------------------------------------------------ injected faults

class StreamPassFaults : public ::testing::Test {
protected:
    void SetUp() override {
        m_small = m_dir / "small";
        ASSERT_NO_FATAL_FAILURE(WriteWholeFile(m_small, Pattern(3000, 7)));
        m_sparse = m_dir / "sparse";
        ASSERT_NO_FATAL_FAILURE(WriteSparse(m_sparse, 8 * kMiB, {{0, Pattern(8192, 8)}}));
    }
    TempDir m_dir;
    std::string m_small, m_sparse;
};

TEST_F(StreamPassFaults, CleanRunAllocatesThreeBuffersForASmallFile) {
    // The fault numbers below count on this.
    SmallRun run(m_dir);
    RuxenFile file(&run.archive);
    EXPECT_EQ(StreamBackupPass::kCollectDone, run.Pass(file, CollectOf({m_small})));
    EXPECT_EQ((V{128, 2, 130}), run.Types());
    EXPECT_EQ(3u, run.sink.AllocateCalls());
    EXPECT_EQ(3u, run.sink.WriteCalls());
}

struct WriteFault {
    const char* name;
    unsigned writeNumber;  // which write fails
    V recordsBefore;       // the records that made it
};
void PrintTo(const WriteFault& f, std::ostream* os) {
    *os << f.name;
}

class StreamPassWriteFaults : public StreamPassFaults, public ::testing::WithParamInterface<WriteFault> {};

// Header, data, hole and end-of-item writes: each failure fails the stream
// with the pipeline reason, and no buffer is left behind.
TEST_P(StreamPassWriteFaults, FailsTheStream) {
    const WriteFault& f = GetParam();
    SmallRun run(m_dir);
    RuxenFile file(&run.archive);
    run.sink.FailWrite(f.writeNumber);
    EXPECT_EQ(StreamBackupPass::kStreamFailed, run.Pass(file, CollectOf({m_sparse, m_small})));
    EXPECT_EQ(f.recordsBefore, run.Types());
    EXPECT_EQ(-1, file.GetFailureCode());
    EXPECT_EQ("pipeline error during send buffer -1", file.GetFailureReason());
    EXPECT_EQ(0u, run.sink.Outstanding());
    EXPECT_EQ(0u, file.GetItemsSent());
}

INSTANTIATE_TEST_SUITE_P(EachRecordKind, StreamPassWriteFaults,
                         ::testing::Values(WriteFault{"Header", 1, V{}}, WriteFault{"Data", 2, V{128}},
                                           WriteFault{"Hole", 3, V{128, 2}},
                                           WriteFault{"EndOfItem", 4, V{128, 2, 293}}),
                         [](const ::testing::TestParamInfo<WriteFault>& i) { return std::string(i.param.name); });

TEST_F(StreamPassFaults, PipelineLayerSendFailureStatus) {
    SmallRun run(m_dir);
    CPipelayer layer(&run.sink);
    RuxenFile file(&layer);
    run.sink.FailWrite(1);
    EXPECT_EQ(StreamBackupPass::kStreamFailed, run.Pass(file, CollectOf({m_small})));
    EXPECT_EQ(0u, run.sink.RecordCount());
    EXPECT_EQ(-1, file.GetFailureCode());
    EXPECT_EQ("pipeline error during send buffer " + std::to_string(kPipelineSendFailed), file.GetFailureReason());
    EXPECT_EQ(0u, run.sink.Outstanding());
}

// No buffer for the end-of-item record: the item cannot be closed, so the
// stream must fail rather than report its collect file done.
TEST_F(StreamPassFaults, NoBufferForEndOfItemFailsTheStream) {
    SmallRun run(m_dir);
    RuxenFile file(&run.archive);
    run.sink.FailAllocation(3);
    EXPECT_EQ(StreamBackupPass::kStreamFailed, run.Pass(file, CollectOf({m_small, m_small})));
    EXPECT_EQ((V{128, 2}), run.Types());
    EXPECT_EQ(0u, file.GetItemsSent());
    EXPECT_EQ(0u, run.sink.Outstanding());
}

TEST_F(StreamPassFaults, NoBufferForHeaderOrDataFailsTheStream) {
    for (unsigned n : {1u, 2u}) {
        SCOPED_TRACE(n);
        SmallRun run(m_dir);
        RuxenFile file(&run.archive);
        run.sink.FailAllocation(n);
        EXPECT_EQ(StreamBackupPass::kStreamFailed, run.Pass(file, CollectOf({m_small})));
        EXPECT_EQ(n == 1 ? V{} : V{128}, run.Types());
        EXPECT_EQ(0u, run.sink.Outstanding());
    }
}

// A collect file that cannot be read fails the stream.
TEST_F(StreamPassFaults, UnreadableCollectFileFailsTheStream) {
    SmallRun run(m_dir);
    RuxenFile file(&run.archive);
    CollectFileReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(m_dir.path(), &error)) << error;  // a directory: reads fail
    StreamBackupPass pass(file, run.failures);
    EXPECT_EQ(StreamBackupPass::kStreamFailed, pass.RunDataLoop(reader));
    EXPECT_EQ(0u, run.sink.RecordCount());
}

// ------------------------------------------------------------ changing files

// A per-file object that changes its item between header and data.
class ChangingFile : public RuxenFile {
public:
    using RuxenFile::RuxenFile;
    std::string target;
    long long truncateTo = -1;
    std::string append;
    int ReadAndSendFileData(FILE* failures) override {
        if (GetRecordedPath() == target) {
            int fd = open(target.c_str(), O_WRONLY);
            EXPECT_GE(fd, 0);
            if (truncateTo >= 0) {
                EXPECT_EQ(0, ftruncate(fd, static_cast<off_t>(truncateTo)));
            }
            if (!append.empty()) {
                struct stat st;
                EXPECT_EQ(0, fstat(fd, &st));
                EXPECT_EQ(static_cast<ssize_t>(append.size()), pwrite(fd, append.data(), append.size(), st.st_size));
            }
            close(fd);
            int r = RuxenFile::ReadAndSendFileData(failures);
            reason = GetFailureReason();
            return r;
        }
        return RuxenFile::ReadAndSendFileData(failures);
    }
    std::string reason;  // the target's failure reason after its data
};

struct Change {
    const char* name;
    bool sparse;
    long long truncateTo;
    size_t append;
};
void PrintTo(const Change& c, std::ostream* os) {
    *os << c.name;
}

class StreamPassChangingFile : public ::testing::TestWithParam<Change> {};

// A file that shrank between header and data fails (end-of-item 134 and a
// failures line); one that grew is cut at the size its header declared. The
// next item goes on either way.
TEST_P(StreamPassChangingFile, SizeDeclaredInTheHeaderIsKept) {
    const Change& c = GetParam();
    TempDir dir;
    const std::string path = dir / "changing", next = dir / "next";
    const uint64_t size = c.sparse ? 16 * kMiB : 100000;
    const std::string head = Pattern(c.sparse ? 65536 : 100000, 11);
    if (c.sparse) {
        ASSERT_NO_FATAL_FAILURE(WriteSparse(path, size, {{0, head}, {size - 4096, Pattern(4096, 12)}}));
    } else {
        ASSERT_NO_FATAL_FAILURE(WriteWholeFile(path, head));
    }
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(next, "next item"));

    SmallRun run(dir);
    ChangingFile file(&run.archive);
    file.target = path;
    file.truncateTo = c.truncateTo;
    file.append = Pattern(c.append, 13);
    EXPECT_EQ(StreamBackupPass::kCollectDone, run.Pass(file, CollectOf({path, next})));

    std::vector<Rec> recs = RecordsOf(run.sink);
    ASSERT_GE(recs.size(), 2u);
    ZXFileHeader h = DecodeHeader(recs[0].bytes);
    EXPECT_EQ(size, h.h_filesize);
    uint64_t sent = 0;
    size_t i = 1;
    std::string data;
    for (; i < recs.size() && (recs[i].type == PL_FS_DATA || recs[i].type == PL_FS_HOLE); ++i) {
        if (recs[i].type == PL_FS_DATA) {
            if (sent < head.size())
                data += recs[i].bytes;
            sent += recs[i].bytes.size();
        } else {
            uint32_t net;
            memcpy(&net, recs[i].bytes.data(), 4);
            sent += ntohl(net);
        }
    }
    ASSERT_LT(i, recs.size());
    EXPECT_EQ(0, memcmp(data.data(), head.data(), std::min(data.size(), head.size())));
    if (c.truncateTo >= 0) {
        EXPECT_EQ(PL_FS_EOF_FAILED, recs[i].type);
        EXPECT_EQ(path + ":" + std::to_string(ENODATA) + "\n", run.Failures());
        EXPECT_NE(std::string::npos, file.reason.find("file shrank during backup: " + std::to_string(c.truncateTo) +
                                                       " of " + std::to_string(size) + " bytes read"))
            << file.reason;
        EXPECT_EQ(1u, file.GetFailedItems());
        EXPECT_EQ(1u, file.GetItemsSent());
    } else {
        EXPECT_EQ(PL_FS_EOF, recs[i].type);
        EXPECT_EQ(size, sent) << "bytes sent must match the declared size";
        EXPECT_EQ("", run.Failures());
        EXPECT_EQ(2u, file.GetItemsSent());
    }
    // The next item is whole.
    ++i;
    ASSERT_NO_FATAL_FAILURE(
        CheckItem(recs, i, StatItem(next, Kind::kRegular), ruxen::escapeFileName(path.c_str()).size() + 1, false, nullptr));
    EXPECT_EQ(recs.size(), i);
}

INSTANTIATE_TEST_SUITE_P(Changes, StreamPassChangingFile,
                         ::testing::Values(Change{"ShrankPlain", false, 30000, 0}, Change{"ShrankToZero", false, 0, 0},
                                           Change{"ShrankSparse", true, 1 << 20, 0},
                                           Change{"GrewPlain", false, -1, 5000},
                                           Change{"GrewSparse", true, -1, 70000}),
                         [](const ::testing::TestParamInfo<Change>& i) { return std::string(i.param.name); });

// ------------------------------------------------------------ do not send

class StreamPassDoNotSend : public ::testing::Test {
protected:
    void TearDown() override {
        unlink((m_dir / "hooks/KX.ruxen.do.not.send").c_str());
        HookFiles::SetDirectoryForTest("");
    }
    TempDir m_dir;
};

// With the do-not-send hook file present nothing reaches the sink, yet every
// item goes through and the pass succeeds.
TEST_F(StreamPassDoNotSend, NothingIsWrittenAndThePassSucceeds) {
    ReportMissingItems reportMissing;
    const std::string hooks = m_dir / "hooks";
    ASSERT_EQ(0, mkdir(hooks.c_str(), 0755));
    HookFiles::SetDirectoryForTest(hooks);
    const std::string small = m_dir / "small", sparse = m_dir / "sparse", link = m_dir / "link";
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(small, Pattern(3 * kMiB, 1)));
    ASSERT_NO_FATAL_FAILURE(WriteSparse(sparse, 64 * kMiB, {{32 * kMiB, Pattern(4096, 2)}}));
    ASSERT_EQ(0, symlink("small", link.c_str()));

    {
        SmallRun run(m_dir);
        RuxenFile file(&run.archive);
        file.initSendFlag();
        EXPECT_TRUE(file.IsSendOn()) << "no hook file yet";
    }
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(hooks + "/KX.ruxen.do.not.send", ""));
    SmallRun run(m_dir);
    RuxenFile file(&run.archive);
    file.initSendFlag();
    EXPECT_FALSE(file.IsSendOn());
    EXPECT_EQ(StreamBackupPass::kCollectDone, run.Pass(file, CollectOf({small, sparse, link, m_dir / "gone"})));
    EXPECT_EQ(0u, run.sink.RecordCount());
    EXPECT_EQ(0u, run.sink.AllocateCalls());
    EXPECT_EQ(3u, file.GetItemsSent());
    EXPECT_EQ(1u, file.GetFailedItems());
    EXPECT_EQ(m_dir / "gone:2\n", run.Failures());
}

// ------------------------------------------------------------ bad lines

// Lines that cannot be decoded are counted and listed, and the items after
// them are backed up.
TEST(StreamPassBadLines, CountedListedAndSkipped) {
    TempDir dir;
    const std::string a = dir / "a";
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(a, "abc"));
    std::string text = "relative/path\n" + dir.path() + "/bad%zz\n\n" + std::string(70000, 'x') + "\n" +
                       std::string("/raw\0nul\n", 9) + ruxen::escapeFileName(a.c_str()) + "\n";
    SmallRun run(dir);
    RuxenFile file(&run.archive);
    EXPECT_EQ(StreamBackupPass::kCollectDone, run.Pass(file, text));
    EXPECT_EQ((V{128, 2, 130}), run.Types());
    EXPECT_EQ(text.size() - a.size() - 1,
              DecodeHeader(std::string(run.sink.RecordBytes(0))).h_collect_offset);
    EXPECT_EQ(5u, file.GetFailedItems());
    EXPECT_EQ(1u, file.GetItemsSent());
    // A raw NUL must neither cut the line (losing its error number and
    // naming "/raw") nor decode as a path.
    EXPECT_EQ("relative/path:22\n" + dir.path() + "/bad%zz:22\n/raw%00nul:22\n", run.Failures());
}

// A failures or results file that cannot be written loses failure records:
// the items are still backed up, but the stream must not end as a success.
TEST(StreamPassFailureList, WriteErrorFailsTheStream) {
    FILE* full = fopen("/dev/full", "w");
    if (!full)
        GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    const std::string a = dir / "a", b = dir / "b";
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(a, "aaa"));
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(b, "bbb"));
    {
        // Nothing to list: the unwritable file does not matter.
        MemoryRecordSink sink;
        KXArchive archive(&sink);
        RuxenFile file(&archive);
        CollectFileReader reader;
        reader.OpenMemory("collect", CollectOf({a, b}));
        StreamBackupPass pass(file, full);
        EXPECT_EQ(StreamBackupPass::kCollectDone, pass.RunDataLoop(reader));
        EXPECT_FALSE(file.FailureListWriteFailed());
    }
    {
        MemoryRecordSink sink;
        KXArchive archive(&sink);
        RuxenFile file(&archive);
        CollectFileReader reader;
        reader.OpenMemory("collect", CollectOf({a}) + "relative\n" + CollectOf({b}));
        StreamBackupPass pass(file, full);
        EXPECT_EQ(StreamBackupPass::kStreamFailed, pass.RunDataLoop(reader));
        EXPECT_TRUE(file.FailureListWriteFailed());
        EXPECT_EQ(2u, file.GetItemsSent()) << "the items after the lost line are still backed up";
        EXPECT_EQ(1u, file.GetFailedItems());
    }
    {
        // The results file likewise.
        MemoryRecordSink sink;
        KXArchive archive(&sink);
        RuxenFile file(&archive);
        file.SetResultsFile(full);
        CollectFileReader reader;
        reader.OpenMemory("collect", CollectOf({a, dir / "b/not-a-dir"}));
        StreamBackupPass pass(file, nullptr);
        EXPECT_EQ(StreamBackupPass::kStreamFailed, pass.RunDataLoop(reader));
        EXPECT_EQ(1u, file.GetItemsSent());
        EXPECT_EQ(1u, file.GetFailedItems());
    }
    fclose(full);
}

}  // namespace
