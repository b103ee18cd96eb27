// Feeds arbitrary device-mapper names to the splitter of "VG-LV" names. A
// name that splits must come back when both halves are escaped again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "platform/os/LVM.h"

static std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        out += c;
        if (c == '-')
            out += '-';
    }
    return out;
}

RUXEN_FUZZ_MAX_LEN(4096)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string name(reinterpret_cast<const char*>(data), size);
    std::string vg, lv;
    if (LVM::SplitDmName(name, &vg, &lv) && lv.find('-') == std::string::npos && Escape(vg) + "-" + Escape(lv) != name)
        __builtin_trap();
    return 0;
}
