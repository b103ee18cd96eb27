// NAS snapshot metadata comes from the array, and stored reference times from
// the subclient's properties: any bytes must split and parse without a crash,
// the '|' form must give back exactly what it was made of, JSON values never
// run past their ',' or '}', and a reference-times list that reads must write
// and read back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "mapping/SnapFSContentMapper.h"
#include "platform/agent/KxLog.h"
#include "platform/index/NASReferenceTimes.h"

// Past the reference-times line bound of 16 KiB.
RUXEN_FUZZ_MAX_LEN(32 * 1024)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = (KxLog::UseFile("/dev/null"), true);
    (void)quiet;
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const unsigned long engine = (data[0] & 1) ? SnapFSContentMapper::kJsonMetaDataEngine : 7;

    std::string server, fs, snap, vol;
    SnapFSContentMapper::SplitMetaData(text, server, fs, snap, vol, engine);
    if (engine != SnapFSContentMapper::kJsonMetaDataEngine) {
        size_t bars = 0;
        for (size_t p = text.find('|'); p != std::string::npos && bars < 3; p = text.find('|', p + 1))
            ++bars;
        if (bars == 3 && server + "|" + fs + "|" + snap + "|" + vol != text)
            abort();
        if (bars < 3 && !vol.empty())
            abort();
    }
    for (const char* key : {"ArrayName", "Path", ""}) {
        std::string value;
        if (SnapFSContentMapper::getJsonVal(text, key, value) && value.find_first_of(",}") != std::string::npos)
            abort();
    }

    NAS::Backup_ReferenceTimesList list;
    if (list.fromText(text)) {
        const std::string again = list.toText();
        NAS::Backup_ReferenceTimesList back;
        if (again.empty() || !back.fromText(again) || back.prevJobId != list.prevJobId ||
            back.elements.size() != list.elements.size())
            abort();
        for (size_t i = 0; i < list.elements.size(); ++i)
            if (back.elements[i].backupPath != list.elements[i].backupPath ||
                back.elements[i].prevIncrSnap != list.elements[i].prevIncrSnap)
                abort();
    } else if (list.prevJobId != 0 || !list.elements.empty()) {
        abort();  // a refused text leaves the list empty
    }
    return 0;
}
