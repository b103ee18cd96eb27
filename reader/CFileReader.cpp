#include "reader/CFileReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/AMTimePreserver.h"
#include "platform/DlpBackupReader.h"
#include "platform/FdIO.h"
#include "platform/KxLog.h"
#include "platform/KxLongPathHandler.h"
#include "platform/PerfCounter.h"
#include "platform/ReadCacheAdvise.h"
#include "platform/UtfFileOps.h"
#include "platform/ZXHSMLowLevel.h"
#include "reader/CFileReaderContext.h"

namespace {

// Stages of the stream's performance counter.
constexpr int kStageDlpRead = 24;
constexpr int kStageDlpReadSpeed = 25;
constexpr int kStageCacheAdvice = 26;
constexpr int kStageFileSeek = 27;

// One read never asks for more than this, so that its count fits the int
// answer; it is a multiple of every accepted alignment.
constexpr size_t kMaxReadChunk = size_t(1) << 30;


}  // namespace

CFileReader::CFileReader(const std::shared_ptr<CFileReaderContext>& context) : m_ctx(context) {
    memset(&m_stat, 0, sizeof(m_stat));
    if (!m_ctx) {
        m_ctx = std::make_shared<CFileReaderContext>();
        m_ctx->InitHSM();
    }
}

CFileReader::CFileReader() : CFileReader(std::shared_ptr<CFileReaderContext>()) {}

CFileReader::~CFileReader() {
    closeFile();
}

// ---------------------------------------------------------------- initialize

int CFileReader::initialize(const char* path, struct stat* st, bool hfs, bool preserveTimes) {
    closeFile();
    // What identified the previous item must not travel with this one.
    m_GUID.clear();
    m_stubGUID.clear();
    m_stubData.clear();
    m_directIO = false;
    m_openType = 0;
    m_zxhsm = nullptr;
    m_dlp = nullptr;
    m_advise = nullptr;
    if (path == nullptr || st == nullptr) {
        errno = EINVAL;
        return -1;
    }
    m_path = path;
    m_hfsRequested = hfs;
    m_stat = *st;
    m_oHFSHdr = HFSHeader();
    m_oHFSHdr.data_size = m_stat.st_size;

    if (preserveTimes)
        attach(new AMTimePreserver(new CoreInodePropPreserver<struct stat>(m_path, m_stat)));
    if (m_ctx->PrintBackupFileName())
        KXLOG(0, "Will backup %s", path);

    const mode_t type = m_stat.st_mode & S_IFMT;
    const bool catalogOnly = m_ctx->IsSnapCatalogeJob();
    if (type != S_IFDIR && !catalogOnly) {
        if (m_ctx->IsZXHSMInstalled()) {
            int r = initStubInstalled(path);
            if (r <= 0)
                return r;  // a stub (0) or a failure (-1)
        } else if (m_ctx->IsSnapJob()) {
            int r = initStubSnapshot(path);
            if (r <= 0)
                return r;
        }

        // A link's data is its target and a socket has none: neither is
        // opened, unless the link names a raw device whose contents the job
        // backs up.
        if (type == S_IFSOCK || (type == S_IFLNK && !m_ctx->IsLink2RawDev()))
            return 0;

        if (openFile(path) < 0)
            return -1;
        m_dlp = m_ctx->GetDLPReader();
        m_dlp->setFd(m_fd, path);
        if (m_openType == S_IFREG && m_ctx->UsingCacheAdvise()) {
            m_advise = m_ctx->GetCacheAdvise();
            if (m_advise)
                m_advise->begin(m_fd, m_directIO, m_stat.st_size);
        }
        if (m_dlp->isDlpMode())
            KXLOG(5, "########## For file %s DLP is ON", path);
        // A decoded size, when the data-loss-prevention reader has one, is
        // what the data fork yields.
        const unsigned long long dec = m_dlp->getDecFileSize();
        if (dec != static_cast<unsigned long long>(-1))
            m_oHFSHdr.data_size = static_cast<int64_t>(dec);
    }

    // The Mac properties follow the data fork of regular files only: no
    // other item has a data fork the reader delivers.
    if (hfs && !catalogOnly && type == S_IFREG && m_fd >= 0)
        return initAppleDouble(preserveTimes);
    return 0;
}

ZXHSMLowLevelCtx* CFileReader::tieredContext(const char* path) {
    ZXHSMLowLevelCtx* zctx = m_ctx->GetZXHSMLowLevelContext(m_ctx->GetUseDriver());
    if (zctx == nullptr) {
        KXLOG(-1, "Failed to create ZXHSMLowLevel for '%s'", path);
        errno = EIO;
    }
    return zctx;
}

int CFileReader::initStubInstalled(const char* path) {
    ZXHSMLowLevelCtx* zctx = tieredContext(path);
    if (zctx == nullptr)
        return -1;
    // No object: no tiered-storage mount holds the path.
    m_zxhsm = zctx->getByFileName(path);
    const bool onTiered = (m_zxhsm != nullptr && m_zxhsm->isSXRFS(path) > 0) || m_ctx->IsArchiveAndDelete();
    KXLOG(7, "ZXHSMInstalled-%d, SXRFS-%s", 1, onTiered ? "yes" : "no");
    if (!onTiered)
        return 1;
    if (m_ctx->IsEarlyStubBackup()) {
        m_isStub = true;
        m_stubData = m_ctx->GetStubData();
        KXLOG(5, "Setting '%s' as stub", path);
    } else {
        if (m_zxhsm == nullptr) {
            // Archive and delete outside any tiered-storage mount: nothing
            // can say whether the file is a stub.
            KXLOG(-1, "Failed to create ZXHSMLowLevel for '%s'", path);
            errno = EIO;
            return -1;
        }
        const int driver = m_ctx->GetUseDriver();
        if (driver != CFileReaderContext::kArchiverDriver) {
            int r = m_zxhsm->isStub(path);
            if (r < 0) {
                int e = errno ? errno : EIO;
                KXLOG(-1, "ZXHSMLowLevel::isStub() failed, error=[%s]", m_zxhsm->getLastError().c_str());
                errno = e;
                return -1;
            }
            m_isStub = r != 0;
            if (m_isStub && m_zxhsm->backupStub(path, m_stubData) < 0) {
                KXLOG(-1, "ZXHSMLowLevel::backupStub() failed, error=[%s]", m_zxhsm->getLastError().c_str());
                errno = EIO;
                return -1;
            }
        } else {
            ZXHSMLowLevelCXFS* cxfs = dynamic_cast<ZXHSMLowLevelCXFS*>(m_zxhsm);
            if (cxfs == nullptr) {
                KXLOG(-1, "Unable to get ZXHSMLowLevelCXFS, useDriver=[%s]",
                      driver == CFileReaderContext::kDriverLess ? "DRIVER_LESS" : "DRIVER");
                errno = EIO;
                return -1;
            }
            bool stub = false;
            if (cxfs->getStubData(path, stub, m_stubData, m_stat.st_size) < 0) {
                int e = errno ? errno : EIO;
                KXLOG(-1, "ZXHSMLowLevel:getStubData() failed, error=[%s]", cxfs->getLastError().c_str());
                errno = e;
                return -1;
            }
            m_isStub = stub;
        }
    }
    if (!m_isStub)
        return 1;
    if (m_ctx->IsTurboMode())
        parseStub(false);
    return 0;
}

int CFileReader::initStubSnapshot(const char* path) {
    ZXHSMLowLevelCtx* zctx = tieredContext(path);
    if (zctx == nullptr)
        return -1;
    m_zxhsm = zctx->getByFileName(path);
    if (m_ctx->IsEarlyStubBackup()) {
        m_isStub = true;
        m_stubData = m_ctx->GetStubData();
    } else if (m_zxhsm != nullptr) {
        if (m_zxhsm->getSnapStubData(path, m_stubData) == 0) {
            m_isStub = true;
        } else {
            KXLOG(2, "%s.", m_zxhsm->getLastError().c_str());
            m_stubData.clear();
        }
    }
    if (!m_isStub)
        return 1;
    parseStub(true);
    return 0;
}

void CFileReader::parseStub(bool snapshotText) {
    ReparseData rd;
    if (ParseStubData(m_stubData, rd)) {
        m_appGUID = rd.appGuid;
        if (rd.kind == 2)
            m_stubGUID = rd.dataGuid;
        else
            m_stubGUID.clear();
        m_recordedStubSize = rd.recordedSize;
        m_appId = rd.appId;
        return;
    }
    if (snapshotText)
        KXLOG(2, "%s is a FSSX stub.Setting turbo mode false.", m_path.c_str());
    else
        KXLOG(2, "%s is a FSSX stub. Setting turbo mode false.", m_path.c_str());
    m_ctx->SetTurboMode(false);
}

int CFileReader::initAppleDouble(bool preserveTimes) {
    const std::string name = KX_DFMF_NAME(m_path.c_str());
    struct stat cst;
    if (name.empty() || lstatPath(name.c_str(), &cst) != 0)
        return 0;  // no companion: no Mac properties
    if (!S_ISREG(cst.st_mode)) {
        KXLOG(1, "AppleDouble file %s is not a regular file; no Mac properties for %s", name.c_str(),
              m_path.c_str());
        return 0;
    }
    m_oHFSHdr.isHFS = kHFSHasCompanion;
    if (preserveTimes)
        attach(new AMTimePreserver(new CoreInodePropPreserver<struct stat>(name, cst)));
    int fd = openCompanion(name, &cst);
    if (fd < 0) {
        int e = errno;
        KXLOG(-1, "open(%s) failed error=%s", name.c_str(), strerror(e));
        errno = e;
        return -1;
    }
    m_rsrcFd = fd;
    m_rsrcDev = cst.st_dev;
    m_rsrcIno = cst.st_ino;
    SetResourceFileName(name);
    int r = getAppleDoubleSize(HFS_RESOURCE_FORK, fd);
    m_oHFSHdr.rsrc_size = r < 0 ? 0 : r;
    if (getAppleDoubleSize(HFS_PROPERTIES, m_rsrcFd) == -2)
        m_oHFSHdr.isHFS |= kHFSNoProperties;
    if (m_ctx->DebugAppleDouble())
        KXLOG(0, "For file '%s'(%s) m_oHFSHdr.data_size:%lld isHFS:%u rsrc_size:%lld m_iRsrcFileHandle:%d",
              m_path.c_str(), name.c_str(), static_cast<long long>(m_oHFSHdr.data_size), m_oHFSHdr.isHFS,
              static_cast<long long>(m_oHFSHdr.rsrc_size), m_rsrcFd);
    return 0;
}

// Opens the companion without following a link and without blocking, and
// checks that it is still the regular file `expect` describes.
int CFileReader::openCompanion(const std::string& name, const struct stat* expect) {
    int fd = openPath(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat fst;
    if (fstat(fd, &fst) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    if (!S_ISREG(fst.st_mode) || fst.st_dev != expect->st_dev || fst.st_ino != expect->st_ino) {
        ::close(fd);
        errno = ESTALE;
        return -1;
    }
    return fd;
}

// ------------------------------------------------------------------ openFile

int CFileReader::openFile(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const mode_t want = m_stat.st_mode & S_IFMT;
    const bool rawDevLink = want == S_IFLNK && m_ctx->IsLink2RawDev();
    // Never blocks in open: an item swapped for a FIFO without a writer
    // would otherwise hang the stream here.
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    if (!rawDevLink)
        flags |= O_NOFOLLOW;
    m_directIO = false;
    if (m_ctx->ShouldUseDirectIO() && (want == S_IFREG || want == 0)) {
        flags |= O_DIRECT;
        m_directIO = true;
    }
    if (m_ctx->IsNoATimeUpdate())
        flags |= O_NOATIME;

    int fd;
    for (;;) {
        fd = openPath(path, flags);
        if (fd >= 0)
            break;
        int e = errno;
        if (e == EPERM && (flags & O_NOATIME)) {
            // Only the owner (or a privileged process) may ask for it.
            KXLOG(1, "Failed to open %s: %s; again without O_NOATIME", path, strerror(e));
            flags &= ~O_NOATIME;
            continue;
        }
        if (e == EINVAL && (flags & O_DIRECT)) {
            KXLOG(1, "Failed to open %s: %s; again without O_DIRECT", path, strerror(e));
            flags &= ~O_DIRECT;
            m_directIO = false;
            continue;
        }
        KXLOG(-1, "Failed to open %s: %s", path, strerror(e));
        errno = e;
        return -1;
    }

    // The handle must be the item the caller stat-ed.
    struct stat fst;
    if (fstat(fd, &fst) != 0) {
        int e = errno;
        KXLOG(-1, "fstat(%s) failed: %s", path, strerror(e));
        ::close(fd);
        errno = e;
        return -1;
    }
    const mode_t got = fst.st_mode & S_IFMT;
    bool same;
    if (rawDevLink)
        same = got == S_IFBLK || got == S_IFCHR;
    else if (want == 0)
        same = true;  // opened without a stat of the caller
    else
        same = got == want && (got != S_IFREG || (fst.st_ino == m_stat.st_ino && fst.st_dev == m_stat.st_dev));
    if (!same) {
        KXLOG(-1, "%s changed between stat and open", path);
        ::close(fd);
        m_directIO = false;
        errno = ESTALE;
        return -1;
    }
    m_openType = got;

    if (got == S_IFIFO && m_ctx->IsFIFOBackupAllowed()) {
        KXLOG(1, "Setting back fifofile [%s] in blocking mode ", path);
        int fl = fcntl(fd, F_GETFL);
        if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0)
            KXLOG(-1, "Failed to change the FIFO file [%s] to nonblocking errno =[%d]", path, errno);
    } else if (got == S_IFBLK || got == S_IFCHR) {
        int fl = fcntl(fd, F_GETFL);
        if (fl >= 0)
            fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    }
    m_fd = fd;
    return fd;
}

// ---------------------------------------------------------------- closeFile

void CFileReader::closeFile() {
    if (m_fd >= 0) {
        if (m_advise)
            m_advise->end(m_fd);
        if (m_dlp)
            m_dlp->setFd(-1, "");
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_rsrcFd >= 0) {
        ::close(m_rsrcFd);
        m_rsrcFd = -1;
    }
    notify();
    Reset();
}

void CFileReader::Reset() {
    m_isStub = false;
    m_stubPos = 0;
    m_appId = 0;
    m_appGUID.clear();
    m_recordedStubSize = 0;
    m_path.clear();
    m_llProgress = 0;
    m_isHole = false;
    m_oHFSHdr = HFSHeader();
    m_appleDoubleStarted = false;
    m_reopenCount = 0;
    m_rsrcFileName.clear();
    m_rsrcDev = 0;
    m_rsrcIno = 0;
    m_openType = 0;
    m_advise = nullptr;
    if (m_ctx->IsTurboMode() && !m_ctx->IsEarlyStubBackup())
        m_stubData.clear();
}

void CFileReader::attach(InodePropPreserverImpl* preserver) {
    if (preserver)
        m_observers.push_back(preserver);
}

void CFileReader::notify() {
    for (InodePropPreserverImpl* p : m_observers) {
        p->reset();
        delete p;
    }
    m_observers.clear();
}

// --------------------------------------------------------------------- read

int CFileReader::read(char* buf, size_t size) {
    if (m_isStub)
        return readStub(buf, size);
    if (m_fd < 0) {
        if ((m_stat.st_mode & S_IFMT) != S_IFDIR) {
            KXLOG(0, "No file has been opened yet");
            errno = EBADF;
            return -1;
        }
        KXLOG(-1, "read(%s) failed - no handle\n", m_path.c_str());
        errno = EISDIR;
        return -1;
    }
    if (m_llProgress < 0)
        return 0;
    if (size > kMaxReadChunk)
        size = kMaxReadChunk;
    if (!(m_oHFSHdr.isHFS & kHFSHasCompanion) || m_llProgress < m_oHFSHdr.data_size)
        return readData(buf, size);
    return readAppleDoublePart(buf, size);
}

int CFileReader::readStub(char* buf, size_t size) {
    const size_t have = m_stubData.size();
    size_t n = 0;
    if (m_stubPos < have) {
        n = have - m_stubPos;
        if (n > size)
            n = size;
        if (n > kMaxReadChunk)
            n = kMaxReadChunk;
        memcpy(buf, m_stubData.data() + m_stubPos, n);
        m_stubPos += static_cast<uint32_t>(n);
    }
    if (m_ctx->PrintBackupFileName())
        KXLOG(0, "Sending [%d] bytes for stub '%s' StubData=[%ld], StubPos=[%u]", static_cast<int>(n),
              m_path.c_str(), static_cast<long>(have), m_stubPos);
    return static_cast<int>(n);
}

void CFileReader::clearDirectIO() {
    int fl = fcntl(m_fd, F_GETFL);
    if (fl >= 0 && (fl & O_DIRECT))
        fcntl(m_fd, F_SETFL, fl & ~O_DIRECT);
    m_directIO = false;
}

int CFileReader::readData(char* buf, size_t size) {
    // When an AppleDouble part follows, the data fork ends at its size.
    const bool capped = (m_oHFSHdr.isHFS & kHFSHasCompanion) != 0;
    size_t n = size;
    if (capped) {
        const uint64_t left = static_cast<uint64_t>(m_oHFSHdr.data_size - m_llProgress);
        if (n > left)
            n = static_cast<size_t>(left);
    }
    // Under O_DIRECT the length must be a multiple of the alignment: the
    // short tail is read whole into the caller's (aligned, larger) buffer
    // and trimmed.
    size_t len = n;
    if (m_directIO && capped) {
        const size_t align = m_ctx->GetBufAlignSize();
        const size_t up = (n + align - 1) & ~(align - 1);
        if (up <= size)
            len = up;
        else
            clearDirectIO();
    }

    if (m_dlp == nullptr)
        m_dlp = m_ctx->GetDLPReader();  // opened through openFile alone
    PerfCounter* pc = m_ctx->m_pPerfCounter;
    if (pc) {
        pc->StartPerfCounter("DLP::Read", kStageDlpRead);
        pc->StartPerfCounter("DLP::ReadSpeed", kStageDlpReadSpeed);
    }
    ssize_t r = m_dlp->read(m_fd, buf, len);
    if (r < 0 && errno == EINVAL && m_directIO) {
        // The file system, the offset or the buffer does not suit O_DIRECT.
        clearDirectIO();
        len = n;
        r = m_dlp->read(m_fd, buf, len);
    }
    if (pc) {
        pc->StopPerfCounter("DLP::Read", kStageDlpRead, 0);
        pc->StopPerfCounter("DLP::ReadSpeed", kStageDlpReadSpeed, r > 0 ? static_cast<unsigned long long>(r) : 0);
    }
    if (r < 0) {
        int e = errno;
        KXLOG(-1, "CFileReader::read(): read call failure, errno=%d", e);
        errno = e;
        return -1;
    }
    if (static_cast<size_t>(r) > n)
        r = static_cast<ssize_t>(n);
    if (r == 0 && capped && n > 0) {
        KXLOG(-1, "%s ended at %lld bytes, before its data size %lld", m_path.c_str(), m_llProgress,
              static_cast<long long>(m_oHFSHdr.data_size));
        errno = ENODATA;
        return -1;
    }
    if (r > 0 && m_advise) {
        if (pc)
            pc->StartPerfCounter("CacheAdvice", kStageCacheAdvice);
        m_advise->note(m_fd, static_cast<off_t>(m_llProgress), static_cast<size_t>(r));
        if (pc)
            pc->StopPerfCounter("CacheAdvice", kStageCacheAdvice, 0);
    }
    m_llProgress += r;
    if (m_ctx->DebugAppleDouble())
        KXLOG(0, "::read return %lld bytes", static_cast<long long>(r));
    return static_cast<int>(r);
}

int CFileReader::readAppleDoublePart(char* buf, size_t size) {
    m_appleDoubleStarted = true;
    const long long D = m_oHFSHdr.data_size;
    const long long R = m_oHFSHdr.rsrc_size;
    const long long P = m_llProgress;
    const bool dbg = m_ctx->DebugAppleDouble();
    if (dbg)
        KXLOG(0, "::read m_llProgress:%lld m_oHFSHdr.data_size:%lld m_oHFSHdr.rsrc_size:%lld m_oHFSHdr.isHFS:%u "
                 "m_bAppleDoubleFile:%d",
              P, D, R, m_oHFSHdr.isHFS, m_rsrcFd >= 0 ? 1 : 0);
    const long long propsEnd = D + R + static_cast<long long>(AppleDouble::kPropertiesSize);
    const long long blockEnd = D + R + static_cast<long long>(AppleDouble::kHFSBlockSize);

    if (P < D + R) {
        if (dbg)
            KXLOG(0, "will read fork data");
        // Never past the length recorded at initialize, even if the entry
        // grew since.
        long long left = D + R - P;
        int n = static_cast<int>(static_cast<long long>(size) < left ? static_cast<long long>(size) : left);
        int r = readAppleDouble(HFS_RESOURCE_FORK, m_rsrcFd, static_cast<size_t>(P - D), buf, n);
        if (r <= 0) {
            int e = r == 0 ? EINVAL : errno;
            KXLOG(-1, "Detected invalid format of the AppleDouble file %s", m_rsrcFileName.c_str());
            errno = e;
            return -1;
        }
        if (r > n)
            r = n;
        m_llProgress += r;
        return r;
    }
    if (P < blockEnd) {
        if (dbg)
            KXLOG(0, "will read HFS Properties");
        const bool props = P < propsEnd;
        const long long partEnd = props ? propsEnd : blockEnd;
        long long left = partEnd - P;
        int n = static_cast<int>(static_cast<long long>(size) < left ? static_cast<long long>(size) : left);
        int r = -1;
        if (props) {
            // A companion known to lack the entry gives zeros without asking.
            if (!(m_oHFSHdr.isHFS & kHFSNoProperties))
                r = readAppleDouble(HFS_PROPERTIES, m_rsrcFd, static_cast<size_t>(P - D - R), buf, n);
        } else {
            r = readAppleDouble(HFS_FINDER_INFO, m_rsrcFd, static_cast<size_t>(P - propsEnd), buf, n);
        }
        // A missing, unreadable or short part is delivered as zeros: the
        // block is always 92 bytes.
        if (r < 0)
            r = 0;
        if (r < n)
            memset(buf + r, 0, static_cast<size_t>(n - r));
        m_llProgress += n;
        return n;
    }
    if (m_rsrcFd >= 0) {
        ::close(m_rsrcFd);
        m_rsrcFd = -1;
    }
    m_llProgress = -1;
    return 0;
}

// ------------------------------------------------------------- AppleDouble

void CFileReader::logAppleDoubleTable() const {
    KXLOG(0, "entries_count:%d", static_cast<int>(m_ad.Count()));
    const std::vector<AppleDouble::Entry>& all = m_ad.Entries();
    for (size_t i = 0; i < all.size(); ++i)
        KXLOG(0, "entries_info[%d]:%d:%d:%d", static_cast<int>(i * 3), static_cast<int>(all[i].id),
              static_cast<int>(all[i].offset), static_cast<int>(all[i].length));
}

int CFileReader::getAppleDoubleSize(HFS_DATA_TYPE type, int handle) {
    const bool dbg = m_ctx->DebugAppleDouble();
    if (dbg)
        KXLOG(0, "type:%d handler:%d", static_cast<int>(type), handle);
    AppleDouble::Result res = m_ad.Read(handle, AppleDouble::kMaxEntries);
    if (res == AppleDouble::kNoHeader) {
        KXLOG(-1, "no header data in AppleDouble file");
        return -1;
    }
    if (m_ad.Count() > AppleDouble::kManyEntries)
        KXLOG(0, "The apple double include unexpected large number (%d) of entries.", static_cast<int>(m_ad.Count()));
    if (res == AppleDouble::kTooMany) {
        KXLOG(-1, "This number is too high to proceed with this file (%s)", m_rsrcFileName.c_str());
        errno = ENFILE;
        return -1;
    }
    if (res == AppleDouble::kNoEntries) {
        KXLOG(-1, "no entry data in AppleDouble file");
        return -1;
    }
    if (dbg)
        logAppleDoubleTable();
    const AppleDouble::Entry* e = m_ad.Find(type);
    int rc;
    if (e == nullptr) {
        rc = -2;
    } else if (e->length > static_cast<uint32_t>(INT_MAX)) {
        KXLOG(-1, "AppleDouble file %s: entry %u is %u bytes long, more than can be read", m_rsrcFileName.c_str(),
              static_cast<unsigned>(type), e->length);
        errno = EINVAL;
        rc = -1;
    } else {
        rc = static_cast<int>(e->length);
    }
    if (dbg)
        KXLOG(0, "return %d", rc);
    return rc;
}

int CFileReader::readAppleDouble(HFS_DATA_TYPE type, int handle, size_t dataOffset, char* buffer, int bufferSize) {
    const bool dbg = m_ctx->DebugAppleDouble();
    if (dbg)
        KXLOG(0, "type:%d handler:%d dataOffset:%d bufferSize:%d", static_cast<int>(type), handle,
              static_cast<int>(dataOffset), bufferSize);

    // A handle that no longer names the companion (closed behind our back,
    // or its number reused for another file) is replaced, once per item, by
    // a new one. The old number is never closed: it may belong to someone
    // else by now.
    bool stale = false;
    struct stat fst;
    if (fstat(handle, &fst) != 0)
        stale = errno == EBADF;
    else if (m_rsrcIno != 0 && (fst.st_ino != m_rsrcIno || fst.st_dev != m_rsrcDev))
        stale = true;
    AppleDouble::Result res = stale ? AppleDouble::kNoHeader : m_ad.Read(handle);
    if (res == AppleDouble::kNoHeader && (stale || errno == EBADF) && m_reopenCount == 0 && !m_rsrcFileName.empty()) {
        ++m_reopenCount;
        struct stat expect;
        memset(&expect, 0, sizeof(expect));
        expect.st_dev = m_rsrcDev;
        expect.st_ino = m_rsrcIno;
        int fd = -1;
        if (m_rsrcIno != 0) {
            fd = openCompanion(m_rsrcFileName, &expect);
        } else {
            struct stat cst;
            fd = lstatPath(m_rsrcFileName.c_str(), &cst) == 0 ? openCompanion(m_rsrcFileName, &cst) : -1;
        }
        if (fd < 0) {
            int e = errno;
            KXLOG(-1, "Failed to open %s: %s", m_rsrcFileName.c_str(), strerror(e));
            forgetStaleHandle(handle);
            errno = e;
            return -1;
        }
        KXLOG(0, "ApleDouble resource handle is invalidated. Reopened the handle again");
        m_rsrcFd = handle = fd;
        res = m_ad.Read(handle);
    } else if (stale) {
        forgetStaleHandle(handle);
        errno = EBADF;
    }
    if (res == AppleDouble::kNoHeader) {
        KXLOG(-1, "no header data in AppleDouble file");
        return -1;
    }
    if (res != AppleDouble::kOk) {
        KXLOG(-1, "no entry data in AppleDouble file");
        return -1;
    }
    if (dbg)
        logAppleDoubleTable();
    const AppleDouble::Entry* e = m_ad.Find(type);
    if (e == nullptr || e->offset == 0) {
        KXLOG(-1, "invalid offset for entry");
        errno = EINVAL;
        return -1;
    }
    if (bufferSize <= 0 || dataOffset >= e->length)
        return 0;
    size_t n = e->length - dataOffset;
    if (n > static_cast<size_t>(bufferSize))
        n = static_cast<size_t>(bufferSize);
    const off_t at = static_cast<off_t>(e->offset) + static_cast<off_t>(dataOffset);
    if (dbg)
        KXLOG(0, "seek(%ld)", static_cast<long>(at));
    ssize_t r = ruxen::preadFull(handle, buffer, n, at);
    if (dbg)
        KXLOG(0, "rc:%d", static_cast<int>(r));
    return r < 0 ? -1 : static_cast<int>(r);
}

// The companion handle no longer names the companion: drop the number
// without closing it (it may be someone else's now).
void CFileReader::forgetStaleHandle(int handle) {
    if (handle == m_rsrcFd)
        m_rsrcFd = -1;
}

long long CFileReader::GetAppleDoubleProgress() const {
    return m_llProgress > m_oHFSHdr.data_size ? m_llProgress - m_oHFSHdr.data_size : 0;
}

// -------------------------------------------------------------- the rest

long long CFileReader::getTotalSize() const {
    if (m_isStub)
        return m_recordedStubSize != 0 ? static_cast<long long>(m_recordedStubSize)
                                       : static_cast<long long>(m_stat.st_size);
    // data_size is the decoded size when the data-loss-prevention reader
    // gives one, else st_size.
    long long total = m_oHFSHdr.data_size;
    if (m_hfsRequested) {
        total += m_oHFSHdr.rsrc_size;
        if (m_oHFSHdr.isHFS & kHFSHasCompanion)
            total += static_cast<long long>(AppleDouble::kHFSBlockSize);
    }
    return total;
}

bool CFileReader::canSeek() const {
    return !m_ctx->IsFIFOBackupAllowed() && !m_appleDoubleStarted;
}

long long CFileReader::seek(long offset, int whence) {
    if (!canSeek()) {
        KXLOG(0, "seek is not supported");
        errno = ENOSYS;
        return -1;
    }
    if (m_fd < 0) {
        KXLOG(-1, "No file has been opened yet");
        errno = EBADF;
        return -1;
    }
    PerfCounter* pc = m_ctx->m_pPerfCounter;
    if (pc)
        pc->StartPerfCounter("File Seek", kStageFileSeek);
    off_t r = lseek(m_fd, static_cast<off_t>(offset), whence);
    int e = errno;
    if (pc)
        pc->StopPerfCounter("File Seek", kStageFileSeek, 0);
    if (r < 0) {
        errno = e;
        return -1;
    }
    // Before an AppleDouble part the data fork may not be left: the parts
    // that follow are delivered by position.
    if ((m_oHFSHdr.isHFS & kHFSHasCompanion) && r > m_oHFSHdr.data_size) {
        lseek(m_fd, static_cast<off_t>(m_llProgress < 0 ? 0 : m_llProgress), SEEK_SET);
        errno = EINVAL;
        return -1;
    }
    m_llProgress = r;
    return r;
}

int CFileReader::isLocked() const {
    if (m_fd < 0) {
        KXLOG(-1, "No file has been opened yet");
        errno = EBADF;
        return -1;
    }
    if (lockf(m_fd, F_TEST, 0) == 0)
        return 0;
    struct flock fl;
    memset(&fl, 0, sizeof(fl));
    fl.l_type = F_WRLCK;
    if (fcntl(m_fd, F_GETLK, &fl) < 0) {
        int e = errno;
        KXLOG(-1, "fcntl(%s, F_GETLK) failed: %s", m_path.c_str(), strerror(e));
        errno = e;
        return e == ENOENT ? -2 : -1;
    }
    const bool mandatory = (m_stat.st_mode & (S_ISGID | S_IXGRP)) == S_ISGID;
    return mandatory && fl.l_type == F_WRLCK ? 1 : 0;
}

KxLongPathHandler* CFileReader::GetLongPathHandler() {
    if (!m_longPathFetched) {
        m_longPathFetched = true;
        m_longPathHandler = KxLongPathHandler::GetHandler();
        if (m_longPathHandler == nullptr) {
            KXLOG(-1, "Long paths can not be handled by this job, will be reported as failures.");
            m_ctx->SetLongPathBackup(false);
        }
    }
    return m_longPathHandler;
}

int CFileReader::lstatPath(const char* path, struct stat* st) {
    if (m_ctx->IsLongPathBackup()) {
        if (KxLongPathHandler* h = GetLongPathHandler())
            return h->lstat_long(path, st);
    }
    return lstat_utf(path, st);
}

int CFileReader::openPath(const char* path, int flags) {
    if (m_ctx->IsLongPathBackup()) {
        if (KxLongPathHandler* h = GetLongPathHandler())
            return h->open_long(path, flags);
    }
    return open_utf(path, flags);
}

int CFileReader::lstat(const char* path, struct stat* st) {
    m_userName.clear();
    m_groupName.clear();
    return lstatPath(path, st);
}

int CFileReader::readlink(const char* path, char* buf, size_t size) {
    ssize_t r;
    KxLongPathHandler* h = m_ctx->IsLongPathBackup() ? GetLongPathHandler() : nullptr;
    if (h)
        r = h->readlink_long(path, buf, size);
    else
        r = readlink_utf(path, buf, size);
    return static_cast<int>(r);
}

int CFileReader::utime(const char* path, const struct utimbuf* times) {
    KxLongPathHandler* h = m_ctx->IsLongPathBackup() ? GetLongPathHandler() : nullptr;
    return h ? h->utime_long(path, times) : utime_utf(path, times);
}

DIR* CFileReader::opendir(const char* path) {
    KxLongPathHandler* h = m_ctx->IsLongPathBackup() ? GetLongPathHandler() : nullptr;
    return h ? h->opendir_long(path) : opendir_utf(path);
}

int CFileReader::closedir(DIR* dir) {
    return closedir_utf(dir);
}

std::string CFileReader::GetCommonStubFormat() {
    m_stubFields.version = 0;
    m_stubFields.stubType = 5;
    m_stubFields.size = static_cast<uint64_t>(m_stat.st_size);
    m_commonStubFormat = m_stubFields.ToString();
    return m_commonStubFormat;
}
