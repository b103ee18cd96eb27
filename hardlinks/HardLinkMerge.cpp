// HardLinkManager::MergeSplitFiles: the H collect files of
// "HCollect_split_config" and the collect files of "split_config" renumbered
// into one consecutive set, each group's H collect files first.
//
// Everything is read and checked, and the whole merge planned, before the
// first file changes: new numbers as second names of the files (nothing is
// replaced yet), then renames of those over the old numbering, removal of
// old names nothing replaced, and the two configurations, Merged_split_config
// last, which marks a complete merge. The plan is the merge's journal (see
// DirectoryJournal), written and synced first; a merge that stops after it,
// killed or failed, is finished by the next run (RecoverMerge). The
// hard-links table is never touched.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "hardlinks/DirectoryJournal.h"
#include "hardlinks/HCollectFile.h"
#include "hardlinks/HardLinkManager.h"
#include "hardlinks/HardLinkMessages.h"
#include "hardlinks/JobDirectory.h"
#include "hardlinks/JobDirectoryLock.h"
#include "hardlinks/SplitConfig.h"
#include "hardlinks/SplitConfigLine.h"
#include "platform/agent/KxLog.h"

namespace {

// Keys in the order of their decimal strings: "10" before "2".
struct DecimalStringOrder {
    bool operator()(uint32_t a, uint32_t b) const {
        char x[16], y[16];
        char* ex = std::to_chars(x, x + sizeof(x), a).ptr;
        char* ey = std::to_chars(y, y + sizeof(y), b).ptr;
        return std::lexicographical_compare(x, ex, y, ey);
    }
};

struct MergeGroup {
    std::vector<int32_t> hFiles;   // H collect files, in the order read
    std::vector<int32_t> regular;  // collect files of the key's split_config line(s)
};
using MergeGroups = std::map<uint32_t, MergeGroup, DecimalStringOrder>;

[[noreturn]] void Malformed(const std::string& file, uint64_t line, const std::string& why) {
    KXLOG(-1, "%s line %llu: %s", file.c_str(), static_cast<unsigned long long>(line), why.c_str());
    throw HardLinkManagerBaseException("malformed " + file);
}

// Reads a configuration file's non-empty lines strictly. False when an
// optional file is absent; throws on any other failure and on a bad word.
bool ReadConfig(const std::string& path, SplitConfigKind kind, bool optional, std::vector<SplitConfigGroup>& out) {
    std::string error;
    if (ReadSplitConfigStrict(path, kind, out, error))
        return true;
    if (optional && errno == ENOENT) {
        KXLOG(2, "+++++++Failed to open  input stream for CollectSplitFileName %s ++++++++++.", path.c_str());
        return false;
    }
    if (errno == ENOENT)
        KXLOG(2, "+++++++Failed to open  input stream for hCollectSplitFileName %s ++++++++++.", path.c_str());
    KXLOG(-1, "%s", error.c_str());
    throw HardLinkManagerBaseException("cannot read " + path);
}

// A split_config line is a group keyed by its first number (a key on several
// lines gathers them); an H collect-split key joins the group that lists its
// collect file, or is a group of its own. No collect file may be named twice.
MergeGroups BuildGroups(const std::string& hConfig, const std::string& sConfig) {
    std::vector<SplitConfigGroup> hLines, sLines;
    ReadConfig(hConfig, SplitConfigKind::HCollectSplitConfig, false, hLines);
    ReadConfig(sConfig, SplitConfigKind::SplitConfig, true, sLines);
    MergeGroups groups;
    std::unordered_map<int32_t, uint32_t> memberOf;
    for (const auto& [lineNo, members] : sLines) {
        const uint32_t key = static_cast<uint32_t>(members[0].number);
        auto it = groups.find(key);
        const size_t from = it != groups.end() && it->second.regular[0] == members[0].number ? 1 : 0;
        MergeGroup& g = groups[key];
        for (size_t i = from; i < members.size(); ++i) {
            if (members[i].hardLink)
                Malformed(sConfig, lineNo, "names an H collect file");
            if (!memberOf.emplace(members[i].number, key).second)
                Malformed(sConfig, lineNo, "names collect file " + members[i].str() + " again");
            g.regular.push_back(members[i].number);
        }
    }
    std::unordered_set<int32_t> hSeen;
    for (const auto& [lineNo, members] : hLines) {
        auto owner = memberOf.find(members[0].number);
        const uint32_t key = owner != memberOf.end() ? owner->second : uint32_t(members[0].number);
        MergeGroup& g = groups[key];
        for (size_t i = 1; i < members.size(); ++i) {
            if (!hSeen.insert(members[i].number).second)
                Malformed(hConfig, lineNo, "names H collect file " + members[i].str() + " again");
            g.hFiles.push_back(members[i].number);
        }
    }
    return groups;
}

using Step = DirectoryJournal::Step;

// Before a merge with no journal: the configuration files a merge killed
// before its journal had written go; any other temporary file or journal of
// a split or merge was left by one that did not finish, and the directory is
// not merged over.
void ClearUnjournaled(const std::string& dir, const std::string& baseName) {
    for (const std::string& n :
         {std::string(kMergeJournalName) + kTempSuffix, std::string(kCollectSplitConfigName) + kMergeConfigSuffix,
          std::string(kMergedSplitConfigName) + kMergeConfigSuffix})
        if (RemoveFileIfPresent(dir + "/" + n) != 0)
            throw HardLinkManagerBaseException("cannot remove " + dir + "/" + n + ": " + strerror(errno));
    DIR* d = opendir(dir.c_str());
    if (!d)
        throw HardLinkManagerBaseException("cannot read " + dir + ": " + strerror(errno));
    std::string found;
    while (dirent* e = readdir(d))
        if (JobDirectory::IsUnfinishedWork(e->d_name, baseName))
            found = e->d_name;
    closedir(d);
    if (!found.empty()) {
        KXLOG(-1, "%s holds %s, left by a split or merge that did not finish: not merged over", dir.c_str(),
              found.c_str());
        throw HardLinkManagerBaseException("unfinished work in " + dir);
    }
}

// The merge's steps from its journal, finished: the links of its first phase
// again unless the journal marks them done (nothing was replaced before
// that), then every rename and removal not yet run.
void FinishMerge(DirectoryJournal& journal, const std::vector<Step>& steps, bool linked) {
    size_t phase2 = 0;
    while (phase2 < steps.size() && (steps[phase2].kind == Step::kLink || steps[phase2].kind == Step::kEmpty))
        ++phase2;
    if (!linked) {
        for (size_t i = 0; i < phase2; ++i)
            journal.Run(steps[i]);
        journal.SyncDirectory();
        journal.AppendMark(kMergeLinkedMark);
    }
    journal.Finish(std::vector<Step>(steps.begin() + static_cast<std::ptrdiff_t>(phase2), steps.end()));
    journal.Remove();
}

void AppendNumber(std::string& out, uint32_t n) {
    char buf[16];
    out.append(buf, static_cast<size_t>(std::to_chars(buf, buf + sizeof(buf), n).ptr - buf));
}

}  // namespace

// A merge killed after its journal was written is finished from the
// journal. True when there was one (collectCount and missing are its own).
bool HardLinkManager::RecoverMerge(DirectoryJournal& journal, uint32_t& collectCount, int& missing) {
    if (!journal.Exists())
        return false;
    std::string words;
    std::vector<Step> steps;
    std::vector<std::string> marks;
    unsigned long count = 0;
    int lost = 0;
    char extra = 0;
    if (!journal.Read(kMergeJournalKind, words, steps, marks) ||
        sscanf(words.c_str(), "%lu %d %c", &count, &lost, &extra) != 2 || count == 0 || count > uint32_t(INT32_MAX))
        throw HardLinkManagerBaseException("the journal of an earlier merge cannot be read");
    KXLOG(0, "the merge in %s was cut short: it is finished from its journal", m_jobResultsDir.c_str());
    FinishMerge(journal, steps, std::find(marks.begin(), marks.end(), kMergeLinkedMark) != marks.end());
    collectCount = static_cast<uint32_t>(count);
    missing = lost;
    return true;
}

bool HardLinkManager::MergeSplitFiles(uint32_t& collectCount, int& missing) {
    if (!HardLinkFeatureSupported())
        return false;
    // No scan, split or backup of the directory meanwhile (nothing is
    // touched when another holds it).
    JobDirectoryLock lock;
    std::string busy;
    if (!lock.Acquire(m_jobResultsDir, JobDirectoryLock::kExclusive, -1, &busy))
        throw HardLinkManagerCriticalException(busy);
    missing = 0;
    const std::string& dir = m_jobResultsDir;
    auto name = [&](const std::string& path) { return path.substr(dir.size() + 1); };
    auto hName = [&](uint32_t n) {
        return name(HCollectFile::GetHCollectFilePath(n, dir, m_baseName, kCollectSuffix));
    };
    auto cName = [&](uint32_t n) { return name(HCollectFile::GetCollectFilePath(n, dir, m_baseName, kCollectSuffix)); };
    auto tName = [&](uint32_t n) {
        return name(HCollectFile::GetCollectFilePath(n, dir, m_baseName, kMergeTempSuffix));
    };
    DirectoryJournal journal(dir, kMergeJournalName, JournalOps());
    bool committed = false;
    try {
        if (RecoverMerge(journal, collectCount, missing)) {
            Cleanup();
            return true;
        }
        ClearUnjournaled(dir, m_baseName);
        const std::string sConfig = GenerateCollectSplitConfigFileName(dir);
        MergeGroups groups = BuildGroups(GenerateHCollectSplitConfigFileName(dir), sConfig);
        for (const auto& kv : groups) {
            for (int32_t k : kv.second.hFiles)
                if (!PathExists(journal.Path(hName(k))))
                    Malformed(GenerateHCollectSplitConfigFileName(dir), 0, hName(k) + " does not exist");
            for (int32_t r : kv.second.regular)
                if (!PathExists(journal.Path(cName(r))))
                    Malformed(sConfig, 0, cName(r) + " does not exist");
        }
        // A collect file neither configuration names would be overwritten
        // by a new number and its items lost: a stale one is the caller's to
        // remove, as a backup would refuse it too.
        std::unordered_set<int32_t> named;
        for (const auto& [key, g] : groups) {
            named.insert(g.regular.begin(), g.regular.end());
            if (g.regular.empty())
                named.insert(int32_t(key));
        }
        JobDirectory layout(dir, m_baseName);
        if (!layout.CheckEveryCollectFileNamed(
                [&](int32_t n) { return named.count(n) != 0; },
                std::string("neither ") + kCollectSplitConfigName + " nor " + kHCollectSplitConfigName))
            throw HardLinkManagerBaseException(layout.Error());

        // Phase 1: every file gets its new number as a second name (H
        // collect files first in each group); phase 2 renames the new names
        // over the old numbering; phase 3 removes the old names that no new
        // one replaced; phase 4 puts the configurations in place,
        // Merged_split_config last: it marks a complete merge.
        std::vector<Step> linkSteps, renameSteps, removeSteps;
        uint32_t counter = 1;
        KXLOG(2, "00000+++++++next collect file number is  ++++++++++ %u.", counter);
        auto next = [&]() {
            if (counter > uint32_t(INT32_MAX))
                throw HardLinkManagerBaseException("collect numbers exhausted");
            return counter++;
        };
        auto take = [&](const std::string& source, CollectToken& token) {
            const uint32_t c = next();
            token.number = int32_t(c);
            linkSteps.push_back(Step{Step::kLink, source, tName(c)});
            removeSteps.push_back(Step{Step::kRemove, source, std::string()});
        };
        std::vector<std::pair<uint32_t, std::vector<CollectToken>>> renumbered;
        int absent = 0;
        for (const auto& [key, g] : groups) {
            std::vector<CollectToken> tokens;
            for (int32_t k : g.hFiles) {
                tokens.push_back(CollectToken{true, 0});
                take(hName(k), tokens.back());
                KXLOG(2, "11+++++++moving %s to %s ++++++++++.", hName(k).c_str(), tName(tokens.back().number).c_str());
            }
            for (int32_t r : g.regular) {
                tokens.push_back(CollectToken{false, 0});
                take(cName(r), tokens.back());
                KXLOG(2, "%s+++++++moving %s to %s ++++++++++.", r == g.regular.front() ? "44" : "55", cName(r).c_str(),
                      tName(tokens.back().number).c_str());
            }
            if (g.regular.empty()) {  // a key of HCollect_split_config alone
                tokens.push_back(CollectToken{false, 0});
                if (PathExists(journal.Path(cName(key)))) {
                    take(cName(key), tokens.back());
                } else {
                    KXLOG(3, "22 %s does not exists", journal.Path(cName(key)).c_str());
                    ++absent;
                    tokens.back().number = int32_t(next());
                    linkSteps.push_back(Step{Step::kEmpty, tName(uint32_t(tokens.back().number)), std::string()});
                }
            }
            renumbered.emplace_back(key, std::move(tokens));
        }
        for (uint32_t c = 1; c < counter; ++c)
            renameSteps.push_back(Step{Step::kRename, tName(c), cName(c)});
        std::vector<Step> steps = linkSteps;
        steps.insert(steps.end(), renameSteps.begin(), renameSteps.end());
        std::unordered_set<std::string> replaced;
        for (const Step& r : renameSteps)
            replaced.insert(r.to);
        for (const Step& s : removeSteps)
            if (!replaced.count(s.from))
                steps.push_back(s);

        // Merged_split_config: every token, each followed by a blank.
        // split_config: "F" or "F S L"; a group's numbers run from F to L.
        std::string merged, split;
        for (const auto& [key, tokens] : renumbered) {
            KXLOG(2, "++1+%u ", key);
            for (const CollectToken& t : tokens) {
                merged += t.str();
                merged += ' ';
            }
            merged += '\n';
            AppendNumber(split, uint32_t(tokens.front().number));
            if (tokens.size() > 1) {
                split += ' ';
                AppendNumber(split, uint32_t(tokens[1].number));
                split += ' ';
                AppendNumber(split, uint32_t(tokens.back().number));
            }
            split += '\n';
        }
        // The old split_config is kept beside the new one (a failed copy is no failure).
        if (PathExists(sConfig)) {
            try {
                copy_file(sConfig, sConfig + kSplitConfigOrigSuffix, true);
            } catch (const HardLinkManagerBaseException&) {
            }
        }
        for (const auto& [config, content] : {std::make_pair(std::string(kCollectSplitConfigName), &split),
                                              std::make_pair(std::string(kMergedSplitConfigName), &merged)}) {
            const std::string temp = config + kMergeConfigSuffix;
            if (int err = WriteFileSynced(journal.Path(temp), *content)) {
                KXLOG(2, "+++++++Failed to open  output stream for hCollectSplitFileName %s ++++++++++.",
                      journal.Path(config).c_str());
                errno = err;
                throw HardLinkManagerBaseException("cannot write " + journal.Path(temp));
            }
            steps.push_back(Step{Step::kRename, temp, config});
        }

        char words[48];
        snprintf(words, sizeof words, "%u %d", counter, absent);
        journal.Write(kMergeJournalKind, words, steps);
        committed = true;
        FinishMerge(journal, steps, false);
        Cleanup();
        collectCount = counter;
        missing = absent;
        return true;
    } catch (const std::exception& e) {
        int err = errno;
        // Before its journal a merge has changed nothing but its own
        // configuration files; after it, the journal stays and the next run
        // finishes the merge. The hard-links table is never touched.
        if (!committed) {
            for (const char* config : {kCollectSplitConfigName, kMergedSplitConfigName})
                RemoveFileIfPresent(journal.Path(std::string(config) + kMergeConfigSuffix));
        } else {
            KXLOG(-1, "the merge in %s stopped after it was committed: the next merge finishes it", dir.c_str());
        }
        KXLOG(0,
              "HardLinkManager DEBUG:+++5+++HardLinkManager CRITICAL EXCEPTION. Hard Link Feature "
              "would be disabled and would fail the phase or job Errno [%d] (%s)",
              err, e.what());
        Cleanup();
        collectCount = 1;
        throw HardLinkManagerCriticalException(kErrMerge);
    }
}
