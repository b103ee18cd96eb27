// A collect file let go is opened again only as the file met at the start:
// each change is told apart, and a FIFO put in its place is never opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ruxen/CollectInputFile.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

TEST(CollectInputFile, OpenedAgainOnlyAsTheFileMetAtTheStart) {
    const struct {
        const char* name;
        std::function<void(const std::string& path)> change;
        const char* differs;  // null: opened again
    } cases[] = {
        {"unchanged", [](const std::string&) {}, nullptr},
        {"renamed over",
         [](const std::string& p) {
             WriteWholeFile(p + ".new", "/a\n/b\n");
             ASSERT_EQ(0, rename((p + ".new").c_str(), p.c_str()));
         },
         "inode"},
        {"shrank", [](const std::string& p) { ASSERT_EQ(0, truncate(p.c_str(), 3)); }, "size"},
        {"rewritten in place",
         [](const std::string& p) {
             struct timespec later[2] = {{0, UTIME_OMIT}, {12345, 0}};
             ASSERT_EQ(0, utimensat(AT_FDCWD, p.c_str(), later, 0));
         },
         "modification time"},
        {"removed", [](const std::string& p) { ASSERT_EQ(0, unlink(p.c_str())); }, "path"},
        {"a FIFO in its place",
         [](const std::string& p) {
             ASSERT_EQ(0, unlink(p.c_str()));
             ASSERT_EQ(0, mkfifo(p.c_str(), 0600));  // opened, it would wait for a writer
         },
         "inode"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("collect_input");
        const std::string path = dir / "c";
        WriteWholeFile(path, "/a\n/b\n");
        CollectInputFile in;
        std::string error;
        ASSERT_TRUE(in.Open(path, {dir.path()}, &error)) << error;
        in.Release();
        EXPECT_FALSE(in.IsOpen());
        c.change(path);
        bool changed = true;
        const char* what = nullptr;
        const bool reopened = in.Reopen(&error, &changed, &what);
        EXPECT_EQ(c.differs == nullptr, reopened) << error;
        EXPECT_EQ(c.differs != nullptr, changed);
        EXPECT_EQ(c.differs != nullptr, !in.IsOpen());
        if (c.differs)
            EXPECT_STREQ(c.differs, what);
        else
            EXPECT_EQ(nullptr, in.Changed());
    }
}

// A piped collect file's copy is named by no path: it stays open, and it is
// checked against its state once copied.
TEST(CollectInputFile, CopyOfAPipeIsKeptAndCheckedThroughItsDescriptor) {
    TempDir dir("collect_input");
    int p[2];
    ASSERT_EQ(0, pipe(p));
    ASSERT_EQ(6, write(p[1], "/a\n/b\n", 6));
    close(p[1]);
    CollectInputFile in;
    std::string error;
    ASSERT_TRUE(in.Open("/dev/fd/" + std::to_string(p[0]), {dir.path()}, &error)) << error;
    close(p[0]);
    ASSERT_TRUE(in.Copied());
    in.Release();
    ASSERT_TRUE(in.IsOpen());
    EXPECT_EQ(nullptr, in.Changed());
    ASSERT_EQ(0, ftruncate(in.Descriptor(), 3));
    EXPECT_STREQ("size", in.Changed());
}

}  // namespace
