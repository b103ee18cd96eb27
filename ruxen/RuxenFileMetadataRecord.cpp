// The per-file object's metadata records (type 159), through the one sender
// (ruxen/MetadataRecord.h) over the object's archive-buffer services.
#include "platform/index/IdxMessage.h"
#include "platform/index/IndexMetaDataHelper.h"
#include "ruxen/MetadataRecord.h"
#include "ruxen/RuxenFile.h"

// AllocateRecord and SendRecord log; a failed send records the failure
// reason and gives the buffer back.
struct RuxenFile::RecordBuffers : MetadataRecordBuffers {
    RuxenFile& f;
    explicit RecordBuffers(RuxenFile& file) : f(file) {}
    char* TakeRecordBuffer(unsigned size) override { return f.AllocateRecord(size); }
    int SendRecordBuffer(unsigned type, unsigned length) override { return f.SendRecord(type, length); }
    void GiveBackRecordBuffer() override { f.FreeKXArchiveBuffer(); }
};

int RuxenFile::SendIndexMetadata(const std::vector<IndexMetadataPair>& pairs) {
    RecordBuffers buffers(*this);
    return ::SendMetadataRecord(buffers, pairs);
}

int RuxenFile::SendIndexMetadata(const IdxMessage& message) {
    RecordBuffers buffers(*this);
    return ::SendMetadataRecord(buffers, message);
}

int RuxenFile::SendMetadataRecord(const IdxMessage* message, uint32_t kind, const char* text) {
    return message ? SendIndexMetadata(*message) : SendIndexMetadata(std::vector<IndexMetadataPair>{{kind, text}});
}

MetadataRecordResult RuxenFile::SendMetaDataList(const std::list<MetaData>& list, int& size, int& fillRc,
                                                 int& writeStatus) {
    IndexMetaDataHelper encoder;
    size = GetMetaBuffSize(encoder, list);
    if (size < 0)
        return kMetaEncodeFailed;
    RecordBuffers buffers(*this);
    return SendMetadataRecordOf(
        buffers, static_cast<uint64_t>(size),
        [&](char* buf, unsigned n) { return (fillRc = FillBufferFromVectors(encoder, buf, list, n)) == 0; },
        &writeStatus);
}
