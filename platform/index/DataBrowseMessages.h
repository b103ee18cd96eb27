// Index browse messages: a request over a subclient's index and the
// responses with the entries found.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/index/CNMessageBase.h"
#include "platform/index/FInfoRespItem.h"

namespace databrowse {

// One entry of a browse response. Each layer of metadata may be missing.
struct BrowseItem {
    std::string path;
    uint64_t archiveFileId = 0;
    uint64_t archiveGroup = 0;
    uint64_t mtime = 0;
    uint64_t offset = 0;
    bool hasAdvancedData = true;
    bool hasIdxBrowseMeta = true;
    bool hasNasBrowseMeta = true;
    // NAS browse metadata: previous full snapshot, previous incremental
    // snapshot, previous volume path.
    std::string nasMeta[3];

    // The entry with its NAS metadata as keyed values.
    FInfoRespItem toFInfoRespItem() const;
};

class BrowseRequest : public CNMessageBase {
public:
    int subclientId = 0;
    int zonarkId = 0;
    std::string path;
    bool wantNasMetadata = false;

    const char* messageType() const override { return "databrowse.BrowseRequest"; }
    std::string toText() const override;
};

class BrowseResponse : public CNMessageBase {
public:
    enum Status : int { kOk = 0, kIncomplete = 2, kError = 3, kWarning = 4 };
    int status = kOk;
    std::vector<std::string> errors;
    std::vector<BrowseItem> items;

    const char* messageType() const override { return "databrowse.BrowseResponse"; }
    std::string toText() const override;
};

}  // namespace databrowse
