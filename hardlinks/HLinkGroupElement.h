// One line of a hard-link collect file as read, and the map of hard-link
// groups a file's lines fall into.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct HLinkGroupElement {
    int32_t state = 0;
    uint64_t inode = 0;
    uint64_t device = 0;
    int64_t ctime = 0;
    uint64_t size = 0;
    std::string path;  // escaped, as in the line

    // The same file version: inode, device, change time and size agree.
    bool IsSameAs(const HLinkGroupElement& o) const {
        return inode == o.inode && device == o.device && ctime == o.ctime && size == o.size;
    }
};

// A hard-link group is one file: (inode, device), ordered by inode first. The
// same inode number on two file systems is two files.
using HLGroupKey = std::pair<uint64_t, uint64_t>;  // (inode, device)
// The lines of each group in file order.
using HLGroupsMap_t = std::map<HLGroupKey, std::vector<HLinkGroupElement>>;
