#include "platform/index/IdxBrowseClient.h"

#include <map>
#include <utility>

#include "platform/base/NoDestructor.h"
#include "platform/base/TestControl.h"
#include "platform/text/PathUtil.h"

namespace {

struct IndexState {
    std::map<std::pair<int, int>, std::vector<databrowse::BrowseItem>> index;
    int status = databrowse::BrowseResponse::kOk;
    std::string error;
    bool failBrowse = false;
};

IndexState& state() {
    static ruxen::NoDestructor<IndexState> s;  // used from exit paths
    return *s;
}

}  // namespace

namespace databrowse {

FInfoRespItem BrowseItem::toFInfoRespItem() const {
    FInfoRespItem r;
    r.path = path;
    r.archiveFileId = archiveFileId;
    r.archiveGroup = archiveGroup;
    r.mtime = mtime;
    r.offset = offset;
    using namespace IndexMetaDataKind;
    const uint32_t keys[3] = {NFSSNAPDATA_FULL_SNAP, NFSSNAPDATA_INCR_SNAP, NFSSNAPDATA_VOLUME_PATH};
    for (int i = 0; i < 3; ++i)
        r.metaData.push_back(MetaData{keys[i], nasMeta[i]});
    return r;
}

std::string BrowseRequest::toText() const {
    return "<BrowseRequest subclient=\"" + std::to_string(subclientId) + "\" zonark=\"" + std::to_string(zonarkId) +
           "\" path=\"" + path + "\" nasMetadata=\"" + (wantNasMetadata ? "1" : "0") + "\"/>";
}

std::string BrowseResponse::toText() const {
    return "<BrowseResponse status=\"" + std::to_string(status) + "\" items=\"" + std::to_string(items.size()) + "\"/>";
}

}  // namespace databrowse

bool IdxBrowseClient::init(const databrowse::BrowseRequest& request, IdxBrowseClientResp* /*callback*/,
                           int /*timeoutMs*/, const char* /*name*/, void* /*interrupt*/) {
    m_request = request;
    m_ready = indexOf(request.zonarkId, request.subclientId) != nullptr;
    return m_ready;
}

bool IdxBrowseClient::browse(const std::string& path, std::vector<databrowse::BrowseResponse>& responses) {
    const IndexState& s = state();
    if (!m_ready || s.failBrowse)
        return false;
    databrowse::BrowseResponse r;
    r.status = s.status;
    if (!s.error.empty())
        r.errors.push_back(s.error);
    for (const databrowse::BrowseItem& item : *indexOf(m_request.zonarkId, m_request.subclientId))
        if (PathUtil::IsPrefixPath(path, item.path))
            r.items.push_back(item);
    responses.push_back(std::move(r));
    return true;
}

const std::vector<databrowse::BrowseItem>* IdxBrowseClient::indexOf(int zonarkId, int subclientId) {
    auto it = state().index.find({zonarkId, subclientId});
    return it == state().index.end() ? nullptr : &it->second;
}

void ruxen::testcontrol::SetBrowseIndex(int zonarkId, int subclientId, std::vector<databrowse::BrowseItem> items) {
    state().index[{zonarkId, subclientId}] = std::move(items);
}

void ruxen::testcontrol::SetBrowseResponse(int status, const std::string& error) {
    state().status = status;
    state().error = error;
}

void ruxen::testcontrol::FailBrowse(bool fail) { state().failBrowse = fail; }

void ruxen::testcontrol::ResetBrowseIndex() { state() = IndexState(); }

namespace {
const ruxen::testcontrol::Registration kTestReset("index browse", &ruxen::testcontrol::ResetBrowseIndex);
}  // namespace
