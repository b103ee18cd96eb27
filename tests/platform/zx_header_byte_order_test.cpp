#include "platform/ZXHeaderByteOrder.h"

#include <endian.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A raw record whose byte i holds i (mod 256): every field's bytes differ,
// so the expected output is each u32 and u64 range reversed (on a
// little-endian host) and everything else untouched.
std::vector<uint8_t> CountingRecord() {
    std::vector<uint8_t> r(ZXHeaderLayout::kRecordSize);
    for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i);
    return r;
}

const uint8_t kSwappedFixedPart[132] = {
    0x03, 0x02, 0x01, 0x00, 0x07, 0x06, 0x05, 0x04,  //   0 version, magic
    0x0B, 0x0A, 0x09, 0x08, 0x0F, 0x0E, 0x0D, 0x0C,  //   8 nlink, namelen
    0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11, 0x10,  //  16 mode
    0x1F, 0x1E, 0x1D, 0x1C, 0x1B, 0x1A, 0x19, 0x18,  //  24 uid
    0x27, 0x26, 0x25, 0x24, 0x23, 0x22, 0x21, 0x20,  //  32 gid
    0x2B, 0x2A, 0x29, 0x28, 0x2F, 0x2E, 0x2D, 0x2C,  //  40 reserved, dev
    0x37, 0x36, 0x35, 0x34, 0x33, 0x32, 0x31, 0x30,  //  48 platform flags
    0x3F, 0x3E, 0x3D, 0x3C, 0x3B, 0x3A, 0x39, 0x38,  //  56 filesize
    0x47, 0x46, 0x45, 0x44, 0x43, 0x42, 0x41, 0x40,  //  64 mtime
    0x4F, 0x4E, 0x4D, 0x4C, 0x4B, 0x4A, 0x49, 0x48,  //  72 ctime
    0x57, 0x56, 0x55, 0x54, 0x53, 0x52, 0x51, 0x50,  //  80 datasize
    0x5F, 0x5E, 0x5D, 0x5C, 0x5B, 0x5A, 0x59, 0x58,  //  88 collect offset
    0x63, 0x62, 0x61, 0x60, 0x67, 0x66, 0x65, 0x64,  //  96 separator, flags
    0x6B, 0x6A, 0x69, 0x68, 0x6F, 0x6E, 0x6D, 0x6C,  // 104 ino high, portable flags
    0x73, 0x72, 0x71, 0x70, 0x77, 0x76, 0x75, 0x74,  // 112 rdev, ino low
    0x78, 0x79, 0x7A, 0x7B,                          // 120 single bytes: unchanged
    0x7F, 0x7E, 0x7D, 0x7C, 0x83, 0x82, 0x81, 0x80,  // 124 atime, client os
};

TEST(ZXHeaderByteOrder, SwapsExactlyTheNumericFields) {
    std::vector<uint8_t> r = CountingRecord();
    const std::vector<uint8_t> original = r;
    ConvertZXFileHeaderByteOrder(r.data());
#if __BYTE_ORDER == __LITTLE_ENDIAN
    EXPECT_EQ(std::vector<uint8_t>(kSwappedFixedPart, kSwappedFixedPart + 132),
              std::vector<uint8_t>(r.begin(), r.begin() + 132));
#else
    EXPECT_EQ(std::vector<uint8_t>(original.begin(), original.begin() + 132),
              std::vector<uint8_t>(r.begin(), r.begin() + 132));
#endif
    EXPECT_EQ(std::vector<uint8_t>(original.begin() + 132, original.end()),
              std::vector<uint8_t>(r.begin() + 132, r.end()))
        << "the name area is never touched";
}

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

TEST(ZXHeaderByteOrder, HostValuesBecomeBigEndian) {
    uint8_t rec[ZXHeaderLayout::kRecordSize] = {};
    const uint32_t version = 3, magic = 0x50C0;
    const uint64_t size = 0x0000000100000002ull;
    std::memcpy(rec + 0, &version, 4);
    std::memcpy(rec + 4, &magic, 4);
    std::memcpy(rec + 56, &size, 8);
    ConvertZXFileHeaderByteOrder(rec);
    const uint8_t expected[] = {0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x50, 0xC0};
    EXPECT_EQ(0, std::memcmp(rec, expected, sizeof expected));
    const uint8_t expectedSize[] = {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02};
    EXPECT_EQ(0, std::memcmp(rec + 56, expectedSize, sizeof expectedSize));
}

}  // namespace
