// Items without data: deleted items (named by the scan's collect lines with
// the DEL=k marker) and database browse items (virtual folders and files
// that make a database dump browsable). Each is a header built from fixed
// values and an empty successful end-of-item record; in snapshot-catalog
// jobs the header goes to the index alone.
//
//   kind   h_mode   h_platform_flags        portable_flags NOT_COUNTABLE
//   2      0x4000   DELETED (bit 41)        set     (a recursively deleted folder)
//   5      0        DELETED_KIND5 (bit 36)  not set
//   8      0x8000   -                       not set (a database browse item)
//   other  0x8000   DELETED (bit 41)        set
//
// Every header also gets PSEUDO_ITEM (bit 53) unless the application type
// is 106 (which also writes "\" as separator), and HIDDEN_IN_BROWSE (bit
// 39) when its path lies in the job-results folder. Owner 0, group 1, one
// link; a browse item carries its size and the current time as change time.
//
// An incremental job may delete millions of items: the header is built in
// the object's own records, without a heap allocation per item.
#include <cerrno>
#include <cstring>
#include <ctime>

#include "mapping/ContentMapper.h"
#include "platform/agent/KxLog.h"
#include "platform/archive/CPipelayer.h"
#include "platform/archive/KXArchive.h"
#include "platform/base/QMErrorUtil.h"
#include "platform/index/IndexingConnection.h"
#include "platform/text/PathUtil.h"
#include "ruxen/BrowseablePath.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"
#include "ruxen/RuxenPerfStages.h"

int RuxenFile::SendHeaderRecord(const ZXFileHeader& host) {
    ConvertZXFileHeaderToNetOrder(&host, &m_netHeader);
    m_perf.StartPerfCounter(RuxenPerfStage::kAllocateBuffer);
    char* buf = AllocateRecord(ZX_HEADER_SIZE);
    m_perf.StopPerfCounter(RuxenPerfStage::kAllocateBuffer, 0);
    if (!buf)
        return kNotSent;
    memcpy(buf, &m_netHeader, ZX_HEADER_SIZE);
    unsigned length = ZX_HEADER_SIZE;
    if (m_pipelayer && m_settings.sendOn)
        length = ZXHeaderPipelineLength(m_pipelayer->GetCurrentTagDataPtr());
    m_perf.StartPerfCounter(RuxenPerfStage::kWriteBuffer);
    m_perf.StartPerfCounter(RuxenPerfStage::kSendBuffer);
    const int rc = SendRecord(PL_FS_HEADER, length);
    m_perf.StopPerfCounter(RuxenPerfStage::kWriteBuffer, length);
    m_perf.StopPerfCounter(RuxenPerfStage::kSendBuffer, length);
    return rc == 0 ? kItemGoOn : kFailStream;
}

int RuxenFile::SendDeletedItemHeader(const std::string& path, int kind) {
    return SendDeletedItemHeader(path, kind, nullptr, nullptr);
}

int RuxenFile::SendDeletedItemHeader(const std::string& path, int kind, IndexingConnection* connection) {
    return SendDeletedItemHeader(path, kind, connection, nullptr);
}

int RuxenFile::SendDeletedItemHeader(const std::string& path, int kind, IndexingConnection* connection,
                                     browseablePath_t* browse) {
    if (path == "/")
        return kNotSent;
    // The stream pass hands the current item's own path; any other (a
    // database browse item, an item a host names) begins an item of its own.
    if (&path != &m_item.recordedPath) {
        CloseItem();
        ResetItemState(0);
        m_item.recordedPath.assign(path);
        m_item.mappedName.assign(path);
        m_item.actualPath.assign(path);
    }
    const char* recursive = kind == 2 ? "Yes" : "No";
    ZXFileHeader& h = m_item.header;
    h.Clear();  // no collect offset either
    h.h_version = ZX_HEADER_VERSION;
    h.h_magic = ZX_HEADER_MAGIC;
    h.h_nlink = 1;
    h.h_uid = 0;
    h.h_gid = 1;
    const bool backslash = m_settings.appType == 106;
    h.h_separator = backslash ? '\\' : '/';
    h.h_flags = (backslash ? 0 : ZX_HFLAG_SLASH_SEPARATOR) | ZX_HFLAG_ALWAYS;
    h.h_client_os = m_settings.clientOS;
    switch (kind) {
    case 2:
        h.h_mode = S_IFDIR;
        h.h_platform_flags = ZX_HDR_FLAG_DELETED;
        break;
    case 5:
        h.h_platform_flags = ZX_HDR_FLAG_DELETED_KIND5;
        break;
    case 8:
        h.h_mode = S_IFREG;
        break;
    default:
        h.h_mode = S_IFREG;
        h.h_platform_flags = ZX_HDR_FLAG_DELETED;
        break;
    }
    if (browse) {
        h.h_filesize = browse->size;
        h.h_ctime = static_cast<uint64_t>(time(nullptr));
    }
    // The end-of-item step must treat it as an item without data.
    m_item.deletedKind = kind != 0 ? kind : 8;
    if (!backslash)
        h.h_platform_flags |= ZX_HDR_FLAG_PSEUDO_ITEM;
    if (kind != 5 && kind != 8)
        h.portable_flags |= ZXFLAG_NOT_COUNTABLE;
    if (!m_settings.jobResultsFolder.empty() && PathUtil::IsPrefixPath(m_settings.jobResultsFolder, path))
        h.h_platform_flags |= ZX_HDR_FLAG_HIDDEN_IN_BROWSE;

    // A deleted item's path comes from its collect line: it is recorded
    // already, and taking it for a local path would mark another item
    // deleted. A browse item's path is translated; a failed or empty
    // translation keeps it.
    const std::string* name = &path;
    if (browse && (m_settings.proxyHost || m_settings.replicationHost) && m_contentMapper) {
        m_nameBuf.clear();
        if (m_contentMapper->MakeProxyPathFromHostPath(path, m_nameBuf) == 0 && !m_nameBuf.empty())
            name = &m_nameBuf;
    }
    // A cut name would record another item as deleted.
    if (name->size() >= ZX_HEADER_NAME_SIZE || memchr(name->data(), '\0', name->size())) {
        setFailureReason(ENAMETOOLONG, kReasonNameTooLong, name->size());
        KXLOG(-1, "the %s item [%s] is not sent: %s", kind == 0 ? "browse" : "deleted", path.c_str(),
              m_item.failureReason.c_str());
        return kNotSent;
    }
    memcpy(h.h_filename, name->data(), name->size());
    h.h_namelen = static_cast<uint32_t>(name->size() + 1);

    if (connection) {
        KXLOG(1, "Snap Catalog: Sending header for deleted item [%s], recursive deleted folder [%s]", path.c_str(),
              recursive);
        const int rc = connection->sendFileInfo(&h, 0, nullptr, 0);
        memset(&m_item.st, 0, sizeof m_item.st);
        return rc == 0 ? kItemGoOn : kFailStream;
    }

    if (m_archive && m_archive->HasFileSignatureData())
        m_archive->SetFileSignatureData(nullptr, -1);  // the previous item's
    KXLOG(4, "Sending header for %s item [%s], recursive deleted folder [%s]", kind == 0 ? "browse" : "deleted",
          path.c_str(), recursive);
    const int rc = SendHeaderRecord(h);
    if (rc == kNotSent) {
        KXLOG(-1, "Failed to allocate pipeline buffer");
        return kFailStream;
    }
    if (rc != kItemGoOn) {
        KXLOG(-1, "Failed to send file header for %s item [%s].", kind == 0 ? "Browse item" : "deleted", path.c_str());
        return kFailStream;
    }
    m_item.phase = RuxenItemPhase::kHeaderSent;
    if (SendEndOfFileMessage(1) != kItemGoOn) {
        KXLOG(-1, "Failed to send EOF.");
        return kFailStream;
    }
    memset(&m_item.st, 0, sizeof m_item.st);
    return kItemGoOn;
}

CTyError RuxenFilePrivate::GenerateBackupObjectGUIDs(browseablePath_t* browse, const struct stat& st) {
    if (!browse)
        return QMErrorUtil::ErrorErrNo(QM_LOC, EINVAL, "no browse item to make GUIDs of");
    struct stat item = st;
    item.st_size = static_cast<off_t>(browse->size);
    CTyError e = GenerateObjectGUIDs("object", browse->path, item, false);
    if (e.IsError())
        return e;
    if (browse->versionSeed != 0)
        m_itemSeedSuffix += ":" + std::to_string(browse->versionSeed);
    browse->objectGuid = ObjectGuid();
    return CTyError();
}

CTyError RuxenFilePrivate::PopulateDBBrowsePaths(std::vector<browseablePath_t>& browse, RuxenFile* file,
                                                 const std::string& dumpPath) {
    if (browse.empty())
        return CTyError();  // nothing to send
    if (!file)
        return QMErrorUtil::ErrorErrNo(QM_LOC, EINVAL, "no per-file object to send the browse items of %s",
                                       dumpPath.c_str());
    struct stat st;
    memset(&st, 0, sizeof st);
    if (browse.front().statMode == 1) {
        if (stat(dumpPath.c_str(), &st) != 0) {
            KXLOG(-1, "Failed to stat file [%s] errno [%d]", dumpPath.c_str(), errno);
            memset(&st, 0, sizeof st);
        }
    } else if (browse.front().statMode == 0) {
        st.st_mtime = st.st_ctime = time(nullptr);
        st.st_mode = S_IFDIR | S_IRWXU;
        st.st_nlink = 1;
    }
    for (browseablePath_t& b : browse) {
        CTyError e = GenerateComponentGUID("/", false, false);
        if (e.IsError())
            return e.Push(QM_LOC, "component GUID of the browse item %s", b.path.c_str());
        e = GenerateBackupObjectGUIDs(&b, st);
        if (e.IsError())
            return e.Push(QM_LOC, "GUIDs of the browse item %s", b.path.c_str());
        KXLOG(2, "Sending Browse item [%s]", b.path.c_str());
        int rc = file->SendDeletedItemHeader(b.path, 8, nullptr, &b);
        if (rc != RuxenFile::kItemGoOn)
            return QMErrorUtil::ErrorWin32(QM_LOC, rc, "Failed to send DB browse item to index returnCode [%d]", rc);
    }
    return CTyError();
}
