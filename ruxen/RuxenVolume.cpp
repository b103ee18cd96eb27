#include "ruxen/RuxenVolume.h"

#include <algorithm>
#include <cstring>

#include "platform/agent/KxLog.h"
#include "platform/archive/CPipelayer.h"
#include "platform/index/IndexingConnection.h"
#include "platform/text/PathUtil.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenPerfStages.h"

namespace {

constexpr uint64_t kPlatformDirectory = 1ull << 44;

}  // namespace

RuxenVolume::~RuxenVolume() = default;

bool RuxenVolume::FormatFileHeader(const char* name, unsigned long long dataSize, unsigned long long fileSize,
                                   bool isDirectory, ZXFileHeader* header) {
    if (!header) {
        KXLOG(0, "eRRoR -- ZXFileHeader is NULL");
        return false;
    }
    header->Clear();
    const size_t length = name ? strlen(name) : 0;
    if (!name || length > kMaxNameLength) {
        KXLOG(0, "eRRoR -- a name of %zu characters does not fit the header", length);
        return false;
    }
    ZXFileHeader& h = *header;
    h.h_version = ZX_HEADER_VERSION;
    h.h_magic = ZX_HEADER_MAGIC;
    h.h_separator = '/';
    h.h_flags = ZX_HFLAG_SLASH_SEPARATOR | ZX_HFLAG_ALWAYS;
    h.h_client_os = Settings().clientOS;
    if (isDirectory) {
        h.h_mode = 0x4000;
        h.h_filesize = fileSize;
        h.h_platform_flags = kPlatformDirectory;
    } else {
        h.h_mode = 0x8000;
    }
    memcpy(h.h_filename, name, length + 1);
    h.h_namelen = static_cast<uint32_t>(length);
    h.h_datasize = dataSize;
    return true;
}

bool RuxenVolume::WriteTimed(unsigned type, unsigned length) {
    GetPerfCounter().StartPerfCounter(RuxenPerfStage::kWriteBuffer);
    GetPerfCounter().StartPerfCounter(RuxenPerfStage::kSendBuffer);
    int rc = SendRecord(type, length);
    GetPerfCounter().StopPerfCounter(RuxenPerfStage::kWriteBuffer, length);
    GetPerfCounter().StopPerfCounter(RuxenPerfStage::kSendBuffer, length);
    return rc == 0;
}

bool RuxenVolume::SendFileHeader(ZXFileHeader* header, IndexingConnection* connection) {
    if (!header) {
        KXLOG(0, "eRRoR -- ZXFileHeader is NULL");
        return false;
    }
    if (connection)
        return connection->sendFileInfo(header, 0, nullptr, 0) == 0;

    switch (SendHeaderRecord(*header)) {
    case kItemGoOn:
        return true;
    case kNotSent:
        KXLOG(0, "eRRoR -- Unable to allocate buffer");
        return false;
    default:
        KXLOG(0, "eRRoR -- Failed to send file header for [%s]", header->h_filename);
        return false;
    }
}

bool RuxenVolume::SendEOF(int status) {
    if (!AllocateRecord(0)) {
        KXLOG(0, "eRRoR -- Unable to allocate buffer");
        return false;
    }
    if (WriteTimed(status == 1 ? PL_FS_EOF : PL_FS_EOF_FAILED, 0))
        return true;
    KXLOG(0, "eRRoR -- Failed to send EOF");
    return false;
}

bool RuxenVolume::SendExtent(unsigned char* data, int length) {
    if (length < 0 || (length > 0 && !data)) {
        KXLOG(0, "eRRoR -- an extent of %d bytes at %p refused", length, static_cast<void*>(data));
        return false;
    }
    size_t done = 0;
    const size_t total = static_cast<size_t>(length);
    while (done < total) {
        unsigned granted = 0;
        GetPerfCounter().StartPerfCounter(RuxenPerfStage::kAllocateBuffer);
        char* buf = AllocateKXArchiveBuffer(kBlockSize, &granted, true);
        GetPerfCounter().StopPerfCounter(RuxenPerfStage::kAllocateBuffer, 0);
        // Only whole blocks go into a record: a grant below one block would
        // send nothing and ask again for ever.
        const size_t usable = buf ? granted / kBlockSize * kBlockSize : 0;
        if (usable == 0) {
            if (buf)
                FreeKXArchiveBuffer();
            KXLOG(0, "eRRoR -- Unable to allocate buffer (%u bytes granted)", granted);
            return false;
        }
        const size_t n = std::min(usable, total - done);
        memcpy(buf, data + done, n);
        if (!WriteTimed(PL_FS_DATA, static_cast<unsigned>(n))) {
            KXLOG(0, "eRRoR -- Failed to send data buffer");
            return false;
        }
        done += n;
    }
    return true;
}

bool RuxenVolume::SendAlternativeView(std::string volumePath, unsigned long long dataSize, unsigned long long fileSize,
                                      IndexingConnection* connection) {
    if (PathUtil::TrimmedLength(volumePath) == 0 || volumePath == "/") {
        KXLOG(0, "eRRoR -- no volume path for the alternative view");
        return false;
    }
    const std::string root = std::string("/") + kViewFolder;
    const std::string volumeView = root + "/VOLUMEVIEW", extentView = root + "/EXTENTVIEW";
    const std::string names[] = {"/",
                                 root,
                                 volumeView,
                                 extentView,
                                 PathUtil::Join(extentView, volumePath),
                                 PathUtil::Join(volumeView, volumePath)};
    ZXFileHeader h;
    for (size_t i = 0; i < 6; ++i) {
        const char* name = names[i].c_str();
        const bool volumeItem = i >= 4;
        if (!FormatFileHeader(name, volumeItem ? dataSize : 0, volumeItem ? fileSize : 0, volumeItem, &h)) {
            KXLOG(0, "eRRoR -- Error formatting file header for %s", name);
            return false;
        }
        if (!volumeItem) {
            h.h_mode = 0x4000;
            if (i > 0) {
                KXLOG(0, "Sending [%s] in header as HIDDEN", name);
                h.h_platform_flags |= ZX_HDR_FLAG_HIDDEN_IN_BROWSE;
                h.portable_flags = ZXFLAG_NOT_COUNTABLE;
            }
        }
        if (!SendFileHeader(&h, connection)) {
            KXLOG(0, "eRRoR -- Error sending file header for %s", name);
            return false;
        }
        // The index takes headers only: end-of-item records belong to the
        // pipeline's items.
        if (!connection && !SendEOF(1)) {
            KXLOG(0, "eRRoR -- Failed to send EOF for %s", name);
            return false;
        }
    }
    return true;
}

int RuxenVolume::PopulateDeviceMap(std::string, std::map<std::string, std::string>&) { return 0; }
