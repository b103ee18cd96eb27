// What the collect-file arbitrator asks of the job object: whether a regular
// collect file must still wait for the hard-link collect files of its split
// group. The job object answers from its parent group map.
#pragma once

#include <cstdint>

class HardLinkHoldQuery {
public:
    // True while collect file `collect` must not be handed out.
    virtual bool ProcessingHardLinkCollect(int32_t collect) = 0;

protected:
    ~HardLinkHoldQuery() = default;
};
