// Index records as the dump prints them, for comparing with hand-written
// expected lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/IndexDump.h"
#include "platform/archive/MemoryRecordSink.h"

namespace testfiles {

// One line per record of an index sink: "<type> <text>" ("<type> ?<why>"
// for a record that does not decode).
inline std::vector<std::string> IndexLines(const MemoryRecordSink& sink) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < sink.RecordCount(); ++i) {
        std::string text;
        const char* why = nullptr;
        const std::string_view b = sink.RecordBytes(i);
        const bool ok = IndexDump::DescribeRecord(sink.RecordType(i), b.data(), b.size(), &text, &why);
        lines.push_back(std::to_string(sink.RecordType(i)) + " " + (ok ? text : "?" + std::string(why)));
    }
    return lines;
}

}  // namespace testfiles
