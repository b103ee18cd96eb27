// A per-file object whose records go to memory, with one item of the real
// file system opened and its header filled as the stream pass would, for
// tests of the operations that send an item's records.
#pragma once

#include <string>

#include "platform/text/FileNameEscape.h"
#include "platform/archive/KXArchive.h"
#include "platform/archive/MemoryRecordSink.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/RuxenFile.h"

namespace testfiles {

template <class File = RuxenFile>
struct MemoryItemOf {
    MemoryRecordSink sink;
    KXArchive archive{&sink};
    File file{&archive};

    // Opens `path` (as one collect line) and fills its header (unless
    // told not to: a path too long for it); false when a step does not go on.
    bool Open(const std::string& path, bool fillHeader = true) {
        return OpenLine(ruxen::escapeFileName(path.c_str()), fillHeader);
    }
    // The same for a collect line as written (markers, escapes).
    bool OpenLine(const std::string& line, bool fillHeader = true) {
        CollectFileReader reader;
        reader.OpenMemory("collect", line + "\n");
        return file.OpenFilesForBackup(reader, nullptr) == RuxenFile::kItemGoOn &&
               (!fillHeader || file.PopulateHeader(nullptr, nullptr) == RuxenFile::kItemGoOn);
    }
    std::string Record(size_t i) const { return std::string(sink.RecordBytes(i)); }
};
using MemoryItem = MemoryItemOf<>;

}  // namespace testfiles
