// Closing the item on the stream with its end-of-item record (130 backed
// up, 134 failed), and the item's side business after it: the failure sent
// once more to the index when asked, the early-stub candidate line, and the
// archive-and-delete list.
//
// The record carries, where the item needs one, the text that ties it to
// other items, with its NUL: a hard-link member's phony name (or, under
// index version 2, its group head's version GUID; one NUL byte for the head
// itself), else a symbolic link's target. The payload is chosen first and
// the buffer sized for exactly it, so a hard-linked symbolic link carries
// its phony name in a buffer of that name's size.
#include <cerrno>
#include <cstring>

#include "hardlinks/HardLinkManager.h"
#include "platform/agent/KxLog.h"
#include "reader/CFileReaderContext.h"
#include "ruxen/HardLinkLedger.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"
#include "ruxen/RuxenPerfStages.h"

namespace {

// A line and its line feed, flushed; false when any of it failed.
bool writeLine(FILE* f, const std::string& line) {
    return fputs(line.c_str(), f) != EOF && fputc('\n', f) != EOF && fflush(f) == 0;
}

}  // namespace

void RuxenFile::SetArchiveAndDelete(bool on, FILE* list) {
    m_settings.archiveAndDelete = on;
    m_archiveDeleteList = list;
}

int RuxenFile::SendEndOfFileMessage(int eof) {
    if (eof != 1) {
        CTyError e = sendFailedFileInfo(true);
        if (e.IsError())
            KXLOG(-1, "sendFailedFileInfo:%s:%s", printName(), e.Message().c_str());
        // A failed item whose header had not gone out was sent whole, its
        // end-of-item record included, by the failed-item record.
        if (m_item.phase == RuxenItemPhase::kEnded)
            return m_item.endResult;
    }
    return SendEndOfFileMessageInternal(eof);
}

int RuxenFile::SendEndOfFileMessageInternal(int eof) {
    KXLOG(3, "'%s' eof=%d", printName(), eof);
    m_item.phase = RuxenItemPhase::kEnded;
    ResetAppDefVersionGUIDSeedSuffix();
    const unsigned type = eof == 1 ? PL_FS_EOF : PL_FS_EOF_FAILED;
    // A deleted or browse item has no data, no link target and no hard-link
    // group to name, nothing on the client to stub or delete.
    const bool noData = m_item.isDeletedItem();

    if (m_settings.sendOn) {
        const std::string* payload = nullptr;
        static const std::string kNoText;
        bool clearPhonyFlag = false;
        if (!noData && m_settings.hardLinkJob && m_item.hlHandling) {
            if (m_settings.indexV2 && !m_item.headOfNewGroup) {
                KXLOG(3, "Sending HLINK %s -> %s (head vesionGUID)", printName(), m_item.phonyHLName.c_str());
                payload = &m_item.phonyHLName;
                clearPhonyFlag = true;
            } else if (m_settings.indexV2) {
                KXLOG(3, "no link version GUID for HLINK Head[%s]", printName());
                payload = &kNoText;
            } else if (m_item.phonyNameFlag) {
                KXLOG(3, "++++++++++HLDEBUG BACKUP phony str %s ", m_item.phonyHLName.c_str());
                payload = &m_item.phonyHLName;
                clearPhonyFlag = true;
            }
        }
        if (!payload && !noData && m_item.type == fTypeSymlink) {
            KXLOG(3, "sending link target %s -> %s", printName(), m_item.symlinkTarget.c_str());
            payload = &m_item.symlinkTarget;
        }
        const unsigned length = payload ? static_cast<unsigned>(payload->size() + 1) : 0;
        PerfStageTimer allocStage(m_perf, RuxenPerfStage::kEndOfFileAllocBuffer);
        char* buf = AllocateRecord(length);
        allocStage.Stop(0);
        if (!buf)
            return kNotSent;
        if (payload)
            memcpy(buf, payload->c_str(), length);
        PerfStageTimer writeStage(m_perf, RuxenPerfStage::kEndOfFileWriteBuffer);
        const int status = SendRecord(type, length);
        writeStage.Stop(status == 0 ? length : 0);
        if (status != 0) {
            CloseItem();
            return kFailStream;
        }
        // The job checks at its end that every member's group has its data
        // in some stream.
        if (m_hlLedger && eof == 1 && !noData && m_settings.hardLinkJob && m_item.hlHandling) {
            if (m_item.phonyNameFlag)
                m_hlLedger->MemberSent(HardLinkManager::GeneratePhonyFileNameUsingStat(m_item.st), m_item.recordedPath);
            else if (HardLinkGroupData())
                m_hlLedger->GroupDataSent(HardLinkManager::GeneratePhonyFileNameUsingStat(m_item.st));
        }
        if (clearPhonyFlag)
            m_item.phonyNameFlag = false;
    }
    if (eof == 1)
        ++m_counters.itemsSent;
    CloseItem();

    if (m_item.resendFailedItem) {
        m_item.resendFailedItem = false;
        m_item.phase = RuxenItemPhase::kHeaderFilled;  // its record goes out whole: header, metadata, end
        KXLOG(1, "Resending failed file [%s][%s]", printName(), m_item.failureReason.c_str());
        CTyError e = sendFailedFileInfo(false);
        if (e.IsError())
            KXLOG(-1, "sendFailedFileInfo:%s:%s", printName(), e.Message().c_str());
    }

    CFileReaderContext& context = GetReaderContext();
    if (!noData && m_settings.turboMode && m_settings.earlyStubBackup && m_stubCandidateList &&
        context.IsEarlyStubBackup()) {
        if (eof != 1) {
            if (fResults && m_resultsOn) {
                m_failureLine.assign(kResultsLinePrefix);
                m_failureLine += escapeFileName(m_item.recordedPath.c_str());
                m_failureLine += ' ';
                m_failureLine += kReasonStubbingSkipped;
                if (!writeLine(fResults, m_failureLine)) {
                    const int e = errno;
                    KXLOG(-1, "cannot write the results file: %s", strerror(e));
                    ListLineLost(kResultsList, e);
                }
            }
        } else if (writeLine(m_stubCandidateList, escapeFileName(m_item.recordedPath.c_str()))) {
            KXLOG(2, "Written stub candidate entry '%s' to stubCandidate collect [%s].", printName(),
                  m_stubCandidateListName.c_str());
        } else {
            // A cut line could name another file to stub: the list is not
            // to be trusted, and the stream must not end as a success.
            KXLOG(-1, "cannot write the stub candidate list [%s]: %s", m_stubCandidateListName.c_str(),
                  strerror(errno));
            m_counters.failureListWriteFailed = true;
        }
        context.SetEarlyStubBackup(false);
    }
    if (m_settings.longPathSupport && IsLongPath())
        context.SetLongPathBackup(false);
    m_overridePath.clear();

    if (!m_settings.archiveAndDelete || noData)
        return kItemGoOn;
    std::string entry = escapeFileName(m_item.actualPath.c_str());
    const bool directory = S_ISDIR(m_item.st.st_mode);
    if (directory)
        entry += '/';
    FILE* list = m_archiveDeleteList;
    KXLOG(2, "Adding successfully backed up %s [%s] to files to delete list, [%p]", directory ? "Folder" : "File",
          entry.c_str(), static_cast<void*>(list));
    if (eof != 1 || !list)
        return kFailStream;
    // A line cut short could name a parent directory: a failed write fails
    // the stream, so the list is never used.
    if (!writeLine(list, entry)) {
        KXLOG(-1, "cannot write the files to delete list: %s", strerror(errno));
        return kFailStream;
    }
    return kItemGoOn;
}
