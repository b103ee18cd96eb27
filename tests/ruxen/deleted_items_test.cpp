// Deleted items and database browse items: headers of fixed values with an
// empty end-of-item record, or to the index alone; names that cannot be
// sent; nothing of the previous item in the record; browse items in order.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "mapping/ContentMapper.h"
#include "platform/index/IndexingConnection.h"
#include "ruxen/BrowseablePath.h"
#include "ruxen/RuxenFilePrivate.h"
#include "support/MarkedFile.h"
#include "support/MemoryItem.h"
#include "support/ProcessState.h"

namespace {

using namespace testfiles;
using Item = MemoryItemOf<MarkedFile>;
using Types = std::vector<uint32_t>;
constexpr uint64_t kPseudo = ZX_HDR_FLAG_PSEUDO_ITEM, kDeleted = ZX_HDR_FLAG_DELETED;

ZXFileHeader Decoded(std::string_view bytes) {
    ZXFileHeader h;
    const char* why = nullptr;
    EXPECT_TRUE(DecodeZXFileHeader(bytes.data(), bytes.size(), &h, &why)) << why;
    return h;
}

TEST(DeletedItems, HeaderOfEachKind) {
    ProcessStateGuard state;
    struct Case {
        const char* name;
        int kind;
        unsigned appType;
        const char* path;
        bool connection;
        uint64_t mode, flags;
        uint32_t portable, separator, hflags;
    } cases[] = {
        {"deleted folder", 2, 0, "/d/x", false, S_IFDIR, kDeleted | kPseudo, 0x200, '/', 3},
        {"deleted folder to the index", 2, 0, "/d/x", true, S_IFDIR, kDeleted | kPseudo, 0x200, '/', 3},
        {"kind 5", 5, 0, "/d/x", false, 0, ZX_HDR_FLAG_DELETED_KIND5 | kPseudo, 0, '/', 3},
        {"browse item", 8, 0, "/d/x", false, S_IFREG, kPseudo, 0, '/', 3},
        {"other kinds", 3, 0, "/d/x", false, S_IFREG, kDeleted | kPseudo, 0x200, '/', 3},
        {"application type 106", 1, 106, "/d/x", false, S_IFREG, kDeleted, 0x200, '\\', 2},
        {"in the job-results folder", 4, 0, "/jr/x", false, S_IFREG, kDeleted | kPseudo | ZX_HDR_FLAG_HIDDEN_IN_BROWSE,
         0x200, '/', 3},
        {"beside the job-results folder", 4, 0, "/jrx", false, S_IFREG, kDeleted | kPseudo, 0x200, '/', 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Item m;
        MemoryRecordSink index;
        IndexingConnection conn(&index);
        const ArchiveFileId_t afile{1, 0, 1};
        ASSERT_EQ(0, conn.initialize(1, 1, 0, 0, "", "", "", 0));
        ASSERT_EQ(0, conn.sendAfileInfo(&afile, false));
        m.file.SetAppTypeID(c.appType);
        m.file.SetClientOS(7);
        m.file.SetJobResultsFolder("/jr");
        ASSERT_EQ(0, m.file.SendDeletedItemHeader(c.path, c.kind, c.connection ? &conn : nullptr));
        EXPECT_EQ((c.connection ? Types{} : Types{128, 130}), TypesOf(m.sink));
        EXPECT_EQ(c.connection ? 3u : 2u, index.RecordCount());
        const ZXFileHeader h = Decoded(c.connection ? index.RecordBytes(2).substr(4, ZX_HEADER_SIZE)
                                                    : m.sink.RecordBytes(0));
        EXPECT_EQ((std::vector<uint64_t>{c.mode, c.flags, c.portable, c.separator, c.hflags, 1, 0, 1, 0, 0, 7,
                                         strlen(c.path) + 1}),
                  (std::vector<uint64_t>{h.h_mode, h.h_platform_flags, h.portable_flags, h.h_separator, h.h_flags,
                                         h.h_nlink, h.h_uid, h.h_gid, h.h_filesize, h.h_ctime, h.h_client_os,
                                         h.h_namelen}));
        EXPECT_EQ(std::string(c.path), h.h_filename);
    }
}

// "/" sends nothing; nor does a name too long for the header, which is a
// listed failure (a cut name would mark another item deleted). A mapped job
// sends the recorded path as it stands, also one under a local prefix; the
// record never carries the previous item's link target or phony name.
TEST(DeletedItems, NamesAndWhatTheRecordCarries) {
    ProcessStateGuard state;
    TempDir dir;
    ASSERT_EQ(0, symlink("target", (dir / "l").c_str()));
    const std::string longPath = "/" + std::string(1999, 'n');
    ContentMapper proxy;
    std::list<std::string> pairs{"/rec\t/local"};
    ASSERT_EQ(0, proxy.SetProxyToHostMap(&pairs));
    const struct Case {
        const char* name;
        ContentMapper* mapper;
        bool phony;
        const char* path;
        std::string want;
    } cases[] = {
        {"after a symbolic link", nullptr, false, "/local/x", "/local/x"},
        {"after a phony name", nullptr, true, "/local/x", "/local/x"},
        {"mapped job", &proxy, false, "/local/x", "/local/x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Item m;
        m.file.marks.phonyFlag = c.phony;
        m.file.marks.phonyName = "/__KXHardLink@-@-Files__/1_2_3";
        m.file.EnableHardLinkHandling();
        ASSERT_TRUE(m.Open(dir / "l"));
        m.file.SetContentMapping(c.mapper, c.mapper != nullptr, false);
        ASSERT_EQ(0, m.file.SendDeletedItemHeader(c.path, 3));
        ASSERT_EQ((Types{128, 130}), TypesOf(m.sink));
        EXPECT_EQ(c.want, Decoded(m.sink.RecordBytes(0)).h_filename);
        EXPECT_EQ("", m.Record(1));
    }
    // Through the pass: DEL=k lines between ordinary items.
    Item m;
    const std::string failures = dir / "failures";
    FILE* f = fopen(failures.c_str(), "w");
    CollectFileReader reader;
    reader.OpenMemory("c", "%??DEL=5%/gone\n" + dir / "l" + "\n%??DEL=1%" + longPath + "\n%??DEL=7%/\n");
    StreamBackupPass pass(m.file, f);
    EXPECT_EQ(StreamBackupPass::kCollectDone, pass.RunDataLoop(reader));
    fclose(f);
    EXPECT_EQ((Types{128, 130, 128, 130}), TypesOf(m.sink));
    EXPECT_EQ(longPath + ":" + std::to_string(ENAMETOOLONG) + "\n", ReadWholeFile(failures));
}

// Browse items of a database dump, in order, each with its size and GUIDs;
// none to send is a success.
TEST(DeletedItems, BrowsePaths) {
    ProcessStateGuard state;
    Item m;
    std::vector<browseablePath_t> items;
    EXPECT_FALSE(m.file.Private().PopulateDBBrowsePaths(items, &m.file, "/dump").IsError());
    items.resize(2);
    items[0].path = "/db/view";
    items[0].size = 10;
    items[1].path = "/db/view/table";
    items[1].size = 20;
    items[1].statMode = 1;  // only the first record's mode counts
    const uint64_t before = static_cast<uint64_t>(time(nullptr));
    ASSERT_FALSE(m.file.Private().PopulateDBBrowsePaths(items, &m.file, "/no/dump").IsError());
    ASSERT_EQ((Types{128, 130, 128, 130}), TypesOf(m.sink));
    for (size_t i = 0; i < 2; ++i) {
        const ZXFileHeader h = Decoded(m.sink.RecordBytes(2 * i));
        EXPECT_EQ(items[i].path, h.h_filename);
        EXPECT_EQ((std::vector<uint64_t>{items[i].size, S_IFREG, kPseudo}),
                  (std::vector<uint64_t>{h.h_filesize, h.h_mode, h.h_platform_flags}));
        EXPECT_LE(before, h.h_ctime);
        EXPECT_EQ(36u, items[i].objectGuid.size());
    }
    EXPECT_NE(items[0].objectGuid, items[1].objectGuid);
}

}  // namespace
