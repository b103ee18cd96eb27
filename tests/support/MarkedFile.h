// A per-file object whose per-item marks a test sets (as collect-line
// markers and the hard-link wiring do) after each open; a pass over paths.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/archive/MemoryRecordSink.h"
#include "platform/text/FileNameEscape.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/StreamBackupPass.h"

namespace testfiles {

struct ItemMarks {
    bool hlCollectEntry = false, headOfNewGroup = false, pseudo = false, phonyFlag = false, sub = false;
    int mountIndex = 0;
    std::string fsType, phonyName;
};

// A per-file object whose current item and stream state a test may change.
class OpenedFile : public RuxenFile {
public:
    using RuxenFile::ItemForUpdate;
    using RuxenFile::RuxenFile;
    using RuxenFile::StreamStateForUpdate;
};

class MarkedFile : public OpenedFile {
public:
    using OpenedFile::OpenedFile;
    ItemMarks marks;
    int OpenFilesForBackup(CollectLineSource& source, FILE* failures) override {
        int r = RuxenFile::OpenFilesForBackup(source, failures);
        RuxenItemState& item = ItemForUpdate();
        item.hlCollectEntry = marks.hlCollectEntry;
        item.pseudoItem = marks.pseudo;
        item.phonyNameFlag = marks.phonyFlag;
        item.phonyHLName = marks.phonyName;
        item.mountPointIndex = marks.mountIndex;
        item.subItemMarker = marks.sub;
        item.headOfNewGroup = marks.headOfNewGroup;
        item.fsType = marks.fsType;
        return r;
    }
};

inline StreamBackupPass::Result PassOver(RuxenFile& file, const std::vector<std::string>& paths,
                                         FILE* failures = nullptr) {
    std::string text;
    for (const std::string& p : paths)
        text += ruxen::escapeFileName(p.c_str()) + "\n";
    CollectFileReader reader;
    reader.OpenMemory("collect", text);
    StreamBackupPass pass(file, failures);
    return pass.RunDataLoop(reader);
}

inline std::vector<uint32_t> TypesOf(const MemoryRecordSink& sink) {
    std::vector<uint32_t> t;
    for (size_t i = 0; i < sink.RecordCount(); ++i)
        t.push_back(sink.RecordType(i));
    return t;
}

// The records of one type, or (type 0) every record with its type.
using Records = std::vector<std::pair<uint32_t, std::string>>;
inline Records RecordsOf(const MemoryRecordSink& sink, uint32_t type = 0) {
    Records r;
    for (size_t i = 0; i < sink.RecordCount(); ++i)
        if (type == 0 || sink.RecordType(i) == type)
            r.emplace_back(sink.RecordType(i), std::string(sink.RecordBytes(i)));
    return r;
}

}  // namespace testfiles
