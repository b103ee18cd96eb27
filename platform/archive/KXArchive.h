// The archive client as the backup engine uses it: buffers for data records
// and for command records, sent over a record sink.
//
// Buffer contract: an allocation grants at least what was asked or answers
// null; a successful write consumes the buffer; a failed write leaves it
// with the caller, who frees it (or the next allocation or the destructor
// does); freeing is idempotent; payload pointers are aligned to
// kRecordBufferAlignment, so a reader can read straight into them.
//
// The client holds one data buffer and one command buffer at a time. A new
// allocation while the previous buffer of the same kind is still held gives
// the previous one back to the sink first: only the last one can be sent or
// freed through this interface, so keeping it would leak it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/archive/HeldSinkBuffer.h"
#include "platform/archive/RecordSink.h"
#include "platform/base/Export.h"

class RUXEN_EXPORT KXArchive {
public:
    // The sink is not owned and must outlive the client.
    explicit KXArchive(RecordSink* sink);
    ~KXArchive();
    KXArchive(const KXArchive&) = delete;
    KXArchive& operator=(const KXArchive&) = delete;

    // A data buffer with room for at least `size` bytes; *granted (when
    // given) receives the room granted. Null on failure (logged). With
    // `acceptLess` a smaller grant is kept: the caller reads *granted.
    char* AllocateDataBuffer(unsigned size, unsigned* granted, bool acceptLess = false);
    // Sends the last allocated data buffer as one record. 0 on success (the
    // buffer is consumed), else the client's status: -1 with no buffer, the
    // sink's answer otherwise (the buffer stays held).
    int WriteDataBuffer(unsigned type, unsigned length);
    // Gives the held data buffer back unsent; harmless when none is held.
    void FreeDataBuffer();

    // A command buffer of at least `size` bytes, or null (logged).
    char* allocateCmdBuffer(unsigned size);
    // Sends the command buffer and waits for the storage side's answer: the
    // record is written and the sink flushed, and the answer is the result
    // of both (0 success). On failure of the write the buffer stays held
    // until freeCmdBuffer, the next allocateCmdBuffer or the destructor.
    int writeSyncBuffer(unsigned type, unsigned length);
    void freeCmdBuffer();

    // The item-level signature handed to the storage side with the next
    // records. A null text or a negative length clears it.
    void SetFileSignatureData(const char* text, int length);
    bool HasFileSignatureData() const { return m_hasSignature; }
    const std::string& GetFileSignatureData() const { return m_signature; }

    unsigned GetArchiveFileNumber() const { return m_archiveFileNumber; }
    void SetArchiveFileNumber(unsigned number) { m_archiveFileNumber = number; }

    RecordSink* Sink() const { return m_data.Sink(); }
    // The data buffer currently held (null when none).
    char* CurrentDataBuffer() const { return m_data.Get(); }

private:
    HeldSinkBuffer m_data;
    HeldSinkBuffer m_cmd;
    std::string m_signature;
    bool m_hasSignature = false;
    unsigned m_archiveFileNumber = 0;
};
