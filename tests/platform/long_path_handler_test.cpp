#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "platform/AMTimePreserver.h"
#include "platform/KxLongPathHandler.h"
#include "support/TestFiles.h"

namespace {

// A directory tree whose deepest directory lies more than PATH_MAX bytes
// below the temporary root, built with mkdirat/openat:
//   root/<c0>/<c1>/.../<cN>/{data, lnk -> data, sub/}
//   root/alias -> <c0>
class LongPathHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = tmp_.path();
        int fd = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(fd, 0);
        deep_ = root_;
        rel_.clear();
        for (int i = 0; deep_.size() <= PATH_MAX + 200; ++i) {
            std::string comp = std::to_string(i) + "_" + std::string(200, 'd');
            if (i == 0)
                first_ = comp;
            ASSERT_EQ(mkdirat(fd, comp.c_str(), 0755), 0);
            int next = openat(fd, comp.c_str(), O_RDONLY | O_DIRECTORY);
            ASSERT_GE(next, 0);
            close(fd);
            fd = next;
            deep_ += "/" + comp;
            rel_ += (rel_.empty() ? "" : "/") + comp;
        }
        int f = openat(fd, "data", O_CREAT | O_WRONLY | O_EXCL, 0644);
        ASSERT_GE(f, 0);
        ASSERT_EQ(write(f, "deep content", 12), 12);
        close(f);
        ASSERT_EQ(symlinkat("data", fd, "lnk"), 0);
        ASSERT_EQ(mkdirat(fd, "sub", 0755), 0);
        close(fd);
        ASSERT_EQ(symlink(first_.c_str(), (root_ + "/alias").c_str()), 0);
        handler_ = KxLongPathHandler::GetHandler();
        ASSERT_NE(handler_, nullptr);
    }
    testfiles::TempDir tmp_{"long_path_test"};
    std::string root_;
    std::string first_;
    std::string deep_;  // absolute, longer than PATH_MAX
    std::string rel_;   // deep_ relative to root_
    KxLongPathHandler* handler_ = nullptr;
};

TEST_F(LongPathHandlerTest, StatOpenReadlinkAndListBeyondPathMax) {
    ASSERT_GT(deep_.size(), static_cast<size_t>(PATH_MAX));
    const std::string data = deep_ + "/data";
    struct stat st;
    errno = 0;
    EXPECT_EQ(lstat(data.c_str(), &st), -1);  // the ordinary call cannot
    EXPECT_EQ(errno, ENAMETOOLONG);

    ASSERT_EQ(handler_->lstat_long(data.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 12);
    ASSERT_EQ(handler_->lstat_long((deep_ + "/lnk").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));  // the last component is not followed
    ASSERT_EQ(handler_->lstat_long((deep_ + "/sub/").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    int fd = handler_->open_long(data.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[64];
    ASSERT_EQ(read(fd, buf, sizeof buf), 12);
    EXPECT_EQ(std::string(buf, 12), "deep content");
    close(fd);
    fd = handler_->open_long((deep_ + "/lnk").c_str(), O_RDONLY);  // open follows
    ASSERT_GE(fd, 0);
    close(fd);
    fd = handler_->open_long((deep_ + "/new").c_str(), O_CREAT | O_WRONLY | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(handler_->lstat_long((deep_ + "/new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    ssize_t n = handler_->readlink_long((deep_ + "/lnk").c_str(), buf, sizeof buf);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(std::string(buf, n), "data");

    DIR* d = handler_->opendir_long(deep_.c_str());
    ASSERT_NE(d, nullptr);
    std::set<std::string> names;
    while (struct dirent* de = readdir(d))
        names.insert(de->d_name);
    closedir(d);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "data", "lnk", "sub", "new"}));

    // The access-time preserver reaches long paths through the handler.
    struct utimbuf ut = {1000000000, 1100000000};
    ASSERT_EQ(handler_->utime_long(data.c_str(), &ut), 0);
    ASSERT_EQ(handler_->lstat_long(data.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1100000000);
    AMTimePreserver p(new CoreInodePropPreserver<struct stat>(data, st));
    struct utimbuf later = {1200000000, 1300000000};
    ASSERT_EQ(handler_->utime_long(data.c_str(), &later), 0);
    p.reset();
    EXPECT_EQ(p.lastResult(), AMTimePreserver::Restored);
    ASSERT_EQ(handler_->lstat_long(data.c_str(), &st), 0);
    EXPECT_EQ(st.st_atime, 1000000000);
    EXPECT_EQ(st.st_mtime, 1300000000);
}

TEST_F(LongPathHandlerTest, IntermediateSymlinkIsFollowedAndRelativePathsWork) {
    std::string viaAlias = root_ + "/alias" + deep_.substr(root_.size() + 1 + first_.size());
    ASSERT_GT(viaAlias.size(), static_cast<size_t>(PATH_MAX));
    struct stat a, b;
    ASSERT_EQ(handler_->lstat_long(viaAlias.c_str(), &a), 0);
    ASSERT_EQ(handler_->lstat_long(deep_.c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);

    // Doubled slashes and a trailing slash inside a long path.
    std::string doubled = root_ + "//" + rel_ + "//data";
    ASSERT_EQ(handler_->lstat_long(doubled.c_str(), &a), 0);
    EXPECT_TRUE(S_ISREG(a.st_mode));

    int saved = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(chdir(root_.c_str()), 0);
    ASSERT_GT(rel_.size(), static_cast<size_t>(PATH_MAX));
    EXPECT_EQ(handler_->lstat_long((rel_ + "/data").c_str(), &a), 0);
    EXPECT_EQ(fchdir(saved), 0);
    close(saved);
}

TEST_F(LongPathHandlerTest, ChdirAndCurrentDirectoryBeyondPathMax) {
    int saved = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(handler_->chdir_long(deep_.c_str()), 0);
    // /tmp may itself be reached through a link; compare with the resolved root.
    char* realRoot = realpath(root_.c_str(), nullptr);
    ASSERT_NE(realRoot, nullptr);
    std::string expected = std::string(realRoot) + deep_.substr(root_.size());
    free(realRoot);
    EXPECT_EQ(handler_->GetCurrentWorkingDir(), expected);
    struct stat st;
    EXPECT_EQ(lstat("data", &st), 0);
    ASSERT_EQ(fchdir(saved), 0);
    close(saved);

    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(handler_->GetCurrentWorkingDir(), cwd);
}

TEST_F(LongPathHandlerTest, FailuresKeepErrno) {
    struct stat st;
    char buf[16];
    std::string missing = deep_;
    missing.replace(root_.size() + 1, 1, "X");  // first component absent
    const std::string huge = root_ + "/" + std::string(PATH_MAX + 10, 'h') + "/x";  // one component too long
    const struct {
        std::function<bool()> fails;
        int err;
    } cases[] = {
        {[&] { return handler_->lstat_long(missing.c_str(), &st) == -1; }, ENOENT},
        {[&] { return handler_->open_long((deep_ + "/data/below").c_str(), O_RDONLY) == -1; }, ENOTDIR},
        {[&] { return handler_->opendir_long((deep_ + "/data").c_str()) == nullptr; }, ENOTDIR},
        {[&] { return handler_->readlink_long((deep_ + "/data").c_str(), buf, sizeof buf) == -1; }, EINVAL},
        {[&] { return handler_->chdir_long((deep_ + "/nope").c_str()) == -1; }, ENOENT},
        {[&] { return handler_->lstat_long(huge.c_str(), &st) == -1; }, ENAMETOOLONG},
        {[&] { return handler_->lstat_long("", &st) == -1; }, ENOENT},
        {[&] { return handler_->lstat_long(nullptr, &st) == -1; }, EFAULT},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        errno = 0;
        EXPECT_TRUE(cases[i].fails()) << i;
        EXPECT_EQ(errno, cases[i].err) << i;
    }
    // Short paths take the same road.
    EXPECT_EQ(handler_->lstat_long((root_ + "/alias").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(handler_->lstat_long(std::string(PATH_MAX + 5, '/').c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

}  // namespace
