// The arbitrator's copy of one collect file of a disk group, filled from the
// parent's restart list (hardlinks/RestartInfo.h): five 32-bit integers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hardlinks/RestartInfo.h"

struct CollectFile_t {
    int32_t collectNumber;  // the collect file's number
    int32_t childPid;       // the child that took it; -1 while it is free
    int32_t offset;
    int32_t archiveId;
    int32_t archiveType;
};
static_assert(sizeof(CollectFile_t) == 20, "CollectFile_t layout");
static_assert(offsetof(CollectFile_t, childPid) == 4, "CollectFile_t layout");
static_assert(offsetof(CollectFile_t, offset) == 8, "CollectFile_t layout");
static_assert(offsetof(CollectFile_t, archiveId) == 12, "CollectFile_t layout");
static_assert(offsetof(CollectFile_t, archiveType) == 16, "CollectFile_t layout");
