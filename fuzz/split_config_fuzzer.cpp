// The split configuration files are text that other programs write. The
// first byte picks the form (split_config, Merged_split_config,
// HCollect_split_config); the rest is the file. No input may crash the
// reader; no token below 1 or above INT32_MAX comes out; a range never
// yields more than its cap; every collect file lands in at most one group and
// the pending counts match the statuses; Merged_split_config lines written
// back from what was read read back the same.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "hardlinks/SplitConfig.h"
#include "platform/agent/KxLog.h"
#include "platform/base/QMString.h"

// Past the line reader's bound of 1 MiB.
RUXEN_FUZZ_MAX_LEN((1u << 20) + 64)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    static bool quiet = (KxLog::UseFile("/dev/null"), true);
    (void)quiet;
    const SplitConfigKind kind = static_cast<SplitConfigKind>(data[0] % 3);
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    HLGroupMap map;
    SplitConfigLine parsed, again;
    int32_t group = 0;
    size_t added = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        QMString::TrimWhiteSpace(line);
        if (line.empty())
            continue;
        ParseSplitConfigLine(kind, line, parsed);
        if (parsed.members.size() > line.size() + SplitConfigLine::kMaxRangeSpan)
            abort();
        std::string written;
        for (const CollectToken& t : parsed.members) {
            if (t.number < 1 || t.number > INT32_MAX)
                abort();
            written += t.str() + " ";
        }
        ParseSplitConfigLine(SplitConfigKind::MergedSplitConfig, written, again);
        if (again.badWords || again.members.size() != parsed.members.size())
            abort();
        for (size_t i = 0; i < again.members.size(); ++i)
            if (!(again.members[i] == parsed.members[i]))
                abort();
        added += map.Add(++group, parsed.members, kind == SplitConfigKind::MergedSplitConfig);
    }
    size_t entries = 0;
    for (const auto& kv : map.groups()) {
        uint32_t pending = 0;
        for (const _HLColStatus& e : kv.second) {
            if (map.GroupOf(e.parsed) != kv.first)
                abort();
            pending += IfHLColFileRemainingToBeProcessed()(e) ? 1 : 0;
        }
        if (pending != map.PendingH(kv.first))
            abort();
        entries += kv.second.size();
        if (!kv.second.empty() && ShouldWaitForHardLinkCollectFilesProcessing(kv.second.front().parsed.number, map) &&
            kv.second.front().parsed.hardLink)
            abort();  // an H file never waits
    }
    if (entries != added || entries != map.entries())
        abort();
    return 0;
}
