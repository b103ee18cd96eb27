// Opening the next collect entry: read and decode the line, reset the
// per-item state, stat and open the item.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "hardlinks/HardLinkManager.h"
#include "platform/agent/KxLog.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"

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
    m_private->SetDeletedItem(0);
    m_pseudoItem = m_mountPointAsMountPath = m_appleDouble = m_adHocItem = false;
    m_hlCollectEntry = m_phonyNamePath = m_phonyNameFlag = false;
    m_hlHandlingForItem = true;
    phonyHLName.clear();
    m_salesforceKind = 0;
    m_mountPointIndex = 0;
    m_subItemMarker = m_rawDeviceMarker = m_dashLine = false;
    m_symlinkTarget.clear();
    m_nameMapped = false;
    m_shownName.clear();
    memset(&m_stat, 0, sizeof(m_stat));
    m_itemType = fTypeOther;
}

void RuxenFile::ApplyDirectives(const CollectDirectives& d) {
    m_directiveGeneration = d.generation;
    if (d.hbaseIncrementalSnapshot)
        m_private->hbaseIncrementalSnapshot = true;
    if (d.documentum)
        SetDocumentumSAName(d.documentumSAName);
    if (!d.salesforceRelations.empty()) {
        m_private->salesforceRelations = d.salesforceRelations;
        m_private->salesforceRelationsSent = false;
    }
}

void RuxenFile::ApplyCollectLine(const CollectLine& line) {
    const uint32_t m = line.markers;
    m_hlCollectEntry = line.kind == CollectLine::kHardLinkEntry;
    // The first line of a group whose header goes out heads it: a line
    // before it that vanished or failed leaves the group without a head, and
    // the next would name the previous group's.
    if (m_hlCollectEntry && line.newGroup)
        m_private->groupHeadPending = true;
    m_private->headOfNewGroup = m_hlCollectEntry && m_private->groupHeadPending;
    m_appleDouble = (m & kMarkerMac) != 0;
    m_pseudoItem = (m & kMarkerPseudo) != 0;
    m_adHocItem = (m & kMarkerAdHoc) != 0;
    m_mountPointIndex = line.mountIndex;
    m_subItemMarker = (m & kMarkerSub) != 0;
    m_mountPointAsMountPath = (m & kMarkerMountPath) != 0;
    m_rawDeviceMarker = (m & kMarkerRaw) != 0;
    m_dashLine = (m & kMarkerDataSize) != 0;
    m_hlHandlingForItem = (m & kMarkerNoHardLink) == 0;
    m_salesforceKind = line.salesforceKind;
    m_phonyNamePath = HardLinkManager::IsPhonyName(m_recordedPath);
    // Per item in the reader context: the next item must not inherit them.
    EnsureReader();
    m_readerContext->SetLink2RawDev(m_rawDeviceMarker);
    m_readerContext->SetEarlyStubBackup((m & kMarkerStub) != 0);
    // The end of a long-path item switches long-path reading off; each item
    // starts again from the job's switch, or every later long path would be
    // opened by the plain calls and fail.
    m_readerContext->SetLongPathBackup(m_settings.longPathSupport);
}

int RuxenFile::StatItem(const char* path, struct stat* st) {
    EnsureReader();
    return m_reader->lstat(path, st);
}

std::string RuxenFile::LookupFailureReason(int e) const {
    if (e != ELOOP || !m_reader || m_reader->LookupRefusal().link.empty())
        return strerror(e);
    const ruxen::WalkRefusal& why = m_reader->LookupRefusal();
    const unsigned owner = static_cast<unsigned>(why.owner);
    std::string reason(static_cast<size_t>(snprintf(nullptr, 0, kReasonLinkRefused, why.link.c_str(), owner)), '\0');
    snprintf(&reason[0], reason.size() + 1, kReasonLinkRefused, why.link.c_str(), owner);
    KXLOG(1, "%s: %s", m_recordedPath.c_str(), reason.c_str());
    return reason;
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
        // The directives come before every item: complete by now.
        const CollectDirectives* directives = source.Directives();
        if (directives && directives->generation != m_directiveGeneration)
            ApplyDirectives(*directives);
        ResetItemState(line.offset);

        if (r == CollectLineSource::kBadLine) {
            m_recordedPath.clear();
            ReportItemFailure(failures, line);
            return kItemSkipped;
        }

        m_recordedPath.swap(line.path);
        _mapped_name = m_recordedPath;
        m_actualPath = _mapped_name;
        ApplyCollectLine(line);
        if (line.markers & kMarkerDeleted) {
            // Gone from the client: nothing to stat or open.
            m_private->SetDeletedItem(line.deletedKind);
            return kItemGoOn;
        }
        if (!MapItemToLocalPath(failures))
            return kItemSkipped;

        if (StatItem(_mapped_name.c_str(), &m_stat) != 0) {
            int e = errno;
            ReportItemFailure(failures, m_recordedPath.c_str(), e, LookupFailureReason(e).c_str());
            return kItemSkipped;
        }
        if (IsJobOutput(m_stat)) {
            KXLOG(2, "%s is one of the job's own output files: passed over", printName());
            return kItemSkipped;
        }
        m_itemType = TypeOfMode(m_stat.st_mode);
        FillItemMountInfo();
        if (m_settings.backupMacProperties && m_itemType == fTypeRegular)
            m_appleDouble = true;
        if (HardLinkCandidate() && !HardLinkTable())
            KXLOG(-1, "no hard-links table in [%s] for %s", m_settings.jobResultsFolder.c_str(), printName());

        // The reader opens the item (a regular file's data fork, a FIFO
        // without blocking), recognises stubs and checks that the path
        // still names what was stat-ed.
        m_readerContext->InitHSM();
        if (m_reader->initialize(m_actualPath.c_str(), &m_stat, m_appleDouble, m_settings.preserveTimes) != 0) {
            int e = errno ? errno : EIO;
            m_itemOpen = true;  // partial state goes with the next closeFile
            CloseItem();
            std::string why;
            if (e == EWOULDBLOCK && m_itemType == fTypeRegular) {
                char lease[128];
                snprintf(lease, sizeof lease, kReasonLeaseNotReleased, m_readerContext->LeaseBreakWaitSeconds());
                why = lease;
            } else {
                why = e == ESTALE ? "the item changed between stat and open" : LookupFailureReason(e);
            }
            ReportItemFailure(failures, m_recordedPath.c_str(), e, why.c_str());
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

bool RuxenFile::HardLinkCandidate() const {
    return m_settings.hardLinkJob && m_hlHandlingForItem && m_stat.st_nlink > 1 && m_itemType != fTypeDirectory;
}

bool RuxenFile::HardLinkGroupData() const {
    return m_settings.hardLinkJob && m_hlHandlingForItem && !NamesGroupData() && m_stat.st_nlink >= 2 &&
           m_itemType != fTypeDirectory && !m_phonyNamePath;
}

// A group's lines in a hard-link collect file stand together (the split
// writes them so): its data and every member's name go out once, with the
// first line that goes out, and each later line is a member like a line of
// a regular collect file. Sending them again with every line would cost
// the square of the group's size.
bool RuxenFile::NamesGroupData() const {
    return !m_hlCollectEntry || (!m_settings.indexV2 && !m_private->headOfNewGroup);
}

HardLinksTablePtr RuxenFile::HardLinkTable() {
    if (!m_hlTable || !m_hlTable->isOpen())
        m_hlTable = HardLinkManager::getHLTableClass(m_settings.jobResultsFolder, true);
    return m_hlTable;
}
