// Captures the log writer's lines for the life of the object, so a test can
// look at them (and the test output stays quiet).
#pragma once

#include <string>

#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"

namespace testfiles {

class LogCapture {
public:
    LogCapture() { ruxen::testcontrol::StartLogCapture(); }
    ~LogCapture() { ruxen::testcontrol::StopLogCapture(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The lines since the last call.
    std::string Take() { return ruxen::testcontrol::TakeCapturedLog(); }
};

}  // namespace testfiles
