#include "platform/content/CMonikerResolver.h"

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/base/NoDestructor.h"
#include "platform/base/QMErrorUtil.h"
#include "platform/base/TestControl.h"

namespace {

using ruxen::testcontrol::MonikerFailure;

struct Table {
    std::mutex lock;
    std::map<std::string, std::vector<std::string>> monikers;
    MonikerFailure failure = MonikerFailure::kNone;  // the step every call of which fails
};
Table& TheTable() {
    static ruxen::NoDestructor<Table> t;
    return *t;
}

bool Failing(MonikerFailure which) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> hold(t.lock);
    return t.failure == which;
}

}  // namespace

std::unique_ptr<CContentItem> CContentItem::Create(const std::string& text) {
    if (Failing(MonikerFailure::kCreateItem))
        return nullptr;
    return std::unique_ptr<CContentItem>(new CContentItem(text));
}

std::unique_ptr<CMonikerResolver> CMonikerResolver::Create() {
    if (Failing(MonikerFailure::kCreateResolver))
        return nullptr;
    return std::unique_ptr<CMonikerResolver>(new CMonikerResolver());
}

CTyError CMonikerResolver::ExpandMonikers(const CContentItem& item, std::vector<std::string>& out) {
    out.clear();
    if (Failing(MonikerFailure::kExpand))
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

void ruxen::testcontrol::FailMonikers(MonikerFailure failure) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> hold(t.lock);
    t.failure = failure;
}

void ruxen::testcontrol::ResetMonikers() {
    Table& t = TheTable();
    std::lock_guard<std::mutex> hold(t.lock);
    t.monikers.clear();
    t.failure = MonikerFailure::kNone;
}

namespace {
const ruxen::testcontrol::Registration kTestReset("monikers", &ruxen::testcontrol::ResetMonikers);
}  // namespace
