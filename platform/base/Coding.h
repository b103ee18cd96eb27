// Fixed-width numbers in network byte order (big-endian), read from and
// written to byte buffers of any alignment. Every record, header and file
// format of the system that carries numbers in network order goes through
// these.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace ruxen {

inline void EncodeFixed16(char* dst, uint16_t v) {
    unsigned char* p = reinterpret_cast<unsigned char*>(dst);
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

inline void EncodeFixed32(char* dst, uint32_t v) {
    unsigned char* p = reinterpret_cast<unsigned char*>(dst);
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

inline void EncodeFixed64(char* dst, uint64_t v) {
    EncodeFixed32(dst, static_cast<uint32_t>(v >> 32));
    EncodeFixed32(dst + 4, static_cast<uint32_t>(v));
}

inline uint16_t DecodeFixed16(const char* src) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(src);
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t DecodeFixed32(const char* src) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(src);
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline uint64_t DecodeFixed64(const char* src) {
    return (uint64_t(DecodeFixed32(src)) << 32) | DecodeFixed32(src + 4);
}

// Appending forms, for building records and files in a string.
inline void PutFixed16(std::string* dst, uint16_t v) {
    char buf[2];
    EncodeFixed16(buf, v);
    dst->append(buf, sizeof(buf));
}

inline void PutFixed32(std::string* dst, uint32_t v) {
    char buf[4];
    EncodeFixed32(buf, v);
    dst->append(buf, sizeof(buf));
}

inline void PutFixed64(std::string* dst, uint64_t v) {
    char buf[8];
    EncodeFixed64(buf, v);
    dst->append(buf, sizeof(buf));
}

// In-place conversion of a number stored in host order at p (any
// alignment) to network order; the same call converts back.
inline void SwapFixed32InPlace(char* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    EncodeFixed32(p, v);
}

inline void SwapFixed64InPlace(char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof(v));
    EncodeFixed64(p, v);
}

}  // namespace ruxen
