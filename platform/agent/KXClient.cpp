#include "platform/agent/KXClient.h"

#include <unistd.h>

#include "platform/agent/KXPlatformInfo.h"

std::string KXPI_Focus::getFocusClientName(bool) {
    std::string name;
    if (KXPlatformInfo::getString(kSessionSection, kKeyClientName, name) && !name.empty())
        return name;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return std::string();
    return host;
}

unsigned long KXClient::getClientId() const {
    long id = 0;
    if (m_name.empty() || m_name != KXPI_Focus::getFocusClientName(true) ||
        !KXPlatformInfo::getNumber(kSessionSection, kKeyClientId, id) || id < 0)
        return 0;
    return static_cast<unsigned long>(id);
}
