#include "platform/index/FetchIndexInfo.h"

#include "platform/index/IdxBrowseClient.h"

int FetchIndexInfo::initBCDIndexBySubclient(int zonarkId, int subclientId, int, int) {
    m_zonarkId = zonarkId;
    m_subclientId = subclientId;
    m_open = IdxBrowseClient::indexOf(zonarkId, subclientId) != nullptr;
    return m_open ? 0 : 1;
}

bool FetchIndexInfo::lookupPath(const std::string& path, FInfoRespItem& out) const {
    const auto* index = m_open ? IdxBrowseClient::indexOf(m_zonarkId, m_subclientId) : nullptr;
    if (index == nullptr)
        return false;
    for (const databrowse::BrowseItem& item : *index) {
        if (item.path == path && item.hasNasBrowseMeta) {
            out = item.toFInfoRespItem();
            return true;
        }
    }
    return false;
}
