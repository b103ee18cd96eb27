#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "hardlinks/TextLineReader.h"
#include "support/TestFiles.h"

namespace {

long ResidentKiB() {
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (f == nullptr || fscanf(f, "%ld %ld", &pages, &resident) != 2)
        ADD_FAILURE() << "cannot read /proc/self/statm";
    if (f)
        fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A reader's buffer is not cleared when it opens a file: 64 readers open at
// once over a small file hold next to nothing, not 64 MiB.
TEST(TextLineReaderTest, OpeningTouchesOnlyWhatIsRead) {
    testfiles::TempDir dir;
    testfiles::WriteWholeFile(dir / "small", "first\nsecond");
    std::vector<std::unique_ptr<TextLineReader>> readers(64);
    const long before = ResidentKiB();
    for (auto& r : readers) {
        r.reset(new TextLineReader);
        ASSERT_TRUE(r->Open(dir / "small"));
        std::string line;
        ASSERT_EQ(r->Next(line), 1);
        EXPECT_EQ(line, "first");
    }
    EXPECT_LT(ResidentKiB() - before, 16 * 1024) << "KiB resident more";
    std::string line;
    EXPECT_EQ(readers.back()->Next(line), 1);
    EXPECT_EQ(line, "second");
    EXPECT_FALSE(readers.back()->LastLineTerminated());
    EXPECT_EQ(readers.back()->Next(line), 0);
}

}  // namespace
