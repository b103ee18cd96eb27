// Whole-buffer reads and writes over descriptors: short counts, end of file
// before the count, and write errors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/FdIO.h"

namespace {

TEST(FdIO, ReadAllGathersShortReadsAndWriteAllSendsEverything) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    // A small socket buffer forces both sides into many short transfers.
    int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string out(1 << 20, '\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>(i * 31 + i / 977);
    std::thread writer([&] { EXPECT_EQ(writeAll(sv[0], out.data(), out.size()), 0); });
    std::string in(out.size(), '\0');
    EXPECT_EQ(readAll(sv[1], &in[0], in.size()), 0);
    writer.join();
    EXPECT_TRUE(in == out);
    close(sv[0]);
    close(sv[1]);
}

TEST(FdIO, EndOfFileBeforeTheCountIsAnError) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(writeAll(p[1], "abc", 3), 0);
    close(p[1]);
    char buf[8];
    errno = 0;
    EXPECT_EQ(readAll(p[0], buf, 8), -1);
    EXPECT_EQ(errno, ENODATA);
    close(p[0]);
}

TEST(FdIO, WriteErrorsAreReported) {
    int fd = open("/dev/full", O_WRONLY);
    if (fd < 0)
        GTEST_SKIP() << "no /dev/full";
    errno = 0;
    EXPECT_EQ(writeAll(fd, "x", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    close(fd);
    errno = 0;
    EXPECT_EQ(writeAll(-1, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(readAll(-1, &fd, 1), -1);
}

}  // namespace
