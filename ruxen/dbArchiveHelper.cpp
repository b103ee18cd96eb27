#include "ruxen/dbArchiveHelper.h"

#include <cerrno>
#include <cstring>

#include "platform/agent/KxLog.h"
#include "platform/archive/CPipelayer.h"
#include "platform/archive/KXArchive.h"
#include "platform/index/IdxMetadata.h"
#include "ruxen/MetadataRecord.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/ZXFileHeader.h"

char* dbArchiveHelper::Allocate(unsigned size, unsigned* granted) {
    *granted = 0;
    char* buf = nullptr;
    if (m_pipelayer)
        buf = m_pipelayer->AllocateDataBuffer(size, granted, true);
    else if (m_archive)
        buf = m_archive->AllocateDataBuffer(size, granted, true);
    if (!buf)
        *granted = 0;
    return buf;
}

int dbArchiveHelper::Write(unsigned type, unsigned length) {
    int rc = m_pipelayer ? m_pipelayer->SendDataBuffer(type, length) : m_archive->WriteDataBuffer(type, length);
    if (rc != 0)
        Free();
    return rc;
}

void dbArchiveHelper::Free() {
    if (m_pipelayer)
        m_pipelayer->FreeDataBuffer();
    else if (m_archive)
        m_archive->FreeDataBuffer();
}

int dbArchiveHelper::sendFileHeader(const char* path, unsigned long long size, long long collectOffset,
                                    unsigned long long platformFlags, uint32_t portableFlags) {
    if (!path || !*path) {
        KXLOG(-1, "dbArchiveHelper::sendFileHeader() called without a path");
        return EINVAL;
    }
    const size_t namelen = strlen(path);
    if (namelen >= ZX_HEADER_NAME_SIZE) {
        KXLOG(-1, "dbArchiveHelper::sendFileHeader(): a path of %zu characters does not fit the header", namelen);
        return ENAMETOOLONG;
    }
    ZXFileHeader h;  // cleared
    h.h_version = ZX_HEADER_VERSION;
    h.h_magic = ZX_HEADER_MAGIC;
    h.h_nlink = 1;
    h.h_namelen = static_cast<uint32_t>(namelen);
    h.h_mode = 0x8000;
    const time_t t = m_hasTime ? m_time : time(nullptr);
    h.h_mtime = h.h_ctime = static_cast<uint64_t>(t);
    h.h_filesize = size;
    h.h_collect_offset = static_cast<uint64_t>(collectOffset);
    h.h_separator = '/';
    h.h_flags = ZX_HFLAG_SLASH_SEPARATOR | ZX_HFLAG_ALWAYS;
    h.h_platform_flags = platformFlags;
    h.portable_flags = portableFlags;
    memcpy(h.h_filename, path, namelen + 1);

    unsigned granted = 0;
    char* buf = Allocate(ZX_HEADER_SIZE, &granted);
    if (!buf) {
        KXLOG(-1, "dbArchiveHelper::sendFileHeader() failed, retCode = [%d]", kNoBuffer);
        return kNoBuffer;
    }
    if (granted < ZX_HEADER_SIZE) {
        Free();
        KXLOG(-1, "Received pipeline buffer is too small to hold the file header, retCode [%d]", kBufferTooSmall);
        return kBufferTooSmall;
    }
    ConvertZXFileHeaderToNetOrder(&h, reinterpret_cast<ZXFileHeader*>(buf));
    int rc = Write(PL_FS_HEADER, ZX_HEADER_SIZE);
    if (rc != 0)
        KXLOG(-1, "dbArchiveHelper::sendFileHeader() failed, retCode = [%d]", rc);
    return rc;
}

int dbArchiveHelper::sendEOF(bool success) {
    unsigned granted = 0;
    if (!Allocate(0, &granted)) {
        KXLOG(-1, "pipeline allocation failed");
        return kNoBuffer;
    }
    int rc = Write(success ? PL_FS_EOF : PL_FS_EOF_FAILED, 0);
    if (rc != 0)
        KXLOG(-1, "pipeline allocation failed");
    return rc;
}

int dbArchiveHelper::sendIdxMetadata(IdxMetadata::IdxMetaData& message) {
    // The helper's buffer services under the one metadata sender; a short
    // grant is refused here, where its size is known.
    struct Buffers : MetadataRecordBuffers {
        dbArchiveHelper& h;
        int noBuffer = 0;
        explicit Buffers(dbArchiveHelper& helper) : h(helper) {}
        char* TakeRecordBuffer(unsigned size) override {
            unsigned granted = 0;
            char* buf = h.Allocate(size, &granted);
            if (!buf) {
                KXLOG(-1, "Failed to allocate pipeline buffer for Index Metadata, retCode = [%d]", kNoBuffer);
                noBuffer = kNoBuffer;
            } else if (granted < size) {
                h.Free();
                KXLOG(-1, "Received pipeline buffer %lu is too small to hold the Index Metadata %u",
                      static_cast<unsigned long>(granted), size);
                noBuffer = kBufferTooSmall;
                buf = nullptr;
            }
            return buf;
        }
        int SendRecordBuffer(unsigned type, unsigned length) override { return h.Write(type, length); }
        void GiveBackRecordBuffer() override { h.Free(); }
    } buffers(*this);
    int status = 0;
    switch (::SendMetadataRecord(buffers, message, &status)) {
    case kMetaSent:
        return 0;
    case kMetaNothing:
        KXLOG(2, "Indexing metadata length is 0");
        return 0;
    case kMetaEncodeFailed:
        KXLOG(-1, "Failed to get encoded length for Index Metadata");
        return EINVAL;
    case kMetaNoBuffer:
        return buffers.noBuffer;
    case kMetaFillFailed:
        KXLOG(-1, "Failed to fill Index Metadata buffer");
        return EINVAL;
    case kMetaWriteFailed:
        KXLOG(-1, "Failed to write pipeline buffer for Index Metadata, retCode = [%d]", status);
        return status;
    }
    return EINVAL;
}
