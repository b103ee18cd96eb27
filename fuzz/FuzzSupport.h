// Helpers of the fuzz targets: the input size each program may reach, a
// private scratch directory for readers that take a file name, and a quiet
// log.
#pragma once

#include <ftw.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"

namespace fuzzsupport {

// Puts "-max_len=<bytes>" first among the program's flags, so that a flag
// given on the command line still wins. Without it libFuzzer tries inputs
// no longer than the largest seed (or 4096 bytes) and never reaches the
// bounds of the readers it feeds.
inline int PutMaxLen(int* argc, char*** argv, size_t bytes) {
    static std::string flag = "-max_len=" + std::to_string(bytes);
    static std::vector<char*> args;
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + (args.empty() ? 0 : 1), &flag[0]);
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size() - 1);
    *argv = args.data();
    return 0;
}

inline std::string& ScratchDirName() {
    static std::string name;
    return name;
}

inline int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

inline void RemoveScratchDir() {
    if (!ScratchDirName().empty())
        nftw(ScratchDirName().c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// This program's scratch directory, made at the first call under $TMPDIR (or
// /tmp) and removed with all it holds when the program exits. (A crash ends
// the program without exit handlers: the CI script points TMPDIR at a
// directory of its own, which it removes.)
inline const std::string& ScratchDir() {
    std::string& name = ScratchDirName();
    if (name.empty()) {
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ruxen_fuzz_XXXXXX";
        if (mkdtemp(&tmpl[0]) == nullptr)
            abort();
        name = tmpl;
        atexit(RemoveScratchDir);
    }
    return name;
}

// A file of the scratch directory (not made here).
inline std::string ScratchFile(const char* name) { return ScratchDir() + "/" + name; }

// Replaces the file's content with the input; any failure ends the run.
inline void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f || (size && fwrite(data, 1, size, f) != size) || fclose(f) != 0)
        abort();
}

// Failure lines are always written: keep them off the terminal and drop what
// the previous run captured.
inline void QuietLog() {
    static bool capturing = (ruxen::testcontrol::StartLogCapture(), true);
    (void)capturing;
    ruxen::testcontrol::TakeCapturedLog();
}

}  // namespace fuzzsupport

// The largest input the program tries (see PutMaxLen).
#define RUXEN_FUZZ_MAX_LEN(bytes)                                              \
    extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {             \
        return fuzzsupport::PutMaxLen(argc, argv, static_cast<size_t>(bytes)); \
    }
