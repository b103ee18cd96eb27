// Whole-buffer reads and writes over descriptors: short counts, end of file
// before the count, and write errors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/base/FdIO.h"

namespace {

TEST(FdIO, ShortTransfersAreGatheredAndEndOfFileOrAFullDeviceFail) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    // A small socket buffer forces both sides into many short transfers.
    int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string out(1 << 20, '\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>(i * 31 + i / 977);
    std::thread writer([&] {
        EXPECT_EQ(ruxen::writeAll(sv[0], out.data(), out.size()), 0);
        close(sv[0]);
    });
    std::string in(out.size(), '\0');
    EXPECT_EQ(ruxen::readAll(sv[1], &in[0], in.size()), 0);
    writer.join();
    EXPECT_TRUE(in == out);
    char more[8];
    errno = 0;
    EXPECT_EQ(ruxen::readAll(sv[1], more, sizeof(more)), -1);
    EXPECT_EQ(errno, ENODATA);
    close(sv[1]);

    int fd = open("/dev/full", O_WRONLY);
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_EQ(ruxen::writeAll(fd, "x", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    close(fd);
}

}  // namespace
