#include "platform/agent/KXPIDirectories.h"

#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"

namespace {

bool Directory(const char* section, const char* key, std::string& out) {
    std::string value;
    if (!KXPlatformInfo::getString(section, key, value) || value.empty())
        return false;
    out = value;
    return true;
}

}  // namespace

bool KXPI_Bayloft::getIndexCacheDirectory(const std::string& client, std::string& out) {
    KXLOG(5, "index cache directory of client [%s]", client.c_str());
    return Directory(kBayloftSection, "dIndexCacheDir", out);
}

bool KXPI_Bayloft::getIndexLogsCacheDirectory(const std::string& client, std::string& out) {
    KXLOG(5, "index logs cache directory of client [%s]", client.c_str());
    return Directory(kBayloftSection, "dIndexLogsCacheDir", out);
}

bool KXPI_Zonclient::getJobResultsDirectory(std::string& out) {
    return Directory(kZonclientSection, "dJobResultsDir", out);
}

std::vector<std::string> KXPI_Zonclient::getAgentDirectories() {
    std::vector<std::string> dirs;
    std::string d;
    for (const char* key : {"dInstallDir", "dLogDir", "dJobResultsDir"})
        if (Directory(kZonclientSection, key, d))
            dirs.push_back(d);
    return dirs;
}
