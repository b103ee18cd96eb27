#include "platform/archive/SinkBufferPool.h"

#include <cstdlib>

#include "platform/agent/KxLog.h"
#include "platform/archive/RecordSink.h"

namespace {

// Capacities grow in whole pages, and at least to one page, so that a
// zero-byte record still has a real buffer.
size_t RoundCapacity(size_t room) {
    if (room == 0)
        return kRecordBufferAlignment;
    return (room + kRecordBufferAlignment - 1) / kRecordBufferAlignment * kRecordBufferAlignment;
}

char* SystemAllocate(size_t capacity) {
    void* p = nullptr;
    if (posix_memalign(&p, kRecordBufferAlignment, capacity) != 0)
        return nullptr;
    return static_cast<char*>(p);
}

}  // namespace

SinkBufferPool::SinkBufferPool() { m_blocks.reserve(8); }

SinkBufferPool::~SinkBufferPool() {
    for (Block& b : m_blocks)
        free(b.mem);
}

char* SinkBufferPool::Acquire(size_t room) {
    // The smallest idle block that fits; else grow the largest idle one, so
    // that the pool keeps few blocks of the sizes actually used.
    Block* best = nullptr;
    Block* largestIdle = nullptr;
    for (Block& b : m_blocks) {
        if (b.out)
            continue;
        if (b.capacity >= room && (!best || b.capacity < best->capacity))
            best = &b;
        if (!largestIdle || b.capacity > largestIdle->capacity)
            largestIdle = &b;
    }
    if (!best) {
        size_t capacity = RoundCapacity(room);
        char* mem = SystemAllocate(capacity);
        if (!mem) {
            KXLOG(-1, "cannot allocate a record buffer of %zu bytes", capacity);
            return nullptr;
        }
        ++m_systemAllocations;
        if (largestIdle) {
            free(largestIdle->mem);
            largestIdle->mem = mem;
            largestIdle->capacity = capacity;
            best = largestIdle;
        } else {
            m_blocks.push_back(Block{mem, capacity, 0, false});
            best = &m_blocks.back();
        }
    }
    best->out = true;
    best->room = room;
    ++m_outstanding;
    return best->mem;
}

bool SinkBufferPool::Release(char* p) {
    if (!p)
        return false;
    size_t idle = 0;
    Block* found = nullptr;
    for (Block& b : m_blocks) {
        if (!b.out)
            ++idle;
        else if (b.mem == p)
            found = &b;
    }
    if (!found)
        return false;
    found->out = false;
    found->room = 0;
    --m_outstanding;
    if (idle + 1 > kMaxIdleBlocks) {
        free(found->mem);
        *found = m_blocks.back();
        m_blocks.pop_back();
    }
    return true;
}

bool SinkBufferPool::IsOut(const char* p, size_t* room) const {
    if (!p)
        return false;
    for (const Block& b : m_blocks) {
        if (b.out && b.mem == p) {
            if (room)
                *room = b.room;
            return true;
        }
    }
    return false;
}
