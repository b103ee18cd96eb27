// Helpers of fuzz targets whose reader takes a file name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "platform/KxLog.h"

namespace fuzzsupport {

// The scratch file of this fuzz program under /tmp (one per process, named
// by the first call), made once and rewritten by each run.
inline const std::string& ScratchFile(const char* prefix) {
    static const std::string path = [prefix] {
        std::string tmpl = std::string("/tmp/") + prefix + "_XXXXXX";
        int fd = mkstemp(&tmpl[0]);
        if (fd < 0)
            abort();
        close(fd);
        return tmpl;
    }();
    return path;
}

// Replaces the file's content with the input; any failure ends the run.
inline void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f || (size && fwrite(data, 1, size, f) != size) || fclose(f) != 0)
        abort();
}

// Failure lines are always written: keep them off the terminal and drop what
// the previous run captured.
inline void QuietLog() {
    static bool capturing = (KxLog::StartCapture(), true);
    (void)capturing;
    KxLog::TakeCaptured();
}

}  // namespace fuzzsupport
