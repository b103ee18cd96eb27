// Reading the item's bytes and sending them as data and hole records.
//
// Exactly the size the header declared is sent: a file that grew is cut at
// that size (its header already went out), and a file that shrank fails the
// item instead of being closed as a shorter success.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "platform/KxLog.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenMessages.h"

namespace {
// Large reads straight into the pipeline buffer.
constexpr uint64_t kDataChunkBytes = 1024 * 1024;
}  // namespace

int RuxenFile::SendHoleRecords(uint64_t size) {
    while (size > 0) {
        uint32_t n = size > kMaxHoleRecordBytes ? kMaxHoleRecordBytes : static_cast<uint32_t>(size);
        char* buf = AllocateRecord(4);
        if (!buf)
            return 2;
        uint32_t net = htonl(n);
        memcpy(buf, &net, 4);
        if (SendRecord(PL_FS_HOLE, 4) != 0)
            return 2;
        size -= n;
    }
    return 0;
}

int RuxenFile::SendDataRange(int fd, uint64_t pos, uint64_t end) {
    while (pos < end) {
        uint64_t want = end - pos < kDataChunkBytes ? end - pos : kDataChunkBytes;
        char* buf = AllocateRecord(static_cast<unsigned>(want));
        if (!buf)
            return 2;
        ssize_t n;
        do {
            n = pread(fd, buf, static_cast<size_t>(want), static_cast<off_t>(pos));
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            int e = n < 0 ? errno : ENODATA;
            FreeKXArchiveBuffer();
            char why[160];
            if (n == 0)
                snprintf(why, sizeof(why), kReasonShrank, static_cast<unsigned long long>(pos),
                         static_cast<unsigned long long>(m_header.h_filesize));
            else
                snprintf(why, sizeof(why), "read failed: %s", strerror(e));
            ReportItemFailure(m_failuresFile, m_recordedPath.c_str(), e, why);
            return -1;
        }
        if (SendRecord(PL_FS_DATA, static_cast<unsigned>(n)) != 0)
            return 2;
        pos += static_cast<uint64_t>(n);
        m_dataBytesSent += static_cast<uint64_t>(n);
    }
    return 0;
}

int RuxenFile::ReadAndSendFileData(FILE* failures) {
    if (m_itemType != fTypeRegular)
        return 0;
    if (m_itemFd < 0) {
        ReportItemFailure(failures, m_recordedPath.c_str(), EBADF, "the item is not open");
        return -1;
    }
    m_failuresFile = failures;
    const uint64_t size = m_header.h_filesize;
    const int fd = m_itemFd;
    uint64_t pos = 0;
    int r = 0;

    // Only a file with fewer allocated blocks than its size can have holes;
    // asking for them elsewhere costs two system calls per file for nothing.
    const bool sparse = static_cast<unsigned long long>(m_stat.st_blocks) * 512ull <
                        static_cast<unsigned long long>(m_stat.st_size);
    if (sparse) {
        while (pos < size && r == 0) {
            off_t data = lseek(fd, static_cast<off_t>(pos), SEEK_DATA);
            uint64_t dataStart;
            if (data >= 0) {
                dataStart = static_cast<uint64_t>(data);
            } else if (errno == ENXIO) {
                dataStart = size;  // no data after pos: the rest is a hole
            } else {
                dataStart = pos;  // no hole support: read it all
            }
            if (dataStart > size)
                dataStart = size;
            if (dataStart > pos) {
                r = SendHoleRecords(dataStart - pos);
                pos = dataStart;
            }
            if (r != 0 || pos >= size)
                break;
            off_t hole = lseek(fd, static_cast<off_t>(pos), SEEK_HOLE);
            uint64_t dataEnd = hole < 0 ? size : static_cast<uint64_t>(hole);
            if (dataEnd > size || dataEnd <= pos)
                dataEnd = size;
            r = SendDataRange(fd, pos, dataEnd);
            pos = dataEnd;
        }
    } else {
        r = SendDataRange(fd, 0, size);
    }
    m_failuresFile = nullptr;
    if (r != 0)
        return r;

    // Holes answer no read, so a file that shrank into a hole shows only here.
    struct stat now;
    if (sparse && fstat(fd, &now) == 0 && static_cast<uint64_t>(now.st_size) < size) {
        char why[160];
        snprintf(why, sizeof(why), kReasonShrank, static_cast<unsigned long long>(now.st_size),
                 static_cast<unsigned long long>(size));
        ReportItemFailure(failures, m_recordedPath.c_str(), ENODATA, why);
        return -1;
    }
    return 0;
}
