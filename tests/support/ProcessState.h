// Process-wide state a test starts from and leaves as it found it: an empty
// registry, a fresh error-report filter, no stop asked for, hook files in a
// directory of the test's own, log lines captured (at the level the test
// sets).
#pragma once

#include <string>

#include "errorpolicy/ErrorController.h"
#include "platform/agent/HookFiles.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/StopSignals.h"
#include "support/TestFiles.h"

namespace testfiles {

class ProcessStateGuard {
public:
    ProcessStateGuard() : m_level(KxLog::Query()) {
        Reset();
        HookFiles::SetDirectoryForTest(m_hooks.path());
        KxLog::StartCapture();
    }
    ~ProcessStateGuard() {
        KxLog::StopCapture();
        KxLog::SetLevel(m_level);
        HookFiles::SetDirectoryForTest("");
        Reset();
    }
    ProcessStateGuard(const ProcessStateGuard&) = delete;
    ProcessStateGuard& operator=(const ProcessStateGuard&) = delete;

    // The directory hook files are looked up in.
    const TempDir& Hooks() const { return m_hooks; }
    // Log lines written since the last call.
    std::string Log() { return KxLog::TakeCaptured(); }

private:
    static void Reset() {
        KXPlatformInfo::resetForTest();
        ErrorController::resetForTest();
        ruxen::SetStopRequestedForTest(0);
    }
    int m_level;
    TempDir m_hooks{"ruxen_hooks"};
};

}  // namespace testfiles
