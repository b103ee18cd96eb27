// Tiered-storage stubs: recognising them at initialize and delivering their
// own bytes instead of the file's data.
#include <cerrno>
#include <cstring>

#include "platform/agent/KxLog.h"
#include "platform/hsm/ZXHSMLowLevel.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "zxhsm/ZXHSMCommon/ZXHSMLowLevelCtx.h"

namespace {

constexpr size_t kMaxStubRead = size_t(1) << 30;

}  // namespace

int CFileReader::tieredObject(const char* path) {
    ZXHSMLowLevelCtx* zctx = m_ctx->GetZXHSMLowLevelContext(m_ctx->GetUseDriver());
    m_zxhsm = zctx ? zctx->getByFileName(path) : nullptr;
    if (m_zxhsm == nullptr) {
        KXLOG(-1, "Failed to create ZXHSMLowLevel for '%s'", path);
        errno = EIO;
        return -1;
    }
    return 0;
}

int CFileReader::initStubInstalled(const char* path) {
    if (tieredObject(path) < 0)
        return -1;
    const bool onTiered = m_zxhsm->isSXRFS(path) > 0 || m_ctx->IsArchiveAndDelete();
    KXLOG(7, "ZXHSMInstalled-%d, SXRFS-%s", 1, onTiered ? "yes" : "no");
    if (!onTiered)
        return 1;
    if (m_ctx->IsEarlyStubBackup()) {
        m_isStub = true;
        m_stubData = m_ctx->GetStubData();
        KXLOG(5, "Setting '%s' as stub", path);
    } else if (m_ctx->GetUseDriver() != CFileReaderContext::kArchiverDriver) {
        int r = m_zxhsm->isStub(path);
        if (r < 0) {
            if (errno == 0)
                errno = EIO;
            KXLOG(-1, "ZXHSMLowLevel::isStub() failed, error=[%s]", m_zxhsm->getLastError().c_str());
            return -1;
        }
        m_isStub = r != 0;
        if (m_isStub && m_zxhsm->backupStub(path, m_stubData) < 0) {
            KXLOG(-1, "ZXHSMLowLevel::backupStub() failed, error=[%s]", m_zxhsm->getLastError().c_str());
            errno = EIO;
            return -1;
        }
    } else {
        ZXHSMLowLevelCXFS* cxfs = dynamic_cast<ZXHSMLowLevelCXFS*>(m_zxhsm);
        if (cxfs == nullptr) {
            KXLOG(-1, "Unable to get ZXHSMLowLevelCXFS, useDriver=[%s]",
                  m_ctx->GetUseDriver() == CFileReaderContext::kDriverLess ? "DRIVER_LESS" : "DRIVER");
            errno = EIO;
            return -1;
        }
        bool stub = false;
        if (cxfs->getStubData(path, stub, m_stubData, m_stat.st_size) < 0) {
            if (errno == 0)
                errno = EIO;
            KXLOG(-1, "ZXHSMLowLevel:getStubData() failed, error=[%s]", cxfs->getLastError().c_str());
            return -1;
        }
        m_isStub = stub;
    }
    if (!m_isStub)
        return 1;
    if (m_ctx->IsTurboMode())
        parseStub(false);
    return 0;
}

int CFileReader::initStubSnapshot(const char* path) {
    if (tieredObject(path) < 0)
        return -1;
    if (m_ctx->IsEarlyStubBackup()) {
        m_isStub = true;
        m_stubData = m_ctx->GetStubData();
    } else if (m_zxhsm->getSnapStubData(path, m_stubData) == 0) {
        m_isStub = true;
    } else {
        KXLOG(2, "%s.", m_zxhsm->getLastError().c_str());
        m_stubData.clear();
    }
    if (!m_isStub)
        return 1;
    parseStub(true);
    return 0;
}

void CFileReader::parseStub(bool snapshotText) {
    ReparseData rd;
    if (ParseStubData(m_stubData, rd)) {
        m_appGUID = rd.appGuid;
        if (rd.kind == 2)
            m_stubGUID = rd.dataGuid;
        else
            m_stubGUID.clear();
        m_recordedStubSize = rd.recordedSize;
        m_appId = rd.appId;
        return;
    }
    if (snapshotText)
        KXLOG(2, "%s is a FSSX stub.Setting turbo mode false.", m_path.c_str());
    else
        KXLOG(2, "%s is a FSSX stub. Setting turbo mode false.", m_path.c_str());
    m_ctx->SetTurboMode(false);
}

int CFileReader::readStub(char* buf, size_t size) {
    const size_t have = m_stubData.size();
    const size_t left = m_stubPos < have ? have - m_stubPos : 0;
    if (size > left)
        size = left;
    if (size > kMaxStubRead)
        size = kMaxStubRead;  // the count must fit the int answer
    ssize_t n = m_ctx->FileOps().readStub(m_stubData.data() + m_stubPos, left, buf, size);
    if (n < 0) {
        KXLOG(-1, "cannot read the stub data of %s: %s", m_path.c_str(), strerror(errno));
        return -1;
    }
    m_stubPos += static_cast<uint32_t>(n);
    if (m_ctx->PrintBackupFileName())
        KXLOG(0, "Sending [%d] bytes for stub '%s' StubData=[%ld], StubPos=[%u]", static_cast<int>(n), m_path.c_str(),
              static_cast<long>(have), m_stubPos);
    return static_cast<int>(n);
}

std::string CFileReader::GetCommonStubFormat() {
    m_stubFields.version = 0;
    m_stubFields.stubType = 5;
    m_stubFields.size = static_cast<uint64_t>(m_stat.st_size);
    m_commonStubFormat = m_stubFields.ToString();
    return m_commonStubFormat;
}
