// The indexing client's browse: entries of a subclient's index, and the
// index-cache tables FetchIndexInfo reads.
//
// Stand-in: the index is an in-process table per (zonark id, subclient id)
// that tests fill; a browse of a path answers one response holding the
// entries at or below that path.
#pragma once

#include <string>
#include <vector>

#include "platform/index/DataBrowseMessages.h"

// Receives responses delivered by callback.
class IdxBrowseClientResp {
public:
    virtual ~IdxBrowseClientResp() = default;
    virtual int processResp(CNMessageBase* message) = 0;
};

class IdxBrowseClient {
public:
    // Prepares browses of the request's subclient. False when the subclient
    // has no index.
    bool init(const databrowse::BrowseRequest& request, IdxBrowseClientResp* callback, int timeoutMs, const char* name,
              void* interrupt);
    // Browses one path; the responses are appended.
    bool browse(const std::string& path, std::vector<databrowse::BrowseResponse>& responses);

    // The stand-in's index (null when the subclient has none).
    static const std::vector<databrowse::BrowseItem>* indexOf(int zonarkId, int subclientId);

private:
    databrowse::BrowseRequest m_request;
    bool m_ready = false;
};
