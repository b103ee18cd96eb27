#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/AMTimePreserver.h"
#include "platform/InodePropPreserver.h"
#include "support/TestFiles.h"

namespace {

class AMTimePreserverTest : public ::testing::Test {
protected:
    void SetUp() override {
        file_ = dir_ / "item";
        testfiles::WriteWholeFile(file_, "original");
        setTimes(file_, {1000000000, 111}, {1100000000, 222}, 0);
    }
    static void setTimes(const std::string& path, timespec a, timespec m, int flags) {
        timespec t[2] = {a, m};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, flags), 0);
    }
    static struct stat lstatOf(const std::string& path) {
        struct stat st;
        EXPECT_EQ(lstat(path.c_str(), &st), 0);
        return st;
    }
    static std::unique_ptr<AMTimePreserver> preserverOf(const std::string& path) {
        return std::unique_ptr<AMTimePreserver>(
            new AMTimePreserver(new CoreInodePropPreserver<struct stat>(path, lstatOf(path))));
    }

    testfiles::TempDir dir_;
    std::string file_;
};

TEST_F(AMTimePreserverTest, RestoresAccessTimeAndKeepsANewModificationTime) {
    auto p = preserverOf(file_);
    EXPECT_EQ(p->lastResult(), AMTimePreserver::NotRun);
    // The backup reads the file (access time moves) and someone modifies it
    // meanwhile (modification time moves).
    setTimes(file_, {1200000000, 5}, {1300000000, 6}, 0);

    p->reset();
    EXPECT_EQ(p->lastResult(), AMTimePreserver::Restored);
    struct stat st = lstatOf(file_);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_atim.tv_nsec, 111);
    EXPECT_EQ(st.st_mtim.tv_sec, 1300000000);  // not reverted
    EXPECT_EQ(st.st_mtim.tv_nsec, 6);
}

TEST_F(AMTimePreserverTest, UnchangedAccessTimeNeedsNoCall) {
    auto p = preserverOf(file_);
    p->reset();
    EXPECT_EQ(p->lastResult(), AMTimePreserver::Unchanged);
    EXPECT_EQ(lstatOf(file_).st_atim.tv_sec, 1000000000);
}

TEST_F(AMTimePreserverTest, ReplacedOrVanishedFileIsLeftAlone) {
    auto p = preserverOf(file_);
    const std::string other = dir_ / "other";
    testfiles::WriteWholeFile(other, "replacement");
    setTimes(other, {1500000000, 0}, {1500000000, 0}, 0);
    ASSERT_EQ(rename(other.c_str(), file_.c_str()), 0);

    p->reset();
    EXPECT_EQ(p->lastResult(), AMTimePreserver::Replaced);
    EXPECT_EQ(lstatOf(file_).st_atim.tv_sec, 1500000000);

    auto q = preserverOf(file_);
    ASSERT_EQ(unlink(file_.c_str()), 0);
    q->reset();
    EXPECT_EQ(q->lastResult(), AMTimePreserver::Replaced);
}

TEST_F(AMTimePreserverTest, SymbolicLinkItselfIsRestoredNotItsTarget) {
    const std::string link = dir_ / "link";
    ASSERT_EQ(symlink(file_.c_str(), link.c_str()), 0);
    setTimes(link, {900000000, 0}, {900000000, 0}, AT_SYMLINK_NOFOLLOW);
    auto p = preserverOf(link);
    EXPECT_EQ(p->getstatresult(), 1);
    setTimes(link, {950000000, 0}, {950000000, 0}, AT_SYMLINK_NOFOLLOW);

    p->reset();
    EXPECT_EQ(p->lastResult(), AMTimePreserver::Restored);
    EXPECT_EQ(lstatOf(link).st_atim.tv_sec, 900000000);
    EXPECT_EQ(lstatOf(link).st_mtim.tv_sec, 950000000);
    EXPECT_EQ(lstatOf(file_).st_atim.tv_sec, 1000000000);  // target untouched
}

TEST_F(AMTimePreserverTest, GettersAnswerThePreservedStat) {
    struct stat st = lstatOf(file_);
    CoreInodePropPreserver<struct stat> core(file_, st);
    EXPECT_EQ(core.getname(), file_);
    EXPECT_EQ(core.getstatresult(), 0);
    EXPECT_EQ(core.getatime(), 1000000000);
    EXPECT_EQ(core.getmtime(), 1100000000);
    EXPECT_EQ(core.getinodeuid(), st.st_uid);
    EXPECT_EQ(core.getmode(), st.st_mode);
    core.reset();  // does nothing

    auto p = preserverOf(file_);
    EXPECT_EQ(p->getname(), file_);
    EXPECT_EQ(p->getatime(), 1000000000);
    EXPECT_EQ(p->getmtime(), 1100000000);
    EXPECT_EQ(p->getmode(), st.st_mode);

    AMTimePreserver empty(nullptr);
    empty.reset();
    EXPECT_EQ(empty.lastResult(), AMTimePreserver::NotRun);
    EXPECT_EQ(empty.getname(), "");
}

}  // namespace
