#include "platform/hsm/ReparseData.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/base/Coding.h"

const char kStubMagic[8] = {'R', 'X', 'S', 'T', 'U', 'B', '1', '\0'};

namespace {

// A length-prefixed (u16) string without NUL bytes.
bool ReadGuid(ruxen::NetReader& r, std::string* s) {
    uint16_t len;
    const char* p;
    if (!r.U16(&len) || !r.Bytes(len, &p))
        return false;
    if (len && memchr(p, 0, len))
        return false;
    s->assign(p, len);
    return true;
}

}  // namespace

bool ParseStubData(const std::vector<char>& stub, ReparseData& out) {
    out = ReparseData();
    ruxen::NetReader r(stub.data(), stub.size());
    const char* magic;
    if (!r.Bytes(sizeof kStubMagic, &magic) || memcmp(magic, kStubMagic, sizeof kStubMagic) != 0)
        return false;
    ReparseData rd;
    if (!r.U32(&rd.kind) || !r.U32(&rd.appId) || !r.U64(&rd.recordedSize))
        return false;
    if (rd.kind != 1 && rd.kind != 2)
        return false;
    if (!ReadGuid(r, &rd.appGuid) || !ReadGuid(r, &rd.dataGuid))
        return false;
    if (r.Left() != 0)
        return false;
    out = std::move(rd);
    return true;
}

std::vector<char> BuildStubData(const ReparseData& rd) {
    if (rd.appGuid.size() > 0xFFFF || rd.dataGuid.size() > 0xFFFF)
        return std::vector<char>();
    std::vector<char> v(kStubFixedSize + rd.appGuid.size() + rd.dataGuid.size());
    ruxen::NetWriter(v.data())
        .Bytes(kStubMagic, sizeof kStubMagic)
        .U32(rd.kind)
        .U32(rd.appId)
        .U64(rd.recordedSize)
        .U16(static_cast<uint16_t>(rd.appGuid.size()))
        .Bytes(rd.appGuid.data(), rd.appGuid.size())
        .U16(static_cast<uint16_t>(rd.dataGuid.size()))
        .Bytes(rd.dataGuid.data(), rd.dataGuid.size());
    return v;
}

std::string StubPrime_Fields::ToString() const {
    char buf[96];
    snprintf(buf, sizeof buf, "version=%d type=%d size=%" PRIu64, version, stubType, size);
    return buf;
}
