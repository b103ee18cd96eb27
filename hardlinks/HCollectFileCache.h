// The hard-link manager's open H collect files, by collect number, bounded:
// when more than `capacity` are open the least recently used one that no
// one else holds is closed (its buffered lines written; a failure throws).
// A file closed this way is reopened on its next use and appended to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "hardlinks/HCollectFile.h"

class HCollectFileCache {
public:
    using Ptr = std::shared_ptr<HCollectFile>;
    static constexpr size_t kDefaultCapacity = 64;

    explicit HCollectFileCache(size_t capacity = kDefaultCapacity) : m_capacity(capacity) {}

    // H collect file `number` in `mode`: the cached one, else a new one (a
    // cached file in the other mode is closed first). Throws
    // HardLinkManagerBaseException.
    Ptr Get(uint32_t number, int mode, const std::string& directory, const std::string& baseName,
            const std::string& suffix);

    // Closes file `number` (checked: throws when its last write or its close
    // fails) and forgets it. Absent numbers are no error.
    void Drop(uint32_t number);
    // Closes and forgets every file; failures are logged, not thrown.
    void Clear() noexcept;
    // Takes over the other cache's files that this one does not hold.
    void TakeFrom(HCollectFileCache& other);

    size_t size() const { return m_files.size(); }
    void SetCapacity(size_t capacity) { m_capacity = capacity ? capacity : 1; }

private:
    struct Entry {
        Ptr file;
        uint64_t lastUse = 0;
    };
    void EvictIfFull();

    std::map<uint32_t, Entry> m_files;
    size_t m_capacity;
    uint64_t m_clock = 0;
};
