#include "ruxen/RuxenFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <unistd.h>

#include "errorpolicy/ErrorController.h"
#include "hardlinks/HardLinkManager.h"
#include "mapping/ContentMapper.h"
#include "platform/agent/HookFiles.h"
#include "platform/agent/KXJobCtrlClient.h"
#include "platform/agent/KxLog.h"
#include "platform/archive/CPipelayer.h"
#include "platform/archive/KXArchive.h"
#include "platform/text/FileNameEscape.h"
#include "platform/text/PathUtil.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "reader/CFileReaderFactory.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"

RuxenFile::RuxenFile(KXArchive* archive) : m_archive(archive), m_private(new RuxenFilePrivate) {}

RuxenFile::RuxenFile(CPipelayer* pipelayer) : m_pipelayer(pipelayer), m_private(new RuxenFilePrivate) {}

RuxenFile::~RuxenFile() {
    CloseItem();
    FreeKXArchiveBuffer();
    if (m_hlTable) {
        m_hlTable.reset();
        HardLinkManager::closeHLTableClass();
    }
}

// ---------------------------------------------------------------- buffers

char* RuxenFile::AllocateKXArchiveBuffer(unsigned size, unsigned* granted, bool acceptLess) {
    unsigned got = 0;
    char* buf = nullptr;
    m_optHeader = nullptr;  // a held buffer goes back with this allocation
    if (!m_settings.sendOn) {
        if (m_scratch.size() < size)
            m_scratch.resize(size);
        if (m_scratch.empty())
            m_scratch.resize(1);
        buf = m_scratch.data();
        got = static_cast<unsigned>(m_scratch.size());
    } else if (m_pipelayer) {
        buf = m_pipelayer->AllocateDataBuffer(size, &got, acceptLess);
    } else if (m_archive) {
        buf = m_archive->AllocateDataBuffer(size, &got, acceptLess);
    }
    if (granted)
        *granted = buf ? got : 0;
    m_lastBuffer = buf;
    return buf;
}

char* RuxenFile::AllocateKXArchiveBuffer(const AllocateBufArgs_t& args, AllocateBufRet_t& ret) {
    unsigned granted = 0;
    char* buf = AllocateKXArchiveBuffer(args.size, &granted, args.flag != 0);
    ret.granted = granted;
    return buf;
}

int RuxenFile::WriteKXArchiveBuffer(unsigned type, unsigned length, _PipelineDataHdr*) {
    if (!m_settings.sendOn) {
        m_lastBuffer = m_optHeader = nullptr;
        return 0;
    }
    int status;
    if (m_pipelayer)
        status = m_pipelayer->SendDataBuffer(type, length) == 0 ? 0 : kPipelineSendFailed;
    else if (m_archive)
        status = m_archive->WriteDataBuffer(type, length);
    else
        status = kPipelineSendFailed;
    if (status == 0)
        m_lastBuffer = m_optHeader = nullptr;  // consumed
    return status;
}

int RuxenFile::WriteKXArchiveBuffer(const WriteBufArgs_t& args, WriteBufRet_t& ret) {
    ret.status = WriteKXArchiveBuffer(args.type, args.length, nullptr);
    return ret.status;
}

void RuxenFile::FreeKXArchiveBuffer() {
    if (m_settings.sendOn) {
        if (m_pipelayer)
            m_pipelayer->FreeDataBuffer();
        else if (m_archive)
            m_archive->FreeDataBuffer();
    }
    m_lastBuffer = m_optHeader = nullptr;
}

void RuxenFile::FreeKXArchiveBuffer(char* buffer) {
    if (buffer && buffer == m_lastBuffer)
        FreeKXArchiveBuffer();
}

char* RuxenFile::AllocateRecord(unsigned size) {
    unsigned granted = 0;
    char* buf = AllocateKXArchiveBuffer(size, &granted);
    if (buf && granted >= size)
        return buf;
    KXLOG(-1, "unable to allocate buffer");
    if (buf)
        FreeKXArchiveBuffer();
    return nullptr;
}

int RuxenFile::SendRecord(unsigned type, unsigned length) {
    int status = WriteKXArchiveBuffer(type, length);
    if (status != 0) {
        KXLOG(-1, "failed to send pipeline buffer for [%s]", printName());
        setFailureReason(-1, kReasonPipelineSend, status);
        FreeKXArchiveBuffer();
    }
    return status;
}

void RuxenFile::initSendFlag() {
    m_settings.sendOn = !HookFiles::Exists(kHookDoNotSend);
    if (!m_settings.sendOn)
        KXLOG(0, "found %s: records are not sent", HookFiles::Path(kHookDoNotSend).c_str());
}

// ---------------------------------------------------------------- failures

void RuxenFile::setFailureReason(int code, const char* fmt, ...) {
    char buf[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, 2047, fmt, ap);
    va_end(ap);
    m_item.failureReason.assign(buf);
    m_item.failureCode = code;
}

bool RuxenFile::write_to_file(const char* line, FILE* failures) {
    if (!failures)
        return false;
    if (fputs(line, failures) == EOF || fputc('\n', failures) == EOF || fflush(failures) != 0) {
        const int e = errno;
        KXLOG(-1, "cannot write the failures file: %s (line: %s)", strerror(e), line);
        ListLineLost(kFailuresList, e);
        return false;
    }
    m_counters.failuresWritten = true;
    return true;
}

bool RuxenFile::ItemFailuresTolerated() {
    if (m_settings.errorsTolerated || m_counters.failedItems == 0)
        return true;
    KXLOG(-1, "CRITICAL ERROR:FAILING JOB:errorsTolerated %d ++++++ %s failed", 0, m_listing.c_str());
    KXLOG(-1, "errors are not tolerated, phase fails");
    if (m_jobCtrl)
        m_jobCtrl->setPendingCause(kCauseItemMissing, m_listing.c_str(), 0, kCauseDelaySeconds);
    return false;
}

void RuxenFile::ReportItemFailure(FILE* failures, const char* path, int errnum, const char* detail) {
    m_listing.clear();
    ruxen::escapeFileNameInto(path, strlen(path), m_listing);
    RecordItemFailure(failures, path, errnum, detail);
}

void RuxenFile::ReportItemFailure(FILE* failures, const CollectLine& badLine) {
    m_listing.clear();
    AppendBadLineListing(badLine, m_listing);
    RecordItemFailure(failures, nullptr, badLine.errnum, badLine.error.c_str());
}

void RuxenFile::RecordItemFailure(FILE* failures, const char* path, int errnum, const char* detail) {
    const char* why = detail && *detail ? detail : strerror(errnum);
    setFailureReason(errnum, "%s", why);
    const std::string& name = m_listing;
    if (path && iswendaxFile(path)) {
        KXLOG(kLogLevelNotReported, "failure of the agent's own file %s not reported: %s", name.c_str(), why);
        return;
    }
    // Both forms of the filter must agree before the failure counts.
    if (!ErrorController::shouldReportError(errnum) ||
        !ErrorController::shouldReportError(path ? std::string(path) : name, errnum)) {
        KXLOG(kLogLevelNotReported, "failure of %s not reported (error %d): %s", name.c_str(), errnum, why);
        return;
    }
    KXLOG(-1, "item failed: %s: %s", name.c_str(), why);
    ++m_counters.failedItems;
    m_item.failureReported = true;
    if (failures) {
        m_failureLine.assign(name);
        m_failureLine += ':';
        m_failureLine += std::to_string(errnum);
        write_to_file(m_failureLine.c_str(), failures);
    }
    if (fResults && m_resultsOn) {
        // Escaped like the failures file: a line feed in a name or reason
        // must not forge further lines.
        m_failureLine.assign(kResultsLinePrefix);
        m_failureLine += name;
        m_failureLine += ' ';
        ruxen::escapeFileNameInto(why, strlen(why), m_failureLine);
        m_failureLine += '\n';
        if (fputs(m_failureLine.c_str(), fResults) == EOF || fflush(fResults) != 0) {
            const int e = errno;
            KXLOG(-1, "cannot write the results file: %s", strerror(e));
            ListLineLost(kResultsList, e);
        }
    }
}

void RuxenFile::ReportItemChanged(const char* path) {
    if (iswendaxFile(path)) {
        KXLOG(2, "the agent's own file %s %s", path, kReasonChangedWhileRead);
        return;
    }
    ++m_counters.changedItems;
    if (m_settings.streamNumber > 0)
        KXLOG(-1, "stream %d: %s %s", m_settings.streamNumber, path, kReasonChangedWhileRead);
    else
        KXLOG(-1, "%s %s", path, kReasonChangedWhileRead);
    if (fResults && m_resultsOn) {
        m_failureLine.assign(kResultsLinePrefix);
        ruxen::escapeFileNameInto(path, strlen(path), m_failureLine);
        m_failureLine += ' ';
        m_failureLine += kReasonChangedWhileRead;
        m_failureLine += '\n';
        if (fputs(m_failureLine.c_str(), fResults) == EOF || fflush(fResults) != 0) {
            const int e = errno;
            KXLOG(-1, "cannot write the results file: %s", strerror(e));
            ListLineLost(kResultsList, e);
        }
    }
}

void RuxenFile::ListLineLost(ListKind list, int err) {
    m_counters.failureListWriteFailed = true;
    int& first = list == kFailuresList ? m_counters.failuresLostErrno : m_counters.resultsLostErrno;
    if (first == 0)
        first = err != 0 ? err : EIO;
}

// ---------------------------------------------------------------- helpers

RuxenFile::ItemType RuxenFile::TypeOfMode(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFDIR:
        return fTypeDirectory;
    case S_IFREG:
        return fTypeRegular;
    case S_IFLNK:
        return fTypeSymlink;
    case S_IFBLK:
        return fTypeBlock;
    case S_IFCHR:
        return fTypeChar;
    case S_IFIFO:
        return fTypeFifo;
    case S_IFSOCK:
        return fTypeSocket;
    default:
        return fTypeOther;
    }
}

bool RuxenFile::IsLongPath() const {
    const std::string& p = m_item.actualPath;
    if (p.size() >= 1024)
        return true;
    size_t slash = p.find_last_of('/');
    return slash != std::string::npos && slash > 959;
}

const char* RuxenFile::printName() const {
    return m_item.shownName.empty() ? m_item.recordedPath.c_str() : m_item.shownName.c_str();
}

const char* RuxenFile::escapeFileName(const char* path) {
    m_escapeBuf.clear();
    if (path)
        ruxen::escapeFileNameInto(path, strlen(path), m_escapeBuf);
    return m_escapeBuf.c_str();
}

bool RuxenFile::isBlockLevelPath(const std::string& path) const {
    return PathUtil::LongestPrefixLookup(m_settings.blockLevelMap, path) != m_settings.blockLevelMap.end();
}

bool RuxenFile::iswendaxFile(const char* path) const {
    if (!path)
        return false;
    size_t plen = strlen(path);
    for (const std::string& dir : m_settings.ownDirectories) {
        size_t dlen = dir.size();
        while (dlen > 1 && dir[dlen - 1] == '/')
            --dlen;
        if (dlen == 0)
            continue;
        if (dlen == 1 && dir[0] == '/')
            return path[0] == '/';
        if (plen >= dlen && memcmp(path, dir.data(), dlen) == 0 && (plen == dlen || path[dlen] == '/'))
            return true;
    }
    return false;
}

bool RuxenFile::IsJobOutput(const struct stat& st) const {
    for (const RuxenJobSettings::FileId& id : m_settings.jobOutputs)
        if (id.dev == st.st_dev && id.ino == st.st_ino)
            return true;
    return false;
}

bool RuxenFile::IsNtfsAclSupported(const char*) const { return false; }

void RuxenFile::SetAppDefVersionGUIDSeedSuffix() {
    m_private->SetVersionGUIDSeedSuffix(m_settings.hbaseBackup ? m_settings.hbaseSeedSuffix : std::string());
}

void RuxenFile::ResetAppDefVersionGUIDSeedSuffix() { m_private->SetVersionGUIDSeedSuffix(std::string()); }

void RuxenFile::SetIndexV2Enabled(bool on) { m_settings.indexV2 = on; }
void RuxenFile::SetCacheDBBackup(bool on) { m_settings.cacheDBBackup = on; }
void RuxenFile::SetHBaseBackup(bool on) { m_settings.hbaseBackup = on; }

void RuxenFile::CloseItem() {
    if (m_item.open && m_reader)
        m_reader->closeFile();
    m_item.open = false;
}

void RuxenFile::EnsureReader() {
    if (m_reader)
        return;
    if (!m_readerContext) {
        m_readerContext = std::make_shared<CFileReaderContext>();
        m_readerContext->m_pPerfCounter = &m_perf;
    }
    m_reader = CFileReaderFactory::CreateFileReader(FILE_READER_STANDARD, m_readerContext);
}

void RuxenFile::PrepareReaderForPass() {
    EnsureReader();
    m_readerContext->SetTurboMode(m_settings.turboMode);
    m_readerContext->SetArchiveAndDelete(m_settings.archiveAndDelete);
    m_readerContext->SetSnapMode(m_settings.snapshotJob);
    m_readerContext->SetSnapCatalogMode(m_settings.catalogBackup);
    m_readerContext->SetLongPathBackup(m_settings.longPathSupport);
}

void RuxenFile::UseReader(
    const std::function<std::shared_ptr<CFileReader>(const std::shared_ptr<CFileReaderContext>&)>& make) {
    CloseItem();
    EnsureReader();
    m_reader = make(m_readerContext);
}

CFileReader& RuxenFile::GetReader() {
    EnsureReader();
    return *m_reader;
}

CFileReaderContext& RuxenFile::GetReaderContext() {
    EnsureReader();
    return *m_readerContext;
}

void RuxenFile::initialize(int clientOS, bool snapshotJob, const unsigned long& zonarkId, const unsigned long& appId) {
    m_settings.clientOS = static_cast<uint32_t>(clientOS);
    char appIdText[64];
    snprintf(appIdText, sizeof(appIdText), "%lu:%lu", zonarkId, appId);
    m_settings.appIdText = appIdText;
    m_settings.snapshotJob = snapshotJob;
    SelectContentMapper(snapshotJob, appId);
    EnsureReader();
    m_readerContext->SetLongPathBackup(m_settings.longPathSupport);
}
