#include "reader/CFileReaderContext.h"

#include <sys/utsname.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "platform/agent/HookFiles.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/KxException.h"
#include "platform/base/QMString.h"
#include "platform/hsm/DlpBackupReader.h"
#include "platform/hsm/ZXHSMLowLevel.h"
#include "platform/os/ReadCacheAdvise.h"
#include "zxhsm/ZXHSMCommon/ZXHSMLowLevelCtx.h"

namespace {

const char* const kSection = kFileSystemAgentSection;

// The leading decimal number of a release part ("0-91-generic" gives 0).
bool leadingNumber(const std::string& part, long& out) {
    if (part.empty() || part[0] < '0' || part[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    long v = strtol(part.c_str(), &end, 10);
    if (errno == ERANGE || end == part.c_str())
        return false;
    out = v;
    return true;
}

}  // namespace

CFileReaderContext::CFileReaderContext() {
    Init();
    InitDirectIO();
    m_zxhsmInstalled = IsFSSXInstalled();
}

CFileReaderContext::~CFileReaderContext() = default;

void CFileReaderContext::DlpDestroy::operator()(DlpBackupReader* r) const { DlpBackupReader::destroy(r); }

bool CFileReaderContext::ReleaseSupportsNoATime(const char* release) {
    if (release == nullptr)
        return false;
    std::vector<std::string> parts;
    QMString::Split(release, ".", parts);
    if (parts.size() < 3)
        return false;
    long major = 0, minor = 0, patch = 0;
    if (!leadingNumber(parts[0], major) || !leadingNumber(parts[1], minor) || !leadingNumber(parts[2], patch))
        return false;
    if (major > 2)
        return true;
    if (major == 2 && minor > 6)
        return true;
    return major == 2 && minor == 6 && patch >= 8;
}

const char* CFileReaderContext::DriverModeName(int mode) {
    switch (mode) {
    case kArchiverDriver:
        return "ARCHIVER_DRIVER";
    case kDriverLess:
        return "DRIVER_LESS";
    case kLustreDriver:
        return "LUSTRE_DRIVER";
    case kArchiveDelete:
        return "ARCHIVE_DELETE";
    default:
        return "HADOOP_DRIVER";
    }
}

void CFileReaderContext::Init() {
    m_cacheAdvise = !HookFiles::Exists("nofadvise");
    m_debugAppleDouble = HookFiles::Exists("DebugAppleDouble.HOOK");
    m_printBackupFileName = HookFiles::Exists("dumpFileNames");

    struct utsname u;
    m_noATime = uname(&u) == 0 && ReleaseSupportsNoATime(u.release);
    if (m_noATime)
        KXLOG(0, "Using O_NOATIME flag to preserve A-Time");
    KXLOG(0, "%s Cache Advise", m_cacheAdvise ? "Using" : "Not using");

    m_leaseWaitSeconds = KXPlatformInfo::getNumberWithin(kSection, kKeyLeaseBreakWait, 0, kMaxLeaseBreakWaitSeconds,
                                                         kDefaultLeaseBreakWaitSeconds);
}

void CFileReaderContext::InitDirectIO() {
    long useDirectIO = 0;
    if (!KXPlatformInfo::getNumber(kSection, "nUseDirectIO", useDirectIO)) {
        // An optional key: absent, direct I/O stays off. No failure.
        KXLOG(1, "Failed to read registry key '%s' from '%s' section of registry", "nUseDirectIO", kSection);
    } else if (useDirectIO != 1) {
        KXLOG(0, "Registry key '%s' set to 0 in '%s' section of registry", "nUseDirectIO", kSection);
    } else {
        m_directIO = true;
        m_bufAlignSize = kDirectIOAlignment;
        long align = 0;
        if (KXPlatformInfo::getNumber(kSection, "nBufferAlignSize", align) && align != 0) {
            // O_DIRECT needs at least the device's sector size, and the data
            // sender rounds lengths with a mask: only a power of two will do.
            bool pow2 = align > 0 && (align & (align - 1)) == 0;
            if (pow2 && align >= static_cast<long>(kMinAlignment) && align <= static_cast<long>(kMaxAlignment)) {
                m_bufAlignSize = static_cast<uint32_t>(align);
            } else {
                KXLOG(-1, "Registry key '%s' = %ld is not a power of two from %u to %u; using %u", "nBufferAlignSize",
                      align, kMinAlignment, kMaxAlignment, kDirectIOAlignment);
            }
        }
    }
    KXLOG(0, "This backup will %s DIRECT IO", m_directIO ? "use" : "not use");
    KXLOG(0, "Read buffers aligned to %d boundary", static_cast<int>(m_bufAlignSize));
}

void CFileReaderContext::InitHSM() {
    if (m_useDriver == kDriverNotChosen && !m_snapJob) {
        bool doNotUseArchiverDriver = false;
        long v = 0;
        if (KXPlatformInfo::getNumber(kSection, "DoNotUseArchiverDriver", v) && v == 1) {
            KXLOG(0, "DoNotUseArchiverDriver is set in %s registry section", kSection);
            doNotUseArchiverDriver = true;
        }
        m_useDriver = kArchiverDriver;
        v = 0;
        if (m_lustreBackup && KXPlatformInfo::getNumber(kSection, "bEnableLustreCopyTool", v) && v == 1) {
            KXLOG(0, "Lustre copy tool is enabled");
            m_useDriver = kLustreDriver;
        }
        ZXHSMServiceHelper::setUseCache(true);
        if (!m_zxhsmInstalled && ZXHSMServiceHelper::IsFSFDriverLoaded())
            m_zxhsmInstalled = true;
        if (!m_zxhsmInstalled && !IsFSSXInstalled() && m_turboMode) {
            m_useDriver = kDriverLess;
            m_zxhsmInstalled = true;
        }
        if (m_archiveAndDelete) {
            m_useDriver = kDriverLess;
            m_zxhsmInstalled = true;
        }
        if (m_clusterType == kClusterGlusterFS) {
            m_useDriver = kHadoopDriver;
            m_zxhsmInstalled = true;
        }
        if (m_archiveAndDelete && doNotUseArchiverDriver) {
            m_useDriver = kArchiveDelete;
            m_zxhsmInstalled = true;
        }
    }
    KXLOG(3, "TurboMode - %s, zxhsmInstalled=%d useDriver=%s SnapJob=%s ArchivAndDelete=%s", m_turboMode ? "Yes" : "No",
          m_zxhsmInstalled ? 1 : 0, DriverModeName(m_useDriver), m_snapJob ? "YES" : "NO",
          m_archiveAndDelete ? "YES" : "NO");
}

ZXHSMLowLevelCtx* CFileReaderContext::GetZXHSMLowLevelContext(int mode) {
    if (m_zxhsmCtx || m_zxhsmCtxFailed)
        return m_zxhsmCtx.get();
    try {
        m_zxhsmCtx.reset(new ZXHSMLowLevelCtx(mode));
    } catch (const KxException& e) {
        KXLOG(-1, "Failed to create the tiered-storage context (driver %s): %s", DriverModeName(mode), e.what());
        m_zxhsmCtxFailed = true;
    } catch (const std::exception& e) {
        KXLOG(-1, "Failed to create the tiered-storage context (driver %s): %s", DriverModeName(mode), e.what());
        m_zxhsmCtxFailed = true;
    }
    return m_zxhsmCtx.get();
}

DlpBackupReader* CFileReaderContext::GetDLPReader() {
    if (!m_dlpReader)
        m_dlpReader.reset(DlpBackupReader::create());
    return m_dlpReader.get();
}

ReadCacheAdvise* CFileReaderContext::GetCacheAdvise() {
    if (!m_cacheAdviseObj && m_cacheAdvise)
        m_cacheAdviseObj.reset(ReadCacheAdvise::newInstance());
    return m_cacheAdviseObj.get();
}

void CFileReaderContext::SetSnapMode(bool on) {
    m_snapJob = on;
    if (on) {
        m_zxhsmInstalled = false;
        m_useDriver = kDriverLess;
    }
}

void CFileReaderContext::SetAllowFifoFileBackup() {
    m_fifoBackupAllowed = true;
    m_cacheAdvise = false;
}
