#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/os/AMTimePreserver.h"
#include "support/TestFiles.h"

namespace {

void setTimes(const std::string& path, timespec a, timespec m) {
    timespec t[2] = {a, m};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW), 0);
}

struct stat lstatOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0);
    return st;
}

std::unique_ptr<AMTimePreserver> preserverOf(const std::string& path) {
    return std::unique_ptr<AMTimePreserver>(
        new AMTimePreserver(new CoreInodePropPreserver<struct stat>(path, lstatOf(path))));
}

// The access time is put back (to the nanosecond) on the item itself (a
// link, not its target), and only while the path names the same inode; a
// modification made meanwhile stays visible.
TEST(AMTimePreserverTest, AccessTimeOnlyOfTheSameInode) {
    testfiles::TempDir dir;
    const std::string file = dir / "item", link = dir / "link", other = dir / "other";
    testfiles::WriteWholeFile(file, "original");
    setTimes(file, {1000000000, 111}, {1100000000, 222});
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    setTimes(link, {900000000, 0}, {900000000, 0});
    struct Case {
        const std::string* path;
        bool replace, touch;
        AMTimePreserver::Result result;
    } cases[] = {
        {&file, false, false, AMTimePreserver::Unchanged},
        {&file, false, true, AMTimePreserver::Restored},
        {&link, false, true, AMTimePreserver::Restored},
        {&file, true, false, AMTimePreserver::Replaced},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(*c.path + (c.replace ? " replaced" : ""));
        const struct stat before = lstatOf(*c.path);
        auto p = preserverOf(*c.path);
        EXPECT_EQ(p->getstatresult(), c.path == &link ? 1 : 0);
        if (c.touch)
            setTimes(*c.path, {1200000000, 5}, {1300000000, 6});
        if (c.replace) {
            testfiles::WriteWholeFile(other, "replacement");
            setTimes(other, {1500000000, 0}, {1500000000, 0});
            ASSERT_EQ(rename(other.c_str(), c.path->c_str()), 0);
        }
        p->reset();
        EXPECT_EQ(p->lastResult(), c.result);
        const struct stat after = lstatOf(*c.path);
        if (c.replace) {
            EXPECT_EQ(after.st_atim.tv_sec, 1500000000);
            continue;
        }
        EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
        EXPECT_EQ(after.st_atim.tv_nsec, before.st_atim.tv_nsec);
        EXPECT_EQ(after.st_mtim.tv_sec, c.touch ? 1300000000 : before.st_mtim.tv_sec);
        EXPECT_EQ(lstatOf(file).st_atim.tv_sec, 1000000000);  // a link's target is left alone
    }
    auto gone = preserverOf(file);
    ASSERT_EQ(unlink(file.c_str()), 0);
    gone->reset();
    EXPECT_EQ(gone->lastResult(), AMTimePreserver::Replaced);
}

}  // namespace
