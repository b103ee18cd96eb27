// An item's index metadata: the list of (kind, value) pairs built afresh for
// each item, and its sending after the item's header. A data stream sends
// the list as one record 159; a catalog stream sends each pair to the
// indexing connection, and for a snapshot mount point the mount's data as a
// message. A data stream also sends, once, the Salesforce relationship
// entries of its collect files' directives.
//
// The list, in the order its kinds are added (IndexMetaDataKinds.h):
//   turbo-mode stubs       STUB_GUID, ORIG_APP_GUID (not with skipStubGUIDs),
//                          ARCHIVAL_TIME (early stubs not left in place; one
//                          time for the whole process)
//   long paths, cache DB   CACHEDB_ITEM, LONGFILEPATH_REAL_PATH
//   NAS snapshot catalogs  NFSSNAPDATA_FULL_SNAP, _INCR_SNAP, _VOLUME_PATH
//                          per backup path the item is
//   alternate readers      SRMFSDATA_USER_NAME, SRMFSDATA_GROUP_NAME
//   HBase namespaces and   INDEXINGDATA_HBASE_FILE_TYPE, _INCREMENTAL,
//   tables                 _SUFFIX_SET, _SEED_SUFFIX
#include <cerrno>
#include <cstring>
#include <memory>

#include "mapping/SnapFSContentMapper.h"
#include "platform/agent/AppTypeTables.h"
#include "platform/agent/ApplicationRegistry.h"
#include "platform/agent/CacheDBMgr.h"
#include "platform/agent/KXJobCtrlClient.h"
#include "platform/agent/KxLog.h"
#include "platform/archive/KXArchive.h"
#include "platform/base/NumberParse.h"
#include "platform/base/TestControl.h"
#include "platform/index/IdxMetadata.h"
#include "platform/index/IndexMetaDataHelper.h"
#include "platform/index/IndexMetaDataKinds.h"
#include "platform/index/IndexingConnection.h"
#include "platform/index/NASReferenceTimes.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"

namespace {

// The archival time of early stubs: taken once, so that every stub of the
// process carries the same.
struct ArchivalTime {
    bool taken = false;
    int64_t time = 0;
};
ArchivalTime& archivalTime() {
    static ArchivalTime t;
    return t;
}

}  // namespace

void ruxen::testcontrol::ResetArchivalTime() { archivalTime() = ArchivalTime(); }

namespace {
const ruxen::testcontrol::Registration kTestReset("archival time", &ruxen::testcontrol::ResetArchivalTime);
}  // namespace

void RuxenFile::FillMetaTypeValueVectors(std::list<MetaData>& list, bool isStub, bool skipStubGUIDs, int backupLevel,
                                         bool nfsSnapDiff) {
    using namespace IndexMetaDataKind;
    if (m_settings.backupSCFiles)
        return;  // the job's own result files carry none
    const char* name = printName();
    const bool regular = m_item.type == fTypeRegular;
    IndexMetaDataHelper encoder;

    if (regular && GetReaderContext().IsTurboMode()) {
        if (isStub && !skipStubGUIDs) {
            const std::string& guid = GetReader().GetGUID();
            list.emplace_back(STUB_GUID, guid);
            KXLOG(2, "%s '%s' Type %s Meta-Data '%s'", "Stub", name, "STUB_GUID", guid.c_str());
            const std::string& app = GetReader().GetAppGUIDFromStub();
            if (!app.empty() && app != m_settings.appTypeGuid) {
                list.emplace_back(ORIG_APP_GUID, app);
                KXLOG(2, "STUB '%s' Type ORIG_APP_GUID  Meta-Data '%s'", name, app.c_str());
            }
        }
        if (isStub && m_settings.earlyStubBackup && m_settings.doNotCreateStub) {
            ArchivalTime& t = archivalTime();
            if (!t.taken) {
                t.time = IndexMetaDataHelper::getCurTime();
                t.taken = true;
            }
            list.emplace_back(ARCHIVAL_TIME, encoder.encodeData(ARCHIVAL_TIME, t.time));
            KXLOG(2, "File '%s' Type ARCHIVAL_TIME Meta-Data '%s'", name, list.back().value.c_str());
        }
    }

    if ((m_settings.longPathSupport && IsLongPath()) || m_settings.cacheDBBackup) {
        std::string real;
        if (m_item.cacheDBLogicalPath.empty()) {
            // A name-mapped item is indexed under its recorded path.
            real = m_item.nameMapped ? m_item.recordedPath : m_item.mappedName;
            if (m_settings.alternateLocalPath && !m_settings.proxyHost) {
                if (!m_item.alternateLocalPath.empty())
                    real = m_item.alternateLocalPath;
            } else if (m_settings.proxyHost || m_settings.replicationHost) {
                // A failed or empty translation keeps the item's own name:
                // an empty real path would say nothing of where it lives.
                std::string out;
                if (m_contentMapper && m_contentMapper->MakeProxyPathFromHostPath(real, out) == 0 && !out.empty())
                    real.swap(out);
            }
            if (!m_overridePath.empty())
                real = m_overridePath;
        } else {
            real = m_item.cacheDBLogicalPath;
            if (real == kCacheDBLogicalRoot)
                list.emplace_back(CACHEDB_ITEM, "CACHEDB");
            KXLOG(5, "Using Cache DB fake logical path for strRealPath meta_data [%s]", real.c_str());
        }
        KXLOG(2, "%s '%s' Type LONGFILEPATH_REAL_PATH Meta-Data '%s'", regular ? "File" : "Dir", name, real.c_str());
        list.emplace_back(LONGFILEPATH_REAL_PATH, std::move(real));
    }

    // Only a snapshot mapper holds NAS backup paths.
    SnapFSContentMapper* snap = dynamic_cast<SnapFSContentMapper*>(m_contentMapper);
    if (m_settings.catalogBackup && nfsSnapDiff && snap && IsUnixFsBackupSetType(m_settings.appType)) {
        KXLOG(5, "Backup path is [%s]", name);
        for (const auto& entry : snap->GetNFSBackupPathInfo()) {
            const sNFSBkpPathInfo& e = entry.second;
            if (m_item.mappedName != e.hostPath && m_item.mappedName != e.backupPath)
                continue;
            std::string full, incr;
            if (backupLevel == 1 || (e.prevFullSnap.empty() && e.prevSnapToCompare.empty())) {
                full = incr = e.currentSnapshot;
            } else if (!e.prevFullSnap.empty()) {
                full = e.prevFullSnap;
                incr = e.currentSnapshot;
            } else {
                KXLOG(-1, "Index cache Full snapshot name for backup path [%s] is empty.", e.backupPath.c_str());
                KXLOG(-1, "Not adding any metadata for [%s].", name);
                return;
            }
            if (m_settings.indexV2 && !UpdateSubClientPropRefTimes(e.backupPath, e.volumePath, full, incr))
                KXLOG(-1, "Error in adding reference snaps in subclient property");
            KXLOG(-1, "Push NFS path snap backup metadata. FullSnap[%s], IncrSnap[%s], VolPath[%s]", full.c_str(),
                  incr.c_str(), e.volumePath.c_str());
            list.emplace_back(NFSSNAPDATA_FULL_SNAP, std::move(full));
            list.emplace_back(NFSSNAPDATA_INCR_SNAP, std::move(incr));
            list.emplace_back(NFSSNAPDATA_VOLUME_PATH, e.volumePath);
        }
    }

    // Only names the reader found: an empty name would tell the index that
    // the item has no owner.
    if (!m_item.isDeletedItem() && m_settings.alternateReader && m_settings.GetReaderType() == 1) {
        const std::string& user = GetReader().GetUserName();
        if (!user.empty()) {
            list.emplace_back(SRMFSDATA_USER_NAME, user);
            KXLOG(3, "Sending Meta-Data SRMFSDATA_USER_NAME=[%s] for %s", user.c_str(), m_item.mappedName.c_str());
        }
        const std::string& group = GetReader().GetGroupName();
        if (!group.empty()) {
            list.emplace_back(SRMFSDATA_GROUP_NAME, group);
            KXLOG(3, "Sending Meta-Data SRMFSDATA_GROUP_NAME=[%s] for %s", group.c_str(), m_item.mappedName.c_str());
        }
    }

    if (m_settings.hbaseBackup) {
        IdxMetadata::HBaseFileType type = IdxMetadata::HBASE_UNSET;
        bool hidden = false;
        GetHBaseItemType(m_item.mappedName, type, hidden);
        if (type == IdxMetadata::HBASE_NAMESPACE || type == IdxMetadata::HBASE_TABLE) {
            list.emplace_back(INDEXINGDATA_HBASE_FILE_TYPE,
                              encoder.encodeData(INDEXINGDATA_HBASE_FILE_TYPE, int(type)));
            if (m_stream.hbaseIncrementalSnapshot)
                list.emplace_back(INDEXINGDATA_HBASE_INCREMENTAL, "true");
            const std::string& suffix = m_private->VersionGUIDSeedSuffix();
            if (type == IdxMetadata::HBASE_TABLE && !suffix.empty()) {
                list.emplace_back(INDEXINGDATA_HBASE_SUFFIX_SET, "true");
                list.emplace_back(INDEXINGDATA_HBASE_SEED_SUFFIX, suffix);
            }
            KXLOG(3, "Sending Meta-Data [INDEXINGDATA_HBASE_FILE_TYPE]=[%d:%s] for [%s]", int(type),
                  list.back().value.c_str(), name);
        }
    }
}

int RuxenFile::GetMetaBuffSize(IndexMetaDataHelper& encoder, const std::list<MetaData>& list) {
    uint64_t total = 0;
    for (const MetaData& m : list) {
        int n = encoder.getEncodedLength(static_cast<uint32_t>(m.kind), m.value.c_str());
        if (n < 0)
            return -1;
        total += static_cast<uint64_t>(n);
        if (total > kMaxMetadataRecord)
            return -1;  // no record holds it
    }
    return static_cast<int>(total);
}

int RuxenFile::FillBufferFromVectors(IndexMetaDataHelper& encoder, char* buffer, const std::list<MetaData>& list,
                                     unsigned size) {
    unsigned offset = 0;
    size_t remaining = list.size();
    for (const MetaData& m : list) {
        KXLOG(4, "fillBuffer(%lu)", static_cast<unsigned long>(m.kind));
        --remaining;
        int rc =
            encoder.fillBuffer(static_cast<uint32_t>(m.kind), m.value.c_str(), buffer, size, offset, remaining ? 1 : 0);
        if (rc != 0)
            return rc;
    }
    return 0;
}

void RuxenFile::ReportMetaDataFailure(FILE* failures, int errnum, const char* text) {
    m_item.errorText.assign(text, strnlen(text, 1023));
    ReportPartialFailure(failures, errnum, -1, text);
}

int RuxenFile::PrepareAndSendMetaData(FILE* failures) { return PrepareAndSendMetaData(failures, 0, false, nullptr); }

int RuxenFile::PrepareAndSendMetaData(FILE* failures, IndexingConnection* connection) {
    return PrepareAndSendMetaData(failures, 0, false, connection);
}

int RuxenFile::PrepareAndSendMetaData(FILE* failures, int backupLevel, bool nfsSnapDiff,
                                      IndexingConnection* connection) {
    const char* name = printName();
    const bool deleted = m_item.isDeletedItem();
    // A deleted item has no reader of its own: the reader's answer is the
    // previous item's.
    const bool isStub = !deleted && m_item.open && m_reader && m_reader->isStub();
    bool skipStubGUIDs = deleted;
    if (!deleted) {
        const bool turbo = GetReaderContext().IsTurboMode();
        if (m_item.type == fTypeRegular && isStub && !turbo) {
            skipStubGUIDs = true;
            KXLOG(2, "Not sending meta-data for %s, perhaps alien stub.", name);
        }
        KXLOG(3,
              "TurboModeEnabled:%d bHardLinkFeatureSupported:%d bHardLinkFeatureEnablePerFile:%d _hardLinkColEntry:%d",
              turbo, m_settings.hardLinkJob, m_item.hlHandling, m_item.hlCollectEntry);
        if (turbo && m_settings.hardLinkJob && m_item.hlHandling && NamesGroupData() && !m_settings.indexV2) {
            KXLOG(2, "Not sending meta-data to HL ref-file");
            return kItemGoOn;
        }
    }

    if (m_settings.endUserAccess) {
        int error = 0;
        if (!SendEndUserAccessInfo(error)) {
            KXLOG(-1, "Failed to send ACLs to Indexing for %s.", m_item.header.h_filename);
            ReportPartialFailure(failures, error, error, strerror(error));
            return kItemMetaDataFailed;
        }
    }
    if (m_reader && m_reader->IsFileSet()) {
        SendFileSetInfo();
        m_reader->SetFileSet(false);
    }

    std::list<MetaData> list;
    FillMetaTypeValueVectors(list, isStub, skipStubGUIDs, backupLevel, nfsSnapDiff);
    if (list.empty()) {
        KXLOG(2, "No meta-data to send for %s.", name);
        // The relationship entries go with the first item, whether or not
        // it has metadata of its own: a stream of items without any would
        // never send them.
        if (!connection)
            return SendSalesforceRelations();
    } else if (!connection) {
        int size = 0, fillRc = 0, status = 0;
        switch (SendMetaDataList(list, size, fillRc, status)) {
        case kMetaSent:
        case kMetaNothing:
            break;
        case kMetaNoBuffer:
            KXLOG(-1, "Null buffer returned from AllocateDataBuffer(size=%d)", size);
            ReportMetaDataFailure(failures, ENOMEM, "Backup: AllocateDataBuffer failed for meta-data. ");
            return kFailStream;
        case kMetaEncodeFailed:
        case kMetaFillFailed:
            KXLOG(-1, "Unable to fill Indexing buffer, rc = %d", fillRc);
            ReportMetaDataFailure(failures, EIO, "Backup: Unable to fill Indexing buffer. ");
            return kItemMetaDataFailed;
        case kMetaWriteFailed:
            KXLOG(-1, "Error during SendBufer, sendBufferStatus = %d", status);
            ReportMetaDataFailure(failures, EIO, "Backup: Error during SendBuffer. ");
            return kFailStream;
        }
        return SendSalesforceRelations();
    }

    for (const MetaData& m : list) {
        const IndexMetaDataStruct record{kIndexMetaDataMarker, kIndexMetaDataVersion, static_cast<uint32_t>(m.kind), 0,
                                         static_cast<uint32_t>(m.value.size())};
        if (connection->sendMetaDataInfo(record, m.value.data()) != 0) {
            KXLOG(-1, "Failed to send meta-data '%s' for '%s'", m.value.c_str(), name);
            ReportMetaDataFailure(failures, EIO, "Backup: Failed to send meta-data to Indexing. ");
            return kFailStream;
        }
    }
    // A snapshot mount point's data goes to the index with or without pairs
    // of its own: without it the index loses the mount's archive and
    // collect files.
    if (m_settings.catalogBackup && m_settings.isMountPath(m_item.header.h_filename))
        return SendSnapMountMetaData(failures, *connection);
    return kItemGoOn;
}

int RuxenFile::SendSnapMountMetaData(FILE* failures, IndexingConnection& connection) {
    const char* name = m_item.header.h_filename;
    SnapFSContentMapper* snap = dynamic_cast<SnapFSContentMapper*>(m_contentMapper);
    if (!snap) {
        KXLOG(-1, "mapper object is not available");
        ReportMetaDataFailure(failures, EINVAL, "Backup: mapper object is not available.");
        return kFailStream;
    }
    // A failed translation keeps the name: an empty path names no archive.
    std::string host;
    if (snap->MakeHostPathFromProxyPath(std::string(name), host) != 0 || host.empty())
        host = name;
    const long long archiveId = snap->getArchiveIDByPath(host.c_str());
    KXLOG(2, "for [%s] archId=%lld", host.c_str(), archiveId);

    IdxMetadata::IdxMetaData message;
    IdxMetadata::FsSnapMountData* mount = message.getFsSnapMountData();
    if (!mount) {
        KXLOG(-1, "Failed to allocate index metadata object for '%s'", name);
        return kFailStream;
    }
    mount->setArchiveId(archiveId);
    for (const auto& c : m_settings.collectFileMap) {
        int64_t id = 0;
        if (NumberParse::Int64(c.second, id) && id == archiveId)
            mount->addCollectFile(std::to_string(c.first));
    }
    mount->setTotalBackupSize(static_cast<int64_t>(m_settings.totalBackupSize));
    mount->setHostPath(host);
    KXLOG(0, "Sending FsSnapMountData for [%s] [%s]", name, message.ToText().c_str());
    if (connection.sendMetaDataInfo(&message) != 0) {
        KXLOG(-1, "Failed to send FsSnapMountData meta-data for '%s'", name);
        ReportMetaDataFailure(failures, EIO, "Backup: Failed to send FsSnapMountData meta-data.");
        return kFailStream;
    }
    return kItemGoOn;
}

int RuxenFile::SendSalesforceRelations() {
    RuxenFilePrivate& p = *m_private;
    if (m_stream.salesforceRelations.empty() || m_stream.salesforceRelationsSent)
        return kItemGoOn;
    std::string token =
        m_settings.job.jobToken.empty() && m_jobCtrl ? m_jobCtrl->GetJobToken() : m_settings.job.jobToken;
    if (!parseJobToken(token)) {
        const std::string fake = constructJobToken(m_settings.job.jobId, 0, 0, 0);
        KXLOG(6, "Failed to parse jobToken '%s'. Fake token '%s' is created.", token.c_str(), fake.c_str());
        token = fake;
    }
    KXLOG(2, "calling IndexingConnection::initialize(%u,%u,%lu,%d,%s,%s,%s,%llu)", m_settings.job.zonarkId,
          m_settings.job.clientId, kAppTypeSalesforceRelations, m_settings.job.backupLevel, token.c_str(),
          m_settings.job.path.c_str(), m_settings.indexingText.c_str(), 0ull);
    // Owned here: released on every way out.
    std::unique_ptr<IndexingConnection> connection(new IndexingConnection());
    if (connection->initialize(m_settings.job.zonarkId, m_settings.job.clientId, kAppTypeSalesforceRelations,
                               m_settings.job.backupLevel, token.c_str(), m_settings.job.path.c_str(),
                               m_settings.indexingText.c_str(), 0) != 0) {
        KXLOG(-1, "IndexingConnection::initialize failed");
        return kFailStream;
    }
    const ArchiveFileId_t id{m_settings.job.zonarkId, 0, m_archive ? m_archive->GetArchiveFileNumber() : 0u};
    if (id.aFileNumber == 0) {
        KXLOG(-1, "ArchiveFile number not available");
        return kFailStream;
    }
    KXLOG(2, "sendAfileInfo(zonarkId:%d, aGroupNumber:%d, aFileNumber:%d)", id.zonarkId, id.aGroupNumber,
          id.aFileNumber);
    if (connection->sendAfileInfo(&id, false) != 0) {
        KXLOG(-1, "call to IndexingConnection::sendAfileInfo(zonarkId:%d, aGroupNumber:%d, aFileNumber:%d) failed",
              id.zonarkId, id.aGroupNumber, id.aFileNumber);
        return kFailStream;
    }
    p.SetComponentGUIDRequired(true);
    CTyError e = p.GenerateComponentGUID("/", false, false);
    if (e.IsError()) {
        KXLOG(-1, "%s, failing backup", e.Message().c_str());
        return kFailStream;
    }
    std::string component;
    e = p.GetComponentGUID(component);
    if (e.IsError()) {
        KXLOG(-1, "Failed to get ComponentGUID<%s>", e.Message().c_str());
        return kFailStream;
    }
    if (component.empty()) {
        KXLOG(-1, "Failed to get ComponentGUID");
        return kFailStream;
    }
    KXLOG(6, "Component GUID =%s", component.c_str());
    IdxMetadata::IdxDbInfo db;
    db.setComponentGuid(component);
    db.setViewName(kSalesforceRelationsView);
    for (const SalesforceRelation& rel : m_stream.salesforceRelations) {
        KXLOG(6, "Relationship metadata for GUID [%s]", rel.guid.c_str());
        KXLOG(6, "Relationship metadata [%s]", rel.metadata.c_str());
        Indexing::IdxCommand command;
        command.setCommand(0);
        IdxMetadata::IdxMetaData* message = command.getMetadata();
        message->getIndexing()->getDbInfo()->setViewName(kSalesforceRelationsView);
        message->getSfRelationship()->setGuid(rel.guid);
        message->getSfRelationship()->setMetadata(rel.metadata);
        KXLOG(2, "Sending IdxCommand <%s> to Indexing", command.ToText().c_str());
        if (connection->sendFileInfoV2(db, command) != 0) {
            KXLOG(-1, "sendFileInfoV2 failed");
            return kFailStream;
        }
    }
    if (connection->backupDone(1) != 0) {
        KXLOG(-1, "the Salesforce relationship entries could not be closed");
        return kFailStream;
    }
    m_stream.salesforceRelationsSent = true;
    return kItemGoOn;
}

bool RuxenFile::UpdateSubClientPropRefTimes(const std::string& backupPath, const std::string& volumePath,
                                            const std::string& fullSnap, const std::string& incrSnap) {
    Subclient subclient(ApplicationId(m_settings.appIdText).appId);
    NAS::Backup_ReferenceTimesList refs;
    std::string text;
    if (subclient.copyBkpRefTime(text) && !text.empty() && !refs.fromText(text))
        KXLOG(1, "the subclient's stored reference times cannot be read: they are replaced");
    // The next job compares with this one.
    refs.prevJobId = m_settings.job.jobId;
    NAS::Backup_ReferenceTimes* entry = nullptr;
    for (NAS::Backup_ReferenceTimes& e : refs.elements)
        if (e.backupPath == backupPath)
            entry = &e;
    if (!entry) {
        refs.elements.emplace_back();
        entry = &refs.elements.back();
        entry->backupPath = backupPath;
    }
    entry->prevVolumePath = volumePath;
    entry->prevFullSnap = fullSnap;
    entry->prevIncrSnap = incrSnap;
    text = refs.toText();
    return !text.empty() && subclient.setBkpRefTime(text);
}
