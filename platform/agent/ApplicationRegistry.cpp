#include "platform/agent/ApplicationRegistry.h"

#include <map>

#include "platform/base/NoDestructor.h"
#include "platform/base/NumberParse.h"
#include "platform/base/TestControl.h"

namespace {

struct Entry {
    unsigned zonarkId;
    AppRecord record;
};

std::map<unsigned long, Entry>& table() {
    static ruxen::NoDestructor<std::map<unsigned long, Entry>> t;  // used from exit paths
    return *t;
}

}  // namespace

AppRecord* ApplicationRegistry::find(unsigned zonarkId, unsigned long appId) {
    auto it = table().find(appId);
    if (it == table().end() || (zonarkId != 0 && it->second.zonarkId != zonarkId))
        return nullptr;
    return &it->second.record;
}

bool ApplicationRegistry::instanceEngineType(const ApplicationId& id, unsigned long& out) {
    const AppRecord* r = find(id.zonarkId, id.appId);
    if (r == nullptr || !r->hasInstance)
        return false;
    out = r->instanceEngineType;
    return true;
}

void ApplicationRegistry::registerApplication(unsigned zonarkId, unsigned long appId, const AppRecord& record) {
    table()[appId] = Entry{zonarkId, record};
}

void ruxen::testcontrol::ResetApplicationRegistry() { table().clear(); }

namespace {
const ruxen::testcontrol::Registration kTestReset("application registry",
                                                  &ruxen::testcontrol::ResetApplicationRegistry);
}  // namespace

ApplicationId::ApplicationId(const std::string& text) {
    size_t colon = text.find(':');
    unsigned z = 0, a = 0;
    if (colon != std::string::npos && NumberParse::Int(text.substr(0, colon), z) &&
        NumberParse::Int(text.substr(colon + 1), a)) {
        zonarkId = z;
        appId = a;
    }
}

std::string ApplicationId::toString() const { return std::to_string(zonarkId) + ":" + std::to_string(appId); }

void ApplicationId::getAppIdInfo() { m_lookupError = ApplicationRegistry::find(zonarkId, appId) ? 0 : -1; }

unsigned long ApplicationId::getAppType() const {
    const AppRecord* r = ApplicationRegistry::find(zonarkId, appId);
    return r ? r->appType : 0;
}

namespace {

AppRecord* subclientOf(unsigned long appId) {
    AppRecord* r = ApplicationRegistry::find(0, appId);
    return r && r->hasSubclient ? r : nullptr;
}

}  // namespace

bool Subclient::exists() const { return subclientOf(m_appId) != nullptr; }

bool Subclient::getUseBlockLevelBackup() const {
    const AppRecord* r = subclientOf(m_appId);
    return r && r->blockLevelBackup;
}

bool Subclient::isCommandLineBackup() const {
    const AppRecord* r = subclientOf(m_appId);
    return r && r->commandLineBackup;
}

bool Subclient::getPreviousJobId(unsigned long long& out) const {
    const AppRecord* r = subclientOf(m_appId);
    if (r == nullptr || !r->previousJobKnown)
        return false;
    out = r->previousJobId;
    return true;
}

bool Subclient::copyBkpRefTime(std::string& out) const {
    const AppRecord* r = subclientOf(m_appId);
    if (r == nullptr || !r->hasRefTime)
        return false;
    out = r->refTime;
    return true;
}

bool Subclient::setBkpRefTime(const std::string& text) {
    AppRecord* r = subclientOf(m_appId);
    if (r == nullptr)
        return false;
    r->hasRefTime = true;
    r->refTime = text;
    return true;
}

bool Subclient::getContent(std::vector<std::string>& out) const {
    const AppRecord* r = subclientOf(m_appId);
    if (r == nullptr)
        return false;
    out = r->contentEntries;
    return true;
}
