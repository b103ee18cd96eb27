// The header and entry table of an AppleDouble companion file.
//
// Layout (all numbers big-endian):
//
//   offset  size        content
//   0       24          magic, version, filler (not examined)
//   24      2           entry count (unsigned)
//   26      count * 12  entries: id (u32), offset of the entry's bytes from
//                       the start of the file (u32), length (u32)
//
// One parser serves both the size query and the reads of the file reader.
// The table lives on the heap and is reused between calls, so any count the
// 16-bit field can hold (up to 65535) is read without a fixed table and
// without an allocation per call once the table has grown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Entry ids the file reader asks for.
enum HFS_DATA_TYPE : uint32_t {
    HFS_RESOURCE_FORK = 2,         // delivered right after the data fork
    HFS_FINDER_INFO = 9,           // the last 32 bytes of the HFS properties block
    HFS_PROPERTIES = 0x80000001u,  // the first 60 bytes of the HFS properties block
};

class AppleDouble {
public:
    static constexpr size_t kCountOffset = 24;
    static constexpr size_t kHeaderSize = 26;
    static constexpr size_t kEntrySize = 12;
    // A table with more entries than this is unusual and logged.
    static constexpr unsigned kManyEntries = 16;
    // The size query refuses a table with more entries than this.
    static constexpr unsigned kMaxEntries = 1024;

    // The HFS properties block that follows the resource fork.
    static constexpr size_t kPropertiesSize = 60;
    static constexpr size_t kFinderInfoSize = 32;
    static constexpr size_t kHFSBlockSize = kPropertiesSize + kFinderInfoSize;  // 92

    struct Entry {
        uint32_t id;
        uint32_t offset;
        uint32_t length;
    };

    enum Result {
        kOk,
        kNoHeader,   // fewer than 26 bytes (errno set: the read's, or EINVAL when short)
        kTooMany,    // the count is above the caller's limit (errno ENFILE); no table read
        kNoEntries,  // the table is shorter than the count says (errno set, ENFILE when short)
    };

    // Reads the header and the table from the file open on `fd` with pread,
    // leaving its file position alone. A count above `maxEntries` answers
    // kTooMany without reading the table.
    Result Read(int fd, unsigned maxEntries = 0xFFFFu);

    // The same from bytes in memory (the whole companion file, or its start).
    Result Parse(const unsigned char* data, size_t size, unsigned maxEntries = 0xFFFFu);

    // The count field of the last header read (also when the table was not).
    unsigned Count() const { return m_count; }
    // The entries in file order (empty unless the last Read/Parse gave kOk).
    const std::vector<Entry>& Entries() const { return m_entries; }
    // The first entry with the given id, or null.
    const Entry* Find(uint32_t id) const;

private:
    void Decode(const unsigned char* table, unsigned count);

    unsigned m_count = 0;
    std::vector<Entry> m_entries;
    std::vector<unsigned char> m_raw;  // the table's bytes as read (reused)
};
