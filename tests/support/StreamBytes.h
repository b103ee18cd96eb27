// Archive stream bytes written by hand, for readers' tests: each piece in
// the layout of platform/archive/ArchiveStreamFormat.h, built with the coding
// helpers rather than with the sink under test.
#pragma once

#include <cstdint>
#include <string>

#include "platform/base/Coding.h"

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
// data records, with its status; status -1: an older writer's end record,
// which has none.
inline std::string StreamEnd(uint64_t items, uint64_t dataBytes, int64_t status = 0) {
    std::string s = U32(0xFFFFFFFFu) + U32(status < 0 ? 16 : 20);
    ruxen::PutFixed64(&s, items);
    ruxen::PutFixed64(&s, dataBytes);
    if (status >= 0)
        s += U32(static_cast<uint32_t>(status));
    return s;
}

}  // namespace testfiles
