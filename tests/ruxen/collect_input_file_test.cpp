// A collect file let go is opened again only as the file met at the start:
// each change is told apart, and a FIFO put in its place is never opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ruxen/CollectInputFile.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

TEST(CollectInputFile, OpenedAgainOnlyAsTheFileMetAtTheStart) {
    using Path = const std::string&;
    const struct {
        const char* name;
        int (*change)(Path);
        const char* differs;  // null: opened again
    } cases[] = {
        {"unchanged", [](Path) { return 0; }, nullptr},
        {"renamed over", [](Path p) { return rename((p + ".new").c_str(), p.c_str()); }, "inode"},
        {"shrank", [](Path p) { return truncate(p.c_str(), 3); }, "size"},
        {"rewritten in place",
         [](Path p) {
             static const struct timespec later[2] = {{0, UTIME_OMIT}, {12345, 0}};
             return utimensat(AT_FDCWD, p.c_str(), later, 0);
         },
         "modification time"},
        {"removed", [](Path p) { return unlink(p.c_str()); }, "path"},
        {"a FIFO in its place", [](Path p) { return unlink(p.c_str()) == 0 ? mkfifo(p.c_str(), 0600) : -1; }, "inode"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("collect_input");
        const std::string path = dir / "c";
        WriteWholeFile(path, "/a\n/b\n");
        WriteWholeFile(path + ".new", "/a\n/b\n");
        CollectInputFile in;
        std::string error;
        ASSERT_TRUE(in.Open(path, {dir.path()}, &error)) << error;
        in.Release();
        ASSERT_EQ(0, c.change(path)) << strerror(errno);
        bool changed = true;
        const char* what = nullptr;
        EXPECT_EQ(c.differs == nullptr, in.Reopen(&error, &changed, &what)) << error;
        EXPECT_EQ(c.differs != nullptr, changed);
        EXPECT_EQ(c.differs != nullptr, !in.IsOpen());
        EXPECT_STREQ(c.differs, what);
        EXPECT_TRUE(c.differs || in.Changed() == nullptr);
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
