#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "platform/UtfFileOps.h"
#include "support/TestFiles.h"

namespace {

TEST(KxDfmfNameTest, CompanionIsDotUnderscoreInTheSameDirectory) {
    EXPECT_EQ(KX_DFMF_NAME("/a/b/c"), "/a/b/._c");
    EXPECT_EQ(KX_DFMF_NAME("/x"), "/._x");
    EXPECT_EQ(KX_DFMF_NAME("x"), "._x");
    EXPECT_EQ(KX_DFMF_NAME("a/b"), "a/._b");
    EXPECT_EQ(KX_DFMF_NAME("/a/b/"), "/a/._b");
    EXPECT_EQ(KX_DFMF_NAME("/a//b"), "/a//._b");
    EXPECT_EQ(KX_DFMF_NAME("/a/._b"), "/a/._._b");
    EXPECT_EQ(KX_DFMF_NAME("/a/name with blank\n"), "/a/._name with blank\n");
    EXPECT_EQ(KX_DFMF_NAME("/"), "");
    EXPECT_EQ(KX_DFMF_NAME("//"), "");
    EXPECT_EQ(KX_DFMF_NAME(""), "");
    EXPECT_EQ(KX_DFMF_NAME(nullptr), "");
}

TEST(UtfFileOpsTest, WrappersActOnRealFilesWithAnyBytes) {
    testfiles::TempDir tmp("utf_ops_test");
    const std::string& dir = tmp.path();
    // A name that is not valid UTF-8 passes through unchanged.
    const std::string file = dir + "/f\xff\xfe";
    const std::string link = dir + "/l";

    int fd = open_utf(file.c_str(), O_CREAT | O_WRONLY | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "12345", 5), 5);
    close(fd);
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);

    struct stat st;
    ASSERT_EQ(lstat_utf(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 5);
    ASSERT_EQ(lstat_utf(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    char buf[256];
    ssize_t n = readlink_utf(link.c_str(), buf, sizeof buf);
    ASSERT_EQ(n, static_cast<ssize_t>(file.size()));
    EXPECT_EQ(std::string(buf, n), file);

    struct utimbuf ut = {1000000000, 1100000000};
    ASSERT_EQ(utime_utf(file.c_str(), &ut), 0);
    ASSERT_EQ(lstat_utf(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_atime, 1000000000);
    EXPECT_EQ(st.st_mtime, 1100000000);

    DIR* d = opendir_utf(dir.c_str());
    ASSERT_NE(d, nullptr);
    std::set<std::string> names;
    while (struct dirent* de = readdir(d))
        names.insert(de->d_name);
    EXPECT_EQ(closedir_utf(d), 0);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "f\xff\xfe", "l"}));

    errno = 0;
    EXPECT_EQ(closedir_utf(nullptr), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(lstat_utf((dir + "/missing").c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(opendir_utf(file.c_str()), nullptr);
    EXPECT_EQ(errno, ENOTDIR);
}

}  // namespace
