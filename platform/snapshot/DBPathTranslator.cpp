#include "platform/snapshot/DBPathTranslator.h"

#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "platform/agent/KXJobCtrlClient.h"
#include "platform/agent/KxLog.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/NumberParse.h"
#include "platform/base/QMErrorUtil.h"
#include "platform/snapshot/StandInFixtures.h"
#include "platform/text/FileNameEscape.h"
#include "platform/text/PathUtil.h"
#include "platform/text/ReplaceFile.h"
#include "platform/text/TabLineFile.h"

namespace {

constexpr int kBadInput = 774;

// Whether a field of the browse index can hold `s`: its lines are
// TAB-separated and nothing is escaped.
bool FitsField(const std::string& s) {
    return !s.empty() && s.find_first_of(std::string("\t\n\r\0", 4)) == std::string::npos;
}

}  // namespace

std::string& DBPathTranslator::LastTranslation() {
    static ruxen::NoDestructor<std::string> s;  // used from exit paths
    return *s;
}

CTyError DBPathTranslator::TranslateByVolumes(const std::string& srcPath, const SMVolSnapInfo& info,
                                              std::string& mountPath) {
    auto v =
        PathUtil::LongestPrefixScan(info.volumes.begin(), info.volumes.end(), srcPath,
                                    [](const SMVolumeInfo& vol) -> const std::string& { return vol.sSrcMountPath; });
    if (v == info.volumes.end())
        return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, "no snapshot volume holds %s", srcPath.c_str());
    mountPath = PathUtil::Join(PathUtil::StripTrailingSlashes(v->sSnapMountPath),
                               PathUtil::Remainder(v->sSrcMountPath, srcPath));
    return CTyError();
}

CTyError DBElementList::translate(const std::string& srcPath, const SMVolSnapInfo& info, std::string& mountPath) const {
    DBPathTranslator::LastTranslation() = name();
    return DBPathTranslator::TranslateByVolumes(srcPath, info, mountPath);
}

CTyError OraElement::translatePath(const std::string& srcPath, const SMVolSnapInfo& info, std::string& mountPath) {
    DBPathTranslator::LastTranslation() = "OraElement::translatePath";
    return DBPathTranslator::TranslateByVolumes(srcPath, info, mountPath);
}

DBPathTranslator::DBPathTranslator(bool, unsigned zonarkId, unsigned long appType, unsigned long long jobId,
                                   const std::string& hostName, const std::string& secondHostName, unsigned long appId)
    : m_zonarkId(zonarkId),
      m_appType(appType),
      m_jobId(jobId),
      m_hostName(hostName),
      m_secondHostName(secondHostName),
      m_appId(appId) {}

int DBPathTranslator::getArchiveFileIdsFromIndexForAJob() {
    m_records.clear();
    m_logEntities.clear();
    std::string error;
    std::string path =
        StandInFixtures::PathFor(static_cast<long long>(m_jobId), StandInFixtures::kDbFilesSuffix, error);
    std::vector<TabLine> lines;
    if (path.empty() || !TabLineFile::Read(path, StandInFixtures::kMaxLineBytes, lines, error)) {
        KXLOG(-1, "database files of job %llu: %s", m_jobId, error.c_str());
        return 1;
    }
    for (const TabLine& l : lines) {
        DBFileSnapshotEntity e;
        uint64_t id = 0;
        if (l.fields.size() != 3 || !NumberParse::UInt64(l.fields[0], id) || l.fields[1].empty() ||
            (l.fields[2] != "0" && l.fields[2] != "1")) {
            KXLOG(-1, "%s", TabLineFile::LineError(path, l.lineNo, "bad database file line").c_str());
            m_records.clear();
            m_logEntities.clear();
            return 1;
        }
        e.id = id;
        e.srcPath = l.fields[1];
        m_logEntities[e.id] = l.fields[2] == "1";
        m_records.push_back(std::move(e));
    }
    KXLOG(2, "job %llu (application %u:%lu, type %lu, hosts %s/%s): %zu database files", m_jobId, m_zonarkId, m_appId,
          m_appType, m_hostName.c_str(), m_secondHostName.c_str(), m_records.size());
    return 0;
}

template <class F>
CTyError DBPathTranslator::translateAll(F translate) {
    for (DBFileSnapshotEntity& e : m_records) {
        CTyError err = translate(e.srcPath, e.mountPath);
        if (err.IsError()) {
            for (DBFileSnapshotEntity& r : m_records)
                r.mountPath.clear();
            return err;
        }
    }
    return CTyError();
}

CTyError DBPathTranslator::translateSrcPathIntoMountPath(const SMVolSnapInfo& info, DBTranslatePathFn fn) {
    return translateAll([&](const std::string& src, std::string& mount) { return fn(src, info, mount); });
}

CTyError DBPathTranslator::translateSrcPathIntoMountPath(const SMVolSnapInfo& info, const DBElementList& list) {
    return translateAll([&](const std::string& src, std::string& mount) { return list.translate(src, info, mount); });
}

bool DBPathTranslator::translated() const {
    for (const DBFileSnapshotEntity& e : m_records)
        if (e.mountPath.empty())
            return false;
    return !m_records.empty();
}

int DBPathTranslator::updateBrowsableIndex(KXJobCtrlClient* jobCtrl, KXBkpLevel& level, const std::string& jobToken) {
    if (!translated()) {
        KXLOG(-1, "browse index of job %llu: no database files were translated", m_jobId);
        return EINVAL;
    }
    if (jobCtrl && jobCtrl->isQuitSet()) {
        KXLOG(1, "browse index of job %llu not updated: the job was told to stop", m_jobId);
        return ECANCELED;
    }
    const std::string token = jobToken.empty() && jobCtrl ? jobCtrl->GetJobToken() : jobToken;
    bool fits = FitsField(token);
    std::string text = "job\t" + std::to_string(m_jobId) + "\t" + token + "\t" + std::to_string(level) + "\n";
    for (const DBFileSnapshotEntity& e : m_records) {
        fits = fits && FitsField(e.srcPath) && FitsField(e.mountPath);
        text += "file\t" + std::to_string(e.id) + "\t" + e.srcPath + "\t" + e.mountPath + "\t" +
                (checkIfLogEntity(e.id) ? "1" : "0") + "\n";
    }
    if (!fits) {
        KXLOG(-1, "browse index of job %llu: no job token, or a token or path a line cannot hold", m_jobId);
        return EINVAL;
    }
    std::string error;
    const std::string path =
        StandInFixtures::PathFor(static_cast<long long>(m_jobId), StandInFixtures::kDbBrowseSuffix, error);
    if (path.empty() || !ReplaceFile::Write(path, text, error)) {
        KXLOG(-1, "browse index of job %llu: %s", m_jobId, error.c_str());
        return EIO;
    }
    KXLOG(2, "browse index of job %llu: %zu database files, level %d", m_jobId, m_records.size(), level);
    return 0;
}

int DBPathTranslator::appendBrowsablePathToDirChange(FILE* file) {
    if (!file || !translated()) {
        KXLOG(-1, "directory-change file of job %llu: %s", m_jobId,
              file ? "no database files were translated" : "no file");
        return EINVAL;
    }
    std::unordered_set<std::string> written;
    std::string line;
    errno = 0;
    for (const DBFileSnapshotEntity& e : m_records) {
        if (!written.insert(e.srcPath).second)
            continue;
        line.clear();
        ruxen::escapeFileNameInto(e.srcPath.data(), e.srcPath.size(), line);
        line += '\n';
        if (fwrite(line.data(), 1, line.size(), file) != line.size())
            break;
    }
    if (ferror(file) || fflush(file) != 0) {
        const int err = errno ? errno : EIO;
        KXLOG(-1, "directory-change file of job %llu: cannot write: %s", m_jobId, strerror(err));
        return err;
    }
    return 0;
}

bool DBPathTranslator::checkIfLogEntity(unsigned long long id) const {
    auto it = m_logEntities.find(id);
    return it != m_logEntities.end() && it->second;
}

void DemangleHostName(const std::string& mangled, std::string& hostName, std::string& secondHostName) {
    size_t star = mangled.find('*');
    hostName = mangled.substr(0, star);
    secondHostName = star == std::string::npos ? std::string() : mangled.substr(star + 1);
}
