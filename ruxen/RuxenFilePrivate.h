// The private part of the per-file backup object: its machinery and what it
// keeps for the whole stream. The current item's GUIDs (made from what
// header filling hands them), the ACL reader, the GPFS file sets, the
// database browse items, the HBase and cache-database name services, and
// the look-up caches of file-system types and of hard-link members'
// directories. The job's settings, the current item's state and the
// counters are RuxenFile's (RuxenJobSettings, RuxenItemState,
// RuxenCounters).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/uuid/uuid.hpp>

#include "platform/agent/CacheDBMgr.h"
#include "platform/agent/GpfsFileSetConfig.h"
#include "platform/base/CTyError.h"
#include "platform/os/KxACLHelper.h"
#include "platform/os/ParentDirCache.h"
#include "ruxen/HBaseItems.h"

class RuxenFile;
struct browseablePath_t;

class RuxenFilePrivate {
public:
    RuxenFilePrivate();

    // GUIDs of the current item. Generating replaces every GUID of the
    // previous item; a getter of a GUID that was not generated answers an
    // error and empties `out`. Generating only keeps what the GUIDs are made
    // of: each is made when first asked for, as most items never need one.
    CTyError GenerateBackupObjectGUIDs(const std::string& path, const struct stat& st, bool isStub);
    // The GUIDs of a database browse item: its object GUID from its path
    // (written back into the record), its version from the stat with the
    // record's size and version seed.
    CTyError GenerateBackupObjectGUIDs(browseablePath_t* browse, const struct stat& st);
    CTyError GenerateJobResultObjectGUIDs(const std::string& path, const struct stat& st, bool isStub);
    CTyError GenerateComponentGUID(const std::string& path, bool forceRoot, bool refresh);
    void SetComponentGUIDRequired(bool on) { m_componentGuidRequired = on; }
    bool IsComponentGUIDRequired() const { return m_componentGuidRequired; }

    CTyError GetComponentGUID(std::string& out) const;
    CTyError GetObjectGUID(std::string& out) const;
    CTyError GetParentObjectGUID(std::string& out) const;
    CTyError GetVersionGUID(std::string& out) const;
    void ClearItemGUIDs();

    // The application-defined suffix mixed into the version GUID seed (HBase
    // incremental snapshots).
    const std::string& VersionGUIDSeedSuffix() const { return m_versionSeedSuffix; }
    void SetVersionGUIDSeedSuffix(const std::string& s) { m_versionSeedSuffix = s; }

    static bool ShouldSkipACLForMountPoint(const std::string& fsType);
    // The item's ACL and extended-attribute reader: one per object, made on
    // first use and reused item after item (each read replaces the last).
    KxACL::Helper& GetACLInstance();

    // Sends the browse items of a database dump one after another, each as
    // a header and an end-of-item record (kind 8): they take the dump's stat
    // when the first record asks for it, else the current time and a
    // directory's mode. Nothing to send is a success.
    CTyError PopulateDBBrowsePaths(std::vector<browseablePath_t>& browse, RuxenFile* file, const std::string& dumpPath);

    // The job's GPFS file sets, from "FileSetTmp.kxf" in `directory`
    // (replacing those loaded before). No file loads none and is no error;
    // a file that cannot be read or parsed loads none and answers false.
    bool LoadGpfsFileSetInfo(const std::string& directory);
    // Reads "FileSetTmp.kxf" of `directory` into `out` (none when there is
    // no such file); false with the reason in `error`. The job reads it
    // once, before its outputs, and gives each stream the sets.
    static bool ReadGpfsFileSets(const std::string& directory, App::GpfsFileSetMap& out, std::string& error);
    void SetGpfsFileSets(App::GpfsFileSetMap sets) { m_fileSets = std::move(sets); }
    // The file set that holds `path`: the one of the longest listed path
    // that is `path` or a directory above it, or null.
    const App::GpfsFileSetConfig* FindFileSet(const std::string& path) const;
    size_t FileSetCount() const { return m_fileSets.size(); }

    // The client name the GUIDs are made for.
    std::string clientName;
    // The HBase job's backup root and table, and the namespace and table of
    // the item last named.
    HBaseItemState hbase;
    CacheDBMgr cacheDB;
    std::map<uint64_t, std::string> fsTypeByDevice;  // st_dev -> file-system type ("" unknown)
    // The directory of the last hard-link member looked up: a group's
    // members, in the order the scan met them, mostly share directories.
    ruxen::ParentDirCache memberDirs;

private:
    CTyError GenerateObjectGUIDs(const char* space, const std::string& path, const struct stat& st, bool isStub);
    // The object GUID of the current item, made on first use.
    const std::string& ObjectGuid() const;

    std::unique_ptr<KxACL::Helper> m_acl;
    bool m_componentGuidRequired = false;
    std::string m_versionSeedSuffix;
    App::GpfsFileSetMap m_fileSets;

    std::string m_componentGuid;
    std::string m_componentMount;

    // The object namespace of each space ("object", "jobresult") for the
    // client name it was made with: made once, not per item.
    struct ObjectSpace {
        const char* space;
        std::string clientName;
        boost::uuids::uuid id;
    };
    std::vector<ObjectSpace> m_spaces;

    // What the current item's GUIDs are made of, kept by Generate*.
    bool m_itemGuids = false;
    boost::uuids::uuid m_itemSpace{};
    std::string m_itemPath;
    int64_t m_itemMtime = 0, m_itemCtime = 0, m_itemSize = 0;
    uint64_t m_itemIno = 0;
    bool m_itemIsStub = false;
    std::string m_itemSeedSuffix;

    // Made on first use. The parent's GUID stays while items of one
    // directory follow each other.
    mutable std::string m_objectGuid;
    mutable std::string m_versionGuid;
    mutable bool m_parentValid = false;
    mutable boost::uuids::uuid m_parentSpace{};
    mutable std::string m_parentPath;
    mutable std::string m_parentObjectGuid;
};
