// Header filling on real items: each case opens one collect line through the
// per-file object (so its markers apply), fills the header and checks the
// recorded name, flags, size and what was listed as failed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "hardlinks/HardLinkManager.h"
#include "mapping/ContentMapper.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/archive/KXArchive.h"
#include "platform/archive/MemoryRecordSink.h"
#include "platform/base/TestControl.h"
#include "reader/CFileReader.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenBase.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/SubclientFiles.h"
#include "support/ProcessState.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

// A link whose target is `length` bytes, whatever the file system allows.
class LongLinkReader : public CFileReader {
public:
    LongLinkReader(const std::shared_ptr<CFileReaderContext>& c, size_t length) : CFileReader(c), m_length(length) {}
    int readlink(const char*, char* buf, size_t size) override {
        size_t n = std::min(m_length, size);
        memset(buf, 't', n);
        return static_cast<int>(n);
    }

private:
    size_t m_length;
};

class FillFile : public RuxenFile {
public:
    using RuxenFile::RuxenFile;
    void UseLinkTarget(size_t length) {
        UseReader([length](const std::shared_ptr<CFileReaderContext>& c) {
            return std::make_shared<LongLinkReader>(c, length);
        });
    }
};

// "@" is `dir`; "LEN<n>" a file made under it whose path is n characters.
std::string At(std::string s, const std::string& dir) {
    for (size_t at; (at = s.find('@')) != std::string::npos;)
        s.replace(at, 1, dir);
    for (size_t at; (at = s.find("LEN")) != std::string::npos;)
        s.replace(at, 7, MakePathOfLength(dir, std::stoul(s.substr(at + 3, 4))));
    return s;
}

// One item through open and header filling.
struct Filled {
    int open = -9, result = -9;
    ZXFileHeader h;
    std::string failures;
    unsigned long long countable = 0, bytes = 0;
};

Filled Fill(FillFile& f, const std::string& text, subclientFiles* files, bool failedRecord = false) {
    Filled out;
    char* buf = nullptr;
    size_t size = 0;
    FILE* failures = open_memstream(&buf, &size);
    CollectFileReader reader;
    reader.OpenMemory("collect", text);
    out.open = f.OpenFilesForBackup(reader, failures);
    if (out.open == RuxenFile::kItemGoOn)
        out.result = f.PopulateHeaderEx(files, failures, failedRecord, false);
    out.h = f.GetHeader();
    out.countable = f.GetCountableItems();
    out.bytes = f.GetTotalBytes();
    fclose(failures);
    out.failures.assign(buf, size);
    free(buf);
    return out;
}

struct Case {
    const char* name;
    std::string line;  // "@" is the test's directory
    std::function<void(FillFile&, const std::string& dir)> setup;
    int result;
    std::string want;  // the recorded name ("@" as above)
    uint64_t flagsSet = 0;
    uint64_t flagsClear = 0;
    uint32_t portable = 0;
    long long size = -1;      // -1: not checked
    int failedErrno = 0;      // the failures-file line's errno (0: none)
    long long dataSize = -1;  // h_datasize; -1: not checked
    std::string dirChange = "";  // the job's directory-change file ("@" as above)
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

constexpr uint64_t kTested = ZX_HDR_FLAG_SPARSE_TESTED;

auto App(unsigned long long type) {
    return [type](FillFile& f, const std::string&) { f.SetAppTypeID(type); };
}
void Mounts(FillFile& f, const std::string& dir) {
    f.SetMountPoints({{2, {"/m", "ext4", 777}}, {3, {dir + "/d", "xfs", 5}}});
}

class HeaderFill : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        const std::string& d = m_dir.path();
        WriteWholeFile(d + "/f10", "0123456789");
        WriteSparse(d + "/sparse", 1 << 20, {{(1 << 20) - 3, "end"}});
        ASSERT_EQ(0, mkdir((d + "/d").c_str(), 0755));
        ASSERT_EQ(0, symlink("target", (d + "/lnk").c_str()));
        ASSERT_EQ(0, symlink("/dev/null", (d + "/raw").c_str()));
        ASSERT_EQ(0, system(("mkdir -p " + d + "/x/y/data " + d + "/hb/ns~tab").c_str()));
        WriteWholeFile(d + "/x/y/data/file", "fbr");
        WriteWholeFile(d + "/hb/ns~tab/f", "hb");
    }
    void TearDown() override { RuxenBase::proxyClient = false; }
    ProcessStateGuard m_state;
    TempDir m_dir;
};

TEST_P(HeaderFill, NameFlagsAndSize) {
    const Case& c = GetParam();
    const std::string dir = m_dir.path();
    MemoryRecordSink sink;
    KXArchive archive(&sink);
    FillFile f(&archive);
    f.SetjobID(77);
    if (c.setup)
        c.setup(f, dir);
    const std::string line = At(c.line, dir);
    subclientFiles files;
    ASSERT_TRUE(subclientFiles::Set(files.dirChangeFile, At(c.dirChange, dir)));
    Filled r = Fill(f, line + "\n", &files);
    ASSERT_EQ(RuxenFile::kItemGoOn, r.open) << r.failures;
    EXPECT_EQ(c.result, r.result);
    const std::string failed = c.failedErrno ? line.substr(line.find_last_of("%\n") + 1) + ":" + std::to_string(c.failedErrno) + "\n" : "";
    EXPECT_EQ(failed, r.failures);
    if (c.result != RuxenFile::kItemGoOn)
        return;
    if (c.want == "SUBSTITUTE") {
        // The longest ancestor within 959 characters and the path's GUID.
        const size_t cut = line.rfind('/', 959);
        EXPECT_EQ(line.substr(0, cut + 1), std::string(r.h.h_filename).substr(0, cut + 1));
        EXPECT_EQ(cut + 1 + 36, strlen(r.h.h_filename));
    } else if (c.want == "OBJECTGUID") {
        std::string guid;
        ASSERT_FALSE(f.Private().GetObjectGUID(guid).IsError());
        EXPECT_EQ(36u, guid.size());
        EXPECT_EQ(guid, r.h.h_filename);
    } else {
        EXPECT_EQ(At(c.want, dir), r.h.h_filename);
    }
    EXPECT_EQ(strlen(r.h.h_filename) + 1, r.h.h_namelen);
    EXPECT_EQ(c.flagsSet | kTested, r.h.h_platform_flags & (c.flagsSet | kTested));
    EXPECT_EQ(0u, r.h.h_platform_flags & c.flagsClear);
    EXPECT_EQ(c.portable, r.h.portable_flags);
    if (c.size >= 0) {
        EXPECT_EQ(static_cast<uint64_t>(c.size), r.h.h_filesize);
    }
    if (c.dataSize >= 0) {
        EXPECT_EQ(static_cast<uint64_t>(c.dataSize), r.h.h_datasize);
    }
    // The stat fields are the item's own.
    struct stat st;
    ASSERT_EQ(0, lstat(f.GetRecordedPath().c_str(), &st));
    EXPECT_EQ((std::vector<uint64_t>{st.st_mode, st.st_nlink, static_cast<uint32_t>(st.st_rdev), st.st_ino}),
              (std::vector<uint64_t>{r.h.h_mode, r.h.h_nlink, r.h.h_rdev, (uint64_t(r.h.h_ino_high) << 32) | r.h.h_ino_low}));
}

const uint64_t kHidden = ZX_HDR_FLAG_HIDDEN_IN_BROWSE, kMount = ZX_HDR_FLAG_MOUNT_PATH,
               kPseudo = ZX_HDR_FLAG_PSEUDO_ITEM, kDirChange = ZX_HDR_FLAG_DIR_CHANGE_FILE;

// A block-level job of a UNIX file system whose block-level mount is `mount`.
auto BlockLevel(const char* mount) {
    return [mount](FillFile& f, const std::string& dir) {
        f.SetAppTypeID(29);
        f.setBlockLevel(true);
        f.SettingsForUpdate().blockLevelMap = {{At(mount, dir), 1}};
    };
}

INSTANTIATE_TEST_SUITE_P(
    Items, HeaderFill,
    ::testing::Values(
        Case{"Regular", "@/f10", nullptr, 0, "@/f10", ZX_HDR_FLAG_NOT_SPARSE, kHidden | kDirChange, 0, 10, 0, 0,
             "@/sparse"},
        Case{"DataSizeMarker", "%??DATASIZE%@/f10", nullptr, 0, "@/f10", 0, 0, 0, 10, 0, 10},
        Case{"DirectoryChangeFile", "@/f10", nullptr, 0, "@/f10", kDirChange, 0, 0, 10, 0, -1, "@/f10"},
        Case{"Sparse", "@/sparse", nullptr, 0, "@/sparse", 0, ZX_HDR_FLAG_NOT_SPARSE, 0, 1 << 20},
        Case{"Directory", "@/d", nullptr, 0, "@/d", 0, kMount, 0, 0},
        Case{"CharDevice", "/dev/null", nullptr, 0, "/dev/null", 0, 0, 0, 0},
        Case{"Link", "@/lnk", nullptr, 0, "@/lnk", 0, 0, 0, 6},
        Case{"RawDeviceLink", "%??RAW%@/raw", nullptr, 0, "@/raw", 0, 0, 0, 19},
        Case{"LinkTarget4096", "@/lnk", [](FillFile& f, const std::string&) { f.UseLinkTarget(4096); }, 0, "@/lnk", 0, 0,
             0, 4096},
        Case{"LinkTarget262144", "@/lnk", [](FillFile& f, const std::string&) { f.UseLinkTarget(262144); }, 0, "@/lnk",
             0, 0, 0, 262144},
        Case{"LinkTargetTooLong", "@/lnk", [](FillFile& f, const std::string&) { f.UseLinkTarget(262145); }, -1, "", 0,
             0, 0, -1, ENAMETOOLONG},
        Case{"ProxyClientWithoutMode", "@/lnk", [](FillFile&, const std::string&) { RuxenBase::proxyClient = true; }, 0,
             "@/lnk", 0, 0, 0, 6},
        Case{"Pseudo", "%??PSEUDO%@/f10", nullptr, 0, "@/f10", ZX_HDR_FLAG_PSEUDO_ITEM, 0, 0, 10},
        Case{"PseudoBlockLevelMount", "%??PSEUDO%@/f10", BlockLevel("@/f10"), 0, "@/f10", 0, kPseudo, 0, 10},
        Case{"PseudoBlockLevelOtherMount", "%??PSEUDO%@/f10", BlockLevel("@/d"), 0, "@/f10", kPseudo, 0, 0, 10},
        Case{"SyncDrive", "@/f10", [](FillFile& f, const std::string&) { f.SetTallixSync(true); }, 0, "OBJECTGUID"},
        Case{"SyncDriveRoot", "/", [](FillFile& f, const std::string&) { f.SetTallixSync(true); }, 0, "/"},
        Case{"PseudoBlockLevel104", "%??PSEUDO%@/f10",
             [](FillFile& f, const std::string&) {
                 f.SetAppTypeID(104);
                 f.setBlockLevel(true);
             },
             0, "@/f10", kHidden, ZX_HDR_FLAG_PSEUDO_ITEM, 0, 10},
        Case{"AdHoc", "%??ADHOC%@/f10", nullptr, 0, "@/f10", kHidden, 0, 0, 10},
        Case{"MountIndex", "%??MNT=2%@/d", Mounts, 0, "@/d", kMount, 0, 0, 777},
        Case{"MountIndexOfSubItem", "%??MNT=2,SUB%@/d", Mounts, 0, "@/d", kMount, 0, 0, 0},
        Case{"MountIndexUnknown", "%??MNT=9%@/d", Mounts, 0, "@/d", 0, kMount, 0, 0},
        Case{"MountPathMarker", "%??MNTPATH%@/d", nullptr, 0, "@/d", kMount, 0, 0, 0},
        Case{"Oracle", "@/f10", App(22), 0, "@/f10", ZX_HDR_FLAG_ORACLE_META_DATA, 0, 0, 10},
        Case{"OracleDbArchive", "@/f10",
             [](FillFile& f, const std::string&) {
                 f.SetAppTypeID(80);
                 f.SetDBArchive(true);
             },
             0, "@/f10", 0, ZX_HDR_FLAG_ORACLE_META_DATA, 0, 10},
        Case{"SAP", "@/f10", App(135), 0, "@/f10", ZX_HDR_FLAG_SAP_META_DATA, 0, 0, 10},
        Case{"DB2", "@/f10", App(62), 0, "@/f10", ZX_HDR_FLAG_DB2_META_DATA, 0, 0, 10},
        Case{"SybaseIQ", "@/f10", App(126), -1, "", 0, 0, 0, -1, ENOTSUP},
        Case{"DocumentumFirstLine", "@/f10", App(128), -1, ""},
        Case{"Documentum", "%??DOCSA%sa\n@/f10", App(128), 0, "/sa@/f10"},
        Case{"PostgreSQL", "@/f10", App(125), 0, "/data@/f10"},
        Case{"PostgreSQLAtLimit", "LEN1022", App(125), 0, "/dataLEN1022"},
        Case{"PostgreSQLOverLimit", "LEN1023", App(125), -1, "", 0, 0, 0, -1, ENAMETOOLONG},
        Case{"DocumentumOverLimit", "%??DOCSA%sa\nLEN1025", App(128), -1, "", 0, 0, 0, -1, ENAMETOOLONG},
        Case{"SubclientFiles", "@/f10", [](FillFile& f, const std::string&) { f.SetBackupSCFilesFlag(true); }, 0,
             "@/f10_77", ZX_HDR_FLAG_SUBCLIENT_FILES, 0, ZXFLAG_NOT_COUNTABLE, 10},
        Case{"SubclientFilesAtLimit", "LEN1024", [](FillFile& f, const std::string&) { f.SetBackupSCFilesFlag(true); }, 0,
             "LEN1024_77", ZX_HDR_FLAG_SUBCLIENT_FILES, 0, ZXFLAG_NOT_COUNTABLE, 4},
        Case{"SubclientFilesOverLimit", "LEN1025", [](FillFile& f, const std::string&) { f.SetBackupSCFilesFlag(true); }, -1,
             "", 0, 0, 0, -1, ENAMETOOLONG},
        Case{"IndexCache", "@/f10",
             [](FillFile& f, const std::string& dir) {
                 f.SetIndexCacheBackup(true, false);
                 KXPlatformInfo::setValue("Bayloft", "dIndexCacheDir", dir + "/");
             },
             0, "%IDXDB%/f10"},
        Case{"IndexCacheMissing", "@/f10", [](FillFile& f, const std::string&) { f.SetIndexCacheBackup(false, true); },
             -1, "", 0, 0, 0, -1, EINVAL},
        Case{"IndexCacheNotAComponent", "@/f10",
             [](FillFile& f, const std::string& dir) {
                 f.SetIndexCacheBackup(true, false);
                 KXPlatformInfo::setValue("Bayloft", "dIndexCacheDir", dir + "/f1");
             },
             -1, "", 0, 0, 0, -1, EINVAL},
        Case{"HBase", "@/hb/ns~tab/f",
             [](FillFile& f, const std::string& dir) {
                 f.SetHBaseBackup(true);
                 f.SetHBaseBkpRoot(dir + "/hb");
             },
             0, "/ns/tab@/hb/ns~tab/f", kHidden, 0, 0, 2},
        Case{"FileBasedRestore", "@/x/y/data/file",
             [](FillFile& f, const std::string& dir) {
                 f.SetFBR(true);
                 KXPlatformInfo::setValue("Session", "dFBRDIR", dir + "/");
             },
             0, "/data/file"},
        Case{"Silo", "@/f10",
             [](FillFile& f, const std::string&) {
                 f.SetSILOJobFlag(true);
                 f.SetSILOParentPath("C:\\silo\\a");
             },
             0, "C:/silo/a"},
        Case{"LongPathSubstitute", "LEN1100",
             [](FillFile& f, const std::string&) {
                 f.SetAppTypeID(29);
                 f.SetLongPathSupport(true);
             },
             0, "SUBSTITUTE", 0, 0, ZXFLAG_LONG_PATH_NAME},
        Case{"LongPathOfAnotherApplication", "LEN1100", [](FillFile& f, const std::string&) { f.SetLongPathSupport(true); },
             -1, "", 0, 0, 0, -1, ENAMETOOLONG}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

// A mapped job records the item under the path the mapper gives back; under
// consistency-point mapping an item it cannot translate fails, unless told
// to go on.
TEST(HeaderFillMapping, RecordedNameFromTheMapper) {
    ProcessStateGuard state;
    TempDir dir;
    WriteWholeFile(dir / "f", "x");
    // The item is opened at its local path; a mapper that cannot name the
    // local path back leaves the recorded name.
    struct OneWay : ContentMapper {
        int MakeProxyPathFromHostPath(const std::string& in, std::string& out) override {
            out = in;
            return -1;
        }
    };
    ContentMapper mapper;
    OneWay oneWay;
    std::list<std::string> pairs = {"/recorded\t" + dir.path()};
    ASSERT_EQ(0, mapper.SetProxyToHostMap(&pairs));
    ASSERT_EQ(0, oneWay.SetProxyToHostMap(&pairs));
    struct {
        ContentMapper* mapper;
        bool replication, noFail;
        int result;
    } cases[] = {{&mapper, false, false, 0}, {&oneWay, false, false, 0}, {&oneWay, true, false, -1}, {&oneWay, true, true, 0}};
    for (const auto& c : cases) {
        FillFile f(static_cast<KXArchive*>(nullptr));
        f.SetContentMapping(c.mapper, !c.replication, c.replication);
        f.SetFLRNoFail(c.noFail);
        subclientFiles files;
        Filled r = Fill(f, "/recorded/f\n", &files);
        EXPECT_EQ(c.result, r.result);
        if (c.result == 0) {
            EXPECT_STREQ("/recorded/f", r.h.h_filename);
        }
        EXPECT_EQ(c.result == 0 ? "" : "/recorded/f:22\n", r.failures);
    }
}

// The header of a failed-item record: the item is neither counted nor its
// bytes added again, and a failure is not listed twice.
TEST(HeaderFillFailedRecord, NoDoubleCounting) {
    ProcessStateGuard state;
    TempDir dir;
    WriteWholeFile(dir / "f", "12345");
    FillFile f(static_cast<KXArchive*>(nullptr));
    Filled r = Fill(f, dir / "f\n", nullptr);
    ASSERT_EQ(0, r.result);
    EXPECT_EQ(1u, f.GetCountableItems());
    EXPECT_EQ(0, f.PopulateHeaderEx(nullptr, nullptr, true, false));
    EXPECT_EQ(1u, f.GetCountableItems());
    EXPECT_EQ(5u, f.GetTotalBytes());
    EXPECT_NE(0u, f.GetHeader().h_platform_flags & ZX_HDR_FLAG_SUBCLIENT_FILES) << "a failed record without its caller";

    const std::string over = MakePathOfLength(dir.path(), 1030);
    r = Fill(f, over + "\n", nullptr, true);
    EXPECT_EQ(-1, r.result);
    EXPECT_EQ("", r.failures);
    EXPECT_EQ(0u, f.GetFailedItems());
}

// Hard links against a real table: a member found in it is a hard link
// (bits 62 and 61) with the recorded change time; one the table does not
// know is an ordinary file; the first line of a group in a hard-link
// collect file goes under the group's phony name as its head, and a later
// line of the group as a member; no table fails the stream.
TEST(HeaderFillHardLinks, GroupsFromTheTable) {
    ProcessStateGuard state;
    ruxen::testcontrol::ResetHardLinkManager();
    HardLinkManager::EnableHardLinkFeature();
    TempDir dir;
    const std::string a = dir / "a", b = dir / "b", c = dir / "c", job = dir / "job";
    WriteWholeFile(a, "group");
    ASSERT_EQ(0, link(a.c_str(), b.c_str()));
    WriteWholeFile(c, "other");
    ASSERT_EQ(0, link(c.c_str(), (dir / "c2").c_str()));
    ASSERT_EQ(0, mkdir(job.c_str(), 0755));
    struct stat st;
    ASSERT_EQ(0, stat(a.c_str(), &st));
    {
        HardLinkManager m;
        m.initHardLinkManager(job, "CollectTot");
        struct stat recorded = st;
        recorded.st_ctime = 1234;  // as the scan saw it
        ASSERT_TRUE(m.InsertEntryInHCollectFile(1, a, "", recorded));
        ASSERT_TRUE(m.InsertEntryInHCollectFile(1, b, "", recorded));
        HardLinkManager::getHLTableClass(job, false)->close();
    }
    const std::string phony = "/__KXHardLink@-@-Files__/" + std::to_string(st.st_ino) + "_" +
                              std::to_string(st.st_dev) + "_1234";
    const std::string entry = "# " + std::to_string(st.st_ino) + " " + std::to_string(st.st_dev) + " 1234 5 ";
    struct {
        std::string text;  // the item is its last line
        int result;
        std::string name;
        bool hardLink;
        uint32_t portable;
    } cases[] = {
        {a, 0, a, true, 0},
        {"%??NOHL%" + a, 0, a, false, 0},
        {c, 0, c, false, 0},  // not in the table
        {entry + a, 0, phony, false, ZXFLAG_HARDLINK_PHONY_NAME | ZXFLAG_HL_GROUP_HEAD},
        // A later line of the group: a member, listed again in its collect file.
        {entry + a + "\n" + entry + b, 0, b, true, ZXFLAG_NOT_COUNTABLE},
        // A group whose first line vanished is headed by the next.
        {entry + dir / "gone" + "\n" + entry + b, 0, phony, false, ZXFLAG_HARDLINK_PHONY_NAME | ZXFLAG_HL_GROUP_HEAD},
    };
    subclientFiles files;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.text);
        MemoryRecordSink sink;
        KXArchive archive(&sink);
        FillFile f(&archive);
        f.EnableHardLinkHandling();
        f.SetJobResultsFolder(job);
        CollectFileReader reader;
        reader.OpenMemory("collect", k.text + "\n");
        const size_t last = static_cast<size_t>(std::count(k.text.begin(), k.text.end(), '\n'));
        for (size_t item = 0; item < last; ++item) {  // the lines before the item, headers filled where they open
            if (f.OpenFilesForBackup(reader, nullptr) == 0) {
                ASSERT_EQ(0, f.PopulateHeader(&files, nullptr));
            }
        }
        ASSERT_EQ(0, f.OpenFilesForBackup(reader, nullptr));
        ASSERT_EQ(k.result, f.PopulateHeader(&files, nullptr));
        const ZXFileHeader& h = f.GetHeader();
        EXPECT_EQ(k.name, h.h_filename);
        EXPECT_EQ(k.hardLink ? ZX_HDR_FLAG_HARDLINK_BOTH : 0u, h.h_platform_flags & ZX_HDR_FLAG_HARDLINK_BOTH);
        EXPECT_EQ(k.portable, h.portable_flags);
        EXPECT_EQ(static_cast<uint64_t>(st.st_ctime), h.h_ctime) << "the header keeps the item's own change time";
        ASSERT_EQ(0, f.SendHeader(nullptr));
        ASSERT_EQ(0, f.ReadAndSendFileData(nullptr));
        ASSERT_EQ(0, f.SendEndOfFileMessage(1));
        std::string_view end = sink.RecordBytes(sink.RecordCount() - 1);
        EXPECT_EQ(k.hardLink ? phony + '\0' : "", std::string(end)) << "a member names its group";
        size_t data = 0;
        for (size_t i = 0; i < sink.RecordCount(); ++i)
            data += sink.RecordType(i) == PL_FS_DATA;
        EXPECT_EQ(k.hardLink ? 0u : 1u, data) << "a member sends no data";
        EXPECT_EQ(0u, f.GetChangedItems()) << "the recorded change time is not a change while reading";
    }
    // Without a table the stream fails.
    FillFile f(static_cast<KXArchive*>(nullptr));
    f.EnableHardLinkHandling();
    f.SetJobResultsFolder(dir / "nowhere");
    EXPECT_EQ(2, Fill(f, a + "\n", &files).result);
    ruxen::testcontrol::ResetHardLinkManager();
}

}  // namespace
