#include "norfa/FLRConsistencyPtMapper.h"

#include <map>
#include <memory>
#include <vector>

#include "norfa/FlrSnapMgr.h"
#include "norfa/FlrSnapOS.h"
#include "platform/agent/KxLog.h"
#include "platform/base/KxException.h"
#include "platform/base/NumberParse.h"
#include "platform/base/TestControl.h"
#include "platform/snapshot/ReplicaDBClient.h"
#include "platform/text/PathUtil.h"
#include "zxhsm/ZXHSMCommon/ZXHSMMntTab.h"

namespace {

long g_refTime = 0;

constexpr int kReplicaDBMode = 4;

}  // namespace

long getNorfaRefTime() { return g_refTime; }

void ruxen::testcontrol::ResetNorfaRefTime() { g_refTime = 0; }

namespace {
const ruxen::testcontrol::Registration kTestReset("consistency-point reference time",
                                                  &ruxen::testcontrol::ResetNorfaRefTime);
}  // namespace

FLRConsistencyPtMapper::FLRConsistencyPtMapper() = default;

FLRConsistencyPtMapper::~FLRConsistencyPtMapper() = default;

bool FLRConsistencyPtMapper::initialize(const char* jobId) {
    if (mEnabled)
        return true;
    mEnabled = initConsistencyPtMapper(jobId);
    return mEnabled;
}

std::string FLRConsistencyPtMapper::getMountPoint(const ZXHSMMntTab& table, const char* path) {
    const ZXHSMMntTab::Entry* e = nullptr;
    try {
        e = &table.find(path);
    } catch (const KxException&) {
        throw KxException("FLRConsistencyPtMapper::getMountPoint",
                          std::string("Unable to find mount point of FS that ") + (path ? path : "") + " belongs to.",
                          "FLRConsistencyPtMapper", __LINE__, -1);
    }
    std::string dir = PathUtil::StripTrailingSlashes(e->dir);
    KXLOG(2, "%s belongs to FS with mount point: %s", path, dir.c_str());
    return dir;
}

bool FLRConsistencyPtMapper::initConsistencyPtMapper(const char* jobId) {
    int64_t id = 0;
    if (jobId == nullptr || !NumberParse::Int64(jobId, id) || id < 0) {
        KXLOG(-1, "Replication job id '%s' is not a job id", jobId ? jobId : "(null)");
        return false;
    }
    ReplicaDBClient client(kReplicaDBMode);
    QueryFLRCPByJobIdV1Args_t args;
    args.jobId = id;
    QueryFLRCPByJobIdRet_t cp;
    if (!client.QueryFLRCPByJobId(args, cp)) {
        KXLOG(-1, "Query CPs by job id failed.");
        return false;
    }
    // One mount table for the whole set-up, so every record is mapped
    // against the same mounts.
    std::unique_ptr<ZXHSMMntTab> table;
    try {
        table.reset(new ZXHSMMntTab);
    } catch (const KxException& e) {
        KXLOG(-1, "Cannot read the mount table: %s", e.what());
        return false;
    }
    const std::vector<ZXHSMMntTab::Entry> mounts = table->getAll();
    std::vector<FlrSnapOS::RDEV> mountDevices(mounts.size());
    std::vector<bool> known(mounts.size(), false);

    std::map<std::string, std::string> map = mProxyToHostMap;
    long refTime = 0;
    for (const FLRPairPathRecord_t& pair : cp.pairPaths) {
        const std::string hostContent = PathUtil::StripTrailingSlashes(pair.hostContent);
        const std::string destination = PathUtil::StripTrailingSlashes(pair.destination);
        if (hostContent.empty() || destination.empty()) {
            KXLOG(-1, "Empty path in the CP information of pair %u (host content '%s', destination '%s').", pair.pairId,
                  hostContent.c_str(), destination.c_str());
            return false;
        }
        std::string mountPoint;
        try {
            mountPoint = getMountPoint(*table, destination.c_str());
        } catch (const KxException& e) {
            KXLOG(-1, "%s", e.what());
            return false;
        }
        const std::string relative = PathUtil::Remainder(mountPoint, destination);

        const FLRSnapPairRecord_t* snapPair = nullptr;
        for (const FLRSnapPairRecord_t& sp : cp.snapPairs) {
            if (sp.pairId == pair.pairId) {
                snapPair = &sp;
                break;
            }
        }
        if (snapPair == nullptr) {
            KXLOG(-1, "Did not find the snapid for the pairid. Error in the CP information.");
            return false;
        }
        const FLRSnapshotRecord_t* snap = nullptr;
        for (const FLRSnapshotRecord_t& s : cp.snapshots)
            if (s.snapId == snapPair->snapId)
                snap = &s;
        if (snap != nullptr)
            KXLOG(2, "SnapPath for the SnapID is snapGuid %s sdestVol %s", snap->snapDevice.c_str(),
                  snap->destVolume.c_str());
        if (snap == nullptr || snap->snapDevice.empty() || snap->destVolume.empty()) {
            KXLOG(-1, "Did not find the snapPath for the snapId. Error in the CP information.");
            return false;
        }

        const FlrSnapOS::RDEV device(snap->snapDevice);
        const ZXHSMMntTab::Entry* mounted = nullptr;
        for (size_t i = 0; i < mounts.size() && mounted == nullptr; ++i) {
            if (!known[i]) {
                mountDevices[i].init(mounts[i].special);
                known[i] = true;
            }
            if (mountDevices[i] == device)
                mounted = &mounts[i];
        }
        if (mounted == nullptr) {
            KXLOG(-1, "Could not find mount point for %s", snap->snapDevice.c_str());
            return false;
        }
        KXLOG(2, "Device %s is mounted under %s", snap->snapDevice.c_str(), mounted->dir.c_str());

        long time = 0;
        if (!FlrSnapMgr::parseShortSnapName(device.getSnapShortName().c_str(), nullptr, &time, nullptr)) {
            KXLOG(-1, "Failed to parse short snapshot name %s (device %s)", device.getSnapShortName().c_str(),
                  snap->snapDevice.c_str());
            return false;
        }
        if (refTime == 0 || time < refTime)
            refTime = time;

        const std::string mapped = PathUtil::Join(PathUtil::StripTrailingSlashes(mounted->dir), relative);
        KXLOG(2, "mnt_dir %s reftime %ld ", mapped.c_str(), refTime);
        KXLOG(2, "hostContent %s", hostContent.c_str());
        map[hostContent] = mapped;
    }
    SetSourceToLocalMap(map);
    g_refTime = refTime;
    return true;
}
