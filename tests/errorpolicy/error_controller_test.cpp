#include <gtest/gtest.h>

#include <string>

#include "errorpolicy/ErrorController.h"
#include "platform/KXPlatformInfo.h"
#include "platform/KxLog.h"

namespace {

const char kSection[] = "FileSystemAgent";
const char kKey[] = "backupDoNotReportFileError";

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos;
         pos = text.find(what, pos + what.size()))
        ++n;
    return n;
}

// The text of the one "Will ignore these errors:" line, up to its end.
std::string ignoreLine(const std::string& log) {
    size_t pos = log.find("Will ignore these errors:");
    if (pos == std::string::npos)
        return "";
    return log.substr(pos, log.find('\n', pos) - pos);
}

class ErrorControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedLevel_ = KxLog::Query();
        KxLog::SetLevel(7);
        ErrorController::resetForTest();
        KXPlatformInfo::resetForTest();
        KXPlatformInfo::removeValue(kSection, kKey);
        KxLog::StartCapture();
    }
    void TearDown() override {
        KxLog::StopCapture();
        ErrorController::resetForTest();
        KXPlatformInfo::resetForTest();
        KxLog::SetLevel(savedLevel_);
    }
    // Initialises with the given registry value and returns the log lines
    // that initialisation wrote.
    std::string initWith(const std::string& value) {
        KXPlatformInfo::setValue(kSection, kKey, value);
        KxLog::TakeCaptured();
        EXPECT_EQ(ErrorController::initialize(1, nullptr, 2, 3, "/tmp"), 0);
        return KxLog::TakeCaptured();
    }
    int savedLevel_ = 0;
};

// --- the ENOENT rule --------------------------------------------------------

TEST_F(ErrorControllerTest, EnoentIgnoredByBothFormsWhileBothSwitchesOn) {
    initWith("2,13");  // the list naming 2 changes nothing here
    EXPECT_FALSE(ErrorController::shouldReportError(2));
    EXPECT_FALSE(ErrorController::shouldReportError("/data/gone", 2));
    std::string log = KxLog::TakeCaptured();
    EXPECT_EQ(countOf(log, "Ignoring ENOENT\n"), 1u) << log;
    EXPECT_EQ(countOf(log, "Ignoring ENOENT for [/data/gone]\n"), 1u) << log;

    // Other errors are not touched by the rule.
    EXPECT_TRUE(ErrorController::shouldReportError("/data/x", 5));
    EXPECT_TRUE(ErrorController::shouldReportError(5));
}

TEST_F(ErrorControllerTest, EnoentReportedOnceEitherSwitchIsOff) {
    initWith("");
    ErrorController::setIgnoreENOENT(false);
    EXPECT_TRUE(ErrorController::shouldReportError(2));
    EXPECT_TRUE(ErrorController::shouldReportError("/data/gone", 2));

    ErrorController::setIgnoreENOENT(true);
    ErrorController::setErrorsTolerated(false);
    EXPECT_TRUE(ErrorController::shouldReportError(2));
    EXPECT_TRUE(ErrorController::shouldReportError("/data/gone", 2));

    // Switches take effect for the next question, both ways.
    ErrorController::setErrorsTolerated(true);
    EXPECT_FALSE(ErrorController::shouldReportError(2));
    EXPECT_EQ(KxLog::TakeCaptured().find("for [/data/gone]"), std::string::npos);
}

TEST_F(ErrorControllerTest, EnoentNamedInListStillSilencesOnlyTheNumberForm) {
    initWith("2");
    ErrorController::setErrorsTolerated(false);
    EXPECT_FALSE(ErrorController::shouldReportError(2));
    EXPECT_TRUE(ErrorController::shouldReportError("/data/gone", 2));
    ErrorController::setErrorsTolerated(true);
    ErrorController::setIgnoreENOENT(false);
    EXPECT_FALSE(ErrorController::shouldReportError(2));
    EXPECT_TRUE(ErrorController::shouldReportError("/data/gone", 2));
}

TEST_F(ErrorControllerTest, EnoentMessagesWaitForLevelSeven) {
    KxLog::SetLevel(6);
    EXPECT_FALSE(ErrorController::shouldReportError(2));
    EXPECT_FALSE(ErrorController::shouldReportError("/p", 2));
    EXPECT_EQ(KxLog::TakeCaptured(), "");
}

// --- the do-not-report list ---------------------------------------------------

TEST_F(ErrorControllerTest, ListParsingKeepsGoodPiecesAndLogsBadOnes) {
    std::string log = initWith("13, 5,,abc,-1");
    EXPECT_EQ(countOf(log, "Unexpected value 'abc' in registry key backupDoNotReportFileError\n"),
              1u)
        << log;
    EXPECT_EQ(countOf(log, "Unexpected value '-1' in registry key backupDoNotReportFileError\n"),
              1u)
        << log;
    EXPECT_EQ(countOf(log, "Unexpected value"), 2u) << log;  // the empty piece is silent
    EXPECT_EQ(countOf(log, "[0] "), 3u) << log;              // all at level 0
    EXPECT_EQ(ignoreLine(log), "Will ignore these errors: 13 5") << log;

    EXPECT_FALSE(ErrorController::shouldReportError(13));
    EXPECT_FALSE(ErrorController::shouldReportError(5));
    EXPECT_TRUE(ErrorController::shouldReportError(1));
    EXPECT_TRUE(ErrorController::shouldReportError(-1));
    EXPECT_TRUE(ErrorController::shouldReportError(0));
    EXPECT_TRUE(ErrorController::shouldReportError("/data/f", 13));
    EXPECT_TRUE(ErrorController::shouldReportError("/data/f", 5));
}

TEST_F(ErrorControllerTest, ListKeepsOrderDuplicatesAndLenientReading) {
    std::string log = initWith("7,13abc,\t 4,7,+9,0");
    EXPECT_EQ(ignoreLine(log), "Will ignore these errors: 7 13 4 7 9") << log;
    EXPECT_EQ(countOf(log, "Unexpected value '0'"), 1u) << log;
    EXPECT_EQ(countOf(log, "Unexpected value"), 1u) << log;
    EXPECT_FALSE(ErrorController::shouldReportError(13));
    EXPECT_FALSE(ErrorController::shouldReportError(4));
}

TEST_F(ErrorControllerTest, OutOfRangePiecesAreRefusedNotWrapped) {
    std::string log =
        initWith("4294967309,99999999999999999999,2147483648,-99999999999999999999,2147483647");
    for (const char* bad :
         {"4294967309", "99999999999999999999", "2147483648", "-99999999999999999999"})
        EXPECT_EQ(countOf(log, std::string("Unexpected value '") + bad +
                                   "' in registry key backupDoNotReportFileError\n"),
                  1u)
            << bad << "\n"
            << log;
    EXPECT_EQ(ignoreLine(log), "Will ignore these errors: 2147483647") << log;

    // 4294967309 wraps to 13 (EACCES) and 2147483648 to INT_MIN in an int:
    // neither may be silenced.
    EXPECT_TRUE(ErrorController::shouldReportError(13));
    EXPECT_TRUE(ErrorController::shouldReportError(-2147483647 - 1));
    EXPECT_FALSE(ErrorController::shouldReportError(2147483647));
}

TEST_F(ErrorControllerTest, AbsentValueLogsNothingAndEmptyValueGivesBarePrefix) {
    KxLog::TakeCaptured();
    ErrorController::initialize(0, nullptr, 0, 0, "");
    EXPECT_EQ(KxLog::TakeCaptured(), "");
    EXPECT_TRUE(ErrorController::shouldReportError(13));

    ErrorController::resetForTest();
    std::string log = initWith(",");
    EXPECT_EQ(countOf(log, "Unexpected value"), 0u) << log;
    EXPECT_NE(log.find("Will ignore these errors:\n"), std::string::npos) << log;
}

TEST_F(ErrorControllerTest, ListLinesWaitForLevelZero) {
    KxLog::SetLevel(-1);
    std::string log = initWith("abc,13");
    EXPECT_EQ(log, "");
    EXPECT_FALSE(ErrorController::shouldReportError(13));
}

// --- once-only state ------------------------------------------------------------

TEST_F(ErrorControllerTest, RegistryIsReadOnceOnly) {
    initWith("13");
    KXPlatformInfo::setValue(kSection, kKey, "5");
    KxLog::TakeCaptured();
    EXPECT_EQ(ErrorController::initialize(1, nullptr, 2, 3, "/tmp"), 0);
    EXPECT_EQ(KxLog::TakeCaptured(), "");  // no second read, no second line
    EXPECT_FALSE(ErrorController::shouldReportError(13));
    EXPECT_TRUE(ErrorController::shouldReportError(5));

    // The test reset lets the next initialize read the new value.
    ErrorController::resetForTest();
    ErrorController::initialize(1, nullptr, 2, 3, "/tmp");
    EXPECT_TRUE(ErrorController::shouldReportError(13));
    EXPECT_FALSE(ErrorController::shouldReportError(5));
}

TEST_F(ErrorControllerTest, NotInitializedLoggedOncePerProcess) {
    KxLog::SetLevel(-1);  // a failure line is written whatever the level
    EXPECT_TRUE(ErrorController::shouldReportError(13));
    EXPECT_TRUE(ErrorController::shouldReportError(5));
    EXPECT_FALSE(ErrorController::shouldReportError(2));  // the ENOENT rule still holds
    std::string log = KxLog::TakeCaptured();
    EXPECT_EQ(countOf(log, "not initialized"), 1u) << log;
    EXPECT_EQ(countOf(log, "[-1] "), 1u) << log;

    // The path form never needs the instance.
    EXPECT_TRUE(ErrorController::shouldReportError("/p", 13));
    EXPECT_EQ(KxLog::TakeCaptured(), "");

    // The test reset re-arms the one-shot message.
    ErrorController::resetForTest();
    EXPECT_TRUE(ErrorController::shouldReportError(13));
    EXPECT_EQ(countOf(KxLog::TakeCaptured(), "not initialized"), 1u);
}

TEST_F(ErrorControllerTest, ResetRestoresSwitches) {
    ErrorController::setIgnoreENOENT(false);
    ErrorController::setErrorsTolerated(false);
    ErrorController::resetForTest();
    EXPECT_FALSE(ErrorController::shouldReportError("/p", 2));
}

TEST_F(ErrorControllerTest, NoRulesObject) {
    EXPECT_EQ(ErrorController::GetKxErrorControl(), nullptr);
    ErrorController::initialize(1, nullptr, 2, 3, "/tmp");
    EXPECT_EQ(ErrorController::GetKxErrorControl(), nullptr);
}

}  // namespace
