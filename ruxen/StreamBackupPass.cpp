#include "ruxen/StreamBackupPass.h"

#include <cerrno>

#include "platform/KxLog.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"

StreamBackupPass::Result StreamBackupPass::RunDataLoop(CollectLineSource& source) {
    RuxenFile& f = m_file;
    f.PrepareReaderForPass();
    for (;;) {
        int r = f.OpenFilesForBackup(source, m_failures);
        if (r == RuxenFile::kEndOfCollect) {
            // Lost lines of the failures or results file would let failed
            // items pass unrecorded under a successful stream.
            if (f.FailureListWriteFailed()) {
                KXLOG(-1, "the failures or results file of %s could not be written, the stream fails",
                      source.Name().c_str());
                return kStreamFailed;
            }
            return kCollectDone;
        }
        if (r == RuxenFile::kFailStream) {
            KXLOG(-1, "cannot read the next item of %s, the stream fails", source.Name().c_str());
            return kStreamFailed;
        }
        // A deleted item has nothing to read: its header and end-of-item
        // records come from the deleted-item sender, not from this road.
        if (r == RuxenFile::kItemGoOn && f.Private().isDeletedItem())
            continue;
        ++m_itemsSeen;
        if (m_listener)
            m_listener->StreamAt(f.GetHeader().h_collect_offset);
        if (r != RuxenFile::kItemGoOn) {
            // The item failed before its header and was reported; the index
            // learns of it too when the job keeps failed items there.
            f.RecordFailedCollectEntry();
            continue;
        }

        r = f.PopulateHeader(m_files, m_failures);
        if (r == RuxenFile::kItemSkipped)
            continue;
        if (r != RuxenFile::kItemGoOn)
            return kStreamFailed;

        if (f.SendHeader(m_failures) != RuxenFile::kItemGoOn)
            return kStreamFailed;

        r = f.PrepareAndSendMetaData(m_failures);
        if (r == RuxenFile::kFailStream) {
            KXLOG(-1, "PrepareAndSendMetaData fail with FAIL_BACKUP");
            return kStreamFailed;
        }
        if (r != RuxenFile::kItemGoOn) {
            // The header is already on the stream: the item must be closed
            // before the next one starts, or the storage side would read the
            // next header as this item's data.
            KXLOG(-1, "Failed to send meta-data for '%s', continue backup with next file", f.printName());
            if (f.GetFailureCode() == 0)
                f.ReportItemFailure(m_failures, f.GetRecordedPath().c_str(), EIO, "failed to send meta-data");
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

        r = f.ReadAndSendFileData(m_failures);
        if (r == RuxenFile::kFailStream)
            return kStreamFailed;
        if (r != RuxenFile::kItemGoOn && f.GetFailureCode() == 0)
            f.ReportItemFailure(m_failures, f.GetRecordedPath().c_str(), EIO, "failed to read the item");
        int e = f.SendEndOfFileMessage(r == RuxenFile::kItemGoOn ? 1 : 0);
        if (e == RuxenFile::kNoBuffer) {
            // Without its end-of-item record the item is not closed on the
            // stream: going on would corrupt every later item.
            KXLOG(-1, "no buffer for the end-of-item record of '%s', the stream fails", f.printName());
            return kStreamFailed;
        }
        if (e != RuxenFile::kItemGoOn)
            return kStreamFailed;
    }
}
