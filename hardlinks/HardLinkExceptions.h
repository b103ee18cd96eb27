// The hard-link manager's two exception types. Both hold only a message.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/base/Export.h"

// A recoverable failure: the caller turns the hard-link feature off and goes on.
class RUXEN_EXPORT HardLinkManagerBaseException : public std::runtime_error {
public:
    explicit HardLinkManagerBaseException(const std::string& message) : std::runtime_error(message) {}
};

// The split or the merge failed: the hard-link feature is turned off and the
// phase or job fails.
class RUXEN_EXPORT HardLinkManagerCriticalException : public HardLinkManagerBaseException {
public:
    explicit HardLinkManagerCriticalException(const std::string& message) : HardLinkManagerBaseException(message) {}
};
