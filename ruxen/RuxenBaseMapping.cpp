// The job's mapping: the name-mapping records from parent to child, and the
// content-mapper set-up of each stream.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <vector>

#include "mapping/ContentMapper.h"
#include "mapping/MappingMessages.h"
#include "mapping/SnapFSContentMapper.h"
#include "mapping/TAVNameMapper.h"
#include "mapping/WildCardContentMapper.h"
#include "platform/agent/ApplicationRegistry.h"
#include "platform/agent/KxLog.h"
#include "platform/base/FdIO.h"
#include "platform/text/PairMapFile.h"
#include "platform/text/PathUtil.h"
#include "ruxen/RuxenBase.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenMessages.h"
#include "ruxen/SnapMapRecord.h"

int RuxenBase::sendMappingInfo(ChildInfo_t& child) {
    // Every path is checked before the count goes out, so that the count
    // always equals the records that follow.
    std::vector<std::pair<const std::string*, const std::string*>> pairs;
    if (m_nameMappingJob)
        for (const kx_contenttosnapmnt& c : m_snapContent)
            for (const kx_snapdevmntpath& d : c.vSnapdevmntpath)
                pairs.emplace_back(&d.sOrigMntpath, &d.sSnapMntpath);
    for (const auto& p : m_nameMap)
        pairs.emplace_back(&p.first, &p.second);
    std::vector<SnapMapRecord_t> records(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
        for (const std::string* p : {pairs[i].first, pairs[i].second}) {
            char* field = p == pairs[i].first ? records[i].oldPath : records[i].newPath;
            if (PathUtil::CopyToBuffer(*p, field, sizeof records[i].oldPath) != 0) {
                KXLOG(-1,
                      "snapMap: the path %s (%zu characters) does not fit a mapping record; "
                      "nothing is sent to stream %d",
                      p->c_str(), p->size(), child.streamNumber);
                return -1;
            }
        }
    }
    if (records.size() > static_cast<size_t>(kMaxSnapMapRecords)) {
        KXLOG(-1, "snapMap: %zu records, at most %d can be sent", records.size(), kMaxSnapMapRecords);
        errno = E2BIG;
        return -1;
    }
    const int32_t count = static_cast<int32_t>(records.size());
    KXLOG(0, kLogSnapMapCount, count);
    if (ruxen::writeAll(child.cmdFd.get(), &count, sizeof count) != 0 ||
        ruxen::writeAll(child.cmdFd.get(), records.data(), records.size() * sizeof(SnapMapRecord_t)) != 0) {
        KXLOG(-1, "snapMap: cannot send the records to stream %d: %s", child.streamNumber, strerror(errno));
        return -1;
    }
    return 0;
}

int RuxenBase::receiveMappingInfo(TAVNameMapper* mapper) {
    int32_t count = 0;
    if (ruxen::readAll(m_cmdFd, &count, sizeof count) != 0) {
        KXLOG(-1, "snapMap: cannot read the record count: %s", strerror(errno));
        return -1;
    }
    if (count < 0 || count > kMaxSnapMapRecords) {
        KXLOG(-1, "snapMap: a count of %d records is out of step with the parent", count);
        errno = EPROTO;
        return -1;
    }
    SnapMapRecord_t r;
    for (int32_t i = 0; i < count; ++i) {
        if (ruxen::readAll(m_cmdFd, &r, sizeof r) != 0) {
            KXLOG(-1, "snapMap: cannot read record %d of %d: %s", i + 1, count, strerror(errno));
            return -1;
        }
        const bool whole = memchr(r.oldPath, '\0', sizeof r.oldPath) && memchr(r.newPath, '\0', sizeof r.newPath);
        r.oldPath[sizeof r.oldPath - 1] = '\0';
        r.newPath[sizeof r.newPath - 1] = '\0';
        if (!whole) {
            // A path cut at its field would map a different tree.
            KXLOG(-1, "snapMap: record %d holds a path without its end (%s -> %s)", i + 1, r.oldPath, r.newPath);
            errno = EPROTO;
            return -1;
        }
        KXLOG(0, kLogSnapMapRecord, r.oldPath, r.newPath);
        if (mapper) {
            mapper->add(r.oldPath, r.newPath);
            m_namesMapped = true;
        }
    }
    return 0;
}

bool RuxenBase::loadNameMap(std::string* error) {
    m_nameMap.clear();
    return m_args.nameMapPath.empty() || PairMapFile::Read(m_args.nameMapPath, m_nameMap, *error);
}

bool RuxenBase::loadProxyMap(const std::string& path, std::string* error) {
    if (m_proxyMapLoaded && m_proxyMapPath == path)
        return true;
    m_proxyMap.clear();
    if (!path.empty() && !PairMapFile::Read(path, m_proxyMap, *error))
        return false;
    m_proxyMapPath = path;
    m_proxyMapLoaded = true;
    return true;
}

bool RuxenBase::readSnapMapping(std::string* error) {
    if (m_snapMapping.read)
        return true;
    const std::string path = SnapMappingFile(m_args, m_collects);
    if (!SnapFSContentMapper::ReadMappingFile(path, m_snapMapping.text, m_snapMapping.exists, *error))
        return false;
    m_snapMapping.read = true;
    return true;
}

namespace {

// The directory of a collect file ("." for a bare name).
std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// What the snapshot mapper knows of the job's volumes, for the log.
void LogSnapshotVolumes(ContentMapper* mapper) {
    auto* snap = dynamic_cast<SnapFSContentMapper*>(mapper);
    if (snap == nullptr || !KxLog::Enabled(1))
        return;
    std::list<std::string> paths;
    snap->GetProxyPathList(&paths);
    if (paths.empty())
        snap->GetRawProxyList(&paths);
    for (const std::string& p : paths) {
        std::string local;
        snap->MakeHostPathFromProxyPath(p, local);
        const int archive = snap->getArchiveIDByPath(local.c_str());
        KXLOG(1, "snapshot volume %s at %s: archive %d, source %s", p.c_str(), local.c_str(), archive,
              archive < 0 ? "-" : snap->getSourcePathByArchiveID(archive).c_str());
    }
}

}  // namespace

std::string RuxenBase::CollectDirectory(const BackupArgs& args, const std::vector<std::string>& collects) {
    return !args.jobDir.empty() ? args.jobDir : DirectoryOf(collects.empty() ? "" : collects.front());
}

std::string RuxenBase::SnapMappingFile(const BackupArgs& args, const std::vector<std::string>& collects) {
    return CollectDirectory(args, collects) + "/" + kHwSnapInfoFile;
}

std::string RuxenBase::NativeSnapMappingFile(const BackupArgs& args, const std::vector<std::string>& collects) {
    return CollectDirectory(args, collects) + "/" + kNativeSnapInfoFile;
}

bool RuxenBase::setUpMapping(RuxenFile& file, const BackupArgs& args, StreamRun& run) {
    const bool snapshotJob = !args.snapJobId.empty();
    // Read once by the job, before its outputs: a child has its parent's.
    std::string error;
    if (!loadProxyMap(args.proxyMapPath, &error)) {
        run.problems.push_back(error);
        return false;
    }
    const PairMapFile::Pairs& pairs = m_proxyMap;
    // The application as the job describes it, unless the registry knows it
    // already; a proxy job's pairs are its subclient's content entries.
    if (args.zonarkId != 0 && args.appId != 0 && ApplicationRegistry::find(args.zonarkId, args.appId) == nullptr) {
        AppRecord app;
        app.appType = args.appType;
        for (const auto& p : pairs)
            app.contentEntries.push_back(p.first + "\t" + p.second);
        ApplicationRegistry::registerApplication(args.zonarkId, args.appId, app);
    }
    file.SetAppTypeID(args.appType);
    file.setErrorsTolerated(errorsTolerated());
    const unsigned long zonarkId = args.zonarkId, appId = args.appId, none = 0;
    file.initialize(0, snapshotJob, zonarkId, appId);
    ContentMapper* mapper = file.GetContentMapper();
    if (!pairs.empty() && !snapshotJob && mapper && dynamic_cast<WildCardContentMapper*>(mapper) == nullptr) {
        std::list<std::string> lines;
        for (const auto& p : pairs)
            lines.push_back(p.first + "\t" + p.second);
        if (mapper->SetProxyToHostMap(&lines) != 0) {
            run.problems.push_back("the proxy map " + args.proxyMapPath + " gives one recorded path twice");
            return false;
        }
    }

    if (args.mountDetails && file.PopulateMountDetails() < 1)
        KXLOG(0, "Mounts map not generated. bNeedMountPoints is set to false");
    if (!snapshotJob) {
        char id[48];
        snprintf(id, sizeof id, "%u:%u", args.zonarkId, args.appId);
        if (!file.setupProxyHost(id, 0, false, "", none, none)) {
            KXLOG(0, "Proxy Host Not enabled");
            // Reading the recorded paths here would back up other data than
            // the map names.
            if (!pairs.empty()) {
                run.problems.push_back("the proxy map " + args.proxyMapPath + " could not be put in effect");
                return false;
            }
        }
        if (args.nativeSnap) {
            file.setUseNativeSnap(true);
            const std::string native = NativeSnapMappingFile(args, m_collects);
            KXLOG(1, "Setting the snap map info from %s file", native.c_str());
            file.loadNativeSnapProxyMappingFromFile(native);
        }
    } else {
        KXLOG(1, "Initializing Snap Proxy (%s,%lu)", args.snapJobId.c_str(),
              static_cast<unsigned long>(args.snapEngine));
        std::string id = args.snapJobId;
        if (!file.setupProxyHost(&id[0], args.snapEngine, false, "", zonarkId, appId)) {
            KXLOG(-1, "Failed to initialize the Snap Proxy information.");
            run.problems.push_back("the snapshots of job " + args.snapJobId + " could not be found or mounted");
            return false;
        }
        LogSnapshotVolumes(file.GetContentMapper());
        if (args.snapToTape) {
            // Where the scan found the snapshots (the collect files name
            // those paths), against where they are mounted now.
            const std::string mapping = SnapMappingFile(args, m_collects);
            if (!readSnapMapping(&error) ||
                !file.loadProxyMappingFromFile(mapping, m_snapMapping.exists ? &m_snapMapping.text : nullptr, &error)) {
                run.problems.push_back(error);
                return false;
            }
            file.SetSnapshotToTape(true);
        }
    }
    if (!args.replicationJobId.empty()) {
        std::string id = args.replicationJobId;
        if (!file.InitFLRHost(&id[0])) {
            KXLOG(-1, "Failed to initialize the FLR information while moving the consistency points to the tape.");
            run.problems.push_back("the consistency points of replication job " + args.replicationJobId +
                                   " could not be mapped");
            return false;
        }
        std::list<std::string> parents;
        file.GetProxyList(parents);
        KXLOG(1, "%zu folders lead to the replicated contents", parents.size());
    }
    return true;
}
