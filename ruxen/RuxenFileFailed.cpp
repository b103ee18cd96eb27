// Failed items in the index. When the job keeps failed items there, a
// failed item is recorded as an index metadata message carrying its failure
// code and reason and its GUIDs: in a data stream as a metadata record (159)
// after the item's header (the header, and a failed end-of-item record 134,
// are sent for an item whose header had not gone out yet), in a catalog
// stream straight to the indexing connection with the item's header.
//
// A failure recorded after the header went out, and not at the end of the
// item, is recorded once more after the item's end-of-item record (the
// resend mark, read by SendEndOfFileMessageInternal); the resend starts no
// further one.

#include "platform/agent/AppTypes.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/QMErrorUtil.h"
#include "platform/index/IdxMetadata.h"
#include "platform/index/IndexingConnection.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"
#include "ruxen/RuxenProcessSwitches.h"

bool RuxenFile::UseIndexForFailedFiles() {
    RuxenProcessSwitches& s = ProcessSwitches();
    std::lock_guard<std::mutex> lock(s.useIndexLock);
    if (s.useIndex < 0) {
        bool answer = false, send = false;
        std::string value;
        if (KXPlatformInfo::getBool(kFileSystemAgentSection, kKeySendFailedFilesToIndex, send) && send) {
            KXLOG(0, "Will send failed file information to Index for GUI listing");
            answer = true;
        } else if (m_pipelayer) {
            answer = false;  // a snapshot-restore job: it runs on the pipeline layer
        } else if (isFileSystemAppType(m_settings.appType) &&
                   KXPlatformInfo::getString(kFileSystemAgentSection, kKeyUseIndexForFailedItems, value) &&
                   (value[0] == 'y' || value[0] == 'Y')) {
            KXLOG(0, "File system backups will store failed file information in Index");
            answer = true;
        }
        s.useIndex = answer ? 1 : 0;
    }
    return s.useIndex == 1;
}

// The header is filled again for the record: it counts nothing and reports
// nothing (the item was counted and listed when it failed), and the item's
// failure stays what it was.
int RuxenFile::RefillHeaderForFailedRecord(bool endOfItem) {
    const RuxenCounters counters = m_counters;
    const int code = m_item.failureCode;
    const std::string reason = m_item.failureReason;
    const bool resultsOn = m_resultsOn;
    m_resultsOn = false;
    int r = PopulateHeaderEx(nullptr, nullptr, true, endOfItem);
    m_resultsOn = resultsOn;
    m_counters.countableItems = counters.countableItems;
    m_counters.totalBytes = counters.totalBytes;
    m_counters.failedItems = counters.failedItems;
    m_item.failureCode = code;
    m_item.failureReason = reason;
    return r;
}

CTyError RuxenFile::FillIndexMetaData(IdxMetadata::IdxMetaData& message) {
    IdxMetadata::IdxErrorInfo* error = message.getError();
    IdxMetadata::IdxIndexingData* indexing = message.getIndexing();
    IdxMetadata::DmStubData* stub = message.getDmStubData();
    IdxMetadata::IdxDbInfo* db = indexing->getDbInfo();
    error->setCode(m_item.failureCode);
    error->setReason(m_item.failureReason);

    std::string component, object, parent, version;
    CTyError e = m_private->GetComponentGUID(component);
    if (e.IsError()) {
        KXLOG(-1, "Failed to get component GUID for '%s', error=%s. Use component GUID of root", printName(),
              e.Message().c_str());
        CTyError root = m_private->GenerateComponentGUID("/", false, false);
        if (root.IsError()) {
            const std::string why = root.Message();
            return root.Push(QM_LOC, "Failed to generate component GUID for '/', error=%s", why.c_str());
        }
        // The root's GUID is read back: the failed getter left nothing usable.
        e = m_private->GetComponentGUID(component);
        if (e.IsError())
            return e.Push(QM_LOC, "Failed to get component GUID of '/' for '%s'", printName());
    }
    if ((e = m_private->GetObjectGUID(object)).IsError())
        return e.Push(QM_LOC, "Failed to get object GUID for '%s'", printName());
    if ((e = m_private->GetParentObjectGUID(parent)).IsError())
        return e.Push(QM_LOC, "Failed to get parent object GUID for '%s'", printName());
    if ((e = m_private->GetVersionGUID(version)).IsError())
        return e.Push(QM_LOC, "Failed to get version GUID for '%s'", printName());
    db->setComponentGuid(component);
    indexing->setObjectGuid(object);
    indexing->setParentObjectGuid(parent);
    stub->setGuid(version.empty() ? object : version);
    return CTyError();
}

CTyError RuxenFile::sendFailedFileInfo(bool endOfItem, IndexingConnection* connection) {
    const bool headerWasSent = m_item.headerSent();
    if (!m_settings.sendOn) {
        KXLOG(4, "Not sending failed file %s to index since sendFlag is false", printName());
        return CTyError();
    }
    if (!UseIndexForFailedFiles())
        return CTyError();
    KXLOG(4, "m_headerSent:%d file:%s: failure:%d:%s:", headerWasSent ? 1 : 0, printName(), m_item.failureCode,
          m_item.failureReason.c_str());

    // The header is filled again with the name it goes under (the
    // recorded one, as the item's own header carries it), whose length the
    // filling checks: a name that does not fit is refused, never cut.
    if (m_settings.catalogBackup || !headerWasSent) {
        int r = RefillHeaderForFailedRecord(endOfItem);
        if (r != kItemGoOn)
            return QMErrorUtil::ErrorWin32(QM_LOC, r,
                                           m_settings.catalogBackup
                                               ? "Failed to populate file header for '%s'"
                                               : "Failed to populate file header for meta-data for '%s'",
                                           printName());
    }
    IdxMetadata::IdxMetaData message;
    if (m_settings.catalogBackup) {
        if (!connection)
            return QMErrorUtil::ErrorWin32(QM_LOC, -1, "IndexingConnection was not initialized in catalog job");
        m_item.header.portable_flags |= ZXFLAG_FAILED_ITEM;
        CTyError e = FillIndexMetaData(message);
        if (e.IsError())
            return e.Push(QM_LOC, "failed-item message of '%s'", printName());
        if (connection->sendMetaDataInfo(&message) != 0)
            return QMErrorUtil::ErrorWin32(QM_LOC, -1, "sendMetaDataInfo() failed for '%s'", printName());
        if (connection->sendFileInfo(&m_item.header, 0, nullptr, 0) != 0)
            return QMErrorUtil::ErrorWin32(QM_LOC, -1, "sendFileInfo() failed for '%s'", printName());
        return CTyError();
    }

    if (!headerWasSent) {
        int r = SendHeader(nullptr);
        if (r != kItemGoOn)
            return QMErrorUtil::ErrorWin32(QM_LOC, r, "Failed to send file header for meta-data for '%s'", printName());
    }
    CTyError e = FillIndexMetaData(message);
    if (e.IsError())
        return e.Push(QM_LOC, "failed-item message of '%s'", printName());
    if (connection) {
        if (connection->sendMetaDataInfo(&message) != 0)
            return QMErrorUtil::ErrorWin32(QM_LOC, -1, "sendMetaDataInfo() returns failure for '%s'", printName());
    } else {
        switch (SendMetadataRecord(&message, 0, nullptr)) {
        case kMetaSent:
        case kMetaNothing:
            break;
        case kMetaEncodeFailed:
            return QMErrorUtil::ErrorWin32(QM_LOC, -1, "getEncodedLength() returns failure for '%s'", printName());
        case kMetaNoBuffer:
            return QMErrorUtil::ErrorWin32(QM_LOC, -1, "Null buffer returned from AllocateDataBuffer()");
        case kMetaFillFailed:
            return QMErrorUtil::ErrorWin32(QM_LOC, -1, "Unable to fill indexing buffer for '%s'", printName());
        default:
            KXLOG(-1, "Error during SendBufer, status = %s", m_item.failureReason.c_str());
            return QMErrorUtil::ErrorWin32(QM_LOC, -1, "Error during SendBufer");
        }
    }
    if (!headerWasSent) {
        m_item.endResult = SendEndOfFileMessageInternal(0);
        if (m_item.endResult != kItemGoOn)
            return QMErrorUtil::ErrorWin32(QM_LOC, m_item.endResult,
                                           "Failed to send EOF message for meta-data for '%s'", printName());
    }
    // Only a failure recorded after the header had gone out is recorded
    // again after the item's own end-of-item record.
    if (headerWasSent && !endOfItem)
        m_item.resendFailedItem = true;
    return CTyError();
}

void RuxenFile::RecordFailedCollectEntry(IndexingConnection* connection) {
    if (!m_item.failureReported || m_item.recordedPath.empty())
        return;
    CTyError e = sendFailedFileInfo(false, connection);
    if (e.IsError())
        KXLOG(-1, "sendFailedFileInfo:%s:%s", printName(), e.Message().c_str());
}
