#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ReparseData.h"
#include "platform/ZXHSMLowLevel.h"
#include "support/TestFiles.h"

namespace {

// A file that is not there is an error for every stub question, not "no
// stub"; a registered failure is an error with its text.
TEST(ZXHSMLowLevelTest, StubQuestions) {
    testfiles::TempDir dir("zxhsm_ll_test");
    const std::string plain = dir / "plain", stub = dir / "stub", broken = dir / "broken", missing = dir / "missing";
    for (const std::string* p : {&plain, &stub, &broken})
        testfiles::WriteWholeFile(*p, "");
    ReparseData rd;
    rd.kind = 2;
    const std::vector<char> bytes = BuildStubData(rd);
    ZXHSMTestState::Reset();
    ZXHSMTestState::MarkStub(stub, bytes);
    ZXHSMTestState::SetFailure(broken, "recall service down");

    ZXHSMLowLevelCXFS ll("/");
    struct Case {
        const std::string* path;
        int isStub;      // sign of the answer
        int backup;      // backupStub: 0 or -1
        int snap;        // getSnapStubData: 0, or non-zero
        const char* lastError;  // a part of it
    } cases[] = {
        {&plain, 0, -1, 1, "not a stub"},
        {&stub, 1, 0, 0, nullptr},
        {&broken, -1, -1, 1, "recall service down"},
        {&missing, -1, -1, 1, "missing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(*c.path);
        const int r = ll.isStub(c.path->c_str());
        EXPECT_EQ((r > 0) - (r < 0), c.isStub);
        std::vector<char> got{'j', 'u', 'n', 'k'};
        EXPECT_EQ(ll.backupStub(c.path->c_str(), got) < 0 ? -1 : 0, c.backup);
        EXPECT_EQ(got.empty(), c.backup != 0);
        EXPECT_EQ(ll.getSnapStubData(c.path->c_str(), got) != 0, c.snap != 0);
        if (c.lastError)
            EXPECT_NE(ll.getLastError().find(c.lastError), std::string::npos) << ll.getLastError();
        else
            EXPECT_EQ(got, bytes);
        bool isStub = c.isStub <= 0;
        EXPECT_EQ(ll.getStubData(c.path->c_str(), isStub, got, 0), c.isStub < 0 ? -1 : 0);
        EXPECT_EQ(isStub, c.isStub > 0);
    }
    ZXHSMTestState::Reset();
}

}  // namespace
