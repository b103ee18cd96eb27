// The private part of the per-file backup object: per-job switches that only
// a few operations read, and the current item's GUIDs.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/uuid/uuid.hpp>

#include "platform/base/CTyError.h"
#include "platform/agent/CacheDBMgr.h"
#include "platform/agent/GpfsFileSetConfig.h"
#include "platform/os/KxACLHelper.h"
#include "platform/os/ParentDirCache.h"
#include "ruxen/CollectFileReader.h"
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

    bool isDeletedItem() const { return m_deletedKind != 0; }
    // The current item is a deleted item of kind 1 to 7 (its collect line's
    // DEL marker) or a database browse item (8): an item without data; 0: it
    // is not.
    void SetDeletedItem(int kind) { m_deletedKind = kind; }
    int DeletedItemKind() const { return m_deletedKind; }
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
    // The file set whose path is exactly `path`, or null.
    const App::GpfsFileSetConfig* FindFileSet(const std::string& path) const;
    size_t FileSetCount() const { return m_fileSets.size(); }

    // Per-job and per-item state read by the header, metadata and end-of-item
    // operations.
    std::string clientName;
    std::string itemFsType;
    std::map<uint64_t, std::string> fsTypeByDevice;  // st_dev -> file-system type ("" unknown)
    bool hbaseIncrementalSnapshot = false;
    HBaseItemState hbase;
    std::string cacheDBLogicalPath;
    CacheDBMgr cacheDB;
    bool headOfNewGroup = false;
    bool groupHeadPending = false;  // a hard-link group began and no line of it has gone out as its head
    // The directory of the last hard-link member looked up: a group's
    // members, in the order the scan met them, mostly share directories.
    ruxen::ParentDirCache memberDirs;
    std::string groupVersionGuid;
    bool resendFailedItem = false;
    // From the collect file's directives; sent once per stream.
    std::vector<SalesforceRelation> salesforceRelations;
    bool salesforceRelationsSent = false;

private:
    CTyError GenerateObjectGUIDs(const char* space, const std::string& path, const struct stat& st,
                                 bool isStub);
    // The object GUID of the current item, made on first use.
    const std::string& ObjectGuid() const;

    std::unique_ptr<KxACL::Helper> m_acl;
    bool m_componentGuidRequired = false;
    int m_deletedKind = 0;
    std::string m_versionSeedSuffix;
    std::map<std::string, App::GpfsFileSetConfig> m_fileSets;  // by path

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
