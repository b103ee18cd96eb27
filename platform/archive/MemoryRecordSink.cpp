#include "platform/archive/MemoryRecordSink.h"

#include <algorithm>
#include <cstring>

#include "platform/agent/KxLog.h"
#include "platform/archive/ArchiveStreamFormat.h"
#include "platform/base/Coding.h"

MemoryRecordSink::MemoryRecordSink() = default;
MemoryRecordSink::~MemoryRecordSink() = default;

void MemoryRecordSink::ResetFaults() {
    m_failAllocation = m_failWrite = m_failFlush = m_shortGrantCall = 0;
    m_shortGrantRoom = m_shortGrantAbove = m_overGrant = 0;
    m_allocateCalls = m_writeCalls = m_flushCalls = 0;
}

char* MemoryRecordSink::Allocate(uint32_t size, uint32_t* granted) {
    if (granted)
        *granted = 0;
    ++m_allocateCalls;
    if (m_allocateCalls == m_failAllocation) {
        KXLOG(-1, "injected failure of allocation %llu (%u bytes)", static_cast<unsigned long long>(m_allocateCalls),
              size);
        return nullptr;
    }
    if (size > kArchiveStreamMaxPayload) {
        KXLOG(-1, "record buffer of %u bytes requested; the stream carries at most %u", size, kArchiveStreamMaxPayload);
        return nullptr;
    }
    uint32_t room = std::max(size, m_overGrant);
    if (m_allocateCalls == m_shortGrantCall)
        room = std::min(room, m_shortGrantRoom);
    if (m_shortGrantAbove != 0 && room > m_shortGrantAbove)
        room = m_shortGrantAbove;
    char* p = m_pool.Acquire(room);
    if (!p)
        return nullptr;
    ++m_allocations;
    if (granted)
        *granted = room;
    return p;
}

int MemoryRecordSink::Write(char* buffer, uint32_t type, uint32_t length) {
    ++m_writeCalls;
    size_t room = 0;
    if (!m_pool.IsOut(buffer, &room)) {
        KXLOG(-1, "record of type %u is not in an allocated buffer", type);
        return -1;
    }
    if (length > room) {
        KXLOG(-1, "record of type %u: length %u exceeds the %zu bytes granted", type, length, room);
        return -1;
    }
    if (m_closed || type == kArchiveStreamEndRecord) {
        KXLOG(-1, "record of type %u written to a closed sink, or of the end record's type", type);
        return -1;
    }
    if (m_writeCalls == m_failWrite) {
        KXLOG(-1, "injected failure of write %llu (type %u, %u bytes)", static_cast<unsigned long long>(m_writeCalls),
              type, length);
        return -1;
    }
    m_index.push_back(Entry{type, m_bytes.size(), length});
    m_bytes.append(buffer, length);
    ++m_writes;
    m_pool.Release(buffer);
    return 0;
}

void MemoryRecordSink::Free(char* buffer) {
    if (m_pool.Release(buffer))
        ++m_frees;
}

int MemoryRecordSink::Flush() {
    ++m_flushCalls;
    if (m_flushCalls == m_failFlush) {
        KXLOG(-1, "injected failure of flush %llu", static_cast<unsigned long long>(m_flushCalls));
        return -1;
    }
    return m_closed ? -1 : 0;
}

int MemoryRecordSink::Close() {
    ++m_closeCalls;
    m_closed = true;
    return 0;
}

void MemoryRecordSink::ClearRecords() {
    m_bytes.clear();
    m_index.clear();
}

std::string MemoryRecordSink::Serialize() const {
    std::string out;
    out.reserve(kArchiveStreamPreambleSize + m_index.size() * kArchiveStreamFrameSize + m_bytes.size() +
                kArchiveStreamEndRecordSize);
    out.append(kArchiveStreamMagic, sizeof(kArchiveStreamMagic));
    ruxen::PutFixed32(&out, kArchiveStreamVersion);
    ArchiveStreamTally tally;
    for (const Entry& e : m_index) {
        ruxen::PutFixed32(&out, e.type);
        ruxen::PutFixed32(&out, static_cast<uint32_t>(e.length));
        out.append(m_bytes, e.offset, e.length);
        tally.Count(e.type, e.length);
    }
    if (m_closed) {
        char end[kArchiveStreamEndRecordSize];
        EncodeArchiveStreamEnd(end, tally, kStreamComplete);
        out.append(end, sizeof(end));
    }
    return out;
}
