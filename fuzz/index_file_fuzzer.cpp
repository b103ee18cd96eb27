// Feeds arbitrary bytes to the index-file dump and to the decoders of
// metadata record payloads (pairs and messages). Whatever decodes must
// encode back to the same bytes: both forms are canonical.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "common/IndexDump.h"
#include "platform/index/IdxMessage.h"
#include "platform/index/IndexMetaDataHelper.h"
#include "platform/index/IndexRecords.h"

RUXEN_FUZZ_MAX_LEN(64 * 1024)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* p = reinterpret_cast<const char*>(data);
    IndexDump dump(nullptr, nullptr);
    dump.RunMemory(data, size, "fuzz");

    std::string text;
    const char* why = nullptr;
    IndexDump::DescribeMetadata(p, size, &text, &why);
    if (size >= 1)
        IndexDump::DescribeRecord(static_cast<uint8_t>(p[0]) % 12, p + 1, size - 1, &text, &why);

    IdxMessage m(0, 0);
    if (IdxMessage::Decode(p, size, &m, &why)) {
        if (m.EncodedSize() != size || m.EncodeToString() != std::string(p, size))
            __builtin_trap();
        m.ToText();
    }
    std::vector<IndexMetaDataHelper::Pair> pairs;
    if (IndexMetaDataHelper::DecodePairs(p, size, &pairs, &why)) {
        IndexMetaDataHelper h;
        std::string again(size, '\0');
        unsigned offset = 0;
        for (const auto& pair : pairs)
            if (pair.value.find('\0') == std::string::npos &&
                h.fillBuffer(pair.kind, pair.value.c_str(), &again[0], static_cast<unsigned>(size), offset,
                             pair.more) != 0)
                __builtin_trap();
        if (offset == size && again != std::string(p, size))
            __builtin_trap();
    }
    return 0;
}
