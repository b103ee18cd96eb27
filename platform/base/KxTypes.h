// Integer type names of the platform library's interfaces, and the one
// conversion of a 64-bit number for printf.
#pragma once

#include <cstdint>

// Client ids and application types travel as ULONG in the platform's calls.
typedef unsigned long ULONG;

namespace ruxen {

// A 64-bit number as printf's "%llu" takes it (uint64_t is unsigned long on
// this platform, which "%llu" does not name).
constexpr unsigned long long ULL(uint64_t v) { return v; }

}  // namespace ruxen
