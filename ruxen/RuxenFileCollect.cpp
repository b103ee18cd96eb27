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
    m_item.Clear();
    m_item.header.h_collect_offset = collectOffset;
}

void RuxenFile::ApplyDirectives(const CollectDirectives& d) {
    m_stream.directiveGeneration = d.generation;
    if (d.hbaseIncrementalSnapshot)
        m_stream.hbaseIncrementalSnapshot = true;
    if (d.documentum)
        m_stream.documentumSAName = d.documentumSAName;
    if (!d.salesforceRelations.empty()) {
        m_stream.salesforceRelations = d.salesforceRelations;
        m_stream.salesforceRelationsSent = false;
    }
}

void RuxenFile::ApplyCollectLine(const CollectLine& line) {
    const uint32_t m = line.markers;
    m_item.hlCollectEntry = line.kind == CollectLine::kHardLinkEntry;
    // The first line of a group whose header goes out heads it: a line
    // before it that vanished or failed leaves the group without a head, and
    // the next would name the previous group's.
    if (m_item.hlCollectEntry && line.newGroup)
        m_stream.groupHeadPending = true;
    m_item.headOfNewGroup = m_item.hlCollectEntry && m_stream.groupHeadPending;
    m_item.appleDouble = (m & kMarkerMac) != 0;
    m_item.pseudoItem = (m & kMarkerPseudo) != 0;
    m_item.adHocItem = (m & kMarkerAdHoc) != 0;
    m_item.mountPointIndex = line.mountIndex;
    m_item.subItemMarker = (m & kMarkerSub) != 0;
    m_item.mountPointAsMountPath = (m & kMarkerMountPath) != 0;
    m_item.rawDeviceMarker = (m & kMarkerRaw) != 0;
    m_item.dashLine = (m & kMarkerDataSize) != 0;
    m_item.hlHandling = (m & kMarkerNoHardLink) == 0;
    m_item.salesforceKind = line.salesforceKind;
    m_item.phonyNamePath = HardLinkManager::IsPhonyName(m_item.recordedPath);
    // Per item in the reader context: the next item must not inherit them.
    EnsureReader();
    m_readerContext->SetLink2RawDev(m_item.rawDeviceMarker);
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
    KXLOG(1, "%s: %s", m_item.recordedPath.c_str(), reason.c_str());
    return reason;
}

int RuxenFile::OpenFilesForBackup(CollectLineSource& source, FILE* failures) {
    const int r = OpenNextCollectItem(source, failures);
    // The host's override path was for this item: one that does not go on,
    // and gets no failed-item record (which ends it), ends here.
    if (r != kItemGoOn && !(r == kItemSkipped && m_item.failureReported))
        m_overridePath.clear();
    return r;
}

int RuxenFile::OpenNextCollectItem(CollectLineSource& source, FILE* failures) {
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
        if (directives && directives->generation != m_stream.directiveGeneration)
            ApplyDirectives(*directives);
        ResetItemState(line.offset);

        if (r == CollectLineSource::kBadLine) {
            ReportItemFailure(failures, line);
            return kItemSkipped;
        }

        m_item.recordedPath.swap(line.path);
        m_item.mappedName = m_item.recordedPath;
        m_item.actualPath = m_item.mappedName;
        ApplyCollectLine(line);
        if (RefuseDotComponents(failures))
            return kItemSkipped;
        if (line.markers & kMarkerDeleted) {
            // Gone from the client: nothing to stat or open.
            m_item.deletedKind = line.deletedKind;
            m_item.phase = RuxenItemPhase::kOpened;
            return kItemGoOn;
        }
        if (!MapItemToLocalPath(failures))
            return kItemSkipped;

        if (StatItem(m_item.mappedName.c_str(), &m_item.st) != 0) {
            int e = errno;
            ReportItemFailure(failures, m_item.recordedPath.c_str(), e, LookupFailureReason(e).c_str());
            return kItemSkipped;
        }
        if (IsJobOutput(m_item.st)) {
            KXLOG(2, "%s is one of the job's own output files: passed over", printName());
            return kItemSkipped;
        }
        m_item.type = TypeOfMode(m_item.st.st_mode);
        FillItemMountInfo();
        if (m_settings.backupMacProperties && m_item.type == fTypeRegular)
            m_item.appleDouble = true;
        if (HardLinkCandidate() && !HardLinkTable())
            KXLOG(-1, "no hard-links table in [%s] for %s", m_settings.jobResultsFolder.c_str(), printName());

        // The reader opens the item (a regular file's data fork, a FIFO
        // without blocking), recognises stubs and checks that the path
        // still names what was stat-ed.
        m_readerContext->InitHSM();
        if (m_reader->initialize(m_item.actualPath.c_str(), &m_item.st, m_item.appleDouble, m_settings.preserveTimes) !=
            0) {
            int e = errno ? errno : EIO;
            m_item.open = true;  // partial state goes with the next closeFile
            CloseItem();
            std::string why;
            if (e == EWOULDBLOCK && m_item.type == fTypeRegular) {
                char lease[128];
                snprintf(lease, sizeof lease, kReasonLeaseNotReleased, m_readerContext->LeaseBreakWaitSeconds());
                why = lease;
            } else {
                why = e == ESTALE ? "the item changed between stat and open" : LookupFailureReason(e);
            }
            ReportItemFailure(failures, m_item.recordedPath.c_str(), e, why.c_str());
            return kItemSkipped;
        }
        m_item.open = true;
        MarkFileSetItem();

        // Mandatory locking: a file another process holds a write lock on
        // cannot be read consistently. Only files marked for mandatory
        // locking (set-group-ID without group execute) can be locked so.
        if (m_item.type == fTypeRegular && !m_reader->isStub() &&
            (m_item.st.st_mode & (S_ISGID | S_IXGRP)) == S_ISGID) {
            int locked = m_reader->isLocked();
            if (locked == 1 || locked == -2) {
                CloseItem();
                int e = locked == 1 ? EAGAIN : ENOENT;
                ReportItemFailure(failures, m_item.recordedPath.c_str(), e,
                                  locked == 1 ? "the file is locked by another process" : strerror(e));
                return kItemSkipped;
            }
        }
        m_item.phase = RuxenItemPhase::kOpened;
        return kItemGoOn;
    }
}

bool RuxenFile::HardLinkCandidate() const {
    return m_settings.hardLinkJob && m_item.hlHandling && m_item.st.st_nlink > 1 && m_item.type != fTypeDirectory;
}

bool RuxenFile::HardLinkGroupData() const {
    return m_settings.hardLinkJob && m_item.hlHandling && !NamesGroupData() && m_item.st.st_nlink >= 2 &&
           m_item.type != fTypeDirectory && !m_item.phonyNamePath;
}

// A group's lines in a hard-link collect file stand together (the split
// writes them so): its data and every member's name go out once, with the
// first line that goes out, and each later line is a member like a line of
// a regular collect file. Sending them again with every line would cost
// the square of the group's size.
bool RuxenFile::NamesGroupData() const {
    return !m_item.hlCollectEntry || (!m_settings.indexV2 && !m_item.headOfNewGroup);
}

HardLinksTablePtr RuxenFile::HardLinkTable() {
    if (!m_hlTable || !m_hlTable->isOpen())
        m_hlTable = HardLinkManager::getHLTableClass(m_settings.jobResultsFolder, true);
    return m_hlTable;
}
