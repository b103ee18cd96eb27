#include "platform/agent/App_JobErrorControlManager.h"

#include <mutex>

namespace {

std::mutex g_lock;
App_JobErrorControlManager::Source& TheSource() {
    static App_JobErrorControlManager::Source source;
    return source;
}

}  // namespace

int App_JobErrorControlManager::getJobErrorRules(const std::string& entity, ULONG appType, std::string& xml, int flag) {
    Source source;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        source = TheSource();
    }
    return source ? source(entity, appType, xml, flag) : 1;
}

void App_JobErrorControlManager::SetSource(Source source) {
    std::lock_guard<std::mutex> hold(g_lock);
    TheSource() = std::move(source);
}
