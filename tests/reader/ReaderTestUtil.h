// Helpers shared by the reader tests: the process-wide state every test
// starts from and a loop that drains a reader.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/DlpBackupReader.h"
#include "platform/HookFiles.h"
#include "platform/KXPlatformInfo.h"
#include "platform/KxLog.h"
#include "platform/KxLongPathHandler.h"
#include "platform/KxMntTab.h"
#include "platform/ZXHSMLowLevel.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "support/AppleDoubleBuilder.h"
#include "support/TestFiles.h"

namespace readertest {

using testfiles::TempDir;

inline void writeFile(const std::string& path, const std::string& bytes) {
    testfiles::WriteWholeFile(path, bytes);
}

using testfiles::pattern;

inline struct stat lstatOf(const std::string& path) {
    struct stat st;
    memset(&st, 0, sizeof(st));
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path << ": " << strerror(errno);
    return st;
}

// Drains the reader with reads of `bufSize` bytes. `ok` turns false when a
// read fails (errno is kept in *err) or the reader gives more than `limit`.
struct Drained {
    std::string bytes;
    bool ok = true;
    int err = 0;
    int calls = 0;
};
inline Drained drain(CFileReader& r, size_t bufSize, size_t limit = 256u << 20) {
    Drained d;
    std::vector<char> buf(bufSize);
    for (;;) {
        int n = r.read(buf.data(), bufSize);
        ++d.calls;
        if (n < 0) {
            d.ok = false;
            d.err = errno;
            return d;
        }
        if (n == 0)
            return d;
        if (static_cast<size_t>(n) > bufSize) {
            ADD_FAILURE() << "read gave " << n << " bytes into a buffer of " << bufSize;
            d.ok = false;
            return d;
        }
        d.bytes.append(buf.data(), static_cast<size_t>(n));
        if (d.bytes.size() > limit) {
            d.ok = false;
            return d;
        }
    }
}

using testfiles::ADEntry;
using testfiles::buildAppleDouble;
using testfiles::companionOf;
using testfiles::putBE32;

// Process-wide state every test starts from: empty registry, hook files in a
// directory of their own, no tiered storage, no forced DLP mode, logging
// captured so that failure lines do not flood the output.
class ReaderTestBase : public ::testing::Test {
protected:
    void SetUp() override {
        KXPlatformInfo::resetForTest();
        HookFiles::SetDirectoryForTest(m_hooks.path());
        ZXHSMTestState::Reset();
        DlpBackupReader::ResetForTest();
        KxLongPathHandler::SetUnavailableForTest(false);
        kxSetMntTabPathForTest(nullptr);
        m_oldLevel = KxLog::Query();
        KxLog::StartCapture();
    }
    void TearDown() override {
        KxLog::StopCapture();
        KxLog::SetLevel(m_oldLevel);
        HookFiles::SetDirectoryForTest("");
        KXPlatformInfo::resetForTest();
        ZXHSMTestState::Reset();
        DlpBackupReader::ResetForTest();
        KxLongPathHandler::SetUnavailableForTest(false);
        kxSetMntTabPathForTest(nullptr);
    }
    std::string log() { return KxLog::TakeCaptured(); }

    TempDir m_dir;
    TempDir m_hooks;
    int m_oldLevel = 0;
};

}  // namespace readertest
