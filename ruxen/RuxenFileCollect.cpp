// Opening the next collect entry: read and decode the line, reset the
// per-item state, stat and open the item.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "errorpolicy/ErrorController.h"
#include "platform/FileNameEscape.h"
#include "platform/KxLog.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"


int RuxenFile::OpenFilesForBackup(CollectLineSource& source, FILE* failures) {
    CloseItem();
    CollectLine line;
    for (;;) {
        CollectLineSource::Result r = source.Next(line);
        if (r == CollectLineSource::kEnd)
            return 1;
        if (r == CollectLineSource::kReadError) {
            KXLOG(-1, "%s", line.error.c_str());
            return 2;
        }

        // Everything that belongs to the previous item is forgotten here:
        // a failure left over would make later steps treat this item as
        // failed, and a stale header-sent flag would skip its header.
        m_header.Clear();
        m_header.h_collect_offset = line.offset;
        m_failureCode = 0;
        m_failureReason.clear();
        m_errorText.clear();
        m_headerSent = false;
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

        if (r == CollectLineSource::kBadLine) {
            m_recordedPath = line.raw;
            setFailureReason(line.errnum, "%s", line.error.c_str());
            if (!ErrorController::shouldReportError(line.errnum) ||
                !ErrorController::shouldReportError(line.raw, line.errnum)) {
                KXLOG(1, "%s (not reported)", line.error.c_str());
                return -1;
            }
            KXLOG(-1, "%s", line.error.c_str());
            ++m_failedItems;
            if (failures && !line.raw.empty()) {
                // The raw line is already in escaped form (no CR or LF). A
                // raw NUL would cut the line: the error number would be lost
                // and the rest would name another path. It goes as "%00",
                // which no reader decodes into a path.
                m_failureLine.clear();
                for (char c : line.raw) {
                    if (c == '\0')
                        m_failureLine += "%00";
                    else
                        m_failureLine += c;
                }
                m_failureLine += ':';
                m_failureLine += std::to_string(line.errnum);
                write_to_file(m_failureLine.c_str(), failures);
            }
            return -1;
        }

        m_recordedPath.swap(line.path);
        _mapped_name = m_recordedPath;
        m_actualPath = _mapped_name;

        if (lstat(_mapped_name.c_str(), &m_stat) != 0) {
            int e = errno;
            ReportItemFailure(failures, m_recordedPath.c_str(), e, strerror(e));
            return -1;
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
            return -1;
        }
        m_itemOpen = true;

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
                return -1;
            }
        }
        return 0;
    }
}
