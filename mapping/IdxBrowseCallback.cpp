#include "mapping/IdxBrowseCallback.h"

#include "platform/agent/KxLog.h"

int IdxBrowseCallback::processResp(CNMessageBase* message) {
    if (message == nullptr) {
        KXLOG(-1, "Index metadata browse response is invalid");
        return 0;
    }
    auto* response = dynamic_cast<databrowse::BrowseResponse*>(message);
    if (response == nullptr) {
        KXLOG(-1, "Unexpected message type: %s", message->messageType());
        return 0;
    }
    return ProcessNonCallbackResponse(response);
}

int IdxBrowseCallback::ProcessNonCallbackResponse(databrowse::BrowseResponse* response) {
    KXLOG(2, "Received [%zu] items", response->items.size());
    for (const databrowse::BrowseItem& item : response->items) {
        const char* missing = !item.hasAdvancedData    ? "Advanced data not set"
                              : !item.hasIdxBrowseMeta ? "Index browse metadata not set"
                              : !item.hasNasBrowseMeta ? "NAS browse metadata not set"
                                                       : nullptr;
        if (missing != nullptr) {
            KXLOG(2, "%s: %s", missing, item.path.c_str());
            continue;
        }
        KXLOG(3, "Adding path [%s] into metadata structure", item.path.c_str());
        m_items.push_back(item.toFInfoRespItem());
    }
    return 1;
}
