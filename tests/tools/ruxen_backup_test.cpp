// The host program and the collect-file writer run as processes on a small
// tree; their exit status, output and archive are checked.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/ArchiveStreamReader.h"
#include "platform/ZXHeaderByteOrder.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/ZXFileHeader.h"
#include "support/TestFiles.h"

namespace {

using testfiles::ReadWholeFile;
using testfiles::WriteWholeFile;

struct ProcessResult {
    int exitCode = -1;  // -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs a program of the build with stdout and stderr captured to files.
ProcessResult RunTool(const std::string& dir, const std::string& tool, const std::vector<std::string>& args) {
    ProcessResult res;
    const std::string exe = std::string(RUXEN_BIN_DIR) + "/" + tool;
    const std::string outPath = dir + "/" + tool + ".stdout", errPath = dir + "/" + tool + ".stderr";
    std::vector<std::string> argvStore;
    argvStore.push_back(exe);
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argvStore)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
            _exit(126);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    EXPECT_GT(pid, 0);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        res.exitCode = WEXITSTATUS(status);
    res.out = ReadWholeFile(outPath);
    res.err = ReadWholeFile(errPath);
    return res;
}

class RuxenBackupTool : public ::testing::Test {
protected:
    void SetUp() override {
        m_work = m_dir.path();
        m_tree = m_work + "/tree";
        ASSERT_EQ(0, mkdir(m_tree.c_str(), 0755));
        m_data = std::string(50000, '\0');
        for (size_t i = 0; i < m_data.size(); ++i)
            m_data[i] = static_cast<char>(i * 7 + i / 256);
        ASSERT_NO_FATAL_FAILURE(WriteWholeFile(m_tree + "/data.bin", m_data));
        ASSERT_NO_FATAL_FAILURE(WriteWholeFile(m_tree + "/empty", ""));
        ASSERT_EQ(0, mkdir((m_tree + "/sub").c_str(), 0755));
        ASSERT_NO_FATAL_FAILURE(WriteWholeFile(m_tree + "/sub/hello.txt", "hello\n"));
        ASSERT_EQ(0, symlink("data.bin", (m_tree + "/link").c_str()));
        ASSERT_NO_FATAL_FAILURE(WriteWholeFile(m_tree + "/sub/new\nline%name", "odd"));
        int fd = open((m_tree + "/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ftruncate(fd, 16 << 20));
        ASSERT_EQ(4, pwrite(fd, "end!", 4, (16 << 20) - 4));
        close(fd);
        m_collect = m_work + "/collect.cvf";
        m_archive = m_work + "/archive.rxpl";
        m_failures = m_work + "/failures.txt";
    }

    // Runs ruxen-collect on the tree into m_collect; answers its lines.
    std::vector<std::string> Collect() {
        ProcessResult r = RunTool(m_work, "ruxen-collect", {m_tree});
        EXPECT_EQ(0, r.exitCode) << r.err;
        WriteWholeFile(m_collect, r.out);
        std::vector<std::string> lines;
        size_t pos = 0;
        while (pos < r.out.size()) {
            size_t nl = r.out.find('\n', pos);
            if (nl == std::string::npos)
                nl = r.out.size();
            lines.push_back(r.out.substr(pos, nl - pos));
            pos = nl + 1;
        }
        return lines;
    }

    testfiles::TempDir m_dir{"ruxen_tool"};
    std::string m_work, m_tree, m_collect, m_archive, m_failures, m_data;
};

TEST_F(RuxenBackupTool, CollectListsTheTreeEscapedInOrder) {
    std::vector<std::string> lines = Collect();
    const std::vector<std::string> want = {m_tree,
                                           m_tree + "/data.bin",
                                           m_tree + "/empty",
                                           m_tree + "/link",
                                           m_tree + "/sparse",
                                           m_tree + "/sub",
                                           m_tree + "/sub/hello.txt",
                                           m_tree + "/sub/new%0Aline%25name"};
    EXPECT_EQ(want, lines);
}

TEST_F(RuxenBackupTool, BacksUpTheTreeIntoAReadableArchive) {
    std::vector<std::string> lines = Collect();
    ASSERT_EQ(8u, lines.size());
    ProcessResult r = RunTool(m_work, "ruxen-backup", {"--failures", m_failures, "--archive", m_archive, m_collect});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    // 50000 + 6 + 3 bytes of small files and the 4 data bytes at the end of
    // the sparse file, read as one block.
    unsigned long long items = 0, bytes = 0, failed = 0;
    ASSERT_EQ(3, sscanf(r.out.c_str(), "ruxen-backup: done: %llu items, %llu bytes, %llu failed items, ", &items,
                        &bytes, &failed))
        << r.out;
    EXPECT_EQ(8u, items);
    EXPECT_EQ(0u, failed);
    EXPECT_GE(bytes, 50009u + 4u);
    EXPECT_LE(bytes, 50009u + 64u * 1024u) << "the sparse file's hole was read as data";
    EXPECT_EQ("", ReadWholeFile(m_failures));

    ArchiveStreamReader reader;
    ASSERT_TRUE(reader.OpenFile(m_archive.c_str())) << reader.Error();
    ArchiveRecord rec;
    std::vector<std::string> names;
    std::map<std::string, std::string> contents;
    std::map<uint32_t, int> counts;
    std::string current;
    uint64_t dataBytes = 0;
    ArchiveStreamReader::Status s;
    while ((s = reader.Next(&rec)) == ArchiveStreamReader::kRecord) {
        const char* p = nullptr;
        size_t len = 0;
        ASSERT_TRUE(reader.ReadPayload(&p, &len)) << reader.Error();
        ++counts[rec.type];
        if (rec.type == PL_FS_HEADER) {
            ASSERT_EQ(ZX_HEADER_SIZE, len);
            ZXFileHeader h;
            memcpy(static_cast<void*>(&h), p, len);
            ConvertZXFileHeaderByteOrder(&h);
            EXPECT_EQ(ZX_HEADER_MAGIC, h.h_magic);
            current = h.h_filename;
            names.push_back(current);
        } else if (rec.type == PL_FS_DATA) {
            contents[current].append(p, len);
            dataBytes += len;
        } else if (rec.type == PL_FS_HOLE) {
            uint32_t n;
            memcpy(&n, p, 4);
            contents[current].append(ntohl(n), '\0');
        } else if (rec.type == PL_FS_EOF && current == m_tree + "/link") {
            EXPECT_EQ(std::string("data.bin\0", 9), std::string(p, len));
        }
    }
    ASSERT_EQ(ArchiveStreamReader::kEnd, s) << reader.Error();
    EXPECT_EQ(8, counts[PL_FS_HEADER]);
    EXPECT_EQ(8, counts[PL_FS_EOF]);
    EXPECT_EQ(0, counts[PL_FS_EOF_FAILED]);
    EXPECT_GE(counts[PL_FS_HOLE], 1);
    EXPECT_EQ(bytes, dataBytes);
    const std::vector<std::string> want = {m_tree,
                                           m_tree + "/data.bin",
                                           m_tree + "/empty",
                                           m_tree + "/link",
                                           m_tree + "/sparse",
                                           m_tree + "/sub",
                                           m_tree + "/sub/hello.txt",
                                           m_tree + "/sub/new\nline%name"};
    EXPECT_EQ(want, names);
    EXPECT_TRUE(contents[m_tree + "/data.bin"] == m_data);
    EXPECT_EQ("hello\n", contents[m_tree + "/sub/hello.txt"]);
    EXPECT_EQ("odd", contents[m_tree + "/sub/new\nline%name"]);
    const std::string& sparse = contents[m_tree + "/sparse"];
    ASSERT_EQ(16u << 20, sparse.size());
    EXPECT_EQ("end!", sparse.substr(sparse.size() - 4));
    EXPECT_EQ(std::string::npos, sparse.substr(0, sparse.size() - 4).find_first_not_of('\0'));
}

// An item that vanished after the scan is listed when the registry asks for
// ENOENT failures, and passed over otherwise; the backup succeeds either way.
TEST_F(RuxenBackupTool, MissingItemIsListedInTheFailuresFile) {
    Collect();
    std::string text = ReadWholeFile(m_collect) + m_tree + "/gone%25missing\n";
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(m_collect, text));
    const std::string registry = m_work + "/registry.ini";
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(registry, "[FileSystemAgent]\nsReportFailureOnENOENT = Y\n"));
    ProcessResult r = RunTool(m_work, "ruxen-backup",
                              {"--registry", registry, "--failures", m_failures, "--archive", m_archive, m_collect});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("ruxen-backup: done: 8 items, ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(" 1 failed items, ")) << r.out;
    EXPECT_EQ(m_tree + "/gone%25missing:2\n", ReadWholeFile(m_failures));

    r = RunTool(m_work, "ruxen-backup", {"--failures", m_failures, "--archive", m_archive, m_collect});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("ruxen-backup: done: 8 items, ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(" 0 failed items, ")) << r.out;
    EXPECT_EQ("", ReadWholeFile(m_failures));
}

// A failure the filter never passes over: a path too long for the header.
TEST_F(RuxenBackupTool, OverLongPathIsListedInTheFailuresFile) {
    std::string p = m_tree;
    int dfd = open(m_tree.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dfd, 0);
    for (int i = 0; i < 6; ++i) {
        std::string comp(200, static_cast<char>('a' + i));
        ASSERT_EQ(0, mkdirat(dfd, comp.c_str(), 0755));
        int nfd = openat(dfd, comp.c_str(), O_RDONLY | O_DIRECTORY);
        close(dfd);
        ASSERT_GE(nfd, 0);
        dfd = nfd;
        p += "/" + comp;
    }
    close(dfd);
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(m_collect, m_tree + "/data.bin\n" + p + "\n"));
    ProcessResult r = RunTool(m_work, "ruxen-backup", {"--failures", m_failures, "--archive", m_archive, m_collect});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("ruxen-backup: done: 1 items, 50000 bytes, 1 failed items, ")) << r.out;
    EXPECT_EQ(p + ":" + std::to_string(ENAMETOOLONG) + "\n", ReadWholeFile(m_failures));
}

// A failures file that cannot be written fails the backup instead of
// letting failed items go unlisted.
TEST_F(RuxenBackupTool, UnwritableFailuresFileFails) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(m_collect, m_tree + "/data.bin\nnot/absolute\n"));
    ProcessResult r = RunTool(m_work, "ruxen-backup", {"--failures", "/dev/full", "--archive", m_archive, m_collect});
    EXPECT_EQ(1, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("stream FAILED")) << r.out;

    ASSERT_NO_FATAL_FAILURE(WriteWholeFile(m_collect, m_tree + "/data.bin\n"));
    r = RunTool(m_work, "ruxen-backup", {"--failures", "/dev/full", "--archive", m_archive, m_collect});
    EXPECT_EQ(0, r.exitCode) << "nothing to list" << r.out << r.err;
}

TEST_F(RuxenBackupTool, MissingCollectFileFails) {
    ProcessResult r =
        RunTool(m_work, "ruxen-backup", {"--archive", m_archive, m_work + "/no-such-collect.cvf"});
    EXPECT_NE(0, r.exitCode);
    EXPECT_NE(-1, r.exitCode) << "the program crashed";
    EXPECT_NE(std::string::npos, r.err.find("no-such-collect.cvf")) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("stream FAILED")) << r.out;
}

TEST_F(RuxenBackupTool, ArchiveInAMissingDirectoryFails) {
    Collect();
    ProcessResult r = RunTool(m_work, "ruxen-backup", {"--archive", m_work + "/no/such/dir/archive", m_collect});
    EXPECT_NE(0, r.exitCode);
    EXPECT_NE(-1, r.exitCode) << "the program crashed";
    EXPECT_NE(std::string::npos, r.err.find("cannot create the archive")) << r.err;
}

TEST_F(RuxenBackupTool, UsageErrors) {
    EXPECT_EQ(2, RunTool(m_work, "ruxen-backup", {}).exitCode);
    EXPECT_EQ(2, RunTool(m_work, "ruxen-backup", {"--archive"}).exitCode);
    EXPECT_EQ(2, RunTool(m_work, "ruxen-backup", {"--bogus", "--archive", m_archive, m_collect}).exitCode);
    EXPECT_EQ(2, RunTool(m_work, "ruxen-collect", {}).exitCode);
    ProcessResult r = RunTool(m_work, "ruxen-collect", {m_work + "/absent"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("", r.out);
}

}  // namespace
