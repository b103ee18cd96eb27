#include "ruxen/ZXFileHeader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <vector>


namespace {

std::vector<uint8_t> Bytes(const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n);
}

// Every numeric field holds a value whose bytes appear nowhere else, so a
// field converted with the wrong width, at the wrong offset or not at all
// shows up in the byte comparison.
ZXFileHeader DistinctRecord() {
    ZXFileHeader h;
    h.h_version = ZX_HEADER_VERSION;
    h.h_magic = ZX_HEADER_MAGIC;
    h.h_nlink = 0x01020304u;
    h.h_namelen = 6;
    h.h_mode = 0x1112131415161718ull;
    h.h_uid = 0x2122232425262728ull;
    h.h_gid = 0x3132333435363738ull;
    h.h_reserved = 0;
    h.h_dev = 0x41424344u;
    h.h_platform_flags = 0x5152535455565758ull;
    h.h_filesize = 0x6162636465666768ull;
    h.h_mtime = 0x7172737475767778ull;
    h.h_ctime = 0x8182838485868788ull;
    h.h_datasize = 0x9192939495969798ull;
    h.h_collect_offset = 0xA1A2A3A4A5A6A7A8ull;
    h.h_separator = '/';
    h.h_flags = ZX_HFLAG_SLASH_SEPARATOR | ZX_HFLAG_ALWAYS;
    h.h_ino_high = 0xB1B2B3B4u;
    h.portable_flags = 0xC1C2C3C4u;
    h.h_rdev = 0xD1D2D3D4u;
    h.h_ino_low = 0xE1E2E3E4u;
    h.h_isHFS = 1;
    h.h_atime = 0xF1F2F3F4u;
    h.h_client_os = 0x0A0B0C0Du;
    std::memcpy(h.h_filename, "/a/b1", 6);
    // Bytes past the NUL travel unchanged too.
    for (size_t i = 6; i < ZX_HEADER_NAME_SIZE; ++i) h.h_filename[i] = static_cast<char>(i & 0x7F);
    return h;
}

const uint8_t kDistinctWire[132] = {
    0x00, 0x00, 0x00, 0x03,                          //   0 h_version
    0x00, 0x00, 0x50, 0xC0,                          //   4 h_magic
    0x01, 0x02, 0x03, 0x04,                          //   8 h_nlink
    0x00, 0x00, 0x00, 0x06,                          //  12 h_namelen
    0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,  //  16 h_mode
    0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28,  //  24 h_uid
    0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38,  //  32 h_gid
    0x00, 0x00, 0x00, 0x00,                          //  40 h_reserved
    0x41, 0x42, 0x43, 0x44,                          //  44 h_dev
    0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,  //  48 h_platform_flags
    0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,  //  56 h_filesize
    0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78,  //  64 h_mtime
    0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88,  //  72 h_ctime
    0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98,  //  80 h_datasize
    0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8,  //  88 h_collect_offset
    0x00, 0x00, 0x00, 0x2F,                          //  96 h_separator
    0x00, 0x00, 0x00, 0x03,                          // 100 h_flags
    0xB1, 0xB2, 0xB3, 0xB4,                          // 104 h_ino_high
    0xC1, 0xC2, 0xC3, 0xC4,                          // 108 portable_flags
    0xD1, 0xD2, 0xD3, 0xD4,                          // 112 h_rdev
    0xE1, 0xE2, 0xE3, 0xE4,                          // 116 h_ino_low
    0x01, 0x00, 0x00, 0x00,                          // 120 h_isHFS, reserved
    0xF1, 0xF2, 0xF3, 0xF4,                          // 124 h_atime
    0x0A, 0x0B, 0x0C, 0x0D,                          // 128 h_client_os
};

TEST(ZXFileHeaderNetOrder, EveryFieldInNetworkOrderNameAndSourceUnchanged) {
    const ZXFileHeader src = DistinctRecord();
    ZXFileHeader saved;
    std::memcpy(static_cast<void*>(&saved), &src, sizeof src);
    ZXFileHeader dst;
    std::memset(static_cast<void*>(&dst), 0xEE, sizeof dst);

    ASSERT_EQ(0, ConvertZXFileHeaderToNetOrder(&src, &dst));

    EXPECT_EQ(Bytes(kDistinctWire, sizeof kDistinctWire), Bytes(&dst, ZX_HEADER_FIXED_SIZE));
    EXPECT_EQ(Bytes(src.h_filename, ZX_HEADER_NAME_SIZE), Bytes(dst.h_filename, ZX_HEADER_NAME_SIZE));
    EXPECT_EQ(0, std::memcmp(&saved, &src, sizeof src)) << "the working record must stay in host order";
}

TEST(ZXFileHeaderNetOrder, InPlaceAndNull) {
    const ZXFileHeader src = DistinctRecord();
    ZXFileHeader viaRuxen;
    ASSERT_EQ(0, ConvertZXFileHeaderToNetOrder(&src, &viaRuxen));
    ZXFileHeader inPlace = DistinctRecord();
    ASSERT_EQ(0, ConvertZXFileHeaderToNetOrder(&inPlace, &inPlace));
    EXPECT_EQ(0, std::memcmp(&viaRuxen, &inPlace, sizeof src));

    EXPECT_EQ(-1, ConvertZXFileHeaderToNetOrder(nullptr, &inPlace));
    EXPECT_EQ(-1, ConvertZXFileHeaderToNetOrder(&src, nullptr));
}

TEST(ZXFileHeaderPipelineLength, FixedPartPlusNameClampedToRecord) {
    uint8_t rec[ZX_HEADER_SIZE] = {};
    auto withNameLen = [&rec](uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
        rec[12] = b0;
        rec[13] = b1;
        rec[14] = b2;
        rec[15] = b3;
        return ZXHeaderPipelineLength(rec);
    };
    EXPECT_EQ(139u, withNameLen(0x00, 0x00, 0x00, 0x06));
    EXPECT_EQ(133u, withNameLen(0x00, 0x00, 0x00, 0x00));
    EXPECT_EQ(1160u, withNameLen(0x00, 0x00, 0x04, 0x03));   // 1027: exactly fills the record
    EXPECT_EQ(1160u, withNameLen(0x00, 0x00, 0x04, 0x04));   // 1028: one byte past it, clamped
    EXPECT_EQ(1160u, withNameLen(0x00, 0x00, 0x13, 0x88));   // 5000
    EXPECT_EQ(1160u, withNameLen(0xFF, 0xFF, 0xFF, 0xFF));   // no wrap-around
    EXPECT_EQ(1160u, withNameLen(0x06, 0x00, 0x00, 0x00));   // host-order 6 misread as network order

    // A converted record gives the length from its own h_namelen.
    ZXFileHeader h = DistinctRecord();
    ZXFileHeader w;
    ASSERT_EQ(0, ConvertZXFileHeaderToNetOrder(&h, &w));
    EXPECT_EQ(139u, ZXHeaderPipelineLength(&w));
}

// What a reader of a stream accepts as a header record.
TEST(ZXFileHeaderDecode, AcceptsBothLengthsAndNamesEveryFault) {
    ZXFileHeader h = DistinctRecord();
    h.h_namelen = 1028;
    std::memset(h.h_filename, 'n', sizeof(h.h_filename));
    h.h_filename[1027] = '\0';
    ZXFileHeader w;
    ASSERT_EQ(0, ConvertZXFileHeaderToNetOrder(&h, &w));
    std::vector<char> wire(ZX_HEADER_SIZE + 1, '\0');
    std::memcpy(wire.data(), &w, sizeof(w));

    struct Case {
        size_t length;
        int patchAt;  // -1: none
        const char* why;
    } cases[] = {
        {1160, -1, nullptr},
        {1161, -1, nullptr},  // the pipeline layer's 133 + 1028 bytes
        {1162, -1, "header record longer than 1161 bytes"},
        {132, -1, "header record shorter than 133 bytes"},
        {1000, -1, "header record whose name is not NUL-terminated"},  // cut before the NUL
        {1160, 3, "header record with a wrong version or magic"},
        {1160, 14, "header record whose name length exceeds 1028"},
    };
    for (const Case& c : cases) {
        std::vector<char> bytes = wire;
        if (c.patchAt >= 0)
            bytes[c.patchAt] = 0x7;
        ZXFileHeader out;
        const char* why = nullptr;
        EXPECT_EQ(DecodeZXFileHeader(bytes.data(), c.length, &out, &why), c.why == nullptr) << c.length;
        if (c.why) {
            EXPECT_STREQ(why, c.why);
        } else {
            EXPECT_EQ(0, std::memcmp(&out, &h, sizeof(h))) << "decoded back to the host record";
        }
    }
}

TEST(ZXFileHeaderInit, ConstructorAndClearZeroTheRecord) {
    alignas(ZXFileHeader) unsigned char storage[sizeof(ZXFileHeader)];
    std::memset(storage, 0xA5, sizeof storage);
    ZXFileHeader* h = new (storage) ZXFileHeader();
    const std::vector<uint8_t> zeros(ZX_HEADER_SIZE, 0);
    // Every numeric field, bytes 120-123 and the name: nothing stale can
    // reach the wire through the 133 + h_namelen length.
    EXPECT_EQ(zeros, Bytes(storage, sizeof storage));

    *h = DistinctRecord();
    h->Clear();
    EXPECT_EQ(zeros, Bytes(storage, sizeof storage));
    h->~ZXFileHeader();
}

}  // namespace
