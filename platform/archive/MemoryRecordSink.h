// A record sink that keeps the records in memory, for tests, with fault
// injection and counters.
//
// Faults are numbered by calls since construction (or ResetFaults), from 1:
//   FailAllocation(n)       the n-th Allocate answers null
//   FailWrite(n)            the n-th Write answers non-zero and leaves the
//                           buffer with the caller
//   FailFlush(n)            the n-th Flush answers non-zero
//   ShortGrant(n, room)     the n-th Allocate grants min(size, room) bytes
//   ShortGrantAbove(room)   every Allocate asking more than `room` bytes is
//                           granted `room` (0 switches it off)
//   OverGrant(room)         every Allocate asking less than `room` bytes is
//                           granted `room`, as a sink with fixed-size
//                           buffers does (0 switches it off)
// Each numbered fault fires once; 0 switches it off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/archive/RecordSink.h"
#include "platform/archive/SinkBufferPool.h"

class MemoryRecordSink : public RecordSink {
public:
    MemoryRecordSink();
    ~MemoryRecordSink() override;

    char* Allocate(uint32_t size, uint32_t* granted) override;
    int Write(char* buffer, uint32_t type, uint32_t length) override;
    void Free(char* buffer) override;
    int Flush() override;
    int Close() override;

    // Fault injection.
    void FailAllocation(uint64_t n) { m_failAllocation = n; }
    void FailWrite(uint64_t n) { m_failWrite = n; }
    void FailFlush(uint64_t n) { m_failFlush = n; }
    void ShortGrant(uint64_t n, uint32_t room) {
        m_shortGrantCall = n;
        m_shortGrantRoom = room;
    }
    void ShortGrantAbove(uint32_t room) { m_shortGrantAbove = room; }
    void OverGrant(uint32_t room) { m_overGrant = room; }
    void ResetFaults();

    // The records written, in order.
    size_t RecordCount() const { return m_index.size(); }
    uint32_t RecordType(size_t i) const { return m_index[i].type; }
    std::string_view RecordBytes(size_t i) const {
        return std::string_view(m_bytes.data() + m_index[i].offset, m_index[i].length);
    }
    void ClearRecords();
    // The records as the stream file would hold them: preamble, frames and
    // payloads, and the end record once the sink is closed (see
    // ArchiveStreamFormat.h).
    std::string Serialize() const;

    // Counters. Calls counts every call; the others count effects.
    uint64_t AllocateCalls() const { return m_allocateCalls; }
    uint64_t Allocations() const { return m_allocations; }  // buffers handed out
    uint64_t WriteCalls() const { return m_writeCalls; }
    uint64_t Writes() const { return m_writes; }  // records stored
    uint64_t Frees() const { return m_frees; }    // buffers taken back unsent
    uint64_t FlushCalls() const { return m_flushCalls; }
    uint64_t CloseCalls() const { return m_closeCalls; }
    size_t Outstanding() const { return m_pool.Outstanding(); }
    bool IsClosed() const { return m_closed; }
    // Asks for memory from the system so far (shows buffer reuse).
    uint64_t SystemAllocations() const { return m_pool.SystemAllocations(); }

private:
    struct Entry {
        uint32_t type;
        size_t offset;
        size_t length;
    };
    SinkBufferPool m_pool;
    std::string m_bytes;
    std::vector<Entry> m_index;
    bool m_closed = false;

    uint64_t m_failAllocation = 0;
    uint64_t m_failWrite = 0;
    uint64_t m_failFlush = 0;
    uint64_t m_shortGrantCall = 0;
    uint32_t m_shortGrantRoom = 0;
    uint32_t m_shortGrantAbove = 0;
    uint32_t m_overGrant = 0;

    uint64_t m_allocateCalls = 0;
    uint64_t m_allocations = 0;
    uint64_t m_writeCalls = 0;
    uint64_t m_writes = 0;
    uint64_t m_frees = 0;
    uint64_t m_flushCalls = 0;
    uint64_t m_closeCalls = 0;
};
