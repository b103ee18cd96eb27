// Sending one metadata record (type 159).
#include "platform/IndexMetaDataHelper.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"

namespace {

// The encoder keeps no state between records: one serves the process.
const IndexMetaDataHelper& Encoder() {
    static const IndexMetaDataHelper encoder;
    return encoder;
}

}  // namespace

int RuxenFile::SendMetadataRecord(const IdxMessage* message, uint32_t kind, const char* text) {
    const IndexMetaDataHelper& enc = Encoder();
    unsigned length = 0;
    if (message) {
        if (enc.getEncodedLength(message, length) != 0)
            return kMetaEncodeFailed;
    } else {
        int n = enc.getEncodedLength(kind, text);
        if (n < 0)
            return kMetaEncodeFailed;
        length = static_cast<unsigned>(n);
    }
    if (length == 0)
        return kMetaNothing;

    char* buf = AllocateRecord(length);
    if (!buf)
        return kMetaNoBuffer;
    unsigned used = 0;
    int rc = message ? enc.fillBuffer(message, buf, length, used) : enc.fillBuffer(kind, text, buf, length, used, 0);
    if (rc != 0 || used != length) {
        FreeKXArchiveBuffer();
        return kMetaFillFailed;
    }
    if (SendRecord(PL_FS_IDX_METADATA, length) != 0)
        return kMetaWriteFailed;  // SendRecord gave the buffer back
    return kMetaSent;
}
