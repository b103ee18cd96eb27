// Feeds arbitrary bytes to the archive-stream reader and to the dump's
// record decoding, index metadata records (pairs and messages) included (no
// file-system access: no verifier).
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "common/ArchiveDump.h"
#include "platform/archive/ArchiveStreamReader.h"

static volatile size_t g_touched = 0;

// Across the reader's 1 MiB chunks.
RUXEN_FUZZ_MAX_LEN((1u << 20) + 64 * 1024)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ArchiveStreamReader reader;
    if (reader.OpenMemory(data, size, "fuzz")) {
        ArchiveDump dump(nullptr, nullptr);
        dump.Run(reader);
    }

    // The same bytes read with every way of taking a payload: whole, in
    // chunks, or skipped, chosen by the record type.
    if (reader.OpenMemory(data, size, "fuzz")) {
        ArchiveRecord r;
        ArchiveStreamReader::Status st;
        while ((st = reader.Next(&r)) == ArchiveStreamReader::kRecord) {
            const char* p = nullptr;
            size_t n = 0;
            switch (r.type % 3) {
            case 0:
                if (reader.ReadPayload(&p, &n)) {
                    if (n != r.length)
                        __builtin_trap();
                    if (n > 0 && (p[0] ^ p[n - 1]) == 0x7f)  // touch both ends
                        ++g_touched;
                }
                break;
            case 1: {
                size_t total = 0;
                while (reader.ReadChunk(&p, &n) && n > 0)
                    total += n;
                if (!reader.Failed() && total != r.length)
                    __builtin_trap();
                break;
            }
            default:
                break;
            }
        }
        // A stream ends cleanly only with its end record, as the last bytes.
        if (st == ArchiveStreamReader::kEnd &&
            reader.EndOffset() + kArchiveStreamFrameSize + reader.EndLength() != size)
            __builtin_trap();
        // An older writer's end record has no status to answer.
        if (st == ArchiveStreamReader::kEnd && reader.EndLength() == kArchiveStreamOldEndPayloadSize &&
            reader.EndStatus() != kArchiveStreamStatusUnknown)
            __builtin_trap();
    }
    return 0;
}
