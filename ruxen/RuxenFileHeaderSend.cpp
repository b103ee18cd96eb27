// Sending the item's header record and what the storage side needs before
// its data: the hard-link deduplication command (once per process), the
// item-level signature, the header (record 128), the object-server metadata,
// the names of the other members of a hard-link group (records 149) and the
// optional header with the item's ACLs and extended attributes
// (RuxenFileOptHeader.cpp).
//
// SendHeader answers 0 to go on with the item and 2 when the stream must
// fail: a command, header or member-name record that could not be had or
// written, a missing hard-links table, or a vanished item when the job
// tolerates no errors. Everything else is a failure of the item, which goes
// on.
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hardlinks/HardLinkManager.h"
#include "mapping/ContentMapper.h"
#include "platform/agent/KXJobCtrlClient.h"
#include "platform/agent/KXPI_Focus.h"
#include "platform/agent/KxLog.h"
#include "platform/archive/CPipelayer.h"
#include "platform/archive/KXArchive.h"
#include "platform/base/Coding.h"
#include "platform/base/TestControl.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"
#include "ruxen/RuxenPerfStages.h"
#include "ruxen/RuxenProcessSwitches.h"

RuxenProcessSwitches& ProcessSwitches() {
    static RuxenProcessSwitches switches;
    return switches;
}

void ruxen::testcontrol::ResetProcessSwitches() {
    RuxenProcessSwitches& s = ProcessSwitches();
    std::lock_guard<std::mutex> lock(s.useIndexLock);
    s.dedupAttempted = s.cifsLogged = s.aclSupportReported = s.xattrTooBigRaised = false;
    s.doNotSendAclForMountPoints = s.useIndex = -1;
}

namespace {
const ruxen::testcontrol::Registration kTestReset("process switches", &ruxen::testcontrol::ResetProcessSwitches);
}  // namespace

// The command tells the storage side that hard-link groups travel once,
// under their phony names. The archive client sends it as a command and
// waits for the answer. A per-file object built on the pipeline layer has no
// archive client: the command goes as an ordinary record of the layer, and
// the flush that pushes it to the storage side stands for the answer, so the
// stream carries the same bytes either way.
int RuxenFile::SendDeduplicationCommand() {
    KXLOG(2, "Allocate a command buffer=PL_FS_HARDLINK_DEDUPLICATION.");
    char* buf = m_archive     ? m_archive->allocateCmdBuffer(4)
                : m_pipelayer ? m_pipelayer->AllocateDataBuffer(4, nullptr)
                              : nullptr;
    if (!buf) {
        KXLOG(-1, "Failed to allocate a command buffer.");
        return kFailStream;
    }
    ruxen::EncodeFixed32(buf, 1);
    int rc;
    if (m_archive) {
        rc = m_archive->writeSyncBuffer(PL_FS_HARDLINK_DEDUPLICATION, 4);
        if (rc != 0)
            m_archive->freeCmdBuffer();
    } else {
        rc = m_pipelayer->SendDataBuffer(PL_FS_HARDLINK_DEDUPLICATION, 4);
        if (rc != 0)
            m_pipelayer->FreeDataBuffer();
        else
            rc = m_pipelayer->Sink()->Flush();
    }
    if (rc != 0) {
        KXLOG(-1, "Failed to receive response for the PL_FS_HARDLINK_DEDUPLICATION buffer.");
        return kFailStream;
    }
    return kItemGoOn;
}

// The signature names the item's version on the storage side in turbo
// mode: name, client, times, inode, archive file and collect offset, all
// read from the host-order working record.
void RuxenFile::SetItemLevelSignature() {
    if (!m_archive)
        return;
    const ZXFileHeader& h = m_item.header;
    if (m_settings.indexV2 || !m_settings.turboMode || m_item.type == fTypeDirectory || m_settings.backupSCFiles) {
        m_archive->SetFileSignatureData(nullptr, -1);
        return;
    }
    const bool phony = m_settings.hardLinkJob && m_item.hlHandling && NamesGroupData();
    const std::string name =
        phony ? HardLinkManager::GeneratePhonyFileNameUsingStat(m_item.st) : std::string(h.h_filename);
    const uint64_t ino = (static_cast<uint64_t>(h.h_ino_high) << 32) | h.h_ino_low;
    char fixed[160];
    snprintf(fixed, sizeof(fixed), "_%" PRIu64 "_%" PRIu64 "_%" PRIu64 "_%u_%" PRIu64, h.h_ctime, h.h_mtime, ino,
             m_settings.currentAFileNumber, h.h_collect_offset);
    std::string text = name + "_" + KXPI_Focus::getFocusClientName() + fixed;
    KXLOG(3, "Setting ItemLevel signature [%s].", text.c_str());
    m_archive->SetFileSignatureData(text.c_str(), static_cast<int>(text.size()));
}

int RuxenFile::SendHeader(FILE* failures) {
    RuxenProcessSwitches& once = ProcessSwitches();
    if (m_settings.sendOn && m_settings.hardLinkJob && !once.dedupAttempted) {
        once.dedupAttempted = true;  // never retried, whatever the answer
        if (SendDeduplicationCommand() != kItemGoOn)
            return kFailStream;
    }
    {
        PerfStageTimer stage(m_perf, RuxenPerfStage::kBeforeConvertHeader);
        KXLOG(3, "++++++HLDEBUG BACKUP Send Header zxfileheader %s", m_item.header.h_filename);
        ConvertZXFileHeaderToNetOrder(&m_item.header, &m_netHeader);
        SetItemLevelSignature();
    }

    // With sending off the scratch buffer takes the record and nothing is
    // written, and the header counts as sent.
    PerfStageTimer allocStage(m_perf, RuxenPerfStage::kAllocateBufferForHeader);
    char* buf = AllocateRecord(ZX_HEADER_SIZE);
    allocStage.Stop(0);
    if (!buf)
        return kFailStream;
    PerfStageTimer copyStage(m_perf, RuxenPerfStage::kHeaderMemCpy);
    memcpy(buf, &m_netHeader, ZX_HEADER_SIZE);
    copyStage.Stop(ZX_HEADER_SIZE);
    PerfStageTimer writeStage(m_perf, RuxenPerfStage::kHeaderWriteBuffer);
    KXLOG(3, "Sending header for [%s] isNotCountable [%d]", printName(),
          (m_item.header.portable_flags & ZXFLAG_NOT_COUNTABLE) ? 1 : 0);
    unsigned length = ZX_HEADER_SIZE;
    if (m_pipelayer && m_settings.sendOn)
        length = ZXHeaderPipelineLength(m_pipelayer->GetCurrentTagDataPtr());
    if (SendRecord(PL_FS_HEADER, length) != 0) {
        CloseItem();
        return kFailStream;
    }
    writeStage.Stop(length);
    m_item.phase = RuxenItemPhase::kHeaderSent;

    if (m_item.failureCode != 0 || !m_item.failureReason.empty() || m_item.pseudoItem)
        return kItemGoOn;
    if (m_settings.siloJob && access(m_item.mappedName.c_str(), F_OK) != 0)
        return kItemGoOn;
    if (!m_settings.errorsTolerated) {
        struct stat st;
        if (GetReader().lstat(m_item.mappedName.c_str(), &st) != 0) {
            int e = errno;
            KXLOG(-1, "CRITICAL ERROR:FAILING JOB:errorsTolerated %d ++++++ %s does not exist", 0, printName());
            KXLOG(-1, "errors are not tolerated, phase fails");
            setFailureReason(e, "%s", kReasonMissingNotTolerated);
            if (m_jobCtrl)
                m_jobCtrl->setPendingCause(kCauseItemMissing, printName(), 0, kCauseDelaySeconds);
            CloseItem();
            return kFailStream;
        }
    }
    if (m_settings.appType == kAppTypeObjectStore && !sendObjSrvMetaData()) {
        if (!m_settings.backupSCFiles)
            ReportPartialFailure(failures, EIO, -1, kReasonObjSrvMetadata);
        FreeKXArchiveBuffer();
        return kItemGoOn;
    }
    if (m_item.phonyNamePath)
        return kItemGoOn;
    if (m_settings.hardLinkJob && m_item.hlHandling && !NamesGroupData() && m_item.st.st_nlink >= 2 &&
        m_item.type != fTypeDirectory && (!m_settings.indexV2 || m_item.headOfNewGroup)) {
        if (SendHardLinkMemberNames(failures) != kItemGoOn)
            return kFailStream;
    }
    return SendAclOptionalHeader(failures);
}

int RuxenFile::SendMemberName(const std::string& name) {
    KXLOG(3, "++++++HLDEBUG BACKUP Sending optional header 2 for %s", name.c_str());
    const unsigned length = static_cast<unsigned>(name.size() + 1);
    char* buf = AllocateRecord(length);
    if (!buf) {
        KXLOG(-1, "++++++HLDEBUG BACKUP Error Sending optional header 2 for %s", name.c_str());
        KXLOG(-1, "unable to allocate opt header 2 buffer");
        return kFailStream;
    }
    memcpy(buf, name.c_str(), length);
    if (SendRecord(PL_FS_OPT_HDR2, length) != 0) {
        KXLOG(-1, "unable to write PL_FS_OPT_HDR2 buffer");
        return kFailStream;
    }
    return kItemGoOn;
}

// A member goes out while its path still names the item's file: one
// deleted or replaced since the scan is passed over, and so is one below a
// link the walk refuses (ELOOP), which a user may have swapped in to have
// another file named as a link of the group. A path of PATH_MAX or more is
// passed over too: such an item is backed up with its own data, outside
// hard-link handling.
bool RuxenFile::IsLinkOfItem(const std::string& member) {
    if (member.size() >= PATH_MAX)
        return false;
    ruxen::ParentDirCache& dirs = m_private->memberDirs;
    dirs.SetTrusted(GetReaderContext().GetTrustedPrefixes());
    int dir;
    const char* name;
    struct stat st;
    return dirs.Parent(member.c_str(), &dir, &name) && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           st.st_ino == m_item.st.st_ino && st.st_dev == m_item.st.st_dev;
}

// The other paths of the item's hard-link group, from the hard-links table
// in the job-results directory, each while it is still a link of the item.
// A table that cannot be read fails the stream: a group sent with part of
// its names would restore without some of its links. The table names the
// paths where the scan met them, here; under a content or consistency-point
// mapping each goes under its recorded path, as the headers do, and one
// that maps to none is a failure of the item.
int RuxenFile::SendHardLinkMemberNames(FILE* failures) {
    static const char kTableMissing[] =
        "++++++HLDEBUG Hard Links Table Does not exists or may be corrupt. Failing backup.";
    HardLinksTablePtr table = HardLinkManager::getHLTableClass(m_settings.jobResultsFolder, true);
    if (!table) {
        KXLOG(-1, "%s", kTableMissing);
        m_item.hlHandling = false;
        return kFailStream;
    }
    const uint64_t device = m_settings.getDeviceIdForLocal(static_cast<unsigned long>(m_item.st.st_dev));
    const uint64_t inode = static_cast<uint64_t>(m_item.st.st_ino);
    std::string member, guid;
    int64_t ctime = 0;
    int r = table->searchFirst(device, inode, member, ctime, guid);
    if (r == 0) {
        KXLOG(1,
              "++++++HLDEBUG Hard Link Entry for [%s][%" PRIu64 "(%" PRIu64 ")][%" PRIu64
              "] not found in hardlink table. Disabling hard link functionality For this file.Reverting back to "
              "old functionality.",
              printName(), device, static_cast<uint64_t>(m_item.st.st_dev), inode);
        m_item.hlHandling = false;
        return kItemGoOn;
    }
    if (r == -1) {
        KXLOG(-1, "%s", kTableMissing);
        m_item.hlHandling = false;
        return kFailStream;
    }
    if (r != 1)
        return kItemGoOn;
    if (m_settings.turboMode) {
        KXLOG(3, "######### SETTING fileReader GUID (2) for %s guid from ctree:%s", printName(), guid.c_str());
        GetReader().SetGUID(guid);
    }
    m_item.st.st_ctime = static_cast<time_t>(ctime);
    // The group's head is the first member; the head itself does not name it
    // again (outside index version 2).
    bool send = m_settings.sendOn && !(!m_settings.indexV2 && m_item.headOfNewGroup);
    ContentMapper* mapper = (m_settings.proxyHost || m_settings.replicationHost) ? m_contentMapper : nullptr;
    std::string recorded, unmapped;
    for (;;) {
        if (send && IsLinkOfItem(member)) {
            if (!mapper) {
                if (SendMemberName(member) != kItemGoOn)
                    return kFailStream;
            } else if (mapper->MakeProxyPathFromHostPath(member, recorded) == 0 && !recorded.empty()) {
                if (SendMemberName(recorded) != kItemGoOn)
                    return kFailStream;
            } else if (unmapped.empty()) {
                unmapped = member;
            }
        }
        send = m_settings.sendOn;
        r = table->searchNext(member, ctime);
        if (r == 0) {
            if (!unmapped.empty()) {
                const std::string why = "hard-link member " + unmapped + " has no recorded path";
                ReportPartialFailure(failures, EINVAL, EINVAL, why.c_str());
            }
            return kItemGoOn;
        }
        if (r != 1) {
            KXLOG(-1, "%s", kTableMissing);
            return kFailStream;
        }
    }
}
