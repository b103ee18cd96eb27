#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/hardlinks/HardLinksTable.h"
#include "support/TestFiles.h"

namespace {

std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.')
            names.insert(e->d_name);
    if (d)
        closedir(d);
    return names;
}

// Every path of a key, first row first, as searchFirst/searchNext answer.
std::vector<std::string> Walk(HardLinksTable& t, uint64_t dev, uint64_t ino,
                              std::vector<int64_t>* ctimes = nullptr) {
    std::vector<std::string> paths;
    std::string path, guid;
    int64_t ctime = 0;
    int rc = t.searchFirst(dev, ino, path, ctime, guid);
    while (rc == 1) {
        paths.push_back(path);
        if (ctimes)
            ctimes->push_back(ctime);
        rc = t.searchNext(path, ctime);
    }
    EXPECT_EQ(rc, 0);
    return paths;
}

TEST(HardLinksTableTest, RowsOfAKeyComeBackInInsertionOrderAcrossModes) {
    testfiles::TempDir dir;
    const uint64_t big = (uint64_t(1) << 63) + 5;
    HardLinksTable w;
    ASSERT_EQ(w.setDirectory(dir.path(), false, "hardLinks"), 0);
    ASSERT_EQ(w.insert(big, big + 1, -7, std::string("/a\nb\0c", 6), "G1"), 0);
    ASSERT_EQ(w.insert(1, big + 1, 5, "/other-device", ""), 0);
    ASSERT_EQ(w.insert(big, big + 1, INT64_C(4102444800), "/second", ""), 0);  // year 2100
    // Look-ups work while the scan writes; rows are numbered in insertion
    // order, and the number of a key's first row leaves the cursor alone.
    EXPECT_EQ(w.lastRow(), 3);
    std::string path, guid;
    int64_t ctime = 0, row = 0;
    ASSERT_EQ(w.searchFirst(big, big + 1, path, ctime, guid), 1);
    EXPECT_EQ(w.firstRow(1, big + 1, row), 1);
    EXPECT_EQ(row, 2);
    EXPECT_EQ(w.firstRow(big, big + 1, row), 1);
    EXPECT_EQ(row, 1);
    EXPECT_EQ(w.firstRow(big, big, row), 0);
    ASSERT_EQ(w.searchNext(path, ctime), 1);
    EXPECT_EQ(path, "/second");
    EXPECT_EQ(Walk(w, big, big + 1), (std::vector<std::string>{std::string("/a\nb\0c", 6), "/second"}));
    ASSERT_EQ(w.close(), 0);

    HardLinksTable r1, r2;  // many readers at once
    ASSERT_EQ(r1.setDirectory(dir.path(), true, "hardLinks"), 0);
    ASSERT_EQ(r2.setDirectory(dir.path(), true, "hardLinks"), 0);
    ASSERT_EQ(r1.searchFirst(big, big + 1, path, ctime, guid), 1);
    EXPECT_EQ(guid, "G1");
    EXPECT_EQ(ctime, -7);
    std::vector<int64_t> ctimes;
    EXPECT_EQ(Walk(r2, big, big + 1, &ctimes).size(), 2u);
    EXPECT_EQ(ctimes, (std::vector<int64_t>{-7, INT64_C(4102444800)}));
    EXPECT_EQ(Walk(r2, 1, big + 1), std::vector<std::string>{"/other-device"});
    EXPECT_EQ(r2.searchFirst(2, big + 1, path, ctime, guid), 0);
    EXPECT_EQ(r2.searchNext(path, ctime), 0);
    EXPECT_EQ(r1.insert(1, 2, 3, "/x", ""), -1);  // read mode
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"hardLinks.dat"});  // no journal
}

TEST(HardLinksTableTest, EveryOperationFailsWhenNotOpen) {
    testfiles::TempDir dir;
    HardLinksTable t;
    std::string path, guid;
    int64_t ctime = 0;
    EXPECT_EQ(t.searchNext(path, ctime), -1);
    EXPECT_EQ(t.setDirectory(dir.path(), true, "hardLinks"), -1);  // no table to read
    EXPECT_EQ(t.setDirectory(dir / "missing", false, "hardLinks"), -1);
    EXPECT_EQ(t.setDirectory("", false, "hardLinks"), -1);
    ASSERT_EQ(t.setDirectory(dir.path(), false, "hardLinks"), 0);
    ASSERT_EQ(t.insert(1, 2, 3, "/x", ""), 0);
    EXPECT_EQ(t.searchNext(path, ctime), -1);  // no searchFirst yet
    ASSERT_EQ(t.close(), 0);
    EXPECT_FALSE(t.isOpen());
    EXPECT_EQ(t.insert(1, 2, 3, "/x", ""), -1);
    EXPECT_EQ(t.searchFirst(1, 2, path, ctime, guid), -1);
    EXPECT_EQ(t.searchNext(path, ctime), -1);
    EXPECT_EQ(t.firstRow(1, 2, ctime), -1);
    EXPECT_EQ(t.forEachRow([](uint64_t, uint64_t, int64_t, const std::string&, const std::string&) {}), -1);
    EXPECT_EQ(t.close(), -1);
    EXPECT_EQ(t.removeTable(), 0);
    EXPECT_TRUE(Entries(dir.path()).empty());
}

// A table is read only once its writer closed it: one still being written,
// or opened for writing again, is refused, as a scan killed mid-way leaves it.
TEST(HardLinksTableTest, ReadersRefuseATableWithoutItsCompletionMark) {
    testfiles::TempDir dir;
    HardLinksTable w, r;
    ASSERT_EQ(w.setDirectory(dir.path(), false, "hardLinks"), 0);
    ASSERT_EQ(w.insert(1, 2, 3, "/x", ""), 0);
    EXPECT_EQ(r.setDirectory(dir.path(), true, "hardLinks"), -1);
    ASSERT_EQ(w.close(), 0);
    EXPECT_EQ(r.setDirectory(dir.path(), true, "hardLinks"), 0);
    ASSERT_EQ(w.setDirectory(dir.path(), false, "hardLinks"), 0);
    EXPECT_EQ(r.setDirectory(dir.path(), true, "hardLinks"), -1);
    ASSERT_EQ(w.close(), 0);
    EXPECT_EQ(r.setDirectory(dir.path(), true, "hardLinks"), 0);
}

TEST(HardLinksTableTest, UnderLoad) {
    testfiles::TempDir dir;
    HardLinksTable w;
    ASSERT_EQ(w.setDirectory(dir.path(), false, "hardLinks"), 0);
    const int kRows = 200000, kOneKey = 1000;
    for (int i = 0; i < kRows; ++i) {
        ASSERT_EQ(w.insert(64768, 1000000 + i, i, "/f/" + std::to_string(i), ""), 0);
        if (i % 200 == 0) {  // one key spread over every commit
            ASSERT_EQ(w.insert(7, 7, i, "/hot/" + std::to_string(i / 200), ""), 0);
        }
    }
    std::vector<std::string> hot = Walk(w, 7, 7);
    ASSERT_EQ(hot.size(), size_t(kOneKey));
    ASSERT_EQ(w.close(), 0);
    HardLinksTable r;
    ASSERT_EQ(r.setDirectory(dir.path(), true, "hardLinks"), 0);
    EXPECT_EQ(Walk(r, 7, 7), hot);
    for (int i = 0; i < kOneKey; ++i)
        ASSERT_EQ(hot[i], "/hot/" + std::to_string(i));
    for (int i : {0, 1, kRows / 2, kRows - 1})
        EXPECT_EQ(Walk(r, 64768, 1000000 + i), std::vector<std::string>{"/f/" + std::to_string(i)});
    long rows = 0;
    ASSERT_EQ(r.forEachRow([&](uint64_t, uint64_t, int64_t, const std::string&, const std::string&) { ++rows; }), 0);
    EXPECT_EQ(rows, kRows + kOneKey);
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"hardLinks.dat"});
}

}  // namespace
