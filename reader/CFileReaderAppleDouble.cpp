// The AppleDouble part of an item: the companion found at initialize, and
// the resource fork and HFS properties block delivered after the data fork.
#include <cerrno>
#include <cstring>

#include "platform/agent/KxLog.h"
#include "platform/os/AMTimePreserver.h"
#include "platform/os/UtfFileOps.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"

int CFileReader::initAppleDouble(bool preserveTimes) {
    const std::string name = KX_DFMF_NAME(m_path.c_str());
    struct stat cst;
    if (name.empty() || lstatPath(name.c_str(), &cst) != 0)
        return 0;  // no companion: no Mac properties
    if (!S_ISREG(cst.st_mode)) {
        KXLOG(1, "AppleDouble file %s is not a regular file; no Mac properties for %s", name.c_str(), m_path.c_str());
        return 0;
    }
    m_oHFSHdr.isHFS = kHFSHasCompanion;
    if (preserveTimes)
        attach(new AMTimePreserver(new CoreInodePropPreserver<struct stat>(name, cst), &m_dirs));
    const int fd = m_companion.Open(name, cst);
    if (fd < 0) {
        KXLOG(-1, "open(%s) failed error=%s", name.c_str(), strerror(errno));
        return -1;
    }
    const int r = getAppleDoubleSize(HFS_RESOURCE_FORK, fd);
    m_oHFSHdr.rsrc_size = r < 0 ? 0 : r;
    if (getAppleDoubleSize(HFS_PROPERTIES, fd) == -2)
        m_oHFSHdr.isHFS |= kHFSNoProperties;
    if (m_ctx->DebugAppleDouble())
        KXLOG(0, "For file '%s'(%s) m_oHFSHdr.data_size:%lld isHFS:%u rsrc_size:%lld m_iRsrcFileHandle:%d",
              m_path.c_str(), name.c_str(), static_cast<long long>(m_oHFSHdr.data_size), m_oHFSHdr.isHFS,
              static_cast<long long>(m_oHFSHdr.rsrc_size), fd);
    return 0;
}

int CFileReader::getAppleDoubleSize(HFS_DATA_TYPE type, int handle) {
    return m_companion.EntrySize(type, handle, m_ctx->DebugAppleDouble());
}

int CFileReader::readAppleDouble(HFS_DATA_TYPE type, int handle, size_t dataOffset, char* buffer, int bufferSize) {
    return m_companion.ReadEntry(type, handle, dataOffset, buffer, bufferSize, m_ctx->DebugAppleDouble());
}

long long CFileReader::GetAppleDoubleProgress() const {
    return m_llProgress > m_oHFSHdr.data_size ? m_llProgress - m_oHFSHdr.data_size : 0;
}

int CFileReader::readAppleDoublePart(char* buf, size_t size) {
    m_appleDoubleStarted = true;
    const long long D = m_oHFSHdr.data_size;
    const long long R = m_oHFSHdr.rsrc_size;
    const long long P = m_llProgress;
    const bool dbg = m_ctx->DebugAppleDouble();
    if (dbg)
        KXLOG(0,
              "::read m_llProgress:%lld m_oHFSHdr.data_size:%lld m_oHFSHdr.rsrc_size:%lld m_oHFSHdr.isHFS:%u "
              "m_bAppleDoubleFile:%d",
              P, D, R, m_oHFSHdr.isHFS, m_companion.Fd() >= 0 ? 1 : 0);
    const long long propsEnd = D + R + static_cast<long long>(AppleDouble::kPropertiesSize);
    const long long blockEnd = D + R + static_cast<long long>(AppleDouble::kHFSBlockSize);

    if (P < D + R) {
        if (dbg)
            KXLOG(0, "will read fork data");
        // Never past the length recorded at initialize, even if the entry
        // grew since.
        const long long left = D + R - P;
        const int n = static_cast<int>(static_cast<long long>(size) < left ? static_cast<long long>(size) : left);
        int r = readAppleDouble(HFS_RESOURCE_FORK, m_companion.Fd(), static_cast<size_t>(P - D), buf, n);
        if (r <= 0) {
            if (r == 0)
                errno = EINVAL;
            KXLOG(-1, "Detected invalid format of the AppleDouble file %s", m_companion.Name().c_str());
            return -1;
        }
        if (r > n)
            r = n;
        m_llProgress += r;
        return r;
    }
    if (P < blockEnd) {
        if (dbg)
            KXLOG(0, "will read HFS Properties");
        const bool props = P < propsEnd;
        const long long left = (props ? propsEnd : blockEnd) - P;
        const int n = static_cast<int>(static_cast<long long>(size) < left ? static_cast<long long>(size) : left);
        int r = -1;
        if (props) {
            // A companion known to lack the entry gives zeros without asking.
            if (!(m_oHFSHdr.isHFS & kHFSNoProperties))
                r = readAppleDouble(HFS_PROPERTIES, m_companion.Fd(), static_cast<size_t>(P - D - R), buf, n);
        } else {
            r = readAppleDouble(HFS_FINDER_INFO, m_companion.Fd(), static_cast<size_t>(P - propsEnd), buf, n);
        }
        // A missing, unreadable or short part is delivered as zeros: the
        // block is always 92 bytes.
        if (r < 0)
            r = 0;
        if (r < n)
            memset(buf + r, 0, static_cast<size_t>(n - r));
        m_llProgress += n;
        return n;
    }
    m_companion.Close();
    m_llProgress = -1;
    return 0;
}
