#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <functional>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/archive/ArchiveStreamFormat.h"
#include "platform/base/Coding.h"
#include "platform/archive/FileRecordSink.h"
#include "ruxen/OptionalHeaderPrefix.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/ZXFileHeader.h"
#include "support/TestFiles.h"
#include "support/XattrFiles.h"

namespace {

using testfiles::ReadWholeFile;
using testfiles::TempDir;
using testfiles::WriteWholeFile;

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// `input` (at most a pipe's worth) goes to standard input through a pipe.
RunResult RunDump(const TempDir& dir, std::vector<std::string> args, const std::string& input = "") {
    std::string bin = std::string(RUXEN_BIN_DIR) + "/ruxen-dump";
    std::string outPath = dir / "stdout", errPath = dir / "stderr";
    int in[2];
    EXPECT_EQ(0, pipe(in));
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        dup2(in[0], 0);
        close(in[1]);
        std::vector<char*> argv{bin.data()};
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    EXPECT_EQ(static_cast<ssize_t>(input.size()), write(in[1], input.data(), input.size()));
    close(in[1]);
    int st = 0;
    waitpid(pid, &st, 0);
    RunResult res;
    res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    res.out = ReadWholeFile(outPath);
    res.err = ReadWholeFile(errPath);
    return res;
}

// Builds a stream record by record over a file sink; Close writes its end
// record.
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
        h.h_version = ZX_HEADER_VERSION;
        h.h_magic = ZX_HEADER_MAGIC;
        h.h_nlink = 1;
        h.h_namelen = static_cast<uint32_t>(name.size() + 1);
        h.h_mode = mode;
        h.h_filesize = size;
        h.h_platform_flags = platformFlags;
        h.portable_flags = portable;
        memcpy(h.h_filename, name.c_str(), name.size() + 1);
        ZXFileHeader w;
        ConvertZXFileHeaderToNetOrder(&h, &w);
        Raw(PL_FS_HEADER, &w, pipelineLength ? 133 + h.h_namelen : ZX_HEADER_SIZE);
    }
    void Data(const std::string& bytes) { Raw(PL_FS_DATA, bytes.data(), bytes.size()); }
    void Hole(uint32_t size) {
        char n[4];
        ruxen::EncodeFixed32(n, size);
        Raw(PL_FS_HOLE, n, 4);
    }
    void End(bool ok = true, const std::string& text = "") {
        Raw(ok ? PL_FS_EOF : PL_FS_EOF_FAILED, text.c_str(), text.empty() ? 0 : text.size() + 1);
    }
    void Close(uint32_t status = kStreamComplete) {
        sink_.SetEndStatus(status);
        EXPECT_EQ(sink_.Close(), 0);
    }

private:
    FileRecordSink sink_;
};

// Every kind of record, and records that do not fit their type: those are
// named (MALFORMED) and fail the dump, which goes on to the end record.
TEST(RuxenDump, PrintsOneLinePerRecord) {
    TempDir dir;
    std::string stream = dir / "s.rxpl";
    {
        StreamBuilder b(stream);
        b.Raw(PL_FS_HARDLINK_DEDUPLICATION, "\0\0\0\1", 4);
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
        b.Raw(PL_FS_HEADER, std::string(100, '\0').data(), 100);  // too short
        b.Raw(PL_FS_HOLE, "abc", 3);
        b.Raw(PL_FS_EOF, "no-nul", 6);
        b.Raw(4242, "", 0);
        const std::string form = std::string("\0\0\0\1\0\0\0\1\3\0\6\0\0\0\1", 15) + "user.kv";
        for (const std::string& f : {form, form.substr(0, 3) + '\2' + form.substr(4)}) {
            char acl[16 + 22];
            OptionalHeaderPrefixInit(acl, 1);
            OptionalHeaderPrefixToWire(acl, 22);
            memcpy(acl + 16, f.data(), 22);
            b.Raw(PL_FS_OPT_HDR, acl, sizeof(acl));
        }
        // Metadata: one pair (LONGFILEPATH_REAL_PATH "/x"), and a message
        // whose file-set part names "fs".
        b.Raw(PL_FS_IDX_METADATA, "P\0\x5E\xB7\x43\xE8\0\0\0\2/x", 12);
        const char message[] = "M\1\0\0\0\x65\0\0\0\x5D\0\0\0\1\0\0\0\7\4\0\0\0\x17"
                               "\0\0\0\x65\0\0\0\x67\0\0\0\1\0\0\0\1\2\0\0\0\2fs";
        b.Raw(PL_FS_IDX_METADATA, message, sizeof(message) - 1);
        b.Close();
    }
    RunResult r = RunDump(dir, {stream});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("record at offset 1558 (type 293, length 3): hole record is not 4 bytes"),
              std::string::npos) << r.err;
    EXPECT_EQ(r.out,
              "8 HARDLINK_DEDUP type=329 length=4 value=1\n"
              "20 HEADER type=128 length=1160 name=\"/data/a file\" mode=0100644 size=11 nlink=1 "
              "platform_flags=0x8100000000000000 portable_flags=0x200\n"
              "1188 OPT_HDR type=129 length=19 opt_type=7 opt_length=3\n"
              "1215 OPT_HDR2 type=149 length=8 text=\"/data/b\"\n"
              "1231 DATA type=2 length=11\n"
              "1250 HOLE type=293 length=4 size=65536\n"
              "1262 MALFORMED type=159 length=4: not a pair\n"
              "1274 EOF type=130 length=0 text=\"\"\n"
              "1282 HEADER type=128 length=145 name=\"/data/link\\x0a\" mode=0120777 size=0 nlink=1 "
              "platform_flags=0x100000000000000 portable_flags=0x0\n"
              "1435 EOF_FAILED type=134 length=7 text=\"target\"\n"
              "1450 MALFORMED type=128 length=100: header record shorter than 133 bytes\n"
              "1558 MALFORMED type=293 length=3: hole record is not 4 bytes\n"
              "1569 MALFORMED type=130 length=6: text is not NUL-terminated\n"
              "1583 RECORD type=4242 length=0\n"
              "1591 OPT_HDR type=129 length=38 opt_type=1 opt_length=22 entries=1 [XATTR name=\"user.k\" "
              "value_length=1]\n"
              "1637 MALFORMED type=129 length=38: ACL form of an unknown version\n"
              "1683 IDX_METADATA type=159 length=12 pairs=1 [kind=0x5EB743E8(LONGFILEPATH_REAL_PATH) more=0 "
              "value=\"/x\"]\n"
              "1703 IDX_METADATA type=159 length=46 message IdxMetaData{7=FileSetData{1=\"fs\"}}\n"
              "1757 END type=4294967295 length=20 items=3 data_bytes=11 status=0(complete)\n");
    // The same from standard input through a pipe, where nothing can seek.
    RunResult piped = RunDump(dir, {"-"}, ReadWholeFile(stream));
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(piped.out, r.out);
}

// Streams cut short or damaged fail and say where; so does, with --verify,
// a stream whose end record says it did not do all it was given, or does
// not say (an older writer's). The verifier's count of stream errors
// agrees with the exit status.
TEST(RuxenDump, BadStreamsFailNamingTheOffset) {
    TempDir dir;
    std::string stream = dir / "t.rxpl";
    auto build = [&](uint32_t status) {
        StreamBuilder b(stream);
        b.Header("/x", 0100644, 100);
        b.Data(std::string(100, 'z'));
        b.End();
        b.Close(status);
    };
    const off_t whole = 8 + 1168 + 108 + 8 + 28;
    struct Case {
        off_t keep;  // bytes of the stream kept
        uint32_t status;
        int plainExit;    // without --verify
        const char* err;  // on the error stream, or with --verify on standard output
    } cases[] = {
        {whole - 28, 0, 1, "truncated stream: it ends at offset 1292 without its end record"},  // cut between records
        {8 + 1168 + 68, 0, 1, "record at offset 1176 (type 2) declares 100 bytes, the stream ends at offset 1244"},
        {8 + 1168 + 3, 0, 1, "truncated record frame at offset 1176"},
        {whole - 1, 0, 1, "truncated end record at offset 1292"},
        {whole, kStreamInterrupted, 0,
         "ERROR stream @: its end record says it did not do all it was given: status 1 (interrupted)"},
        {whole, kStreamCollectChanged, 0, "status 4 (collect file changed)"},
        {whole - 4, 0, 0, "ERROR stream @: its end record, of an older writer, does not say whether"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        build(c.status);
        ASSERT_EQ(truncate(stream.c_str(), c.keep), 0);
        if (c.keep == whole - 4) {  // an older writer's end record: 16 bytes
            std::string bytes = ReadWholeFile(stream);
            bytes[whole - 28 + 7] = 16;
            WriteWholeFile(stream, bytes);
        }
        std::string err = c.err;
        if (err.find('@') != std::string::npos)
            err.replace(err.find('@'), 1, stream);
        RunResult r = RunDump(dir, {stream});
        EXPECT_EQ(r.status, c.plainExit) << r.err;
        if (c.plainExit != 0) {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        }
        r = RunDump(dir, {"--verify", stream});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE((c.plainExit ? r.err : r.out).find(err), std::string::npos) << r.err << r.out;
        EXPECT_NE(r.out.find("ERROR stream " + stream + ": "), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find(" 0 stream errors"), std::string::npos) << r.out;
    }
    RunResult r = RunDump(dir, {stream});
    EXPECT_NE(r.out.find(" END type=4294967295 length=16 items=1 data_bytes=100 status=none\n"), std::string::npos)
        << r.out;
    WriteWholeFile(stream, std::string("RXPL\0\0\0\2", 8));
    r = RunDump(dir, {stream});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unsupported format version 2 at offset 4"), std::string::npos) << r.err;
    r = RunDump(dir, {"--verify", stream});
    EXPECT_NE(r.out.find("1 stream errors"), std::string::npos) << r.out;
}

TEST(RuxenDump, UsageErrors) {
    TempDir dir;
    EXPECT_EQ(RunDump(dir, {}).status, 2);
    EXPECT_EQ(RunDump(dir, {"--bogus", "x"}).status, 2);
    EXPECT_EQ(RunDump(dir, {"-", "-"}).status, 2);  // standard input is read once
    RunResult help = RunDump(dir, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: ruxen-dump"), std::string::npos);
    RunResult missing = RunDump(dir, {dir / "nope"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
}

// Real files and a stream describing them (a plain file, a sparse file sent
// with a hole record, an empty file, a directory, a symbolic link and a
// failed item), then one change to the files per case. (On tmpfs, which
// keeps large attributes.)
TEST(RuxenDumpVerify, FindsEveryDifferenceBetweenStreamAndFiles) {
    constexpr uint32_t kHole = 3 * 1024 * 1024;
    TempDir dir("ruxen_verify", "/dev/shm");
    const std::string big(40000, 'b');
    const std::string plain = dir / "plain", sparse = dir / "sparse", empty = dir / "empty";
    const std::string stream = dir / "v.rxpl";
    auto makeTree = [&] {
        unlink(plain.c_str());
        WriteWholeFile(plain, "hello world\n");
        WriteWholeFile(empty, "");
        WriteWholeFile(sparse, std::string(4096, 'h'));
        int fd = open(sparse.c_str(), O_WRONLY);
        ASSERT_EQ(pwrite(fd, "tttttttttt", 10, 4096 + kHole), 10);
        close(fd);
        mkdir((dir / "sub").c_str(), 0755);
        unlink((dir / "ln").c_str());
        ASSERT_EQ(symlink("plain", (dir / "ln").c_str()), 0);
    };
    auto buildStream = [&](bool whole) {
        StreamBuilder b(stream);
        b.Header(plain, 0100644, 12);
        b.Data("hello ");
        b.Data("world\n");
        b.End();
        b.Header(sparse, 0100644, 4096 + kHole + 10, true);
        b.Data(std::string(4096, 'h'));
        b.Hole(kHole);
        b.Data(std::string(10, 't'));
        b.End();
        b.Header(empty, 0100600, 0);
        b.End();
        b.Header(dir / "sub", 040755, 0);
        b.End();
        b.Header(dir / "ln", 0120777, 5);
        b.End(true, "plain");
        b.Header(dir / "gone", 0100644, 3);
        b.Data("abc");
        if (whole)
            b.End(false);
        b.Close();
    };
    struct Case {
        const char* name;
        std::function<void()> change;
        bool wholeStream;
        std::vector<std::string> lines;  // expected in the output
        int status = 1;
    } cases[] = {
        {"matching", [] {}, true,
         {"FAILED " + dir / "gone" + ": end-of-item record 134",
          "verify: 6 items, 3 compared, 3 matched, 0 mismatched, 1 failed, 2 not compared, 0 stream errors"},
         0},
        {"changed byte", [&] { WriteWholeFile(plain, "hello World\n"); }, true,
         {"MISMATCH " + plain + ": byte at offset 6 differs (stream 0x77, file 0x57)", "1 mismatched"}},
        {"data in a hole",
         [&] {
             int fd = open(sparse.c_str(), O_WRONLY);
             ASSERT_EQ(pwrite(fd, "\1", 1, 4096 + 2 * 1024 * 1024 + 5), 1);
             close(fd);
         },
         true, {"MISMATCH " + sparse + ": byte at offset 2101253 inside a hole is 0x01"}},
        {"sizes",
         [&] {
             WriteWholeFile(plain, "hello world\nmore");
             ASSERT_EQ(truncate(sparse.c_str(), 4096 + kHole), 0);
         },
         true,
         {"MISMATCH " + plain + ": size differs (stream 12 bytes, file 16 bytes)",
          "MISMATCH " + sparse + ": size differs (stream 3149834 bytes, file 3149824 bytes)", "2 mismatched"}},
        {"missing or replaced",
         [&] {
             ASSERT_EQ(unlink(empty.c_str()), 0);
             ASSERT_EQ(unlink(plain.c_str()), 0);
             ASSERT_EQ(symlink("sparse", plain.c_str()), 0);
         },
         true,
         {"MISMATCH " + empty + ": cannot open: No such file or directory", "MISMATCH " + plain + ": cannot open"}},
        {"stream ends inside an item", [] {}, false,
         {"MISMATCH " + dir / "gone" + ": the stream ends at offset ", " before its end-of-item record"}},
        // Last: attributes stay on the directory.
        {"attributes the stream lacks", [&] { ASSERT_TRUE(testfiles::SetXattr(dir / "sub", "user.k", "v")); }, true,
         {"MISMATCH " + dir / "sub" + ": ACLs or extended attributes are not in the stream", "1 mismatched"}},
        {"attributes no optional header holds",
         [&] {
             ASSERT_TRUE(testfiles::SetXattr(dir / "sub", "user.p", big));
             ASSERT_TRUE(testfiles::SetXattr(dir / "sub", "user.q", big));
         },
         true, {"MISMATCH " + dir / "sub" + ": extended attributes too large for the optional header are not in"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        makeTree();
        buildStream(c.wholeStream);
        c.change();
        RunResult r = RunDump(dir, {"--verify", stream});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        for (const std::string& line : c.lines)
            EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    }
}

// --verify answers with its findings alone, under the heading of the stream
// they are in, and its summary; --list adds the records and the items
// passed over on purpose.
TEST(RuxenDumpVerify, AnswersWithItsFindingsAlone) {
    TempDir dir;
    const std::string same = dir / "same", changed = dir / "changed";
    const std::string first = dir / "out.1", second = dir / "out.2";
    WriteWholeFile(same, "same");
    WriteWholeFile(changed, "new");
    StreamBuilder one(first), two(second);
    one.Header(same, 0100644, 4);
    one.Data("same");
    one.End();
    one.Header(dir / "deleted", 0100644, 0, false, ZX_HDR_FLAG_DELETED | ZX_HDR_FLAG_SPARSE_TESTED);
    one.End();
    one.Close();
    two.Header(changed, 0100644, 3);
    two.Data("old");
    two.End();
    two.Header(dir / "gone", 0100644, 1);
    two.End(false);
    two.Close();
    RunResult r = RunDump(dir, {"--verify", first, second});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "STREAM " + second + "\nMISMATCH " + changed +
                         ": byte at offset 0 differs (stream 0x6f, file 0x6e)\nFAILED " + dir / "gone" +
                         ": end-of-item record 134\n"
                         "verify: 4 items, 2 compared, 1 matched, 1 mismatched, 1 failed, 1 not compared, 0 stream "
                         "errors\n");
    EXPECT_EQ(r.err, "");
    r = RunDump(dir, {"--verify", "--list", first, second});
    EXPECT_EQ(r.status, 1);
    for (const std::string& line :
         {"STREAM " + first + "\n", " HEADER type=128 length=1160 name=\"" + same + "\"",
          "SKIPPED " + dir / "deleted" + ": deleted item\n", std::string(" END type=4294967295 ")})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    r = RunDump(dir, {"--verify", first});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "verify: 2 items, 1 compared, 1 matched, 0 mismatched, 0 failed, 1 not compared, 0 stream errors\n");
}

// A stream may name any path as a regular file: a FIFO there is not opened
// (a writer waiting for a reader stays waiting), and is no match.
TEST(RuxenDumpVerify, NeverOpensWhatIsNotARegularFile) {
    TempDir dir;
    const std::string fifo = dir / "fifo", stream = dir / "v.rxpl";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    StreamBuilder b(stream);
    b.Header(fifo, 0100644, 0);
    b.End();
    b.Close();
    pid_t writer = fork();
    if (writer == 0) {
        alarm(20);
        _exit(open(fifo.c_str(), O_WRONLY) >= 0 ? 0 : 1);
    }
    RunResult r = RunDump(dir, {"--verify", stream});
    EXPECT_NE(std::string::npos, r.out.find("MISMATCH " + fifo + ": cannot open: not a regular file")) << r.out;
    usleep(100 * 1000);
    EXPECT_EQ(0, waitpid(writer, nullptr, WNOHANG)) << "the writer was let through";
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
}

}  // namespace
