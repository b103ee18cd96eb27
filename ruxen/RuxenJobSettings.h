// The job's settings as a stream's per-file object holds them: set before
// the pass (by the host through RuxenFile's setters, by initialize and the
// mapping set-up) and only read while items go through it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct RuxenJobInfo {
    unsigned zonarkId = 0;
    unsigned clientId = 0;
    int backupLevel = 0;
    long long jobId = 0;
    std::string jobToken;
    std::string path;  // the job's path text, handed to the indexing service
};

// A mount of the job's mount-point list.
struct MountEntry {
    std::string path;
    std::string fsType;
    unsigned long long size = 0;
};

struct RuxenJobSettings {
    // ---- the job and its stream
    RuxenJobInfo job;
    unsigned long long appType = 0;  // from the application id; 106 selects "\" as separator
    std::string appTypeGuid;
    std::string appIdText;                    // "zonark id:application id"
    uint32_t clientOS = 0;                    // written into every header
    unsigned currentAFileNumber = 0;          // the archive file, in the item-level signature
    int streamNumber = 0;                     // in a job of several streams, from 1; 0: the job's only stream
    std::string jobResultsFolder;             // holds the hard-links table
    std::map<int, MountEntry> mountPoints;    // mount number (a collect line's MNT=n) -> mount
    std::vector<std::string> ownDirectories;  // the agent's own files: their failures are not reported
    // Files the job writes (archive, failures and results files): an item
    // that is one of them is passed over.
    struct FileId {
        dev_t dev;
        ino_t ino;
    };
    std::vector<FileId> jobOutputs;
    bool sendOn = true;  // off: records fill a scratch buffer and nothing is written

    // ---- kinds of job
    bool turboMode = false;
    bool earlyStubBackup = false;
    bool doNotCreateStub = false;
    bool backupSCFiles = false;  // the job's own result files (subclient files)
    bool siloJob = false;
    std::string siloParentPath;
    bool blockLevel = false;
    std::map<std::string, int> blockLevelMap;  // mount paths of a block-level job
    bool catalogBackup = false;
    std::map<int, std::string> collectFileMap;  // collect number -> archive id (snapshot mounts in a catalog)
    unsigned long long totalBackupSize = 0;
    bool hardLinkJob = false;
    bool errorsTolerated = true;
    bool useNativeSnap = false;
    bool snapshotJob = false;  // the reader context's snapshot mode
    bool longPathSupport = false;
    bool fbr = false;
    bool tallixSync = false;
    bool indexCheckPoint = false;
    bool indexLogBackup = false;
    bool dbArchive = false;
    bool preserveTimes = false;        // each item's access time put back after it was read
    bool backupMacProperties = false;  // AppleDouble companions' resource fork and Finder information
    bool hbaseBackup = false;
    std::string hbaseSeedSuffix;  // mixed into HBase items' version GUID seed
    bool cacheDBBackup = false;
    bool hadoopBackup = false;
    bool autoMountRequired = false;
    bool archiveAndDelete = false;
    bool indexV2 = false;
    int alternateReader = 0;
    int readerType = 0;               // 0 or 1
    bool alternateLocalPath = false;  // long paths are read through the item's alternate local path
    bool endUserAccess = false;       // each item's access ACL goes to the index
    std::string indexingText;

    // ---- path mapping
    bool proxyHost = false;        // every recorded path is mapped through the content mapper
    bool replicationHost = false;  // ... through the consistency-point mapper
    bool flrNoFail = false;        // a failed consistency-point translation does not fail the item
    std::map<std::string, std::string> hwSnapPathTable;  // collect-path prefix -> local prefix
    bool snapshotToTape = false;  // collect paths go through hwSnapPathTable (snapshot-to-tape jobs)
    std::map<std::string, int> snapMountPaths;
    bool deviceMapping = false;
    std::map<unsigned long, unsigned long> deviceMap;

    int GetReaderType() const { return readerType; }
    bool isMountPath(const std::string& path) const { return snapMountPaths.count(path) != 0; }
    // The local device id of a device number: through the device map when
    // device mapping is on.
    unsigned long getDeviceIdForLocal(unsigned long device) const {
        if (!deviceMapping)
            return device;
        auto it = deviceMap.find(device);
        return it == deviceMap.end() ? device : it->second;
    }
};
