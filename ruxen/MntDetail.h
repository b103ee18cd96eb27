// The collect-file splitter's record of one mount point met in a collect
// file.
#pragma once

#include <cstdint>
#include <string>

struct MntDetail_t {
    std::string mountPoint;     // the mount point, as the mount table names it
    std::string device;         // the mounted device or source
    int64_t totalSize = 0;      // the sizes of the mount's items added up
    std::string path;           // the mount's own collect file
    int32_t collectNumber = 0;  // that file's collect-file number
};
