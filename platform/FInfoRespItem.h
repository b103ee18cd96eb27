// One index entry as the index cache and the index browse answer it, with
// the NAS snapshot references of the backup that wrote it.
#pragma once

#include <cstdint>
#include <list>
#include <string>

// A keyed metadata value of an index entry.
struct MetaData {
    uint32_t key = 0;
    std::string value;

    // Keys of a NAS backup path's references.
    static constexpr uint32_t kPrevFullSnap = 0x74330a2f;
    static constexpr uint32_t kPrevIncrSnap = 0x4a2ecc74;
    static constexpr uint32_t kPrevVolumePath = 0x677e8d5b;
};

struct FInfoRespItem {
    std::string path;
    uint64_t archiveFileId = 0;
    uint64_t archiveGroup = 0;
    uint64_t mtime = 0;
    uint64_t offset = 0;
    std::list<MetaData> metaData;

    // The value under `key`, or "" when the entry has none.
    std::string metaValue(uint32_t key) const {
        for (const MetaData& m : metaData)
            if (m.key == key)
                return m.value;
        return std::string();
    }
};
