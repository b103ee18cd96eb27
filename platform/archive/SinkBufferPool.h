// The buffers behind a record sink: page-aligned blocks that are handed out,
// taken back and handed out again, so that sending a record does not go to
// the allocator. The pool remembers which blocks are out and how much room
// each was granted, which lets a sink check a write against its grant and
// makes a second release of the same block harmless.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class SinkBufferPool {
public:
    // Blocks idle in the pool beyond this many are given back to the system.
    static constexpr size_t kMaxIdleBlocks = 4;

    SinkBufferPool();
    ~SinkBufferPool();
    SinkBufferPool(const SinkBufferPool&) = delete;
    SinkBufferPool& operator=(const SinkBufferPool&) = delete;

    // A block aligned to kRecordBufferAlignment with room for `room` bytes
    // (0 is allowed and still yields a block), recorded as granting `room`.
    // Null when the system has no memory.
    char* Acquire(size_t room);

    // Takes a block back. False (and nothing happens) when `p` is null or
    // not a block that is out.
    bool Release(char* p);

    // Whether `p` is a block that is out; *room receives its grant.
    bool IsOut(const char* p, size_t* room) const;

    size_t Outstanding() const { return m_outstanding; }
    // How many times the pool asked the system for memory (tests use it to
    // show that steady traffic reuses blocks).
    uint64_t SystemAllocations() const { return m_systemAllocations; }

private:
    struct Block {
        char* mem;
        size_t capacity;
        size_t room;
        bool out;
    };
    std::vector<Block> m_blocks;
    size_t m_outstanding = 0;
    uint64_t m_systemAllocations = 0;
};
