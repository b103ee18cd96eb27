// The pipeline layer as the backup engine uses it: data buffers sent as
// typed records over a record sink. The buffer contract is the archive
// client's (KXArchive.h): an allocation grants at least what was asked or
// answers null; a successful send consumes the buffer; a failed send leaves
// it with the caller; freeing is idempotent; payload pointers are aligned to
// kRecordBufferAlignment.
//
// The layer holds one buffer at a time (its "current tag data"). A new
// allocation while the previous buffer is still held gives that one back to
// the sink first.
#pragma once

#include <cstdint>

#include "platform/archive/HeldSinkBuffer.h"
#include "platform/archive/RecordSink.h"

class CPipelayer {
public:
    // The sink is not owned and must outlive the layer.
    explicit CPipelayer(RecordSink* sink);
    ~CPipelayer();
    CPipelayer(const CPipelayer&) = delete;
    CPipelayer& operator=(const CPipelayer&) = delete;

    // A buffer with room for at least `size` bytes; *granted (when given)
    // receives the room granted. Null on failure (logged). With
    // `acceptLess` a smaller grant is kept: the caller reads *granted.
    char* AllocateDataBuffer(unsigned size, unsigned* granted, bool acceptLess = false);
    // Sends the held buffer as one record. 0 on success (the buffer is
    // consumed); non-zero on failure (the buffer stays held).
    int SendDataBuffer(unsigned type, unsigned length);
    // Gives the held buffer back unsent; harmless when none is held.
    void FreeDataBuffer();

    // The held buffer's payload (null when none is held). The header sender
    // reads the name length of a header record from it.
    const char* GetCurrentTagDataPtr() const { return m_data.Get(); }

    RecordSink* Sink() const { return m_data.Sink(); }

private:
    HeldSinkBuffer m_data;
};
