// The job error-rule service of the management server: given the entity
// string of a client, an application type and the flag 1, it answers 0 and
// the client's rules in the message form of platform/agent/JobErrorRuleMessages.h,
// or non-zero when none are defined.
//
// The service is a source the process installs (the host program, or a test);
// with none installed every question answers 1 (no rules defined).
#pragma once

#include <functional>
#include <string>

#include "platform/base/Export.h"
#include "platform/base/KxTypes.h"

class RUXEN_EXPORT App_JobErrorControlManager {
public:
    using Source = std::function<int(const std::string& entity, ULONG appType, std::string& xml, int flag)>;

    static int getJobErrorRules(const std::string& entity, ULONG appType, std::string& xml, int flag);

    // Installs the source (an empty function removes it).
    static void SetSource(Source source);
};
