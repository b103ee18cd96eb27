// The one record-sink interface under the archive client and the pipeline
// layer: whatever carries typed records to the storage side (a local stream
// file, memory in tests).
//
// Buffer contract:
//   - Allocate returns a payload pointer aligned to kRecordBufferAlignment
//     with room for at least `size` bytes, or null. *granted receives the
//     room granted; only the memory sink's fault injection grants less than
//     was asked, and callers check it.
//   - Write sends `length` bytes of an allocated buffer as one record of
//     `type`. 0 means success and consumes the buffer. Non-zero leaves the
//     buffer with the caller, who frees it. A length above the grant is an
//     error.
//   - Free returns a buffer that was not sent. Freeing null, or a buffer
//     that was already freed or consumed, is harmless (as long as the same
//     address has not been handed out again by a later Allocate).
//   - Flush pushes staged records to their destination; Close flushes and
//     ends the sink (a stream file gets its end record). Both answer 0 or
//     non-zero. The end record's type, 0xFFFFFFFF, is refused by Write.
// Buffers are pooled: the per-record path does not go to the allocator.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/base/Export.h"

constexpr size_t kRecordBufferAlignment = 4096;

class RUXEN_EXPORT RecordSink {
public:
    virtual ~RecordSink() = default;

    virtual char* Allocate(uint32_t size, uint32_t* granted) = 0;
    virtual int Write(char* buffer, uint32_t type, uint32_t length) = 0;
    virtual void Free(char* buffer) = 0;
    virtual int Flush() = 0;
    virtual int Close() = 0;
};
