#include "ruxen/OptionalHeaderPrefix.h"

#include <endian.h>

#include <cstring>

// The prefix usually sits at the start of a command buffer, but nothing
// promises 4-byte alignment, so it is read and written through memcpy.

void OptionalHeaderPrefixInit(void* buf, uint32_t type) {
    OptionalHeaderPrefix p{};
    p.marker = kOptionalHeaderMarker;
    p.type = type;
    std::memcpy(buf, &p, sizeof p);
}

void OptionalHeaderPrefixToWire(void* buf, uint32_t payloadLength) {
    OptionalHeaderPrefix p;
    std::memcpy(&p, buf, sizeof p);
    p.marker = htobe32(kOptionalHeaderMarker);
    p.type = htobe32(p.type);
    p.length = htobe32(payloadLength);
    p.reserved1 = 0;
    p.reserved2 = 0;
    std::memcpy(buf, &p, sizeof p);
}
