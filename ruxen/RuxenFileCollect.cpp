// Opening the next collect entry: read and decode the line, reset the
// per-item state, stat and open the item.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/KxLog.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"


void RuxenFile::ResetItemState(uint64_t collectOffset) {
    m_header.Clear();
    m_header.h_collect_offset = collectOffset;
    m_failureCode = 0;
    m_failureReason.clear();
    m_errorText.clear();
    m_headerSent = m_failureReported = m_closedByFailedRecord = false;
    m_private->resendFailedItem = false;
    m_private->headOfNewGroup = false;
    m_private->itemFsType.clear();
    m_pseudoItem = m_mountPointAsMountPath = m_appleDouble = m_adHocItem = false;
    m_hlCollectEntry = m_phonyNamePath = m_phonyNameFlag = false;
    m_hlHandlingForItem = true;
    phonyHLName.clear();
    m_salesforceKind = 0;
    m_mountPointIndex = 0;
    m_subItemMarker = m_rawDeviceMarker = m_dashLine = false;
    m_symlinkTarget.clear();
    memset(&m_stat, 0, sizeof(m_stat));
    m_itemType = fTypeOther;
}

int RuxenFile::OpenFilesForBackup(CollectLineSource& source, FILE* failures) {
    CloseItem();
    CollectLine& line = m_collectLine;
    for (;;) {
        CollectLineSource::Result r = source.Next(line);
        if (r == CollectLineSource::kEnd)
            return kEndOfCollect;
        if (r == CollectLineSource::kReadError) {
            KXLOG(-1, "%s", line.error.c_str());
            return kFailStream;
        }
        ResetItemState(line.offset);

        if (r == CollectLineSource::kBadLine) {
            m_recordedPath.clear();
            ReportItemFailure(failures, line);
            return kItemSkipped;
        }

        m_recordedPath.swap(line.path);
        _mapped_name = m_recordedPath;
        m_actualPath = _mapped_name;

        if (lstat(_mapped_name.c_str(), &m_stat) != 0) {
            int e = errno;
            ReportItemFailure(failures, m_recordedPath.c_str(), e, strerror(e));
            return kItemSkipped;
        }
        if (IsJobOutput(m_stat)) {
            KXLOG(2, "%s is one of the job's own output files: passed over", printName());
            return kItemSkipped;
        }
        m_itemType = TypeOfMode(m_stat.st_mode);
        m_appleDouble = m_backupMacProperties && m_itemType == fTypeRegular;

        // The reader opens the item (a regular file's data fork, a FIFO
        // without blocking), recognises stubs and checks that the path
        // still names what was stat-ed.
        EnsureReader();
        m_readerContext->InitHSM();
        if (m_reader->initialize(m_actualPath.c_str(), &m_stat, m_appleDouble, m_preserveTimes) != 0) {
            int e = errno ? errno : EIO;
            m_itemOpen = true;  // partial state goes with the next closeFile
            CloseItem();
            ReportItemFailure(failures, m_recordedPath.c_str(), e,
                              e == ESTALE ? "the item changed between stat and open" : strerror(e));
            return kItemSkipped;
        }
        m_itemOpen = true;
        MarkFileSetItem();

        // Mandatory locking: a file another process holds a write lock on
        // cannot be read consistently. Only files marked for mandatory
        // locking (set-group-ID without group execute) can be locked so.
        if (m_itemType == fTypeRegular && !m_reader->isStub() &&
            (m_stat.st_mode & (S_ISGID | S_IXGRP)) == S_ISGID) {
            int locked = m_reader->isLocked();
            if (locked == 1 || locked == -2) {
                CloseItem();
                int e = locked == 1 ? EAGAIN : ENOENT;
                ReportItemFailure(failures, m_recordedPath.c_str(), e,
                                  locked == 1 ? "the file is locked by another process" : strerror(e));
                return kItemSkipped;
            }
        }
        return kItemGoOn;
    }
}
