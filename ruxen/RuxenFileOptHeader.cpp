// Optional headers: the buffer of one optional header (record 129: a
// 16-byte prefix, then the payload), the record 314, and the optional header
// that carries the item's ACLs and extended attributes.
//
// An optional-header buffer is held from allocOptHeader to sendOptHeader or
// a free. The buffer services hold one buffer at a time and give a held one
// back when the next is allocated, so the object only has to forget its own
// pointer (m_optHeader) whenever a buffer is allocated, sent or freed.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/agent/KXJobCtrlClient.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/ScopedFd.h"
#include "platform/os/KxACLHelper.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"
#include "ruxen/RuxenPerfStages.h"
#include "ruxen/RuxenProcessSwitches.h"

namespace {

// The payload room asked for the ACL optional header, and the largest form
// it carries.
constexpr unsigned kAclHeaderRoom = 0xF400;
constexpr int kMaxAclForm = 0xEFFF;

}  // namespace

char* RuxenFile::allocOptHeader(unsigned int type, unsigned int* capacity) {
    const unsigned want = *capacity;
    *capacity = 0;
    if (want > UINT_MAX - kOptionalHeaderPrefixSize) {
        KXLOG(-1, "optional header of %u bytes requested for [%s]", want, printName());
        return nullptr;
    }
    char* buf = AllocateRecord(static_cast<unsigned>(want + kOptionalHeaderPrefixSize));
    if (!buf) {
        KXLOG(-1, "null buffer returned from allocate");
        return nullptr;
    }
    OptionalHeaderPrefixInit(buf, type);
    m_optHeader = buf + kOptionalHeaderPrefixSize;
    m_optHeaderCapacity = want;
    *capacity = want;
    return m_optHeader;
}

bool RuxenFile::sendOptHeader(unsigned int length) {
    if (!m_optHeader) {
        KXLOG(-1, "sendOptHeader called with no header");
        return false;
    }
    if (length < 1 || length > m_optHeaderCapacity) {
        KXLOG(-1, "optional header of %u bytes for [%s] does not fit its buffer of %u", length, printName(),
              m_optHeaderCapacity);
        FreeKXArchiveBuffer();
        return false;
    }
    OptionalHeaderPrefixToWire(m_optHeader - kOptionalHeaderPrefixSize, length);
    // A failed write records the reason and frees the buffer (SendRecord).
    if (SendRecord(PL_FS_OPT_HDR, static_cast<unsigned>(length + kOptionalHeaderPrefixSize)) != 0)
        return false;
    m_optHeader = nullptr;
    return true;
}

bool RuxenFile::sendOptHeader4(char* text) {
    const unsigned length = static_cast<unsigned>(strlen(text) + 1);
    char* buf = AllocateRecord(length);
    if (!buf) {
        KXLOG(-1, "Null buffer returned from allocate");
        return false;
    }
    memcpy(buf, text, length);
    int rc = SendRecord(PL_FS_OPT_HDR4, length);
    if (rc != 0) {
        KXLOG(-1, "Error - failed to write PL_FS_OPT_HDR4 buffer retCode=%d", rc);
        return false;
    }
    return true;
}

void RuxenFile::ReportPartialFailure(FILE* failures, int errnum, int code, const char* reason) {
    if (m_settings.backupSCFiles) {
        setFailureReason(code, "%s", reason);
        KXLOG(1, "%s: %s", printName(), reason);
        return;
    }
    ReportItemFailure(failures, m_item.recordedPath.c_str(), errnum, reason);
    setFailureReason(code, "%s", reason);
}

// The item's ACLs and extended attributes as one optional header. Items of
// file systems that carry none (CIFS, and network mounts at mount points)
// are passed over, as is everything when the system supports neither. A
// list that cannot be read is a failure of the item (when it is the item's
// own to report); only a buffer that cannot be had or sent fails the stream.
int RuxenFile::SendAclOptionalHeader(FILE* failures) {
    RuxenProcessSwitches& once = ProcessSwitches();
    const std::string& fsType = m_item.fsType;
    if (fsType == "cifs") {
        if (!once.cifsLogged)
            KXLOG(1, "ACL backup not support off a CIFS filesystem");
        once.cifsLogged = true;
        return kItemGoOn;
    }
    if (m_item.mountPointIndex != 0 && !m_item.subItemMarker) {
        auto mount = m_settings.mountPoints.find(m_item.mountPointIndex);
        if (mount != m_settings.mountPoints.end() &&
            RuxenFilePrivate::ShouldSkipACLForMountPoint(mount->second.fsType)) {
            KXLOG(2, "skipping metadata backup for mount point [%s] of type [%s]", printName(),
                  mount->second.fsType.c_str());
            return kItemGoOn;
        }
    }
    if (m_settings.fbr)
        IsNtfsAclSupported(m_item.mappedName.c_str());
    KxACL::Helper& acl = m_private->GetACLInstance();
    if (m_item.mountPointIndex != 0) {
        if (once.doNotSendAclForMountPoints < 0) {
            long v = 0;
            KXPlatformInfo::getNumber(kFileSystemAgentSection, kKeyDoNotSendACLForMountPoints, v);
            once.doNotSendAclForMountPoints = v != 0;
            KXLOG(0, "Will %s process ACLs, xattr while processing mount point details for Default SubClient",
                  v != 0 ? "not" : "");
        }
        if (once.doNotSendAclForMountPoints)
            return kItemGoOn;
    }
    if (!once.aclSupportReported) {
        once.aclSupportReported = true;
        if (!acl.getLastError().empty())
            KXLOG(-1, "Unable create instance of KxACL::Helper, %s", acl.getLastError().c_str());
        if (KxACL::Helper::isAclSupported())
            KXLOG(1, "The ACL is supported on this System");
        else
            KXLOG(-1, "ACL is not supported due to %s", acl.getLastError().c_str());
    }
    if (!KxACL::Helper::isAclSupported())
        return kItemGoOn;

    PerfStageTimer aclStage(m_perf, RuxenPerfStage::kAcl);
    unsigned capacity = kAclHeaderRoom;
    char* payload = allocOptHeader(acl.getOptHeaderType(), &capacity);
    if (!payload) {
        KXLOG(-1, "unable to allocate opt header buffer");
        return kFailStream;
    }

    // Read through the item's descriptor when the reader holds one; else
    // through an O_PATH descriptor of it, taken beneath its directory as
    // every lookup of the item is (no link followed against the rule, a path
    // of any length), which opens nothing.
    if (!m_settings.indexV2 || fsType == "gpfs" || fsType == "mmfs")
        KxACL::Helper::SetOptions(KxACL::Helper::GetOptions() | KxACL::OPT_SYSTEM_XATTRS);
    const int fd = m_item.open && m_reader ? m_reader->getFileHandle() : -1;
    const bool isLink = S_ISLNK(static_cast<mode_t>(m_item.header.h_mode));
    int got;
    if (fd >= 0) {
        got = acl.getacl(m_item.mappedName.c_str(), isLink, m_item.st, fd);
    } else {
        ScopedFd ref(GetReader().openItemRef(m_item.mappedName.c_str()));
        got = acl.getaclRef(m_item.mappedName.c_str(), isLink, m_item.st, ref.get());
    }

    int result = kItemGoOn;
    if (got != 0) {
        FreeKXArchiveBuffer();
        if (acl.shouldReportError()) {
            KXLOG(-1, "getacl( %s ) failed, errno %d. %s", printName(), acl.getLastErrno(), acl.getLastError().c_str());
            char reason[1100];
            snprintf(reason, sizeof(reason), kReasonAclRead, acl.getLastError().c_str());
            ReportPartialFailure(failures, acl.getLastErrno(), acl.getLastErrno(), reason);
        }
    } else {
        if (acl.getLastErrno() == E2BIG) {
            if (!once.xattrTooBigRaised && m_jobCtrl) {
                once.xattrTooBigRaised = true;
                m_jobCtrl->setPendingCauseAndEvent(kCauseXattrTooBig, kCauseEventSeverity, printName(), 0,
                                                   kCauseDelaySeconds);
            }
            KXLOG(-1, "some extended attributes could not be backed up, since they are too big");
            // The item goes on with the rest, but is not whole: it is named.
            ReportPartialFailure(failures, E2BIG, -1, kReasonXattrsLeftOut);
        }
        if (m_settings.turboMode && m_settings.earlyStubBackup && m_readerContext &&
            m_readerContext->GetUseDriver() == CFileReaderContext::kDriverLess &&
            acl.InjectOneXATTRInToBackupStream("user.KxStubFile", "1") != 0)
            KXLOG(-1, "InjectOneXATTRInToBackupStream failed to set xattr");
        const int size = acl.getNetworkBufferSize();
        if (size >= 1 && size <= kMaxAclForm) {
            PerfStageTimer sendStage(m_perf, RuxenPerfStage::kSendOptHeader);
            const int length = acl.toNetworkBuffer(payload, capacity);
            if (length < 1 || !sendOptHeader(static_cast<unsigned>(length))) {
                result = kFailStream;  // the buffer is gone: a broken pipeline is no success
            } else {
                sendStage.Stop(static_cast<unsigned long long>(length));
                KXLOG(3, "ACL stored for %s", printName());
            }
        } else {
            FreeKXArchiveBuffer();
            if (size > kMaxAclForm) {
                // The helper keeps its form within kMaxAclForm; this guards
                // the header's room should it ever not.
                char reason[64];
                snprintf(reason, sizeof(reason), kReasonAclTooLarge, size);
                KXLOG(-1, "ACL buffer for '%s' is too large (%d) to save it in header.", printName(), size);
                ReportPartialFailure(failures, E2BIG, -1, reason);
            }
            KXLOG(3, "ACL not stored for %s", printName());
        }
    }
    return result;
}
