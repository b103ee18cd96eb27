#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/ArchiveDump.h"
#include "common/ArchiveVerifier.h"
#include "platform/ArchiveStreamReader.h"
#include "platform/FileRecordSink.h"
#include "platform/MemoryRecordSink.h"
#include "platform/ZXHeaderByteOrder.h"
#include "ruxen/OptionalHeaderPrefix.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/ZXFileHeader.h"
#include "support/TestFiles.h"

namespace {

using testfiles::ReadWholeFile;
using testfiles::TempDir;
using testfiles::WriteWholeFile;

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

RunResult RunDump(const TempDir& dir, std::vector<std::string> args) {
    std::string bin = std::string(RUXEN_BIN_DIR) + "/ruxen-dump";
    std::string outPath = dir / "stdout", errPath = dir / "stderr";
    RunResult res;
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char*> argv;
        argv.push_back(bin.data());
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    res.out = ReadWholeFile(outPath);
    res.err = ReadWholeFile(errPath);
    return res;
}

// Builds streams record by record over a file sink.
class StreamBuilder {
public:
    explicit StreamBuilder(const std::string& path) { EXPECT_EQ(sink_.Open(path.c_str()), 0); }

    void Raw(uint32_t type, const void* bytes, size_t n) {
        uint32_t granted = 0;
        char* p = sink_.Allocate(static_cast<uint32_t>(n), &granted);
        ASSERT_NE(p, nullptr);
        if (n)
            memcpy(p, bytes, n);
        ASSERT_EQ(sink_.Write(p, type, static_cast<uint32_t>(n)), 0);
    }
    // A header as the archive client sends it (1160 bytes), or as the
    // pipeline layer does (133 + h_namelen).
    void Header(const std::string& name, uint64_t mode, uint64_t size, bool pipelineLength = false,
                uint64_t platformFlags = ZX_HDR_FLAG_SPARSE_TESTED, uint32_t portable = 0) {
        ZXFileHeader h;
        h.Clear();
        h.h_version = ZX_HEADER_VERSION;
        h.h_magic = ZX_HEADER_MAGIC;
        h.h_nlink = 1;
        h.h_namelen = static_cast<uint32_t>(name.size() + 1);
        h.h_mode = mode;
        h.h_filesize = size;
        h.h_platform_flags = platformFlags;
        h.portable_flags = portable;
        h.h_separator = '/';
        h.h_flags = ZX_HFLAG_SLASH_SEPARATOR | ZX_HFLAG_ALWAYS;
        memcpy(h.h_filename, name.c_str(), name.size() + 1);
        size_t length = pipelineLength ? 133 + h.h_namelen : ZX_HEADER_SIZE;
        ConvertZXFileHeaderByteOrder(&h);
        Raw(PL_FS_HEADER, &h, length);
    }
    void Data(const std::string& bytes) { Raw(PL_FS_DATA, bytes.data(), bytes.size()); }
    void Hole(uint32_t size) {
        uint32_t n = htonl(size);
        Raw(PL_FS_HOLE, &n, 4);
    }
    void End(bool ok = true, const std::string& text = "") {
        Raw(ok ? PL_FS_EOF : PL_FS_EOF_FAILED, text.c_str(), text.empty() ? 0 : text.size() + 1);
    }
    void Close() { EXPECT_EQ(sink_.Close(), 0); }

private:
    FileRecordSink sink_;
};

void PatchByte(const std::string& path, off_t at, char c) {
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, &c, 1, at), 1);
    close(fd);
}

TEST(RuxenDump, PrintsOneLinePerRecord) {
    TempDir dir;
    std::string stream = dir / "s.rxpl";
    {
        StreamBuilder b(stream);
        uint32_t one = htonl(1);
        b.Raw(PL_FS_HARDLINK_DEDUPLICATION, &one, 4);
        b.Header("/data/a file", 0100644, 11, false, ZX_HDR_FLAG_NOT_SPARSE | ZX_HDR_FLAG_SPARSE_TESTED,
                 ZXFLAG_NOT_COUNTABLE);
        char opt[16 + 3];
        OptionalHeaderPrefixInit(opt, 7);
        OptionalHeaderPrefixToWire(opt, 3);
        memcpy(opt + 16, "acl", 3);
        b.Raw(PL_FS_OPT_HDR, opt, sizeof(opt));
        b.Raw(PL_FS_OPT_HDR2, "/data/b\0", 8);
        b.Data("hello world");
        b.Hole(65536);
        b.Raw(PL_FS_IDX_METADATA, "meta", 4);
        b.End(true);
        b.Header("/data/link\n", 0120777, 0, true);
        b.End(false, "target");
        b.Close();
    }
    RunResult r = RunDump(dir, {stream});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "8 HARDLINK_DEDUP type=329 length=4 value=1\n"
              "20 HEADER type=128 length=1160 name=\"/data/a file\" mode=0100644 size=11 nlink=1 "
              "platform_flags=0x8100000000000000 portable_flags=0x200\n"
              "1188 OPT_HDR type=129 length=19 opt_type=7 opt_length=3\n"
              "1215 OPT_HDR2 type=149 length=8 text=\"/data/b\"\n"
              "1231 DATA type=2 length=11\n"
              "1250 HOLE type=293 length=4 size=65536\n"
              "1262 IDX_METADATA type=159 length=4\n"
              "1274 EOF type=130 length=0 text=\"\"\n"
              "1282 HEADER type=128 length=145 name=\"/data/link\\x0a\" mode=0120777 size=0 nlink=1 "
              "platform_flags=0x100000000000000 portable_flags=0x0\n"
              "1435 EOF_FAILED type=134 length=7 text=\"target\"\n");
}

TEST(RuxenDump, TruncatedStreamFailsNamingTheOffset) {
    TempDir dir;
    std::string stream = dir / "t.rxpl";
    {
        StreamBuilder b(stream);
        b.Header("/x", 0100644, 100);
        b.Data(std::string(100, 'z'));
        b.Close();
    }
    ASSERT_EQ(truncate(stream.c_str(), 8 + 8 + 1160 + 8 + 60), 0);
    RunResult r = RunDump(dir, {stream});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("record at offset 1176 (type 2) declares 100 bytes, the stream ends at "
                         "offset 1244"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("1176 DATA type=2 length=100"), std::string::npos) << r.out;

    ASSERT_EQ(truncate(stream.c_str(), 8 + 8 + 1160 + 3), 0);
    r = RunDump(dir, {stream});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("truncated record frame at offset 1176"), std::string::npos) << r.err;

    WriteWholeFile(stream, "RXPL\0\0\0\2");
    r = RunDump(dir, {stream});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("offset 4"), std::string::npos) << r.err;
}

TEST(RuxenDump, MalformedRecordsAreNamedAndFailTheDump) {
    TempDir dir;
    std::string stream = dir / "m.rxpl";
    {
        StreamBuilder b(stream);
        b.Raw(PL_FS_HEADER, std::string(100, '\0').data(), 100);  // too short
        b.Raw(PL_FS_HOLE, "abc", 3);
        b.Raw(PL_FS_EOF, "no-nul", 6);
        b.Raw(4242, "", 0);
        b.Close();
    }
    RunResult r = RunDump(dir, {stream});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "8 MALFORMED type=128 length=100: header record shorter than 133 bytes\n"
              "116 MALFORMED type=293 length=3: hole record is not 4 bytes\n"
              "127 MALFORMED type=130 length=6: text is not NUL-terminated\n"
              "141 RECORD type=4242 length=0\n");
    EXPECT_NE(r.err.find("record at offset 116 (type 293, length 3)"), std::string::npos) << r.err;
}

TEST(RuxenDump, UsageErrors) {
    TempDir dir;
    EXPECT_EQ(RunDump(dir, {}).status, 2);
    EXPECT_EQ(RunDump(dir, {"--bogus", "x"}).status, 2);
    RunResult help = RunDump(dir, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: ruxen-dump"), std::string::npos);
    RunResult missing = RunDump(dir, {dir / "nope"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
}

// A directory of real files and a stream describing them: a plain file, a
// sparse file sent with a hole record, an empty file, a directory, a
// symbolic link and an item that failed.
class VerifyFixture : public ::testing::Test {
protected:
    void SetUp() override {
        plain_ = dir_ / "plain";
        sparse_ = dir_ / "sparse";
        empty_ = dir_ / "empty";
        WriteWholeFile(plain_, "hello world\n");
        WriteWholeFile(empty_, "");
        int fd = open(sparse_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        std::string head(4096, 'h'), tail(10, 't');
        ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), 4096);
        ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), 4096 + kHole), 10);
        close(fd);
        ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0755), 0);
        ASSERT_EQ(symlink("plain", (dir_ / "ln").c_str()), 0);
    }

    void BuildStream() {
        StreamBuilder b(stream_);
        b.Header(plain_, 0100644, 12);
        b.Data("hello ");
        b.Data("world\n");
        b.End();
        b.Header(sparse_, 0100644, 4096 + kHole + 10, true);
        b.Data(std::string(4096, 'h'));
        b.Hole(kHole);
        b.Data(std::string(10, 't'));
        b.End();
        b.Header(empty_, 0100600, 0);
        b.End();
        b.Header(dir_ / "sub", 040755, 0);
        b.End();
        b.Header(dir_ / "ln", 0120777, 5);
        b.End(true, "plain");
        b.Header(dir_ / "gone", 0100644, 3);
        b.Data("abc");
        b.End(false);
        b.Close();
    }

    static constexpr uint32_t kHole = 3 * 1024 * 1024;
    TempDir dir_;
    std::string stream_ = dir_ / "v.rxpl";
    std::string plain_, sparse_, empty_;
};

TEST_F(VerifyFixture, MatchingFilesPass) {
    BuildStream();
    RunResult r = RunDump(dir_, {"--verify", stream_});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("MISMATCH"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("FAILED " + (dir_ / "gone") + ": end-of-item record 134"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("verify: 6 items, 3 compared, 3 matched, 0 mismatched, 1 failed, 2 not "
                         "compared, 0 stream errors"),
              std::string::npos)
        << r.out;
}

TEST_F(VerifyFixture, ChangedByteIsReported) {
    BuildStream();
    PatchByte(plain_, 7, 'W');
    RunResult r = RunDump(dir_, {stream_, "--verify"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("MISMATCH " + plain_ + ": byte at offset 7 differs (stream 0x6f, file 0x57)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("1 mismatched"), std::string::npos) << r.out;
}

TEST_F(VerifyFixture, DataInsideAHoleIsReported) {
    BuildStream();
    PatchByte(sparse_, 4096 + 2 * 1024 * 1024 + 5, 1);
    RunResult r = RunDump(dir_, {"--verify", stream_});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("MISMATCH " + sparse_ + ": byte at offset 2101253 inside a hole is 0x01"),
              std::string::npos)
        << r.out;
}

TEST_F(VerifyFixture, SizeDifferencesAreReported) {
    BuildStream();
    WriteWholeFile(plain_, "hello world\nmore");
    ASSERT_EQ(truncate(sparse_.c_str(), 4096 + kHole), 0);
    RunResult r = RunDump(dir_, {"--verify", stream_});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("MISMATCH " + plain_ + ": size differs (stream 12 bytes, file 16 bytes)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("MISMATCH " + sparse_ + ": size differs (stream 3149834 bytes, file "
                         "3149824 bytes)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("2 mismatched"), std::string::npos) << r.out;
}

TEST_F(VerifyFixture, MissingOrReplacedFilesAreReported) {
    BuildStream();
    ASSERT_EQ(unlink(empty_.c_str()), 0);
    ASSERT_EQ(unlink(plain_.c_str()), 0);
    ASSERT_EQ(symlink("sparse", plain_.c_str()), 0);
    RunResult r = RunDump(dir_, {"--verify", stream_});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("MISMATCH " + empty_ + ": cannot open: No such file or directory"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("MISMATCH " + plain_ + ": cannot open"), std::string::npos) << r.out;
}

TEST_F(VerifyFixture, StreamEndingInsideAnItemIsReported) {
    {
        StreamBuilder b(stream_);
        b.Header(plain_, 0100644, 12);
        b.Data("hello world\n");
        b.Close();
    }
    RunResult r = RunDump(dir_, {"--verify", stream_});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("MISMATCH " + plain_ + ": the stream ends at offset"), std::string::npos)
        << r.out;
}

TEST(ArchiveDump, DecodeHeaderBounds) {
    ZXFileHeader h;
    h.Clear();
    h.h_version = ZX_HEADER_VERSION;
    h.h_magic = ZX_HEADER_MAGIC;
    h.h_namelen = 1028;
    memset(h.h_filename, 'n', sizeof(h.h_filename));
    h.h_filename[1027] = '\0';
    ConvertZXFileHeaderByteOrder(&h);
    std::vector<char> wire(1161, '\0');
    memcpy(wire.data(), &h, sizeof(h));

    ZXFileHeader out;
    const char* why = nullptr;
    // The pipeline layer's 133 + 1028 bytes.
    EXPECT_TRUE(ArchiveDump::DecodeHeader(wire.data(), 1161, &out, &why)) << why;
    EXPECT_EQ(strlen(out.h_filename), 1027u);
    EXPECT_FALSE(ArchiveDump::DecodeHeader(wire.data(), 1162, &out, &why));
    // Cut before the name's NUL.
    EXPECT_FALSE(ArchiveDump::DecodeHeader(wire.data(), 1000, &out, &why));
    EXPECT_STREQ(why, "header record whose name is not NUL-terminated");
    EXPECT_FALSE(ArchiveDump::DecodeHeader(wire.data(), 132, &out, &why));
    wire[3] = 4;  // version 4
    EXPECT_FALSE(ArchiveDump::DecodeHeader(wire.data(), 1160, &out, &why));
}

// The dump reads streams built in memory too; with no output it still
// checks every record.
TEST(ArchiveDump, RunsOverMemoryStreams) {
    MemoryRecordSink sink;
    uint32_t granted = 0;
    char* p = sink.Allocate(4, &granted);
    memcpy(p, "\0\0\0\7", 4);
    ASSERT_EQ(sink.Write(p, PL_FS_HOLE, 4), 0);
    std::string bytes = sink.Serialize();
    ArchiveStreamReader reader;
    ASSERT_TRUE(reader.OpenMemory(bytes.data(), bytes.size()));
    ArchiveDump dump(nullptr, nullptr);
    EXPECT_TRUE(dump.Run(reader));
    EXPECT_EQ(dump.Records(), 1u);

    bytes.pop_back();
    ASSERT_TRUE(reader.OpenMemory(bytes.data(), bytes.size()));
    ArchiveDump cut(nullptr, nullptr);
    EXPECT_FALSE(cut.Run(reader));
    EXPECT_TRUE(cut.StreamFailed());
}

}  // namespace
