#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/hsm/ZXHSMLowLevel.h"
#include "support/TestFiles.h"

namespace {

// A file that is not there is an error for every stub question, never "not
// a stub"; a registered failure is an error with its text.
TEST(ZXHSMLowLevelTest, MissingOrFailingFilesAreErrors) {
    testfiles::TempDir dir("zxhsm_ll_test");
    const std::string plain = dir / "plain", broken = dir / "broken", missing = dir / "missing";
    testfiles::WriteWholeFile(plain, "");
    testfiles::WriteWholeFile(broken, "");
    ZXHSMTestState::Reset();
    ZXHSMTestState::SetFailure(broken, "recall service down");
    ZXHSMLowLevelCXFS ll("/");
    EXPECT_EQ(ll.isStub(plain.c_str()), 0);
    for (const std::string* p : {&broken, &missing}) {
        std::vector<char> got{'x'};
        bool isStub = true;
        EXPECT_LT(ll.isStub(p->c_str()), 0);
        EXPECT_NE(ll.getLastError().find(p == &broken ? "recall service down" : "missing"), std::string::npos);
        EXPECT_LT(ll.backupStub(p->c_str(), got), 0);
        EXPECT_TRUE(got.empty());
        EXPECT_NE(ll.getSnapStubData(p->c_str(), got), 0);
        EXPECT_LT(ll.getStubData(p->c_str(), isStub, got, 0), 0);
        EXPECT_FALSE(isStub);
    }
    ZXHSMTestState::Reset();
}

}  // namespace
