// The snapshot utilities' records of a snapshot job: its volumes, which
// snapshot each volume has, and the snapshots' metadata.
#pragma once

#include <map>
#include <string>
#include <vector>

// One volume of a snapshot job.
struct SMVolumeInfo {
    int volumeId = 0;
    std::string sSrcMountPath;      // recorded (source) mount path
    std::string sOrigSrcMountPath;  // source path of the original of a replica (else the source)
    std::string sSnapMountPath;     // where the snapshot is mounted on this machine
    std::string sRepBasePath;       // replica: base path of the replication ("" otherwise)
    std::string sRepRelPath;        // replica: path of the replicated folder ("" otherwise)
    std::string sMountDevice;       // the snapshot's device
    unsigned volFlags = 0;          // kRawVolume1/2, kBlockLevel
    long archiveFileId = 0;
    unsigned srcClientId = 0;

    static constexpr unsigned kRawVolume1 = 0x1;
    static constexpr unsigned kRawVolume2 = 0x2;
    static constexpr unsigned kBlockLevel = 0x4000;

    bool isRaw() const { return (volFlags & (kRawVolume1 | kRawVolume2)) != 0; }
    bool isReplica() const { return !sRepBasePath.empty() && !sRepRelPath.empty(); }
};

// One metadata record of a snapshot (reference type 2 and metadata type 6
// carry a NAS snapshot's array metadata).
struct SMMetaData {
    int id = 0;
    int refType = 0;
    int metaType = 0;
    int refId = 0;  // the snapshot id the record belongs to
    std::string text;
};

// The volume snapshot information of a job.
struct SMVolSnapInfo {
    std::vector<SMVolumeInfo> volumes;  // in load order
    std::map<int, int> volumeToSnapId;  // volume id -> snapshot id
    std::vector<SMMetaData> metaData;
    unsigned snapEngineId = 0;
};
