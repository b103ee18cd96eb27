// The one sender of index metadata records (type 159): (kind, value) pairs
// or one index metadata message, encoded into one pipeline buffer of
// exactly the encoded length.
#include <cstring>

#include "platform/IdxMessage.h"
#include "platform/IndexMetaDataHelper.h"
#include "platform/KxLog.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenMessages.h"

int RuxenFile::SendIndexMetadata(const std::vector<IndexMetadataPair>& pairs) {
    IndexMetaDataHelper helper;
    uint64_t total = 0;
    for (const IndexMetadataPair& p : pairs) {
        int n = helper.getEncodedLength(p.kind, p.value);
        if (n < 0) {
            KXLOG(-1, kLogMetaLength);
            setFailureReason(-1, "%s", kLogMetaLength);
            return 1;
        }
        total += static_cast<uint64_t>(n);
    }
    if (total > IndexMetaDataHelper::kMaxEncodedLength) {
        KXLOG(-1, kLogMetaLength);
        setFailureReason(-1, "%s", kLogMetaLength);
        return 1;
    }
    return SendMetadataRecord(static_cast<unsigned>(total), [&](char* buf, unsigned size) {
        unsigned offset = 0;
        for (size_t i = 0; i < pairs.size(); ++i)
            if (helper.fillBuffer(pairs[i].kind, pairs[i].value, buf, size, offset, i + 1 < pairs.size() ? 1 : 0) != 0)
                return false;
        return offset == size;
    });
}

int RuxenFile::SendIndexMetadata(const IdxMessage& message) {
    IndexMetaDataHelper helper;
    unsigned length = 0;
    if (helper.getEncodedLength(&message, length) != 0) {
        KXLOG(-1, kLogMetaLength);
        setFailureReason(-1, "%s", kLogMetaLength);
        return 1;
    }
    return SendMetadataRecord(length, [&](char* buf, unsigned size) {
        unsigned used = 0;
        return helper.fillBuffer(&message, buf, size, used) == 0 && used == size;
    });
}

int RuxenFile::SendMetadataRecord(unsigned length, const std::function<bool(char*, unsigned)>& fill) {
    if (length == 0) {
        KXLOG(2, "Indexing metadata length is 0");
        return 0;
    }
    char* buf = AllocateRecord(length);
    if (!buf) {
        KXLOG(-1, kLogMetaAllocate, -1);
        setFailureReason(-1, kLogMetaAllocate, -1);
        return 2;
    }
    // No byte of an earlier record may travel in a part the encoder skips.
    memset(buf, 0, length);
    if (!fill(buf, length)) {
        KXLOG(-1, kLogMetaFill);
        setFailureReason(-1, "%s", kLogMetaFill);
        FreeKXArchiveBuffer();
        return 1;
    }
    if (int status = SendRecord(PL_FS_IDX_METADATA, length)) {
        KXLOG(-1, kLogMetaWrite, status);
        return 2;
    }
    return 0;
}
