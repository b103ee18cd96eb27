// The per-file object's content mapper: which one a job gets, its set-up,
// and the mapping of paths between their recorded and local forms.
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "mapping/ContentMapper.h"
#include "mapping/DBSnapContentMapper.h"
#include "mapping/FSTAVNameMapper.h"
#include "mapping/MappingMessages.h"
#include "mapping/SnapFSContentMapper.h"
#include "mapping/TAVNameMapper.h"
#include "mapping/WildCardContentMapper.h"
#include "norfa/FLRConsistencyPtMapper.h"
#include "platform/agent/AppTypeTables.h"
#include "platform/agent/ApplicationRegistry.h"
#include "platform/agent/KXClient.h"
#include "platform/agent/KXJobCtrlClient.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/KxException.h"
#include "platform/os/DirWalk.h"
#include "platform/os/KxMntTab.h"
#include "platform/text/PathUtil.h"
#include "reader/CFileReaderContext.h"
#include "ruxen/ContentManagerHelper.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"

namespace {

// File systems without storage of their own: nothing to size or back up.
bool IsPseudoFs(const std::string& type) {
    static const char* const kPseudo[] = {"proc",       "sysfs",      "cgroup",   "cgroup2",  "devpts",
                                          "securityfs", "debugfs",    "tracefs",  "mqueue",   "pstore",
                                          "bpf",        "autofs",     "configfs", "fusectl",  "binfmt_misc",
                                          "hugetlbfs",  "rpc_pipefs", "nsfs",     "efivarfs", "selinuxfs"};
    for (const char* p : kPseudo)
        if (type == p)
            return true;
    return false;
}

bool IsNetworkFs(const std::string& type) {
    return type.compare(0, 3, "nfs") == 0 || type == "cifs" || type == "smbfs" || type == "smb3" ||
           type.compare(0, 4, "fuse") == 0;
}

}  // namespace

int GetMountDetailsFS(std::map<int, MountEntry>& mounts, char* errorText, int flags) {
    std::vector<KxMntTab::Entry> table;
    try {
        table = KxMntTab::getAll();
    } catch (const KxException& e) {
        snprintf(errorText, 1024, "cannot read the mount table: %s", e.what());
        return -1;
    }
    mounts.clear();
    int number = 0;
    for (const KxMntTab::Entry& e : table) {
        ++number;  // every mount keeps its place in the table
        if ((flags & kMountNoPseudo) && IsPseudoFs(e.fsType))
            continue;
        MountEntry m{e.mountPoint, e.fsType, 0};
        struct statvfs sv;
        if ((flags & kMountSizes) && (!IsNetworkFs(e.fsType) || (flags & kMountNetworkSizes))) {
            if (statvfs(e.mountPoint.c_str(), &sv) == 0)
                m.size = static_cast<unsigned long long>(sv.f_blocks) * sv.f_frsize;
            else
                KXLOG(1, "no size for the mount %s: %s", e.mountPoint.c_str(), strerror(errno));
        }
        mounts.emplace(number, std::move(m));
    }
    return static_cast<int>(mounts.size());
}

void RuxenFile::FillItemMountInfo() {
    auto type = m_private->fsTypeByDevice.find(static_cast<uint64_t>(m_item.st.st_dev));
    if (type == m_private->fsTypeByDevice.end()) {
        KxMntTab::Entry mount;
        try {
            if (!KxMntTab::find(m_item.mappedName, mount))
                mount.fsType.clear();
        } catch (const KxException& e) {
            KXLOG(1, "no file-system type for %s: %s", printName(), e.what());
        }
        type = m_private->fsTypeByDevice.emplace(static_cast<uint64_t>(m_item.st.st_dev), mount.fsType).first;
    }
    m_item.fsType = type->second;
    if (m_item.mountPointIndex != 0 || m_item.type != fTypeDirectory || m_item.mappedName == "/")
        return;
    // Of mounts stacked on one directory, the last hides the others.
    for (const auto& m : m_settings.mountPoints)
        if (m.second.path == m_item.mappedName)
            m_item.mountPointIndex = m.first;
}

void RuxenFile::SelectContentMapper(bool snapshotJob, unsigned long appId) {
    // The registry's application type wins over one set before; an
    // application it does not know keeps the type it was given.
    const unsigned long known = ApplicationId(m_settings.appIdText).getAppType();
    if (known != 0)
        m_settings.appType = known;
    m_contentMapper = nullptr;
    if (appId != 0 && snapshotJob) {
        KXLOG(1, "Initializing ContentMapper for SnapFSBackup");
        if (IsDBSnapAppType(m_settings.appType) && !Subclient(appId).getUseBlockLevelBackup()) {
            KXLOG(1, "Initializing DBSnapContentMapper for Oracle/SAP SnapFSBackup");
            m_contentMapper = ContentManagerHelper<DBSnapContentMapper>::getMapper();
            setErrorsTolerated(false);
        } else {
            m_contentMapper = ContentManagerHelper<SnapFSContentMapper>::getMapper();
        }
    } else {
        KXLOG(2, "Initializing ContentMapper for ProxyBackup");
        std::string wildcard;
        if (KXPlatformInfo::getString(kMapSection, kKeyProxyHandleWildCardOneLevel, wildcard) && !wildcard.empty() &&
            (wildcard[0] == 'y' || wildcard[0] == 'Y')) {
            KXLOG(2, "Will instatntiate WildCardContentMapper");
            m_contentMapper = ContentManagerHelper<WildCardContentMapper>::getMapper();
        } else {
            KXLOG(2, "Will instatntiate ContentMapper");
            m_contentMapper = ContentManagerHelper<ContentMapper>::getMapper();
        }
    }
    if (m_contentMapper == nullptr)
        KXLOG(0, "Cant create new ContentMapper object");
}

bool RuxenFile::setupProxyHost(char* idString, int engineType, bool mount, const char* hostName,
                               const unsigned long& zonarkId, const unsigned long& appId) {
    m_settings.proxyHost = false;
    if (m_contentMapper == nullptr) {
        KXLOG(-1, "no content mapper to set up for %s", idString ? idString : "(null)");
        return false;
    }
    unsigned long type = 0;
    bool subclient = false;
    if (zonarkId != 0 && appId != 0) {
        char text[48];
        snprintf(text, sizeof text, "%lu:%lu", zonarkId, appId);
        type = ApplicationId(text).getAppType();
        subclient = Subclient(appId).exists();
    }
    bool ok = false;
    if (!subclient || (engineType == 0 && !SnapshotEngineFromApplication(type))) {
        ok = m_contentMapper->initialize(idString);
    } else {
        const unsigned long clientId = KXClient(KXPI_Focus::getFocusClientName(true)).getClientId();
        if (IsDBSnapAppType(type) && !Subclient(appId).getUseBlockLevelBackup()) {
            KXLOG(1, "Before Initialzing DBSnapContentMapper");
            auto* db = dynamic_cast<DBSnapContentMapper*>(m_contentMapper);
            std::string token = m_jobCtrl ? m_jobCtrl->GetJobToken() : std::string();
            if (token.empty())
                token = constructJobToken(m_settings.job.jobId, 0, 0, 0);
            const unsigned zonark = static_cast<unsigned>(zonarkId);
            if (db == nullptr) {
                KXLOG(-1, "application type %lu needs the database snapshot mapper", type);
            } else if ((ok = db->initialize(idString, static_cast<int>(clientId), engineType, mount, zonark,
                                            hostName ? hostName : "", appId, type, token))) {
                KXLOG(1, "Before populateOnDemandFileList ");
                std::list<std::string> files;
                std::map<unsigned long long, std::vector<NorfaSnapshotEntity>> entities;
                ok = db->populateOnDemandFileList(files, entities);
                if (ok)
                    KXLOG(1, "after populateOnDemandFileList ");
            }
        } else if (auto* snap = dynamic_cast<SnapFSContentMapper*>(m_contentMapper)) {
            ok = snap->initialize(idString, static_cast<int>(zonarkId), static_cast<int>(clientId), engineType, mount);
        } else {
            KXLOG(-1, "a snapshot job needs the snapshot mapper");
        }
    }
    m_settings.proxyHost = ok;
    TrustMappedPrefixes();
    return ok;
}

void RuxenFile::TrustMappedPrefixes() {
    auto trusted = std::make_shared<ruxen::TrustedPrefixes>();
    std::list<std::string> locals;
    if (m_settings.proxyHost || m_settings.replicationHost) {
        if (m_contentMapper && m_contentMapper->GetHostPathList(&locals) == 0) {
            for (const std::string& local : locals) {
                // A wildcard entry names the directories above its pattern.
                const size_t wild = local.find_first_of("*?[");
                trusted->Add(wild == std::string::npos ? local : local.substr(0, local.rfind('/', wild)));
            }
        }
    } else if (const auto* names = dynamic_cast<const FSTAVNameMapper*>(m_fNameMapper)) {
        // Items are read below the name map's targets (snapshot mounts, the
        // job's --name-map) while no content mapping is in force.
        for (const FSTAVNameMapper::Pair& p : names->pairs())
            trusted->Add(p.second);
    }
    GetReaderContext().SetTrustedPrefixes(trusted->Empty() ? nullptr : std::move(trusted));
}

void RuxenFile::setFNameMapper(TAVNameMapper* mapper) {
    m_fNameMapper = mapper;
    TrustMappedPrefixes();
}

int RuxenFile::PopulateMountDetails() {
    if (m_settings.hadoopBackup)
        m_settings.mountPoints[0] = MountEntry{"/", "hadoop", 0};
    if (!m_settings.mountPoints.empty())
        return 1;
    char error[1024] = "";
    const int flags = IsDBSnapAppType(m_settings.appType) ? kMountSizes | kMountNetworkSizes | kMountNoPseudo
                                                          : kMountSizes | kMountNoPseudo;
    int rc = GetMountDetailsFS(m_settings.mountPoints, error, flags);
    if (rc < 0)
        KXLOG(-1, "%s", error);
    return rc;
}

bool RuxenFile::InitFLRHost(char* jobId) {
    auto* flr = new FLRConsistencyPtMapper();
    m_contentMapper = flr;  // the previous mapper is a process-wide one, or the one replaced here
    m_flrMapper.reset(flr);
    m_settings.replicationHost = flr->initialize(jobId);
    TrustMappedPrefixes();
    return m_settings.replicationHost;
}

void RuxenFile::GetProxyList(std::list<std::string>& out) {
    std::list<std::string> hosts;
    if (m_contentMapper && m_contentMapper->GetHostPathList(&hosts) == 0) {
        for (const std::string& host : hosts) {
            std::string proxy;
            if (m_contentMapper->MakeProxyPathFromHostPath(host, proxy) != 0 || proxy.empty()) {
                KXLOG(1, "no recorded path for the folder %s: left out", host.c_str());
                continue;
            }
            KXLOG(2, "Generating dummy parent names for folder %s", host.c_str());
            KXLOG(2, "   [%s]", proxy.c_str());
            out.push_back(proxy);
            for (size_t slash; (slash = proxy.rfind('/')) != std::string::npos && slash >= 1;) {
                proxy.resize(slash);
                KXLOG(2, "   [%s]", proxy.c_str());
                out.push_back(proxy);
            }
        }
    }
    KXLOG(2, "   [/]");
    out.push_back("/");
}

int RuxenFile::GetRawDeviceProxyList(std::list<std::string>* out) {
    auto* snap = dynamic_cast<SnapFSContentMapper*>(m_contentMapper);
    return snap ? snap->GetRawProxyList(out) : -1;
}

bool RuxenFile::loadProxyMappingFromFile(const std::string& file) {
    auto* snap = dynamic_cast<SnapFSContentMapper*>(m_contentMapper);
    if (snap == nullptr) {
        KXLOG(-1, "%s: only a snapshot job reads a snapshot mapping file", file.c_str());
        return false;
    }
    return snap->loadMappingFromFile(file, m_settings.hwSnapPathTable);
}

bool RuxenFile::loadProxyMappingFromFile(const std::string& file, const std::string* text, std::string* why) {
    auto* snap = dynamic_cast<SnapFSContentMapper*>(m_contentMapper);
    if (snap == nullptr) {
        KXLOG(-1, "%s: only a snapshot job reads a snapshot mapping file", file.c_str());
        if (why)
            *why = "only a snapshot job reads the snapshot mapping file " + file;
        return false;
    }
    return snap->loadMappingFromText(file, text, m_settings.hwSnapPathTable, why);
}

std::string RuxenFile::convertCollectPathToLocalPath(const char* collectPath) {
    const std::string path = collectPath ? collectPath : "";
    auto it = PathUtil::LongestPrefixLookup(m_settings.hwSnapPathTable, path);
    if (it == m_settings.hwSnapPathTable.end())
        return path;
    KXLOG(4, "for collectPath '%s' it->first '%s':%ld", path.c_str(), it->first.c_str(),
          static_cast<long>(it->first.size()));
    const std::string rest = PathUtil::Remainder(it->first, path);
    return rest.empty() ? PathUtil::StripTrailingSlashes(it->second) : PathUtil::Join(it->second, rest);
}

void RuxenFile::ConvertToHosPath(std::string& path) {
    if (!getUseNativeSnap() || m_contentMapper == nullptr)
        return;
    std::string recorded;
    if (m_contentMapper->MakeProxyPathFromHostPath(std::string(path), recorded) == 0 && !recorded.empty())
        path.swap(recorded);
}

// A recorded path with a "." or ".." component could name a file outside
// a mapped tree once its prefix is replaced, or, read as written, a file the
// scan never listed (/home/u/x/../secret/f): the item fails instead.
bool RuxenFile::RefuseDotComponents(FILE* failures) {
    if (!PathUtil::HasDotComponent(m_item.recordedPath))
        return false;
    m_item.mappedName.clear();
    m_item.actualPath.clear();
    ReportItemFailure(failures, m_item.recordedPath.c_str(), EINVAL, kReasonDotComponent);
    return true;
}

void RuxenFile::MapItemName() {
    // Without a content mapping in force the name mapper (snapshot devices,
    // the job's name map) says where the item is read; the header still
    // names the recorded path.
    if (m_fNameMapper == nullptr || !m_fNameMapper->mapName(m_item.recordedPath.c_str(), m_item.mappedName, nullptr))
        return;
    m_item.actualPath = m_item.mappedName;
    m_item.nameMapped = true;
    m_item.shownName.assign(m_item.recordedPath).append(" -> ").append(m_item.mappedName);
    KXLOG(2, "mapped '%s' to '%s'", m_item.recordedPath.c_str(), m_item.mappedName.c_str());
}

bool RuxenFile::MapCollectPathToSnapshot(FILE* failures) {
    m_item.mappedName = convertCollectPathToLocalPath(m_item.recordedPath.c_str());
    // Read only from a snapshot of the job: a collect path that lies in none
    // (the file names no move of its snapshot) may still be a source path;
    // else it names the live file system, which a snapshot job never reads.
    std::string source;
    if (m_contentMapper->MakeProxyPathFromHostPath(m_item.mappedName, source) != 0 || source.empty()) {
        if (m_item.mappedName != m_item.recordedPath ||
            m_contentMapper->MakeHostPathFromProxyPath(m_item.recordedPath, m_item.mappedName) != 0 ||
            m_item.mappedName.empty()) {
            m_item.mappedName.clear();
            m_item.actualPath.clear();
            ReportItemFailure(failures, m_item.recordedPath.c_str(), EINVAL,
                              "the collect path lies in no snapshot of the job");
            return false;
        }
    }
    m_item.actualPath = m_item.mappedName;
    KXLOG(3, "%s is read from %s", m_item.recordedPath.c_str(), m_item.mappedName.c_str());
    return true;
}

bool RuxenFile::MapItemToLocalPath(FILE* failures) {
    if (!(m_settings.proxyHost || m_settings.replicationHost) || m_contentMapper == nullptr) {
        MapItemName();
        return true;
    }
    if (m_settings.snapshotToTape && m_settings.proxyHost)
        return MapCollectPathToSnapshot(failures);
    errno = 0;
    const int rc = m_contentMapper->MakeHostPathFromProxyPath(m_item.recordedPath, m_item.mappedName);
    const int e = errno;
    if (rc != 0 || m_item.mappedName.empty()) {
        const std::string why = "no local path for the recorded path" +
                                (m_contentMapper->LastError().empty() ? "" : ": " + m_contentMapper->LastError());
        m_item.mappedName.clear();
        m_item.actualPath.clear();
        ReportItemFailure(failures, m_item.recordedPath.c_str(), e == ENAMETOOLONG ? ENAMETOOLONG : EINVAL,
                          why.c_str());
        return false;
    }
    m_item.actualPath = m_item.mappedName;
    KXLOG(3, "%s is read from %s", m_item.recordedPath.c_str(), m_item.mappedName.c_str());
    return true;
}
