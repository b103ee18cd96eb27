// Xerces-C's process-wide initialisation, done once by the first parse and
// kept until the process ends: every later parse, on any thread, finds the
// library ready instead of initialising and terminating it each time.
#pragma once

#include <string>

class XercesRuntime {
public:
    // Initialises Xerces-C unless that was done: true, or false with the
    // reason in `error` (the next call tries again). Thread-safe.
    static bool Ensure(std::string& error);
    // Terminates Xerces-C if it was initialised, with no parse running (the
    // test-control reset of the XML library calls it).
    static void Terminate();
};
