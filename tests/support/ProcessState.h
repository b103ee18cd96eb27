// Process-wide state a test starts from and leaves as a fresh process has it:
// every once-only state reset (ruxen::testcontrol::ResetAll: an empty
// registry, a fresh error-report filter, no stop asked for, ...), hook files
// in a directory of the test's own, log lines captured (at the level the
// test sets).
#pragma once

#include <string>

#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"
#include "support/TestFiles.h"

namespace testfiles {

class ProcessStateGuard {
public:
    ProcessStateGuard() : m_level(KxLog::Query()) {
        ruxen::testcontrol::ResetAll();
        ruxen::testcontrol::SetHookDirectory(m_hooks.path());
        ruxen::testcontrol::StartLogCapture();
    }
    ~ProcessStateGuard() {
        ruxen::testcontrol::StopLogCapture();
        KxLog::SetLevel(m_level);
        ruxen::testcontrol::ResetAll();
    }
    ProcessStateGuard(const ProcessStateGuard&) = delete;
    ProcessStateGuard& operator=(const ProcessStateGuard&) = delete;

    // The directory hook files are looked up in.
    const TempDir& Hooks() const { return m_hooks; }
    // Log lines written since the last call.
    std::string Log() { return ruxen::testcontrol::TakeCapturedLog(); }

private:
    int m_level;
    TempDir m_hooks{"ruxen_hooks"};
};

}  // namespace testfiles
