#include "mapping/SnapFSContentMapper.h"

#include <cerrno>

#include "mapping/MappingMessages.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/KxException.h"
#include "platform/base/NumberParse.h"
#include "platform/os/KxMntTab.h"
#include "platform/snapshot/ComparePath.h"
#include "platform/snapshot/TavSnapUtilBase.h"
#include "platform/text/PathUtil.h"

namespace {

using PathUtil::StripTrailingSlashes;

const char* trueFalse(bool b) { return b ? "True" : "False"; }

std::string parentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool same(const std::string& a, const std::string& b) { return ComparePath::Check(a, b) == ComparePath::kSame; }

}  // namespace

SnapFSContentMapper::SnapFSContentMapper() = default;

SnapFSContentMapper::~SnapFSContentMapper() {
    KXLOG(2, "mEnabled:%d mProxyToHostMap.size():%zu", mEnabled, mProxyToHostMap.size());
}

void SnapFSContentMapper::createSnapUtil() {
    mSnapUtil.reset(new TavSnapUtilBase(mEngineType, 1, KxLog::Query() > 0, nullptr, nullptr, 2));
    mSnapUtil->setZonarkId(mZonarkId);
    mSnapUtil->setClientId(mClientId);
}

bool SnapFSContentMapper::SameJob(const char* jobId) const { return jobId != nullptr && mJobIdStr == jobId; }

bool SnapFSContentMapper::initialize(const char* jobId, int zonarkId, int clientId) {
    if (mEngineType == -1) {
        KXLOG(-1, "engine type is not set");
        return false;
    }
    // The instance is shared by the process: another job's snapshots must
    // not stay in force under this job's id.
    const bool otherJob = mEnabled && !SameJob(jobId);
    if (mEnabled && !otherJob)
        return true;
    setZonarkId(zonarkId);
    setClientId(clientId);
    KXLOG(1, "Create new instance of TavSnapUtil");
    createSnapUtil();
    return settle(initConsistencyPtMapper(jobId, false, otherJob));
}

bool SnapFSContentMapper::initialize(const char* jobId, int zonarkId, int clientId, int engineType, bool mount) {
    if (engineType == -1) {
        KXLOG(-1, "engine type is not set");
        return settle(false);
    }
    mEngineType = engineType;
    const bool otherJob = mEnabled && !SameJob(jobId);
    if (mEnabled && !otherJob)
        return true;
    setZonarkId(zonarkId);
    setClientId(clientId);
    createSnapUtil();
    KXLOG(1, "Initializing ConsistencyPtMapper");
    bool ok = initConsistencyPtMapper(jobId, mount, otherJob);
    KXLOG(1, "initConsistencyPtMapper returned: %s", trueFalse(ok));
    return settle(ok);
}

bool SnapFSContentMapper::settle(bool loaded) {
    mEnabled = loaded;
    if (loaded)
        return true;
    // The instance is shared by the process: what an earlier job loaded
    // must not answer for this one, nor for a retry of it.
    mProxyToHostMap.clear();
    RebuildReverseMap();
    mRawDevList.clear();
    mSrcSnapDevMap.clear();
    mNFSBkpPaths.clear();
    mRootMapping.clear();
    mRootVolume = false;
    mSourceClientId = 0;
    mJobId = 0;
    mJobIdStr.clear();
    mSnapUtil.reset();
    return false;
}

std::string SnapFSContentMapper::volumeLocalPath(const SMVolumeInfo& v) {
    if (!v.isReplica())
        return v.sSnapMountPath;
    const std::string source = StripTrailingSlashes(v.sSrcMountPath);
    std::string rest;
    if (PathUtil::IsPrefixPath(source, v.sRepRelPath))
        rest = PathUtil::Remainder(source, v.sRepRelPath);
    else
        KXLOG(1, "replicated folder %s does not lie under the source %s: using the snapshot's root",
              v.sRepRelPath.c_str(), source.c_str());
    return StripTrailingSlashes(PathUtil::Join(StripTrailingSlashes(v.sSnapMountPath), rest));
}

bool SnapFSContentMapper::initConsistencyPtMapper(const char* jobId, bool mount, bool reload) {
    int64_t id = 0;
    if (jobId == nullptr || !NumberParse::Int64(jobId, id)) {
        KXLOG(-1, "Snapshot job id '%s' is not a number", jobId ? jobId : "(null)");
        return false;
    }
    const bool sameJob = SameJob(jobId);
    mJobId = id;
    mJobIdStr = jobId;
    KXLOG(1, "job id str:%s: num:%lld: mount:%d", jobId, mJobId, mount);
    if (!reload && sameJob && !mProxyToHostMap.empty())
        return true;
    if (!mSnapUtil) {
        KXLOG(-1, "snap manager object not set");
        return false;
    }
    CTyError err = mSnapUtil->LoadAndMountVolumestForJobID(mJobId, mount, 0);
    if (err.IsError()) {
        KXLOG(-1, "Failed to load and mount SNAP informatin for JID [%lld], ret [%s].", mJobId, err.Message().c_str());
        return false;
    }
    KXLOG(1, "LoadAndMountVolumestForJobID return success");
    if (mSnapUtil->mountPointMap().empty()) {
        KXLOG(-1, "No SnapShot info returned for snapshot JID [%lld].", mJobId);
        return false;
    }

    // Built aside and installed whole, so that a failure leaves the mapper
    // as it was and a reload leaves nothing of the previous load.
    std::map<std::string, std::string> map;
    std::list<RawDevInfo> raw;
    std::map<std::string, std::string> devMap;
    unsigned sourceClientId = mSourceClientId;
    bool rootVolume = false;
    for (const SMVolumeInfo& v : mSnapUtil->volSnapInfo().volumes) {
        KXLOG(2, "Processing sSrcMountPath: %s", v.sSrcMountPath.c_str());
        const std::string mountPath = StripTrailingSlashes(v.sSnapMountPath);
        const std::string source = StripTrailingSlashes(v.sSrcMountPath);
        if (sourceClientId == 0)
            sourceClientId = v.srcClientId;
        if (v.volFlags & SMVolumeInfo::kBlockLevel) {
            KXLOG(2, "BlockLevel backup volume flag is set");
            devMap[source] = v.sMountDevice;
        }
        if (v.isRaw()) {
            RawDevInfo d;
            d.source = source;
            d.mountParent = mountPath;
            d.mount = PathUtil::Join(mountPath, lastComponent(source));
            d.sourceParent = parentOf(source);
            d.archiveId = v.archiveFileId;
            KXLOG(2, "devInfo:src:%s:mnt:%s:srcparent:%s:mntparent:%s:archid:%ld", d.source.c_str(), d.mount.c_str(),
                  d.sourceParent.c_str(), d.mountParent.c_str(), d.archiveId);
            raw.push_back(std::move(d));
            continue;
        }
        KXLOG(2, "snapMgr:%d sSrcMountPath:%s sSnapMountPath:%s archiveID:%ld", mEngineType, v.sSrcMountPath.c_str(),
              v.sSnapMountPath.c_str(), v.archiveFileId);
        if (v.isReplica()) {
            const std::string local = volumeLocalPath(v);
            const std::string key = StripTrailingSlashes(v.sOrigSrcMountPath);
            KXLOG(2, "REP PATH:\nsourcePath:%s\nrepBase:%s\nrepRelPath:%s\norigSourcePath:%s\nmountPath:%s",
                  source.c_str(), StripTrailingSlashes(v.sRepBasePath).c_str(), v.sRepRelPath.c_str(), key.c_str(),
                  local.c_str());
            map[key] = local;
        } else {
            map[source] = mountPath;
            if (source == "/")
                rootVolume = true;
        }
    }

    std::map<std::string, std::string> rootMapping;
    if (rootVolume) {
        long addMounts = 0;
        KXPlatformInfo::getNumber(kMapSection, kKeyEnableRootVolumeMapperMounts, addMounts);
        rootMapping = map;
        if (addMounts != 0) {
            KXLOG(1, "nEnableRootVolumeMapperMounts: Local mount table IS added to the mapper");
            try {
                for (const KxMntTab::Entry& e : KxMntTab::getAll()) {
                    const std::string dir = StripTrailingSlashes(e.mountPoint);
                    rootMapping.emplace(dir, dir);  // a snapshot source keeps its snapshot
                }
            } catch (const KxException& e) {
                KXLOG(-1, "KxMntTab::getAll failed. %s", e.what());
                return false;
            }
        } else {
            KXLOG(1, "nEnableRootVolumeMapperMounts: Local mount table IS NOT added to the mapper");
        }
    }

    SetSourceToLocalMap(map);
    mRawDevList.swap(raw);
    mSrcSnapDevMap.swap(devMap);
    mRootMapping.swap(rootMapping);
    mRootVolume = rootVolume;
    mSourceClientId = sourceClientId;
    KXLOG(1, "Returning success");
    return true;
}

const RawDevInfo* SnapFSContentMapper::rawHit(const std::string& path, bool toHost, std::string& result) const {
    // `result` may be `path` itself: it is written only on the way out.
    for (const RawDevInfo& d : mRawDevList) {
        if (toHost) {
            KXLOG(4, "proxyPath:%s: sourcePath:%s: sourceParentPath:%s:", path.c_str(), d.source.c_str(),
                  d.sourceParent.c_str());
            if (same(path, d.source))
                result = d.mount;
            else if (same(path, d.sourceParent))
                result = d.mountParent;
            else
                continue;
        } else {
            KXLOG(4, "hostPath:%s: mountPath:%s: mountParentPath:%s:", path.c_str(), d.mount.c_str(),
                  d.mountParent.c_str());
            if (same(path, d.mount))
                result = d.source;
            else if (same(path, d.mountParent))
                result = d.sourceParent;
            else
                continue;
        }
        KXLOG(2, "raw volume %s maps to %s", d.source.c_str(), result.c_str());
        return &d;
    }
    return nullptr;
}

int SnapFSContentMapper::MakeHostPathFromProxyPath(const char* proxyPath, char* out, int size) {
    std::string result;
    if (proxyPath != nullptr && rawHit(proxyPath, true, result))
        return PathUtil::CopyToBuffer(result, out, size);
    return ContentMapper::MakeHostPathFromProxyPath(proxyPath, out, size);
}

int SnapFSContentMapper::MakeProxyPathFromHostPath(const char* hostPath, char* out, int size) {
    std::string result;
    if (hostPath != nullptr && rawHit(hostPath, false, result))
        return PathUtil::CopyToBuffer(result, out, size);
    return ContentMapper::MakeProxyPathFromHostPath(hostPath, out, size);
}

int SnapFSContentMapper::MakeHostPathFromProxyPath(const std::string& proxyPath, std::string& out) {
    return rawHit(proxyPath, true, out) ? 0 : ContentMapper::MakeHostPathFromProxyPath(proxyPath, out);
}

int SnapFSContentMapper::MakeProxyPathFromHostPath(const std::string& hostPath, std::string& out) {
    return rawHit(hostPath, false, out) ? 0 : ContentMapper::MakeProxyPathFromHostPath(hostPath, out);
}

int SnapFSContentMapper::GetHostAndProxyFromProxyPath(std::string path, std::string& host, std::string& proxy) {
    const std::map<std::string, std::string>& table = mRootVolume ? mRootMapping : mProxyToHostMap;
    auto it = PathUtil::LongestPrefixLookup(table, path);
    if (it == table.end()) {
        host.clear();
        proxy.clear();
        return -1;
    }
    proxy = it->first;
    host = it->second;
    return 0;
}

bool SnapFSContentMapper::isVolumePath(const char* localPath) {
    if (!mSnapUtil || localPath == nullptr)
        return false;
    const std::string path(localPath);
    for (const RawDevInfo& d : mRawDevList)
        if (same(path, d.mount) || same(path, d.mountParent))
            return true;
    for (auto it = mProxyToHostMap.rbegin(); it != mProxyToHostMap.rend(); ++it) {
        if (same(path, it->second.empty() ? "/" : it->second)) {
            KXLOG(2, "for mpath:%s(%s): == volumePath:%s", localPath, it->first.c_str(), it->second.c_str());
            return true;
        }
    }
    KXLOG(2, "mpath:%s(%s): is not volumePath", localPath, mJobIdStr.c_str());
    return false;
}

int SnapFSContentMapper::getArchiveIDByPath(const char* localPath) {
    if (!mSnapUtil || localPath == nullptr)
        return -1;
    const std::string path(localPath);
    for (const RawDevInfo& d : mRawDevList)
        if (same(path, d.mount) || same(path, d.mountParent))
            return static_cast<int>(d.archiveId);
    for (const SMVolumeInfo& v : mSnapUtil->volSnapInfo().volumes) {
        const std::string local = volumeLocalPath(v);
        KXLOG(4, "snapMgr:%d mpath:%s sSnapMountPath:%s(%s)", mEngineType, localPath, v.sSnapMountPath.c_str(),
              local.c_str());
        if (same(local, path)) {
            KXLOG(2, "for mpath:%s(%s): archive file is %ld", localPath, local.c_str(), v.archiveFileId);
            return static_cast<int>(v.archiveFileId);
        }
    }
    KXLOG(2, "for mpath:%s(%s): archive file is -1", localPath, mJobIdStr.c_str());
    return -1;
}

std::string SnapFSContentMapper::getSourcePathByLocalPath(const char* localPath) {
    if (!mSnapUtil || localPath == nullptr)
        return std::string();
    const std::string path(localPath);
    for (const RawDevInfo& d : mRawDevList)
        if (same(path, d.mount) || same(path, d.mountParent))
            return d.source;
    // Snapshots may be mounted inside one another: the volume whose local
    // path is the longest that holds the path is the one it lies on.
    const SMVolumeInfo* best = nullptr;
    size_t bestLen = 0;
    for (const SMVolumeInfo& v : mSnapUtil->volSnapInfo().volumes) {
        const std::string local = volumeLocalPath(v);
        int rc = ComparePath::Check(local, path);
        if (rc != ComparePath::kSame && rc != ComparePath::kSecondInside)
            continue;
        size_t len = PathUtil::TrimmedLength(local);
        if (best == nullptr || len > bestLen) {
            best = &v;
            bestLen = len;
        }
    }
    if (best == nullptr) {
        KXLOG(1, "can't find volume for mpath:%s", localPath);
        return std::string();
    }
    KXLOG(2, "for mpath:%s(%s): source is %s", localPath, best->sSnapMountPath.c_str(), best->sSrcMountPath.c_str());
    return best->sSrcMountPath;
}

std::string SnapFSContentMapper::getSourcePathByArchiveID(int archiveId) {
    if (!mSnapUtil) {
        KXLOG(1, "snap manager object not set");
        return std::string();
    }
    for (const RawDevInfo& d : mRawDevList) {
        if (d.archiveId == archiveId) {
            KXLOG(4, "archiveID:%d spourcePath:%s: proxyPath:%s:", archiveId, d.source.c_str(), d.mount.c_str());
            return d.source;
        }
    }
    for (const SMVolumeInfo& v : mSnapUtil->volSnapInfo().volumes) {
        if (v.archiveFileId == archiveId) {
            KXLOG(4, "archiveID:%d spourcePath:%s: proxyPath:%s:", archiveId, v.sSrcMountPath.c_str(),
                  v.sSnapMountPath.c_str());
            return v.sSrcMountPath;
        }
    }
    KXLOG(-1, "no information found for archiveID:%d", archiveId);
    return std::string();
}

int SnapFSContentMapper::GetRawProxyList(std::list<std::string>* out) {
    if (out == nullptr)
        return 1;
    for (const RawDevInfo& d : mRawDevList) {
        KXLOG(2, "Added [%s] to raw device list", d.mount.c_str());
        out->push_back(d.mount);
    }
    return 1;
}

void SnapFSContentMapper::UpdateHostPathForProxyPath(const std::string& proxyPath, const std::string& hostPath) {
    if (!mSnapUtil || mSnapUtil->numOfSnap() < 1)
        return;
    for (SMVolumeInfo& v : mSnapUtil->volSnapInfo().volumes) {
        if (v.sSrcMountPath == proxyPath) {
            KXLOG(1, "For proxy path:%s change the host path to:%s", proxyPath.c_str(), hostPath.c_str());
            v.sSnapMountPath = hostPath;
        }
    }
}

void SnapFSContentMapper::UnmountSnapshots() {
    KXLOG(1, "mEnabled:%d mProxyToHostMap.size():%zu", mEnabled, mProxyToHostMap.size());
    if (mEnabled && !mProxyToHostMap.empty() && mSnapUtil)
        mSnapUtil->UnmountSnapshots();
}
