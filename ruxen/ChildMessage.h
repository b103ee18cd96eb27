// What a child process tells its parent: 8-byte messages, a 32-bit type and
// a 32-bit value in host byte order (both ends run on one machine); the two
// stream-end types are followed by the stream's 24-byte totals.
//
//   type  value                        then
//   1     collect number finished      the parent answers with the next
//         (0 before the first)         assignment (RestartInfo_t)
//   2     0                            StreamTotals_t: the stream completed
//   -2    0                            StreamTotals_t: the stream failed
//
// Only -2 is shared with other programs of the agent; 1 and 2 are ours.
#pragma once

#include <cstddef>
#include <cstdint>

enum ChildMessageType : int32_t {
    kMsgStreamFailed = -2,
    kMsgNextCollectFile = 1,
    kMsgStreamCompleted = 2,
};

struct ChildMessage_t {
    int32_t type;
    int32_t value;
};

struct StreamTotals_t {
    uint64_t items;        // items sent
    uint64_t bytes;        // data bytes sent
    uint64_t failedItems;  // items counted as failed
};

static_assert(sizeof(ChildMessage_t) == 8 && offsetof(ChildMessage_t, value) == 4, "ChildMessage_t layout");
static_assert(sizeof(StreamTotals_t) == 24 && offsetof(StreamTotals_t, bytes) == 8 &&
                  offsetof(StreamTotals_t, failedItems) == 16,
              "StreamTotals_t layout");
