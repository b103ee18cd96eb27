#include "errorpolicy/ErrorController.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "errorpolicy/ErrorPolicyKeys.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/QMString.h"
#include "platform/base/TestControl.h"

namespace {

const int kENOENT = 2;

// The filter of the process.
struct Filter {
    bool initialized = false;
    // In the order the registry value names them; a number named twice is
    // held twice.
    std::vector<int> doNotReport;
    bool toleratedErrors = true;
    bool ignoreENOENT = true;
    bool warnNotInitialized = true;  // cleared once "not initialized" is logged
};

Filter& TheFilter() {
    static ruxen::NoDestructor<Filter> filter;
    return *filter;
}

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

// Reads the do-not-report list.
void ReadDoNotReportList(std::vector<int>& out) {
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
            out.push_back(code);
        else
            KXLOG(0, "Unexpected value '%s' in registry key backupDoNotReportFileError", piece.c_str());
    }

    if (KxLog::Enabled(0)) {
        std::string line = "Will ignore these errors:";
        for (int code : out) {
            line += ' ';
            line += std::to_string(code);
        }
        KXLOG(0, "%s", line.c_str());
    }
}

bool IgnoredENOENT(int code) {
    const Filter& f = TheFilter();
    return code == kENOENT && f.ignoreENOENT && f.toleratedErrors;
}

}  // namespace

int ErrorController::initialize(int /*id*/, KXJobCtrlClient* /*jobCtrl*/, ULONG /*clientId*/, ULONG /*appType*/,
                                const std::string& /*dir*/) {
    Filter& f = TheFilter();
    if (f.initialized)
        return 0;
    f.initialized = true;
    ReadDoNotReportList(f.doNotReport);
    return 0;
}

bool ErrorController::shouldReportError(int code) {
    if (IgnoredENOENT(code)) {
        KXLOG(7, "Ignoring ENOENT");
        return false;
    }
    Filter& f = TheFilter();
    if (f.initialized) {
        for (int c : f.doNotReport)
            if (c == code)
                return false;
        return true;
    }
    if (f.warnNotInitialized) {
        f.warnNotInitialized = false;
        KXLOG(-1, "not initialized");
    }
    return true;
}

bool ErrorController::shouldReportError(const std::string& path, const int& code) {
    if (IgnoredENOENT(code)) {
        KXLOG(7, "Ignoring ENOENT for [%s]", path.c_str());
        return false;
    }
    return true;
}

void ErrorController::setErrorsTolerated(bool tolerated) { TheFilter().toleratedErrors = tolerated; }

void ErrorController::setIgnoreENOENT(bool ignore) { TheFilter().ignoreENOENT = ignore; }

KxErrorControl* ErrorController::GetKxErrorControl() { return nullptr; }

// The next initialize reads the registry again.
void ruxen::testcontrol::ResetErrorController() { TheFilter() = Filter(); }

namespace {
const ruxen::testcontrol::Registration kTestReset("error-report filter", &ruxen::testcontrol::ResetErrorController);
}  // namespace
