#include "zxhsm/ZXHSMCommon/ZXHSMMntTab.h"

#include <cstring>
#include <string>

#include "platform/agent/KxLog.h"
#include "platform/base/KxException.h"
#include "platform/os/KxMntTab.h"
#include "platform/text/PathUtil.h"

namespace {

const char kSource[] = "ZXHSMMntTab";

// Frees the reader's nodes on every way out, exceptions included.
struct NodeListGuard {
    KxMntEntry* list;
    ~NodeListGuard() { kxFreeMntTab(list); }
};

}  // namespace

ZXHSMMntTab::ZXHSMMntTab() {
    char err[1024];
    NodeListGuard guard{kxReadMntTab(err, sizeof(err))};
    if (guard.list == nullptr)
        throw KxException("ZXHSMMntTab", err, kSource, __LINE__, -1);
    for (const KxMntEntry* n = guard.list; n != nullptr; n = n->next) {
        Entry e;
        e.special = n->special;
        e.dir = n->dir;
        e.flag = n->flag != 0;
        e.type = n->type;
        e.opts = n->opts;
        m_entries.push_back(std::move(e));
    }
}

const ZXHSMMntTab::Entry& ZXHSMMntTab::find(const char* file) const {
    if (file == nullptr || file[0] == '\0')
        throw KxException("ZXHSMMntTab::find", "Internal error: fname==NULL", kSource, __LINE__, -1);
    const std::string path(file);
    auto it = PathUtil::LongestPrefixScan(m_entries.begin(), m_entries.end(), path,
                                          [](const Entry& e) -> const std::string& { return e.dir; });
    if (it == m_entries.end())
        throw KxException("ZXHSMMntTab::find", "Failed to find mount point containing file " + path, kSource, __LINE__,
                          -1);
    KXLOG(4, "%s lies on %s (%s)", file, it->dir.c_str(), it->special.c_str());
    return *it;
}

const ZXHSMMntTab::Entry* ZXHSMMntTab::find(const char* dir, const char* second) const {
    if (dir == nullptr || second == nullptr)
        return nullptr;
    const Entry* found = nullptr;
    for (const Entry& e : m_entries) {
        if (e.dir == dir && e.opts == second)
            found = &e;
    }
    return found;
}
