// The parent's record of one collect file of a job, also its assignment
// message to a child: seven 32-bit integers.
#pragma once

#include <cstddef>
#include <cstdint>

struct RestartInfo_t {
    int32_t collectNumber;  // the collect file's number
    int32_t offset;         // restart offset; -1 finished, -2 failed
    int32_t childPid;       // the child working on it
    int32_t splitHead;      // the first collect file of its split group
    int32_t state;
    int32_t archiveId;
    int32_t archiveType;
};

// Restart-offset values with a meaning of their own.
constexpr int32_t kRestartFinished = -1;
constexpr int32_t kRestartFailed = -2;

static_assert(sizeof(RestartInfo_t) == 28, "RestartInfo_t is 28 bytes");
static_assert(offsetof(RestartInfo_t, offset) == 4 && offsetof(RestartInfo_t, childPid) == 8 &&
                  offsetof(RestartInfo_t, splitHead) == 12 && offsetof(RestartInfo_t, state) == 16 &&
                  offsetof(RestartInfo_t, archiveId) == 20 && offsetof(RestartInfo_t, archiveType) == 24,
              "RestartInfo_t field offsets");
