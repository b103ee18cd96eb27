// The host program and the collect-file writer run as processes on a small
// tree; their exit status and messages are checked, and the archive by the
// archive verifier.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/ArchiveStreamReader.h"
#include "platform/CGuidFactory.h"
#include "platform/FileNameEscape.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenMessages.h"
#include "support/AppleDoubleBuilder.h"
#include "support/RunProgram.h"
#include "support/StreamCheck.h"
#include "support/TestFiles.h"
#include "support/XattrFiles.h"

namespace {

using namespace testfiles;

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

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

// An item that vanished after the scan is listed when the registry asks for
// ENOENT failures, and passed over otherwise without a log line at the
// default level; the backup succeeds either way.
TEST_F(RuxenBackupTool, MissingItemIsListedWhenTheRegistryAsks) {
    WriteWholeFile(m_collect, m_tree + "/data.bin\n" + m_tree + "/gone%25missing\n");
    const std::string registry = m_dir / "registry.ini";
    WriteWholeFile(registry, "[FileSystemAgent]\nsReportFailureOnENOENT = Y\n");
    ProgramResult r = Backup({"--registry", registry, "--failures", m_failures, "--archive", m_archive, m_collect});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("done: 1 items, 50000 bytes, 1 failed items")) << r.err;
    EXPECT_EQ(m_tree + "/gone%25missing:2\n", ReadWholeFile(m_failures));

    r = Backup({"--failures", m_failures, "--archive", m_archive, m_collect});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("done: 1 items, 50000 bytes, 0 failed items")) << r.err;
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
    r = RunProgram(m_dir.path(), "ruxen-dump", {"--verify", m_archive});
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
    ProgramResult r = RunProgram(m_dir.path(), "ruxen-dump", {"--verify", m_archive});
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

// A path too long for the header: with --long-path and an application type
// that allows it, sent under its longest ancestor within 959 characters and
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
    } cases[] = {{{"--long-path", "--app-type", "29"}, true},
                 {{"--long-path", "--app-type", "0"}, false},
                 {{"--app-type", "29"}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options[c.options.size() - 1] + (c.options.size() == 3 ? " with --long-path" : ""));
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--failures", m_failures, "--archive", m_archive, m_collect});
        ProgramResult r = Backup(args);
        EXPECT_EQ(0, r.exitCode) << r.err;
        EXPECT_EQ(c.sent ? "" : p + ":" + std::to_string(ENAMETOOLONG) + "\n", ReadWholeFile(m_failures));
        r = RunProgram(m_dir.path(), "ruxen-dump", {"--verify", m_archive});
        EXPECT_EQ(0, r.exitCode) << r.out;
        EXPECT_EQ(c.sent, r.out.find("HEADER type=128 length=1160 name=\"" + substitute + "\" mode=0100644 size=4 ") !=
                              std::string::npos) << r.out;
        EXPECT_EQ(c.sent, r.out.find("DATA type=2 length=4\n") != std::string::npos) << r.out;
    }
}

// Paths longer than the system takes are stat-ed and read through the
// long-path handler, item after item: the end of one long-path item must not
// leave the next to the plain calls.
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
    int dir = open(m_tree.c_str(), O_RDONLY | O_DIRECTORY);
    for (size_t at = m_tree.size() + 1, slash; (slash = b.find('/', at)) != std::string::npos; at = slash + 1) {
        int next = openat(dir, b.substr(at, slash - at).c_str(), O_RDONLY | O_DIRECTORY);
        close(dir);
        dir = next;
    }
    int fd = openat(dir, "b", O_WRONLY | O_CREAT, 0644);
    close(dir);
    ASSERT_EQ(2, write(fd, "bb", 2));
    close(fd);

    ProgramResult r = Backup({"--long-path", "--app-type", "29", "--failures", m_failures, "--archive", m_archive,
                              m_collect});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("", ReadWholeFile(m_failures));
    r = RunProgram(m_dir.path(), "ruxen-dump", {m_archive});
    EXPECT_EQ(1u, CountOf(r.out, " DATA type=2 length=4\n")) << r.out;
    EXPECT_EQ(1u, CountOf(r.out, " DATA type=2 length=2\n")) << r.out;
}

// The index file is written beside the archive and reads back clean.
TEST_F(RuxenBackupTool, IndexFileBesideTheArchive) {
    ASSERT_NO_FATAL_FAILURE(Collect());
    const std::string index = m_dir / "index.rxix";
    ProgramResult r = Backup({"--index", index, "--archive", m_archive, m_collect});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(std::string("RXIX\0\0\0\1", 8), ReadWholeFile(index).substr(0, 8));
    r = RunProgram(m_dir.path(), "ruxen-dump", {"--index", index});
    EXPECT_EQ(0, r.exitCode) << r.err;
}

// Index metadata of a stub-free tree: only the item whose folder is too long
// for the index carries a record 159, its real path; a catalog run sends
// the same pair before that item's entry, and every item as an entry.
TEST_F(RuxenBackupTool, MetadataRecordsAndTheCatalog) {
    std::string deep = m_tree;
    while (deep.size() < 960)
        ASSERT_EQ(0, mkdir((deep += "/" + std::string(std::min<size_t>(200, 960 - deep.size()), 'd')).c_str(), 0755));
    WriteWholeFile(deep + "/f", "deep");
    ASSERT_NO_FATAL_FAILURE(Collect());
    const std::string index = m_dir / "catalog.rxix", kind = "kind=0x5EB743E8(LONGFILEPATH_REAL_PATH) ";
    ASSERT_EQ(0, Backup({"--long-path", "--archive", m_archive, m_collect}).exitCode);
    ProgramResult r = RunProgram(m_dir.path(), "ruxen-dump", {"--verify", m_archive});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(1u, CountOf(r.out, " IDX_METADATA ")) << r.out;
    EXPECT_EQ(1u, CountOf(r.out, " IDX_METADATA type=159 length=" + std::to_string(deep.size() + 12) + " pairs=1 [" +
                                     kind + "more=0 value=\"" + deep + "/f\"]"));

    ASSERT_EQ(0, Backup({"--catalog", "--long-path", "--index", index, m_collect}).exitCode);
    r = RunProgram(m_dir.path(), "ruxen-dump", {"--index", index});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(CountOf(ReadWholeFile(m_collect), "\n"), CountOf(r.out, " IDX_FILE ")) << r.out;
    const size_t at = r.out.find(" IDX_PAIR conn=1 " + kind + "value=\"" + deep + "/f\"");
    ASSERT_NE(std::string::npos, at) << r.out;
    EXPECT_EQ(r.out.find(" IDX_FILE conn=1 name=\"" + deep + "/f\"", at), r.out.find(" IDX_FILE ", at));
    EXPECT_EQ(1u, CountOf(r.out, "mode=0120777 size=8 offset=0 link=\"data.bin\""));
}

// A write error late in the stream: the summary says how far the archive
// got, which is what the file really holds.
TEST_F(RuxenBackupTool, LateWriteErrorSaysHowFarTheArchiveGot) {
    std::string text;
    for (int i = 0; i < 8; ++i) {
        WriteWholeFile(m_dir / std::to_string(i), pattern(300000, i));
        text += m_dir / std::to_string(i) + "\n";
    }
    WriteWholeFile(m_collect, text);
    ProgramOptions limit;
    limit.inChild = [] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {1500000, 1500000};
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
    unsigned long long ends = 0;
    while (reader.Next(&rec) == ArchiveStreamReader::kRecord)
        ends += rec.type == PL_FS_EOF;
    EXPECT_EQ(ends, whole);
    EXPECT_GT(whole, 0u);
}

// With the do-not-send hook the backup "succeeds" with nothing sent: the
// summary must say so.
TEST_F(RuxenBackupTool, DoNotSendHookIsNamedInTheSummary) {
    const std::string hooks = m_dir / "hooks";
    ASSERT_EQ(0, mkdir(hooks.c_str(), 0755));
    WriteWholeFile(hooks + "/" + kHookDoNotSend, "");
    ASSERT_EQ(0, chmod((hooks + "/" + kHookDoNotSend).c_str(), 0600));
    WriteWholeFile(m_collect, m_tree + "/data.bin\n");
    ProgramResult r = Backup({"--archive", m_archive, m_collect}, {{"RUXEN_HOOK_DIR=" + hooks}, {}});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("nothing was sent: the do-not-send hook file " + hooks)) << r.err;
}

struct Invocation {
    const char* name;
    const char* program;
    std::vector<std::string> args;  // "@" stands for the test directory
    const char* collect;            // written to @/collect.cvf first
    int exitCode;
    const char* message;  // expected on standard error
};
void PrintTo(const Invocation& i, std::ostream* os) { *os << i.name; }

class RuxenToolErrors : public RuxenBackupTool, public ::testing::WithParamInterface<Invocation> {};

// Usage errors, and outputs that are a collect file (by name, link or hard
// link) or another output, are refused before anything is opened (exit 2):
// the collect file keeps its lines and no output is created.
TEST_P(RuxenToolErrors, ExitStatusAndMessage) {
    const Invocation& c = GetParam();
    std::string collect = c.collect;
    for (size_t at; (at = collect.find('@')) != std::string::npos;)
        collect.replace(at, 1, m_dir.path());
    WriteWholeFile(m_collect, collect);
    ASSERT_EQ(0, link(m_collect.c_str(), (m_dir / "hard.cvf").c_str()));
    ASSERT_EQ(0, symlink("collect.cvf", (m_dir / "soft.cvf").c_str()));
    std::vector<std::string> args;
    for (const std::string& a : c.args)
        args.push_back(a[0] == '@' ? m_dir.path() + a.substr(1) : a);
    ProgramResult r = RunProgram(m_dir.path(), c.program, args);
    EXPECT_EQ(c.exitCode, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
    EXPECT_EQ(collect, ReadWholeFile(m_collect));
    for (const char* out : {"/a", "/f.txt"})
        EXPECT_TRUE(c.exitCode != 2 || access((m_dir.path() + out).c_str(), F_OK) != 0) << out;
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
                   {"--streams", "2", "--archive", "@/a", "@/collect.cvf", "@/no-such.cvf"}, "@/tree/data.bin\n", 1,
                   "no-such.cvf was not wholly backed up"},
        Invocation{"MissingCollect", "ruxen-backup", {"--archive", "@/a", "@/no-such.cvf"}, "", 1, "no-such.cvf"},
        Invocation{"ArchiveDirMissing", "ruxen-backup", {"--archive", "@/no/dir/a", "@/collect.cvf"}, "", 1,
                   "cannot create the archive"},
        Invocation{"FailuresUnwritable", "ruxen-backup", {"--failures", "/dev/full", "--archive", "@/a", "@/collect.cvf"},
                   "@/tree/data.bin\nnot/absolute\n", 1, "stream FAILED"},
        Invocation{"NothingToList", "ruxen-backup", {"--failures", "/dev/full", "--archive", "@/a", "@/collect.cvf"},
                   "@/tree/data.bin\n", 0, "done: 1 items"},
        Invocation{"CollectNoArguments", "ruxen-collect", {}, "", 2, "usage:"},
        Invocation{"CollectJobDirNoValue", "ruxen-collect", {"--job-dir"}, "", 2, "usage:"},
        Invocation{"CollectJobDirMissing", "ruxen-collect", {"--job-dir", "@/no/dir", "@/tree"}, "", 1,
                   "/no/dir: No such file"},
        Invocation{"CollectMissingDir", "ruxen-collect", {"@/absent"}, "", 1, "absent"},
        Invocation{"CollectNoStreams", "ruxen-collect", {"--streams", "0", "--job-dir", "@", "@/tree"}, "", 2,
                   "--streams takes a number from 1 to 256"},
        Invocation{"IndexIsCollect", "ruxen-backup", {"--index", "@/collect.cvf", "--archive", "@/a", "@/collect.cvf"},
                   "@/tree/data.bin\n", 2, "refusing to write the index file"},
        Invocation{"DumpIndexOfAnArchive", "ruxen-dump", {"--index", "@/collect.cvf"}, "RXPLxxxx", 1,
                   "expected \"RXIX\""},
        Invocation{"DumpIndexWithVerify", "ruxen-dump", {"--index", "--verify", "@/collect.cvf"}, "", 2, "usage:"}),
    [](const ::testing::TestParamInfo<Invocation>& i) { return std::string(i.param.name); });

}  // namespace
