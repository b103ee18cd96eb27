// One index entry as the index cache and the index browse answer it, with
// the NAS snapshot references of the backup that wrote it.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "platform/index/IndexMetaDataKinds.h"

// A keyed metadata value of an index entry. A NAS backup path's references
// are under the snapshot kinds the backup sent them with
// (IndexMetaDataKind::NFSSNAPDATA_*: previous full snapshot, previous
// incremental snapshot, previous volume path).
struct MetaData {
    uint32_t key = 0;
    std::string value;
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
