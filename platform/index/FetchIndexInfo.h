// The index-cache look-up: per-path entries of a subclient's last backups.
//
// Stand-in: reads the in-process index of IdxBrowseClient.
#pragma once

#include <string>

#include "platform/index/FInfoRespItem.h"

class FetchIndexInfo {
public:
    // Adds the given bits to the initialisation flags.
    void setInitFlags(unsigned int flags) { m_initFlags |= flags; }
    unsigned int initFlags() const { return m_initFlags; }
    void setCacheType(int type) { m_cacheType = type; }

    // Opens the cache of a subclient's index: 0, or 1 when the subclient has
    // no index.
    int initBCDIndexBySubclient(int zonarkId, int subclientId, int, int);
    // The entry of `path`: true with `out` filled, false when the index holds
    // none (or the cache is not open).
    bool lookupPath(const std::string& path, FInfoRespItem& out) const;
    void end() { m_open = false; }

private:
    unsigned int m_initFlags = 0;
    int m_cacheType = 0;
    int m_zonarkId = 0;
    int m_subclientId = 0;
    bool m_open = false;
};
