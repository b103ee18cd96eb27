// The stages of a stream's performance counter (PerfCounter) that the
// per-file object and the block-level volume sender time, one place for
// their numbers and names. The file reader times its own (24 to 27,
// reader/CFileReader.cpp).
#pragma once

#include "platform/agent/PerfCounter.h"

namespace RuxenPerfStage {

using Id = PerfCounter::StageId;

// Headers of items without data and of volumes, and volume data.
constexpr Id kAllocateBuffer{0, "AllocateBuffer"};
constexpr Id kWriteBuffer{3, "WriteBuffer"};
constexpr Id kSendBuffer{5, "SendBuffer"};
// Header filling, from its start to its answer.
constexpr Id kInsidePopulateHeader{11, "InsidePopulateHeader"};
// Header sending: the conversion to network order and the item signature,
// then the buffer, the copy and the write of the record.
constexpr Id kBeforeConvertHeader{13, "BeforeConvertHeader"};
constexpr Id kAllocateBufferForHeader{14, "AllocateBufferForHeader"};
constexpr Id kHeaderMemCpy{15, "HeaderMemCpy"};
constexpr Id kHeaderWriteBuffer{16, "HeaderWriteBuffer"};
// The ACL optional header: its network form and its write, within the
// whole of the ACL step.
constexpr Id kSendOptHeader{19, "SendOptHeader"};
constexpr Id kAcl{28, "ACL"};
// The end-of-item record: its buffer, then its write.
constexpr Id kEndOfFileAllocBuffer{32, "EndOfFileAllocBuffer"};
constexpr Id kEndOfFileWriteBuffer{33, "EndOfFileWriteBuffer"};

}  // namespace RuxenPerfStage
