// The main of every folder's test program: each test starts from and leaves
// the process as a fresh one has it (every once-only state reset), whether
// or not it holds a ProcessStateGuard, so that no test depends on the order
// the tests of its program run in.
#include <gtest/gtest.h>

#include "platform/base/TestControl.h"

namespace {

class ResetEveryTest : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { ruxen::testcontrol::ResetAll(); }
    void OnTestEnd(const ::testing::TestInfo&) override { ruxen::testcontrol::ResetAll(); }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new ResetEveryTest);
    return RUN_ALL_TESTS();
}
