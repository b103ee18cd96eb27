// Records of the parent's collect-file bookkeeping.
//
// RestartInfo_t is one collect file of the parent's restart list and also the
// 28-byte assignment the parent sends a child: seven 32-bit integers in host
// byte order. CollectFile_t is the arbitrator's copy of one collect file of a
// disk group, filled from the restart list.
#pragma once

#include <cstddef>
#include <cstdint>

struct RestartInfo_t {
    int32_t collectFile;  // collect number; 0 in an assignment: nothing left
    int32_t offset;       // restart offset; -1 finished, -2 failed
    int32_t childPid;     // the child the collect file is assigned to
    int32_t splitHead;    // first collect number of its split group
    int32_t state;
    int32_t archiveId;
    int32_t archiveType;
};
static_assert(sizeof(RestartInfo_t) == 28, "RestartInfo_t layout");
static_assert(offsetof(RestartInfo_t, offset) == 4, "RestartInfo_t layout");
static_assert(offsetof(RestartInfo_t, childPid) == 8, "RestartInfo_t layout");
static_assert(offsetof(RestartInfo_t, splitHead) == 12, "RestartInfo_t layout");
static_assert(offsetof(RestartInfo_t, state) == 16, "RestartInfo_t layout");
static_assert(offsetof(RestartInfo_t, archiveId) == 20, "RestartInfo_t layout");
static_assert(offsetof(RestartInfo_t, archiveType) == 24, "RestartInfo_t layout");

struct CollectFile_t {
    int32_t collectFile;  // collect number
    int32_t childPid;     // the child that took it; -1 while it is free
    int32_t offset;
    int32_t archiveId;
    int32_t archiveType;
};
static_assert(sizeof(CollectFile_t) == 20, "CollectFile_t layout");
static_assert(offsetof(CollectFile_t, childPid) == 4, "CollectFile_t layout");
static_assert(offsetof(CollectFile_t, offset) == 8, "CollectFile_t layout");
static_assert(offsetof(CollectFile_t, archiveId) == 12, "CollectFile_t layout");
static_assert(offsetof(CollectFile_t, archiveType) == 16, "CollectFile_t layout");
