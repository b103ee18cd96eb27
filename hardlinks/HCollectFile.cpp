#include "hardlinks/HCollectFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hardlinks/HCollectGroupReader.h"
#include "hardlinks/HCollectLine.h"
#include "hardlinks/HardLinkExceptions.h"
#include "hardlinks/HardLinkMessages.h"
#include "hardlinks/TextLineReader.h"
#include "platform/agent/KxLog.h"
#include "platform/base/FdIO.h"

namespace {

constexpr size_t kFlushAt = 256 * 1024;

[[noreturn]] void CreateFailed() {
    KXLOG(-1, "HCollectFile DEBUG:Could not create the HCollectFile object properly");
    throw HardLinkManagerBaseException(kErrHCollectCreate);
}

[[noreturn]] void InsertFailed(const char* why, const std::string& path) {
    KXLOG(-1, "HCollectFile DEBUG:Could not insert entry in hard link collect file. (%s: %s)", path.c_str(), why);
    throw HardLinkManagerBaseException(kErrHCollectInsert);
}

}  // namespace

std::string HCollectFile::GetHCollectFilePath(uint32_t number, const std::string& directory,
                                              const std::string& baseName, const std::string& suffix) {
    return directory + "/H" + baseName + std::to_string(number) + suffix;
}

std::string HCollectFile::GetCollectFilePath(uint32_t number, const std::string& directory, const std::string& baseName,
                                             const std::string& suffix) {
    return directory + "/" + baseName + std::to_string(number) + suffix;
}

HCollectFile::HCollectFile(const std::string& directory, const std::string& baseName, uint32_t number, int mode,
                           const std::string& suffix)
    : m_number(number),
      m_path(GetHCollectFilePath(number, directory, baseName, suffix)),
      m_mode(mode),
      m_directory(directory),
      m_suffix(suffix) {
    if (mode == HCOLLECT_WRITE) {
        m_fd = ScopedFd(open(m_path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
        struct stat st;
        if (!m_fd.valid() || fstat(m_fd.get(), &st) != 0) {
            KXLOG(2, "+++++++Failed to open  output stream for hColFilePath %s ++++++++++.", m_path.c_str());
            CreateFailed();
        }
        char last = '\n';
        if (st.st_size > 0 && S_ISREG(st.st_mode) && ruxen::preadFull(m_fd.get(), &last, 1, st.st_size - 1) != 1)
            last = 0;
        if (last != '\n') {
            KXLOG(-1, "%s does not end with a line feed; not appending to it", m_path.c_str());
            CreateFailed();
        }
        m_buffer.reserve(kFlushAt + 8192);
        if (st.st_size == 0)
            m_buffer = kHCollectHeaderLine;
    } else if (mode == HCOLLECT_READ) {
        m_fd = ScopedFd(open(m_path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!m_fd.valid()) {
            KXLOG(2, "+++++++Failed to open  input stream for hColFilePath %s ++++++++++.", m_path.c_str());
            CreateFailed();
        }
    }
}

HCollectFile::~HCollectFile() {
    try {
        close();
    } catch (const HardLinkManagerBaseException&) {
        // close() logged it; a caller that must know calls close() itself.
    }
}

int HCollectFile::flush() {
    if (m_buffer.empty())
        return 0;
    int rc = ruxen::writeAll(m_fd.get(), m_buffer.data(), m_buffer.size());
    m_buffer.clear();
    return rc;
}

void HCollectFile::close() {
    if (!m_fd.valid())
        return;
    int rc = m_mode == HCOLLECT_WRITE ? flush() : 0;
    if (m_fd.Close() != 0)
        rc = -1;
    if (rc != 0) {
        KXLOG(-1, "HCollectFile DEBUG:Could not write or close %s: %s", m_path.c_str(), strerror(errno));
        throw HardLinkManagerBaseException(kErrHCollectClose);
    }
}

bool HCollectFile::InsertEntryInHCollectFile(const std::string& escapedPath, const struct stat& st, bool /*flag*/) {
    if (m_mode != HCOLLECT_WRITE || !m_fd.valid())
        InsertFailed("not open for writing", m_path);
    if (escapedPath.empty() || escapedPath[0] != '/' ||
        escapedPath.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        InsertFailed("the path is not an escaped absolute path", escapedPath);
    AppendHCollectLine(m_buffer, static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_dev),
                       static_cast<int64_t>(st.st_ctime), static_cast<uint64_t>(st.st_size), escapedPath.data(),
                       escapedPath.size());
    if (m_buffer.size() >= kFlushAt && flush() != 0)
        InsertFailed(strerror(errno), m_path);
    return true;
}

void HCollectFile::InsertElement(const HLinkGroupElement& e) {
    struct stat st {};
    st.st_ino = e.inode;
    st.st_dev = e.device;
    st.st_ctime = e.ctime;
    st.st_size = static_cast<off_t>(e.size);
    InsertEntryInHCollectFile(e.path, st);
}

void HCollectFile::ReadGroups(TextLineReader& lines, const std::string& name, HLGroupsMap_t& map) {
    ReadLines(lines, name, [&map](HLinkGroupElement& e, uint64_t, size_t) {
        map[HLGroupKey(e.inode, e.device)].push_back(std::move(e));
    });
}

void HCollectFile::ReadLines(TextLineReader& lines, const std::string& name, const LineVisitor& take) {
    std::string line, why;
    HLinkGroupElement e;
    uint64_t offset = 0;
    int rc;
    while ((rc = lines.Next(line)) == 1) {
        const uint64_t at = offset;
        offset += line.size() + 1;
        if (line.empty())
            continue;
        HCollectLineKind kind = ParseHCollectEntry(line.data(), line.size(), e, &why);
        if (kind == HCollectLineKind::Header)
            continue;
        if (kind == HCollectLineKind::Bad || !lines.LastLineTerminated()) {
            KXLOG(-1, "HCollectFile DEBUG Name:[%s] Line %llu:[%s] %s", name.c_str(),
                  static_cast<unsigned long long>(lines.LineNumber()), line.c_str(),
                  kind == HCollectLineKind::Bad ? why.c_str() : "has no line feed");
            KXLOG(-1, "HCollectFile DEBUG:Could not create the HL groups map");
            throw HardLinkManagerBaseException(kErrHLGroupsMap);
        }
        take(e, at, line.size());
    }
    if (rc < 0) {
        KXLOG(-1, "HCollectFile DEBUG Name:[%s] read failed after line %llu: %s", name.c_str(),
              static_cast<unsigned long long>(lines.LineNumber()), strerror(errno));
        KXLOG(-1, "HCollectFile DEBUG:Could not create the HL groups map");
        throw HardLinkManagerBaseException(kErrHLGroupsMap);
    }
}

bool HCollectFile::GetHLGroupsMap(HLGroupsMap_t& map) {
    KXLOG(2, "HCollectFile DEBUG %s", m_path.c_str());
    TextLineReader lines;
    if (m_mode != HCOLLECT_READ || !m_fd.valid()) {
        KXLOG(-1, "HCollectFile DEBUG:Could not create the HL groups map");
        throw HardLinkManagerBaseException(kErrHLGroupsMap);
    }
    lines.Attach(std::move(m_fd));
    ReadGroups(lines, m_path, map);
    return true;
}

void HCollectFile::ReadGroupsInOrder(HCollectGroupReader& groups) {
    if (m_mode != HCOLLECT_READ || !m_fd.valid()) {
        KXLOG(-1, "HCollectFile DEBUG:Could not create the HL groups map");
        throw HardLinkManagerBaseException(kErrHLGroupsMap);
    }
    groups.Read(std::move(m_fd), m_path);
}
