// Network-order (big-endian) numbers and length-prefixed byte strings in
// memory: a writer that puts them into a buffer the caller sized exactly,
// and a reader that never reads past the end it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

class NetWriter {
public:
    explicit NetWriter(char* p) : m_p(p) {}
    char* Position() const { return m_p; }

    NetWriter& U8(uint8_t v) {
        *m_p++ = static_cast<char>(v);
        return *this;
    }
    NetWriter& U16(uint16_t v) { return U8(static_cast<uint8_t>(v >> 8)).U8(static_cast<uint8_t>(v)); }
    NetWriter& U32(uint32_t v) { return U16(static_cast<uint16_t>(v >> 16)).U16(static_cast<uint16_t>(v)); }
    NetWriter& U64(uint64_t v) { return U32(static_cast<uint32_t>(v >> 32)).U32(static_cast<uint32_t>(v)); }
    NetWriter& Bytes(const void* data, size_t n) {
        if (n)
            memcpy(m_p, data, n);
        m_p += n;
        return *this;
    }
    // u32 length, then the bytes.
    NetWriter& Str(const std::string& s) { return U32(static_cast<uint32_t>(s.size())).Bytes(s.data(), s.size()); }

private:
    char* m_p;
};

class NetReader {
public:
    NetReader(const char* p, size_t n) : m_p(p), m_end(p + n) {}
    size_t Left() const { return static_cast<size_t>(m_end - m_p); }
    const char* Position() const { return m_p; }

    // Each answers false, consuming nothing, when the bytes run out.
    bool U8(uint8_t* v) {
        if (Left() < 1)
            return false;
        *v = static_cast<uint8_t>(*m_p++);
        return true;
    }
    bool U16(uint16_t* v) {
        if (Left() < 2)
            return false;
        *v = static_cast<uint16_t>(Byte(0) << 8 | Byte(1));
        m_p += 2;
        return true;
    }
    bool U32(uint32_t* v) {
        if (Left() < 4)
            return false;
        *v = Byte(0) << 24 | Byte(1) << 16 | Byte(2) << 8 | Byte(3);
        m_p += 4;
        return true;
    }
    bool U64(uint64_t* v) {
        uint32_t hi, lo;
        if (Left() < 8 || !U32(&hi) || !U32(&lo))
            return false;
        *v = static_cast<uint64_t>(hi) << 32 | lo;
        return true;
    }
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
    uint32_t Byte(size_t k) const { return static_cast<uint8_t>(m_p[k]); }
    const char* m_p;
    const char* m_end;
};
