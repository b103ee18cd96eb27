#include "norfa/FlrSnapMgr.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads 1 to 16 hex digits at *p into out; advances *p. False when there are
// none, more than 16, or the value does not fit a long.
bool readHex(const char** p, long& out) {
    uint64_t v = 0;
    int n = 0;
    for (int d; (d = hexValue(**p)) >= 0; ++*p, ++n) {
        if (n == 16)
            return false;
        v = (v << 4) | static_cast<uint64_t>(d);
    }
    if (n == 0 || v > static_cast<uint64_t>(LONG_MAX))
        return false;
    out = static_cast<long>(v);
    return true;
}

}  // namespace

int FlrSnapMgr::parseShortSnapName(const char* name, SNAP_TYPE* type, long* refTime, long* sequence) {
    static const char* const kPrefixes[] = {"kxm_", "kxr_", "kxc_"};
    if (name == nullptr)
        return 0;
    int kind = -1;
    for (int i = 0; i < 3; ++i)
        if (strncmp(name, kPrefixes[i], 4) == 0)
            kind = i;
    if (kind < 0)
        return 0;
    const char* p = name + 4;
    long time = 0, seq = 0;
    if (!readHex(&p, time))
        return 0;
    if (*p == '_') {
        ++p;
        if (!readHex(&p, seq))
            return 0;
    }
    if (*p != '\0')
        return 0;
    if (type)
        *type = static_cast<SNAP_TYPE>(kind);
    if (refTime)
        *refTime = time;
    if (sequence)
        *sequence = seq;
    return 1;
}
