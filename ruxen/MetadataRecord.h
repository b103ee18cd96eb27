// The one sender of index metadata records (type 159): one encoded index
// metadata message, or (kind, value) pairs, in one buffer of exactly the
// encoded length. The per-file object and the database browse-view sender
// both send through it, each over its own buffer services.
//
// The buffer is zeroed before the encoder fills it, so no byte of an earlier
// record can travel in it; every failure after the buffer was taken gives
// it back. Something that encodes to no bytes (no pairs, a message without
// fields) sends nothing and is a success.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "ruxen/PipelineRecordTypes.h"

class IdxMessage;

enum MetadataRecordResult : int {
    kMetaSent = 0,
    kMetaNothing,  // encodes to 0 bytes: nothing written, a success
    kMetaEncodeFailed,
    kMetaNoBuffer,
    kMetaFillFailed,
    kMetaWriteFailed,
};

struct IndexMetadataPair {
    uint32_t kind;
    const char* value;  // text; null is an empty value
};

// How a sender takes, writes and gives back the buffer of one record.
class MetadataRecordBuffers {
public:
    virtual ~MetadataRecordBuffers() = default;
    // A buffer of at least `size` bytes, or null (a shorter grant is given
    // back first).
    virtual char* TakeRecordBuffer(unsigned size) = 0;
    // Writes the buffer as a record: 0, or the write's status with the
    // buffer given back.
    virtual int SendRecordBuffer(unsigned type, unsigned length) = 0;
    virtual void GiveBackRecordBuffer() = 0;
};

// The largest record (the archive stream's bound on a payload).
constexpr uint64_t kMaxMetadataRecord = 64u * 1024 * 1024;

// A record of `length` bytes that `fill(buffer, size)` writes into the
// zeroed buffer, answering true when it wrote all of them: for callers that
// size and fill an encoding of their own. `writeStatus` (when given)
// receives the status of a failed write.
template <class Fill>
MetadataRecordResult SendMetadataRecordOf(MetadataRecordBuffers& to, uint64_t length, Fill fill,
                                          int* writeStatus = nullptr) {
    if (length == 0)
        return kMetaNothing;
    if (length > kMaxMetadataRecord)
        return kMetaEncodeFailed;
    const unsigned n = static_cast<unsigned>(length);
    char* buf = to.TakeRecordBuffer(n);
    if (!buf)
        return kMetaNoBuffer;
    memset(buf, 0, n);
    if (!fill(buf, n)) {
        to.GiveBackRecordBuffer();
        return kMetaFillFailed;
    }
    if (int status = to.SendRecordBuffer(PL_FS_IDX_METADATA, n)) {
        if (writeStatus)
            *writeStatus = status;
        return kMetaWriteFailed;
    }
    return kMetaSent;
}

MetadataRecordResult SendMetadataRecord(MetadataRecordBuffers& to, const IdxMessage& message,
                                        int* writeStatus = nullptr);
MetadataRecordResult SendMetadataRecord(MetadataRecordBuffers& to, const std::vector<IndexMetadataPair>& pairs,
                                        int* writeStatus = nullptr);
