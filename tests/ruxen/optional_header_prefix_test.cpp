#include "ruxen/OptionalHeaderPrefix.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A 100-byte payload goes out as a 116-byte record. The prefix is filled in
// host order, then put on the wire once; it sits at an odd address to show
// that neither helper needs alignment.
TEST(OptionalHeaderPrefix, HundredBytePayloadOnTheWire) {
    std::vector<uint8_t> buf(1 + kOptionalHeaderPrefixSize + 100, 0xEE);
    uint8_t* rec = buf.data() + 1;
    OptionalHeaderPrefixInit(rec, 0x0A0B0C0Du);
    OptionalHeaderPrefix host;
    std::memcpy(&host, rec, sizeof host);
    EXPECT_EQ(host.marker, 0xABCD1234u);
    EXPECT_EQ(host.type, 0x0A0B0C0Du);
    EXPECT_EQ(host.length + host.reserved1 + host.reserved2, 0u);
    for (int i = 0; i < 100; ++i) rec[kOptionalHeaderPrefixSize + i] = static_cast<uint8_t>(0xC8 + i);
    const std::vector<uint8_t> payload(rec + kOptionalHeaderPrefixSize, rec + kOptionalHeaderPrefixSize + 100);
    rec[12] = rec[15] = 0xFF;  // reserved halves are cleared on the way out

    OptionalHeaderPrefixToWire(rec, 100);

    const std::vector<uint8_t> expectedPrefix = {
        0xAB, 0xCD, 0x12, 0x34,  // marker
        0x0A, 0x0B, 0x0C, 0x0D,  // type
        0x00, 0x00, 0x00, 0x64,  // payload length 100
        0x00, 0x00, 0x00, 0x00,  // reserved
    };
    EXPECT_EQ(expectedPrefix, std::vector<uint8_t>(rec, rec + 16));
    EXPECT_EQ(payload, std::vector<uint8_t>(rec + 16, rec + 116));
}

}  // namespace
