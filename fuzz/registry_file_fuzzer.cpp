// The registry file is outside input: an administrator edits it. Any bytes
// must load without a crash, and the readers and the error filter built on
// it must answer for every key the file names.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "errorpolicy/ErrorController.h"
#include "platform/KXPlatformInfo.h"
#include "platform/KxLog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path = [] {
        char tmpl[] = "/tmp/registry_fuzz_XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd < 0)
            abort();
        close(fd);
        return std::string(tmpl);
    }();
    // Failure lines are always written; keep them off the terminal.
    static bool capturing = (KxLog::StartCapture(), true);
    (void)capturing;
    KxLog::TakeCaptured();
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    if (size && fwrite(data, 1, size, f) != size)
        abort();
    fclose(f);

    KXPlatformInfo::resetForTest();
    std::string error;
    if (KXPlatformInfo::loadFile(path, &error)) {
        std::string s;
        long n;
        bool b;
        KXPlatformInfo::getString(kFileSystemAgentSection, "backupDoNotReportFileError", s);
        KXPlatformInfo::getNumber(kFileSystemAgentSection, "nUseDirectIO", n);
        KXPlatformInfo::getBool(kFileSystemAgentSection, "bSendFailedFilesToIndexForGUI", b);
        ErrorController::resetForTest();
        ErrorController::initialize(0, nullptr, 0, 0, std::string());
        ErrorController::shouldReportError(13);
        ErrorController::shouldReportError(std::string("/x"), 2);
    }
    return 0;
}
