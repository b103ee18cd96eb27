#include "platform/archive/ZXHeaderByteOrder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/base/Coding.h"

namespace {

// A raw record whose byte i holds i (mod 256): every field's bytes differ.
std::vector<uint8_t> CountingRecord() {
    std::vector<uint8_t> r(ZXHeaderLayout::kRecordSize);
    for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i);
    return r;
}

// Which bytes move, field by field, is checked against hand-written bytes in
// the header record's own test; here the conversion at any address.
TEST(ZXHeaderByteOrder, TwiceRestoresTheRecordAtAnyAlignment) {
    const std::vector<uint8_t> original = CountingRecord();
    for (size_t shift = 0; shift < 8; ++shift) {
        std::vector<uint8_t> buf(shift + original.size());
        std::memcpy(buf.data() + shift, original.data(), original.size());
        ConvertZXFileHeaderByteOrder(buf.data() + shift);
        ConvertZXFileHeaderByteOrder(buf.data() + shift);
        EXPECT_EQ(0, std::memcmp(buf.data() + shift, original.data(), original.size())) << "shift " << shift;
    }
}

// The one home of network byte order: hand-written bytes, at an odd address.
TEST(Coding, FixedWidthNumbersAreBigEndianAtAnyAlignment) {
    char buf[1 + 8];
    char* p = buf + 1;
    ruxen::EncodeFixed16(p, 0x0102);
    EXPECT_EQ(std::string(p, 2), "\x01\x02");
    EXPECT_EQ(ruxen::DecodeFixed16("\xFF\xFE"), 0xFFFEu);
    ruxen::EncodeFixed32(p, 0xA1B2C3D4u);
    EXPECT_EQ(std::string(p, 4), "\xA1\xB2\xC3\xD4");
    EXPECT_EQ(ruxen::DecodeFixed32(p), 0xA1B2C3D4u);
    ruxen::EncodeFixed64(p, 0x0102030405060708ull);
    EXPECT_EQ(std::string(p, 8), "\x01\x02\x03\x04\x05\x06\x07\x08");
    EXPECT_EQ(ruxen::DecodeFixed64("\xF0\0\0\0\0\0\0\x01"), 0xF000000000000001ull);
    std::string s = "x";
    ruxen::PutFixed16(&s, 7);
    ruxen::PutFixed32(&s, 8);
    ruxen::PutFixed64(&s, 9);
    EXPECT_EQ(s, std::string("x\0\7\0\0\0\x08\0\0\0\0\0\0\0\x09", 15));
}

}  // namespace
