// One collect file as the collect-file arbitrator sees it: five 32-bit
// integers, filled from the parent's restart list.
#pragma once

#include <cstddef>
#include <cstdint>

struct CollectFile_t {
    int32_t collectNumber;
    int32_t child;  // the child process it is assigned to, -1 none
    int32_t offset;
    int32_t archiveId;
    int32_t archiveType;
};

static_assert(sizeof(CollectFile_t) == 20, "CollectFile_t is 20 bytes");
static_assert(offsetof(CollectFile_t, child) == 4 && offsetof(CollectFile_t, offset) == 8 &&
                  offsetof(CollectFile_t, archiveId) == 12 && offsetof(CollectFile_t, archiveType) == 16,
              "CollectFile_t field offsets");
