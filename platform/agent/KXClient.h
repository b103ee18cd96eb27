// The client this agent runs on, as the management server knows it: its
// name and its numeric client id.
//
// Stand-in: the registry's section "Session" names the client (sClientName,
// else the host name) and gives its id (nClientId, else 0). Only this
// machine's client is known; any other name has the id 0.
#pragma once

#include <string>

#include "platform/agent/KXPlatformInfo.h"  // kSessionSection

constexpr char kKeyClientName[] = "sClientName";
constexpr char kKeyClientId[] = "nClientId";

namespace KXPI_Focus {
// The name of the client the agent runs for; the argument is kept for
// callers and changes nothing.
std::string getFocusClientName(bool);
}  // namespace KXPI_Focus

class KXClient {
public:
    explicit KXClient(const std::string& name) : m_name(name) {}
    unsigned long getClientId() const;

private:
    std::string m_name;
};
