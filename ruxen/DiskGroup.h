// The collect-file arbitrator's records: one disk group per list of collect
// files the parent registers, named by the device that holds the list's data,
// with the physical volumes behind that device.
#pragma once

#include <string>
#include <vector>

#include "ruxen/CollectFile.h"

// A physical volume of a disk group and the children that read it through
// any group (each child at most once).
struct PVList_t {
    std::string name;  // device path of the volume, or the plain device
    std::vector<int> children;
};

struct DiskGroup_t {
    std::string name;           // the device; empty when no mount holds the data
    std::vector<int> children;  // children assigned to the group, in assignment order
    std::vector<PVList_t> pvList;
    int nextFree = 0;  // index of the first collect file no child took
    std::vector<CollectFile_t> collectFiles;

    bool Exhausted() const { return nextFree >= static_cast<int>(collectFiles.size()); }
};
