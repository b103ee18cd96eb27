// End-to-end tests of the data loop: a real tree in a temporary directory,
// a collect text naming its items, the stream pass over the per-file object,
// and the records checked against the file system by the archive verifier.
#include "errorpolicy/ErrorController.h"
#include "ruxen/StreamBackupPass.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/archive/CPipelayer.h"
#include "platform/text/FileNameEscape.h"
#include "platform/archive/FileRecordSink.h"
#include "platform/archive/KXArchive.h"
#include "platform/archive/MemoryRecordSink.h"
#include "platform/archive/ZXHeaderByteOrder.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenMessages.h"
#include "support/ProcessState.h"
#include "support/StreamCheck.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;
using Types = std::vector<uint32_t>;
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;

std::string CollectOf(const std::vector<std::string>& paths) {
    std::string s;
    for (const std::string& p : paths)
        s += ruxen::escapeFileName(p.c_str()) + "\n";
    return s;
}

std::string Num(int e) {
    return std::to_string(e);
}

ZXFileHeader HeaderOf(std::string_view bytes) {
    ZXFileHeader h;
    memset(static_cast<void*>(&h), 0, sizeof h);
    memcpy(static_cast<void*>(&h), bytes.data(), std::min(bytes.size(), sizeof h));
    ConvertZXFileHeaderByteOrder(&h);
    return h;
}

// One pass over a collect text into memory records, with failures and
// results files in the test's directory.
struct PassRun {
    MemoryRecordSink sink;
    KXArchive archive{&sink};
    std::string failuresPath, resultsPath;
    FILE* failures;
    FILE* results;

    explicit PassRun(const TempDir& dir)
        : failuresPath(dir / "failures.txt"), resultsPath(dir / "results.txt"),
          failures(fopen(failuresPath.c_str(), "w")), results(fopen(resultsPath.c_str(), "w")) {}
    ~PassRun() {
        fclose(failures);
        fclose(results);
    }
    StreamBackupPass::Result Pass(RuxenFile& file, const std::string& text) {
        CollectFileReader reader;
        reader.OpenMemory("collect", text);
        file.SetResultsFile(results);
        StreamBackupPass pass(file, failures);
        return pass.RunDataLoop(reader);
    }
    std::string Failures() { return fflush(failures) == 0 ? ReadWholeFile(failuresPath) : "?"; }
    std::string Results() { return fflush(results) == 0 ? ReadWholeFile(resultsPath) : "?"; }
    Types TypesSent() const {
        Types t;
        for (size_t i = 0; i < sink.RecordCount(); ++i)
            t.push_back(sink.RecordType(i));
        return t;
    }
};

// ------------------------------------------------------------ a whole tree

enum class Transport { kArchiveMemory, kArchiveFile, kPipelayer };

class StreamPassTree : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        if (!ReportsHoles(m_dir.path()))
            GTEST_SKIP() << "the file system does not report holes";
        const TempDir& d = m_dir;
        WriteWholeFile(d / "small", pattern(10000, 1));
        WriteWholeFile(d / "empty", "");
        WriteSparse(d / "sparse64", 64 * kMiB, {{0, pattern(65536, 2)}, {64 * kMiB - 65536, pattern(65536, 3)}});
        // Must not be read: without hole reporting that is 5 GiB of zeros.
        WriteSparse(d / "sparse5g", 5 * kGiB, {{0, pattern(4096, 4)}});
        ASSERT_EQ(0, symlink("small", (d / "link").c_str()));
        ASSERT_EQ(0, symlink("/nonexistent/dangling target", (d / "dangling").c_str()));
        ASSERT_EQ(0, mkdir((d / "subdir").c_str(), 0755));
        ASSERT_EQ(0, mkfifo((d / "fifo").c_str(), 0644));
        WriteWholeFile(d / "we\nird%25name\r", pattern(777, 5));
        m_long = MakePathOfLength(d.path(), 1200);
        ASSERT_EQ(1200u, m_long.size());
        for (std::string p : {"small", "empty", "sparse64", "sparse5g", "link", "dangling", "subdir", "fifo",
                              "we\nird%25name\r", "/", "missing%file"}) {
            p = p == "/" ? m_long : d / p;
            m_offsets[p] = m_text.size();
            m_text += CollectOf({p});
        }
    }

    ProcessStateGuard m_state;
    TempDir m_dir;
    std::string m_long, m_text;
    std::map<std::string, uint64_t> m_offsets;
};

// Every header carries the item's stat fields and collect offset; regular
// files arrive whole (holes as hole records, a hole over 4 GiB in several);
// the two failures are listed in both files, escaped.
TEST_P(StreamPassTree, BacksUpEveryItem) {
    ErrorController::setIgnoreENOENT(false);
    const Transport t = GetParam();
    const std::string archivePath = m_dir / "archive.rxpl";
    FileRecordSink fileSink;
    PassRun run(m_dir);
    CPipelayer layer(&run.sink);
    KXArchive fileArchive(&fileSink);
    ASSERT_EQ(0, fileSink.Open(archivePath.c_str()));
    std::unique_ptr<RuxenFile> file(t == Transport::kPipelayer     ? new RuxenFile(&layer)
                                    : t == Transport::kArchiveFile ? new RuxenFile(&fileArchive)
                                                                   : new RuxenFile(&run.archive));
    CollectFileReader reader;
    reader.OpenMemory("collect", m_text);
    file->SetResultsFile(run.results);
    StreamBackupPass pass(*file, run.failures);
    struct Heard : CollectPositionListener {
        std::vector<uint64_t> offsets;
        void StreamAt(uint64_t at) override { offsets.push_back(at); }
    } heard;  // told every line, failed ones too
    pass.SetPositionListener(&heard);
    ASSERT_EQ(StreamBackupPass::kCollectDone, pass.RunDataLoop(reader));
    EXPECT_EQ(11u, pass.ItemsSeen());
    std::vector<uint64_t> lines;
    for (const auto& o : m_offsets)
        lines.push_back(o.second);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, heard.offsets);
    EXPECT_EQ(9u, file->GetItemsSent());
    EXPECT_EQ(2u, file->GetFailedItems());
    ASSERT_EQ(0, fileSink.Close());

    const std::string missing = m_dir.path() + "/missing%25file";
    EXPECT_EQ(m_long + ":" + Num(ENAMETOOLONG) + "\n" + missing + ":2\n", run.Failures());
    EXPECT_EQ("Backup: " + m_long + " path does not fit the header's name field (1200 bytes)\nBackup: " + missing +
                  " No such file or directory\n",
              run.Results());

    StreamCheck c = t == Transport::kArchiveFile ? CheckArchiveFile(archivePath) : CheckRecords(run.sink);
    EXPECT_TRUE(c.Ok()) << c.lines;
    EXPECT_EQ(9u, c.items);
    EXPECT_EQ(5u, c.matched) << c.lines;
    if (t == Transport::kArchiveFile)
        return;
    EXPECT_EQ(0u, run.sink.Outstanding());

    std::map<std::string, std::vector<uint32_t>> holes;
    uint64_t data = 0;
    std::string item;
    for (size_t i = 0; i < run.sink.RecordCount(); ++i) {
        std::string_view r = run.sink.RecordBytes(i);
        switch (run.sink.RecordType(i)) {
        case PL_FS_HEADER: {
            ZXFileHeader h = HeaderOf(r);
            item = h.h_filename;
            SCOPED_TRACE(item);
            EXPECT_EQ(t == Transport::kPipelayer ? 133 + h.h_namelen : ZX_HEADER_SIZE, r.size());
            EXPECT_EQ(std::string("\0\0\0\x03\0\0\x50\xC0", 8), r.substr(0, 8)) << "version, magic";
            struct stat st;
            ASSERT_EQ(0, lstat(item.c_str(), &st));
            EXPECT_EQ(m_offsets.at(item), h.h_collect_offset);
            EXPECT_EQ(item.size() + 1, h.h_namelen);
            EXPECT_EQ((std::vector<uint64_t>{st.st_mode, st.st_uid, st.st_gid, st.st_nlink,
                                             static_cast<uint64_t>(st.st_mtime), static_cast<uint64_t>(st.st_ctime),
                                             static_cast<uint32_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}),
                      (std::vector<uint64_t>{h.h_mode, h.h_uid, h.h_gid, h.h_nlink, h.h_mtime, h.h_ctime, h.h_dev,
                                             (static_cast<uint64_t>(h.h_ino_high) << 32) | h.h_ino_low}));
            // Reading a link (or a file, on a file system that ignores
            // O_NOATIME) may move its access time on after the header took it.
            EXPECT_LE(h.h_atime, static_cast<uint32_t>(st.st_atime));
            EXPECT_GE(h.h_atime + 2, static_cast<uint32_t>(st.st_atime));
            const bool notSparse = static_cast<uint64_t>(st.st_blocks) * 512 >= static_cast<uint64_t>(st.st_size);
            EXPECT_EQ((std::vector<uint64_t>{S_ISREG(st.st_mode) || S_ISLNK(st.st_mode) ? uint64_t(st.st_size) : 0, '/',
                                             ZX_HFLAG_SLASH_SEPARATOR | ZX_HFLAG_ALWAYS, 0,
                                             ZX_HDR_FLAG_SPARSE_TESTED | (notSparse ? ZX_HDR_FLAG_NOT_SPARSE : 0u)}),
                      (std::vector<uint64_t>{h.h_filesize, h.h_separator, h.h_flags, h.portable_flags,
                                             h.h_platform_flags}))
                << "size, separator, flags";
            break;
        }
        case PL_FS_HOLE: {
            uint32_t n;
            memcpy(&n, r.data(), 4);
            holes[item].push_back(ntohl(n));
            EXPECT_LE(ntohl(n), kMaxHoleRecordBytes);
            break;
        }
        case PL_FS_DATA: data += r.size(); break;
        case PL_FS_EOF: {
            char target[256];
            ssize_t n = readlink(item.c_str(), target, sizeof target);
            EXPECT_EQ(n < 0 ? std::string() : std::string(target, n) + '\0', std::string(r)) << item;
            break;
        }
        default: ADD_FAILURE() << "record type " << run.sink.RecordType(i);
        }
    }
    EXPECT_EQ(data, file->GetDataBytesSent());
    EXPECT_LT(data, 10000 + 777 + 4096 + 4 * kMiB) << "holes were read as data";
    EXPECT_EQ(2u, holes[m_dir / "sparse5g"].size()) << "a hole over 4 GiB needs two records";
    EXPECT_GE(holes[m_dir / "sparse64"].size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Transports, StreamPassTree,
                         ::testing::Values(Transport::kArchiveMemory, Transport::kArchiveFile, Transport::kPipelayer));

// A name of 1027 characters fills the header's name field with its NUL; its
// pipeline-layer record is the whole 1160 bytes. One character more does not
// fit and fails the item instead of being cut.
TEST(StreamPassNames, NameFieldBoundary) {
    ProcessStateGuard state;
    TempDir dir, dir2;
    const std::string fits = MakePathOfLength(dir.path(), 1027), over = MakePathOfLength(dir2.path(), 1028);
    ASSERT_EQ(1027u, fits.size());
    ASSERT_EQ(1028u, over.size());
    PassRun run(dir);
    CPipelayer layer(&run.sink);
    RuxenFile file(&layer);
    EXPECT_EQ(StreamBackupPass::kCollectDone, run.Pass(file, CollectOf({fits, over})));
    ASSERT_EQ((Types{128, 2, 130}), run.TypesSent());
    EXPECT_EQ(ZX_HEADER_SIZE, run.sink.RecordBytes(0).size());
    EXPECT_EQ(fits, HeaderOf(run.sink.RecordBytes(0)).h_filename);
    EXPECT_EQ(over + ":" + Num(ENAMETOOLONG) + "\n", run.Failures());
    EXPECT_EQ(1u, CheckRecords(run.sink).matched);
}

// ------------------------------------------------------------ collect-line forms

// Directives and "# /" yield no item; a deleted item is not stat-ed: it goes
// as a header and an empty end-of-item record; a hard-link entry is backed up by its path; a
// marker that cannot be read fails its line, never the item's markers.
TEST(StreamPassCollectForms, DirectivesDeletedItemsAndBadMarkers) {
    ProcessStateGuard state;
    ErrorController::setIgnoreENOENT(false);
    TempDir dir;
    const std::string a = dir / "a";
    WriteWholeFile(a, pattern(3000, 4));
    struct stat st;
    ASSERT_EQ(0, stat(a.c_str(), &st));
    const std::string entry = "# " + std::to_string(st.st_ino) + " " + std::to_string(st.st_dev) + " " +
                              std::to_string(st.st_ctime) + " 3000 ";
    PassRun run(dir);
    RuxenFile file(&run.archive);
    CollectFileReader reader;
    reader.OpenMemory("collect", "%??DOCSA%sa\n# /\n%??DEL=2%" + ruxen::escapeFileName((dir / "gone").c_str()) + "\n" +
                                     entry + ruxen::escapeFileName(a.c_str()) + "\n%??NOHL,NOHL%" + a + "\n");
    StreamBackupPass pass(file, run.failures);
    EXPECT_EQ(StreamBackupPass::kCollectDone, pass.RunDataLoop(reader));
    EXPECT_EQ(3u, pass.ItemsSeen());
    EXPECT_EQ((Types{128, 130, 128, 2, 130}), run.TypesSent());
    StreamCheck check = CheckRecords(run.sink);
    EXPECT_TRUE(check.Ok()) << check.lines;
    EXPECT_EQ(1u, check.matched);
    EXPECT_EQ("%??NOHL,NOHL%" + a + ":22\n", run.Failures());
    EXPECT_EQ(0u, file.GetCountableItems()) << "a hard-link entry is not counted";
}

// ------------------------------------------------------------ per-item state

// The failure of one item must not leak into the next: a stale failure code
// would make the pass treat the next item's own failure as already reported,
// and a stale header-sent flag would skip its header.
TEST(StreamPassItemState, ResetWhenTheNextItemIsOpened) {
    ProcessStateGuard state;
    ErrorController::setIgnoreENOENT(false);
    TempDir dir;
    const std::string good = dir / "good", missing = dir / "gone", missing2 = dir / "gone2";
    WriteWholeFile(good, pattern(5000, 9));
    PassRun run(dir);
    RuxenFile file(&run.archive);
    CollectFileReader reader;
    reader.OpenMemory("collect", CollectOf({missing, good, missing2}));

    EXPECT_EQ(RuxenFile::kItemSkipped, file.OpenFilesForBackup(reader, run.failures));
    EXPECT_EQ(ENOENT, file.GetFailureCode());
    EXPECT_EQ(RuxenFile::kItemGoOn, file.OpenFilesForBackup(reader, run.failures));
    EXPECT_EQ(0, file.GetFailureCode());
    EXPECT_EQ("", file.GetFailureReason());
    ASSERT_EQ(0, file.PopulateHeader(nullptr, run.failures));
    ASSERT_EQ(0, file.SendHeader(run.failures));
    EXPECT_TRUE(file.IsHeaderSent());
    ASSERT_EQ(0, file.ReadAndSendFileData(run.failures));
    ASSERT_EQ(0, file.SendEndOfFileMessage(1));
    EXPECT_EQ(RuxenFile::kItemSkipped, file.OpenFilesForBackup(reader, run.failures));
    EXPECT_FALSE(file.IsHeaderSent());
    EXPECT_EQ(RuxenFile::kEndOfCollect, file.OpenFilesForBackup(reader, run.failures));
    EXPECT_EQ(missing + ":2\n" + missing2 + ":2\n", run.Failures());
    EXPECT_EQ(missing.size() + 1, HeaderOf(run.sink.RecordBytes(0)).h_collect_offset);
    EXPECT_EQ(1u, CheckRecords(run.sink).matched);
}

// Under the default filter an item that vanished after the scan is passed
// over without a failure, and the line saying so is a debug line: a job may
// pass over millions of them.
TEST(StreamPassItemState, VanishedItemIsPassedOverQuietly) {
    ProcessStateGuard state;
    KxLog::SetLevel(1);
    TempDir dir;
    const std::string good = dir / "good";
    WriteWholeFile(good, "data");
    PassRun run(dir);
    RuxenFile file(&run.archive);
    EXPECT_EQ(StreamBackupPass::kCollectDone, run.Pass(file, CollectOf({dir / "gone", good})));
    EXPECT_EQ((Types{128, 2, 130}), run.TypesSent());
    EXPECT_EQ("", run.Failures());
    EXPECT_EQ(0u, file.GetFailedItems());
    EXPECT_EQ(std::string::npos, state.Log().find("not reported"));

    KxLog::SetLevel(kLogLevelNotReported);
    EXPECT_EQ(StreamBackupPass::kCollectDone, run.Pass(file, CollectOf({dir / "gone"})));
    EXPECT_NE(std::string::npos, state.Log().find("not reported (error 2)"));
}

// ------------------------------------------------------------ metadata step

// A per-file object whose metadata step fails for chosen items.
class MetaFailFile : public RuxenFile {
public:
    using RuxenFile::RuxenFile;
    std::map<std::string, int> results;   // name -> result of the metadata step
    std::map<std::string, int> reported;  // name -> errno the step reports itself
    int PrepareAndSendMetaData(FILE* failures) override {
        std::string name = GetRecordedPath().substr(GetRecordedPath().rfind('/') + 1);
        if (reported.count(name))
            ReportItemFailure(failures, GetRecordedPath().c_str(), reported[name], "forced metadata failure");
        return results.count(name) ? results[name] : RuxenFile::PrepareAndSendMetaData(failures);
    }
};

struct MetaCase {
    const char* name;
    std::map<std::string, int> results, reported;
    Types types;
    std::string failures;  // "name:errno" lines
    StreamBackupPass::Result result;
};
void PrintTo(const MetaCase& c, std::ostream* os) { *os << c.name; }

class StreamPassMetaData : public ::testing::TestWithParam<MetaCase> {};

// A failed metadata step closes its item with a failed end-of-item record
// right after the header (a link still carries its target), reports it once,
// and the stream goes on; result 2 fails the stream.
TEST_P(StreamPassMetaData, ClosesTheItemOrFailsTheStream) {
    const MetaCase& c = GetParam();
    ProcessStateGuard state;
    TempDir dir;
    for (const char* n : {"a", "b", "c"})
        WriteWholeFile(dir / n, pattern(3000, n[0]));
    ASSERT_EQ(0, symlink("a", (dir / "l").c_str()));
    PassRun run(dir);
    MetaFailFile file(&run.archive);
    file.results = c.results;
    file.reported = c.reported;
    EXPECT_EQ(c.result, run.Pass(file, CollectOf({dir / "a", dir / "b", dir / "l", dir / "c"})));
    EXPECT_EQ(c.types, run.TypesSent());
    std::string failures;
    for (size_t at = 0; at < c.failures.size(); at = c.failures.find('\n', at) + 1)
        failures += dir.path() + "/" + c.failures.substr(at, c.failures.find('\n', at) + 1 - at);
    EXPECT_EQ(failures, run.Failures());
    EXPECT_EQ(c.result == StreamBackupPass::kCollectDone, CheckRecords(run.sink).Ok());
    EXPECT_EQ(0u, run.sink.Outstanding());
    for (size_t i = 0; i < run.sink.RecordCount(); ++i) {
        if (run.sink.RecordType(i) == PL_FS_EOF_FAILED && HeaderOf(run.sink.RecordBytes(i - 1)).h_filename == dir / "l") {
            EXPECT_EQ(std::string("a", 2), std::string(run.sink.RecordBytes(i))) << "a failed link keeps its target";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamPassMetaData,
    ::testing::Values(MetaCase{"ResultOne", {{"b", 1}, {"l", -1}}, {}, {128, 2, 130, 128, 134, 128, 134, 128, 2, 130},
                               "b:5\nl:5\n", StreamBackupPass::kCollectDone},
                      MetaCase{"OwnReportNotRepeated", {{"a", 1}, {"b", 1}}, {{"a", 77}},
                               {128, 134, 128, 134, 128, 130, 128, 2, 130}, "a:77\nb:5\n",
                               StreamBackupPass::kCollectDone},
                      MetaCase{"ResultTwo", {{"b", 2}}, {}, {128, 2, 130, 128}, "", StreamBackupPass::kStreamFailed}),
    [](const ::testing::TestParamInfo<MetaCase>& i) { return std::string(i.param.name); });

// ------------------------------------------------------------ sink faults

struct SinkFault {
    const char* name;
    bool pipelayer;
    unsigned failAllocation, failWrite;  // which call fails (0: none)
    Types types;                         // the records that made it
};
void PrintTo(const SinkFault& c, std::ostream* os) { *os << c.name; }

class StreamPassSinkFaults : public ::testing::TestWithParam<SinkFault> {};

// Collect: an 8 MiB sparse file (header, optional-header buffer given back
// unsent, data, hole, end) then a small one.
// A failed write or a missing buffer for any record fails the stream with
// no buffer left behind; a failed send carries the pipeline reason.
TEST_P(StreamPassSinkFaults, FailTheStream) {
    const SinkFault& f = GetParam();
    ProcessStateGuard state;
    TempDir dir;
    WriteSparse(dir / "sparse", 8 * kMiB, {{0, pattern(8192, 8)}});
    WriteWholeFile(dir / "small", pattern(3000, 7));
    PassRun run(dir);
    CPipelayer layer(&run.sink);
    RuxenFile archiveFile(&run.archive), layerFile(&layer);
    RuxenFile& file = f.pipelayer ? layerFile : archiveFile;
    run.sink.FailAllocation(f.failAllocation);
    run.sink.FailWrite(f.failWrite);
    const bool clean = f.failAllocation == 0 && f.failWrite == 0;
    EXPECT_EQ(clean ? StreamBackupPass::kCollectDone : StreamBackupPass::kStreamFailed,
              run.Pass(file, CollectOf({dir / "sparse", dir / "small"})));
    EXPECT_EQ(f.types, run.TypesSent());
    EXPECT_EQ(0u, run.sink.Outstanding());
    EXPECT_EQ(clean ? 2u : 0u, file.GetItemsSent());
    if (f.failWrite) {
        EXPECT_EQ("pipeline error during send buffer " + Num(f.pipelayer ? kPipelineSendFailed : -1),
                  file.GetFailureReason());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StreamPassSinkFaults,
    ::testing::Values(SinkFault{"None", false, 0, 0, {128, 2, 293, 130, 128, 2, 130}},
                      SinkFault{"HeaderWrite", false, 0, 1, {}}, SinkFault{"DataWrite", false, 0, 2, {128}},
                      SinkFault{"HoleWrite", false, 0, 3, {128, 2}},
                      SinkFault{"EndOfItemWrite", false, 0, 4, {128, 2, 293}},
                      SinkFault{"PipelayerSend", true, 0, 1, {}}, SinkFault{"NoHeaderBuffer", false, 1, 0, {}},
                      SinkFault{"NoOptionalHeaderBuffer", false, 2, 0, {128}},
                      SinkFault{"NoDataBuffer", false, 3, 0, {128}},
                      SinkFault{"NoEndOfItemBuffer", false, 5, 0, {128, 2, 293}}),
    [](const ::testing::TestParamInfo<SinkFault>& i) { return std::string(i.param.name); });

TEST(StreamPassCollectFile, UnreadableCollectFileFailsTheStream) {
    ProcessStateGuard state;
    TempDir dir;
    PassRun run(dir);
    RuxenFile file(&run.archive);
    CollectFileReader reader;
    ASSERT_TRUE(reader.Open(dir.path(), nullptr));  // a directory: reads fail
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
    std::string reason;  // the target's failure reason after its data
    int ReadAndSendFileData(FILE* failures) override {
        if (GetRecordedPath() != target)
            return RuxenFile::ReadAndSendFileData(failures);
        int fd = open(target.c_str(), O_WRONLY | O_APPEND);
        EXPECT_GE(fd, 0);
        EXPECT_TRUE(truncateTo < 0 || ftruncate(fd, truncateTo) == 0);
        EXPECT_EQ(static_cast<ssize_t>(append.size()), write(fd, append.data(), append.size()));
        close(fd);
        int r = RuxenFile::ReadAndSendFileData(failures);
        reason = GetFailureReason();
        return r;
    }
};

struct Change {
    const char* name;
    bool sparse;
    long long truncateTo;
    size_t append;
};
void PrintTo(const Change& c, std::ostream* os) { *os << c.name; }

class StreamPassChangingFile : public ::testing::TestWithParam<Change> {};

// A file that shrank between header and data fails (end-of-item 134 and a
// failures line); one that grew is cut at the size its header declared. The
// next item goes on either way.
TEST_P(StreamPassChangingFile, SizeDeclaredInTheHeaderIsKept) {
    const Change& c = GetParam();
    ProcessStateGuard state;
    TempDir dir;
    const std::string path = dir / "changing", next = dir / "next";
    const uint64_t size = c.sparse ? 16 * kMiB : 100000;
    const std::string head = pattern(c.sparse ? 65536 : 100000, 11);
    WriteSparse(path, size, {{0, head}, {size - 4096, c.sparse ? pattern(4096, 12) : head.substr(size - 4096)}});
    WriteWholeFile(next, "next item");
    PassRun run(dir);
    ChangingFile file(&run.archive);
    file.target = path;
    file.truncateTo = c.truncateTo;
    file.append = pattern(c.append, 13);
    EXPECT_EQ(StreamBackupPass::kCollectDone, run.Pass(file, CollectOf({path, next})));

    std::string data;
    size_t i = 1;
    for (; run.sink.RecordType(i) == PL_FS_DATA || run.sink.RecordType(i) == PL_FS_HOLE; ++i) {
        std::string_view r = run.sink.RecordBytes(i);
        uint32_t hole;
        memcpy(&hole, r.data(), 4);
        data.append(run.sink.RecordType(i) == PL_FS_DATA ? std::string(r) : std::string(ntohl(hole), '\0'));
    }
    EXPECT_EQ(size, HeaderOf(run.sink.RecordBytes(0)).h_filesize);
    EXPECT_EQ(head.substr(0, data.size()), data.substr(0, head.size()));
    if (c.truncateTo >= 0) {
        EXPECT_EQ(PL_FS_EOF_FAILED, run.sink.RecordType(i));
        EXPECT_EQ(path + ":" + Num(ENODATA) + "\n", run.Failures());
        EXPECT_EQ(0u, file.reason.find("file shrank during backup: " + Num(c.truncateTo))) << file.reason;
        EXPECT_EQ(1u, file.GetItemsSent());
    } else {
        EXPECT_EQ(PL_FS_EOF, run.sink.RecordType(i));
        EXPECT_EQ(size, data.size()) << "bytes sent must match the declared size";
        EXPECT_EQ("", run.Failures());
        EXPECT_EQ(2u, file.GetItemsSent());
    }
    StreamCheck check = CheckRecords(run.sink);
    EXPECT_EQ(1u, check.matched) << "the next item is whole";
}

INSTANTIATE_TEST_SUITE_P(Changes, StreamPassChangingFile,
                         ::testing::Values(Change{"ShrankPlain", false, 30000, 0}, Change{"ShrankToZero", false, 0, 0},
                                           Change{"ShrankSparse", true, 1 << 20, 0},
                                           Change{"GrewPlain", false, -1, 5000},
                                           Change{"GrewSparse", true, -1, 70000}),
                         [](const ::testing::TestParamInfo<Change>& i) { return std::string(i.param.name); });

// ------------------------------------------------------------ lists

// With the do-not-send hook file present nothing reaches the sink, yet every
// item goes through, failures are listed and the pass succeeds.
TEST(StreamPassDoNotSend, NothingIsWrittenAndThePassSucceeds) {
    ProcessStateGuard state;
    ErrorController::setIgnoreENOENT(false);
    TempDir dir;
    WriteWholeFile(dir / "small", pattern(3 * kMiB, 1));
    WriteSparse(dir / "sparse", 64 * kMiB, {{32 * kMiB, pattern(4096, 2)}});
    ASSERT_EQ(0, symlink("small", (dir / "link").c_str()));
    WriteWholeFile(state.Hooks() / kHookDoNotSend, "");
    ASSERT_EQ(0, chmod((state.Hooks() / kHookDoNotSend).c_str(), 0600));
    PassRun run(dir);
    RuxenFile file(&run.archive);
    file.initSendFlag();
    ASSERT_FALSE(file.IsSendOn());
    EXPECT_EQ(StreamBackupPass::kCollectDone,
              run.Pass(file, CollectOf({dir / "small", dir / "sparse", dir / "link", dir / "gone"})));
    EXPECT_EQ(0u, run.sink.AllocateCalls());
    EXPECT_EQ(3u, file.GetItemsSent());
    EXPECT_EQ(dir / "gone:2\n", run.Failures());
}

// Every counted bad line gets exactly one failures line and one results
// line, escaped, naming it by its own text: nothing a reader could take for
// a real path, no raw CR or CSI. A CR before the LF only ends the line. A name
// holding a line feed cannot forge a results line. A path with a "." or
// ".." component (it may name what the scan never listed) is refused too.
TEST(StreamPassLists, BadLinesAndOddNamesAreListedOnceEscaped) {
    ProcessStateGuard state;
    ErrorController::setIgnoreENOENT(false);
    TempDir dir;
    const std::string a = dir / "a", b = dir / "b", forged = dir / "x\nBackup: forged";
    WriteWholeFile(a, "abc");
    WriteWholeFile(b, "de");
    const std::string longLine = "/" + std::string(70000, 'x');
    const std::string text = "relative\x9b/path\n" + dir.path() + "/bad%zz\n\n" + longLine + "\n" +
                             std::string("/raw\0nul\n", 9) + "/cr\rinside\r\n\r\n" +
                             CollectOf({a}).insert(a.size(), "\r") + CollectOf({b, forged}) + dir.path() +
                             "/sub/../a\n%??DEL=1%" + dir.path() + "/./gone\n";
    PassRun run(dir);
    RuxenFile file(&run.archive);
    EXPECT_EQ(StreamBackupPass::kCollectDone, run.Pass(file, text));
    EXPECT_EQ((Types{128, 2, 130, 128, 2, 130}), run.TypesSent());
    EXPECT_EQ(text.find(a), HeaderOf(run.sink.RecordBytes(0)).h_collect_offset);
    EXPECT_EQ(2u, CheckRecords(run.sink).matched);
    EXPECT_EQ(10u, file.GetFailedItems());

    const std::vector<std::string> listed = {"relative%9B/path:22", dir.path() + "/bad%zz:22",
                                             "%00(empty line):22",  longLine.substr(0, 256) + "%00(70001 bytes):36",
                                             "/raw%00nul:22",       "/cr%0Dinside:22",
                                             "%00(empty line):22",  dir.path() + "/x%0ABackup: forged:2",
                                             dir.path() + "/sub/../a:22", dir.path() + "/./gone:22"};
    std::string failures, results = run.Results();
    for (const std::string& l : listed) {
        failures += l + "\n";
        std::string name = l.substr(0, l.rfind(':'));
        EXPECT_EQ(0u, results.find("Backup: " + name + " ")) << results;
        results.erase(0, results.find('\n') + 1);
    }
    EXPECT_EQ(failures, run.Failures());
    EXPECT_EQ("", results);
    EXPECT_EQ(2u, CountOf(run.Results(), std::string(" ") + kReasonDotComponent + "\n"));
}

// A failures or results line that cannot be written loses a failed item:
// the items are still backed up, but the stream must not end as a success.
TEST(StreamPassLists, LostLineFailsTheStream) {
    FILE* full = fopen("/dev/full", "w");
    if (!full)
        GTEST_SKIP() << "no /dev/full";
    ProcessStateGuard state;
    TempDir dir;
    WriteWholeFile(dir / "a", "aaa");
    WriteWholeFile(dir / "b", "bbb");
    const struct {
        bool failuresFull, resultsFull;
        std::string collect;
        StreamBackupPass::Result result;
    } cases[] = {{true, true, CollectOf({dir / "a", dir / "b"}), StreamBackupPass::kCollectDone},
                 {true, false, CollectOf({dir / "a"}) + "relative\n" + CollectOf({dir / "b"}),
                  StreamBackupPass::kStreamFailed},
                 {false, true, CollectOf({dir / "a", dir / "b", dir / "b/not-a-dir"}), StreamBackupPass::kStreamFailed}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.collect);
        PassRun run(dir);
        RuxenFile file(&run.archive);
        CollectFileReader reader;
        reader.OpenMemory("collect", c.collect);
        file.SetResultsFile(c.resultsFull ? full : nullptr);
        StreamBackupPass pass(file, c.failuresFull ? full : nullptr);
        EXPECT_EQ(c.result, pass.RunDataLoop(reader));
        EXPECT_EQ(c.result == StreamBackupPass::kStreamFailed, file.FailureListWriteFailed());
        EXPECT_EQ(2u, CheckRecords(run.sink).matched) << "the items after the lost line are still backed up";
    }
    fclose(full);
}

}  // namespace
