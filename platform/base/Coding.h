// Fixed-width numbers in network byte order (big-endian), read from and
// written to byte buffers of any alignment. Every record, header and file
// format of the system that carries numbers in network order goes through
// these.
#pragma once

#include <cstddef>
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

inline uint64_t DecodeFixed64(const char* src) { return (uint64_t(DecodeFixed32(src)) << 32) | DecodeFixed32(src + 4); }

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

// A writer that puts numbers and byte strings one after another into a
// buffer the caller sized exactly.
class NetWriter {
public:
    explicit NetWriter(char* p) : m_p(p) {}
    char* Position() const { return m_p; }

    NetWriter& U8(uint8_t v) {
        *m_p++ = static_cast<char>(v);
        return *this;
    }
    NetWriter& U16(uint16_t v) { return Put(v, EncodeFixed16); }
    NetWriter& U32(uint32_t v) { return Put(v, EncodeFixed32); }
    NetWriter& U64(uint64_t v) { return Put(v, EncodeFixed64); }
    NetWriter& Bytes(const void* data, size_t n) {
        if (n)
            memcpy(m_p, data, n);
        m_p += n;
        return *this;
    }
    // u32 length, then the bytes.
    NetWriter& Str(const std::string& s) { return U32(static_cast<uint32_t>(s.size())).Bytes(s.data(), s.size()); }

private:
    template <class T>
    NetWriter& Put(T v, void (*encode)(char*, T)) {
        encode(m_p, v);
        m_p += sizeof(T);
        return *this;
    }
    char* m_p;
};

// A reader of the same that never reads past the end it was given: each
// call answers false, consuming nothing, when the bytes run out.
class NetReader {
public:
    NetReader(const char* p, size_t n) : m_p(p), m_end(p + n) {}
    size_t Left() const { return static_cast<size_t>(m_end - m_p); }
    const char* Position() const { return m_p; }

    bool U8(uint8_t* v) {
        if (Left() < 1)
            return false;
        *v = static_cast<uint8_t>(*m_p++);
        return true;
    }
    bool U16(uint16_t* v) { return Get(v, DecodeFixed16); }
    bool U32(uint32_t* v) { return Get(v, DecodeFixed32); }
    bool U64(uint64_t* v) { return Get(v, DecodeFixed64); }
    // n bytes in place.
    bool Bytes(size_t n, const char** data) {
        if (Left() < n)
            return false;
        *data = m_p;
        m_p += n;
        return true;
    }
    // u32 length, then the bytes.
    bool Str(std::string* s) {
        const char* save = m_p;
        uint32_t n;
        const char* d;
        if (!U32(&n) || !Bytes(n, &d)) {
            m_p = save;
            return false;
        }
        s->assign(d, n);
        return true;
    }

private:
    template <class T>
    bool Get(T* v, T (*decode)(const char*)) {
        if (Left() < sizeof(T))
            return false;
        *v = decode(m_p);
        m_p += sizeof(T);
        return true;
    }
    const char* m_p;
    const char* m_end;
};

}  // namespace ruxen
