#include "ruxen/MetadataRecord.h"

#include <cstring>

#include "platform/index/IndexMetaDataHelper.h"

static_assert(kMaxMetadataRecord == IndexMetaDataHelper::kMaxEncodedLength, "one bound on a record");

namespace {

// The encoder keeps no state between records: one serves the process.
const IndexMetaDataHelper& Encoder() {
    static const IndexMetaDataHelper encoder;
    return encoder;
}

}  // namespace

MetadataRecordResult SendMetadataRecord(MetadataRecordBuffers& to, const IdxMessage& message, int* writeStatus) {
    unsigned length = 0;
    if (Encoder().getEncodedLength(&message, length) != 0)
        return kMetaEncodeFailed;
    return SendMetadataRecordOf(
        to, length,
        [&](char* buf, unsigned size) {
            unsigned used = 0;
            return Encoder().fillBuffer(&message, buf, size, used) == 0 && used == size;
        },
        writeStatus);
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
    return SendMetadataRecordOf(
        to, total,
        [&](char* buf, unsigned size) {
            unsigned offset = 0;
            for (size_t i = 0; i < pairs.size(); ++i)
                if (Encoder().fillBuffer(pairs[i].kind, pairs[i].value, buf, size, offset,
                                         i + 1 < pairs.size() ? 1 : 0) != 0)
                    return false;
            return offset == size;
        },
        writeStatus);
}
