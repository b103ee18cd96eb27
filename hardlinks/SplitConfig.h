// Hard-link groups of the split configuration and their status.
//
// "Merged_split_config" (written by the merge) lists one group per line: the
// group's collect files, its hard-link collect files marked with H. The
// parent holds a regular collect file back while an H collect file of its
// group is not yet processed, and marks files completed or failed as the
// children report them. "split_config" gives the groups of the restart list.
// Line formats: SplitConfigLine.h. A group's number ("volume ID") is the
// ordinal of the non-empty line that defined it.
//
// Every collect file (kind and number) is in at most one group: a token
// listed again is skipped with a logged message, as is a bad token. The map
// keeps an index from token to group and each group's count of pending H
// files, so the hold test before a hand-out costs a hash look-up.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "hardlinks/HLColStatus.h"
#include "hardlinks/RestartInfo.h"
#include "hardlinks/SplitConfigLine.h"

class EvEvent;

class HLGroupMap {
public:
    using Group = std::deque<_HLColStatus>;
    // At most this many entries over all groups; further tokens are refused.
    static constexpr size_t kMaxEntries = size_t(1) << 22;

    // Appends the tokens to group `key` (created when absent). Returns the
    // number added; tokens already present and tokens over the bound are
    // skipped with a level -1 message. `merged` picks the debug message.
    size_t Add(int32_t key, const std::vector<CollectToken>& tokens, bool merged);

    const std::map<int32_t, Group>& groups() const { return m_groups; }
    bool empty() const { return m_groups.empty(); }
    size_t entries() const { return m_index.size(); }

    // The group holding the token, or -1.
    int32_t GroupOf(const CollectToken& token) const;
    // Sets status 1 on the entries numbered n (H or not). Returns how many
    // changed from 0.
    size_t MarkProcessed(int32_t n);
    // Hard-link collect files of the group still at status 0.
    uint32_t PendingH(int32_t group) const;
    bool HasH(int32_t group) const;

private:
    struct Info {
        uint32_t hTotal = 0;
        uint32_t hPending = 0;
    };
    struct Loc {
        int32_t group;
        uint32_t pos;
    };
    std::map<int32_t, Group> m_groups;
    std::map<int32_t, Info> m_info;
    std::unordered_map<uint64_t, Loc> m_index;
};

// One non-empty line of a configuration file, read strictly.
struct SplitConfigGroup {
    uint64_t line = 0;                  // its line number
    std::vector<CollectToken> members;  // in order
};
// Reads a configuration file strictly, for a program that must not take it
// wrongly: a bad word, a range over its bound, more than
// HLGroupMap::kMaxEntries collect files in all, an over-long line or a read
// error is an error. False with the reason in `error` (errno ENOENT when the
// file is absent). Words past the third of a split_config line are logged
// and ignored, as every reader ignores them.
bool ReadSplitConfigStrict(const std::string& path, SplitConfigKind kind, std::vector<SplitConfigGroup>& out,
                           std::string& error);
// The order a job takes the collect files of groups: one of each group per
// turn, groups in order ((1,2,3) (4) (5,6) give 1, 4, 5, 2, 6, 3).
void AppendRestartOrder(const std::vector<std::vector<int32_t>>& groups, std::vector<RestartInfo_t>& list);

// Reads "Merged_split_config" into the map. False when the file cannot be
// opened or a read fails; groups read before a failure stay.
bool ReadMergedSplitConfigFileMap(EvEvent* event, const std::string& path, HLGroupMap& map);
// Reads "split_config" into the map (ranges expanded). False when the file
// cannot be opened or a read fails.
bool ReadSplitConfigFileMap(EvEvent* event, const std::string& path, HLGroupMap& map);

// Collect file n (H or regular) finished: status 1.
void UpdateStatusToCompletedForHLFile(int32_t n, HLGroupMap& map);
// The stream working on collect file n failed: n gets status 1 and, when n's
// group holds a hard-link collect file, the restart entries of the group's
// regular collect files that are neither finished nor failed are marked
// failed (-2). Returns how many entries it newly marked.
uint32_t UpdateStatusToFailForHLFile(int32_t n, HLGroupMap& map, std::vector<RestartInfo_t>& list);

// Appends one RestartInfo_t per collect file of "<dir>/split_config", one
// file of each group per turn, groups in rising order: (1,2,3) (4) (5,6)
// give 1, 4, 5, 2, 6, 3. No file adds nothing and is no failure; false when
// the file cannot be read.
bool PopulateRestartInfoListUsingSplitConfig(EvEvent* event, const std::string& dir, std::vector<RestartInfo_t>& list);

// The number of regular collect files in the group that holds Hn (0 when
// none does).
int32_t GetTheCountOfRegularCollectFilesForSpecificHLGroup(int32_t n, EvEvent* event, const HLGroupMap& map);

// Whether collect file n must be held back: n is a regular collect file whose
// group still has a hard-link collect file to process. H files never wait.
bool ShouldWaitForHardLinkCollectFilesProcessing(int32_t n, const HLGroupMap& map);
// The wait answer over the parent's map (the job object passes its own).
bool ProcessingHardLinkCollect(int32_t n, const HLGroupMap& parentMap);

// The numbers of the hard-link collect files that hold collect file n back
// (empty when it does not wait): a parent with no child left to process them
// fails n instead of waiting.
std::vector<int32_t> PendingHardLinkCollectFiles(int32_t n, const HLGroupMap& map);
