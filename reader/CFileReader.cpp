// The reader's life cycle, opening, reading, seeking and the lock test.
#include "reader/CFileReader.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/agent/KxLog.h"
#include "platform/agent/PerfCounter.h"
#include "platform/base/StopSignals.h"
#include "platform/hsm/DlpBackupReader.h"
#include "platform/os/AMTimePreserver.h"
#include "platform/os/ReadCacheAdvise.h"
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

CFileReader::CFileReader(const std::shared_ptr<CFileReaderContext>& context)
    : m_ctx(context), m_companion([this](const char* path, int flags) { return openPath(path, flags); }) {
    memset(&m_stat, 0, sizeof(m_stat));
    if (!m_ctx) {
        m_ctx = std::make_shared<CFileReaderContext>();
        m_ctx->InitHSM();
    }
}

CFileReader::CFileReader() : CFileReader(std::shared_ptr<CFileReaderContext>()) {}

CFileReader::~CFileReader() { closeFile(); }

// ---------------------------------------------------------------- initialize

bool CFileReader::contentsAreRead(mode_t type) const {
    switch (type) {
    case S_IFREG:
        return true;
    case S_IFIFO:
        // Only when the job backs up FIFO contents: an open FIFO wakes a
        // writer waiting for a reader, which then dies of SIGPIPE when the
        // item is closed unread.
        return m_ctx->IsFIFOBackupAllowed();
    case S_IFLNK:
    case S_IFCHR:
    case S_IFBLK:
        // A device is read only as a raw device (a link's data is its
        // target): opening a tape can rewind it, and a node without a driver
        // or a terminal fails or blocks.
        return m_ctx->IsLink2RawDev();
    default:
        return false;  // directories, sockets
    }
}

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
        attach(new AMTimePreserver(new CoreInodePropPreserver<struct stat>(m_path, m_stat), &m_dirs));
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
        if (!contentsAreRead(type))
            return 0;

        if (openFile(path) < 0)
            return -1;
        m_dlp = m_ctx->GetDLPReader();
        m_dlp->setFd(m_fd.get(), path);
        if (m_openType == S_IFREG && m_ctx->UsingCacheAdvise()) {
            m_advise = m_ctx->GetCacheAdvise();
            if (m_advise)
                m_advise->begin(m_fd.get(), m_directIO, m_stat.st_size);
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
    if (hfs && !catalogOnly && type == S_IFREG && m_fd.valid())
        return initAppleDouble(preserveTimes);
    return 0;
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
    // would otherwise hang the stream here. A terminal never becomes the
    // process's controlling terminal.
    int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (!rawDevLink)
        flags |= O_NOFOLLOW;
    m_directIO = false;
    if (m_ctx->ShouldUseDirectIO() && (want == S_IFREG || want == 0)) {
        flags |= O_DIRECT;
        m_directIO = true;
    }
    if (m_ctx->IsNoATimeUpdate())
        flags |= O_NOATIME;

    ScopedFd fd;
    for (;;) {
        fd.reset(openPath(path, flags));
        if (fd.valid())
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
        if ((e == EAGAIN || e == EWOULDBLOCK) && want == S_IFREG) {
            // Under a write lease (a file server's oplock or delegation) an
            // open is refused until the holder lets go, which the kernel has
            // now asked it to do. A blocking open would wait the kernel's
            // lease-break time (45 s by default) for every such file; the
            // wait here is bounded.
            fd.reset(openUnderLease(path, flags));
            if (fd.valid())
                break;
            e = errno;
        }
        KXLOG(-1, "Failed to open %s: %s", path, strerror(e));
        m_directIO = false;
        return -1;
    }

    // The handle must be the item the caller stat-ed.
    struct stat fst;
    if (m_ctx->FileOps().fstat(fd.get(), &fst) != 0) {
        KXLOG(-1, "fstat(%s) failed: %s", path, strerror(errno));
        m_directIO = false;
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
        m_directIO = false;
        errno = ESTALE;
        return -1;
    }
    m_openType = got;

    // A FIFO or a device, whose reads heed O_NONBLOCK, is read in blocking
    // mode from the start. A regular file keeps the flag, which a read of
    // one almost never heeds: the read that answers EAGAIN clears it
    // (readData), and every other file is spared a system call.
    const bool fifo = got == S_IFIFO;
    if (fifo && m_ctx->IsFIFOBackupAllowed())
        KXLOG(1, "Setting back fifofile [%s] in blocking mode ", path);
    m_nonBlocking = (flags & O_NONBLOCK) != 0;
    if (m_nonBlocking && got != S_IFREG && (!fifo || m_ctx->IsFIFOBackupAllowed())) {
        // F_SETFL changes only the status flags, so the open flags serve
        // without asking F_GETFL.
        if (fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) == 0)
            m_nonBlocking = false;
        else if (fifo)
            KXLOG(-1, "Failed to change the FIFO file [%s] to nonblocking errno =[%d]", path, errno);
        else
            KXLOG(1, "cannot switch %s to blocking mode: %s", path, strerror(errno));
    }
    m_fd = std::move(fd);
    return m_fd.get();
}

int CFileReader::openUnderLease(const char* path, int flags) {
    const long bound = m_ctx->LeaseBreakWaitSeconds();
    KXLOG(1, "%s is under a write lease: waiting up to %ld s for its holder to let go", path, bound);
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    long pauseUs = 1000;
    for (;;) {
        const int fd = openPath(path, flags);
        if (fd >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return fd;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long waitedUs = (now.tv_sec - start.tv_sec) * 1000000L + (now.tv_nsec - start.tv_nsec) / 1000;
        if (ruxen::StopRequested() != 0) {
            errno = EINTR;  // the job stops: no more waiting
            return -1;
        }
        if (waitedUs >= bound * 1000000L) {
            KXLOG(-1, "%s: the write lease on it was not released within %ld s", path, bound);
            errno = EWOULDBLOCK;
            return -1;
        }
        usleep(static_cast<useconds_t>(std::min(pauseUs, bound * 1000000L - waitedUs)));
        pauseUs = std::min(pauseUs * 2, 100000L);
    }
}

// ---------------------------------------------------------------- closeFile

void CFileReader::closeFile() {
    if (m_fd.valid()) {
        if (m_advise)
            m_advise->end(m_fd.get());
        if (m_dlp)
            m_dlp->setFd(-1, "");
        m_fd.reset();
    }
    m_companion.Close();
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
    m_openType = 0;
    m_nonBlocking = false;
    m_advise = nullptr;
    if (m_ctx->IsTurboMode() && !m_ctx->IsEarlyStubBackup())
        m_stubData.clear();
}

void CFileReader::attach(InodePropPreserverImpl* preserver) {
    if (preserver)
        m_observers.emplace_back(preserver);
}

void CFileReader::notify() {
    for (std::unique_ptr<InodePropPreserverImpl>& p : m_observers)
        p->reset();
    m_observers.clear();
}

// --------------------------------------------------------------------- read

int CFileReader::read(char* buf, size_t size) {
    if (m_isStub)
        return readStub(buf, size);
    if (!m_fd.valid()) {
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

void CFileReader::clearDirectIO() {
    int fl = fcntl(m_fd.get(), F_GETFL);
    if (fl >= 0 && (fl & O_DIRECT))
        fcntl(m_fd.get(), F_SETFL, fl & ~O_DIRECT);
    m_directIO = false;
}

// A read answered EAGAIN: the handle waits from now on, as any reader of the
// item does. False, with errno EAGAIN, when the flag cannot be cleared.
bool CFileReader::clearNonBlocking() {
    m_nonBlocking = false;
    int fl = fcntl(m_fd.get(), F_GETFL);
    if (fl < 0 || fcntl(m_fd.get(), F_SETFL, fl & ~O_NONBLOCK) < 0) {
        KXLOG(1, "cannot switch %s to blocking mode: %s", m_path.c_str(), strerror(errno));
        errno = EAGAIN;
        return false;
    }
    return true;
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
    CFileReaderOps& ops = m_ctx->FileOps();
    PerfCounter* pc = m_ctx->m_pPerfCounter;
    if (pc) {
        pc->StartPerfCounter("DLP::Read", kStageDlpRead);
        pc->StartPerfCounter("DLP::ReadSpeed", kStageDlpReadSpeed);
    }
    if (m_advise)
        m_advise->willRead(m_fd.get(), static_cast<off_t>(m_llProgress));
    ssize_t r;
    for (;;) {  // each retry clears a flag: at most two
        r = ops.read(*m_dlp, m_fd.get(), buf, len);
        if (r >= 0)
            break;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && m_nonBlocking && clearNonBlocking())
            continue;
        if (errno == EINVAL && m_directIO) {
            // The file system, the offset or the buffer does not suit O_DIRECT.
            clearDirectIO();
            len = n;
            continue;
        }
        break;
    }
    if (pc) {
        pc->StopPerfCounter("DLP::Read", kStageDlpRead, 0);
        pc->StopPerfCounter("DLP::ReadSpeed", kStageDlpReadSpeed, r > 0 ? static_cast<unsigned long long>(r) : 0);
    }
    if (r < 0) {
        KXLOG(-1, "CFileReader::read(): read call failure, errno=%d", errno);
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
        m_advise->note(m_fd.get(), static_cast<off_t>(m_llProgress), static_cast<size_t>(r));
        if (pc)
            pc->StopPerfCounter("CacheAdvice", kStageCacheAdvice, 0);
    }
    m_llProgress += r;
    if (m_ctx->DebugAppleDouble())
        KXLOG(0, "::read return %lld bytes", static_cast<long long>(r));
    return static_cast<int>(r);
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

bool CFileReader::canSeek() const { return !m_ctx->IsFIFOBackupAllowed() && !m_appleDoubleStarted; }

long long CFileReader::seek(long offset, int whence) {
    if (!canSeek()) {
        KXLOG(0, "seek is not supported");
        errno = ENOSYS;
        return -1;
    }
    if (!m_fd.valid()) {
        KXLOG(-1, "No file has been opened yet");
        errno = EBADF;
        return -1;
    }
    CFileReaderOps& ops = m_ctx->FileOps();
    PerfCounter* pc = m_ctx->m_pPerfCounter;
    if (pc)
        pc->StartPerfCounter("File Seek", kStageFileSeek);
    off_t r = ops.lseek(m_fd.get(), static_cast<off_t>(offset), whence);
    if (pc)
        pc->StopPerfCounter("File Seek", kStageFileSeek, 0);
    if (r < 0)
        return -1;
    // Before an AppleDouble part the data fork may not be left: the parts
    // that follow are delivered by position.
    if ((m_oHFSHdr.isHFS & kHFSHasCompanion) && r > m_oHFSHdr.data_size) {
        ops.lseek(m_fd.get(), static_cast<off_t>(m_llProgress < 0 ? 0 : m_llProgress), SEEK_SET);
        errno = EINVAL;
        return -1;
    }
    m_llProgress = r;
    return r;
}

int CFileReader::statOpenFile(struct stat* st) const {
    if (!m_fd.valid()) {
        errno = EBADF;
        return -1;
    }
    return m_ctx->FileOps().fstat(m_fd.get(), st);
}

int CFileReader::isLocked() const {
    if (!m_fd.valid()) {
        KXLOG(-1, "No file has been opened yet");
        errno = EBADF;
        return -1;
    }
    // A lock bars reading only where the kernel enforces it: on a file
    // system mounted with mandatory locking (Linux enforces none since
    // 5.15). Elsewhere the file is read whoever holds a lock.
    struct statvfs vfs;
    if (m_ctx->FileOps().fstatvfs(m_fd.get(), &vfs) == 0 && !(vfs.f_flag & ST_MANDLOCK))
        return 0;
    if (lockf(m_fd.get(), F_TEST, 0) == 0)
        return 0;
    struct flock fl;
    memset(&fl, 0, sizeof(fl));
    fl.l_type = F_WRLCK;
    if (fcntl(m_fd.get(), F_GETLK, &fl) < 0) {
        int e = errno;
        KXLOG(-1, "fcntl(%s, F_GETLK) failed: %s", m_path.c_str(), strerror(e));
        return e == ENOENT ? -2 : -1;
    }
    const bool mandatory = (m_stat.st_mode & (S_ISGID | S_IXGRP)) == S_ISGID;
    return mandatory && fl.l_type == F_WRLCK ? 1 : 0;
}
