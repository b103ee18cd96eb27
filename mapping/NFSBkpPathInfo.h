// The snapshot-difference references of one NAS backup path.
#pragma once

#include <cstdint>
#include <string>

struct sNFSBkpPathInfo {
    std::string prevFullSnap;       // previous full snapshot
    std::string prevSnapToCompare;  // previous incremental one (the full one for a differential backup)
    std::string prevVolumePath;     // volume path recorded by the earlier backup
    std::string fileServer;         // array name
    std::string fileSystem;
    std::string currentSnapshot;
    std::string volumePath;  // the backup path as the current snapshot shows it
    std::string backupPath;  // the recorded path
    std::string hostPath;    // the local path
    std::string hostBase;    // the local prefix that maps the backup path
    bool reserved = false;
    bool snapDiffDone = false;
    uint32_t snapEngineId = 0;
};
