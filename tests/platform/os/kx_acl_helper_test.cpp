#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/base/TestControl.h"
#include "platform/os/KxACLHelper.h"
#include "support/TestFiles.h"
#include "support/XattrFiles.h"

namespace {

using KxACL::Entry;
using KxACL::Helper;
using std::string;
using testfiles::SetAcl;
using testfiles::SetXattr;
using testfiles::TempDir;
using testfiles::WriteWholeFile;

constexpr char kUserAcl[] = "u::rw-,u:1234:r--,g::r--,m::r--,o::r--";

class KxAclHelperTest : public ::testing::Test {
protected:
    void SetUp() override { ruxen::testcontrol::ResetAclSupport(); }
    void TearDown() override { ruxen::testcontrol::ResetAclSupport(); }

    // The entries of path as "kind name=value" lines, read by name, through
    // an O_PATH descriptor of it and, when it opens, through a descriptor
    // (all must agree).
    std::vector<string> Read(const string& path, bool isLink = false) {
        struct stat st;
        EXPECT_EQ(lstat(path.c_str(), &st), 0);
        auto h = Helper::getInstance();
        auto lines = [&](int rc) {
            EXPECT_EQ(rc, 0) << h->getLastError();
            std::vector<string> out;
            for (const Entry& e : h->Entries())
                out.push_back(std::to_string(e.kind) + " " + e.name + "=" + e.value);
            return out;
        };
        const std::vector<string> out = lines(h->getacl(path.c_str(), isLink, st));
        int ref = open(path.c_str(), O_PATH | O_NOFOLLOW);
        EXPECT_EQ(lines(h->getaclRef(path.c_str(), isLink, st, ref)), out) << path;
        close(ref);
        if (!isLink) {
            int fd = open(path.c_str(), O_RDONLY);
            EXPECT_GE(fd, 0);
            EXPECT_EQ(lines(h->getacl(path.c_str(), false, st, fd)), out) << path;
            close(fd);
        }
        return out;
    }
    TempDir dir;
};

TEST_F(KxAclHelperTest, ReadsAclsAndAttributesOfRealFiles) {
    string plain = dir / "plain", rich = dir / "rich", sub = dir / "sub", link = dir / "link";
    WriteWholeFile(plain, "x");
    WriteWholeFile(rich, "y");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    ASSERT_EQ(symlink("rich", link.c_str()), 0);
    if (!SetXattr(rich, "user.comment", "hi") || !SetAcl(rich, kUserAcl) ||
        !SetAcl(sub, "u::rwx,g::r-x,o::r-x", true))
        GTEST_SKIP() << "no user attributes or ACLs here: " << strerror(errno);

    EXPECT_TRUE(Helper::isAclSupported());
    EXPECT_EQ(Read(plain), std::vector<string>{});
    EXPECT_EQ(Read(rich), (std::vector<string>{string("1 =") + kUserAcl, "3 user.comment=hi"}));
    EXPECT_EQ(Read(sub), std::vector<string>{"2 =u::rwx,g::r-x,o::r-x"});
    EXPECT_EQ(Read(link, true), std::vector<string>{});  // not followed

    Helper::SetOptions(KxACL::OPT_NO_ACL);
    EXPECT_EQ(Read(rich), std::vector<string>{"3 user.comment=hi"});
    Helper::SetOptions(KxACL::OPT_NO_XATTR);
    EXPECT_EQ(Read(rich), std::vector<string>{string("1 =") + kUserAcl});

    std::string text;
    ASSERT_EQ(Helper::getInstance()->getAclText(rich.c_str(), &text), 0);
    EXPECT_NE(text.find("user:1234:r--"), string::npos) << text;
}

TEST_F(KxAclHelperTest, ListsAndValuesLargerThanTheFirstBufferGrow) {
    string many = dir / "many", big = dir / "big";
    WriteWholeFile(many, "");
    WriteWholeFile(big, "");
    std::vector<string> want;
    for (int k = 0; k < 30; ++k) {
        string name = "user." + string(34, 'a' + k % 26) + std::to_string(100 + k);
        if (!SetXattr(many, name, std::to_string(k)))
            GTEST_SKIP() << "no user attributes here";
        want.push_back("3 " + name + "=" + std::to_string(k));
    }
    std::vector<string> got = Read(many);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    ASSERT_TRUE(SetXattr(big, "user.big", string(3000, 'v')));
    EXPECT_EQ(Read(big), std::vector<string>{"3 user.big=" + string(3000, 'v')});
}

TEST_F(KxAclHelperTest, FailuresSayWhetherTheyAreTheItemsToReport) {
    struct stat st = {};
    auto h = Helper::getInstance();
    string gone = dir / "gone";
    EXPECT_EQ(h->getacl(gone.c_str(), false, st), -1);
    EXPECT_EQ(h->getLastErrno(), ENOENT);
    EXPECT_FALSE(h->shouldReportError());  // the item's own read reports it
    string tooLong = dir / string(300, 'n');
    EXPECT_EQ(h->getacl(tooLong.c_str(), false, st), -1);
    EXPECT_EQ(h->getLastErrno(), ENAMETOOLONG);
    EXPECT_TRUE(h->shouldReportError());
    EXPECT_NE(h->getLastError().find("llistxattr"), string::npos) << h->getLastError();
}

TEST_F(KxAclHelperTest, NetworkFormBytesAndLimits) {
    auto h = Helper::getInstance();
    char buf[64];
    EXPECT_EQ(h->getNetworkBufferSize(), 0);
    EXPECT_EQ(h->toNetworkBuffer(buf, sizeof(buf)), 0);
    ASSERT_EQ(h->InjectOneXATTRInToBackupStream("user.KxStubFile", "0"), 0);
    ASSERT_EQ(h->InjectOneXATTRInToBackupStream("user.KxStubFile", "1"), 0);  // replaced
    const string want("\0\0\0\1\0\0\0\1\3\0\x0F\0\0\0\1user.KxStubFile1", 31);
    ASSERT_EQ(h->getNetworkBufferSize(), 31);
    memset(buf, 'z', sizeof(buf));
    EXPECT_EQ(h->toNetworkBuffer(buf, 30), -1);
    EXPECT_EQ(h->getLastErrno(), ENOBUFS);
    EXPECT_EQ(buf[0], 'z');
    EXPECT_EQ(h->toNetworkBuffer(buf, 31), 31);
    EXPECT_EQ(string(buf, 31), want);

    EXPECT_EQ(h->InjectOneXATTRInToBackupStream("", "v"), -1);
    EXPECT_EQ(h->getLastErrno(), EINVAL);
    EXPECT_EQ(h->InjectOneXATTRInToBackupStream(string(256, 'n'), "v"), -1);
    // The form may reach 61439 bytes and no more.
    auto e = Helper::getInstance();
    const size_t room = KxACL::kMaxNetworkBufferSize - KxACL::kFormHeaderSize - KxACL::kEntryHeaderSize - 6;
    EXPECT_EQ(e->InjectOneXATTRInToBackupStream("user.b", string(room + 1, 'v')), -1);
    EXPECT_EQ(e->getLastErrno(), E2BIG);
    ASSERT_EQ(e->InjectOneXATTRInToBackupStream("user.b", string(room, 'v')), 0);
    EXPECT_EQ(e->getNetworkBufferSize(), 61439);
    EXPECT_EQ(e->InjectOneXATTRInToBackupStream("user.c", ""), -1);
}

}  // namespace
