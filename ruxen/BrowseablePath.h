// One browse item of a database dump: a virtual folder or file that makes
// the dump browsable in the index. It travels as a header and an empty
// end-of-item record (RuxenFile::SendDeletedItemHeader, kind 8), made by
// RuxenFilePrivate::PopulateDBBrowsePaths.
#pragma once

#include <cstdint>
#include <string>

struct browseablePath_t {
    std::string path;          // the item's name
    uint32_t kind = 0;         // how the database agent classes the item (not read here)
    std::string objectGuid;    // filled by the GUID generation: the item's object GUID
    uint32_t statMode = 0;     // 1: the items take the dump's stat; 0: the current time
    uint64_t size = 0;         // sent as h_filesize
    uint64_t versionSeed = 0;  // mixed into the version GUID: a new dump, a new version
    uint32_t reserved = 0;
};
