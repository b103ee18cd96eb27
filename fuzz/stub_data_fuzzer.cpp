// Stub bytes come from the tiered-storage layer, which reads them from the
// stub file itself: arbitrary bytes. The parser must never read past them,
// must accept exactly the bytes that rebuild to themselves, and must leave a
// fresh record whenever it refuses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "FuzzSupport.h"
#include "platform/hsm/ReparseData.h"

// Two GUIDs of up to 65535 bytes each.
RUXEN_FUZZ_MAX_LEN(160 * 1024)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A vector of exactly `size` bytes so that the sanitizer sees any read
    // past the end.
    std::vector<char> stub(reinterpret_cast<const char*>(data), reinterpret_cast<const char*>(data) + size);
    ReparseData rd;
    rd.kind = 7;
    rd.appGuid = "stale";
    if (ParseStubData(stub, rd)) {
        if (rd.kind != 1 && rd.kind != 2)
            abort();
        if (BuildStubData(rd) != stub)
            abort();
    } else {
        if (rd.kind != 1 || !rd.appGuid.empty() || !rd.dataGuid.empty() || rd.appId != 0 || rd.recordedSize != 0)
            abort();
    }
    return 0;
}
