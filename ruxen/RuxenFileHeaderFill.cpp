// Filling the working header record from the item's stat result and name.
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "platform/KxLog.h"
#include "reader/CFileReader.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"

namespace {

// Reads a link's target through the reader (long paths), growing the
// buffer for long targets.
int readLinkTarget(CFileReader& reader, const char* path, std::string& out) {
    static const size_t sizes[] = {4096, 8192, 32768, 262144};
    std::vector<char> buf;
    for (size_t size : sizes) {
        buf.resize(size + 1);
        ssize_t n = reader.readlink(path, buf.data(), size + 1);
        if (n < 0)
            return errno;
        if (static_cast<size_t>(n) <= size) {
            out.assign(buf.data(), static_cast<size_t>(n));
            return 0;
        }
    }
    return ENAMETOOLONG;
}

}  // namespace

int RuxenFile::PopulateHeader(subclientFiles* files, FILE* failures) {
    return PopulateHeaderEx(files, failures, false, false);
}

int RuxenFile::PopulateHeaderEx(subclientFiles*, FILE* failures, bool, bool) {
    ZXFileHeader& h = m_header;
    h.h_platform_flags = 0;

    const bool backslash = m_appType == 106;
    h.h_version = ZX_HEADER_VERSION;
    h.h_magic = ZX_HEADER_MAGIC;
    h.h_separator = backslash ? '\\' : '/';
    h.h_flags = (backslash ? 0 : ZX_HFLAG_SLASH_SEPARATOR) | ZX_HFLAG_ALWAYS;
    h.h_client_os = m_clientOS;

    // A name that does not fit the field is refused: a cut name would name
    // another file.
    const std::string& name = m_recordedPath;
    if (name.size() >= ZX_HEADER_NAME_SIZE) {
        ReportItemFailure(failures, name.c_str(), ENAMETOOLONG, "path does not fit the header's name field");
        return kItemSkipped;
    }
    memcpy(h.h_filename, name.c_str(), name.size() + 1);
    h.h_namelen = static_cast<uint32_t>(name.size() + 1);

    SetAppDefVersionGUIDSeedSuffix();
    m_private->GenerateBackupObjectGUIDs(name, m_stat, m_itemType == fTypeRegular && GetReader().isStub());

    const struct stat& st = m_stat;
    h.h_mtime = static_cast<uint64_t>(st.st_mtime);
    h.h_ctime = static_cast<uint64_t>(st.st_ctime);
    h.h_atime = static_cast<uint32_t>(st.st_atime);
    h.h_mode = st.st_mode;
    h.h_nlink = static_cast<uint32_t>(st.st_nlink);
    h.h_uid = st.st_uid;
    h.h_gid = st.st_gid;
    h.h_dev = static_cast<uint32_t>(st.st_dev);
    h.h_rdev = static_cast<uint32_t>(st.st_rdev);
    h.h_ino_low = static_cast<uint32_t>(static_cast<uint64_t>(st.st_ino));
    h.h_ino_high = static_cast<uint32_t>(static_cast<uint64_t>(st.st_ino) >> 32);

    switch (m_itemType) {
    case fTypeRegular:
        h.h_filesize = static_cast<uint64_t>(GetReader().getTotalSize());
        break;
    case fTypeSymlink: {
        int e = readLinkTarget(GetReader(), _mapped_name.c_str(), m_symlinkTarget);
        if (e != 0) {
            KXLOG(-1, "readlink(%s) failed, errno %d", name.c_str(), e);
            ReportItemFailure(failures, name.c_str(), e, strerror(e));
            return kItemSkipped;
        }
        h.h_filesize = m_symlinkTarget.size();
        break;
    }
    default:
        h.h_filesize = 0;
        break;
    }

    CFileReader& reader = GetReader();
    h.h_isHFS = static_cast<uint8_t>(reader.isHFS());
    h.h_datasize = (h.h_isHFS || m_dashLine) ? static_cast<uint64_t>(reader.getDataSize()) : 0;

    h.portable_flags &= ~ZXFLAG_STUB;
    h.h_platform_flags &= ~ZX_HDR_FLAG_STUB;
    if (m_itemType == fTypeRegular && reader.isStub()) {
        h.portable_flags |= ZXFLAG_STUB;
        h.h_platform_flags |= ZX_HDR_FLAG_STUB;
        if (m_turboMode)
            h.portable_flags |= ZXFLAG_WENDAX_STUB_WITH_GUID;
        else
            KXLOG(5, "Not setting ZXFileHeader flag ZXFLAG_WENDAX_STUB_WITH_GUID");
        KXLOG(5, "ZXFileHeader flag 0x%lx", static_cast<unsigned long>(h.portable_flags));
    }
    if (m_appleDouble && (reader.isHFS() & CFileReader::kHFSHasCompanion))
        h.portable_flags |= ZXFLAG_APPLE_DOUBLE;

    if (static_cast<unsigned long long>(st.st_blocks) * 512ull >= static_cast<unsigned long long>(st.st_size))
        h.h_platform_flags |= ZX_HDR_FLAG_NOT_SPARSE;
    else
        h.h_platform_flags &= ~ZX_HDR_FLAG_NOT_SPARSE;
    h.h_platform_flags |= ZX_HDR_FLAG_SPARSE_TESTED;

    if (reader.getDumpFlag())
        h.portable_flags |= ZXFLAG_DUMP;
    else
        h.portable_flags &= ~ZXFLAG_DUMP;

    if (!m_hlCollectEntry)
        ++m_countableItems;
    m_totalBytes += h.h_filesize;
    return kItemGoOn;
}
