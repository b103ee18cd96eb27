// An archive stream checked against the file system by the archive verifier
// (every regular item's bytes and size, holes as zeros), from a memory sink
// or from a stream file.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/ArchiveDump.h"
#include "common/ArchiveVerifier.h"
#include "platform/archive/ArchiveStreamReader.h"
#include "platform/base/Coding.h"
#include "platform/archive/MemoryRecordSink.h"
#include "ruxen/PipelineRecordTypes.h"

namespace testfiles {

struct StreamCheck {
    bool wellFormed = false;  // framing sound, every record fits its type
    uint64_t items = 0, matched = 0, failed = 0, notCompared = 0, mismatched = 0;
    std::string lines;  // the verifier's MISMATCH, FAILED, SKIPPED and ERROR lines
    bool Ok() const { return wellFormed && mismatched == 0 && lines.find("ERROR") == std::string::npos; }
};

namespace detail {

template <typename Feed>
StreamCheck RunVerifier(Feed feed) {
    StreamCheck c;
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    {
        ArchiveVerifier v(out);
        c.wellFormed = feed(v);
        c.items = v.Items();
        c.matched = v.Matched();
        c.failed = v.Failed();
        c.notCompared = v.NotCompared();
        c.mismatched = v.Mismatched();
    }
    fclose(out);
    c.lines.assign(text, size);
    free(text);
    return c;
}

}  // namespace detail

inline StreamCheck CheckRecords(const MemoryRecordSink& sink) {
    return detail::RunVerifier([&](ArchiveVerifier& v) {
        bool ok = true;
        for (size_t i = 0; i < sink.RecordCount(); ++i) {
            std::string_view r = sink.RecordBytes(i);
            switch (sink.RecordType(i)) {
            case PL_FS_HEADER: {
                ZXFileHeader h;
                const char* why = nullptr;
                bool decoded = DecodeZXFileHeader(r.data(), r.size(), &h, &why);
                ok = ok && decoded;
                v.BeginItem(decoded ? &h : nullptr, i);
                break;
            }
            case PL_FS_DATA: v.Data(r.data(), r.size(), i); break;
            case PL_FS_HOLE: {
                uint32_t n = 0;
                ok = ok && r.size() == 4;
                memcpy(&n, r.data(), r.size() == 4 ? 4 : 0);
                v.Hole(ntohl(n), i);
                break;
            }
            case PL_FS_EOF:
            case PL_FS_EOF_FAILED:
                v.EndItem(sink.RecordType(i) == PL_FS_EOF_FAILED, std::string_view(r.data(), strnlen(r.data(), r.size())), i);
                break;
            case PL_FS_OPT_HDR2: v.Member(std::string_view(r.data(), strnlen(r.data(), r.size())), i); break;
            case PL_FS_OPT_HDR:
                ok = ok && r.size() >= kOptionalHeaderPrefixSize;
                if (r.size() >= kOptionalHeaderPrefixSize)
                    v.OptionalHeader(ruxen::DecodeFixed32(r.data() + 4), r.data() + kOptionalHeaderPrefixSize,
                                     r.size() - kOptionalHeaderPrefixSize, i);
                break;
            default: break;
            }
        }
        v.StreamEnded(sink.RecordCount());
        return ok;
    });
}

inline StreamCheck CheckArchiveFile(const std::string& path) {
    return detail::RunVerifier([&](ArchiveVerifier& v) {
        ArchiveStreamReader reader;
        if (!reader.OpenFile(path.c_str()))
            return false;
        ArchiveDump dump(nullptr, nullptr);
        dump.SetVerifier(&v);
        return dump.Run(reader);
    });
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
