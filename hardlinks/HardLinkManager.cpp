#include "hardlinks/HardLinkManager.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "hardlinks/HardLinkMessages.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/QMErrorUtil.h"
#include "platform/base/TestControl.h"
#include "platform/text/FileNameEscape.h"

namespace {

bool s_supported = false;
bool s_registryRead = false;
HardLinksTablePtr s_table;
std::string s_tableDirectory;
bool s_tableReadMode = false;

void ForgetTable() {
    s_table.reset();
    s_tableDirectory.clear();
    s_tableReadMode = true;
}

}  // namespace

// --- process-wide state ---

bool HardLinkManager::HardLinkFeatureSupported() {
    if (s_supported)
        return true;
    if (!s_registryRead) {
        std::string value;
        if (KXPlatformInfo::getString(kHLRegistrySection, kHLRegistryKey, value) && !value.empty()) {
            if (value[0] == 'y' || value[0] == 'Y') {
                s_supported = true;
                KXLOG(1, "HardLink Backup And Restore Enabled by Registry Key");
            } else if (value[0] == 'n' || value[0] == 'N') {
                s_supported = false;
                KXLOG(1, "HardLink Backup And Restore Disabled by Registry Key");
            }
        }
        s_registryRead = true;
    }
    return s_supported;
}

CTyError HardLinkManager::EnableHardLinkFeature() {
    s_supported = true;
    return CTyError::Success();
}

void HardLinkManager::DisableHardLinkFeature() {
    HardLinkFeatureSupported();  // so that the registry cannot switch it on later
    s_supported = false;
}

HardLinksTablePtr HardLinkManager::getHLTableClass(const std::string& directory, bool readMode) {
    if (s_table && s_table->isOpen() && !s_tableDirectory.empty() && s_tableDirectory == directory &&
        s_tableReadMode == readMode)
        return s_table;
    if (s_table) {
        KXLOG(0, "close HLTable for [%s] mode:%d", s_tableDirectory.c_str(), s_tableReadMode);
        if (s_table->isOpen())
            s_table->close();
        ForgetTable();
    }
    if (directory.empty()) {
        KXLOG(-1, "Directory is not specified for HardLinksTable");
        return HardLinksTablePtr();
    }
    KXLOG(0, "open HLTable for [%s] mode:%d", directory.c_str(), readMode);
    auto table = std::make_shared<HardLinksTable>();
    if (table->setDirectory(directory, readMode, kHardLinksTableName) != 0) {
        KXLOG(-1, "Failed initialize HardLinksTable ([%s],%d)", directory.c_str(), readMode);
        return HardLinksTablePtr();
    }
    s_table = table;
    s_tableDirectory = directory;
    s_tableReadMode = readMode;
    return s_table;
}

void HardLinkManager::closeHLTableClass() {
    if (!s_table)
        return;
    KXLOG(0, "close HLTable for [%s] mode:%d", s_tableDirectory.c_str(), s_tableReadMode);
    if (s_table->isOpen())
        s_table->close();
    ForgetTable();
}

void ruxen::testcontrol::ResetHardLinkManager() {
    HardLinkManager::closeHLTableClass();
    s_supported = false;
    s_registryRead = false;
    s_tableReadMode = false;
}

namespace {
const ruxen::testcontrol::Registration kTestReset("hard-link manager", &ruxen::testcontrol::ResetHardLinkManager);
}  // namespace

std::string HardLinkManager::GeneratePhonyFileNameUsingStat(const struct stat& st) {
    char buf[96];
    snprintf(buf, sizeof(buf), "%" PRIu64 "_%" PRIu64 "_%" PRId64, static_cast<uint64_t>(st.st_ino),
             static_cast<uint64_t>(st.st_dev), static_cast<int64_t>(st.st_ctime));
    return std::string(kPhonyNamePrefix) + buf;
}

std::string HardLinkManager::GeneratePhonyFileName(const struct stat& st) { return GeneratePhonyFileNameUsingStat(st); }

bool HardLinkManager::IsPhonyName(const std::string& path) {
    return path.compare(0, strlen(kPhonyNamePrefix), kPhonyNamePrefix) == 0;
}

std::string HardLinkManager::GenerateHCollectSplitConfigFileName(const std::string& dir) {
    return dir + "/" + kHCollectSplitConfigName;
}
std::string HardLinkManager::GenerateCollectSplitConfigFileName(const std::string& dir) {
    return dir + "/" + kCollectSplitConfigName;
}
std::string HardLinkManager::GenerateMergedSplitConfigFileName(const std::string& dir) {
    return dir + "/" + kMergedSplitConfigName;
}

// --- the manager ---

HardLinkManager::HardLinkManager() = default;

HardLinkManager::~HardLinkManager() { Cleanup(); }

CTyError HardLinkManager::initHardLinkManager(const std::string& jobResultsDir, const std::string& baseName) {
    m_jobResultsDir = jobResultsDir;
    m_baseName = baseName;
    return CTyError::Success();
}

bool HardLinkManager::initGuidHelper(int value) {
    m_guidHelper = value;
    return true;
}

void HardLinkManager::setCollectFileCacheCapacity(size_t n) {
    m_collectFiles.SetCapacity(n);
    m_tempCollectFiles.SetCapacity(n);
}

HCollectFileCache::Ptr HardLinkManager::collectFile(uint32_t number, int mode) {
    return m_collectFiles.Get(number, mode, m_jobResultsDir, m_baseName, kCollectSuffix);
}

HCollectFileCache::Ptr HardLinkManager::tempCollectFile(uint32_t number, int mode, const std::string& suffix) {
    return m_tempCollectFiles.Get(number, mode, m_jobResultsDir, m_baseName, suffix);
}

namespace {

CTyError CloseIn(HCollectFileCache& cache, uint32_t number) {
    try {
        cache.Drop(number);
        return CTyError::Success();
    } catch (const HardLinkManagerBaseException& e) {
        return QMErrorUtil::ErrorErrNo(QM_LOC, errno, "%s", e.what());
    }
}

}  // namespace

CTyError HardLinkManager::closeCollectFile(uint32_t number) { return CloseIn(m_collectFiles, number); }

CTyError HardLinkManager::closeTempCollectFile(uint32_t number) { return CloseIn(m_tempCollectFiles, number); }

bool HardLinkManager::InsertEntryInHCollectFile(uint32_t hColNum, const std::string& path,
                                                const std::string& /*unused*/, const struct stat& st) {
    if (!HardLinkFeatureSupported())
        return false;
    KXLOG(2, "+++++++jobResultsDir %s ++++++++++++++ hColNum %u +++++ full path is %s .", m_jobResultsDir.c_str(),
          hColNum, path.c_str());
    if (IsPhonyName(path))
        return true;
    try {
        if (hColNum == 0)
            throw HardLinkManagerBaseException("collect numbers begin at 1");
        m_escaped.clear();
        ruxen::escapeFileNameInto(path.data(), path.size(), m_escaped);
        collectFile(hColNum, HCOLLECT_WRITE)->InsertEntryInHCollectFile(m_escaped, st);
        m_hColNumbers.insert(hColNum);
        if (!m_tableReady || !m_table) {
            if (!DeleteCtreeFiles())
                throw HardLinkManagerBaseException(kErrStaleTable);
            closeHLTableClass();
            m_table = getHLTableClass(m_jobResultsDir, false);
            if (!m_table)
                throw HardLinkManagerBaseException(kErrTableInit);
            m_tableReady = true;
        }
        if (m_table->insert(st.st_dev, st.st_ino, st.st_ctime, path, std::string()) != 0)
            throw HardLinkManagerBaseException(kErrTableInsert);
    } catch (const std::exception& e) {
        KXLOG(0,
              "HardLinkManager DEBUG:Could not insert entry in hard link collect file. Must skip "
              "entry in ctree table Errno [%d] (%s)",
              errno, e.what());
        throw HardLinkManagerBaseException(kErrManagerInsert);
    }
    m_totalSize += static_cast<uint64_t>(st.st_size);
    ++m_insertedPaths;
    return true;
}

int64_t HardLinkManager::FirstRecordedRow(const struct stat& st) {
    if (!m_tableReady || !m_table)
        return 0;
    int64_t row = 0;
    const int found = m_table->firstRow(st.st_dev, st.st_ino, row);
    if (found < 0)
        throw HardLinkManagerBaseException(kErrTableSearch);
    return found == 1 ? row : 0;
}

int64_t HardLinkManager::LastRecordedRow() const { return m_tableReady && m_table ? m_table->lastRow() : 0; }

std::string HardLinkManager::getFileGUID(uint64_t device, uint64_t inode, int64_t ctime) {
    if (!m_tableReady || !m_table)
        return std::string();
    std::string path, guid;
    int64_t stored = 0;
    if (m_table->searchFirst(device, inode, path, stored, guid) != 1)
        return std::string();
    if (stored != ctime) {
        KXLOG(-1, "the record in c-tree table exist but does not match our file.");
        return std::string();
    }
    return guid;
}

bool HardLinkManager::DeleteCtreeFiles() {
    // Said only when there is a table to delete (a first run has none).
    if (KxLog::Enabled(0) &&
        (m_table || access(HardLinksTable::DataPath(m_jobResultsDir, kHardLinksTableName).c_str(), F_OK) == 0 ||
         access(HardLinksTable::IndexPath(m_jobResultsDir, kHardLinksTableName).c_str(), F_OK) == 0))
        KXLOG(0, "+++++++Deleting hardlink table");
    bool ok = true;
    if (m_table) {
        if (m_table->isOpen())
            m_table->close();
        m_table->removeTable();
        m_table.reset();
    }
    m_tableReady = false;
    for (const std::string& p : {HardLinksTable::DataPath(m_jobResultsDir, kHardLinksTableName),
                                 HardLinksTable::IndexPath(m_jobResultsDir, kHardLinksTableName),
                                 HardLinksTable::NamePath(m_jobResultsDir, kHardLinksTableName)}) {
        KXLOG(2, "+++++++Remving %s ++++++++++.", p.c_str());
        if (RemoveFileIfPresent(p) != 0) {
            KXLOG(-1, "cannot remove %s: %s", p.c_str(), strerror(errno));
            ok = false;
        }
    }
    const std::string name = HardLinksTable::NamePath(m_jobResultsDir, kHardLinksTableName);
    ScopedFd fd(open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.valid() && fd.Close() == 0)
        KXLOG(2, "+++++++opened %s ++++++++++.", name.c_str());
    else
        KXLOG(2, "+++++++Failed to open  output stream for %s ++++++++++.", name.c_str());
    return ok;
}

void HardLinkManager::Cleanup() {
    m_collectFiles.Clear();
    m_tempCollectFiles.Clear();
    if (m_table && m_table->isOpen())
        m_table->close();
    m_table.reset();
    m_tableReady = false;
}

HardLinkManager& HardLinkManager::operator+=(HardLinkManager& other) {
    m_guidHelper = other.m_guidHelper;
    m_jobResultsDir = other.m_jobResultsDir;
    m_baseName = other.m_baseName;
    m_allRecords = other.m_allRecords;
    // A manager that recorded only empty files has a total of 0 and still
    // has numbers and lines to hand over.
    if (other.m_insertedPaths != 0 || !other.m_hColNumbers.empty()) {
        if (!m_table) {
            m_table = other.m_table;
            m_tableReady = other.m_tableReady;
        }
        m_totalSize += other.m_totalSize;
        m_insertedPaths += other.m_insertedPaths;
        m_hColNumbers.insert(other.m_hColNumbers.begin(), other.m_hColNumbers.end());
        m_collectFiles.TakeFrom(other.m_collectFiles);
    }
    return *this;
}

void HardLinkManager::QueryCtreeTable(const std::string& directory) {
    HardLinksTable table;
    int rc = table.setDirectory(directory, true, kHardLinksTableName);
    if (rc != 0) {
        KXLOG(1, "+++++++setDirectory during backup Failed %d++++++++++++++++++", rc);
        return;
    }
    static const uint64_t kInodes[] = {16023211, 16023215, 16023213, 16023212, 16023214, 16023217};
    std::string path, guid;
    int64_t ctime = 0;
    for (uint64_t inode : kInodes) {
        if (table.searchFirst(64768, inode, path, ctime, guid) != 1)
            continue;
        KXLOG(1, "++++++++++++++++Sending optional header for %s", path.c_str());
        while (table.searchNext(path, ctime) == 1)
            KXLOG(1, "++++++++++++++Sending optional header for %s", path.c_str());
    }
}

int HardLinkManager::renamePath(const std::string& from, const std::string& to) {
    return rename(from.c_str(), to.c_str());
}

int HardLinkManager::linkPath(const std::string& from, const std::string& to) { return link(from.c_str(), to.c_str()); }

DirectoryJournal::Ops HardLinkManager::JournalOps() {
    return DirectoryJournal::Ops{[this](const std::string& a, const std::string& b) { return renamePath(a, b); },
                                 [this](const std::string& a, const std::string& b) { return linkPath(a, b); }};
}

bool hlDebug(const std::string& directory) {
    HardLinksTable table;
    if (table.setDirectory(directory, true, kHardLinksTableName) != 0) {
        printf("Open ctree directory in '%s' failed\n", directory.c_str());
        return true;
    }
    table.forEachRow([](uint64_t dev, uint64_t ino, int64_t ctime, const std::string& path, const std::string& guid) {
        printf("%" PRIu64 " %" PRIu64 " %" PRId64 " %s %s\n", dev, ino, ctime,
               ruxen::escapeFileName(path.c_str()).c_str(), guid.c_str());
    });
    return false;
}
