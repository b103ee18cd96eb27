// Header sending on real files: the deduplication command, the header and
// its failures, hard-link member names from a real hard-links table, the
// optional header of ACLs and extended attributes with its skips and size
// limits, the vanished item when no error is tolerated, the item signature.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "common/AclForm.h"
#include "hardlinks/HardLinkManager.h"
#include "mapping/ContentMapper.h"
#include "platform/agent/KXJobCtrlClient.h"
#include "platform/agent/KXPI_Focus.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/archive/CPipelayer.h"
#include "platform/base/TestControl.h"
#include "platform/os/KxACLHelper.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "ruxen/PipelineRecordTypes.h"
#include "support/FaultyReaderOps.h"
#include "support/MarkedFile.h"
#include "support/MemoryItem.h"
#include "support/MntTabFile.h"
#include "support/ProcessState.h"
#include "support/StreamBytes.h"
#include "support/StreamCheck.h"
#include "support/XattrFiles.h"

namespace {

using namespace testfiles;
using Types = std::vector<uint32_t>;
using Item = MemoryItemOf<MarkedFile>;
constexpr char kUserAcl[] = "u::rw-,u:1234:r--,g::r--,m::r--,o::r--";

// Every test starts with the once-per-process switches unset.
class HeaderSend : public ::testing::Test {
protected:
    void SetUp() override {
        ruxen::testcontrol::ResetProcessSwitches();
        ruxen::testcontrol::ResetAclSupport();
        ruxen::testcontrol::ResetHardLinkManager();
    }
    void TearDown() override { SetUp(); }
    // Opens, fills and sends the header of `path`; SendHeader's answer.
    int Send(Item& item, const std::string& path) {
        EXPECT_TRUE(item.Open(path)) << path;
        return item.file.SendHeader(nullptr);
    }
    ProcessStateGuard m_state;
    TempDir m_dir;
};

// Through the archive client or the pipeline layer, the command (u32 1) goes
// before the first header of the process only; a failed answer fails that
// stream and is not asked again.
TEST_F(HeaderSend, DeduplicationCommandOncePerProcess) {
    WriteWholeFile(m_dir / "a", "aaa");
    for (int c = 0; c < 3; ++c) {  // archive client, pipeline layer, a failed answer
        ruxen::testcontrol::ResetProcessSwitches();
        for (int stream = 0; stream < 2; ++stream) {
            MemoryRecordSink sink;
            KXArchive archive(&sink);
            CPipelayer pipe(&sink);
            std::unique_ptr<RuxenFile> f(c == 1 ? new RuxenFile(&pipe) : new RuxenFile(&archive));
            f->EnableHardLinkHandling();
            sink.FailFlush(c == 2 ? 1 : 0);
            const bool failed = c == 2 && stream == 0;
            EXPECT_EQ(failed ? StreamBackupPass::kStreamFailed : StreamBackupPass::kCollectDone,
                      PassOver(*f, {m_dir / "a", m_dir / "a"}));
            Types want = stream == 0 ? Types{329} : Types{};
            for (int i = 0; i < (failed ? 0 : 2); ++i)
                want.insert(want.end(), {128, 2, 130});
            EXPECT_EQ(want, TypesOf(sink)) << c;
            if (stream == 0) {
                EXPECT_EQ(std::string("\0\0\0\1", 4), std::string(sink.RecordBytes(0)));
            }
        }
    }
}

// A header that cannot be written records the pipeline reason, closes the
// item and gives the buffer back once; the next item allocates its own
// optional header after one whose optional header could not be written.
TEST_F(HeaderSend, WriteFailuresFailTheStreamAndLeaveNothingHeld) {
    const std::string a = m_dir / "a", b = m_dir / "b";
    WriteWholeFile(a, "a");
    WriteWholeFile(b, "b");
    if (!SetXattr(a, "user.k", "1") || !SetXattr(b, "user.k", "2"))
        GTEST_SKIP() << "no user attributes here";
    Item item;
    item.sink.FailWrite(1);
    EXPECT_EQ(RuxenFile::kFailStream, Send(item, a));
    EXPECT_EQ("pipeline error during send buffer -1", item.file.GetFailureReason());
    EXPECT_FALSE(item.file.GetReader().IsOpen());
    EXPECT_EQ(1u, item.sink.Frees());
    EXPECT_EQ(0u, item.sink.Outstanding());

    item.sink.FailWrite(item.sink.WriteCalls() + 2);  // the optional header
    EXPECT_EQ(RuxenFile::kFailStream, Send(item, a));
    EXPECT_EQ(RuxenFile::kItemGoOn, Send(item, b));
    EXPECT_EQ((Types{128, 128, 129}), TypesOf(item.sink));
    EXPECT_EQ(2u, item.sink.Frees());
    EXPECT_EQ(0u, item.sink.Outstanding());
}

// A group of three recorded members, one deleted from disk since: the head
// names the others that exist (outside index version 2 not itself); a
// later line of its group in the hard-link collect file (its data and names
// went with the head) and, under version 2, a member name none. A recorded
// member replaced by another file since the scan, or reached through
// another user's link, is no link of the item and is not named. A missing
// table fails the stream; an inode the table does not know goes on without
// names. Under a content mapping the names are the recorded paths; a member
// no pair covers is left out and fails the item.
TEST_F(HeaderSend, HardLinkMemberNamesFromTheTable) {
    const std::string m1 = m_dir / "m1", m2 = m_dir / "m2", m3 = m_dir / "m3", other = m_dir / "other";
    const std::string job = m_dir / "job", empty = m_dir / "empty", replaced = m_dir / "replaced";
    WriteWholeFile(m1, "group data");
    WriteWholeFile(other, "x");
    ASSERT_EQ(0, link(m1.c_str(), m2.c_str()));
    ASSERT_EQ(0, link(m1.c_str(), m3.c_str()));
    ASSERT_EQ(0, link(other.c_str(), (m_dir / "other2").c_str()));
    ASSERT_EQ(0, mkdir(job.c_str(), 0755));
    ASSERT_EQ(0, mkdir(empty.c_str(), 0755));
    WriteWholeFile(replaced, "group data");
    ASSERT_EQ(0, symlink(".", (m_dir / "userlink").c_str()));
    if (geteuid() == 0) {
        ASSERT_EQ(0, lchown((m_dir / "userlink").c_str(), 65534, 65534));
    }
    struct stat st;
    ASSERT_EQ(0, lstat(m1.c_str(), &st));
    {
        HardLinksTable t;
        ASSERT_EQ(0, t.setDirectory(job, false, "hardLinks"));
        for (const std::string& p : {m1, m2, replaced, m_dir / "userlink/m1", m3})
            ASSERT_EQ(0, t.insert(st.st_dev, st.st_ino, st.st_ctime, p, "guid-1"));
        ASSERT_EQ(0, t.close());
    }
    ASSERT_EQ(0, unlink(m2.c_str()));
    // Run as root, the walk refuses the link of another user.
    const std::string viaLink = geteuid() == 0 ? "" : m_dir / "userlink/m1" + '\0';
    const std::string viaLinkMapped = geteuid() == 0 ? "" : std::string("/rec/userlink/m1\0", 17);
    const std::string n1 = m1 + '\0', n3 = m3 + '\0';
    ContentMapper proxy, elsewhere;
    std::list<std::string> pairs{"/rec\t" + m_dir.path()}, otherPairs{"/rec\t/nowhere"};
    ASSERT_EQ(0, proxy.SetProxyToHostMap(&pairs));
    ASSERT_EQ(0, elsewhere.SetProxyToHostMap(&otherPairs));
    struct Case {
        const char* name;
        std::string path, dir;
        bool head, v2;
        int result;
        std::string members;
        ContentMapper* mapper = nullptr;
    } cases[] = {
        {"later line of its group", m3, job, false, false, 0, ""},
        {"head", m1, job, true, false, 0, viaLink + n3},
        {"head, version 2", m3, job, true, true, 0, n1 + viaLink + n3},
        {"member, version 2", m3, job, false, true, 0, ""},
        {"unknown inode", other, job, true, false, 0, ""},
        {"no table", m1, empty, true, false, 2, ""},
        {"mapped", m1, job, true, true, 0, std::string("/rec/m1\0", 8) + viaLinkMapped + std::string("/rec/m3\0", 8),
         &proxy},
        {"mapped to none", m1, job, true, false, 0, "", &elsewhere},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ruxen::testcontrol::ResetHardLinkManager();
        Item item;
        item.file.EnableHardLinkHandling();
        item.file.SetJobResultsFolder(c.dir);
        item.file.SetIndexV2Enabled(c.v2);
        item.file.marks.hlCollectEntry = true;
        item.file.marks.headOfNewGroup = c.head;
        ASSERT_TRUE(item.Open(c.path));
        item.file.SetContentMapping(c.mapper, c.mapper != nullptr, false);
        EXPECT_EQ(c.result, item.file.SendHeader(nullptr));
        std::string sent;
        for (const auto& r : RecordsOf(item.sink, PL_FS_OPT_HDR2))
            sent += r.second;
        EXPECT_EQ(c.members, sent);
        EXPECT_EQ(c.mapper == &elsewhere ? 1u : 0u, item.file.GetFailedItems());
        if (c.result == 0 && !c.mapper && (c.head || c.v2)) {  // a later line names data sent before it
            EXPECT_EQ(0, item.file.ReadAndSendFileData(nullptr));
            EXPECT_EQ(0, item.file.SendEndOfFileMessageInternal(1));
            StreamCheck check = CheckRecords(item.sink);
            EXPECT_TRUE(check.Ok()) << check.lines;
        }
    }
}

// The optional header lists what the item carries (an access ACL with a
// named user and an attribute, decoded back here) in a form of at most 61439
// bytes: an attribute that would pass it is left out and the item reported
// (those that fit still go), with the pending cause raised once per process;
// an item with nothing to keep has no optional header. (On tmpfs, which keeps
// large attributes.)
TEST_F(HeaderSend, AclFormContentAndSizeLimits) {
    TempDir shm("ruxen_acl", "/dev/shm");
    const size_t room = KxACL::kMaxNetworkBufferSize - KxACL::kFormHeaderSize - KxACL::kEntryHeaderSize - 6;
    const std::string rich = shm / "rich", fits = shm / "fits", over = shm / "over", pair = shm / "pair",
                      none = shm / "none", half(room / 2 + 1, 'h');
    for (const std::string& p : {rich, fits, over, pair, none})
        WriteWholeFile(p, "");
    if (!SetAcl(rich, kUserAcl) || !SetXattr(rich, "user.comment", "hi") ||
        !SetXattr(fits, "user.b", std::string(room, 'v')) || !SetXattr(over, "user.b", std::string(room + 1, 'v')) ||
        !SetXattr(pair, "user.p", half) || !SetXattr(pair, "user.q", half))
        GTEST_SKIP() << "no ACLs or large user attributes on /dev/shm";
    char listed[16] = "";  // of two that fit one by one, the first listed stays
    ASSERT_GT(listxattr(pair.c_str(), listed, sizeof(listed)), 0);
    KXJobCtrlClient jobs;
    struct Case {
        std::string path, entries;
        size_t causes;
        unsigned long long failed;
    } cases[] = {{rich, std::string("1 =") + kUserAcl + ";3 user.comment=hi;", 0, 0},
                 {fits, "3 user.b=" + std::string(room, 'v') + ";", 0, 0},
                 {over, "", 1, 1},
                 {over, "", 1, 1},
                 {pair, "3 " + std::string(listed) + "=" + half + ";", 1, 1},
                 {none, "", 1, 0}};
    for (const Case& c : cases) {
        Item item;
        item.file.setJobCtrlClient(&jobs);
        EXPECT_EQ(0, Send(item, c.path));
        EXPECT_EQ(c.failed, item.file.GetFailedItems()) << c.path;
        std::string text;
        for (const auto& r : RecordsOf(item.sink, PL_FS_OPT_HDR)) {
            EXPECT_EQ(std::string("\xAB\xCD\x12\x34\0\0\0\x01", 8) + U32(static_cast<uint32_t>(r.second.size() - 16)) +
                          std::string(4, '\0'),
                      r.second.substr(0, 16));
            std::vector<KxACL::Entry> entries;
            const char* why = nullptr;
            EXPECT_TRUE(AclForm::Decode(r.second.data() + 16, r.second.size() - 16, &entries, &why)) << why;
            for (const KxACL::Entry& e : entries)
                text += std::to_string(e.kind) + " " + e.name + "=" + e.value + ";";
        }
        EXPECT_EQ(c.entries, text);
        ASSERT_EQ(c.causes, jobs.PendingCauses().size());
    }
    const KXJobCtrlClient::PendingCause& p = jobs.PendingCauses()[0];
    EXPECT_EQ((std::vector<int>{0x70000e0, 6, 300}),
              (std::vector<int>{static_cast<int>(p.code), p.eventSeverity, p.delaySeconds}));
}

// Items without an optional header: off CIFS (logged once per process), a
// network mount point, a mount point when the registry says so; a sub-item
// of a mount point keeps its header. The item's file-system type comes from
// the mount table, a directory that is a mount of the mount list is that
// mount point, and the collect line's markers may say either.
TEST_F(HeaderSend, AclSkips) {
    const std::string d = m_dir / "d", f = d + "/f";
    ASSERT_EQ(0, mkdir(d.c_str(), 0755));
    WriteWholeFile(f, "x");
    if (!SetXattr(d, "user.k", "v") || !SetXattr(f, "user.k", "v"))
        GTEST_SKIP() << "no user attributes here";
    struct Case {
        const char* dirType;  // of the mount table's entry for the test directory
        std::string line;
        bool registryOff, optHeader;
    } cases[] = {{"cifs", f, false, false},          {"cifs", f, false, false},
                 {"ext4", f, false, true},           {"ext4", d, false, false},
                 {"ext4", "%??SUB%" + d, false, true}, {"ext4", "%??MNT=4%" + f, false, true},
                 {"ext4", "%??PSEUDO%" + f, false, false},  // a pseudo item goes without
                 {"ext4", "%??MNT=4%" + f, true, false}};
    KxLog::SetLevel(1);
    for (const Case& c : cases) {
        if (c.registryOff) {
            KXPlatformInfo::setValue(kFileSystemAgentSection, "nDoNotSendACLForMountPoints", "1");
            ruxen::testcontrol::ResetProcessSwitches();
        }
        MntTabFile table("/dev/sda1 / ext4 rw 0 0\nsrv:/x " + m_dir.path() + " " + c.dirType + " rw 0 0\n");
        MemoryItem item;
        item.file.setMountPoints({{3, MountEntry{d, "nfs4", 0}}, {4, MountEntry{"/local", "ext4", 0}}});
        ASSERT_TRUE(item.OpenLine(c.line));
        EXPECT_EQ(0, item.file.SendHeader(nullptr));
        EXPECT_EQ((c.optHeader ? Types{128, 129} : Types{128}), TypesOf(item.sink)) << c.dirType << c.line;
    }
    const std::string log = m_state.Log();
    EXPECT_NE(std::string::npos, log.find("ACL backup not support"));
    EXPECT_EQ(log.find("ACL backup not support"), log.rfind("ACL backup not support"));
}

// An item gone before its header, in a job that tolerates no errors, fails
// the stream with a pending cause; a pseudo item, and a SILO job's item
// whose SILO path does not exist, go on without that check.
TEST_F(HeaderSend, VanishedItemWhenErrorsAreNotTolerated) {
    const std::string f = m_dir / "gone";
    WriteWholeFile(f, "x");
    KXJobCtrlClient jobs;
    Item item;
    item.file.setErrorsTolerated(false);
    item.file.setJobCtrlClient(&jobs);
    ASSERT_TRUE(item.Open(f));
    ASSERT_EQ(0, unlink(f.c_str()));
    EXPECT_EQ(2, item.file.SendHeader(nullptr));
    ASSERT_EQ(1u, jobs.PendingCauses().size());
    const KXJobCtrlClient::PendingCause& p = jobs.PendingCauses()[0];
    EXPECT_EQ(std::to_string(0x600002b) + f + "300", std::to_string(p.code) + p.text + std::to_string(p.delaySeconds));
    EXPECT_EQ("Unable to read file - every file must be backed up.", item.file.GetFailureReason());
    EXPECT_FALSE(item.file.GetReader().IsOpen());
    for (bool pseudo : {true, false}) {
        WriteWholeFile(f, "x");
        Item other;
        other.file.setErrorsTolerated(false);
        other.file.setJobCtrlClient(&jobs);
        other.file.SetSILOJobFlag(!pseudo);
        other.file.SetSILOParentPath(m_dir / "no-silo");
        other.file.marks.pseudo = pseudo;
        ASSERT_TRUE(other.Open(f));
        ASSERT_EQ(0, unlink(f.c_str()));
        EXPECT_EQ(0, other.file.SendHeader(nullptr)) << pseudo;
    }
    EXPECT_EQ(1u, jobs.PendingCauses().size());
}

// Outside index version 2 every item's "system." attributes are asked for;
// under it only on GPFS.
TEST_F(HeaderSend, SystemAttributesOutsideIndexVersion2OrOnGpfs) {
    const std::string f = m_dir / "f";
    WriteWholeFile(f, "x");
    for (const auto& [v2, fsType, asked] :
         {std::tuple{false, "ext4", true}, {true, "ext4", false}, {true, "gpfs", true}, {true, "mmfs", true}}) {
        ruxen::testcontrol::ResetAclSupport();
        Item item;
        item.file.SetIndexV2Enabled(v2);
        item.file.marks.fsType = fsType;
        EXPECT_EQ(0, Send(item, f));
        EXPECT_EQ(asked, (KxACL::Helper::GetOptions() & KxACL::OPT_SYSTEM_XATTRS) != 0) << v2 << fsType;
    }
}

// An item whose lists cannot be read is a failure of the item, listed, when
// the error is one to report; it goes on without an optional header.
TEST_F(HeaderSend, AclReadFailureIsReported) {
    const std::string d = m_dir / "d", failures = m_dir / "failures";
    ASSERT_EQ(0, mkdir(d.c_str(), 0755));
    for (const auto& [err, listed] : {std::pair{EACCES, d + ":13\n"}, {ENOTSUP, std::string()}}) {
        Item item;
        auto ops = std::make_shared<FaultyReaderOps>();
        item.file.GetReaderContext().SetFileOps(ops);
        ASSERT_TRUE(item.Open(d));
        ops->failRef = {ops->failRef.calls + 1, err};
        FILE* out = fopen(failures.c_str(), "w");
        EXPECT_EQ(0, item.file.SendHeader(out));
        fclose(out);
        EXPECT_EQ(listed, ReadWholeFile(failures));
        EXPECT_EQ((Types{128}), TypesOf(item.sink));
        EXPECT_EQ(0u, item.sink.Outstanding());
    }
}

// Each item passes each stage of its header and end record once (the
// optional header's only with an attribute), with the bytes it moved;
// nothing is counted while the counter is off.
TEST_F(HeaderSend, ProfilingStagesOfHeadersAndEndRecords) {
    const std::string a = m_dir / "a", b = m_dir / "b";
    WriteWholeFile(a, "a");
    WriteWholeFile(b, "b");
    if (!SetXattr(a, "user.k", "v"))
        GTEST_SKIP() << "no user attributes here";
    for (bool on : {false, true}) {
        Item item;
        item.file.GetPerfCounter().Enable(on);
        ASSERT_EQ(StreamBackupPass::kCollectDone, PassOver(item.file, {a, b}));
        const size_t optLength = RecordsOf(item.sink, PL_FS_OPT_HDR).at(0).second.size() - 16;
        const struct {
            int stage;
            const char* name;
            uint64_t calls, bytes;
        } stages[] = {{11, "InsidePopulateHeader", 2, 0},     {13, "BeforeConvertHeader", 2, 0},
                      {14, "AllocateBufferForHeader", 2, 0},  {15, "HeaderMemCpy", 2, 2 * 1160},
                      {16, "HeaderWriteBuffer", 2, 2 * 1160}, {19, "SendOptHeader", 1, optLength},
                      {32, "EndOfFileAllocBuffer", 2, 0},     {33, "EndOfFileWriteBuffer", 2, 0}};
        for (const auto& s : stages) {
            const PerfCounter::Stage& got = item.file.GetPerfCounter().GetStage(s.stage);
            EXPECT_EQ(on ? s.name : "", std::string(got.name ? got.name : "")) << s.stage;
            EXPECT_EQ(on ? s.calls : 0u, got.count) << s.name;
            EXPECT_EQ(on ? s.bytes : 0u, got.bytes) << s.name;
        }
    }
}

// In turbo mode a file's signature is name, client, change and modification
// times, inode, archive file and collect offset; a directory clears it.
TEST_F(HeaderSend, TurboSignature) {
    const std::string f = m_dir / "f";
    WriteWholeFile(f, "x");
    Item item;
    item.file.SetTurboMode(true);
    item.file.SetCurrentAFileNumber(7);
    ASSERT_EQ(0, Send(item, f));
    struct stat st;
    ASSERT_EQ(0, lstat(f.c_str(), &st));
    EXPECT_EQ(f + "_" + KXPI_Focus::getFocusClientName() + "_" + std::to_string(st.st_ctime) + "_" +
                  std::to_string(st.st_mtime) + "_" + std::to_string(st.st_ino) + "_7_0",
              item.archive.GetFileSignatureData());
    ASSERT_EQ(0, Send(item, m_dir.path()));
    EXPECT_FALSE(item.archive.HasFileSignatureData());
}

}  // namespace
