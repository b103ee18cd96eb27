#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "ruxen/HBaseItems.h"

namespace {

using namespace IdxMetadata;

constexpr mode_t kDir = S_IFDIR | 0755, kFile = S_IFREG | 0644, kLink = S_IFLNK | 0777;

TEST(HBaseItems, RootLevelsCountFromTheLeadingSlash) {
    const std::pair<const char*, int> roots[] = {{"/", 0}, {"", 0}, {"/hbase", 1}, {"/hbase/", 1}, {"/a/b", 2}};
    for (const auto& r : roots) {
        HBaseItemState s;
        HBaseItems::SetHBaseBkpRoot(s, r.first);
        EXPECT_EQ(s.rootLevel, r.second) << r.first;
    }
}

TEST(HBaseItems, TypesVisibilityAndRecordedNames) {
    struct Case {
        const char* root;
        bool snapshot;
        int kind;  // snapshot kind
        const char* item;
        mode_t mode;
        HBaseFileType type;
        bool hidden;
        const char* name;
    } cases[] = {
        // Normal mode: the table copies below /hbase.
        {"/hbase", false, 0, "/hbase/ns1~t1/data/ns1", kDir, HBASE_NAMESPACE, false, "/ns1"},
        {"/hbase/", false, 0, "/hbase/ns1~t1/data/ns1/t1/", kDir, HBASE_TABLE, false, "/ns1/t1"},
        {"/hbase", false, 0, "/hbase/ns1~t1/data/ns1/t1/r/cf/f", kFile, HBASE_FILE, true,
         "/ns1/t1/hbase/ns1~t1/data/ns1/t1/r/cf/f"},
        {"/hbase", false, 0, "/hbase/ns1~t1/data/", kDir, HBASE_DIRECTORY, true, "/ns1/t1/hbase"},
        {"/hbase", false, 0, "/hbase/ns1~t1/data/ns1/t1/r", kDir, HBASE_DIRECTORY, true,
         "/ns1/t1/hbase/ns1~t1/data/ns1/t1/r"},
        {"/hbase", false, 0, "/hbase/a~b~c/d/a/b", kDir, HBASE_TABLE, false, "/a/b~c"},
        {"/hbase", false, 0, "/hbase/plain/data/ns", kDir, HBASE_NAMESPACE, false, "/"},
        {"/hbase", false, 0, "/hbase/ns1~t1/link", kLink, HBASE_UNSET, true, "/hbase/ns1~t1/link"},
        {"/", false, 0, "/ns~t/a/ns", kDir, HBASE_NAMESPACE, false, "/ns"},
        // Outside the root: never a namespace or table, and its own name.
        {"/hbase", false, 0, "/other/ns1~t1/data/ns1", kDir, HBASE_DIRECTORY, true, "/other/ns1~t1/data/ns1"},
        {"/hbase", false, 0, "/hbase2/ns1~t1/x/y", kDir, HBASE_DIRECTORY, true, "/hbase2/ns1~t1/x/y"},
        {"/hbase", false, 0, "", kDir, HBASE_DIRECTORY, true, ""},
        {"/hbase", false, 0, "/x", kFile, HBASE_FILE, true, "/x"},
        // Snapshot mode: namespace ns1 and table t1 come from the job.
        {"/snap/tbl", true, 0, "/", kDir, HBASE_NAMESPACE, false, "/ns1"},
        {"/snap/tbl", true, 0, "/snap/tbl/", kDir, HBASE_TABLE, false, "/ns1/t1"},
        {"/snap/tbl", true, 0, "/snap/tbl/r/cf/f", kFile, HBASE_FILE, true, "/ns1/t1/ns1~t1/S1/archive/r/cf/f"},
        {"/snap/tbl", true, 2, "/snap/tbl/.hbase-snapshot/S1/m", kFile, HBASE_FILE, true,
         "/ns1/t1/S1/.hbase-snapshot/S1/m"},
        {"/snap/tbl", true, 1, "/snap/tbl/r/f", kFile, HBASE_FILE, true, "/ns1/t1/~INCREMENTAL~//snap/tbl/r/f"},
        {"/snap/tbl", true, 2, "/snap/tbl/r/", kDir, HBASE_DIRECTORY, false, "/ns1/t1/S1/archive/r"},
        {"/snap/tbl", true, 2, "/snap/tblx/f", kFile, HBASE_FILE, true, "/ns1/t1/S1/archive/snap/tblx/f"},
    };
    for (const Case& c : cases) {
        HBaseItemState s;
        HBaseItems::SetHBaseBkpRoot(s, c.root);
        s.snapshotMode = c.snapshot;
        s.snapshotKind = static_cast<uint8_t>(c.kind);
        s.snapshotName = "S1";
        if (c.snapshot) {
            s.nameSpace = "ns1";
            s.table = "t1";
        }
        HBaseItems::GetHBaseItemAttrs(s, c.item);
        HBaseFileType type;
        bool hidden;
        HBaseItems::GetHBaseItemType(s, c.item, c.mode, type, hidden);
        EXPECT_EQ(type, c.type) << c.item;
        EXPECT_EQ(hidden, c.hidden) << c.item;
        EXPECT_EQ(HBaseItems::PrepareHBaseItemPath(s, c.item, c.mode), c.name) << c.item;
    }
}

}  // namespace
