// Reading the item's bytes through the reader and sending them as data and
// hole records.
//
// Exactly the size the header declared is sent: a file that grew is cut at
// that size (its header already went out), and a file that shrank fails the
// item instead of being closed as a shorter success. A file whose
// modification or change time moved while it was read is kept and reported
// as changed. A stub sends its own bytes, whatever the size its header
// carries.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "hardlinks/HardLinkManager.h"
#include "platform/agent/KxLog.h"
#include "platform/base/Coding.h"
#include "platform/base/StopSignals.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenMessages.h"

namespace {

// Large reads straight into the pipeline buffer. Half a megabyte: a data
// record then fills half of the archive's pipe (grown to 1 MiB), so the
// reader drains one while the next is read, instead of the two taking turns
// over a full pipe (a third faster through a pipe; the same into a file).
constexpr uint64_t kDataChunkBytes = 512 * 1024;

uint64_t roundUp(uint64_t n, uint64_t align) { return align > 1 ? (n + align - 1) / align * align : n; }

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

// A stop asked for while a large item is read: the item fails (its header is
// out, so it is closed as failed) and the stream stops before the next one.
bool RuxenFile::Interrupted(FILE* failures) {
    const int sig = ruxen::StopRequested();
    if (sig == 0)
        return false;
    char why[64];
    snprintf(why, sizeof(why), kReasonInterrupted, sig);
    ReportItemFailure(failures, m_item.recordedPath.c_str(), EINTR, why);
    return true;
}

int RuxenFile::SendHoleRecords(uint64_t size) {
    while (size > 0) {
        uint32_t n = size > kMaxHoleRecordBytes ? kMaxHoleRecordBytes : static_cast<uint32_t>(size);
        char* buf = AllocateRecord(4);
        if (!buf)
            return kFailStream;
        ruxen::EncodeFixed32(buf, n);
        if (SendRecord(PL_FS_HOLE, 4) != 0)
            return kFailStream;
        size -= n;
    }
    return kItemGoOn;
}

int RuxenFile::SendDataRange(uint64_t pos, uint64_t end, FILE* failures) {
    CFileReader& reader = *m_reader;
    // Whole multiples of the alignment, so that direct I/O can read into the
    // buffer; a longer read at the end is trimmed to what is declared.
    const uint64_t align = m_readerContext->GetBufAlignSize();
    while (pos < end) {
        if (Interrupted(failures))
            return kItemSkipped;
        uint64_t want = end - pos < kDataChunkBytes ? end - pos : kDataChunkBytes;
        uint64_t room = roundUp(want, align);
        char* buf = AllocateRecord(static_cast<unsigned>(room));
        if (!buf)
            return kFailStream;
        int n = reader.read(buf, static_cast<size_t>(room));
        if (n <= 0) {
            int e = n < 0 ? (errno ? errno : EIO) : ENODATA;
            FreeKXArchiveBuffer();
            char why[160];
            if (n == 0)
                snprintf(why, sizeof(why), kReasonShrank, static_cast<unsigned long long>(pos),
                         static_cast<unsigned long long>(m_item.header.h_filesize));
            else
                snprintf(why, sizeof(why), "read failed: %s", strerror(e));
            ReportItemFailure(failures, m_item.recordedPath.c_str(), e, why);
            return kItemSkipped;
        }
        uint64_t got = static_cast<uint64_t>(n) > want ? want : static_cast<uint64_t>(n);
        if (SendRecord(PL_FS_DATA, static_cast<unsigned>(got)) != 0)
            return kFailStream;
        pos += got;
        m_counters.dataBytesSent += got;
    }
    return kItemGoOn;
}

int RuxenFile::SendStubData(FILE* failures) {
    for (;;) {
        if (Interrupted(failures))
            return kItemSkipped;
        char* buf = AllocateRecord(static_cast<unsigned>(kDataChunkBytes));
        if (!buf)
            return kFailStream;
        int n = m_reader->read(buf, kDataChunkBytes);
        if (n <= 0) {
            FreeKXArchiveBuffer();
            if (n == 0)
                return kItemGoOn;
            int e = errno ? errno : EIO;
            ReportItemFailure(failures, m_item.recordedPath.c_str(), e, "cannot read the stub data");
            return kItemSkipped;
        }
        if (SendRecord(PL_FS_DATA, static_cast<unsigned>(n)) != 0)
            return kFailStream;
        m_counters.dataBytesSent += static_cast<uint64_t>(n);
    }
}

int RuxenFile::ReadAndSendFileData(FILE* failures) {
    // A member of a hard-link group: the group's data travels once, under
    // its phony name, from the hard-link collect file; this item names it.
    if (HardLinkCandidate() && NamesGroupData()) {
        m_item.phonyHLName = HardLinkManager::GeneratePhonyFileNameUsingStat(m_item.st);
        m_item.phonyNameFlag = true;
        return kItemGoOn;
    }
    if (m_item.type != fTypeRegular)
        return kItemGoOn;
    if (!m_item.open || !m_reader) {
        ReportItemFailure(failures, m_item.recordedPath.c_str(), EBADF, "the item is not open");
        return kItemSkipped;
    }
    CFileReader& reader = *m_reader;
    int r = kItemGoOn;
    if (reader.isStub()) {
        return SendStubData(failures);
    }

    const uint64_t size = m_item.header.h_filesize;
    // The data fork; an AppleDouble part (resource fork and properties)
    // follows it when the item has a companion file.
    const bool appleDouble = (reader.isHFS() & CFileReader::kHFSHasCompanion) != 0;
    uint64_t dataEnd = appleDouble ? static_cast<uint64_t>(reader.getDataSize()) : size;
    if (dataEnd > size)
        dataEnd = size;
    uint64_t pos = 0;

    // Only a file with fewer allocated blocks than its size can have holes;
    // asking for them elsewhere costs two system calls per file for nothing.
    const bool sparse = static_cast<unsigned long long>(m_item.st.st_blocks) * 512ull <
                            static_cast<unsigned long long>(m_item.st.st_size) &&
                        reader.canSeek();
    if (sparse) {
        while (pos < dataEnd && r == kItemGoOn) {
            long long data = reader.seek(static_cast<long>(pos), SEEK_DATA);
            uint64_t dataStart;
            if (data >= 0)
                dataStart = static_cast<uint64_t>(data);
            else if (errno == ENXIO)
                dataStart = dataEnd;  // no data after pos: the rest is a hole
            else
                dataStart = pos;  // no hole support: read it all
            if (dataStart > dataEnd)
                dataStart = dataEnd;
            if (dataStart > pos) {
                reader.setIsHole(true);
                r = SendHoleRecords(dataStart - pos);
                pos = dataStart;
            }
            if (r != kItemGoOn || pos >= dataEnd)
                break;
            long long hole = reader.seek(static_cast<long>(pos), SEEK_HOLE);
            uint64_t segmentEnd = hole < 0 ? dataEnd : static_cast<uint64_t>(hole);
            if (segmentEnd > dataEnd || segmentEnd <= pos)
                segmentEnd = dataEnd;
            if (reader.seek(static_cast<long>(pos), SEEK_SET) < 0) {
                int e = errno ? errno : EIO;
                ReportItemFailure(failures, m_item.recordedPath.c_str(), e, "cannot seek in the item");
                return kItemSkipped;
            }
            r = SendDataRange(pos, segmentEnd, failures);
            pos = segmentEnd;
        }
        // A hole at the end of the data fork: the AppleDouble part starts
        // where the data fork ends.
        if (r == kItemGoOn && appleDouble && reader.seek(static_cast<long>(dataEnd), SEEK_SET) < 0)
            r = kItemSkipped;
    } else {
        r = SendDataRange(0, dataEnd, failures);
    }
    if (r == kItemGoOn && dataEnd < size)
        r = SendDataRange(dataEnd, size, failures);
    if (r != kItemGoOn)
        return r;

    // The header went out with the stat taken before the read. Holes answer
    // no read, so a file that shrank into one shows only here, and fails; a
    // file rewritten meanwhile is kept (its data is what was read) but
    // reported.
    struct stat now;
    if (reader.statOpenFile(&now) != 0) {
        KXLOG(1, "cannot stat %s after reading it: %s", m_item.recordedPath.c_str(), strerror(errno));
        return kItemGoOn;
    }
    if (sparse && static_cast<uint64_t>(now.st_size) < dataEnd) {
        char why[160];
        snprintf(why, sizeof(why), kReasonShrank, static_cast<unsigned long long>(now.st_size),
                 static_cast<unsigned long long>(size));
        ReportItemFailure(failures, m_item.recordedPath.c_str(), ENODATA, why);
        return kItemSkipped;
    }
    // Against the stat the item was opened with: a hard-link group's header
    // carries the change time the scan recorded, which a link made or
    // removed since then moves without touching the data.
    const struct stat& opened = reader.GetItemStat();
    if (!sameTime(now.st_mtim, opened.st_mtim) || !sameTime(now.st_ctim, opened.st_ctim))
        ReportItemChanged(m_item.recordedPath.c_str());
    return kItemGoOn;
}
