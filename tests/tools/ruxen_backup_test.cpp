// The host program and the collect-file writer run as processes on a small
// tree; their exit status and messages are checked, and the archive by the
// archive verifier.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/archive/ArchiveStreamReader.h"
#include "platform/agent/CGuidFactory.h"
#include "platform/base/FdIO.h"
#include "platform/text/FileNameEscape.h"
#include "platform/base/ScopedFd.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenMessages.h"
#include "support/AppleDoubleBuilder.h"
#include "support/ChildLock.h"
#include "support/RunProgram.h"
#include "support/StreamCheck.h"
#include "support/TestFiles.h"
#include "support/XattrFiles.h"

namespace {

using namespace testfiles;

class RuxenBackupTool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, mkdir(m_tree.c_str(), 0755));
        WriteWholeFile(m_tree + "/data.bin", pattern(50000, 1));
        WriteWholeFile(m_tree + "/empty", "");
        ASSERT_EQ(0, mkdir((m_tree + "/sub").c_str(), 0755));
        WriteWholeFile(m_tree + "/sub/hello.txt", "hello\n");
        ASSERT_EQ(0, symlink("data.bin", (m_tree + "/link").c_str()));
        WriteWholeFile(m_tree + "/sub/new\nline%name", "odd");
        WriteSparse(m_tree + "/sparse", 16 << 20, {{(16 << 20) - 4, "end!"}});
    }
    // Writes the collect file of the tree with ruxen-collect.
    void Collect() {
        ProgramResult r = RunProgram(m_dir.path(), "ruxen-collect", {m_tree});
        ASSERT_EQ(0, r.exitCode) << r.err;
        WriteWholeFile(m_collect, r.out);
    }
    ProgramResult Backup(const std::vector<std::string>& args, const ProgramOptions& options = {}) {
        return RunProgram(m_dir.path(), "ruxen-backup", args, options);
    }

    TempDir m_dir{"ruxen_tool"};
    std::string m_tree = m_dir / "tree", m_collect = m_dir / "collect.cvf", m_archive = m_dir / "archive.rxpl",
                m_failures = m_dir / "failures.txt";
};

TEST_F(RuxenBackupTool, CollectListsTheTreeEscapedInOrder) {
    ASSERT_NO_FATAL_FAILURE(Collect());
    std::string want;
    for (const char* n : {"", "/data.bin", "/empty", "/link", "/sparse", "/sub", "/sub/hello.txt",
                          "/sub/new%0Aline%25name"})
        want += m_tree + n + "\n";
    EXPECT_EQ(want, ReadWholeFile(m_collect));
    // Through a link of root's, listed where it leads (another's: RuxenToolErrors).
    ASSERT_EQ(0, symlink("tree", (m_dir / "rootlink").c_str()));
    EXPECT_EQ(want, RunProgram(m_dir.path(), "ruxen-collect", {m_dir / "rootlink"}).out);
    EXPECT_EQ(m_tree + "/data.bin\n", RunProgram(m_dir.path(), "ruxen-collect", {m_dir / "rootlink/sub/../link"}).out);
}

// The summary goes to standard error, so an archive written to standard
// output is a clean stream; every regular file is in it whole, the sparse
// file's hole as a hole.
TEST_F(RuxenBackupTool, BacksUpTheTreeToAFileOrStandardOutput) {
    ASSERT_NO_FATAL_FAILURE(Collect());
    for (const std::string& out : {m_archive, std::string("-"), std::string("/dev/stdout")}) {
        SCOPED_TRACE(out);
        ProgramResult r = Backup({"--failures", m_failures, "--archive", out, m_collect});
        EXPECT_EQ(0, r.exitCode) << r.err;
        unsigned long long items = 0, bytes = 0, failed = 0;
        ASSERT_EQ(3, sscanf(r.err.substr(r.err.find("ruxen-backup: done:")).c_str(),
                            "ruxen-backup: done: %llu items, %llu bytes, %llu failed items, ", &items, &bytes, &failed))
            << r.err;
        EXPECT_EQ(8u, items);
        EXPECT_EQ(0u, failed);
        EXPECT_LE(bytes, 50009u + 65536u) << "the sparse file's hole was read as data";
        StreamCheck c = CheckArchiveFile(out == m_archive ? m_archive : r.outPath);
        EXPECT_TRUE(c.Ok()) << c.lines;
        EXPECT_EQ(8u, c.items);
        EXPECT_EQ(5u, c.matched);
        EXPECT_EQ("", ReadWholeFile(m_failures));
        if (out == m_archive) {
            EXPECT_EQ("", r.out) << "nothing but an archive goes to standard output";
        }
    }
}

// An archive and failures file inside the backed-up tree are passed over,
// not backed up half-written.
TEST_F(RuxenBackupTool, OutputsInsideTheTreeArePassedOver) {
    const std::string archive = m_tree + "/archive.rxpl", failures = m_tree + "/failures.txt";
    WriteWholeFile(archive, "an older archive");
    WriteWholeFile(failures, "");
    ASSERT_NO_FATAL_FAILURE(Collect());
    ProgramResult r = Backup({"--failures", failures, "--archive", archive, m_collect});
    EXPECT_EQ(0, r.exitCode) << r.err;
    StreamCheck c = CheckArchiveFile(archive);
    EXPECT_TRUE(c.Ok()) << c.lines;
    EXPECT_EQ(8u, c.items);
}

// With --fla-props every item carries one properties record, also in the
// streams of child processes.
TEST_F(RuxenBackupTool, FileLevelPropertiesTravelWithEachItem) {
    ASSERT_NO_FATAL_FAILURE(Collect());
    ProgramResult r = Backup({"--fla-props", "--streams", "2", "--archive", m_archive, m_collect, m_collect});
    EXPECT_EQ(0, r.exitCode) << r.err;
    size_t props = 0;
    for (const char* s : {".1", ".2"}) {
        ArchiveStreamReader reader;
        ASSERT_TRUE(reader.OpenFile((m_archive + s).c_str()));
        for (ArchiveRecord rec; reader.Next(&rec) == ArchiveStreamReader::kRecord;)
            props += rec.type == PL_FS_IDX_METADATA;
    }
    EXPECT_EQ(16u, props);
}

// Two streams over three collect files: each stream's archive and failures
// file inside the tree is passed over by both streams, each archive passes
// the verifier (a stream may get no file when the other is quicker), and
// the summary gives their totals together.
TEST_F(RuxenBackupTool, StreamsWriteTheirOwnFilesAndTheSummarySumsThem) {
    const std::string archive = m_tree + "/archive.rxpl", failures = m_tree + "/failures.txt";
    for (const char* s : {".1", ".2"})
        for (const std::string& f : {archive, failures})
            WriteWholeFile(f + s, "older");
    ASSERT_NO_FATAL_FAILURE(Collect());
    std::vector<std::string> args = {"--streams", "2", "--failures", failures, "--archive", archive};
    std::string lines = ReadWholeFile(m_collect);
    for (int i = 0; i < 3; ++i) {  // lines i, i+3, ... into collect file i
        std::string part;
        size_t n = 0;
        for (size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1, ++n)
            if (n % 3 == static_cast<size_t>(i))
                part += lines.substr(at, end + 1 - at);
        args.push_back(m_dir / ("c" + std::to_string(i)));
        WriteWholeFile(args.back(), part);
    }
    ProgramResult r = Backup(args);
    EXPECT_EQ(0, r.exitCode) << r.err;
    unsigned long long items = 0, bytes = 0, failed = 0;
    ASSERT_EQ(3, sscanf(r.err.substr(r.err.find("ruxen-backup: done:")).c_str(),
                        "ruxen-backup: done: %llu items, %llu bytes, %llu failed items, ", &items, &bytes, &failed))
        << r.err;
    uint64_t verified = 0;
    for (const char* s : {".1", ".2"}) {
        StreamCheck c = CheckArchiveFile(archive + s);
        EXPECT_TRUE(c.Ok()) << c.lines;
        verified += c.items;
        EXPECT_EQ("", ReadWholeFile(failures + s));
    }
    EXPECT_EQ(8u, verified);
    EXPECT_EQ(verified, items);
    EXPECT_EQ(0u, failed);
}

// Collect files read from pipes (standard input, and a descriptor as
// "<(...)" names it) are read once, whole, by the job: every one of 20,000
// lines is an item of the streams, with one stream and its prefetcher, and
// with two, whose parent places each collect file by its items first. (The
// lines name 250 empty files in turn: making 20,000 costs seconds.)
TEST_F(RuxenBackupTool, PipedCollectFilesLoseNoLine) {
    const std::string many = m_dir / "many";
    ASSERT_EQ(0, mkdir(many.c_str(), 0755));
    std::string halves[2];
    for (int i = 0; i < 20000; ++i) {
        const std::string path = many + "/" + std::to_string(i % 250);
        ScopedFd made(i < 250 ? open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644) : -1);
        ASSERT_TRUE(i >= 250 || made.valid()) << path;
        halves[i % 2] += path + "\n";
    }
    // Each text is written to a pipe read as descriptor `fd` of the program.
    auto feed = [](std::vector<std::pair<int, std::string>> pipes) {
        return [pipes] {
            for (const auto& [fd, text] : pipes) {
                int p[2];
                if (pipe(p) != 0)
                    _exit(125);
                if (fork() == 0) {
                    close(p[0]);
                    _exit(ruxen::writeAll(p[1], text.data(), text.size()) == 0 ? 0 : 1);
                }
                dup2(p[0], fd);
                close(p[0]);
                close(p[1]);
            }
        };
    };
    const struct {
        std::vector<std::string> args;
        std::vector<std::pair<int, std::string>> pipes;
        std::vector<std::string> archives;
    } cases[] = {
        {{"--archive", m_archive, "/dev/stdin"}, {{0, halves[0] + halves[1]}}, {m_archive}},
        {{"--streams", "2", "--no-prefetch", "--archive", m_archive, "/dev/stdin", "/dev/fd/3"},
         {{0, halves[0]}, {3, halves[1]}},
         {m_archive + ".1", m_archive + ".2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        ProgramResult r = Backup(c.args, {{}, feed(c.pipes)});
        EXPECT_EQ(0, r.exitCode) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("done: 20000 items")) << r.err;
        uint64_t items = 0, matched = 0;
        for (const std::string& a : c.archives) {
            StreamCheck check = CheckArchiveFile(a);
            EXPECT_TRUE(check.Ok()) << check.lines;
            items += check.items;
            matched += check.matched;
        }
        EXPECT_EQ(20000u, items);
        EXPECT_EQ(20000u, matched);
    }
}

// The parent makes only the per-stream outputs that do not exist yet: a
// FIFO there is opened by its stream alone, so its reader gets that
// stream whole (opened and closed by the parent, it would see an end and
// the stream would wait for a reader for ever).
TEST_F(RuxenBackupTool, StreamOutputThatIsAFifoGetsItsStream) {
    WriteWholeFile(m_collect, m_tree + "/data.bin\n");
    ASSERT_EQ(0, mkfifo((m_archive + ".1").c_str(), 0600));
    std::string got;
    std::thread reader([&] {
        ScopedFd fd(open((m_archive + ".1").c_str(), O_RDONLY));
        char buf[65536];
        for (ssize_t n; fd.valid() && (n = read(fd.get(), buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<size_t>(n));
    });
    ProgramResult r = Backup({"--streams", "2", "--archive", m_archive, m_collect, m_collect}, {{}, [] { alarm(20); }});
    ScopedFd release(open((m_archive + ".1").c_str(), O_WRONLY | O_NONBLOCK));  // a reader still waiting
    release.Close();
    reader.join();
    EXPECT_EQ(0, r.exitCode) << r.err;
    WriteWholeFile(m_dir / "got.1", got);
    uint64_t items = 0;
    for (const std::string& a : {m_dir / "got.1", m_archive + ".2"}) {
        StreamCheck check = CheckArchiveFile(a);
        EXPECT_TRUE(check.Ok()) << a << check.lines;
        items += check.items;
    }
    EXPECT_EQ(2u, items);
}

// An item that vanished after the scan is listed when the registry asks for
// ENOENT failures (its name's control bytes escaped there and in the log,
// as "%" escapes and as "\x1b"), and passed over otherwise without a log
// line at the default level; the backup succeeds either way. C1 controls are
// escaped too (in ruxen-dump's listing as well), UTF-8 text kept.
TEST_F(RuxenBackupTool, MissingItemIsListedWhenTheRegistryAsks) {
    const std::string odd = m_tree + "/csi\x9b[31m\xd0\x90";  // a raw CSI, then Cyrillic A
    WriteWholeFile(odd, "odd");
    WriteWholeFile(m_collect,
                   m_tree + "/data.bin\n" + m_tree + "/gone\x1b[2J%25missing\x9b[31m\xc2\x9b\xd0\x90\n" + odd + "\n");
    const std::string registry = m_dir / "registry.ini";
    WriteWholeFile(registry, "[FileSystemAgent]\nsReportFailureOnENOENT = Y\n");
    ProgramResult r = Backup({"--registry", registry, "--failures", m_failures, "--archive", m_archive, m_collect});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("done: 2 items, 50003 bytes, 1 failed items")) << r.err;
    EXPECT_EQ(m_tree + "/gone%1B[2J%25missing%9B[31m%C2%9B\xd0\x90:2\n", ReadWholeFile(m_failures));
    for (char c : {'\x1b', '\x9b'})
        EXPECT_EQ(std::string::npos, r.err.find(c)) << r.err;
    ProgramResult dump = RunProgram(m_dir.path(), "ruxen-dump", {m_archive});
    EXPECT_NE(std::string::npos, dump.out.find("name=\"" + m_tree + "/csi\\x9b[31m\xd0\x90\"")) << dump.out;
    EXPECT_EQ(std::string::npos, dump.out.find('\x9b'));

    r = Backup({"--failures", m_failures, "--archive", m_archive, m_collect});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("done: 2 items, 50003 bytes, 0 failed items")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("not reported")) << r.err;
    EXPECT_EQ("", ReadWholeFile(m_failures));
}

// ACLs and extended attributes of real files travel in optional headers:
// the dump lists them, and its verifier finds a later change.
TEST_F(RuxenBackupTool, AclsAndAttributesThroughTheDump) {
    if (!SetAcl(m_tree + "/data.bin", "u::rw-,u:1234:r--,g::r--,m::r--,o::r--") ||
        !SetAcl(m_tree + "/sub", "u::rwx,g::r-x,o::r-x", true) ||
        !SetXattr(m_tree + "/sub/hello.txt", "user.comment", "hi"))
        GTEST_SKIP() << "no ACLs or user attributes here";
    ASSERT_NO_FATAL_FAILURE(Collect());
    ProgramResult r = Backup({"--archive", m_archive, m_collect});
    ASSERT_EQ(0, r.exitCode) << r.err;
    r = RunProgram(m_dir.path(), "ruxen-dump", {"--verify", "--list", m_archive});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    for (const char* entries : {"entries=1 [ACL_ACCESS value_length=38]", "entries=1 [ACL_DEFAULT value_length=20]",
                                "entries=1 [XATTR name=\"user.comment\" value_length=2]"})
        EXPECT_NE(std::string::npos, r.out.find(entries)) << entries << "\n" << r.out;
    ASSERT_TRUE(SetXattr(m_tree + "/sub/hello.txt", "user.comment", "changed"));
    r = RunProgram(m_dir.path(), "ruxen-dump", {"--verify", m_archive});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_NE(std::string::npos,
              r.out.find("MISMATCH " + m_tree + "/sub/hello.txt: ACLs or extended attributes differ")) << r.out;
}

// With --mac-properties a file with an AppleDouble companion sends its
// resource fork and properties after its data fork, and the verifier
// compares them with the companion (a sparse data fork too).
TEST_F(RuxenBackupTool, MacPropertiesThroughTheDump) {
    WriteWholeFile(m_tree + "/._data.bin",
                   buildAppleDouble({{9, std::string(32, 'F')}, {2, pattern(3000, 7)}, {0x80000001u, "short"}}));
    WriteWholeFile(m_tree + "/._sparse", buildAppleDouble({{2, "fork"}}));
    ASSERT_NO_FATAL_FAILURE(Collect());
    ASSERT_EQ(0, Backup({"--mac-properties", "--archive", m_archive, m_collect}).exitCode);
    StreamCheck c = CheckArchiveFile(m_archive);
    EXPECT_TRUE(c.Ok()) << c.lines;
    EXPECT_EQ(7u, c.matched) << c.lines;  // the companions themselves too
    ProgramResult r = RunProgram(m_dir.path(), "ruxen-dump", {"--verify", "--list", m_archive});
    EXPECT_NE(std::string::npos, r.out.find("size=53092 ")) << "50000, 3000 and 92 bytes\n" << r.out;
    WriteWholeFile(m_tree + "/._sparse", buildAppleDouble({{2, "Fork"}}));
    c = CheckArchiveFile(m_archive);
    EXPECT_NE(std::string::npos, c.lines.find("MISMATCH " + m_tree + "/sparse: byte at offset 16777216 differs"))
        << c.lines;
}

// Extended attributes too big to keep raise a pending cause with the job
// manager, which the summary names (on tmpfs, which keeps large attributes).
TEST_F(RuxenBackupTool, PendingCauseIsNamed) {
    TempDir shm("ruxen_cause", "/dev/shm");
    const std::string f = shm / "big";
    WriteWholeFile(f, "x");
    if (!SetXattr(f, "user.big", std::string(65000, 'v')))
        GTEST_SKIP() << "no large user attributes on /dev/shm";
    WriteWholeFile(m_collect, f + "\n");
    ProgramResult r = Backup({"--archive", m_archive, m_collect});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("ruxen-backup: the job manager was given pending cause 0x70000e0: " + f))
        << r.err;
}

// A path too long for the header: with --long-path (and an application type
// that allows it), sent under its longest ancestor within 959 characters and
// the GUID of the path, with its data; otherwise a failure the filter never
// passes over.
TEST_F(RuxenBackupTool, OverLongPathUnderASubstituteNameOrListed) {
    const std::string p = MakePathOfLength(m_tree, 1210);
    ASSERT_EQ(1210u, p.size());
    WriteWholeFile(m_collect, p + "\n");
    const std::string substitute = p.substr(0, p.rfind('/', 959)) + "/" + CGuidFactory::get_guid_nosalt(p);
    struct Case {
        std::vector<std::string> options;
        bool sent;
    } cases[] = {{{"--long-path", "--app-type", "29"}, true}, {{"--app-type", "29"}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent ? "with --long-path" : "without");
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--failures", m_failures, "--archive", m_archive, m_collect});
        ProgramResult r = Backup(args);
        EXPECT_EQ(0, r.exitCode) << r.err;
        EXPECT_EQ(c.sent ? "" : p + ":" + std::to_string(ENAMETOOLONG) + "\n", ReadWholeFile(m_failures));
        r = RunProgram(m_dir.path(), "ruxen-dump", {"--verify", "--list", m_archive});
        EXPECT_EQ(0, r.exitCode) << r.out;
        EXPECT_EQ(c.sent, r.out.find("HEADER type=128 length=1160 name=\"" + substitute + "\" mode=0100644 size=4 ") !=
                              std::string::npos) << r.out;
        EXPECT_EQ(c.sent, r.out.find("DATA type=2 length=4\n") != std::string::npos) << r.out;
    }
}

// Paths longer than the system takes are stat-ed and read through the
// long-path handler, item after item: the end of one long-path item must not
// leave the next to the plain calls. The verifier compares both at the real
// paths their metadata carries, and finds a later change.
TEST_F(RuxenBackupTool, PathsBeyondTheSystemLimitWithLongPaths) {
    const std::string a = MakePathOfLength(m_tree, 4300);
    ASSERT_EQ(4300u, a.size());
    const std::string b = a.substr(0, a.rfind('/')) + "/b";
    ASSERT_EQ(-1, open(b.c_str(), O_RDONLY));  // beyond PATH_MAX for the plain calls
    ASSERT_EQ(ENAMETOOLONG, errno);
    std::string text = ruxen::escapeFileName(a.c_str()) + "\n";
    text += ruxen::escapeFileName(b.c_str()) + "\n";
    WriteWholeFile(m_collect, text);
    // b through the long-path handler too: write it by walking down.
    auto writeB = [&](const char* text) {
        int dir = open(m_tree.c_str(), O_RDONLY | O_DIRECTORY);
        for (size_t at = m_tree.size() + 1, slash; (slash = b.find('/', at)) != std::string::npos; at = slash + 1) {
            int next = openat(dir, b.substr(at, slash - at).c_str(), O_RDONLY | O_DIRECTORY);
            close(dir);
            dir = next;
        }
        int fd = openat(dir, "b", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        close(dir);
        EXPECT_EQ(2, write(fd, text, 2));
        close(fd);
    };
    writeB("bb");

    ProgramResult r = Backup({"--long-path", "--app-type", "29", "--failures", m_failures, "--archive", m_archive,
                              m_collect});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("", ReadWholeFile(m_failures));
    r = RunProgram(m_dir.path(), "ruxen-dump", {m_archive});
    EXPECT_EQ(1u, CountOf(r.out, " DATA type=2 length=4\n")) << r.out;
    EXPECT_EQ(1u, CountOf(r.out, " DATA type=2 length=2\n")) << r.out;
    StreamCheck c = CheckArchiveFile(m_archive);
    EXPECT_TRUE(c.Ok()) << c.lines;
    EXPECT_EQ(2u, c.matched) << c.lines;
    writeB("bc");
    c = CheckArchiveFile(m_archive);
    EXPECT_NE(std::string::npos, c.lines.find(" (as " + b + "): byte at offset 1 differs")) << c.lines;
}

// A tree deeper than the open-file limit (3,000 levels, far beyond
// PATH_MAX): ruxen-collect lists down to its leaf and ruxen-backup sends the
// leaf's data, both allowed 256 descriptors. (On tmpfs: removing the tree
// from a disk waits for it.)
TEST_F(RuxenBackupTool, TreeDeeperThanTheOpenFileLimit) {
    TempDir shm("ruxen_deep", "/dev/shm");
    const std::string top = shm.path();
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 3000 && fd >= 0; ++i) {
        int next = mkdirat(fd, "d", 0755) == 0 ? openat(fd, "d", O_RDONLY | O_DIRECTORY) : -1;
        close(fd);
        fd = next;
    }
    ASSERT_GE(fd, 0);
    int leaf = openat(fd, "leaf", O_WRONLY | O_CREAT, 0644);
    close(fd);
    ASSERT_EQ(9, write(leaf, "leaf data", 9));
    close(leaf);
    ProgramOptions few;
    few.inChild = [] {
        struct rlimit limit = {256, 256};
        setrlimit(RLIMIT_NOFILE, &limit);
    };
    ProgramResult r = RunProgram(m_dir.path(), "ruxen-collect", {top + "/d"}, few);
    ASSERT_EQ(0, r.exitCode) << r.err.substr(0, 300);
    EXPECT_EQ(3001u, CountOf(r.out, "\n"));
    EXPECT_EQ(r.out.size() - 6, r.out.find("/leaf\n"));
    WriteWholeFile(m_collect, r.out);
    r = Backup({"--long-path", "--app-type", "29", "--failures", m_failures, "--archive", m_archive, m_collect}, few);
    EXPECT_EQ(0, r.exitCode) << r.err.substr(0, 300);
    EXPECT_EQ("", ReadWholeFile(m_failures));
    r = RunProgram(m_dir.path(), "ruxen-dump", {m_archive});
    EXPECT_EQ(1u, CountOf(r.out, " DATA type=2 length=9\n"));
}

// A user who swaps a directory of his tree for a link, to a root-only
// directory or to device nodes, while a backup of the tree runs as root gets
// no byte of the root-only files into the archive and no device opened,
// whatever the interleaving. A link of his among an item's directories is
// never followed: the item is listed (ELOOP) naming it. Root's are followed.
TEST_F(RuxenBackupTool, SwappedDirectoryNeverExposesAnothersData) {
    if (geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    const uid_t user = 65534;
    const std::string home = m_dir / "home", secret = m_dir / "secret", devs = m_dir / "devs";
    ASSERT_EQ(0, chmod(m_dir.path().c_str(), 0755));
    ASSERT_EQ(0, mkdir(secret.c_str(), 0700));
    ASSERT_EQ(0, mkdir(devs.c_str(), 0755));
    for (const std::string& d : {home, home + "/D", home + "/S"})
        ASSERT_TRUE(mkdir(d.c_str(), 0755) == 0 && chown(d.c_str(), user, user) == 0);
    std::string collect;
    for (int i = 0; i < 300; ++i) {
        char name[8];
        snprintf(name, sizeof name, "/f%03d", i);
        for (const char* d : {"/D", "/S"}) {
            WriteWholeFile(home + d + name, "user's own");
            ASSERT_EQ(0, chown((home + d + name).c_str(), user, user));
            collect += home + d + name + "\n";
        }
        WriteWholeFile(secret + name, "ROOT-ONLY-SECRET");
        ASSERT_EQ(0, mknod((devs + name).c_str(), S_IFCHR | 0666, makedev(1, 3)));
    }
    const std::pair<const char*, std::string> links[] = {
        {"/to_secret", secret}, {"/to_devs", devs}, {"/userlink", secret}};
    for (const auto& link : links) {
        ASSERT_EQ(0, symlink(link.second.c_str(), (home + link.first).c_str()));
        ASSERT_EQ(0, lchown((home + link.first).c_str(), user, user));
    }
    ASSERT_EQ(0, symlink((home + "/S").c_str(), (m_dir / "rootlink").c_str()));
    collect += m_dir / "rootlink/f000\n" + home + "/userlink/f000\n";
    WriteWholeFile(m_collect, collect);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, devs.c_str(), IN_OPEN), 0);

    const pid_t swapper = fork();
    if (swapper == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (setgid(user) != 0 || setuid(user) != 0)
            _exit(1);
        const std::string d = home + "/D";  // swapped with each link in turn, atomically
        for (;;) {
            for (const std::string& link : {home + "/to_secret", home + "/to_devs"}) {
                renameat2(AT_FDCWD, d.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
                renameat2(AT_FDCWD, d.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
            }
        }
    }
    ASSERT_GT(swapper, 0);
    const std::string results = m_dir / "results.txt";
    ProgramResult r = Backup({"--failures", m_failures, "--results", results, "--archive", m_archive, m_collect});
    kill(swapper, SIGKILL);
    waitpid(swapper, nullptr, 0);

    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(std::string::npos, ReadWholeFile(m_archive).find("ROOT-ONLY-SECRET"));
    char events[4096];
    EXPECT_EQ(-1, read(watch, events, sizeof events)) << "a device node was opened";
    close(watch);
    EXPECT_NE(std::string::npos, ReadWholeFile(m_failures).find(home + "/userlink/f000:40\n"));
    EXPECT_NE(std::string::npos, ReadWholeFile(results).find("Backup: " + home + "/userlink/f000 the symbolic link " +
                                                             home + "/userlink in its path belongs to uid 65534"));
    r = RunProgram(m_dir.path(), "ruxen-dump", {m_archive});
    EXPECT_NE(std::string::npos, r.out.find("name=\"" + m_dir / "rootlink/f000\" mode=0100644 size=10 "));
}

// A clean run prints its summary alone, on the job-directory road and with
// several streams too; log lines go to the log file an option, the
// environment or the registry names, and to standard error when asked.
TEST_F(RuxenBackupTool, CleanRunsPrintTheirSummaryAloneAndLogWhereTold) {
    const std::string job = m_dir / "job", registry = m_dir / "registry.ini", fromRegistry = m_dir / "registry.log";
    ASSERT_EQ(0, mkdir(job.c_str(), 0755));
    ASSERT_EQ(0, link((m_tree + "/data.bin").c_str(), (m_tree + "/sub/data-link").c_str()));  // a group for the road
    WriteWholeFile(registry, "[FileSystemAgent]\nsLogFile=" + fromRegistry + "\n");
    // Whoever runs the tests keeps his log settings (a name alone unsets it).
    auto run = [&](const std::string& program, const std::vector<std::string>& args, std::vector<std::string> env) {
        env.insert(env.begin(), {"RUXEN_LOG_LEVEL", "RUXEN_LOG_FILE", "RUXEN_REGISTRY"});
        return RunProgram(m_dir.path(), program, args, {env, {}});
    };
    ProgramResult r = run("ruxen-collect", {m_tree}, {});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("", r.err);
    WriteWholeFile(m_collect, r.out);
    // Only a later scan has a hard-links table to delete, and says so.
    r = run("ruxen-collect", {"--job-dir", job, m_tree}, {"RUXEN_LOG_LEVEL=0"});
    EXPECT_NE(std::string::npos, r.err.find(" open HLTable for [" + job + "]")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("Deleting hardlink table")) << r.err;
    r = run("ruxen-collect", {"--job-dir", job, m_tree}, {"RUXEN_LOG_LEVEL=0"});
    EXPECT_EQ(1u, CountOf(r.err, "+++++++Deleting hardlink table\n")) << r.err;
    EXPECT_EQ("", run("ruxen-collect", {"--job-dir", job, m_tree}, {}).err);

    struct Case {
        std::vector<std::string> args, env;
        std::string log;  // the file that takes the lines; "" none
    } cases[] = {
        {{"--archive", m_archive, m_collect}, {}, ""},
        {{"--streams", "2", "--archive", m_archive, m_collect, m_collect}, {}, ""},
        {{"--job-dir", job, "--archive", m_archive}, {}, ""},
        {{"--job-dir", job, "--streams", "2", "--archive", m_archive}, {}, ""},  // verified below
        {{"--log-file", m_dir / "option.log", "--archive", m_archive, m_collect}, {}, m_dir / "option.log"},
        {{"--archive", m_archive, m_collect}, {"RUXEN_LOG_FILE=" + m_dir / "env.log"}, m_dir / "env.log"},
        {{"--registry", registry, "--archive", m_archive, m_collect}, {}, fromRegistry},
        {{"--archive", m_archive, m_collect}, {"RUXEN_REGISTRY=" + registry}, fromRegistry},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.log);
        unlink(c.log.c_str());
        r = run("ruxen-backup", c.args, c.env);
        EXPECT_EQ(0, r.exitCode) << r.err;
        EXPECT_TRUE(r.err.rfind("ruxen-backup: done: ", 0) == 0 && CountOf(r.err, "\n") == 1 && r.err.back() == '\n' &&
                    r.err.find(" bytes, 0 failed items, ") != std::string::npos)
            << r.err;
        EXPECT_TRUE(c.log.empty() ||
                    ReadWholeFile(c.log).find(" This backup will not use DIRECT IO\n") != std::string::npos);
    }
    r = run("ruxen-dump", {"--verify", m_archive + ".1", m_archive + ".2"}, {});
    EXPECT_EQ(0, r.exitCode) << r.out;
    EXPECT_EQ("", r.err);

    // Without a log file, a level asked for brings its lines to standard error.
    r = run("ruxen-backup", {"--log-level", "0", "--archive", m_archive, m_collect}, {});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(" This backup will not use DIRECT IO\n")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find(" [1] ")) << r.err;
}

// Index metadata of a stub-free tree: only the item whose folder is too long
// for the index carries a record 159, its real path, where the verifier
// compares it; a catalog run sends the same pair before that item's entry
// (under its substitute name), and every item as an entry; the index file
// reads back from standard input too. The entries come after the job's id
// and before the collect file's restart point (its end, once it is done).
TEST_F(RuxenBackupTool, MetadataRecordsAndTheCatalog) {
    std::string deep = m_tree;
    while (deep.size() < 960)
        ASSERT_EQ(0, mkdir((deep += "/" + std::string(std::min<size_t>(200, 960 - deep.size()), 'd')).c_str(), 0755));
    WriteWholeFile(deep + "/f", "deep");
    ASSERT_NO_FATAL_FAILURE(Collect());
    const std::string index = m_dir / "catalog.rxix", kind = "kind=0x5EB743E8(LONGFILEPATH_REAL_PATH) ";
    const std::string f = deep + "/f",
                      substitute = f.substr(0, f.rfind('/', 959)) + "/" + CGuidFactory::get_guid_nosalt(f);
    ASSERT_EQ(0, Backup({"--long-path", "--app-type", "29", "--archive", m_archive, m_collect}).exitCode);
    ProgramResult r = RunProgram(m_dir.path(), "ruxen-dump", {"--verify", "--list", m_archive});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(std::string::npos, r.out.find("SKIPPED")) << "compared at its real path\n" << r.out;
    EXPECT_EQ(1u, CountOf(r.out, " IDX_METADATA ")) << r.out;
    EXPECT_EQ(1u, CountOf(r.out, " IDX_METADATA type=159 length=" + std::to_string(deep.size() + 12) + " pairs=1 [" +
                                     kind + "more=0 value=\"" + deep + "/f\"]"));

    ASSERT_EQ(0, Backup({"--catalog", "--long-path", "--app-type", "29", "--job-id", "77", "--index", index, m_collect})
                     .exitCode);
    r = RunProgram(m_dir.path(), "ruxen-dump", {"--index", "-"}, {{}, [&] { freopen(index.c_str(), "r", stdin); }});
    ASSERT_EQ(0, r.exitCode) << r.err;
    const size_t job = r.out.find(" IDX_JOB conn=1 job=77\n"),
                 restart = r.out.find(
                     " IDX_RESTART conn=1 collect=1 offset=" + std::to_string(ReadWholeFile(m_collect).size()) + "\n");
    EXPECT_LT(job, r.out.find(" IDX_FILE ")) << r.out;
    EXPECT_LT(r.out.rfind(" IDX_FILE "), restart) << r.out;
    EXPECT_LT(restart, r.out.find(" IDX_DONE ")) << r.out;
    EXPECT_EQ(CountOf(ReadWholeFile(m_collect), "\n"), CountOf(r.out, " IDX_FILE ")) << r.out;
    const size_t at = r.out.find(" IDX_PAIR conn=1 " + kind + "value=\"" + deep + "/f\"");
    ASSERT_NE(std::string::npos, at) << r.out;
    EXPECT_EQ(r.out.find(" IDX_FILE conn=1 name=\"" + substitute + "\"", at), r.out.find(" IDX_FILE ", at));
    EXPECT_EQ(1u, CountOf(r.out, "mode=0120777 size=8 offset=0 link=\"data.bin\""));
}

// A write error late in the stream: the summary says how far the archive
// got, which is what the file really holds, and counts only the items (and
// data bytes) whose end record reached it.
TEST_F(RuxenBackupTool, LateWriteErrorSaysHowFarTheArchiveGot) {
    // Large items written straight out, and small ones staged: a failed
    // staged write loses end records of items already counted as sent.
    const struct {
        int files;
        size_t size;
        rlim_t limit;
    } cases[] = {{8, 300000, 1500000}, {40, 20000, 300000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.files) + " files");
        std::string text;
        for (int i = 0; i < c.files; ++i) {
            WriteWholeFile(m_dir / std::to_string(i), pattern(c.size, i));
            text += m_dir / std::to_string(i) + "\n";
        }
        WriteWholeFile(m_collect, text);
        ProgramOptions limit;
        limit.inChild = [&c] {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl = {c.limit, c.limit};
            setrlimit(RLIMIT_FSIZE, &rl);
        };
        ProgramResult r = Backup({"--archive", m_archive, m_collect}, limit);
        EXPECT_EQ(1, r.exitCode);
        unsigned long long written = 0, whole = 0;
        size_t at = r.err.find("is incomplete: writing it failed (File too large) after ");
        ASSERT_NE(std::string::npos, at) << r.err;
        ASSERT_EQ(2, sscanf(r.err.c_str() + at, "is incomplete: writing it failed (File too large) after %llu bytes; "
                            "it holds %llu whole items", &written, &whole)) << r.err;
        struct stat st;
        ASSERT_EQ(0, stat(m_archive.c_str(), &st));
        EXPECT_EQ(static_cast<unsigned long long>(st.st_size), written);
        ArchiveStreamReader reader;
        ASSERT_TRUE(reader.OpenFile(m_archive.c_str()));
        ArchiveRecord rec;
        unsigned long long ends = 0, data = 0, wholeData = 0;
        while (reader.Next(&rec) == ArchiveStreamReader::kRecord) {
            ends += rec.type == PL_FS_EOF;
            data += rec.type == PL_FS_DATA ? rec.length : 0;
            wholeData = rec.type == PL_FS_EOF ? data : wholeData;
        }
        EXPECT_EQ(ends, whole);
        EXPECT_GT(whole, 0u);
        EXPECT_NE(std::string::npos, r.err.find("ruxen-backup: stream FAILED: " + std::to_string(whole) + " items, " +
                                                std::to_string(wholeData) + " bytes, "))
            << r.err;
    }
}

// In a child before it runs a program: the open-file limit many hosts set.
void LimitOpenFilesTo1024() {
    struct rlimit rl = {1024, 1024};
    setrlimit(RLIMIT_NOFILE, &rl);
}

// Whether `path` holds `text`, waiting for it up to 10 s.
bool WaitForText(const std::string& path, const std::string& text) {
    for (int i = 0; i < 2000; ++i) {
        if (ReadWholeFile(path).find(text) != std::string::npos)
            return true;
        usleep(5000);
    }
    return false;
}

// SIGTERM or SIGINT to ruxen-backup, or the death of the parent of its
// streams, while a stream waits for a write lease to be let go: every
// stream ends between two items with an end record that says interrupted
// (the item it was opening is listed), the summary and the exit status say
// so, and the verifier fails the job.
TEST_F(RuxenBackupTool, StoppedJobsEndTheirStreamsAsInterrupted) {
    ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));  // the streams of a killed parent come back here
    const std::string leased = m_tree + "/leased", log = m_dir / "log", registry = m_dir / "registry.ini";
    const std::string c1 = m_dir / "c1", c2 = m_dir / "c2";
    WriteWholeFile(leased, "held");
    WriteWholeFile(registry, "[FileSystemAgent]\nnLeaseBreakWaitSeconds = 30\n");
    WriteWholeFile(c1, m_tree + "/data.bin\n" + leased + "\n" + m_tree + "/empty\n");
    WriteWholeFile(c2, m_tree + "/sub/hello.txt\n");
    const struct {
        int streams, sig, exitCode;
    } cases[] = {{1, SIGTERM, 128 + SIGTERM}, {2, SIGINT, 128 + SIGINT}, {2, SIGKILL, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.streams) + " streams, signal " + std::to_string(c.sig));
        WriteWholeFile(log, "");
        ChildLock holder(leased, ChildLock::kStubbornLease);
        ASSERT_TRUE(holder.held());
        const pid_t pid = StartProgram(m_dir.path(), "ruxen-backup",
                                       {"--registry", registry, "--streams", std::to_string(c.streams), "--failures",
                                        m_failures, "--archive", m_archive, c1, c2},
                                       {{"RUXEN_LOG_FILE=" + log}, {}});
        ASSERT_TRUE(WaitForText(log, " is under a write lease")) << ReadWholeFile(log);
        ASSERT_EQ(0, kill(pid, c.sig));
        ProgramResult r = FinishProgram(pid, m_dir.path(), "ruxen-backup");
        EXPECT_EQ(c.exitCode, r.exitCode) << r.err;
        std::vector<std::string> archives{m_archive}, failures{m_failures};
        if (c.streams > 1) {
            archives = {m_archive + ".1", m_archive + ".2"};
            failures = {m_failures + ".1", m_failures + ".2"};
        }
        const std::string lines = ReadWholeFile(log);
        for (size_t at = 0; (at = lines.find(" runs as process ", at)) != std::string::npos; ++at)
            waitpid(atoi(lines.c_str() + at + 17), nullptr, 0);  // a killed parent's streams
        if (c.sig != SIGKILL) {
            EXPECT_NE(std::string::npos, r.err.find("ruxen-backup: interrupted by signal " + std::to_string(c.sig)))
                << r.err;
            EXPECT_NE(std::string::npos, r.err.find("the collect file " + c1 + " was not wholly backed up")) << r.err;
        }
        EXPECT_NE(std::string::npos, (ReadWholeFile(failures[0]) + ReadWholeFile(failures.back()))
                                         .find(leased + ":" + std::to_string(EINTR) + "\n"));
        std::vector<std::string> dumpArgs{"--verify", "--list"};
        dumpArgs.insert(dumpArgs.end(), archives.begin(), archives.end());
        r = RunProgram(m_dir.path(), "ruxen-dump", dumpArgs);
        EXPECT_EQ(1, r.exitCode) << r.out;
        EXPECT_EQ(archives.size(), CountOf(r.out, " END ")) << "no stream is cut short\n" << r.out;
        // The stream that held c1 (the other may have done all it was given).
        const size_t held = r.out.find("/tree/data.bin\"");
        ASSERT_NE(std::string::npos, held) << r.out;
        const size_t end = r.out.find(" END ", held);
        EXPECT_NE(std::string::npos, r.out.substr(end, r.out.find('\n', end) - end).find(" status=1(interrupted)"))
            << r.out;
    }
}

// A collect file that shrank, or was renamed over, after the job opened it
// fails, while its stream read it or before its turn (held open or not):
// the summary names it, the stream's end record says why, the job fails.
TEST_F(RuxenBackupTool, CollectFileChangedAfterTheJobOpenedItFails) {
    const std::string log = m_dir / "log", registry = m_dir / "registry.ini";
    const std::string leased[2] = {m_tree + "/leased", m_tree + "/leased2"};
    WriteWholeFile(registry, "[FileSystemAgent]\nnLeaseBreakWaitSeconds = 30\n");
    auto held = [&](int i) { return m_tree + "/data.bin\n" + leased[i] + "\n" + m_tree + "/empty\n"; };
    std::string plain;
    for (int i = 0; i < 200; ++i)
        plain += m_tree + "/sub/hello.txt\n";
    auto truncateHalf = [](const std::string& c) { ASSERT_EQ(0, truncate(c.c_str(), 100)); };
    auto renameOver = [&](const std::string& c) {
        WriteWholeFile(m_dir / "new", ReadWholeFile(c));
        ASSERT_EQ(0, rename((m_dir / "new").c_str(), c.c_str()));
    };
    const struct {
        const char* name;
        int streams, collects;  // the last collect file changes
        std::function<void(const std::string&)> change;
        const char* what;  // differs
    } cases[] = {
        {"shrank while read", 1, 1, truncateHalf, "size"},
        {"renamed over while read", 1, 1, renameOver, "path"},
        {"shrank before its turn", 1, 2, truncateHalf, "size"},
        {"shrank before its turn, two streams", 2, 3, truncateHalf, "size"},
        {"renamed over, not held open", 1, 70, renameOver, "inode"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{"--registry", registry, "--streams", std::to_string(c.streams),
                                      "--archive",  m_archive};
        for (int i = 1; i <= c.collects; ++i) {
            args.push_back(m_dir / ("c" + std::to_string(i)));
            WriteWholeFile(args.back(), i <= c.streams ? held(i - 1) : plain);
        }
        std::vector<std::unique_ptr<ChildLock>> holders;
        for (int i = 0; i < c.streams; ++i) {
            WriteWholeFile(leased[i], "held");
            holders.push_back(std::make_unique<ChildLock>(leased[i], ChildLock::kStubbornLease));
            ASSERT_TRUE(holders.back()->held());
        }
        WriteWholeFile(log, "");
        const pid_t pid =
            StartProgram(m_dir.path(), "ruxen-backup", args, {{"RUXEN_LOG_FILE=" + log}, LimitOpenFilesTo1024});
        for (int i = 0; i < c.streams; ++i)
            ASSERT_TRUE(WaitForText(log, leased[i] + " is under a write lease")) << ReadWholeFile(log);
        const std::string changed = args.back();
        c.change(changed);
        holders.clear();  // the leases go: the streams read on
        ProgramResult r = FinishProgram(pid, m_dir.path(), "ruxen-backup");
        EXPECT_EQ(1, r.exitCode) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("the collect file " + changed +
                                                (c.collects == 1 ? " changed after the job opened it (its "
                                                                 : " is not the file the job opened (its ") +
                                                c.what + " differs)"))
            << r.err;
        EXPECT_NE(std::string::npos, r.err.find("the collect file " + changed + " was not wholly backed up")) << r.err;
        r = RunProgram(m_dir.path(), "ruxen-dump",
                       c.streams > 1 ? std::vector<std::string>{m_archive + ".1", m_archive + ".2"}
                                     : std::vector<std::string>{m_archive});
        EXPECT_NE(std::string::npos, r.out.find(std::string(c.collects == 1 ? " items=3 data_bytes=50004" : "") +
                                                " status=4(collect file changed)\n"))
            << r.out;
    }
}

// 3,000 collect files under an open-file limit of 1,024, with one stream
// and with four: the job opens what it does not hold in their turn.
TEST_F(RuxenBackupTool, MoreCollectFilesThanTheOpenFileLimit) {
    std::vector<std::string> collects;
    for (int i = 0; i < 3000; ++i) {
        collects.push_back(m_dir / ("c" + std::to_string(i)));
        WriteWholeFile(collects.back(), m_tree + (i % 2 ? "/sub/hello.txt\n" : "/empty\n"));
    }
    for (int streams : {1, 4}) {
        SCOPED_TRACE(std::to_string(streams) + " streams");
        std::vector<std::string> args{"--streams", std::to_string(streams), "--archive", m_archive};
        args.insert(args.end(), collects.begin(), collects.end());
        ProgramResult r = Backup(args, {{}, LimitOpenFilesTo1024});
        EXPECT_EQ(0, r.exitCode) << r.err.substr(0, 2000);
        EXPECT_NE(std::string::npos, r.err.find("done: 3000 items, 9000 bytes, 0 failed items"))
            << r.err.substr(0, 2000);
    }
}

// With the do-not-send hook nothing is sent: the summary must not call that
// done, the archive's end record says so, and the job fails.
TEST_F(RuxenBackupTool, DoNotSendHookIsNamedInTheSummary) {
    const std::string hooks = m_dir / "hooks";
    ASSERT_EQ(0, mkdir(hooks.c_str(), 0755));
    WriteWholeFile(hooks + "/" + kHookDoNotSend, "");
    ASSERT_EQ(0, chmod((hooks + "/" + kHookDoNotSend).c_str(), 0600));
    WriteWholeFile(m_collect, m_tree + "/data.bin\n");
    ProgramResult r = Backup({"--archive", m_archive, m_collect}, {{"RUXEN_HOOK_DIR=" + hooks}, {}});
    EXPECT_EQ(1, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("nothing was sent: the do-not-send hook file " + hooks)) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("ruxen-backup: stream FAILED: 0 items, 0 bytes")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("the collect file " + m_collect + " was not wholly backed up")) << r.err;
    r = RunProgram(m_dir.path(), "ruxen-dump", {m_archive});
    EXPECT_NE(std::string::npos, r.out.find(" items=0 data_bytes=0 status=5(not sent)\n")) << r.out;
}

// A terminal is refused as the archive (exit 2) by any name: standard output,
// /dev/stdout, /dev/tty, its own path. Nothing reaches it (it would hold this).
TEST_F(RuxenBackupTool, RefusesATerminalAsTheArchive) {
    WriteWholeFile(m_collect, m_tree + "/empty\n");
    ScopedFd master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_TRUE(master.valid() && grantpt(master.get()) == 0 && unlockpt(master.get()) == 0) << strerror(errno);
    const std::string terminal = ptsname(master.get());
    for (const std::string& archive :
         {std::string("-"), std::string("/dev/stdout"), std::string("/dev/tty"), terminal}) {
        SCOPED_TRACE(archive);
        ProgramOptions options;
        if (archive != terminal) {  // the terminal is the child's standard output and controlling terminal
            options.inChild = [&terminal] {
                setsid();
                const int fd = open(terminal.c_str(), O_RDWR);
                if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0)
                    _exit(126);
            };
        }
        ProgramResult r = Backup({"--archive", archive, m_collect}, options);
        EXPECT_EQ(2, r.exitCode) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("ruxen-backup: the archive " + archive +
                                                (archive == "-" ? " (standard output)" : "") + " is a terminal"))
            << r.err;
        char buf[4096];
        EXPECT_GT(0, read(master.get(), buf, sizeof buf)) << "bytes reached the terminal";
    }
}

// scripts/demo.sh, on this build: it backs up its sample tree, also on the
// job-directory road, and keeps what it made, naming commands to check it.
TEST(DemoScript, KeepsWhatItMadeAndSaysHowToCheckIt) {
    TempDir dir("ruxen_demo");
    const std::string out = dir / "demo", script = std::string(RUXEN_SOURCE_DIR) + "/scripts/demo.sh";
    ProgramOptions options;
    options.env = {"RUXEN_BUILD_DIR=" RUXEN_BIN_DIR "/..", "RUXEN_DEMO_DIR=" + out};
    ProgramResult r = RunProgram(dir.path(), script, {}, options);
    ASSERT_EQ(0, r.exitCode) << r.out << r.err;

    for (const char* kept : {"tree/docs/report.bin", "collect.txt", "stream.rxpl", "stream.txt", "job/CollectTot1.kxf",
                             "job-stream.rxpl", "job-stream.txt"})
        EXPECT_EQ(0, access((out + "/" + kept).c_str(), F_OK)) << kept;
    EXPECT_NE(std::string::npos, r.out.find("\nThe demo's files are in " + out + ":\n")) << r.out;

    // On the road the group's data goes once, each of its names naming it.
    EXPECT_EQ(1u, CountOf(r.out, " HEADER type=128 length=1160 name=\"/__KXHardLink")) << r.out;
    EXPECT_EQ(3u, CountOf(r.out, " text=\"/__KXHardLink")) << r.out;

    // Each command it gives works as printed.
    std::istringstream lines(r.out.substr(r.out.find("List and verify them with:\n")));
    size_t commands = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 3, "  /") != 0)
            continue;
        std::istringstream words(line);
        const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        ProgramResult c = RunProgram(dir.path(), args[0], {args.begin() + 1, args.end()});
        EXPECT_EQ(0, c.exitCode) << line << "\n" << c.out << c.err;
        ++commands;
    }
    EXPECT_EQ(3u, commands) << r.out;

    // A folder of one's own that holds anything is left alone.
    r = RunProgram(dir.path(), script, {}, options);
    EXPECT_EQ(2, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("demo.sh: " + out + " is not empty")) << r.err;
    EXPECT_EQ(0, access((out + "/stream.rxpl").c_str(), F_OK));
}

struct Invocation {
    const char* name;
    const char* program;
    std::vector<std::string> args;  // "@" stands for the test directory
    const char* collect;            // written to @/collect.cvf first
    int exitCode;
    const char* message;                // expected on standard error
    const char* archiveEnd = nullptr;   // expected in ruxen-dump's lines of @/a
    std::vector<std::string> env = {};  // "@" stands for the test directory
};
void PrintTo(const Invocation& i, std::ostream* os) { *os << i.name; }

class RuxenToolErrors : public RuxenBackupTool, public ::testing::WithParamInterface<Invocation> {};

// Usage errors, outputs that are an input of the job (a collect file by
// name, link or hard link, the registry, a file of the job directory) or
// another output, inputs that cannot be read and outputs that cannot be
// opened (through another user's link too) are refused before any output
// is emptied (exit 2): the collect file keeps its lines, an earlier archive
// (a stream's too) and failures file and what a link names stay as they
// were, and no stream's file is left made; a refused scan lists nothing.
TEST_P(RuxenToolErrors, ExitStatusAndMessage) {
    const Invocation& c = GetParam();
    std::string collect = c.collect, message = c.message;
    for (std::string* text : {&collect, &message})
        for (size_t at; (at = text->find('@')) != std::string::npos;)
            text->replace(at, 1, m_dir.path());
    WriteWholeFile(m_collect, collect);
    ASSERT_EQ(0, link(m_collect.c_str(), (m_dir / "hard.cvf").c_str()));
    ASSERT_EQ(0, symlink("collect.cvf", (m_dir / "soft.cvf").c_str()));
    for (const char* out : {"/a", "/f.txt", "/a.2", "/victim"})
        WriteWholeFile(m_dir.path() + out, "earlier");
    if (message.find("uid 4242") != std::string::npos) {  // links of another user where outputs go
        if (geteuid() != 0)
            GTEST_SKIP() << "making a link of another user takes root";
        for (const auto& [name, target] : {std::pair{"user-link", "victim"}, {"user-dir", "."}, {"s.2", "victim"}}) {
            ASSERT_EQ(0, symlink(target, (m_dir / name).c_str()));
            ASSERT_EQ(0, lchown((m_dir / name).c_str(), 4242, 4242));
        }
    }
    std::vector<std::string> args;
    for (const std::string& a : c.args)
        args.push_back(a[0] == '@' ? m_dir.path() + a.substr(1) : a);
    ProgramOptions options;
    for (const std::string& e : c.env)
        options.env.push_back(e.find('@') == std::string::npos ? e : e.substr(0, e.find('@')) + m_dir.path() +
                                                                         e.substr(e.find('@') + 1));
    ProgramResult r = RunProgram(m_dir.path(), c.program, args, options);
    EXPECT_EQ(c.exitCode, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(message)) << r.err;
    EXPECT_EQ(collect, ReadWholeFile(m_collect));
    for (const char* out : {"/a", "/f.txt", "/a.2", "/victim"})
        EXPECT_TRUE(c.exitCode != 2 || ReadWholeFile(m_dir.path() + out) == "earlier") << out;
    for (const char* made : {"a.1", "s.1", "new"})
        EXPECT_TRUE(c.exitCode != 2 || access((m_dir / made).c_str(), F_OK) != 0) << made;
    EXPECT_TRUE(c.exitCode == 0 || std::string(c.program) != "ruxen-collect" || r.out.empty()) << r.out;
    if (c.archiveEnd) {  // a stream that did not do all it was given says why
        r = RunProgram(m_dir.path(), "ruxen-dump", {m_dir / "a"});
        EXPECT_NE(std::string::npos, r.out.find(c.archiveEnd)) << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RuxenToolErrors,
    ::testing::Values(
        Invocation{"NoArguments", "ruxen-backup", {}, "", 2, "usage:"},
        Invocation{"NoValue", "ruxen-backup", {"--archive"}, "", 2, "--archive needs a value"},
        Invocation{"UnknownOption", "ruxen-backup", {"--bogus", "--archive", "@/a", "@/collect.cvf"}, "", 2,
                   "unknown option --bogus"},
        Invocation{"ArchiveIsCollect", "ruxen-backup", {"--archive", "@/collect.cvf", "@/collect.cvf"},
                   "@/tree/data.bin\n", 2, "collect.cvf: it is the collect file"},
        Invocation{"ArchiveIsHardLink", "ruxen-backup", {"--archive", "@/hard.cvf", "@/collect.cvf"},
                   "@/tree/data.bin\n", 2, "hard.cvf: it is the collect file"},
        Invocation{"FailuresIsLink", "ruxen-backup", {"--failures", "@/soft.cvf", "--archive", "@/a", "@/collect.cvf"},
                   "@/tree/data.bin\n", 2, "refusing to write the failures file"},
        Invocation{"ResultsIsFailures", "ruxen-backup",
                   {"--failures", "@/f.txt", "--results", "@/tree/../f.txt", "--archive", "@/a", "@/collect.cvf"}, "",
                   2, "it is also the failures file"},
        Invocation{"ResultsIsArchive", "ruxen-backup", {"--results", "@/a", "--archive", "@/a", "@/collect.cvf"}, "", 2,
                   "it is also the archive file"},
        Invocation{"StreamsToStandardOutput", "ruxen-backup",
                   {"--streams", "2", "--archive", "-", "@/collect.cvf", "@/collect.cvf"}, "", 2, "a single stream"},
        Invocation{"StreamsNotANumber", "ruxen-backup", {"--streams", "2x", "--archive", "@/a", "@/collect.cvf"}, "", 2,
                   "--streams takes a number"},
        Invocation{"StreamArchiveIsCollect", "ruxen-backup",
                   {"--streams", "2", "--archive", "@/collect", "@/collect.1", "@/collect.cvf"}, "", 2,
                   "collect.1: it is the collect file"},
        Invocation{"StreamCollectMissing", "ruxen-backup",
                   {"--streams", "2", "--archive", "@/a", "@/collect.cvf", "@/no-such.cvf"}, "@/tree/data.bin\n", 2,
                   "no-such.cvf: No such file"},
        Invocation{"MissingCollect", "ruxen-backup", {"--archive", "@/a", "@/collect.cvf", "@/no\x1b[2Jsuch.cvf"},
                   "@/tree/data.bin\n", 2,
                   "ruxen-backup: cannot open the collect file @/no\\x1b[2Jsuch.cvf"},
        Invocation{"CollectIsADirectory", "ruxen-backup", {"--archive", "@/a", "@/tree"}, "", 2, "is a directory"},
        Invocation{"CollectIsADevice", "ruxen-backup", {"--archive", "@/a", "@/collect.cvf", "/dev/zero"}, "", 2,
                   "the collect file /dev/zero is a character device"},
        Invocation{"CopyOfAPipeFails", "ruxen-backup", {"--archive", "/dev/null", "/dev/null"}, "", 2,
                   "cannot make a temporary copy of the collect file /dev/null", nullptr, {"TMPDIR=@/no/dir"}},
        Invocation{"ArchiveIsRegistry", "ruxen-backup",
                   {"--registry", "@/r.ini", "--archive", "@/r.ini", "@/collect.cvf"}, "", 2,
                   "it is the registry file"},
        Invocation{"ArchiveInTheJobDirectory", "ruxen-backup",
                   {"--job-dir", "@", "--archive", "@/CollectTot1.kxf", "@/collect.cvf"}, "", 2,
                   "the job directory"},
        Invocation{"StreamsToDevStdout", "ruxen-backup",
                   {"--streams", "2", "--archive", "/dev/stdout", "@/collect.cvf", "@/collect.cvf"}, "", 2,
                   "is standard output"},
        Invocation{"StreamsToFdOne", "ruxen-backup",
                   {"--streams", "2", "--archive", "/dev/fd/1", "@/collect.cvf", "@/collect.cvf"}, "", 2,
                   "is standard output"},
        Invocation{"StreamsToADevice", "ruxen-backup",
                   {"--streams", "2", "--archive", "/dev/zero", "@/collect.cvf", "@/collect.cvf"}, "", 2,
                   "is a device"},
        Invocation{"StreamsToDevNull", "ruxen-backup",
                   {"--streams", "2", "--archive", "/dev/null", "@/collect.cvf", "@/collect.cvf"}, "@/tree/data.bin\n",
                   0, "done: 2 items"},
        Invocation{"ArchiveDirMissing", "ruxen-backup", {"--archive", "@/no/dir/a", "@/collect.cvf"}, "", 2,
                   "cannot open the archive file @/no/dir/a: No such file"},
        Invocation{"FailuresDirMissing", "ruxen-backup",
                   {"--failures", "@/no/dir/f", "--archive", "@/a", "@/collect.cvf"}, "@/tree/data.bin\n", 2,
                   "cannot open the failures file @/no/dir/f: No such file"},
        Invocation{"StreamFailuresDirMissing", "ruxen-backup",
                   {"--streams", "2", "--failures", "@/f.txt", "--results", "@/no/dir/r", "--archive", "@/a",
                    "@/collect.cvf", "@/collect.cvf"},
                   "@/tree/data.bin\n", 2, "cannot open the results file @/no/dir/r.1: No such file"},
        Invocation{"ArchiveThroughAnotherUsersLink", "ruxen-backup", {"--archive", "@/user-link", "@/collect.cvf"},
                   "@/tree/data.bin\n", 2,
                   "cannot open the archive file @/user-link: the symbolic link @/user-link in its path belongs to uid "
                   "4242, neither root nor the job's user"},
        Invocation{"ArchiveBelowAnotherUsersLink", "ruxen-backup", {"--archive", "@/user-dir/new", "@/collect.cvf"},
                   "@/tree/data.bin\n", 2, "the symbolic link @/user-dir in its path belongs to uid 4242"},
        Invocation{"StreamArchiveThroughAnotherUsersLink", "ruxen-backup",
                   {"--streams", "2", "--archive", "@/s", "@/collect.cvf", "@/collect.cvf"}, "@/tree/data.bin\n", 2,
                   "cannot open the archive file @/s.2: the symbolic link @/s.2 in its path belongs to uid 4242"},
        Invocation{"FailuresThroughAnotherUsersLink", "ruxen-backup",
                   {"--failures", "@/user-link", "--archive", "@/new", "@/collect.cvf"}, "@/tree/data.bin\n", 2,
                   "open the failures file @/user-link: the symbolic link @/user-link in its path belongs to uid 4242"},
        Invocation{"ResultsThroughAnotherUsersLink", "ruxen-backup",
                   {"--results", "@/user-link", "--archive", "@/new", "@/collect.cvf"}, "@/tree/data.bin\n", 2,
                   "open the results file @/user-link: the symbolic link @/user-link in its path belongs to uid 4242"},
        Invocation{"LogThroughAnotherUsersLink", "ruxen-backup",
                   {"--log-file", "@/user-link", "--archive", "@/new", "@/collect.cvf"}, "@/tree/data.bin\n", 2,
                   "open the log file @/user-link: the symbolic link @/user-link in its path belongs to uid 4242"},
        Invocation{"IndexThroughAnotherUsersLink", "ruxen-backup",
                   {"--catalog", "--index", "@/user-link", "--archive", "@/new", "@/collect.cvf"}, "@/tree/data.bin\n",
                   2, "open the index file @/user-link: the symbolic link @/user-link in its path belongs to uid 4242"},
        Invocation{"IndexDirMissing", "ruxen-backup",
                   {"--catalog", "--index", "@/no/dir/i", "--archive", "@/a", "@/collect.cvf"}, "@/tree/data.bin\n", 2,
                   "cannot open the index file @/no/dir/i: No such file"},
        Invocation{"FailuresUnwritable", "ruxen-backup", {"--failures", "/dev/full", "--archive", "@/a", "@/collect.cvf"},
                   "@/tree/data.bin\nnot/absolute\n", 1,
                   "the failures file /dev/full is incomplete: writing it failed", " status=3(list write failed)\n"},
        Invocation{"ResultsUnwritable", "ruxen-backup", {"--results", "/dev/full", "--archive", "@/a", "@/collect.cvf"},
                   "@/tree/data.bin\nnot/absolute\n", 1,
                   "the results file /dev/full is incomplete: writing it failed", " status=3(list write failed)\n"},
        Invocation{"NothingToList", "ruxen-backup", {"--failures", "/dev/full", "--archive", "@/a", "@/collect.cvf"},
                   "@/tree/data.bin\n", 0, "done: 1 items"},
        Invocation{"DataSizeMarker", "ruxen-backup", {"--archive", "@/a", "@/collect.cvf"},
                   "%??DATASIZE%@/tree/data.bin\n", 0, "done: 1 items", "portable_flags=0x0 datasize=50000\n"},
        Invocation{"ItemErrorNotTolerated", "ruxen-backup",
                   {"--errors-not-tolerated", "--archive", "@/a", "@/collect.cvf"},
                   "@/tree/data.bin\n@/tree/gone\n@/tree/empty\n", 1, "pending cause 0x600002b: @/tree/gone",
                   " status=2(collect file failed)\n"},
        Invocation{"CollectNoArguments", "ruxen-collect", {}, "", 2, "usage:"},
        Invocation{"CollectJobDirNoValue", "ruxen-collect", {"--job-dir"}, "", 2, "usage:"},
        Invocation{"CollectJobDirMissing", "ruxen-collect", {"--job-dir", "@/no/dir", "@/tree"}, "", 2,
                   "/no/dir: No such file"},
        Invocation{"CollectMissingDir", "ruxen-collect", {"@/absent"}, "", 1, "absent"},
        Invocation{"CollectTreeBelowAnotherUsersLink", "ruxen-collect", {"@/user-dir/tree/sub"}, "", 1,
                   "the symbolic link @/user-dir belongs to uid 4242, neither root nor the running user"},
        Invocation{"IndexIsCollect", "ruxen-backup",
                   {"--catalog", "--index", "@/collect.cvf", "--archive", "@/a", "@/collect.cvf"}, "@/tree/data.bin\n",
                   2, "refusing to write the index file"},
        // Options that would do nothing name what they need.
        Invocation{"LongPathWithoutItsType", "ruxen-backup", {"--long-path", "--archive", "@/a", "@/collect.cvf"}, "",
                   2, "--long-path needs an application type that keeps long paths (--app-type 17, 18, 19,"},
        Invocation{"SnapJobWithoutApp", "ruxen-backup",
                   {"--snap-job-id", "42", "--snap-engine", "7", "--archive", "@/a", "@/collect.cvf"}, "", 2,
                   "--snap-job-id needs --app-id Z:A"},
        Invocation{"SnapJobWithoutEngine", "ruxen-backup",
                   {"--app-id", "2:7", "--snap-job-id", "42", "--archive", "@/a", "@/collect.cvf"}, "", 2,
                   "--snap-job-id needs --snap-engine N"},
        Invocation{"SnapTapeJobWithoutEngine", "ruxen-backup",
                   {"--app-id", "2:7", "--snap-tape-job-id", "42", "--archive", "@/a", "@/collect.cvf"}, "", 2,
                   "--snap-tape-job-id needs --snap-engine N"},
        Invocation{"TwoSnapshotJobIds", "ruxen-backup",
                   {"--snap-job-id", "4", "--snap-tape-job-id", "42", "--archive", "@/a", "@/collect.cvf"}, "", 2,
                   "a job has one snapshot job id"},
        Invocation{"ArchiveIsTheSnapshotMapping", "ruxen-backup",
                   {"--app-id", "2:7", "--snap-tape-job-id", "42", "--snap-engine", "7", "--archive",
                    "@/hwsnapInfo.kxf", "@/collect.cvf"},
                   "", 2, "it is the snapshot mapping file @/hwsnapInfo.kxf"},
        Invocation{"IndexOfADataJob", "ruxen-backup", {"--index", "@/f.txt", "--archive", "@/a", "@/collect.cvf"}, "",
                   2, "--index is for a catalog job (--catalog)"},
        Invocation{"MacPropsInACatalog", "ruxen-backup", {"--catalog", "--index", "@/i", "--mac-properties", "@/c"},
                   "", 2, "--mac-properties is for a data job: a catalog job (--catalog) reads no data"},
        Invocation{"FlaPropsInACatalog", "ruxen-backup", {"--catalog", "--index", "@/i", "--fla-props", "@/c"}, "", 2,
                   "--fla-props is for a data job"},
        Invocation{"AtimeInACatalog", "ruxen-backup", {"--catalog", "--index", "@/i", "--preserve-atime", "@/c"},
                   "", 2, "--preserve-atime is for a data job"},
        Invocation{"NoPrefetchInACatalog", "ruxen-backup", {"--catalog", "--index", "@/i", "--no-prefetch", "@/c"}, "",
                   2, "--no-prefetch is for a data job"},
        Invocation{"NameMapBesideAProxyMap", "ruxen-backup",
                   {"--name-map", "@/collect.cvf", "--proxy-map", "@/collect.cvf", "--archive", "@/a", "@/collect.cvf"},
                   "", 2, "--name-map is for a job whose paths no --proxy-map"},
        Invocation{"NativeSnapWithoutItsFile", "ruxen-backup", {"--native-snap", "--archive", "@/a", "@/collect.cvf"},
                   "", 2, "--native-snap needs the native snapshot's mapping file @/nativeSnapMapInfo.kxf"},
        Invocation{"CollectNoStreams", "ruxen-collect", {"--streams", "0", "--job-dir", "@", "@/tree"}, "", 2,
                   "--streams takes a number from 1 to 256"},
        Invocation{"DumpIndexOfAnArchive", "ruxen-dump", {"--index", "@/collect.cvf"}, "RXPLxxxx", 1,
                   "expected \"RXIX\""},
        Invocation{"DumpIndexWithVerify", "ruxen-dump", {"--index", "--verify", "@/collect.cvf"}, "", 2, "usage:"},
        // Log levels that are none, log files that are inputs or cannot be opened.
        Invocation{"LogLevelBelowFailures", "ruxen-backup", {"--archive", "@/a", "@/collect.cvf"}, "", 2,
                   "ruxen-backup: RUXEN_LOG_LEVEL \"-2\" is not a level: a whole number from -1", nullptr,
                   {"RUXEN_LOG_LEVEL=-2"}},
        Invocation{"CollectLogLevelNotANumber", "ruxen-collect", {"--log-level", "debug", "@/tree"}, "", 2,
                   "ruxen-collect: the log level \"debug\" is not a level"},
        Invocation{"DumpLogLevelAboveAll", "ruxen-dump", {"@/a"}, "", 2, "ruxen-dump: RUXEN_LOG_LEVEL \"101\"", nullptr,
                   {"RUXEN_LOG_LEVEL=101"}},
        Invocation{"LogFileIsCollect", "ruxen-backup",
                   {"--log-file", "@/hard.cvf", "--archive", "@/a", "@/collect.cvf"}, "@/tree/data.bin\n", 2,
                   "refusing to write the log file @/hard.cvf: it is the collect file"},
        Invocation{"LogFileIsTheArchive", "ruxen-backup", {"--archive", "@/a", "@/collect.cvf"}, "", 2,
                   "refusing to write the log file @/a: it is also the archive file", nullptr, {"RUXEN_LOG_FILE=@/a"}},
        Invocation{"LogFileCannotBeOpened", "ruxen-backup",
                   {"--log-file", "@/no/dir/log", "--archive", "@/a", "@/collect.cvf"}, "", 2,
                   "cannot open the log file @/no/dir/log: No such file or directory"},
        Invocation{"CollectLogFileInTheJobDir", "ruxen-collect",
                   {"--log-file", "@/split_config", "--job-dir", "@", "@/tree"}, "", 2,
                   "refusing to write the log file @/split_config: the job directory"},
        Invocation{"DumpLogFileIsTheStream", "ruxen-dump", {"--log-file", "@/a", "@/a"}, "", 2,
                   "refusing to write the log file @/a: it is the stream file @/a"},
        // A registry that cannot be read would run the job on defaults.
        Invocation{"RegistryOfTheEnvironmentMissing", "ruxen-backup", {"--archive", "@/a", "@/collect.cvf"}, "", 2,
                   "ruxen-backup: the registry file named by RUXEN_REGISTRY cannot be read", nullptr,
                   {"RUXEN_REGISTRY=@/no-such.ini"}},
        Invocation{"CollectRegistryOfTheEnvironmentMissing", "ruxen-collect", {"@/tree"}, "", 2,
                   "ruxen-collect: the registry file named by RUXEN_REGISTRY cannot be read", nullptr,
                   {"RUXEN_REGISTRY=@/no-such.ini"}}),
    [](const ::testing::TestParamInfo<Invocation>& i) { return std::string(i.param.name); });

}  // namespace
