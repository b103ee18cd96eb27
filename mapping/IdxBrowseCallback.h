// Collects the NAS references of the entries of index browse responses.
#pragma once

#include <list>

#include "platform/index/DataBrowseMessages.h"
#include "platform/index/FInfoRespItem.h"
#include "platform/index/IdxBrowseClient.h"

class IdxBrowseCallback : public IdxBrowseClientResp {
public:
    // Hands a browse response to ProcessNonCallbackResponse; 0 for any other
    // message.
    int processResp(CNMessageBase* message) override;
    // Appends every entry that carries NAS metadata; answers 1.
    int ProcessNonCallbackResponse(databrowse::BrowseResponse* response);
    const std::list<FInfoRespItem>& GetBkpPathPathInfo() const { return m_items; }

private:
    std::list<FInfoRespItem> m_items;
};
