#include "ruxen/CCollectFileArbitrator.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <limits>
#include <memory>

#include "platform/base/QMErrorUtil.h"
#include "platform/os/LVM.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/RuxenMessages.h"

namespace {

constexpr int kArbLevel = 2;
constexpr size_t kNone = std::numeric_limits<size_t>::max();

// The path of a collect line that can place its collect file on a device:
// an item line's decoded path. Lines that name no item on disk give none:
// bad lines, and (once the reader marks them) the "# /" line, directive
// lines, DATASIZE lines and deleted items (DEL=k); a '#' hard-link entry
// gives its path.
const std::string* PlacementPath(CollectLineSource::Result r, const CollectLine& line) {
    return r == CollectLineSource::kLine ? &line.path : nullptr;
}

bool Has(const std::vector<int>& v, int child) { return std::find(v.begin(), v.end(), child) != v.end(); }

// Children other than `child`: the one asking does not crowd the group it
// may be leaving.
size_t Others(const std::vector<int>& v, int child) {
    return v.size() - static_cast<size_t>(std::count(v.begin(), v.end(), child));
}

int Lookup(const std::map<int, int>& m, int key, int fallback) {
    auto it = m.find(key);
    return it == m.end() ? fallback : it->second;
}

}  // namespace

CCollectFileArbitrator::CCollectFileArbitrator(EvEvent& event, HardLinkHoldQuery* job, bool flag)
    : m_event(event), m_flag(flag), m_job(job) {
    try {
        m_mntTab = KxMntTab::getAll();
    } catch (const std::exception& e) {
        EvDebug::DebugLvl(__PRETTY_FUNCTION__, -1, "Cannot load the mount table: %s", e.what());
    }
    m_initialized = m_mntTab.empty() ? 0 : 1;
}

CTyError CCollectFileArbitrator::addCollect(std::vector<CollectFile_t>& list, int /*count*/, std::string& path,
                                            int fd) {
    DiskGroup_t group;
    CTyError err = GetDeviceNameListForCollect(path, fd, group.name, group.pvList);
    if (err.IsError())
        return err.Push(QM_LOC, "Failed to map collect file %s to a disk group", path.c_str());
    group.collectFiles.reserve(list.size());
    for (const CollectFile_t& file : list) {
        if (file.collectNumber < 1 || !m_registered.insert(file.collectNumber).second) {
            ++m_skippedCollects;
            EvDebug::DebugLvl(__PRETTY_FUNCTION__, -1, "Collect file %d of %s is invalid or registered twice; skipped",
                              file.collectNumber, path.c_str());
            continue;
        }
        group.collectFiles.push_back(file);
        group.collectFiles.back().childPid = -1;
    }
    if (group.collectFiles.empty())
        return CTyError::Success();
    EVDEBUG(kArbLevel, "Adding new entry to diskGroupList for %s", group.name.c_str());
    m_diskGroupList.push_back(std::move(group));
    return CTyError::Success();
}

CTyError CCollectFileArbitrator::GetDeviceNameListForCollect(const std::string& path, int fd, std::string& name,
                                                             std::vector<PVList_t>& volumes) const {
    CollectFileReader reader;
    if (!(fd >= 0 ? reader.OpenDescriptor(fd, path, nullptr) : reader.Open(path, nullptr))) {
        int e = errno;
        if (e == ENOENT)
            return QMErrorUtil::ErrorErrNo(QM_LOC, ENOENT, kArbCollectMissing, path.c_str());
        return QMErrorUtil::ErrorErrNo(QM_LOC, e, kArbCollectOpen, path.c_str());
    }
    EVDEBUG(kArbLevel, "Collect file path %s if valid, proceeding with read.", path.c_str());

    // The first item that exists places the file; items gone since the scan
    // are passed over.
    CollectLine line;
    std::string tried;
    for (;;) {
        CollectLineSource::Result r = reader.Next(line);
        if (r == CollectLineSource::kEnd)
            break;
        if (r == CollectLineSource::kReadError)
            return QMErrorUtil::ErrorErrNo(QM_LOC, line.errnum, "%s", line.error.c_str());
        const std::string* item = PlacementPath(r, line);
        if (item == nullptr)
            continue;
        EVDEBUG(kArbLevel, "Read %s from collect file %s", item->c_str(), path.c_str());
        struct stat st;
        if (lstat(item->c_str(), &st) != 0) {
            tried = *item;
            continue;
        }
        if (const KxMntTab::Entry* mount = KxMntTab::find(m_mntTab, *item)) {
            EVDEBUG(kArbLevel, "Collect file %s belongs to device %s", path.c_str(), mount->device.c_str());
            if (!TranslatedViaLVM(mount->device, volumes, name)) {
                name = mount->device;
                volumes.push_back(PVList_t{mount->device, {}});
            }
        }
        return CTyError::Success();
    }
    if (tried.empty())
        return QMErrorUtil::ErrorWin32(QM_LOC, 774, kArbCollectEmpty, path.c_str());
    return QMErrorUtil::ErrorWin32(QM_LOC, 774, kArbCollectNoItem, tried.c_str(), path.c_str());
}

bool CCollectFileArbitrator::TranslatedViaLVM(const std::string& device, std::vector<PVList_t>& volumes,
                                              std::string& name) const {
    // Only a block device can be a logical volume; anything else ("tmpfs",
    // "server:/export", a file) is a plain device.
    dev_t dev = 0;
    if (!LVM::blockDevice(device, &dev)) {
        EVDEBUG(kArbLevel, "Device %s is not translated via LVM", device.c_str());
        return false;
    }
    LVM::VG vg;
    try {
        std::unique_ptr<LVM::Engine> engine = LVM::getByLVDevice(device);
        if (!engine) {
            EVDEBUG(kArbLevel, "Device %s is not translated via LVM", device.c_str());
            return false;
        }
        EVDEBUG(kArbLevel, "LVM Engine Instantiated.");
        vg = engine->getVG();
    } catch (const std::exception& e) {
        EVDEBUG(kArbLevel, "LVM threw excption %s", e.what());
        return false;
    }
    if (vg.name.empty())
        return false;
    name = device;
    for (const auto& entry : vg.lvs) {
        const LVM::LV& lv = entry.second;
        dev_t lvDev = 0;
        if (!LVM::blockDevice(lv.devicePath, &lvDev) || lvDev != dev)
            continue;
        for (const std::string& pvName : lv.pvs) {
            auto pv = vg.pvs.find(pvName);
            if (pv == vg.pvs.end())
                continue;
            volumes.push_back(PVList_t{pv->second.devicePath, {}});
            EVDEBUG(kArbLevel, "Added PV %s for LV %s", pv->second.devicePath.c_str(), lv.devicePath.c_str());
        }
        break;
    }
    return true;
}

int CCollectFileArbitrator::getNextCollectForChild(RestartInfo_t& assignment, std::map<int, int>& archiveIds,
                                                   std::map<int, int>& archiveTypes, std::map<int, int>& childByArchive,
                                                   bool& catalogOnly) {
    const Request r{assignment.childPid, archiveIds, childByArchive, catalogOnly};
    if (r.child <= 0) {  // -1 marks a free collect file; no child may carry it
        EvDebug::DebugLvl(__PRETTY_FUNCTION__, -1, "No collect file for child pid %d", r.child);
        assignment.collectNumber = assignment.offset = 0;
        return 0;
    }
    std::vector<std::string> checked;
    std::string name;
    bool holding = DiskGroupAssignedToChild(r.child, name);
    for (;;) {
        if (holding) {
            CollectFile_t file;
            int got = GetNextCollectForChild(name, r, file);
            if (got == 1) {
                const int n = file.collectNumber;
                EVDEBUG(kArbLevel, "Got collect %d from disk group %s for child<%d>.", n, name.c_str(), r.child);
                assignment.collectNumber = n;
                assignment.offset = file.offset;
                assignment.archiveId = Lookup(archiveIds, n, file.archiveId);
                assignment.archiveType = Lookup(archiveTypes, n, file.archiveType);
                int archive = catalogOnly ? Lookup(archiveIds, n, 0) : 0;
                if (archive != 0) {
                    EVDEBUG(kArbLevel, "Child(%d): archiveID (%d)", r.child, archive);
                    childByArchive[archive] = r.child;
                }
                return n;
            }
            if (got == -1)
                checked.push_back(name);  // stay on it unless another group has work
        }
        if (m_diskGroupList.empty()) {
            EVDEBUG(kArbLevel, "No More disk groups remaining to be processed.");
            assignment.collectNumber = 0;
            assignment.offset = 0;
            return 0;
        }
        EVDEBUG(kArbLevel, "More disk groups to be processed.");
        if (!GetNextDiskGroup(r, checked, name)) {
            EVDEBUG(kArbLevel, "There are pending disk group, but HL constraint apply on them, hence child must wait.");
            return -1;
        }
        holding = true;
    }
}

bool CCollectFileArbitrator::DiskGroupAssignedToChild(int child, std::string& name) const {
    for (const DiskGroup_t& g : m_diskGroupList) {
        if (Has(g.children, child)) {
            EVDEBUG(kArbLevel, "Child<%d> currently processing diskGroup %s", child, g.name.c_str());
            name = g.name;
            return true;
        }
    }
    return false;
}

int CCollectFileArbitrator::GetNextCollectForChild(const std::string& name, const Request& r, CollectFile_t& out) {
    bool held = false;
    // Every group of the name belongs to the child; an exhausted one is
    // erased and the scan goes on with the group that took its place.
    for (size_t i = 0; i < m_diskGroupList.size();) {
        DiskGroup_t& g = m_diskGroupList[i];
        if (g.name != name) {
            ++i;
            continue;
        }
        if (g.Exhausted()) {
            EVDEBUG(kArbLevel, "Next free %d, collectList size %zd, no more free collect files for diskGroup %s",
                    g.nextFree, g.collectFiles.size(), g.name.c_str());
            EraseGroup(i);
            continue;
        }
        int k = FirstTakeable(g, r);
        if (k < 0) {
            EVDEBUG(kArbLevel, "Collect %d in disk group %s can't processed now by child<%d>",
                    g.collectFiles[g.nextFree].collectNumber, g.name.c_str(), r.child);
            held = true;
            ++i;
            continue;
        }
        g.collectFiles[k].childPid = r.child;
        out = g.collectFiles[k];
        while (!g.Exhausted() && g.collectFiles[g.nextFree].childPid != -1)
            ++g.nextFree;
        if (!g.Exhausted())
            EVDEBUG(kArbLevel, "Next free collect %d in diskGroup %s", g.collectFiles[g.nextFree].collectNumber,
                    g.name.c_str());
        return 1;
    }
    return held ? -1 : 0;
}

bool CCollectFileArbitrator::BoundElsewhere(const CollectFile_t& file, const Request& r) const {
    if (!r.catalogOnly)
        return false;
    // A collect file with no known archive binds nobody.
    int archive = Lookup(r.archiveIds, file.collectNumber, 0);
    if (archive == 0)
        return false;
    int bound = Lookup(r.childByArchive, archive, 0);
    EVDEBUG(kArbLevel, "File(%d): archiveID (%d) pid (%d)", file.collectNumber, archive, bound);
    if (bound == 0 || bound == r.child)
        return false;
    EVDEBUG(kArbLevel, "child<%d> can not process archive file %d, expected child %d", r.child, archive, bound);
    return true;
}

int CCollectFileArbitrator::FirstTakeable(const DiskGroup_t& g, const Request& r) {
    for (size_t k = static_cast<size_t>(g.nextFree); k < g.collectFiles.size(); ++k) {
        const CollectFile_t& f = g.collectFiles[k];
        if (f.childPid == -1 && !BoundElsewhere(f, r) && canProcessCollectFile(f.collectNumber))
            return static_cast<int>(k);
    }
    return -1;
}

bool CCollectFileArbitrator::canProcessCollectFile(int32_t collect) {
    if (m_job != nullptr && m_job->ProcessingHardLinkCollect(collect)) {
        EVDEBUG(kArbLevel, "HL processing ON, not using collect file %d", collect);
        return false;
    }
    return true;
}

bool CCollectFileArbitrator::canAssignDiskGroup(const std::string& name, const Request& r) {
    for (const DiskGroup_t& g : m_diskGroupList) {
        if (g.name != name)
            continue;
        if (g.Exhausted())
            return true;  // the child erases it and moves on
        EVDEBUG(kArbLevel, "Let's check next collect %d for HL constraint for disk group %s",
                g.collectFiles[g.nextFree].collectNumber, name.c_str());
        if (FirstTakeable(g, r) >= 0)
            return true;
    }
    return false;
}

bool CCollectFileArbitrator::diskGroupNotInChecked(const std::string& name, const std::vector<std::string>& checked) {
    if (std::find(checked.begin(), checked.end(), name) != checked.end()) {
        EVDEBUG(kArbLevel, "Disk group %s in checked list", name.c_str());
        return false;
    }
    EVDEBUG(kArbLevel, "Disk group %s not in checked list", name.c_str());
    return true;
}

bool CCollectFileArbitrator::GetNextDiskGroup(const Request& r, std::vector<std::string>& checked, std::string& name) {
    // Pass 1: a group nobody else reads, on volumes nobody else reads.
    for (const DiskGroup_t& g : m_diskGroupList) {
        if (Others(g.children, r.child) != 0 || !diskGroupNotInChecked(g.name, checked))
            continue;
        EVDEBUG(kArbLevel, "DiskGroup %s is not being processed by any.", g.name.c_str());
        bool volumesFree = std::all_of(g.pvList.begin(), g.pvList.end(),
                                       [&](const PVList_t& pv) { return Others(pv.children, r.child) == 0; });
        if (!volumesFree)
            continue;
        if (canAssignDiskGroup(g.name, r)) {
            name = g.name;
            AssignDiskGroupToChild(name, r.child);
            EVDEBUG(kArbLevel, "Assinging free disk group %s to child %d.", name.c_str(), r.child);
            return true;
        }
        checked.push_back(g.name);
    }
    // Pass 2: the fewest children, then the least busy volume; a group with
    // nothing for the child now is checked and the next best is tried.
    for (;;) {
        size_t least = kNone;
        for (const DiskGroup_t& g : m_diskGroupList)
            if (std::find(checked.begin(), checked.end(), g.name) == checked.end())
                least = std::min(least, Others(g.children, r.child));
        if (least == kNone) {
            EVDEBUG(kArbLevel,
                    "All pending disk groups checked, no disk group left with pending collects where HL not applied.");
            return false;
        }
        EVDEBUG(kArbLevel, "Least assigned disk group has %zu children processing it.", least);
        const DiskGroup_t* best = nullptr;
        size_t bestLoad = kNone;
        for (const DiskGroup_t& g : m_diskGroupList) {
            if (Others(g.children, r.child) != least || !diskGroupNotInChecked(g.name, checked))
                continue;
            EVDEBUG(kArbLevel, "DiskGroup %s has least %zu child accessing it.", g.name.c_str(), least);
            size_t busiest = 0;
            for (const PVList_t& pv : g.pvList)
                busiest = std::max(busiest, Others(pv.children, r.child));
            EVDEBUG(kArbLevel, "Max no of child processing PV %zu", busiest);
            if (best == nullptr || busiest < bestLoad) {
                best = &g;
                bestLoad = busiest;
                EVDEBUG(kArbLevel, "DiskGroup remembered %s", g.name.c_str());
            }
        }
        name = best->name;
        if (canAssignDiskGroup(name, r)) {
            AssignDiskGroupToChild(name, r.child);
            EVDEBUG(kArbLevel, "Assinging pending disk group %s to child %d.", name.c_str(), r.child);
            return true;
        }
        checked.push_back(name);
    }
}

void CCollectFileArbitrator::AssignDiskGroupToChild(const std::string& name, int child) {
    for (DiskGroup_t& g : m_diskGroupList) {
        bool on = Has(g.children, child);
        if (g.name == name && !on) {
            EVDEBUG(kArbLevel, "Assigning disk group %s to child<%d>.", g.name.c_str(), child);
            g.children.push_back(child);
        } else if (g.name != name && on) {
            g.children.erase(std::remove(g.children.begin(), g.children.end(), child), g.children.end());
        }
    }
    SyncChildVolumes(child);
}

void CCollectFileArbitrator::SyncChildVolumes(int child) {
    std::vector<const std::string*> reads;
    for (const DiskGroup_t& g : m_diskGroupList)
        if (Has(g.children, child))
            for (const PVList_t& pv : g.pvList)
                reads.push_back(&pv.name);
    for (DiskGroup_t& g : m_diskGroupList) {
        for (PVList_t& pv : g.pvList) {
            bool want = std::any_of(reads.begin(), reads.end(), [&](const std::string* n) { return *n == pv.name; });
            bool has = Has(pv.children, child);
            if (want && !has) {
                pv.children.push_back(child);
                EVDEBUG(kArbLevel, "Assigned PV %s to child<%d> for disk group %s", pv.name.c_str(), child,
                        g.name.c_str());
            } else if (!want && has) {
                pv.children.erase(std::remove(pv.children.begin(), pv.children.end(), child), pv.children.end());
                EVDEBUG(kArbLevel, "PV %s of diskGroup %s no longer read by child<%d>", pv.name.c_str(), g.name.c_str(),
                        child);
            }
        }
    }
}

void CCollectFileArbitrator::EraseGroup(size_t index) {
    std::vector<int> children = std::move(m_diskGroupList[index].children);
    EVDEBUG(kArbLevel, "DiskGroup %s removed from list", m_diskGroupList[index].name.c_str());
    m_diskGroupList.erase(m_diskGroupList.begin() + static_cast<std::ptrdiff_t>(index));
    for (int child : children)
        SyncChildVolumes(child);
}

void CCollectFileArbitrator::releaseChild(int child, std::map<int, int>& childByArchive) {
    for (DiskGroup_t& g : m_diskGroupList)
        g.children.erase(std::remove(g.children.begin(), g.children.end(), child), g.children.end());
    SyncChildVolumes(child);
    for (auto it = childByArchive.begin(); it != childByArchive.end();)
        it = it->second == child ? childByArchive.erase(it) : std::next(it);
    EVDEBUG(kArbLevel, "child<%d> released from its disk groups and archives", child);
}

void CCollectFileArbitrator::dumpDiskGroupInfo() const {
    if (!KxLog::Enabled(kArbLevel))
        return;
    EVDEBUG(kArbLevel, "********************* Dumping Disk Group Info Begins *******************");
    for (const DiskGroup_t& g : m_diskGroupList) {
        EVDEBUG(kArbLevel, "Printing Disk Group Info for\t= %s", g.name.c_str());
        EVDEBUG(kArbLevel, "Number of children\t\t\t= %zd", g.children.size());
        EVDEBUG(kArbLevel, "Printing Split group info");
        EVDEBUG(kArbLevel, "Free collect files\t\t\t= %zd", g.collectFiles.size());
        EVDEBUG(kArbLevel, "Next free collect file\t\t= %d", g.nextFree);
        EVDEBUG(kArbLevel, "Collect file info");
        for (const CollectFile_t& f : g.collectFiles) {
            EVDEBUG(kArbLevel, "Collect file no\t\t= %d", f.collectNumber);
            EVDEBUG(kArbLevel, "Offset\t\t\t= %d", f.offset);
            EVDEBUG(kArbLevel, "ArchiveID\t\t\t= %d", f.archiveId);
            EVDEBUG(kArbLevel, "ArchiveType\t\t= %d", f.archiveType);
            EVDEBUG(kArbLevel, "Child PID\t\t\t= %d", f.childPid);
        }
        EVDEBUG(kArbLevel, "Printing PV info");
        for (const PVList_t& pv : g.pvList) {
            EVDEBUG(kArbLevel, "PV name\t\t\t= %s", pv.name.c_str());
            EVDEBUG(kArbLevel, "Number of children for PV\t= %zd", pv.children.size());
        }
    }
    EVDEBUG(kArbLevel, "********************* Dumping Disk Group Info Ends *********************");
}
