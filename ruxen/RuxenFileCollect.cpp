// Opening the next collect entry: read and decode the line, reset the
// per-item state, stat and open the item.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "errorpolicy/ErrorController.h"
#include "platform/FileNameEscape.h"
#include "platform/KxLog.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"

namespace {

// Opens a regular file for reading without following a link, without
// blocking and without touching its access time where the process may.
int openItem(const char* path) {
    int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(path, flags | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = open(path, flags);
    return fd;
}

}  // namespace

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

        if (m_itemType == fTypeRegular) {
            m_itemFd = openItem(m_actualPath.c_str());
            if (m_itemFd < 0) {
                int e = errno;
                ReportItemFailure(failures, m_recordedPath.c_str(), e, strerror(e));
                return -1;
            }
            // The path must still name the item that was stat-ed: one swapped
            // for another file between the two calls would be sent under the
            // wrong header.
            struct stat fst;
            if (fstat(m_itemFd, &fst) != 0 || !S_ISREG(fst.st_mode) || fst.st_ino != m_stat.st_ino ||
                fst.st_dev != m_stat.st_dev) {
                CloseItem();
                ReportItemFailure(failures, m_recordedPath.c_str(), ESTALE,
                                  "the item changed between stat and open");
                return -1;
            }
            m_stat = fst;
        }
        return 0;
    }
}
