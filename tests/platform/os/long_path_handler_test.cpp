#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <set>
#include <string>

#include "platform/os/AMTimePreserver.h"
#include "platform/os/KxLongPathHandler.h"
#include "support/DeepPath.h"
#include "support/TestFiles.h"

namespace {

// root/<c0>/.../<cN>/{data, lnk -> data, sub/}, deeper than PATH_MAX, and
// root/alias -> <c0>.
class LongPathHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = tmp_.path();
        deep_ = testfiles::MakeDeepDir(root_);
        ASSERT_FALSE(deep_.empty());
        first_ = deep_.substr(root_.size() + 1, deep_.find('/', root_.size() + 1) - root_.size() - 1);
        handler_ = KxLongPathHandler::GetHandler();
        ASSERT_NE(handler_, nullptr);
        int fd = handler_->open_long((deep_ + "/data").c_str(), O_CREAT | O_WRONLY | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "deep content", 12), 12);
        close(fd);
        int dfd = handler_->open_long(deep_.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_EQ(symlinkat("data", dfd, "lnk"), 0);
        ASSERT_EQ(mkdirat(dfd, "sub", 0755), 0);
        close(dfd);
        ASSERT_EQ(symlink(first_.c_str(), (root_ + "/alias").c_str()), 0);
    }
    testfiles::TempDir tmp_{"long_path_test"};
    std::string root_, first_, deep_;
    KxLongPathHandler* handler_ = nullptr;
};

TEST_F(LongPathHandlerTest, EveryCallBeyondPathMax) {
    const std::string data = deep_ + "/data";
    struct stat st;
    errno = 0;
    EXPECT_EQ(lstat(data.c_str(), &st), -1);  // the ordinary call cannot
    EXPECT_EQ(errno, ENAMETOOLONG);
    ASSERT_EQ(handler_->lstat_long(data.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_size == 12 && (st.st_mode & 07777) == 0600);
    const ino_t dataIno = st.st_ino;
    ASSERT_EQ(handler_->lstat_long((deep_ + "/lnk").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));  // the last component is not followed
    ASSERT_EQ(handler_->lstat_long((deep_ + "/sub/").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    int fd = handler_->open_long((deep_ + "/lnk").c_str(), O_RDONLY);  // open follows
    char buf[64];
    ASSERT_EQ(read(fd, buf, sizeof buf), 12);
    EXPECT_EQ(std::string(buf, 12), "deep content");
    close(fd);
    ASSERT_EQ(handler_->readlink_long((deep_ + "/lnk").c_str(), buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "data");
    DIR* d = handler_->opendir_long(deep_.c_str());
    ASSERT_NE(d, nullptr);
    std::set<std::string> names;
    while (struct dirent* de = readdir(d))
        names.insert(de->d_name);
    closedir(d);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "data", "lnk", "sub"}));

    // Through an intermediate link, doubled slashes, and relative to the
    // current directory.
    struct stat other;
    ASSERT_EQ(handler_->lstat_long((root_ + "/alias" + deep_.substr(root_.size() + 1 + first_.size()) + "//data").c_str(),
                                   &other), 0);
    EXPECT_EQ(other.st_ino, dataIno);
    int saved = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(chdir(root_.c_str()), 0);
    EXPECT_EQ(handler_->lstat_long((deep_.substr(root_.size() + 1) + "/data").c_str(), &other), 0);
    EXPECT_EQ(other.st_ino, dataIno);
    EXPECT_EQ(fchdir(saved), 0);
    close(saved);

    // The access-time preserver reaches long paths through the handler.
    struct utimbuf ut = {1000000000, 1100000000};
    ASSERT_EQ(handler_->utime_long(data.c_str(), &ut), 0);
    ASSERT_EQ(handler_->lstat_long(data.c_str(), &st), 0);
    AMTimePreserver p(new CoreInodePropPreserver<struct stat>(data, st));
    struct utimbuf later = {1200000000, 1300000000};
    ASSERT_EQ(handler_->utime_long(data.c_str(), &later), 0);
    p.reset();
    ASSERT_EQ(handler_->lstat_long(data.c_str(), &st), 0);
    EXPECT_EQ(st.st_atime, 1000000000);
    EXPECT_EQ(st.st_mtime, 1300000000);
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
