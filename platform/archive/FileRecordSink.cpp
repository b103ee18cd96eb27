#include "platform/archive/FileRecordSink.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/agent/KxLog.h"
#include "platform/base/Coding.h"
#include "platform/base/TestControl.h"

namespace {

// Room for a megabyte of staged records plus the largest record that is
// still staged, so that a staged write is never below a megabyte.
constexpr size_t kStageCapacity =
    FileRecordSink::kStageFlushBytes + FileRecordSink::kDirectWriteBytes + kArchiveStreamFrameSize;

// The most a started sink writes per system call (0: no limit), set by
// tests; a pipe that could not be grown lowers it for its sink.
std::atomic<size_t> g_writeLimit{0};

}  // namespace

FileRecordSink::FileRecordSink(const char* magic) : m_magic(magic) {}

FileRecordSink::~FileRecordSink() {
    if (m_fd >= 0) {
        KXLOG(1, "archive stream [%s] abandoned without Close: it gets no end record", m_name.c_str());
        (void)Finish(false);  // a failure has been logged
    }
    free(m_stage);
}

int FileRecordSink::Open(const char* path) {
    if (m_fd >= 0) {
        KXLOG(-1, "archive stream [%s] is already open; cannot open [%s]", m_name.c_str(), path);
        return -1;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        int err = errno;
        KXLOG(-1, "cannot open archive stream file [%s], errno %d (%s)", path, err, strerror(err));
        return -1;
    }
    return Start(fd, path, true);
}

int FileRecordSink::Attach(int fd, const char* name, bool takeOwnership) {
    if (m_fd >= 0) {
        KXLOG(-1, "archive stream [%s] is already open; cannot attach [%s]", m_name.c_str(), name);
        return -1;
    }
    if (fd < 0) {
        KXLOG(-1, "invalid descriptor %d for archive stream [%s]", fd, name);
        return -1;
    }
    return Start(fd, name, takeOwnership);
}

int FileRecordSink::Start(int fd, const char* name, bool own) {
    if (!m_stage) {
        void* p = nullptr;
        if (posix_memalign(&p, kRecordBufferAlignment, kStageCapacity) != 0) {
            KXLOG(-1, "cannot allocate the staging buffer for archive stream [%s]", name);
            if (own)
                close(fd);
            return -1;
        }
        m_stage = static_cast<char*>(p);
    }
    m_fd = fd;
    m_ownFd = own;
    m_errno = 0;
    m_name = name;
    m_bytesWritten = 0;
    m_tally = ArchiveStreamTally();
    m_endStatus = kStreamComplete;
    m_writePiece = g_writeLimit.load(std::memory_order_relaxed);
    SizePipe();
    memcpy(m_stage, m_magic, sizeof(kArchiveStreamMagic));
    ruxen::EncodeFixed32(m_stage + 4, kArchiveStreamVersion);
    m_staged = kArchiveStreamPreambleSize;
    return 0;
}

// A pipe holds 64 KiB unless asked for more: a staged write would then
// reach the reader in several turns. Growing it may be refused (the limit
// of /proc/sys/fs/pipe-max-size); the stream then goes out in pieces the
// pipe takes whole.
void FileRecordSink::SizePipe() {
    struct stat st;
    if (fstat(m_fd, &st) != 0 || !S_ISFIFO(st.st_mode))
        return;
    int size = fcntl(m_fd, F_GETPIPE_SZ);
    if (size >= static_cast<int>(kPipeBytes))
        return;
    if (fcntl(m_fd, F_SETPIPE_SZ, static_cast<int>(kPipeBytes)) >= 0)
        return;
    KXLOG(2, "pipe of archive stream [%s] stays at %d bytes (errno %d); writing %zu-byte pieces", m_name.c_str(), size,
          errno, kPipePieceBytes);
    m_writePiece = kPipePieceBytes;
}

char* FileRecordSink::Allocate(uint32_t size, uint32_t* granted) {
    if (granted)
        *granted = 0;
    if (size > kArchiveStreamMaxPayload) {
        KXLOG(-1, "record buffer of %u bytes requested for [%s]; the stream carries at most %u", size, m_name.c_str(),
              kArchiveStreamMaxPayload);
        return nullptr;
    }
    char* p = m_pool.Acquire(size);
    if (p && granted)
        *granted = size;
    return p;
}

void FileRecordSink::Free(char* buffer) { (void)m_pool.Release(buffer); }

int FileRecordSink::Fail(int err, const char* what) {
    if (m_errno == 0)
        m_errno = err ? err : EIO;
    KXLOG(-1, "%s of archive stream [%s] failed, errno %d (%s)", what, m_name.c_str(), m_errno, strerror(m_errno));
    return -1;
}

int FileRecordSink::Write(char* buffer, uint32_t type, uint32_t length) {
    size_t room = 0;
    if (!m_pool.IsOut(buffer, &room)) {
        KXLOG(-1, "record of type %u for [%s] is not in an allocated buffer", type, m_name.c_str());
        return -1;
    }
    if (length > room) {
        KXLOG(-1, "record of type %u for [%s]: length %u exceeds the %zu bytes granted", type, m_name.c_str(), length,
              room);
        return -1;
    }
    if (m_fd < 0) {
        KXLOG(-1, "record of type %u written to archive stream [%s], which is not open", type, m_name.c_str());
        return -1;
    }
    if (type == kArchiveStreamEndRecord) {
        KXLOG(-1, "record type 0x%x for [%s] is the stream's own end record", type, m_name.c_str());
        return -1;
    }
    if (m_errno)
        return -1;

    if (length >= kDirectWriteBytes) {
        char frame[kArchiveStreamFrameSize];
        ruxen::EncodeFixed32(frame, type);
        ruxen::EncodeFixed32(frame + 4, length);
        if (WriteOut(buffer, length, frame) != 0)
            return -1;
    } else {
        Stage(type, buffer, length);
        if (m_staged >= kStageFlushBytes && WriteOut(nullptr, 0, nullptr) != 0)
            return -1;
    }
    m_tally.Count(type, length);
    m_pool.Release(buffer);
    return 0;
}

void FileRecordSink::Stage(uint32_t type, const char* payload, uint32_t length) {
    char* p = m_stage + m_staged;
    ruxen::EncodeFixed32(p, type);
    ruxen::EncodeFixed32(p + 4, length);
    memcpy(p + kArchiveStreamFrameSize, payload, length);
    m_staged += kArchiveStreamFrameSize + length;
}

// Writes the staged bytes with the frame when given, then the payload by a
// write of its own: in a pipe, a payload of whole pages then begins on a page
// of the pipe's own, where behind an 8-byte frame both copies (into the pipe
// and out of it) would run misaligned. Short writes and interruptions
// continue where the kernel stopped.
int FileRecordSink::WriteOut(const char* payload, size_t payloadLength, const char* frame) {
    if (frame) {
        // The staging buffer has room: a record is staged only below kStageFlushBytes.
        memcpy(m_stage + m_staged, frame, kArchiveStreamFrameSize);
        m_staged += kArchiveStreamFrameSize;
    }
    if (m_staged > 0) {
        if (WriteAll(m_stage, m_staged) != 0)
            return -1;
        m_staged = 0;
    }
    return payloadLength > 0 ? WriteAll(payload, payloadLength) : 0;
}

// At most m_writePiece bytes per call when the pipe could not grow.
int FileRecordSink::WriteAll(const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(m_fd, p, m_writePiece ? std::min(n, m_writePiece) : n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return Fail(errno, "write");
        }
        if (w == 0)
            return Fail(EIO, "write");
        m_bytesWritten += static_cast<uint64_t>(w);
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

int FileRecordSink::Flush() {
    if (m_fd < 0 || m_errno)
        return m_errno ? -1 : 0;
    if (m_staged == 0)
        return 0;
    return WriteOut(nullptr, 0, nullptr);
}

int FileRecordSink::Close() { return Finish(true); }

int FileRecordSink::Finish(bool whole) {
    if (m_fd < 0)
        return m_errno ? -1 : 0;
    // A stream whose writes all went out ends with its counts; after a
    // failure, or when abandoned, it stays without, and every reader sees it
    // as cut short.
    if (whole && m_errno == 0) {
        char end[kArchiveStreamEndRecordSize];
        EncodeArchiveStreamEnd(end, m_tally, m_endStatus);
        Stage(kArchiveStreamEndRecord, end + kArchiveStreamFrameSize, kArchiveStreamEndPayloadSize);
    }
    (void)Flush();  // a failure is sticky in m_errno
    if (m_ownFd && close(m_fd) != 0)
        (void)Fail(errno, "close");
    m_fd = -1;
    m_ownFd = false;
    m_staged = 0;
    return m_errno ? -1 : 0;
}

void ruxen::testcontrol::LimitRecordSinkWrites(size_t bytes) { g_writeLimit.store(bytes, std::memory_order_relaxed); }

namespace {
const ruxen::testcontrol::Registration kTestReset("record sink writes",
                                                  [] { ruxen::testcontrol::LimitRecordSinkWrites(0); });
}  // namespace
