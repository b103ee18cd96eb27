#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/AclForm.h"
#include "platform/os/KxACLHelper.h"
#include "support/TestFiles.h"
#include "support/XattrFiles.h"

namespace {

using std::string;

TEST(AclForm, RealFileRoundTripsThroughTheForm) {
    testfiles::TempDir dir;
    string f = dir / "f";
    testfiles::WriteWholeFile(f, "data");
    if (!testfiles::SetAcl(f, "u::rw-,u:55:rw-,g::r--,m::rw-,o::---") ||
        !testfiles::SetXattr(f, "user.bin", string("\0\n\"", 3)))
        GTEST_SKIP() << "no user attributes or ACLs here: " << strerror(errno);
    struct stat st;
    ASSERT_EQ(lstat(f.c_str(), &st), 0);
    auto h = KxACL::Helper::getInstance();
    ASSERT_EQ(h->getacl(f.c_str(), false, st), 0);
    ASSERT_EQ(h->InjectOneXATTRInToBackupStream("user.KxStubFile", "1"), 0);
    string form(static_cast<size_t>(h->getNetworkBufferSize()), '\0');
    ASSERT_EQ(h->toNetworkBuffer(&form[0], form.size()), static_cast<int>(form.size()));

    std::vector<KxACL::Entry> back;
    const char* why = nullptr;
    ASSERT_TRUE(AclForm::Decode(form.data(), form.size(), &back, &why)) << why;
    ASSERT_EQ(back.size(), h->Entries().size());
    for (size_t k = 0; k < back.size(); ++k) {
        EXPECT_EQ(back[k].kind, h->Entries()[k].kind);
        EXPECT_EQ(back[k].name, h->Entries()[k].name);
        EXPECT_EQ(back[k].value, h->Entries()[k].value);
    }
    string text;
    ASSERT_TRUE(AclForm::Describe(form.data(), form.size(), &text, &why));
    EXPECT_EQ(text, "entries=3 [ACL_ACCESS value_length=36] [XATTR name=\"user.bin\" value_length=3] "
                    "[XATTR name=\"user.KxStubFile\" value_length=1]");
}

TEST(AclForm, MalformedFormsAreRefused) {
    struct Case {
        string bytes;
        const char* why;
    } cases[] = {
        {string("\0\0\0\1\0\0\0", 7), "ACL form shorter than its header"},
        {string("\0\0\0\2\0\0\0\0", 8), "ACL form of an unknown version"},
        {string("\0\0\0\1\0\0\0\2\1\0\0\0\0\0\0", 15), "ACL form entry count beyond the bytes"},
        {string("\0\0\0\1\0\0\0\1\1\0\0\0\0\0\5ab", 17), "ACL form entry cut short"},
        {string("\0\0\0\1\0\0\0\1\4\0\0\0\0\0\0", 15), "ACL form entry of an unknown kind"},
        {string("\0\0\0\1\0\0\0\1\1\0\1\0\0\0\0n", 16), "ACL form entry with a name that does not fit its kind"},
        {string("\0\0\0\1\0\0\0\1\3\0\0\0\0\0\0", 15), "ACL form entry with a name that does not fit its kind"},
        {string("\0\0\0\1\0\0\0\0x", 9), "bytes after the ACL form's entries"},
    };
    for (const Case& c : cases) {
        std::vector<KxACL::Entry> out;
        const char* why = nullptr;
        EXPECT_FALSE(AclForm::Decode(c.bytes.data(), c.bytes.size(), &out, &why)) << c.why;
        EXPECT_STREQ(why, c.why);
    }
}

}  // namespace
