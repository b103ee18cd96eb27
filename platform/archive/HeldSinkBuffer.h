// One buffer held between its allocation from a record sink and its write:
// the buffer contract shared by the archive client and the pipeline layer.
// An allocation grants at least what was asked or answers null (unless the
// caller accepts less: then it keeps whatever room the sink granted); a new
// allocation gives a buffer still held back to the sink first; a successful
// write consumes the buffer, a failed one leaves it held; freeing is
// idempotent.
#pragma once

#include <cstdint>

#include "platform/archive/RecordSink.h"

class HeldSinkBuffer {
public:
    // `what` names the buffer in log lines ("data", "command", "pipeline").
    HeldSinkBuffer(RecordSink* sink, const char* what) : m_sink(sink), m_what(what) {}
    ~HeldSinkBuffer() { Free(); }
    HeldSinkBuffer(const HeldSinkBuffer&) = delete;
    HeldSinkBuffer& operator=(const HeldSinkBuffer&) = delete;

    // Room for at least `size` bytes; *granted (when given) receives the
    // room granted, 0 on failure. Null on failure (logged). With
    // `acceptLess` a smaller grant is kept too: the caller must read
    // *granted and write no more than that.
    char* Allocate(uint32_t size, uint32_t* granted, bool acceptLess = false);
    // Writes the held buffer as one record: 0 (consumed) or the sink's
    // status (still held); -1 when nothing is held.
    int Write(uint32_t type, uint32_t length);
    void Free();

    char* Get() const { return m_data; }
    RecordSink* Sink() const { return m_sink; }

private:
    RecordSink* m_sink;
    const char* m_what;
    char* m_data = nullptr;
};
