#include "hardlinks/SplitConfig.h"

#include <cerrno>
#include <cstring>

#include "hardlinks/HardLinkMessages.h"
#include "hardlinks/TextLineReader.h"
#include "platform/agent/KxLog.h"
#include "platform/base/QMString.h"

size_t HLGroupMap::Add(int32_t key, const std::vector<CollectToken>& tokens, bool merged) {
    Group& group = m_groups[key];
    Info& info = m_info[key];
    size_t added = 0, again = 0, over = 0;
    const CollectToken* firstSkipped = nullptr;
    for (const CollectToken& t : tokens) {
        bool full = m_index.size() >= kMaxEntries;
        if (full || !m_index.emplace(t.key(), Loc{key, static_cast<uint32_t>(group.size())}).second) {
            ++(full ? over : again);
            firstSkipped = firstSkipped ? firstSkipped : &t;
            continue;
        }
        group.emplace_back(t);
        if (t.hardLink) {
            ++info.hTotal;
            ++info.hPending;
        }
        ++added;
        if (merged)
            KXLOG(2, "++1111+HLDEBUG MAP GENERATION volume ID =<%d> file number <%s> ", key,
                  group.back().token.c_str());
        else
            KXLOG(2, "+3333++HLDEBUG MAP GENERATION volume ID =<%d> file number <%s> ", key,
                  group.back().token.c_str());
    }
    if (firstSkipped)
        KXLOG(-1,
              "split configuration group %d: %zu collect file(s) listed again and %zu over the "
              "bound of %zu skipped, the first %s",
              key, again, over, kMaxEntries, firstSkipped->str().c_str());
    return added;
}

int32_t HLGroupMap::GroupOf(const CollectToken& token) const {
    auto it = m_index.find(token.key());
    return it == m_index.end() ? -1 : it->second.group;
}

size_t HLGroupMap::MarkProcessed(int32_t n) {
    size_t changed = 0;
    for (bool h : {false, true}) {
        auto it = m_index.find(CollectToken{h, n}.key());
        if (it == m_index.end())
            continue;
        _HLColStatus& e = m_groups[it->second.group][it->second.pos];
        if (e.status != 0)
            continue;
        e.status = 1;
        ++changed;
        if (h)
            --m_info[it->second.group].hPending;
    }
    return changed;
}

uint32_t HLGroupMap::PendingH(int32_t group) const {
    auto it = m_info.find(group);
    return it == m_info.end() ? 0 : it->second.hPending;
}

bool HLGroupMap::HasH(int32_t group) const {
    auto it = m_info.find(group);
    return it != m_info.end() && it->second.hTotal > 0;
}

namespace {

// Reads a configuration file into the map, one group per non-empty line.
// 0, or the errno of the failed open or read.
// Calls fn(line number, parsed line) for each non-empty line (trimmed) of a
// configuration file until it answers false. 0, or the errno of the failed
// open or read (EINTR: fn stopped it).
template <class Fn>
int ForEachConfigLine(const std::string& path, SplitConfigKind kind, Fn fn) {
    TextLineReader lines;
    if (!lines.Open(path))
        return errno;
    std::string line;
    SplitConfigLine parsed;
    int rc;
    while ((rc = lines.Next(line)) == 1) {
        QMString::TrimWhiteSpace(line);
        if (line.empty())
            continue;
        ParseSplitConfigLine(kind, line, parsed);
        if (parsed.ignoredWords)
            KXLOG(1, "%s line %llu: words past the third ignored", path.c_str(),
                  static_cast<unsigned long long>(lines.LineNumber()));
        if (!fn(lines.LineNumber(), parsed))
            return EINTR;
    }
    if (rc < 0) {
        const int err = errno;
        KXLOG(-1, "%s: read failed after line %llu: %s", path.c_str(),
              static_cast<unsigned long long>(lines.LineNumber()), strerror(err));
        return err;
    }
    return 0;
}

// Reads a configuration file into the map, one group per non-empty line.
// 0, or the errno of the failed open or read.
int ReadInto(const std::string& path, SplitConfigKind kind, HLGroupMap& map) {
    int32_t group = 0;
    const int err = ForEachConfigLine(path, kind, [&](uint64_t lineNumber, SplitConfigLine& parsed) {
        if (parsed.badWords)
            KXLOG(-1, "%s line %llu: %llu bad word(s) skipped, first: %s", path.c_str(),
                  static_cast<unsigned long long>(lineNumber), static_cast<unsigned long long>(parsed.badWords),
                  parsed.firstError.c_str());
        map.Add(++group, parsed.members, kind == SplitConfigKind::MergedSplitConfig);
        return true;
    });
    if (err != 0 && group == 0 && err != EINTR)
        KXLOG(2, "+++++++Failed to open  input stream for hMergedSplitConfigName %s ++++++++++.", path.c_str());
    return err;
}

}  // namespace

bool ReadSplitConfigStrict(const std::string& path, SplitConfigKind kind, std::vector<SplitConfigGroup>& out,
                           std::string& error) {
    size_t entries = 0;
    const int err = ForEachConfigLine(path, kind, [&](uint64_t lineNumber, SplitConfigLine& parsed) {
        const std::string at = path + " line " + std::to_string(lineNumber) + ": ";
        if (parsed.badWords)
            error = at + parsed.firstError;
        else if ((entries += parsed.members.size()) > HLGroupMap::kMaxEntries)
            error = at + "more than " + std::to_string(HLGroupMap::kMaxEntries) + " collect files";
        else
            out.push_back(SplitConfigGroup{lineNumber, std::move(parsed.members)});
        return error.empty();
    });
    if (err == 0)
        return true;
    if (err != EINTR)
        error = path + ": " + strerror(err);
    errno = err == EINTR ? EINVAL : err;
    return false;
}

void AppendRestartOrder(const std::vector<std::vector<int32_t>>& groups, std::vector<RestartInfo_t>& list) {
    std::vector<std::pair<const std::vector<int32_t>*, size_t>> live;
    for (const auto& g : groups)
        if (!g.empty())
            live.emplace_back(&g, 0);
    while (!live.empty()) {
        size_t kept = 0;
        for (auto& [group, next] : live) {
            RestartInfo_t r{};
            r.collectNumber = (*group)[next++];
            list.push_back(r);
            KXLOG(2, "+++HLDEBUG Restart info added for =<%d>", r.collectNumber);
            if (next < group->size())
                live[kept++] = {group, next};
        }
        live.resize(kept);
    }
}

bool ReadMergedSplitConfigFileMap(EvEvent*, const std::string& path, HLGroupMap& map) {
    return ReadInto(path, SplitConfigKind::MergedSplitConfig, map) == 0;
}

bool ReadSplitConfigFileMap(EvEvent*, const std::string& path, HLGroupMap& map) {
    return ReadInto(path, SplitConfigKind::SplitConfig, map) == 0;
}

void UpdateStatusToCompletedForHLFile(int32_t n, HLGroupMap& map) { map.MarkProcessed(n); }

uint32_t UpdateStatusToFailForHLFile(int32_t n, HLGroupMap& map, std::vector<RestartInfo_t>& list) {
    map.MarkProcessed(n);
    uint32_t marked = 0;
    for (bool h : {false, true}) {
        const int32_t group = map.GroupOf(CollectToken{h, n});
        if (group < 0 || !map.HasH(group))
            continue;
        for (RestartInfo_t& r : list) {
            if (r.offset == kRestartFinished || r.offset == kRestartFailed ||
                map.GroupOf(CollectToken{false, r.collectNumber}) != group)
                continue;
            KXLOG(2,
                  "+++HLDEBUG Marking Restart info for collect file %d as failed due to HL collect "
                  "file failure",
                  r.collectNumber);
            r.offset = kRestartFailed;
            ++marked;
        }
    }
    return marked;
}

bool PopulateRestartInfoListUsingSplitConfig(EvEvent* event, const std::string& dir, std::vector<RestartInfo_t>& list) {
    HLGroupMap map;
    const std::string path = dir + "/" + kCollectSplitConfigName;
    int err = ReadInto(path, SplitConfigKind::SplitConfig, map);
    (void)event;
    if (err == ENOENT)
        return true;  // no split: the caller lists the collect files itself
    if (err != 0)
        return false;
    std::vector<std::vector<int32_t>> groups;
    for (const auto& kv : map.groups()) {
        KXLOG(2, "+++HLDEBUG Restart info volume ID =<%d>", kv.first);
        groups.emplace_back();
        for (const _HLColStatus& e : kv.second)
            groups.back().push_back(e.parsed.number);
    }
    AppendRestartOrder(groups, list);
    return true;
}

int32_t GetTheCountOfRegularCollectFilesForSpecificHLGroup(int32_t n, EvEvent*, const HLGroupMap& map) {
    const int32_t group = map.GroupOf(CollectToken{true, n});
    if (group < 0)
        return 0;
    int32_t count = 0;
    for (const _HLColStatus& e : map.groups().at(group))
        count += e.parsed.hardLink ? 0 : 1;
    return count;
}

bool ShouldWaitForHardLinkCollectFilesProcessing(int32_t n, const HLGroupMap& map) {
    if (map.GroupOf(CollectToken{true, n}) >= 0)
        return false;
    const int32_t group = map.GroupOf(CollectToken{false, n});
    return group >= 0 && map.PendingH(group) > 0;
}

bool ProcessingHardLinkCollect(int32_t n, const HLGroupMap& parentMap) {
    return ShouldWaitForHardLinkCollectFilesProcessing(n, parentMap);
}

std::vector<int32_t> PendingHardLinkCollectFiles(int32_t n, const HLGroupMap& map) {
    std::vector<int32_t> pending;
    if (!ShouldWaitForHardLinkCollectFilesProcessing(n, map))
        return pending;
    for (const _HLColStatus& e : map.groups().at(map.GroupOf(CollectToken{false, n})))
        if (IfHLColFileRemainingToBeProcessed()(e))
            pending.push_back(e.parsed.number);
    return pending;
}
