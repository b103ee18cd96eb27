// The registry file is outside input: an administrator edits it. Any bytes
// must load without a crash, and the readers and the error filter built on
// it must answer for every key the file names.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"

#include "errorpolicy/ErrorController.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/base/TestControl.h"

RUXEN_FUZZ_MAX_LEN(64 * 1024)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = fuzzsupport::ScratchFile("registry.ini");
    fuzzsupport::QuietLog();
    fuzzsupport::WriteInput(path, data, size);

    ruxen::testcontrol::ResetRegistry();
    std::string error;
    if (KXPlatformInfo::loadFile(path, &error)) {
        std::string s;
        long n;
        bool b;
        KXPlatformInfo::getString(kFileSystemAgentSection, "backupDoNotReportFileError", s);
        KXPlatformInfo::getNumber(kFileSystemAgentSection, "nUseDirectIO", n);
        KXPlatformInfo::getBool(kFileSystemAgentSection, "bSendFailedFilesToIndexForGUI", b);
        ruxen::testcontrol::ResetErrorController();
        ErrorController::initialize(0, nullptr, 0, 0, std::string());
        ErrorController::shouldReportError(13);
        ErrorController::shouldReportError(std::string("/x"), 2);
    }
    return 0;
}
