// Strict whole-text number parsing for values read from files and command
// lines: the whole text must be the number, so "12x", " 12", "" and "0x1"
// are refused instead of silently read as 12, 12, 0 or 0.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

namespace NumberParse {

// Decimal digits with an optional leading '-'; must fit in int64_t.
inline bool Int64(const std::string& s, int64_t& out) {
    size_t i = (!s.empty() && s[0] == '-') ? 1 : 0;
    if (i == s.size())
        return false;
    for (size_t j = i; j < s.size(); ++j)
        if (s[j] < '0' || s[j] > '9')
            return false;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(s.c_str(), &end, 10);
    if (errno != 0 || end != s.c_str() + s.size())
        return false;
    out = v;
    return true;
}

// Decimal digits only (no sign); must fit in uint64_t.
inline bool UInt64(const std::string& s, uint64_t& out) {
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(s.c_str(), &end, 10);
    if (errno != 0 || end != s.c_str() + s.size())
        return false;
    out = v;
    return true;
}

// A value of a narrower type, range-checked.
template <class T>
bool Int(const std::string& s, T& out) {
    int64_t v;
    if (!Int64(s, v) || v < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
        (v > 0 && static_cast<uint64_t>(v) > static_cast<uint64_t>(std::numeric_limits<T>::max())))
        return false;
    out = static_cast<T>(v);
    return true;
}

}  // namespace NumberParse
