// The database browse-view sender: the records with which a database agent
// puts its browse view of a database on the archive stream, each item a
// header (128), optional index metadata (159) and an end-of-item record
// (130 or 134), sent through the archive client or the pipeline layer.
//
// Results: 0 success; kNoBuffer when no buffer could be had; the buffer
// service's status when a write failed; kBufferTooSmall when the buffer
// granted cannot hold the record; EINVAL for a null or empty path and
// ENAMETOOLONG for a path that does not fit the header's name field.
// Whatever fails, no buffer stays held.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/base/Export.h"

class CPipelayer;
class KXArchive;
namespace IdxMetadata {
class IdxMetaData;
}

class RUXEN_EXPORT dbArchiveHelper {
public:
    static constexpr int kNoBuffer = -1;
    static constexpr int kBufferTooSmall = 7;

    // The client or layer is not owned and must outlive the sender.
    explicit dbArchiveHelper(KXArchive* archive) : m_archive(archive) {}
    explicit dbArchiveHelper(CPipelayer* pipelayer) : m_pipelayer(pipelayer) {}
    dbArchiveHelper(const dbArchiveHelper&) = delete;
    dbArchiveHelper& operator=(const dbArchiveHelper&) = delete;

    // The modification and change time of the headers that follow; without
    // one (or after clearTime) each header carries the time it is sent.
    void setTime(time_t t) {
        m_time = t;
        m_hasTime = true;
    }
    void clearTime() { m_hasTime = false; }

    // A regular-file header (mode 0x8000, one link, owner and group 0,
    // separator "/") for `path` with the given size, collect offset and
    // flag bits, as a record 128 of 1160 bytes in network order.
    int sendFileHeader(const char* path, unsigned long long size, long long collectOffset,
                       unsigned long long platformFlags, uint32_t portableFlags);
    // An empty end-of-item record: 130 for success, 134 otherwise.
    int sendEOF(bool success);
    // The encoded message as one record 159; a message that encodes to
    // nothing sends nothing and succeeds.
    int sendIdxMetadata(IdxMetadata::IdxMetaData& message);

private:
    // The partial-grant form: a short grant comes back, for the caller to
    // measure; *granted is 0 when there is no buffer.
    RUXEN_HIDDEN char* Allocate(unsigned size, unsigned* granted);
    RUXEN_HIDDEN int Write(unsigned type, unsigned length);
    RUXEN_HIDDEN void Free();

    KXArchive* m_archive = nullptr;
    CPipelayer* m_pipelayer = nullptr;
    time_t m_time = 0;
    bool m_hasTime = false;
};
