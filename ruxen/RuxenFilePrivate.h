// The private part of the per-file backup object: per-job switches that only
// a few operations read, and the current item's GUIDs.
#pragma once

#include <sys/stat.h>

#include <map>
#include <string>

#include "platform/CTyError.h"

class RuxenFilePrivate {
public:
    RuxenFilePrivate();

    // GUIDs of the current item. Generating replaces every GUID of the
    // previous item; a getter of a GUID that was not generated answers an
    // error and empties `out`.
    CTyError GenerateBackupObjectGUIDs(const std::string& path, const struct stat& st, bool isStub);
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

    bool isDeletedItem() const { return m_deletedItem; }
    int GetReaderType() const { return m_readerType; }
    bool isMountPath(const std::string& path) const;
    unsigned long getDeviceIdForLocal(unsigned long device) const;
    static bool ShouldSkipACLForMountPoint(const std::string& fsType);

    // Per-job and per-item state read by the header, metadata and end-of-item
    // operations.
    std::string clientName;
    std::string itemFsType;
    bool hbaseBackup = false;
    bool hbaseIncrementalSnapshot = false;
    std::string hbaseSeedSuffix;
    bool cacheDBBackup = false;
    std::string cacheDBLogicalPath;
    bool hadoopBackup = false;
    bool autoMountRequired = false;
    std::map<std::string, int> blockLevelMap;
    bool headOfNewGroup = false;
    std::string groupVersionGuid;
    bool resendFailedItem = false;
    bool archiveAndDelete = false;
    std::string archiveDeleteListFile;
    bool indexV2 = false;
    int alternateReader = 0;
    bool endUserAccess = false;
    std::string indexingText;
    bool deviceMapping = false;
    std::map<unsigned long, unsigned long> deviceMap;
    std::map<std::string, int> snapMountPaths;

private:
    CTyError GenerateObjectGUIDs(const char* space, const std::string& path, const struct stat& st,
                                 bool isStub);

    bool m_componentGuidRequired = false;
    bool m_deletedItem = false;
    int m_readerType = 0;
    std::string m_versionSeedSuffix;

    std::string m_componentGuid;
    std::string m_componentMount;
    std::string m_objectGuid;
    std::string m_parentObjectGuid;
    std::string m_versionGuid;
};
