// GPFS file sets (the job's list, the reader's mark, the file-set record) and
// end-user access records, on real files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <map>
#include <string>

#include "platform/base/TestControl.h"
#include "platform/os/KxACLHelper.h"
#include "reader/CFileReader.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"
#include "support/MemoryItem.h"
#include "support/ProcessState.h"
#include "support/TestFiles.h"
#include "support/XattrFiles.h"

namespace {

using namespace testfiles;
using Sets = std::map<std::string, std::string>;  // path -> name

const std::string kGood =
    "<App_GpfsFileSetConfigList>\n"
    "  <fileSet name=\"projects\" path=\"/gpfs/fs0/projects/\"/>\n"
    "  <fileSet name=\"root\" path=\"/\"/>\n"
    "</App_GpfsFileSetConfigList>\n";

TEST(GpfsFileSetList, LoadsWhatIsSoundAndRefusesWhatIsNot) {
    ProcessStateGuard state;
    TempDir earlier;
    WriteWholeFile(earlier / kFileSetListFile, kGood);
    struct Case {
        const char* what;
        bool present;
        std::string text;
        bool ok;
        Sets sets;
    } cases[] = {
        {"missing", false, "", true, {}},
        {"good", true, kGood, true, {{"/gpfs/fs0/projects", "projects"}, {"/", "root"}}},
        {"truncated", true, kGood.substr(0, kGood.size() - 12), false, {}},
        {"wrong root", true, "<Other><fileSet name=\"a\" path=\"/a\"/></Other>", false, {}},
        {"duplicate and bad entries", true,
         "<App_GpfsFileSetConfigList><fileSet name=\"first\" path=\"/a\"/><fileSet name=\"second\" path=\"/a/\"/>"
         "<fileSet path=\"/b\"/><fileSet name=\"rel\" path=\"a/b\"/><x><fileSet name=\"deep\" path=\"/c\"/></x>"
         "</App_GpfsFileSetConfigList>",
         true, {{"/a", "first"}}},
        {"external DTD", true,
         "<!DOCTYPE App_GpfsFileSetConfigList SYSTEM \"file:///etc/passwd\">\n" + kGood, false, {}},
        {"entity bomb", true,
         "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
         "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
         "<App_GpfsFileSetConfigList><fileSet name=\"&d;\" path=\"/a\"/></App_GpfsFileSetConfigList>",
         false, {}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        if (c.present)
            WriteWholeFile(dir / kFileSetListFile, c.text);
        RuxenFilePrivate p;
        ASSERT_TRUE(p.LoadGpfsFileSetInfo(earlier.path()));  // a load replaces what was there
        EXPECT_EQ(c.ok, p.LoadGpfsFileSetInfo(dir.path())) << c.what;
        EXPECT_EQ(c.sets.size(), p.FileSetCount()) << c.what;
        for (const auto& e : c.sets)
            EXPECT_EQ(e.second, p.FindFileSet(e.first) ? p.FindFileSet(e.first)->fileSetName : "?") << c.what;
    }
}

// The reader's mark follows the loaded paths, and the file-set record
// carries the name, as a message (bytes written out by hand).
TEST(GpfsFileSetList, OpenedFileSetItemIsMarkedAndItsRecordSent) {
    ProcessStateGuard state;
    TempDir dir;
    ASSERT_EQ(0, mkdir((dir / "projects").c_str(), 0755));
    WriteWholeFile(dir / "other", "x");
    WriteWholeFile(dir / kFileSetListFile, "<App_GpfsFileSetConfigList><fileSet name=\"projects\" path=\"" +
                                               dir.path() + "/projects\"/></App_GpfsFileSetConfigList>");
    MemoryItem m;
    ASSERT_TRUE(m.file.Private().LoadGpfsFileSetInfo(dir.path()));
    ASSERT_TRUE(m.Open(dir / "projects"));
    EXPECT_TRUE(m.file.GetReader().IsFileSet());
    m.file.SendFileSetInfo();
    ASSERT_EQ(1u, m.sink.RecordCount());
    const std::string expected("M\x01"
                               "\0\0\0\x65\0\0\0\x5d\0\0\0\x01"  // IdxMetaData, one field
                               "\0\0\0\x07\x04\0\0\0\x1d"        // 7: a part of 29 bytes
                               "\0\0\0\x65\0\0\0\x67\0\0\0\x01"  // FileSetData, one field
                               "\0\0\0\x01\x02\0\0\0\x08projects",
                               52);
    EXPECT_EQ(expected, m.Record(0));

    ASSERT_TRUE(m.Open(dir / "other"));
    EXPECT_FALSE(m.file.GetReader().IsFileSet());
}

// The item's ACL as one pair, read beneath the item's directory as the
// item was looked up: a long path too, and one whose directory was moved
// away since (never by its last name in the current directory, where a
// decoy waits). The working directory stays; failures send nothing.
TEST(EndUserAccess, SendsTheItemsOwnAclOrNothing) {
    ProcessStateGuard state;
    ruxen::testcontrol::ResetAclSupport();
    TempDir dir, here;
    const char* acl = "u::rw-,u:1234:r--,g::r--,m::r--,o::r--";
    WriteWholeFile(dir / "file", "");
    WriteWholeFile(dir / "gone", "");
    const std::string longPath = MakePathOfLength(dir.path(), 1200);
    const std::string last = longPath.substr(longPath.rfind('/') + 1);
    WriteWholeFile(here / last, "decoy");
    if (!SetAcl(dir / "file", acl) || !SetAcl(longPath, acl) || !SetAcl(here / last, "u::rwx,u:9:rwx,g::-,m::rwx,o::-"))
        GTEST_SKIP() << "no ACLs on " << dir.path();
    ASSERT_EQ(0, chdir(here.path().c_str()));

    const std::string pair("P\0\x22\x71\x92\xa5\0\0\0\x38"  // END_USER_ACCESS_ACL, 56 bytes
                           "user::rw-\nuser:1234:r--\ngroup::r--\nmask::r--\nother::r--\n",
                           66);
    enum Step { kNone, kMoveAway, kUnlink, kFailAllocation, kFailWrite };
    struct Case {
        const char* what;
        std::string path;
        Step step;
        int error;  // 0: sent
    } cases[] = {
        {"file", dir / "file", kNone, 0},
        {"long path", longPath, kNone, 0},
        {"long path moved away", longPath, kMoveAway, 0},
        {"vanished", dir / "gone", kUnlink, ENOENT},
        {"no ACLs on its file system", "/proc/self/stat", kNone, EOPNOTSUPP},
        {"no buffer", dir / "file", kFailAllocation, EINVAL},
        {"write fails", dir / "file", kFailWrite, EINVAL},
    };
    for (const Case& c : cases) {
        MemoryItem m;
        m.file.SetLongPathSupport(true);
        ASSERT_TRUE(m.Open(c.path, c.path != longPath)) << c.what;
        const std::string top = longPath.substr(0, longPath.find('/', dir.path().size() + 1));
        EXPECT_EQ(0, c.step == kMoveAway ? rename(top.c_str(), (dir / "moved").c_str()) : 0);
        EXPECT_EQ(0, c.step == kUnlink ? unlink(c.path.c_str()) : 0);
        m.sink.FailAllocation(c.step == kFailAllocation ? 1 : 0);
        m.sink.FailWrite(c.step == kFailWrite ? 1 : 0);
        int error = -5;
        EXPECT_EQ(c.error == 0, m.file.SendEndUserAccessInfo(error)) << c.what;
        EXPECT_EQ(c.error, error) << c.what;
        EXPECT_EQ(c.error ? 0u : 1u, m.sink.RecordCount()) << c.what;
        EXPECT_EQ(c.error ? "" : pair, m.sink.RecordCount() == 1 ? m.Record(0) : "") << c.what;
        EXPECT_EQ(0u, m.sink.Outstanding()) << c.what;
        char cwd[PATH_MAX];
        EXPECT_EQ(here.path(), getcwd(cwd, sizeof cwd)) << c.what;
    }
    ruxen::testcontrol::ResetAclSupport();
}

}  // namespace
