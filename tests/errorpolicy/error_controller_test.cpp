#include "errorpolicy/ErrorController.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/agent/KXPlatformInfo.h"
#include "platform/base/TestControl.h"
#include "support/ProcessState.h"
#include "support/TestFiles.h"

namespace {

using testfiles::CountOf;

const char kSection[] = "FileSystemAgent";
const char kKey[] = "backupDoNotReportFileError";

class ErrorControllerTest : public ::testing::Test {
protected:
    void SetUp() override { KxLog::SetLevel(7); }
    // Initialises with the registry value and answers the lines it logged.
    std::string InitWith(const std::string& value) {
        KXPlatformInfo::setValue(kSection, kKey, value);
        m_state.Log();
        EXPECT_EQ(0, ErrorController::initialize(1, nullptr, 2, 3, "/tmp"));
        return m_state.Log();
    }
    testfiles::ProcessStateGuard m_state;
};

struct EnoentCase {
    bool ignoreEnoent, tolerated;
    const char* list;
    bool numberForm, pathForm;  // whether each form reports error 2
};

// Error 2 is passed over by both forms while both switches are on, whatever
// the list holds; with either switch off the path form reports it, and the
// number form unless the list names 2.
TEST_F(ErrorControllerTest, EnoentRule) {
    const EnoentCase cases[] = {
        {true, true, "2,13", false, false}, {false, true, "", true, true}, {true, false, "", true, true},
        {true, false, "2", false, true},    {false, true, "2", false, true},
    };
    for (const EnoentCase& c : cases) {
        SCOPED_TRACE(std::string(c.list) + (c.ignoreEnoent ? " ignore" : "") + (c.tolerated ? " tolerated" : ""));
        ruxen::testcontrol::ResetErrorController();
        InitWith(c.list);
        ErrorController::setIgnoreENOENT(c.ignoreEnoent);
        ErrorController::setErrorsTolerated(c.tolerated);
        EXPECT_EQ(c.numberForm, ErrorController::shouldReportError(2));
        EXPECT_EQ(c.pathForm, ErrorController::shouldReportError("/data/gone", 2));
        EXPECT_TRUE(ErrorController::shouldReportError("/data/x", 5));
        std::string log = m_state.Log();
        EXPECT_EQ(c.ignoreEnoent && c.tolerated ? 2u : 0u, CountOf(log, "[7] ")) << log;
        EXPECT_EQ(c.pathForm ? 0u : 1u, CountOf(log, "Ignoring ENOENT for [/data/gone]\n")) << log;
    }
    KxLog::SetLevel(6);  // the lines wait for level 7
    ErrorController::setErrorsTolerated(true);
    ErrorController::setIgnoreENOENT(true);
    EXPECT_FALSE(ErrorController::shouldReportError("/p", 2));
    EXPECT_EQ("", m_state.Log());
}

struct ListCase {
    const char* value;
    const char* ignoreLine;
    std::vector<std::string> unexpected;  // pieces logged as unexpected
    std::vector<int> silenced, reported;  // by the number form
};

// Good pieces are kept in order (twice when named twice, read leniently:
// "13abc" is 13); an empty piece is passed over silently; anything else,
// and a number outside 1..INT_MAX (which would wrap into a real error number
// in an int), is logged and left out. The path form never reads the list.
TEST_F(ErrorControllerTest, DoNotReportList) {
    const ListCase cases[] = {
        {"13, 5,,abc,-1", "Will ignore these errors: 13 5", {"abc", "-1"}, {13, 5}, {1, -1, 0}},
        {"7,13abc,\t 4,7,+9,0", "Will ignore these errors: 7 13 4 7 9", {"0"}, {13, 4, 9}, {}},
        {"4294967309,99999999999999999999,2147483648,-99999999999999999999,2147483647",
         "Will ignore these errors: 2147483647",
         {"4294967309", "99999999999999999999", "2147483648", "-99999999999999999999"},
         {2147483647},
         {13, -2147483647 - 1}},
        {",", "Will ignore these errors:\n", {}, {}, {13}},
    };
    for (const ListCase& c : cases) {
        SCOPED_TRACE(c.value);
        ruxen::testcontrol::ResetErrorController();
        std::string log = InitWith(c.value);
        EXPECT_EQ(1u, CountOf(log, c.ignoreLine)) << log;
        for (const std::string& u : c.unexpected)
            EXPECT_EQ(1u, CountOf(log, "Unexpected value '" + u + "' in registry key backupDoNotReportFileError\n"))
                << log;
        EXPECT_EQ(c.unexpected.size(), CountOf(log, "Unexpected value"));
        EXPECT_EQ(c.unexpected.size() + 1, CountOf(log, "[0] ")) << "all at level 0";
        for (int code : c.silenced) {
            EXPECT_FALSE(ErrorController::shouldReportError(code)) << code;
            EXPECT_TRUE(ErrorController::shouldReportError("/data/f", code)) << code;
        }
        for (int code : c.reported)
            EXPECT_TRUE(ErrorController::shouldReportError(code)) << code;
    }
    KxLog::SetLevel(-1);  // the list's lines wait for level 0
    ruxen::testcontrol::ResetErrorController();
    EXPECT_EQ("", InitWith("abc,13"));
    EXPECT_FALSE(ErrorController::shouldReportError(13));
}

TEST_F(ErrorControllerTest, RegistryIsReadOnceAndAbsentValueLogsNothing) {
    EXPECT_EQ(0, ErrorController::initialize(0, nullptr, 0, 0, ""));
    EXPECT_EQ("", m_state.Log());
    EXPECT_EQ("", InitWith("13"));  // no second read, no second line
    EXPECT_TRUE(ErrorController::shouldReportError(13));
    EXPECT_EQ(nullptr, ErrorController::GetKxErrorControl());
}

// Asked before initialize, the number form reports every error but an
// ignored ENOENT and logs "not initialized" once, at the failure level.
TEST_F(ErrorControllerTest, NotInitializedLoggedOnce) {
    KxLog::SetLevel(-1);
    EXPECT_TRUE(ErrorController::shouldReportError(13));
    EXPECT_TRUE(ErrorController::shouldReportError(5));
    EXPECT_FALSE(ErrorController::shouldReportError(2));
    EXPECT_TRUE(ErrorController::shouldReportError("/p", 13));
    std::string log = m_state.Log();
    EXPECT_EQ(1u, CountOf(log, "not initialized")) << log;
    EXPECT_EQ(1u, CountOf(log, "[-1] ")) << log;
}

}  // namespace
