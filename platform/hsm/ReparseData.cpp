#include "platform/hsm/ReparseData.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

const char kStubMagic[8] = {'R', 'X', 'S', 'T', 'U', 'B', '1', '\0'};

namespace {

// A bounds-checked big-endian cursor over the stub bytes.
class Cursor {
public:
    Cursor(const std::vector<char>& v) : m_p(reinterpret_cast<const unsigned char*>(v.data())),
                                         m_left(v.size()) {}

    bool take(size_t n, const unsigned char** out) {
        if (n > m_left)
            return false;
        *out = m_p;
        m_p += n;
        m_left -= n;
        return true;
    }
    bool u16(uint16_t* v) {
        const unsigned char* p;
        if (!take(2, &p))
            return false;
        *v = static_cast<uint16_t>((p[0] << 8) | p[1]);
        return true;
    }
    bool u32(uint32_t* v) {
        const unsigned char* p;
        if (!take(4, &p))
            return false;
        *v = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
        return true;
    }
    bool u64(uint64_t* v) {
        uint32_t hi, lo;
        if (!u32(&hi) || !u32(&lo))
            return false;
        *v = (uint64_t(hi) << 32) | lo;
        return true;
    }
    // A length-prefixed string without NUL bytes.
    bool str(std::string* s) {
        uint16_t len;
        const unsigned char* p;
        if (!u16(&len) || !take(len, &p))
            return false;
        if (len && memchr(p, 0, len))
            return false;
        s->assign(reinterpret_cast<const char*>(p), len);
        return true;
    }
    size_t left() const { return m_left; }

private:
    const unsigned char* m_p;
    size_t m_left;
};

void put16(std::vector<char>& v, uint16_t x) {
    v.push_back(static_cast<char>(x >> 8));
    v.push_back(static_cast<char>(x));
}
void put32(std::vector<char>& v, uint32_t x) {
    for (int s = 24; s >= 0; s -= 8)
        v.push_back(static_cast<char>(x >> s));
}
void put64(std::vector<char>& v, uint64_t x) {
    put32(v, static_cast<uint32_t>(x >> 32));
    put32(v, static_cast<uint32_t>(x));
}

}  // namespace

bool ParseStubData(const std::vector<char>& stub, ReparseData& out) {
    out = ReparseData();
    Cursor c(stub);
    const unsigned char* magic;
    if (!c.take(sizeof kStubMagic, &magic) || memcmp(magic, kStubMagic, sizeof kStubMagic) != 0)
        return false;
    ReparseData rd;
    if (!c.u32(&rd.kind) || !c.u32(&rd.appId) || !c.u64(&rd.recordedSize))
        return false;
    if (rd.kind != 1 && rd.kind != 2)
        return false;
    if (!c.str(&rd.appGuid) || !c.str(&rd.dataGuid))
        return false;
    if (c.left() != 0)
        return false;
    out = std::move(rd);
    return true;
}

std::vector<char> BuildStubData(const ReparseData& rd) {
    if (rd.appGuid.size() > 0xFFFF || rd.dataGuid.size() > 0xFFFF)
        return std::vector<char>();
    std::vector<char> v;
    v.reserve(kStubFixedSize + rd.appGuid.size() + rd.dataGuid.size());
    v.insert(v.end(), kStubMagic, kStubMagic + sizeof kStubMagic);
    put32(v, rd.kind);
    put32(v, rd.appId);
    put64(v, rd.recordedSize);
    put16(v, static_cast<uint16_t>(rd.appGuid.size()));
    v.insert(v.end(), rd.appGuid.begin(), rd.appGuid.end());
    put16(v, static_cast<uint16_t>(rd.dataGuid.size()));
    v.insert(v.end(), rd.dataGuid.begin(), rd.dataGuid.end());
    return v;
}

std::string StubPrime_Fields::ToString() const {
    char buf[96];
    snprintf(buf, sizeof buf, "version=%d type=%d size=%" PRIu64, version, stubType, size);
    return buf;
}
