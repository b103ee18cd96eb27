#include "errorpolicy/ErrorController.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "errorpolicy/ErrorPolicyKeys.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/QMString.h"

ErrorController* ErrorController::_inst = nullptr;
bool ErrorController::m_bToleratedErrors = true;
bool ErrorController::m_bIgnoreENOENT = true;
bool ErrorController::s_warnNotInitialized = true;

namespace {

const int kENOENT = 2;

// Reads one piece of the do-not-report value the lenient way the value has
// always been read (leading blanks skipped, an optional sign, digits up to
// the first other character: "13abc" is 13), but into a wide type and with
// the range checked. Narrowing an unchecked conversion to int would turn
// "4294967309" into 13 and silently stop permission errors from being
// reported; a number outside 1..INT_MAX, or one too long to convert, is
// refused like any other bad piece.
bool parseErrorNumber(const std::string& piece, int& out) {
    const char* s = piece.c_str();
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(s, &end, 10);
    if (end == s || errno == ERANGE)
        return false;
    if (v <= 0 || v > INT_MAX)
        return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

int ErrorController::initialize(int /*id*/, KXJobCtrlClient* /*jobCtrl*/, ULONG /*clientId*/,
                                ULONG /*appType*/, const std::string& /*dir*/) {
    if (_inst != nullptr)
        return 0;
    _inst = new ErrorController;
    _inst->readDoNotReportList();
    return 0;
}

void ErrorController::readDoNotReportList() {
    std::string value;
    if (!KXPlatformInfo::getString(kErrorPolicySection, kKeyDoNotReportFileError, value))
        return;  // absent: only the ENOENT rule filters

    std::vector<std::string> pieces;
    QMString::Split(value, ",", pieces);
    for (const std::string& piece : pieces) {
        if (piece.empty())
            continue;
        int code = 0;
        if (parseErrorNumber(piece, code))
            m_doNotReport.push_back(code);
        else
            KXLOG(0, "Unexpected value '%s' in registry key backupDoNotReportFileError",
                  piece.c_str());
    }

    if (KxLog::Enabled(0)) {
        std::string line = "Will ignore these errors:";
        for (int code : m_doNotReport) {
            line += ' ';
            line += std::to_string(code);
        }
        KXLOG(0, "%s", line.c_str());
    }
}

bool ErrorController::isDoNotReport(int code) const {
    for (int c : m_doNotReport)
        if (c == code)
            return true;
    return false;
}

bool ErrorController::shouldReportError(int code) {
    if (code == kENOENT && m_bIgnoreENOENT && m_bToleratedErrors) {
        KXLOG(7, "Ignoring ENOENT");
        return false;
    }
    if (_inst != nullptr)
        return !_inst->isDoNotReport(code);
    if (s_warnNotInitialized) {
        s_warnNotInitialized = false;
        KXLOG(-1, "not initialized");
    }
    return true;
}

bool ErrorController::shouldReportError(const std::string& path, const int& code) {
    if (code == kENOENT && m_bIgnoreENOENT && m_bToleratedErrors) {
        KXLOG(7, "Ignoring ENOENT for [%s]", path.c_str());
        return false;
    }
    return true;
}

void ErrorController::setErrorsTolerated(bool tolerated) {
    m_bToleratedErrors = tolerated;
}

void ErrorController::setIgnoreENOENT(bool ignore) {
    m_bIgnoreENOENT = ignore;
}

KxErrorControl* ErrorController::GetKxErrorControl() {
    return nullptr;
}

void ErrorController::resetForTest() {
    delete _inst;
    _inst = nullptr;
    m_bToleratedErrors = true;
    m_bIgnoreENOENT = true;
    s_warnNotInitialized = true;
}
