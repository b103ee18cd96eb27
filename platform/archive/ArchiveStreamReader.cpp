#include "platform/archive/ArchiveStreamReader.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/base/Coding.h"
#include "platform/base/KxTypes.h"

namespace {

constexpr size_t kReadAheadBytes = 256 * 1024;
const char kEmpty[1] = {0};

using ruxen::ULL;

}  // namespace

ArchiveStreamReader::ArchiveStreamReader(const char* magic) : m_magic(magic) {}

ArchiveStreamReader::~ArchiveStreamReader() { Reset(""); }

void ArchiveStreamReader::Reset(const char* name) {
    if (m_ownFd && m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_ownFd = false;
    m_readErrno = 0;
    m_mem = nullptr;
    m_memSize = 0;
    m_open = false;
    m_ended = false;
    m_endOffset = 0;
    m_endLength = 0;
    m_endStatus = kArchiveStreamStatusUnknown;
    m_tally = ArchiveStreamTally();
    m_offset = 0;
    m_current = ArchiveRecord();
    m_remaining = 0;
    m_readPos = m_readLen = 0;
    m_error.clear();
    m_name = name;
}

bool ArchiveStreamReader::SetError(const char* fmt, ...) {
    if (!m_error.empty())
        return false;  // the first error is the one that counts
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    m_error = buf;
    return false;
}

bool ArchiveStreamReader::OpenFile(const char* path) {
    Reset(path);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return SetError("cannot open: %s", strerror(errno));
    m_fd = fd;
    m_ownFd = true;
    if (m_readBuf.size() < kReadAheadBytes)
        m_readBuf.resize(kReadAheadBytes);
    return ReadPreamble();
}

bool ArchiveStreamReader::OpenFd(int fd, const char* name) {
    Reset(name);
    if (fd < 0)
        return SetError("invalid descriptor %d", fd);
    m_fd = fd;
    if (m_readBuf.size() < kReadAheadBytes)
        m_readBuf.resize(kReadAheadBytes);
    return ReadPreamble();
}

bool ArchiveStreamReader::OpenMemory(const void* data, size_t size, const char* name) {
    Reset(name);
    m_mem = data ? static_cast<const char*>(data) : kEmpty;
    m_memSize = data ? size : 0;
    return ReadPreamble();
}

bool ArchiveStreamReader::ReadPreamble() {
    char pre[kArchiveStreamPreambleSize];
    size_t got = Pull(pre, sizeof(pre));
    if (got < sizeof(pre)) {
        if (m_readErrno)
            return SetError("read error at offset %zu: %s", got, strerror(m_readErrno));
        return SetError("truncated stream: it ends at offset %zu, inside the %zu-byte preamble", got,
                        kArchiveStreamPreambleSize);
    }
    if (memcmp(pre, m_magic, sizeof(kArchiveStreamMagic)) != 0) {
        const unsigned char* u = reinterpret_cast<const unsigned char*>(pre);
        return SetError("bad magic at offset 0: %02x %02x %02x %02x, expected \"%.4s\"", u[0], u[1], u[2], u[3],
                        m_magic);
    }
    uint32_t version = ruxen::DecodeFixed32(pre + 4);
    if (version != kArchiveStreamVersion)
        return SetError("unsupported format version %u at offset 4 (this reader knows %u)", version,
                        kArchiveStreamVersion);
    m_open = true;
    return true;
}

size_t ArchiveStreamReader::Pull(char* dst, size_t n) {
    if (m_mem) {
        size_t avail = m_memSize - static_cast<size_t>(m_offset);
        size_t c = std::min(n, avail);
        memcpy(dst, m_mem + m_offset, c);
        m_offset += c;
        return c;
    }
    size_t got = 0;
    while (got < n) {
        if (m_readPos < m_readLen) {
            size_t c = std::min(n - got, m_readLen - m_readPos);
            memcpy(dst + got, m_readBuf.data() + m_readPos, c);
            m_readPos += c;
            got += c;
            continue;
        }
        // Large reads go straight to the destination; small ones refill
        // the read-ahead so that frames do not cost a system call each.
        bool direct = n - got >= m_readBuf.size();
        ssize_t r = direct ? read(m_fd, dst + got, n - got) : read(m_fd, m_readBuf.data(), m_readBuf.size());
        if (r < 0) {
            if (errno == EINTR)
                continue;
            m_readErrno = errno;
            break;
        }
        if (r == 0)
            break;
        if (direct) {
            got += static_cast<size_t>(r);
        } else {
            m_readPos = 0;
            m_readLen = static_cast<size_t>(r);
        }
    }
    m_offset += got;
    return got;
}

bool ArchiveStreamReader::TruncatedPayload() {
    if (m_readErrno)
        return SetError("read error at offset %llu: %s", ULL(m_offset), strerror(m_readErrno));
    return SetError(
        "truncated payload: record at offset %llu (type %u) declares %u bytes, the stream ends at "
        "offset %llu",
        ULL(m_current.offset), m_current.type, m_current.length, ULL(m_offset));
}

ArchiveStreamReader::Status ArchiveStreamReader::Next(ArchiveRecord* record) {
    if (Failed())
        return kError;
    if (!m_open) {
        SetError("stream is not open");
        return kError;
    }
    if (m_ended)
        return kEnd;
    if (m_remaining > 0 && !SkipRest())
        return kError;
    uint64_t at = m_offset;
    char frame[kArchiveStreamFrameSize];
    size_t got = Pull(frame, sizeof(frame));
    if (got == 0 && !m_readErrno) {
        SetError("truncated stream: it ends at offset %llu without its end record", ULL(at));
        return kError;
    }
    if (got < sizeof(frame)) {
        if (m_readErrno)
            SetError("read error at offset %llu: %s", ULL(m_offset), strerror(m_readErrno));
        else
            SetError("truncated record frame at offset %llu: %zu of %zu bytes", ULL(at), got, kArchiveStreamFrameSize);
        return kError;
    }
    m_current.type = ruxen::DecodeFixed32(frame);
    m_current.length = ruxen::DecodeFixed32(frame + 4);
    m_current.offset = at;
    if (m_current.type == kArchiveStreamEndRecord)
        return ReadEnd(at, m_current.length) ? kEnd : kError;
    if (m_current.length > kArchiveStreamMaxPayload) {
        SetError("record at offset %llu (type %u): payload length %u exceeds the maximum of %u", ULL(at),
                 m_current.type, m_current.length, kArchiveStreamMaxPayload);
        return kError;
    }
    m_remaining = m_current.length;
    m_tally.Count(m_current.type, m_current.length);
    if (record)
        *record = m_current;
    return kRecord;
}

// The end record: its counts must be those of the records before it, and
// nothing may follow it. An older writer's has no status.
bool ArchiveStreamReader::ReadEnd(uint64_t at, uint32_t length) {
    if (length != kArchiveStreamEndPayloadSize && length != kArchiveStreamOldEndPayloadSize)
        return SetError("end record at offset %llu: payload length %u, expected %u (or %u of an older writer)", ULL(at),
                        length, kArchiveStreamEndPayloadSize, kArchiveStreamOldEndPayloadSize);
    char payload[kArchiveStreamEndPayloadSize];
    size_t got = Pull(payload, length);
    if (got < length) {
        if (m_readErrno)
            return SetError("read error at offset %llu: %s", ULL(m_offset), strerror(m_readErrno));
        return SetError("truncated end record at offset %llu: %zu of %u payload bytes", ULL(at), got, length);
    }
    uint64_t items = ruxen::DecodeFixed64(payload);
    uint64_t dataBytes = ruxen::DecodeFixed64(payload + 8);
    if (items != m_tally.items || dataBytes != m_tally.dataBytes)
        return SetError(
            "end record at offset %llu counts %llu items and %llu data bytes; the stream "
            "holds %llu items and %llu data bytes",
            ULL(at), ULL(items), ULL(dataBytes), ULL(m_tally.items), ULL(m_tally.dataBytes));
    uint64_t endOfRecord = m_offset;
    char extra;
    if (Pull(&extra, 1) != 0 || m_readErrno) {
        if (m_readErrno)
            return SetError("read error at offset %llu: %s", ULL(m_offset), strerror(m_readErrno));
        return SetError("bytes after the end record, from offset %llu", ULL(endOfRecord));
    }
    m_ended = true;
    m_endOffset = at;
    m_endLength = length;
    m_endStatus =
        length == kArchiveStreamEndPayloadSize ? ruxen::DecodeFixed32(payload + 16) : kArchiveStreamStatusUnknown;
    return true;
}

bool ArchiveStreamReader::Take(size_t n, const char** data) {
    if (m_mem) {
        size_t avail = m_memSize - static_cast<size_t>(m_offset);
        if (avail < n) {
            m_offset = m_memSize;
            m_remaining = 0;
            return TruncatedPayload();
        }
        *data = m_mem + m_offset;
        m_offset += n;
        m_remaining -= static_cast<uint32_t>(n);
        return true;
    }
    // From a descriptor the buffer grows as bytes arrive, so a length that
    // promises more than the stream holds costs no more than what is there.
    size_t have = 0;
    while (have < n) {
        size_t step = std::min(n - have, std::max(have, kChunkBytes));
        if (m_payload.size() < have + step)
            m_payload.resize(have + step);
        size_t got = Pull(m_payload.data() + have, step);
        have += got;
        m_remaining -= static_cast<uint32_t>(got);
        if (got < step) {
            m_remaining = 0;
            return TruncatedPayload();
        }
    }
    *data = n ? m_payload.data() : kEmpty;
    return true;
}

bool ArchiveStreamReader::ReadPayload(const char** data, size_t* length) {
    *data = kEmpty;
    *length = 0;
    if (Failed() || !m_open)
        return SetError("stream is not open");
    size_t n = m_remaining;
    if (!Take(n, data))
        return false;
    *length = n;
    return true;
}

bool ArchiveStreamReader::ReadChunk(const char** data, size_t* length) {
    *data = kEmpty;
    *length = 0;
    if (Failed() || !m_open)
        return SetError("stream is not open");
    size_t n = std::min<size_t>(m_remaining, kChunkBytes);
    if (n == 0)
        return true;
    if (!Take(n, data))
        return false;
    *length = n;
    return true;
}

bool ArchiveStreamReader::SkipRest() {
    if (m_mem) {
        size_t avail = m_memSize - static_cast<size_t>(m_offset);
        if (avail < m_remaining) {
            m_offset = m_memSize;
            m_remaining = 0;
            return TruncatedPayload();
        }
        m_offset += m_remaining;
        m_remaining = 0;
        return true;
    }
    while (m_remaining > 0) {
        if (m_readPos < m_readLen) {
            size_t c = std::min<size_t>(m_remaining, m_readLen - m_readPos);
            m_readPos += c;
            m_offset += c;
            m_remaining -= static_cast<uint32_t>(c);
            continue;
        }
        ssize_t r = read(m_fd, m_readBuf.data(), m_readBuf.size());
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (r < 0)
                m_readErrno = errno;
            m_remaining = 0;
            return TruncatedPayload();
        }
        m_readPos = 0;
        m_readLen = static_cast<size_t>(r);
    }
    return true;
}
