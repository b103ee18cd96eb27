#include "ruxen/OptionalHeaderPrefix.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ruxen/PipelineRecordTypes.h"

namespace {

TEST(OptionalHeaderPrefix, InitIsHostOrderWithZeroLength) {
    unsigned char buf[kOptionalHeaderPrefixSize];
    std::memset(buf, 0xEE, sizeof buf);
    OptionalHeaderPrefixInit(buf, 7);
    OptionalHeaderPrefix p;
    std::memcpy(&p, buf, sizeof p);
    EXPECT_EQ(0xABCD1234u, p.marker);
    EXPECT_EQ(7u, p.type);
    EXPECT_EQ(0u, p.length);
    EXPECT_EQ(0u, p.reserved1);
    EXPECT_EQ(0u, p.reserved2);
}

// A 100-byte payload goes out as a 116-byte record. The prefix is placed at
// an odd address to show that neither helper needs alignment.
TEST(OptionalHeaderPrefix, HundredBytePayloadOnTheWire) {
    std::vector<uint8_t> buf(1 + kOptionalHeaderPrefixSize + 100);
    uint8_t* rec = buf.data() + 1;
    OptionalHeaderPrefixInit(rec, 0x0A0B0C0Du);
    for (int i = 0; i < 100; ++i) rec[kOptionalHeaderPrefixSize + i] = static_cast<uint8_t>(0xC8 + i);
    const std::vector<uint8_t> payload(rec + kOptionalHeaderPrefixSize, rec + kOptionalHeaderPrefixSize + 100);

    OptionalHeaderPrefixToWire(rec, 100);

    const std::vector<uint8_t> expectedPrefix = {
        0xAB, 0xCD, 0x12, 0x34,  // marker
        0x0A, 0x0B, 0x0C, 0x0D,  // type
        0x00, 0x00, 0x00, 0x64,  // payload length 100
        0x00, 0x00, 0x00, 0x00,  // reserved
    };
    EXPECT_EQ(expectedPrefix, std::vector<uint8_t>(rec, rec + 16));
    EXPECT_EQ(payload, std::vector<uint8_t>(rec + 16, rec + 116));
    EXPECT_EQ(116u, kOptionalHeaderPrefixSize + payload.size());
}

TEST(OptionalHeaderPrefix, ToWireClearsReservedAndKeepsRecordTypeNumbers) {
    OptionalHeaderPrefix p{0xABCD1234u, 1, 0, 0xFFFF, 0xFFFF};
    OptionalHeaderPrefixToWire(&p, 0x01020304u);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&p);
    EXPECT_EQ((std::vector<uint8_t>{0xAB, 0xCD, 0x12, 0x34, 0x00, 0x00, 0x00, 0x01, 0x01, 0x02, 0x03, 0x04, 0x00,
                                    0x00, 0x00, 0x00}),
              std::vector<uint8_t>(b, b + 16));
    EXPECT_EQ(129u, static_cast<uint32_t>(PL_FS_OPT_HDR));
}

}  // namespace
