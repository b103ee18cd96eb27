// A per-file object whose per-item marks a test sets (as collect-line
// markers and the hard-link wiring do) after each open; a pass over paths.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/text/FileNameEscape.h"
#include "platform/archive/MemoryRecordSink.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/StreamBackupPass.h"

namespace testfiles {

struct ItemMarks {
    bool hlCollectEntry = false, headOfNewGroup = false, pseudo = false, phonyFlag = false, sub = false;
    int mountIndex = 0;
    std::string fsType, phonyName;
};

class MarkedFile : public RuxenFile {
public:
    using RuxenFile::RuxenFile;
    ItemMarks marks;
    int OpenFilesForBackup(CollectLineSource& source, FILE* failures) override {
        int r = RuxenFile::OpenFilesForBackup(source, failures);
        m_hlCollectEntry = marks.hlCollectEntry;
        m_pseudoItem = marks.pseudo;
        m_phonyNameFlag = marks.phonyFlag;
        phonyHLName = marks.phonyName;
        m_mountPointIndex = marks.mountIndex;
        m_subItemMarker = marks.sub;
        Private().headOfNewGroup = marks.headOfNewGroup;
        Private().itemFsType = marks.fsType;
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
