// Symbols of libruxen.so are hidden unless marked: a host program sees only
// the classes it calls, and the library's own helpers stay private to it
// (no clashes with the host's symbols, smaller dynamic symbol table); test
// hooks are not in it at all (platform/base/TestControl.h).
// Mark a class that a host program uses as
//
//     class RUXEN_EXPORT RuxenFile { ... };
//
// A class other programs derive from, catch or look at through typeid must be
// marked whole, for its vtable and type information. Inside a marked class,
// members that are not for other programs (helpers) are marked
//
//     RUXEN_HIDDEN void SplitOne(...);
//
// and a class whose callers need only some functions has those marked alone.
#pragma once

#define RUXEN_EXPORT __attribute__((visibility("default")))
#define RUXEN_HIDDEN __attribute__((visibility("hidden")))
