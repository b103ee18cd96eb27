#include "platform/snapshot/StandInFixtures.h"

#include "platform/agent/KXPlatformInfo.h"

namespace StandInFixtures {

std::string PathFor(long long jobId, const char* suffix, std::string& error) {
    std::string dir;
    if (!KXPlatformInfo::getString(kSection, kDirKey, dir) || dir.empty()) {
        error = std::string("no fixture directory: registry ") + kSection + "/" + kDirKey + " is not set";
        return std::string();
    }
    return dir + "/" + std::to_string(jobId) + suffix;
}

}  // namespace StandInFixtures
