#include "ruxen/MetadataRecord.h"

#include <cstring>

#include "platform/IndexMetaDataHelper.h"
#include "ruxen/PipelineRecordTypes.h"

namespace {

// The encoder keeps no state between records: one serves the process.
const IndexMetaDataHelper& Encoder() {
    static const IndexMetaDataHelper encoder;
    return encoder;
}

template <class Fill>
MetadataRecordResult Send(MetadataRecordBuffers& to, uint64_t length, int* writeStatus, Fill fill) {
    if (length == 0)
        return kMetaNothing;
    if (length > IndexMetaDataHelper::kMaxEncodedLength)
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

}  // namespace

MetadataRecordResult SendMetadataRecord(MetadataRecordBuffers& to, const IdxMessage& message, int* writeStatus) {
    unsigned length = 0;
    if (Encoder().getEncodedLength(&message, length) != 0)
        return kMetaEncodeFailed;
    return Send(to, length, writeStatus, [&](char* buf, unsigned size) {
        unsigned used = 0;
        return Encoder().fillBuffer(&message, buf, size, used) == 0 && used == size;
    });
}

MetadataRecordResult SendMetadataRecord(MetadataRecordBuffers& to, const std::vector<IndexMetadataPair>& pairs,
                                        int* writeStatus) {
    uint64_t total = 0;
    for (const IndexMetadataPair& p : pairs) {
        int n = Encoder().getEncodedLength(p.kind, p.value);
        if (n < 0)
            return kMetaEncodeFailed;
        total += static_cast<uint64_t>(n);
    }
    return Send(to, total, writeStatus, [&](char* buf, unsigned size) {
        unsigned offset = 0;
        for (size_t i = 0; i < pairs.size(); ++i)
            if (Encoder().fillBuffer(pairs[i].kind, pairs[i].value, buf, size, offset, i + 1 < pairs.size() ? 1 : 0) != 0)
                return false;
        return offset == size;
    });
}
