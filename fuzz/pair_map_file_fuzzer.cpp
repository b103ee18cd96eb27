// Pair-map files (--proxy-map, --name-map, --map) are written by users, and
// snapshot names come from devices: any bytes must parse without a crash,
// every pair read must be two absolute paths that hold no separator with a
// first path given once, and a snapshot name that parses must parse again,
// to the same values, once re-written.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "FuzzSupport.h"
#include "norfa/FlrSnapMgr.h"
#include "platform/text/PairMapFile.h"
#include "platform/text/PathUtil.h"

// Past the pair-map line bound of 8 KiB.
RUXEN_FUZZ_MAX_LEN(16 * 1024)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    PairMapFile::Pairs pairs;
    std::string error;
    if (PairMapFile::Parse(text, "fuzz", pairs, error)) {
        std::set<std::string> firsts;
        for (const auto& p : pairs) {
            for (const std::string* s : {&p.first, &p.second})
                if (s->empty() || (*s)[0] != '/' || s->find_first_of(std::string("\t\n\r\0", 4)) != std::string::npos)
                    abort();
            if (!firsts.insert(PathUtil::StripTrailingSlashes(p.first)).second)
                abort();
        }
    } else if (error.compare(0, 5, "fuzz:") != 0 || !pairs.empty()) {
        abort();  // an error names the line and nothing is used
    }

    FlrSnapMgr::SNAP_TYPE type;
    long time = 0, seq = 0;
    if (FlrSnapMgr::parseShortSnapName(text.c_str(), &type, &time, &seq) == 1) {
        if (time < 0 || seq < 0)
            abort();
        char again[64];
        snprintf(again, sizeof(again), "%.4s%lx_%lx", text.c_str(), time, seq);
        FlrSnapMgr::SNAP_TYPE type2;
        long time2 = -1, seq2 = -1;
        if (FlrSnapMgr::parseShortSnapName(again, &type2, &time2, &seq2) != 1 || type2 != type || time2 != time ||
            seq2 != seq)
            abort();
    }
    return 0;
}
