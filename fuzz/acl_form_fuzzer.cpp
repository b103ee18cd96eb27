// Feeds arbitrary bytes to the decoder of the ACL and extended-attribute
// form. A form that decodes must write back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "common/AclForm.h"
#include "platform/base/Coding.h"

// Past the largest form, 61439 bytes.
RUXEN_FUZZ_MAX_LEN(64 * 1024)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* p = reinterpret_cast<const char*>(data);
    std::vector<KxACL::Entry> entries;
    const char* why = nullptr;
    std::string text;
    AclForm::Describe(p, size, &text, &why);
    if (!AclForm::Decode(p, size, &entries, &why))
        return 0;
    std::string again(size, '\0');
    ruxen::NetWriter w(&again[0]);
    w.U32(KxACL::kFormVersion).U32(static_cast<uint32_t>(entries.size()));
    for (const KxACL::Entry& e : entries) {
        w.U8(e.kind).U16(static_cast<uint16_t>(e.name.size())).U32(static_cast<uint32_t>(e.value.size()));
        w.Bytes(e.name.data(), e.name.size()).Bytes(e.value.data(), e.value.size());
    }
    if (again != std::string(p, size))
        __builtin_trap();
    return 0;
}
