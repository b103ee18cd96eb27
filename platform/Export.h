// Symbols of libruxen.so are hidden unless marked: a host program sees only
// the classes it calls, and the library's own helpers stay private to it
// (no clashes with the host's symbols, smaller dynamic symbol table).
// Mark a class that a host program uses as
//
//     class RUXEN_EXPORT RuxenFile { ... };
#pragma once

#define RUXEN_EXPORT __attribute__((visibility("default")))
