// The job-wide settings of the file data reader and the service objects that
// every reader of a stream process shares: the tiered-storage low-level
// context, the data-loss-prevention reader, the page-cache advice and the stub
// bytes of early-stub backup.
//
// The owner (the per-file backup object) makes one context, places its
// performance counter in m_pPerfCounter, creates its reader through
// CFileReaderFactory, sets the job's flags before each collect pass and calls
// InitHSM before each item is opened. The tiered-storage driver mode is
// chosen once, at the first InitHSM (or fixed by SetSnapMode(true)).
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "reader/CFileReaderOps.h"

namespace ruxen {
class TrustedPrefixes;
}
class PerfCounter;
class DlpBackupReader;
class ReadCacheAdvise;
class ZXHSMLowLevelCtx;

class CFileReaderContext {
public:
    // Driver modes (-1: not chosen yet).
    enum : int {
        kDriverNotChosen = -1,
        kArchiverDriver = 1,
        kDriverLess = 2,
        kLustreDriver = 4,
        kHadoopDriver = 5,
        kArchiveDelete = 6,
    };
    // Distributed-apps cluster type of GlusterFS.
    static constexpr int kClusterGlusterFS = 11;

    // Defaults when the registry says nothing.
    static constexpr uint32_t kDefaultAlignment = 1024;
    static constexpr uint32_t kDirectIOAlignment = 4096;
    static constexpr uint32_t kMinAlignment = 512;
    static constexpr uint32_t kMaxAlignment = 1024 * 1024;

    // Registry key (FileSystemAgent): how long, in seconds, an open waits
    // for the holder of a write lease on the file to let go before the
    // item fails (0 to 3600).
    static constexpr const char* kKeyLeaseBreakWait = "nLeaseBreakWaitSeconds";
    static constexpr long kDefaultLeaseBreakWaitSeconds = 5;
    static constexpr long kMaxLeaseBreakWaitSeconds = 3600;

    CFileReaderContext();
    virtual ~CFileReaderContext();
    CFileReaderContext(const CFileReaderContext&) = delete;
    CFileReaderContext& operator=(const CFileReaderContext&) = delete;

    // Hook files, the kernel's O_NOATIME support and the lease wait.
    void Init();
    // The registry's direct-I/O switch and read-buffer alignment.
    void InitDirectIO();
    // Chooses the tiered-storage driver mode (once per job); logs the state
    // on every call.
    void InitHSM();

    // Whether a kernel of this release ("5.15.0-91-generic") supports
    // O_NOATIME: 2.6.8 or later. Fewer than three dot-separated parts, or a
    // part that does not begin with a decimal number, answers false.
    static bool ReleaseSupportsNoATime(const char* release);
    // The driver mode's name for the log.
    static const char* DriverModeName(int mode);

    // The tiered-storage context, made on the first call for `mode` and
    // answered for every later call whatever mode is passed. Making it reads
    // the mount table; when that fails the failure is logged, remembered and
    // null is answered from then on, so that only the items that need
    // tiered storage fail.
    ZXHSMLowLevelCtx* GetZXHSMLowLevelContext(int mode);
    bool ZXHSMContextFailed() const { return m_zxhsmCtxFailed; }
    DlpBackupReader* GetDLPReader();
    // The cache-advice object, made on first use while cache advice is on;
    // null while it is off.
    ReadCacheAdvise* GetCacheAdvise();

    // The file operations of every reader of the context: the real ones
    // unless a test sets its own (null restores the real ones).
    CFileReaderOps& FileOps() const { return m_ops ? *m_ops : CFileReaderOps::System(); }
    void SetFileOps(std::shared_ptr<CFileReaderOps> ops) { m_ops = std::move(ops); }

    // The local prefixes the job's map names, resolved once (null: none):
    // below them items are looked up by the walk's rule
    // (platform/os/DirWalk.h).
    const std::shared_ptr<const ruxen::TrustedPrefixes>& GetTrustedPrefixes() const { return m_trusted; }
    void SetTrustedPrefixes(std::shared_ptr<const ruxen::TrustedPrefixes> trusted) { m_trusted = std::move(trusted); }

    // The stream's performance counter (not owned); readers time their
    // stages through it when it is set.
    PerfCounter* m_pPerfCounter = nullptr;

    void SetTurboMode(bool on) { m_turboMode = on; }
    bool IsTurboMode() const { return m_turboMode; }
    // On: also "not installed" and driver mode 2 (a snapshot job reads stubs
    // from the snapshot without the driver).
    void SetSnapMode(bool on);
    bool IsSnapJob() const { return m_snapJob; }
    void SetSnapCatalogMode(bool on) { m_snapCatalogJob = on; }
    bool IsSnapCatalogeJob() const { return m_snapCatalogJob; }
    bool IsZXHSMInstalled() const { return m_zxhsmInstalled; }
    int GetUseDriver() const { return m_useDriver; }
    void SetEarlyStubBackup(bool on) { m_earlyStubBackup = on; }
    bool IsEarlyStubBackup() const { return m_earlyStubBackup; }
    void SetLongPathBackup(bool on) { m_longPathBackup = on; }
    bool IsLongPathBackup() const { return m_longPathBackup; }
    bool ShouldUseDirectIO() const { return m_directIO; }
    uint32_t GetBufAlignSize() const { return m_bufAlignSize; }
    bool DebugAppleDouble() const { return m_debugAppleDouble; }
    bool UsingCacheAdvise() const { return m_cacheAdvise; }
    void SetArchiveAndDelete(bool on) { m_archiveAndDelete = on; }
    bool IsArchiveAndDelete() const { return m_archiveAndDelete; }
    // A symbolic link that names a raw device: the reader opens the link and
    // reads the device.
    void SetLink2RawDev(bool on) { m_link2RawDev = on; }
    bool IsLink2RawDev() const { return m_link2RawDev; }
    void SetStubData(const std::vector<char>& data) { m_stubData = data; }
    const std::vector<char>& GetStubData() const { return m_stubData; }
    bool PrintBackupFileName() const { return m_printBackupFileName; }
    // FIFO contents are backed up; page-cache advice is off from then on.
    void SetAllowFifoFileBackup();
    bool IsFIFOBackupAllowed() const { return m_fifoBackupAllowed; }
    void SetLustreBackup(bool on) { m_lustreBackup = on; }
    bool IsLustreBackup() const { return m_lustreBackup; }
    void SetDistributedAppsClusterType(int type) { m_clusterType = type; }
    int GetDistributedAppsClusterType() const { return m_clusterType; }
    bool IsNoATimeUpdate() const { return m_noATime; }
    long LeaseBreakWaitSeconds() const { return m_leaseWaitSeconds; }

private:
    bool m_turboMode = false;
    bool m_snapJob = false;
    bool m_snapCatalogJob = false;
    bool m_zxhsmInstalled = false;
    int m_useDriver = kDriverNotChosen;
    bool m_earlyStubBackup = false;
    bool m_longPathBackup = false;
    bool m_directIO = false;
    uint32_t m_bufAlignSize = kDefaultAlignment;
    bool m_debugAppleDouble = false;
    bool m_cacheAdvise = false;
    bool m_archiveAndDelete = false;
    bool m_link2RawDev = false;
    struct DlpDestroy {
        void operator()(DlpBackupReader* r) const;
    };
    std::unique_ptr<DlpBackupReader, DlpDestroy> m_dlpReader;
    std::unique_ptr<ZXHSMLowLevelCtx> m_zxhsmCtx;
    bool m_zxhsmCtxFailed = false;
    std::unique_ptr<ReadCacheAdvise> m_cacheAdviseObj;
    std::shared_ptr<CFileReaderOps> m_ops;
    std::shared_ptr<const ruxen::TrustedPrefixes> m_trusted;
    std::vector<char> m_stubData;
    bool m_printBackupFileName = false;
    bool m_fifoBackupAllowed = false;
    bool m_lustreBackup = false;
    int m_clusterType = 0;
    bool m_noATime = false;
    long m_leaseWaitSeconds = kDefaultLeaseBreakWaitSeconds;
};
