#include "ruxen/StreamBackupPass.h"

#include <cerrno>

#include "platform/agent/KxLog.h"
#include "platform/base/StopSignals.h"
#include "platform/index/IndexingConnection.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/RuxenFile.h"

StreamBackupPass::Step StreamBackupPass::OpenNextItem(CollectLineSource& source, IndexingConnection* connection) {
    RuxenFile& f = m_file;
    // The item before has ended; when errors are not tolerated its failure
    // ends the stream.
    if (!f.ItemFailuresTolerated())
        return kStepFail;
    if (ruxen::StopRequested() != 0) {
        KXLOG(-1, "signal %d: the stream stops before the next item of %s", ruxen::StopRequested(),
              source.Name().c_str());
        return kStepStop;
    }
    int r = f.OpenFilesForBackup(source, m_failures);
    if (r == RuxenFile::kEndOfCollect)
        return ListsComplete(source) ? kStepDone : kStepFail;
    if (r == RuxenFile::kFailStream) {
        KXLOG(-1, "cannot read the next item of %s, the stream fails", source.Name().c_str());
        return kStepFail;
    }
    ++m_itemsSeen;
    if (m_listener)
        m_listener->StreamAt(f.GetHeader().h_collect_offset);
    // A deleted item has nothing to read: its header and end-of-item
    // records come from the deleted-item sender, not from this road.
    if (r == RuxenFile::kItemGoOn && f.IsDeletedItem())
        return SendDeletedItem(connection) ? kStepNext : kStepFail;
    if (r != RuxenFile::kItemGoOn) {
        // The item failed before its header and was reported; the index
        // learns of it too when the job keeps failed items there.
        f.RecordFailedCollectEntry(connection);
        return kStepNext;
    }
    r = f.PopulateHeader(m_files, m_failures);
    if (r == RuxenFile::kItemSkipped)
        return kStepNext;
    return r == RuxenFile::kItemGoOn ? kStepItem : kStepFail;
}

StreamBackupPass::Step StreamBackupPass::AfterMetaData(int r) {
    RuxenFile& f = m_file;
    if (r == RuxenFile::kItemGoOn)
        return kStepItem;
    if (r == RuxenFile::kFailStream) {
        KXLOG(-1, "PrepareAndSendMetaData fail with FAIL_BACKUP");
        return kStepFail;
    }
    KXLOG(-1, "Failed to send meta-data for '%s', continue backup with next file", f.printName());
    if (f.GetFailureCode() == 0)
        f.ReportItemFailure(m_failures, f.GetRecordedPath().c_str(), EIO, "failed to send meta-data");
    return kStepNext;
}

StreamBackupPass::Result StreamBackupPass::Ended(Step step) {
    return step == kStepDone ? kCollectDone : step == kStepStop ? kStopped : kStreamFailed;
}

StreamBackupPass::Result StreamBackupPass::RunDataLoop(CollectLineSource& source) {
    RuxenFile& f = m_file;
    f.PrepareReaderForPass();
    for (;;) {
        Step step = OpenNextItem(source, nullptr);
        if (step == kStepNext)
            continue;
        if (step != kStepItem)
            return Ended(step);

        if (f.SendHeader(m_failures) != RuxenFile::kItemGoOn)
            return kStreamFailed;

        step = AfterMetaData(f.PrepareAndSendMetaData(m_failures));
        if (step == kStepFail)
            return kStreamFailed;
        if (step == kStepNext) {
            // The header is already on the stream: the item must be closed
            // before the next one starts, or the storage side would read the
            // next header as this item's data.
            int e = f.SendEndOfFileMessage(0);
            if (e != RuxenFile::kItemGoOn) {
                KXLOG(-1, "cannot close the item '%s' on the stream (%d), the stream fails", f.printName(), e);
                return kStreamFailed;
            }
            continue;
        }
        // A side record for the resource report: the item goes on without it.
        if (m_flaProps && !f.SendFLAProps())
            KXLOG(1, "Failed to send the file-level properties of '%s'", f.printName());

        const int r = f.ReadAndSendFileData(m_failures);
        if (r == RuxenFile::kFailStream)
            return kStreamFailed;
        if (r != RuxenFile::kItemGoOn && f.GetFailureCode() == 0)
            f.ReportItemFailure(m_failures, f.GetRecordedPath().c_str(), EIO, "failed to read the item");
        int e = f.SendEndOfFileMessage(r == RuxenFile::kItemGoOn ? 1 : 0);
        if (e == RuxenFile::kNotSent) {
            // Without its end-of-item record the item is not closed on the
            // stream: going on would corrupt every later item.
            KXLOG(-1, "no buffer for the end-of-item record of '%s', the stream fails", f.printName());
            return kStreamFailed;
        }
        if (e != RuxenFile::kItemGoOn)
            return kStreamFailed;
    }
}

bool StreamBackupPass::ListsComplete(CollectLineSource& source) {
    // Lost lines of the failures or results file would let failed items
    // pass unrecorded under a successful stream.
    if (!m_file.FailureListWriteFailed())
        return true;
    KXLOG(-1, "the failures or results file of %s could not be written, the stream fails", source.Name().c_str());
    return false;
}

bool StreamBackupPass::SendDeletedItem(IndexingConnection* connection) {
    RuxenFile& f = m_file;
    const int kind = f.DeletedItemKind();
    const int r = connection ? f.SendDeletedItemHeader(f.GetRecordedPath(), kind, connection)
                             : f.SendDeletedItemHeader(f.GetRecordedPath(), kind);
    if (r == RuxenFile::kFailStream) {
        KXLOG(-1, "cannot send the deleted item '%s', the stream fails", f.printName());
        return false;
    }
    if (r == RuxenFile::kItemGoOn && connection)
        ++m_entriesSent;
    if (r == RuxenFile::kNotSent && f.GetFailureCode() != 0) {
        const std::string reason = f.GetFailureReason();
        f.ReportItemFailure(m_failures, f.GetRecordedPath().c_str(), f.GetFailureCode(), reason.c_str());
    }
    return true;
}

StreamBackupPass::Result StreamBackupPass::RunCatalogLoop(CollectLineSource& source, IndexingConnection& connection) {
    RuxenFile& f = m_file;
    f.setCatalogBackup(true);
    f.PrepareReaderForPass();
    const int level = f.GetJobInfo().backupLevel;
    for (;;) {
        Step step = OpenNextItem(source, &connection);
        if (step == kStepNext)
            continue;
        if (step != kStepItem)
            return Ended(step);

        step = AfterMetaData(f.PrepareAndSendMetaData(m_failures, level, m_nfsSnapDiff, &connection));
        if (step == kStepFail)
            return kStreamFailed;
        if (step == kStepNext) {
            // Pairs already sent must not be taken for the next item's.
            if (connection.clearMetaDataInfo() != 0)
                return kStreamFailed;
            continue;
        }
        if (connection.sendFileInfo(&f.GetHeader(), 0, f.getSymLinkContent(), 0) != 0) {
            KXLOG(-1, "cannot send the index entry of '%s', the stream fails", f.printName());
            return kStreamFailed;
        }
        ++m_entriesSent;
    }
}
