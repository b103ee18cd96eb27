// Archive stream bytes written by hand, for readers' tests: each piece in
// the layout of platform/ArchiveStreamFormat.h, built with the coding
// helpers rather than with the sink under test.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Coding.h"

namespace testfiles {

inline std::string U32(uint32_t v) {
    std::string s;
    ruxen::PutFixed32(&s, v);
    return s;
}

inline std::string StreamPreamble() { return std::string("RXPL", 4) + U32(1); }

inline std::string StreamRecord(uint32_t type, const std::string& payload) {
    return U32(type) + U32(static_cast<uint32_t>(payload.size())) + payload;
}

// The end record counting `items` header records and `dataBytes` bytes of
// data records.
inline std::string StreamEnd(uint64_t items, uint64_t dataBytes) {
    std::string s = U32(0xFFFFFFFFu) + U32(16);
    ruxen::PutFixed64(&s, items);
    ruxen::PutFixed64(&s, dataBytes);
    return s;
}

}  // namespace testfiles
