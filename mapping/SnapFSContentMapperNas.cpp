// NAS snapshot-difference references of SnapFSContentMapper: for each backup
// path, the reference snapshots of earlier backups (from the subclient's
// stored reference times or the index) and the array metadata of the
// current snapshot (from the snapshot utilities).
#include <memory>
#include <new>

#include "mapping/IdxBrowseCallback.h"
#include "mapping/SnapFSContentMapper.h"
#include "platform/agent/ApplicationRegistry.h"
#include "platform/agent/KxLog.h"
#include "platform/index/FetchIndexInfo.h"
#include "platform/index/IdxBrowseClient.h"
#include "platform/index/NASReferenceTimes.h"
#include "platform/snapshot/TavSnapUtilBase.h"
#include "platform/text/PathUtil.h"

namespace {

constexpr unsigned kIndexInitFlags = 0x2009C1;
constexpr int kIndexCacheType = 2;
// The metadata record of a snapshot that carries its array metadata.
constexpr int kMetaRefTypeSnapshot = 2;
constexpr int kMetaTypeNas = 6;

}  // namespace

bool SnapFSContentMapper::ConvertHostToSourcePaths(const std::vector<std::string>& hostPaths,
                                                   std::vector<std::string>& sourcePaths) {
    sourcePaths.clear();
    for (const std::string& p : hostPaths) {
        if (!p.empty() && p[0] == '+') {
            KXLOG(1,
                  "The target path '%s' is a wild-card added and it is filtered out by user or another sub-client "
                  "content.",
                  p.c_str() + 1);
            continue;
        }
        const std::string host = (!p.empty() && p[0] == '>') ? p.substr(1) : p;
        std::string source;
        if (MakeProxyPathFromHostPath(host, source) != 0 || source.empty()) {
            KXLOG(-1, "Cannot map the host path '%s' to a recorded path", host.c_str());
            return false;
        }
        sourcePaths.push_back(std::move(source));
    }
    return true;
}

bool SnapFSContentMapper::CheckIfFirstSubClientBkp(int /*zonarkId*/, int subclientId, bool& first,
                                                   unsigned long long& previousJobId, bool) {
    unsigned long long prev = 0;
    if (subclientId < 0 || !Subclient(static_cast<unsigned long>(subclientId)).getPreviousJobId(prev))
        return false;
    previousJobId = prev;
    first = prev == 0;
    return true;
}

int SnapFSContentMapper::CollectSnapInfoForNFSBackupPaths(std::vector<std::string>& hostPaths, int subclientId,
                                                          int backupType, bool fullWithoutReferences,
                                                          bool useReferenceTimes) {
    if (!mSnapUtil || mSnapUtil->numOfSnap() < 1) {
        KXLOG(1, "Volume snap info is not retrived, Skip fetching snapshot name from index metadata.");
        return 0;
    }
    if (!mNFSBkpPaths.empty()) {
        KXLOG(1, "Reference snapshot names are already fetched.");
        return 0;
    }
    std::vector<std::string> scanPaths;
    if (!ConvertHostToSourcePaths(hostPaths, scanPaths) || scanPaths.empty() || scanPaths.size() != hostPaths.size()) {
        KXLOG(-1, "Couldn't convert all host paths into scan paths");
        return -1;
    }
    const bool noReferences = backupType == kBackupFull && fullWithoutReferences;

    std::unique_ptr<FetchIndexInfo> index;
    NAS::Backup_ReferenceTimesList refTimes;
    if (!useReferenceTimes) {
        index.reset(new (std::nothrow) FetchIndexInfo);
        if (!index) {
            KXLOG(-1, "Failed to allocate memory");
            return -2;
        }
        index->setInitFlags(kIndexInitFlags);
        index->setCacheType(kIndexCacheType);
        if (!noReferences) {
            int rc = index->initBCDIndexBySubclient(mZonarkId, subclientId, 0, 0);
            if (rc != 0) {
                KXLOG(-1, "Error[%d] in FetchIndexInfo initialization by BCD subclient", rc);
                return -1;
            }
        }
    } else {
        bool query = true;
        std::string stored;
        if (!Subclient(static_cast<unsigned long>(subclientId)).copyBkpRefTime(stored))
            KXLOG(1, "Couldn't copy reference time to temp property");
        if (stored.empty()) {
            KXLOG(1, "Try using index metadata query to fetch the snapshot metadata");
        } else if (!refTimes.fromText(stored)) {
            KXLOG(1, "Couldn't unserialize reference time string, try using index metadata query");
        } else {
            bool first = false;
            unsigned long long prev = 0;
            bool known = CheckIfFirstSubClientBkp(mZonarkId, subclientId, first, prev, false);
            if (known && !refTimes.elements.empty() && static_cast<unsigned long long>(refTimes.prevJobId) == prev) {
                query = false;
            } else {
                // The stored times stay with the subclient: that they cannot
                // be confirmed now does not make them wrong.
                KXLOG(1,
                      "Previous job-id from reference time doesn't match the actual previous job, try using index "
                      "metadata query");
                refTimes = NAS::Backup_ReferenceTimesList();
            }
        }
        if (query && !fullWithoutReferences) {
            if (!QueryIndexV2(subclientId, mZonarkId, scanPaths, refTimes)) {
                KXLOG(-1, "Failed to get index metadata");
                return -2;
            }
            KXLOG(1, "Total paths with metadata are:[%zu]", refTimes.elements.size());
        }
    }

    const SMVolSnapInfo& info = mSnapUtil->volSnapInfo();
    std::vector<std::string> added;  // removed again when the call fails
    auto fail = [this, &added](int rc) {
        for (const std::string& k : added)
            mNFSBkpPaths.erase(k);
        return rc;
    };
    for (size_t i = 0; i < scanPaths.size(); ++i) {
        const std::string& scan = scanPaths[i];
        const std::string& given = hostPaths[i];
        const std::string host = !given.empty() && given[0] == '>' ? given.substr(1) : given;
        sNFSBkpPathInfo rec;
        std::string sourceBase;
        GetHostAndProxyFromProxyPath(scan, rec.hostBase, sourceBase);
        KXLOG(2, "Backup path[%s], Host base[%s], Source Base[%s]", scan.c_str(), rec.hostBase.c_str(),
              sourceBase.c_str());
        if (!noReferences && index) {
            FInfoRespItem item;
            if (!index->lookupPath(scan, item)) {
                KXLOG(1,
                      "Couldn't find reference snapshot for path [%s]. This could happen for FULL backup or a newly "
                      "added backup path",
                      scan.c_str());
            } else {
                KXLOG(2, "FetchIndexInfo returned: Afile:[%lu], Agroup:[%lu], Mtime:[%lu], Offset:[%llu], Path:[%s]",
                      static_cast<unsigned long>(item.archiveFileId), static_cast<unsigned long>(item.archiveGroup),
                      static_cast<unsigned long>(item.mtime), static_cast<unsigned long long>(item.offset),
                      item.path.c_str());
                rec.prevFullSnap = item.metaValue(IndexMetaDataKind::NFSSNAPDATA_FULL_SNAP);
                rec.prevSnapToCompare = item.metaValue(IndexMetaDataKind::NFSSNAPDATA_INCR_SNAP);
                rec.prevVolumePath = item.metaValue(IndexMetaDataKind::NFSSNAPDATA_VOLUME_PATH);
            }
        } else if (!noReferences) {
            for (const NAS::Backup_ReferenceTimes& e : refTimes.elements) {
                if (e.backupPath == scan) {
                    rec.prevFullSnap = e.prevFullSnap;
                    rec.prevSnapToCompare = e.prevIncrSnap;
                    rec.prevVolumePath = e.prevVolumePath;
                    break;
                }
            }
        }
        if (backupType == kBackupDifferential) {
            KXLOG(2, "This is a differential backup, use full snap name [%s]", rec.prevFullSnap.c_str());
            rec.prevSnapToCompare = rec.prevFullSnap;
        }
        rec.backupPath = scan;
        rec.hostPath = host;

        // The volume the host path lies on: the longest mount path that holds it.
        auto vol =
            PathUtil::LongestPrefixScan(info.volumes.begin(), info.volumes.end(), host,
                                        [](const SMVolumeInfo& v) -> const std::string& { return v.sSnapMountPath; });
        std::string meta;
        if (vol != info.volumes.end()) {
            auto snap = info.volumeToSnapId.find(vol->volumeId);
            if (snap == info.volumeToSnapId.end()) {
                KXLOG(-1, "Failed to determine snap id associated with volume id [%d].", vol->volumeId);
                return fail(-1);
            }
            for (const SMMetaData& m : info.metaData) {
                KXLOG(4, "Meta Data ID [%d].", m.id);
                KXLOG(4, "Meta Data string [%s].", m.text.c_str());
                if (m.refType == kMetaRefTypeSnapshot && m.metaType == kMetaTypeNas && m.refId == snap->second) {
                    meta = m.text;
                    KXLOG(2, "Matched metadata RefId:[%d] metadata Type:[%d] MetaData:[%s].", m.refId, m.metaType,
                          m.text.c_str());
                    break;
                }
            }
        }
        if (!meta.empty()) {
            SplitMetaData(meta, rec.fileServer, rec.fileSystem, rec.currentSnapshot, rec.volumePath, info.snapEngineId);
            rec.volumePath = PathUtil::Join(rec.volumePath, PathUtil::Remainder(sourceBase, scan));
            KXLOG(2, "Volume backup path [%s]", rec.volumePath.c_str());
        }
        if (!rec.prevVolumePath.empty() && rec.prevVolumePath != rec.volumePath) {
            KXLOG(1, "For backup path[%s], volume path is different in prev backup[%s] and current backup[%s]",
                  scan.c_str(), rec.prevVolumePath.c_str(), rec.volumePath.c_str());
            rec.prevFullSnap.clear();
            rec.prevSnapToCompare.clear();
        }
        rec.snapEngineId = info.snapEngineId;
        KXLOG(1,
              "Adding Backup path details: [%s]. PrevFullSnap[%s], PrevIncrSnap[%s], FileServer[%s], CurrSnap[%s], "
              "VolumePath[%s]",
              scan.c_str(), rec.prevFullSnap.c_str(), rec.prevSnapToCompare.c_str(), rec.fileServer.c_str(),
              rec.currentSnapshot.c_str(), rec.volumePath.c_str());
        if (mNFSBkpPaths.emplace(scan, std::move(rec)).second)
            added.push_back(scan);
    }
    if (index)
        index->end();
    return 0;
}

bool SnapFSContentMapper::QueryIndexV2(int subclientId, int zonarkId, std::vector<std::string>& paths,
                                       NAS::Backup_ReferenceTimesList& list) {
    databrowse::BrowseRequest request;
    request.subclientId = subclientId;
    request.zonarkId = zonarkId;
    request.path = "/**/*";
    request.wantNasMetadata = true;
    KXLOG(2, "Browse request: %s", request.toText().c_str());
    IdxBrowseCallback callback;
    IdxBrowseClient client;
    if (!client.init(request, &callback, 2000, nullptr, nullptr)) {
        KXLOG(-1, "Initialization of index browse request failed");
        return false;
    }
    static const char* const kStatusText[] = {"Incomplete", "Error", "Warning"};
    for (const std::string& p : paths) {
        KXLOG(2, "Browse path [%s]", p.c_str());
        std::vector<databrowse::BrowseResponse> responses;
        if (!client.browse(p, responses)) {
            KXLOG(-1, "Index browse request failed");
            return false;
        }
        for (databrowse::BrowseResponse& r : responses) {
            if (r.status >= databrowse::BrowseResponse::kIncomplete &&
                r.status <= databrowse::BrowseResponse::kWarning) {
                KXLOG(-1, "Index response reported %s : %s", kStatusText[r.status - 2],
                      r.errors.empty() ? "" : r.errors.front().c_str());
                return false;
            }
            callback.ProcessNonCallbackResponse(&r);
        }
    }
    for (const std::string& p : paths) {
        for (const FInfoRespItem& item : callback.GetBkpPathPathInfo()) {
            if (item.path != p)
                continue;
            NAS::Backup_ReferenceTimes e{p, item.metaValue(IndexMetaDataKind::NFSSNAPDATA_VOLUME_PATH),
                                         item.metaValue(IndexMetaDataKind::NFSSNAPDATA_FULL_SNAP),
                                         item.metaValue(IndexMetaDataKind::NFSSNAPDATA_INCR_SNAP)};
            KXLOG(2, "RefTime: Previous backup times for path:[%s]. Full[%s] Incr[%s].", p.c_str(),
                  e.prevFullSnap.c_str(), e.prevIncrSnap.c_str());
            list.elements.push_back(std::move(e));
            break;
        }
    }
    return true;
}

void SnapFSContentMapper::SplitMetaData(const std::string& metadata, std::string& fileServer, std::string& fileSystem,
                                        std::string& snapshot, std::string& volumePath, unsigned long engineId) {
    fileServer.clear();
    fileSystem.clear();
    snapshot.clear();
    volumePath.clear();
    if (engineId == kJsonMetaDataEngine) {
        getJsonVal(metadata, "ArrayName", fileServer);
        getJsonVal(metadata, "FileSystem", fileSystem);
        getJsonVal(metadata, "Snapshot", snapshot);
        getJsonVal(metadata, "Path", volumePath);
        return;
    }
    std::string* fields[3] = {&fileServer, &fileSystem, &snapshot};
    size_t pos = 0;
    for (std::string* f : fields) {
        size_t bar = metadata.find('|', pos);
        if (bar == std::string::npos)
            return;
        f->assign(metadata, pos, bar - pos);
        pos = bar + 1;
    }
    volumePath.assign(metadata, pos, std::string::npos);
}

bool SnapFSContentMapper::getJsonVal(const std::string& text, const std::string& key, std::string& value) {
    size_t pos = text.find("{" + key + ":");
    if (pos == std::string::npos)
        pos = text.find("," + key + ":");
    if (pos == std::string::npos)
        return false;
    const size_t start = pos + key.size() + 2;
    const size_t end = text.find_first_of(",}", start);
    if (end == std::string::npos)
        return false;
    value = text.substr(start, end - start);
    return true;
}

bool SnapFSContentMapper::MarkSnapDiffDoneOnBkpPaths(const std::vector<sNFSBkpPathInfo>& paths) {
    if (paths.empty())
        return true;
    if (mNFSBkpPaths.empty())
        return false;
    for (const sNFSBkpPathInfo& p : paths) {
        auto it = mNFSBkpPaths.find(p.backupPath);
        if (it == mNFSBkpPaths.end())
            return false;
        it->second.snapDiffDone = true;
    }
    return true;
}
