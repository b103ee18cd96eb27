// The snapshot utilities of database jobs, with the path functions of the
// database kinds that translate through them.
#pragma once

#include <string>

#include "platform/agent/ApplicationRegistry.h"
#include "platform/snapshot/TavSnapUtilBase.h"

class TavSnapUtilDb : public TavSnapUtilBase {
public:
    TavSnapUtilDb(int engineType, int mode, const ApplicationId& app, const std::string& hostName);

    void setRmanBasedMovementToTape(const bool& on) { m_rmanToTape = on; }
    bool rmanBasedMovementToTape() const { return m_rmanToTape; }

    // Path functions (DBTranslatePathFn).
    static CTyError translatePath(const std::string& srcPath, const SMVolSnapInfo& info, std::string& mountPath);
    static CTyError sybiqTranslatePath(const std::string& srcPath, const SMVolSnapInfo& info, std::string& mountPath);

private:
    ApplicationId m_app;
    std::string m_hostName;
    bool m_rmanToTape = false;
};
