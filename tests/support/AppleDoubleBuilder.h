// Hand-built AppleDouble companion files for tests: 24 header bytes, the
// big-endian entry count and table, then the entries' bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/TestFiles.h"

namespace testfiles {

inline void putBE32(std::string& s, size_t at, uint32_t v) {
    s[at] = static_cast<char>(v >> 24);
    s[at + 1] = static_cast<char>(v >> 16);
    s[at + 2] = static_cast<char>(v >> 8);
    s[at + 3] = static_cast<char>(v);
}

struct ADEntry {
    uint32_t id;
    std::string bytes;
    // Overrides of what the table says (-1: the real value).
    long long offset = -1;
    long long length = -1;
};

// `count` overrides the count field (-1: the number of entries).
inline std::string buildAppleDouble(const std::vector<ADEntry>& entries, long count = -1) {
    std::string s(26 + entries.size() * 12, '\0');
    memcpy(&s[0], "\x00\x05\x16\x07\x00\x02\x00\x00", 8);  // magic, version
    uint16_t c = static_cast<uint16_t>(count < 0 ? static_cast<long>(entries.size()) : count);
    s[24] = static_cast<char>(c >> 8);
    s[25] = static_cast<char>(c);
    for (size_t i = 0; i < entries.size(); ++i) {
        const ADEntry& e = entries[i];
        size_t at = 26 + i * 12;
        uint32_t off = static_cast<uint32_t>(s.size());
        s += e.bytes;
        putBE32(s, at, e.id);
        putBE32(s, at + 4, e.offset >= 0 ? static_cast<uint32_t>(e.offset) : off);
        putBE32(s, at + 8, e.length >= 0 ? static_cast<uint32_t>(e.length) : static_cast<uint32_t>(e.bytes.size()));
    }
    return s;
}

// The companion's path: "dir/._name".
inline std::string companionOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return path.substr(0, slash + 1) + "._" + path.substr(slash + 1);
}

}  // namespace testfiles
