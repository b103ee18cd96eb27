#include "ruxen/OptionalHeaderPrefix.h"

#include <cstring>

#include "platform/base/Coding.h"

// The prefix usually sits at the start of a command buffer, but nothing
// promises 4-byte alignment, so it is read and written byte-wise.

void OptionalHeaderPrefixInit(void* buf, uint32_t type) {
    OptionalHeaderPrefix p{};
    p.marker = kOptionalHeaderMarker;
    p.type = type;
    std::memcpy(buf, &p, sizeof p);
}

void OptionalHeaderPrefixToWire(void* buf, uint32_t payloadLength) {
    char* out = static_cast<char*>(buf);
    uint32_t type;
    std::memcpy(&type, out + offsetof(OptionalHeaderPrefix, type), sizeof type);
    ruxen::EncodeFixed32(out + offsetof(OptionalHeaderPrefix, marker), kOptionalHeaderMarker);
    ruxen::EncodeFixed32(out + offsetof(OptionalHeaderPrefix, type), type);
    ruxen::EncodeFixed32(out + offsetof(OptionalHeaderPrefix, length), payloadLength);
    ruxen::EncodeFixed16(out + offsetof(OptionalHeaderPrefix, reserved1), 0);
    ruxen::EncodeFixed16(out + offsetof(OptionalHeaderPrefix, reserved2), 0);
}
