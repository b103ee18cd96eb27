#include "platform/content/CMonikerResolver.h"

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/base/QMErrorUtil.h"

namespace {

struct Table {
    std::mutex lock;
    std::map<std::string, std::vector<std::string>> monikers;
    CMonikerResolver::Failure failure = CMonikerResolver::FailNothing;
};
Table& TheTable() {
    static Table t;
    return t;
}

bool Failing(CMonikerResolver::Failure which) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> hold(t.lock);
    return t.failure == which;
}

}  // namespace

std::unique_ptr<CContentItem> CContentItem::Create(const std::string& text) {
    if (Failing(CMonikerResolver::FailCreateItem))
        return nullptr;
    return std::unique_ptr<CContentItem>(new CContentItem(text));
}

std::unique_ptr<CMonikerResolver> CMonikerResolver::Create() {
    if (Failing(FailCreateResolver))
        return nullptr;
    return std::unique_ptr<CMonikerResolver>(new CMonikerResolver());
}

CTyError CMonikerResolver::ExpandMonikers(const CContentItem& item, std::vector<std::string>& out) {
    out.clear();
    if (Failing(FailExpand))
        return QMErrorUtil::ErrorErrNo(QM_LOC, EIO, "cannot expand the monikers of [%s]", item.Text().c_str());
    Table& t = TheTable();
    std::lock_guard<std::mutex> hold(t.lock);
    for (const auto& m : t.monikers) {
        size_t at = item.Text().find(m.first);
        if (at == std::string::npos)
            continue;
        for (const std::string& path : m.second) {
            std::string expanded = item.Text();
            expanded.replace(at, m.first.size(), path);
            out.push_back(expanded);
        }
    }
    return CTyError();
}

void CMonikerResolver::RegisterMoniker(const std::string& moniker, const std::vector<std::string>& paths) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> hold(t.lock);
    t.monikers[moniker] = paths;
}

void CMonikerResolver::SetFailureForTest(Failure failure) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> hold(t.lock);
    t.failure = failure;
}

void CMonikerResolver::ResetForTest() {
    Table& t = TheTable();
    std::lock_guard<std::mutex> hold(t.lock);
    t.monikers.clear();
    t.failure = FailNothing;
}
