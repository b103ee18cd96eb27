// Checks what a stream pass wrote into a MemoryRecordSink against the file
// system, with the archive verifier of the tools: every regular item's data
// and holes must equal its file. The verifier's lines go to `report`.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/ArchiveDump.h"
#include "common/ArchiveVerifier.h"
#include "platform/MemoryRecordSink.h"
#include "ruxen/PipelineRecordTypes.h"

namespace testfiles {

struct SinkCheck {
    uint64_t items = 0, matched = 0, failed = 0, notCompared = 0;
    bool ok = false;
    std::string report;
};

inline SinkCheck VerifySink(const MemoryRecordSink& sink) {
    char* text = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&text, &len);
    SinkCheck c;
    {
        ArchiveVerifier v(out);
        uint64_t offset = 0;
        for (size_t i = 0; i < sink.RecordCount(); ++i) {
            const std::string_view b = sink.RecordBytes(i);
            const uint32_t type = sink.RecordType(i);
            if (type == PL_FS_HEADER) {
                ZXFileHeader h;
                const char* why = nullptr;
                v.BeginItem(DecodeZXFileHeader(b.data(), b.size(), &h, &why) ? &h : nullptr, offset);
            } else if (type == PL_FS_DATA) {
                v.Data(b.data(), b.size(), offset);
            } else if (type == PL_FS_HOLE && b.size() == 4) {
                uint32_t n;
                memcpy(&n, b.data(), 4);
                v.Hole(ntohl(n), offset);
            } else if (type == PL_FS_EOF || type == PL_FS_EOF_FAILED) {
                v.EndItem(type == PL_FS_EOF_FAILED, std::string_view(b.data(), strnlen(b.data(), b.size())), offset);
            }
            offset += 8 + b.size();
        }
        v.StreamEnded(offset);
        c.items = v.Items();
        c.matched = v.Matched();
        c.failed = v.Failed();
        c.notCompared = v.NotCompared();
        c.ok = v.Ok();
    }
    fclose(out);
    c.report.assign(text, len);
    free(text);
    return c;
}

// The data of the n-th item of the sink (holes as zeros), for items the
// verifier cannot compare (stubs, resource forks).
inline std::string ItemBytes(const MemoryRecordSink& sink, size_t n) {
    std::string out;
    size_t item = 0;
    for (size_t i = 0; i < sink.RecordCount(); ++i) {
        const uint32_t type = sink.RecordType(i);
        if (type == PL_FS_HEADER)
            ++item;
        if (item != n + 1)
            continue;
        const std::string_view b = sink.RecordBytes(i);
        if (type == PL_FS_DATA) {
            out.append(b.data(), b.size());
        } else if (type == PL_FS_HOLE && b.size() == 4) {
            uint32_t h;
            memcpy(&h, b.data(), 4);
            out.append(ntohl(h), '\0');
        }
    }
    return out;
}

}  // namespace testfiles
