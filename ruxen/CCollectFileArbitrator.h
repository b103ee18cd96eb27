// Hands collect files to the child streams by disk group.
//
// Every list of collect files the parent registers (addCollect) becomes a
// disk group named by the device that holds the list's data, carrying the
// physical volumes behind that device (the logical volume's volumes, or the
// plain device itself). A child works through one disk group at a time; when
// it needs another it gets, in this order:
//   1. a group nobody reads whose volumes nobody reads;
//   2. among the groups with the fewest children, the one whose busiest
//      volume has the fewest children (the earlier one on a tie); when none
//      of them has a file the child may take now, the next fewest, and so on.
// A group that has nothing for the child now (hard-link holds, or in a
// catalog-only job archives bound to other children) is passed over; the
// child waits (-1) only when no group has a file it may take.
//
// Guarantees the parent relies on:
//   - every collect number registered is handed out exactly once: a file is
//     taken only by a child that may process it (never consumed on behalf of
//     another), and a number registered twice is skipped at registration;
//   - a child holds the groups of at most one device; moving on removes it
//     from the old groups and their volumes, and a group that is erased takes
//     its children off every volume they no longer read;
//   - a file held for its hard-link collect files never blocks the free files
//     behind it in the same group (the first file the child may take is
//     taken), so a hard-link collect file listed after the files it holds is
//     still handed out;
//   - in a catalog-only job, a collect file whose archive is bound to another
//     child is left for that child; the parent's maps are only read, except
//     the binding of an archive to the child that takes its first file.
//
// Only the parent process uses the arbitrator, from its single main loop.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/agent/EvEvent.h"
#include "platform/base/CTyError.h"
#include "platform/os/KxMntTab.h"
#include "ruxen/CollectFile.h"
#include "ruxen/DiskGroup.h"
#include "ruxen/HardLinkHoldQuery.h"

class CCollectFileArbitrator {
public:
    // Loads the mount table. A table that cannot be read, or holds no entry,
    // leaves the arbitrator uninitialised (the parent then hands collect
    // files out in order). `job` answers the hard-link holds; null means no
    // holds. `flag` is kept for the job object and not read.
    CCollectFileArbitrator(EvEvent& event, HardLinkHoldQuery* job, bool flag);

    // 1 when the mount table was loaded, else 0.
    uint32_t IsInitialized() const { return m_initialized; }

    // Registers one list of collect files (a split group, or one collect
    // file) as a disk group placed by the items of the collect file at
    // `path`, read through the job's descriptor `fd` of it when one is given
    // (at its own offset: the streams read the same descriptor later). An
    // error when that file is missing, unreadable, or names no existing
    // item. Collect numbers below 1 or already registered are skipped and
    // counted. `count` is not used: the list's size is.
    CTyError addCollect(std::vector<CollectFile_t>& list, int count, std::string& path, int fd = -1);

    // The next collect file for the child named by `assignment.childPid`:
    // its number, with the assignment's collect number, offset, archive id
    // and archive type filled; 0 when no group is left, or the pid is not a
    // process id above 0 (collect number and offset set to 0); -1 when the
    // child must wait. The maps are the
    // parent's archive id and archive type by collect number and child by
    // archive id.
    int getNextCollectForChild(RestartInfo_t& assignment, std::map<int, int>& archiveIds,
                               std::map<int, int>& archiveTypes, std::map<int, int>& childByArchive, bool& catalogOnly);

    // A child that is gone: it leaves its disk groups and their volumes, and
    // the archives bound to it in `childByArchive` are free for others.
    void releaseChild(int child, std::map<int, int>& childByArchive);

    // Writes every group, its collect files and volumes to the debug log
    // (level 2).
    void dumpDiskGroupInfo() const;

    // The constructor's flag.
    bool flag() const { return m_flag; }
    // The groups, in registration order (for the dump and for tests).
    const std::vector<DiskGroup_t>& diskGroups() const { return m_diskGroupList; }
    // Collect numbers skipped by addCollect (below 1, or registered before).
    unsigned long SkippedCollects() const { return m_skippedCollects; }

private:
    struct Request {
        int child;
        const std::map<int, int>& archiveIds;
        const std::map<int, int>& childByArchive;
        bool catalogOnly;
    };

    CTyError GetDeviceNameListForCollect(const std::string& path, int fd, std::string& name,
                                         std::vector<PVList_t>& volumes) const;
    bool TranslatedViaLVM(const std::string& device, std::vector<PVList_t>& volumes, std::string& name) const;

    bool DiskGroupAssignedToChild(int child, std::string& name) const;
    // 1 taken (into `out`), 0 no group of that name is left, -1 the groups
    // of that name have nothing for this child now.
    int GetNextCollectForChild(const std::string& name, const Request& r, CollectFile_t& out);
    bool GetNextDiskGroup(const Request& r, std::vector<std::string>& checked, std::string& name);
    static bool diskGroupNotInChecked(const std::string& name, const std::vector<std::string>& checked);
    bool canAssignDiskGroup(const std::string& name, const Request& r);
    bool canProcessCollectFile(int32_t collect);
    // Index of the first free collect file of `g` the child may take now, or -1.
    int FirstTakeable(const DiskGroup_t& g, const Request& r);
    bool BoundElsewhere(const CollectFile_t& file, const Request& r) const;

    // Moves the child onto every group of that name (off any other group).
    void AssignDiskGroupToChild(const std::string& name, int child);
    // Makes the child a reader of exactly the volumes of the groups it is on.
    void SyncChildVolumes(int child);
    void EraseGroup(size_t index);

    std::vector<DiskGroup_t> m_diskGroupList;
    EvEvent m_event;
    std::vector<KxMntTab::Entry> m_mntTab;
    bool m_flag;
    HardLinkHoldQuery* m_job;
    uint32_t m_initialized = 0;
    std::unordered_set<int32_t> m_registered;
    unsigned long m_skippedCollects = 0;
};
