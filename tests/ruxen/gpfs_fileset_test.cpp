// GPFS file sets (the job's list, the reader's mark, the file-set record) and
// end-user access records, on real files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <map>
#include <string>

#include "platform/KxACLHelper.h"
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

Sets Loaded(RuxenFilePrivate& p, const Sets& probe) {
    Sets out;
    for (const auto& e : probe)
        if (const App::GpfsFileSetConfig* c = p.FindFileSet(e.first))
            out[c->fileSetPath] = c->fileSetName;
    return out;
}

TEST(GpfsFileSetList, LoadsWhatIsSoundAndRefusesWhatIsNot) {
    const Sets probe = {{"/gpfs/fs0/projects", ""}, {"/", ""}, {"/a", ""}, {"/gpfs/fs0/projects/x", ""}};
    const Sets good = {{"/gpfs/fs0/projects", "projects"}, {"/", "root"}};
    struct Case {
        const char* what;
        bool present;
        std::string text;
        bool ok;
        Sets sets;
    } cases[] = {
        {"missing", false, "", true, {}},
        {"good", true, kGood, true, good},
        {"malformed", true, "<App_GpfsFileSetConfigList><fileSet name=\"a\" path=/a/></App_GpfsFileSetConfigList>",
         false, {}},
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
        ProcessStateGuard state;
        TempDir dir;
        if (c.present)
            WriteWholeFile(dir / kFileSetListFile, c.text);
        RuxenFilePrivate p;
        TempDir earlier;
        WriteWholeFile(earlier / kFileSetListFile, kGood);
        ASSERT_TRUE(p.LoadGpfsFileSetInfo(earlier.path()));  // a load replaces what was there
        EXPECT_EQ(c.ok, p.LoadGpfsFileSetInfo(dir.path())) << c.what;
        EXPECT_EQ(c.sets, Loaded(p, probe)) << c.what;
        EXPECT_EQ(c.sets.size(), p.FileSetCount()) << c.what;
        std::string log = state.Log();
        EXPECT_EQ(c.ok, log.find("Failed to read FileSetTmp file") == std::string::npos) << c.what << log;
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
    EXPECT_EQ(PL_FS_IDX_METADATA, m.sink.RecordType(0));
    const std::string expected("M\x01"
                               "\0\0\0\x65\0\0\0\x5d\0\0\0\x01"  // IdxMetaData, one field
                               "\0\0\0\x07\x04\0\0\0\x1d"        // 7: a part of 29 bytes
                               "\0\0\0\x65\0\0\0\x67\0\0\0\x01"  // FileSetData, one field
                               "\0\0\0\x01\x02\0\0\0\x08projects",
                               52);
    EXPECT_EQ(expected, m.Record(0));

    ASSERT_TRUE(m.Open(dir / "other"));
    EXPECT_FALSE(m.file.GetReader().IsFileSet());

    // Failures are logged, free their buffer and never end the caller.
    ASSERT_TRUE(m.Open(dir / "projects"));
    m.sink.FailAllocation(m.sink.AllocateCalls() + 1);
    m.file.SendFileSetInfo();
    m.sink.FailWrite(m.sink.WriteCalls() + 1);
    m.file.SendFileSetInfo();
    EXPECT_EQ(1u, m.sink.RecordCount());
    EXPECT_EQ(0u, m.sink.Outstanding());
    EXPECT_EQ(-1, m.file.GetFailureCode());
    EXPECT_NE(std::string::npos, state.Log().find("WriteBuffer failed"));
}

class EndUserAccess : public ::testing::Test {
protected:
    void SetUp() override {
        KxACL::Helper::ResetForTest();
        WriteWholeFile(dir / "probe", "");
        if (!SetAcl(dir / "probe", "u::rw-,u:1234:r--,g::r--,m::r--,o::r--"))
            GTEST_SKIP() << "no ACLs on " << dir.path();
    }
    void TearDown() override { KxACL::Helper::ResetForTest(); }

    static std::string Cwd() {
        char buf[PATH_MAX];
        return getcwd(buf, sizeof buf) ? buf : "?";
    }
    // The expected record: one pair of END_USER_ACCESS_ACL.
    static std::string Pair(const std::string& text) {
        std::string s("P\0\x22\x71\x92\xa5", 6);
        uint32_t n = static_cast<uint32_t>(text.size());
        for (int shift = 24; shift >= 0; shift -= 8)
            s += static_cast<char>(n >> shift);
        return s + text;
    }

    ProcessStateGuard state;
    TempDir dir;
};

TEST_F(EndUserAccess, SendsTheAclOfTheItemReadFromItsOwnPath) {
    const std::string text = "user::rw-\nuser:1234:r--\ngroup::r--\nmask::r--\nother::r--\n";
    const std::string longPath = MakePathOfLength(dir.path(), 1200);
    ASSERT_FALSE(longPath.empty());
    ASSERT_TRUE(SetAcl(longPath, "u::rw-,u:1234:r--,g::r--,m::r--,o::r--"));
    const std::string cwd = Cwd();
    for (const std::string& path : {dir / "probe", longPath}) {
        MemoryItem m;
        m.file.SetLongPathSupport(true);
        ASSERT_TRUE(m.Open(path, path != longPath));
        int error = -5;
        EXPECT_TRUE(m.file.SendEndUserAccessInfo(error)) << state.Log();
        EXPECT_EQ(0, error);
        ASSERT_EQ(1u, m.sink.RecordCount());
        EXPECT_EQ(Pair(text), m.Record(0));
        EXPECT_EQ(cwd, Cwd());
    }
}

// A long path whose directory cannot be entered is read by its whole path,
// never by its last name in the current directory, where a decoy waits.
TEST_F(EndUserAccess, FailuresSendNothingAndNeverReadAnotherFile) {
    const std::string longPath = MakePathOfLength(dir.path(), 1200);
    ASSERT_FALSE(longPath.empty());
    const std::string last = longPath.substr(longPath.rfind('/') + 1);
    TempDir here;
    WriteWholeFile(here / last, "decoy");
    ASSERT_TRUE(SetAcl(here / last, "u::rw-,u:999:rwx,g::r--,m::rwx,o::r--"));
    const std::string top = longPath.substr(0, longPath.find('/', dir.path().size() + 1));
    WriteWholeFile(dir / "gone", "");

    struct Case {
        const char* what;
        std::string path;
        int error;
    } cases[] = {
        {"long path moved away", longPath, ENOENT},
        {"vanished", dir / "gone", ENOENT},
        {"no ACLs on its file system", "/proc/self/stat", EOPNOTSUPP},
    };
    for (const Case& c : cases) {
        MemoryItem m;
        m.file.SetLongPathSupport(true);
        ASSERT_TRUE(m.Open(c.path, c.path != longPath)) << c.what;
        ASSERT_EQ(0, chdir(here.path().c_str()));
        if (c.path == longPath) {
            ASSERT_EQ(0, rename(top.c_str(), (dir / "moved").c_str()));
        } else if (c.path == dir / "gone") {
            ASSERT_EQ(0, unlink(c.path.c_str()));
        }
        int error = 0;
        EXPECT_FALSE(m.file.SendEndUserAccessInfo(error)) << c.what;
        EXPECT_EQ(c.error, error) << c.what;
        EXPECT_EQ(0u, m.sink.RecordCount()) << c.what;
        EXPECT_EQ(here.path(), Cwd()) << c.what;
    }

    // A buffer or a write that fails: nothing sent, nothing held.
    for (int fault = 0; fault < 2; ++fault) {
        MemoryItem m;
        ASSERT_TRUE(m.Open(dir / "probe"));
        if (fault == 0)
            m.sink.FailAllocation(m.sink.AllocateCalls() + 1);
        else
            m.sink.FailWrite(m.sink.WriteCalls() + 1);
        int error = 0;
        EXPECT_FALSE(m.file.SendEndUserAccessInfo(error));
        EXPECT_EQ(0u, m.sink.RecordCount());
        EXPECT_EQ(0u, m.sink.Outstanding());
    }
}

}  // namespace
