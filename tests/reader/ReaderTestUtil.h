// Helpers shared by the reader tests: the process-wide state every test
// starts from, readers on a fresh context, and a loop that drains a reader.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/agent/HookFiles.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"
#include "platform/hsm/DlpBackupReader.h"
#include "platform/hsm/ZXHSMLowLevel.h"
#include "platform/os/KxLongPathHandler.h"
#include "platform/os/KxMntTab.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "reader/CFileReaderFactory.h"
#include "support/AppleDoubleBuilder.h"
#include "support/TestFiles.h"

namespace readertest {

using namespace testfiles;

inline void writeFile(const std::string& path, const std::string& bytes) { WriteWholeFile(path, bytes); }

inline struct stat lstatOf(const std::string& path) {
    struct stat st;
    memset(&st, 0, sizeof(st));
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path << ": " << strerror(errno);
    return st;
}

// Drains the reader with reads of `bufSize` bytes. `ok` turns false when a
// read fails (errno is kept in `err`) or gives more than the buffer.
struct Drained {
    std::string bytes;
    bool ok = true;
    int err = 0;
    int calls = 0;
};
inline Drained drain(CFileReader& r, size_t bufSize) {
    Drained d;
    std::vector<char> buf(bufSize);
    for (;;) {
        int n = r.read(buf.data(), bufSize);
        ++d.calls;
        if (n <= 0 || static_cast<size_t>(n) > bufSize) {
            d.ok = n == 0;
            d.err = n < 0 ? errno : 0;
            return d;
        }
        d.bytes.append(buf.data(), static_cast<size_t>(n));
    }
}

// Process-wide state every test starts from: empty registry, hook files in a
// directory of their own, no tiered storage, no forced DLP mode, logging
// captured so that failure lines do not flood the output.
class ReaderTestBase : public ::testing::Test {
protected:
    void SetUp() override {
        resetAll();
        m_oldLevel = KxLog::Query();
        ruxen::testcontrol::StartLogCapture();
    }
    void TearDown() override {
        ruxen::testcontrol::StopLogCapture();
        KxLog::SetLevel(m_oldLevel);
        resetAll();
        ruxen::testcontrol::SetHookDirectory("");
    }
    void resetAll() {
        ruxen::testcontrol::ResetRegistry();
        ruxen::testcontrol::SetHookDirectory(m_hooks.path());
        ZXHSMTestState::Reset();
        ruxen::testcontrol::ResetDlp();
        ruxen::testcontrol::SetLongPathsUnavailable(false);
        ruxen::testcontrol::SetMountTablePath(nullptr);
    }
    std::string log() { return ruxen::testcontrol::TakeCapturedLog(); }

    // A context after InitHSM, with turbo mode as asked.
    static std::shared_ptr<CFileReaderContext> context(bool turbo = false) {
        auto ctx = std::make_shared<CFileReaderContext>();
        ctx->SetTurboMode(turbo);
        ctx->InitHSM();
        return ctx;
    }
    static std::shared_ptr<CFileReader> reader(std::shared_ptr<CFileReaderContext> ctx) {
        return CFileReaderFactory::CreateFileReader(FILE_READER_STANDARD, ctx);
    }
    // initialize on the path's current lstat.
    static int init(CFileReader& r, const std::string& path, bool hfs = false, bool preserve = false) {
        struct stat st = lstatOf(path);
        return r.initialize(path.c_str(), &st, hfs, preserve);
    }

    TempDir m_dir;
    TempDir m_hooks;
    int m_oldLevel = 0;
};

}  // namespace readertest
