// HardLinkManager::SplitHCollectFile: the recorded H collect files, grouped
// by file, rewritten as the H collect files the streams back up.
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "hardlinks/HCollectFile.h"
#include "hardlinks/HardLinkManager.h"
#include "hardlinks/HardLinkMessages.h"
#include "hardlinks/JobDirectoryLock.h"
#include "hardlinks/TextLineReader.h"
#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"

namespace {

// Starts new H collect file k: a temporary file left by an earlier run would
// be appended to, so it goes first.
void RemoveStaleTemporary(const std::string& path) {
    if (RemoveFileIfPresent(path) != 0) {
        KXLOG(-1, "cannot remove %s: %s", path.c_str(), strerror(errno));
        throw HardLinkManagerBaseException(kErrSplit);
    }
}

// Whether `name` is "<prefix><n><suffix>", n plain decimal from 1; its n.
bool NumberedName(const std::string& name, const std::string& prefix, const char* suffix, uint32_t* n) {
    const size_t sl = strlen(suffix);
    if (name.size() <= prefix.size() + sl || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - sl, sl, suffix) != 0)
        return false;
    const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - sl);
    if (digits.size() > 9 || digits[0] == '0' || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *n = static_cast<uint32_t>(std::stoul(digits));
    return true;
}

void Check(const CTyError& e) {
    if (e.IsError())
        throw HardLinkManagerBaseException(kErrSplit);
}

// The lines the split sorts in memory before it sorts in runs through a
// temporary file; tests lower it.
std::atomic<size_t> g_splitRunLines{HCollectGroupReader::kRunLines};

}  // namespace

// Reads source H collect file `source` and appends its groups (the first
// line of each, or every line) to new H collect files: its own number in
// plain mode; in bounded mode k + 1, k + 2, ... each holding groups until
// their size passes `limit`. A number is taken only when a group is written.
// The groups come in (inode, device) order from a reader that holds a
// bounded part of the file at a time: a scan of millions of links is split
// in a few MiB.
void HardLinkManager::SplitOne(uint32_t source, bool bounded, uint64_t limit, uint32_t& k,
                               std::map<uint32_t, std::set<uint32_t>>& splitMap) {
    KXLOG(3, "Processing HCollectFileSet %u (will process %s)", source,
          m_allRecords ? "all records" : "only first record");
    std::set<uint32_t>& targets = splitMap[source];
    Check(closeCollectFile(source));
    HCollectGroupReader groups(!m_allRecords, g_splitRunLines.load(std::memory_order_relaxed));
    HCollectFile(m_jobResultsDir, m_baseName, source, HCOLLECT_READ, kCollectSuffix).ReadGroupsInOrder(groups);

    HCollectFileCache::Ptr out;
    uint64_t running = 0;
    auto startFile = [&](uint32_t number) {
        if (out) {
            out.reset();
            Check(closeTempCollectFile(k));
        }
        if (number == 0)
            throw HardLinkManagerBaseException("no H collect number left");
        k = number;
        RemoveStaleTemporary(HCollectFile::GetHCollectFilePath(k, m_jobResultsDir, m_baseName, kSplitTempSuffix));
        out = tempCollectFile(k, HCOLLECT_WRITE, kSplitTempSuffix);
        running = 0;
    };
    // A group counts once, by the size of its last line written.
    HLinkGroupElement line;
    uint64_t last = 0;
    for (bool first; groups.Next(line, first);) {
        if (first) {
            running += last;
            last = 0;
            if (!out)
                startFile(bounded ? k + 1 : source);
            else if (bounded && running > limit)
                startFile(k + 1);
            targets.insert(k);
        }
        out->InsertElement(line);
        last = line.size;
    }
    if (out) {
        out.reset();
        Check(closeTempCollectFile(k));
    }
}

void HardLinkManager::TakeUnjournaledSplit() {
    // A split killed before its journal changed nothing but files of its
    // own (new hard-link collect files, the configuration and the journal
    // under temporary names): they go, and the split runs again from its
    // sources, which it never touched.
    const std::string hPrefix = "H" + m_baseName;
    std::vector<std::string> temporaries;
    std::set<uint32_t> sources;
    DIR* d = opendir(m_jobResultsDir.c_str());
    if (!d)
        throw HardLinkManagerBaseException("cannot read " + m_jobResultsDir + ": " + strerror(errno));
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        uint32_t n = 0;
        if (NumberedName(name, hPrefix, kSplitTempSuffix, &n) ||
            name == std::string(kHCollectSplitConfigName) + kTempSuffix ||
            name == std::string(kSplitJournalName) + kTempSuffix)
            temporaries.push_back(name);
        else if (NumberedName(name, hPrefix, kCollectSuffix, &n))
            sources.insert(n);
    }
    closedir(d);
    for (const std::string& name : temporaries) {
        KXLOG(0, "removing %s/%s, left by a split that stopped before its journal", m_jobResultsDir.c_str(),
              name.c_str());
        RemoveStaleTemporary(m_jobResultsDir + "/" + name);
    }
    // A manager that recorded nothing (a run after a kill, in a process of
    // its own) splits the hard-link collect files the scan left, sized as
    // the scan's recordings were: each line carries its file's size.
    if (!m_hColNumbers.empty() || PathExists(GenerateHCollectSplitConfigFileName(m_jobResultsDir)) || sources.empty())
        return;
    for (uint32_t n : sources) {
        TextLineReader lines;
        const std::string path = HCollectFile::GetHCollectFilePath(n, m_jobResultsDir, m_baseName, kCollectSuffix);
        if (!lines.Open(path))
            throw HardLinkManagerBaseException("cannot read " + path + ": " + strerror(errno));
        HCollectFile::ReadLines(lines, path, [this](HLinkGroupElement& element, uint64_t, size_t) {
            m_totalSize += element.size;
            ++m_insertedPaths;
        });
    }
    m_hColNumbers = sources;
    KXLOG(0, "the split in %s takes the %zu hard-link collect files there", m_jobResultsDir.c_str(), sources.size());
}

bool HardLinkManager::SplitHCollectFile(uint32_t collectCount, bool split, uint32_t streams) {
    if (!HardLinkFeatureSupported())
        return false;
    // No scan, merge or backup of the directory meanwhile (nothing is
    // touched when another holds it).
    JobDirectoryLock lock;
    std::string busy;
    if (!lock.Acquire(m_jobResultsDir, JobDirectoryLock::kExclusive, -1, &busy))
        throw HardLinkManagerCriticalException(busy);
    DirectoryJournal journal(m_jobResultsDir, kSplitJournalName, JournalOps());
    bool committed = journal.Exists();
    std::set<uint32_t> written;
    const std::string config = GenerateHCollectSplitConfigFileName(m_jobResultsDir);
    const std::string configTemp = config + kTempSuffix;
    try {
        if (committed) {
            // A split killed after it was committed: finished as it was
            // planned, whatever this call asks.
            KXLOG(0, "the split in %s was cut short: it is finished from its journal", m_jobResultsDir.c_str());
            std::string words;
            std::vector<DirectoryJournal::Step> steps;
            std::vector<std::string> marks;
            if (!journal.Read(kSplitJournalKind, words, steps, marks))
                throw HardLinkManagerBaseException("the journal of an earlier split cannot be read");
            journal.Finish(steps);
            journal.Remove();
            return true;
        }
        TakeUnjournaledSplit();
        const uint64_t limit = streams == 0 ? 0 : m_totalSize / streams;
        KXLOG(0, "+++Size Limit For Hard Link Collect File Splitting is %llu.", static_cast<unsigned long long>(limit));
        const bool bounded = split && limit > 0;
        std::map<uint32_t, std::set<uint32_t>> splitMap;
        uint32_t k = 0;
        for (uint32_t source : m_hColNumbers)
            SplitOne(source, bounded, limit, k, splitMap);
        for (const auto& kv : splitMap)
            written.insert(kv.second.begin(), kv.second.end());

        // The new files take the numbers of the sources; sources that no new
        // file replaced were consumed (they would be read again as groups of
        // their own). Nothing is replaced before the journal says all of it.
        std::vector<DirectoryJournal::Step> steps;
        auto name = [&](uint32_t n, const char* suffix) {
            return HCollectFile::GetHCollectFilePath(n, m_jobResultsDir, m_baseName, suffix)
                .substr(m_jobResultsDir.size() + 1);
        };
        for (uint32_t n : written) {
            Check(closeTempCollectFile(n));
            Check(closeCollectFile(n));
            KXLOG(2, "++++++++++++++renaming file from %s  to  %s .", name(n, kSplitTempSuffix).c_str(),
                  name(n, kCollectSuffix).c_str());
            if (SyncPath(journal.Path(name(n, kSplitTempSuffix))) != 0)
                throw HardLinkManagerBaseException(kErrSplit);
            steps.push_back({DirectoryJournal::Step::kRename, name(n, kSplitTempSuffix), name(n, kCollectSuffix)});
        }
        for (uint32_t source : m_hColNumbers)
            if (!written.count(source)) {
                KXLOG(2, "removing consumed %s", name(source, kCollectSuffix).c_str());
                steps.push_back({DirectoryJournal::Step::kRemove, name(source, kCollectSuffix), std::string()});
            }

        // One line per source collect number, every number 1..collectCount
        // included: "N K1 K2 ... " (each number followed by a blank).
        std::string content;
        auto next = splitMap.begin();
        const uint64_t last = std::max<uint64_t>(collectCount, splitMap.empty() ? 0 : splitMap.rbegin()->first);
        for (uint64_t i = 1; i <= last; ++i) {
            content += std::to_string(i);
            content += ' ';
            if (next != splitMap.end() && next->first == i) {
                for (uint32_t n : next->second) {
                    content += std::to_string(n);
                    content += ' ';
                }
                ++next;
            } else {
                KXLOG(2, "+++NO HARD LINK FILES FOR COLLECT FILE %llu +++++.", static_cast<unsigned long long>(i));
            }
            content += '\n';
        }
        if (int err = WriteFileSynced(configTemp, content)) {
            KXLOG(2, "+++++++Failed to open  output stream for hCollectSplitFileName %s ++++++++++.", config.c_str());
            errno = err;
            throw HardLinkManagerBaseException(kErrSplit);
        }
        steps.push_back({DirectoryJournal::Step::kRename, configTemp.substr(m_jobResultsDir.size() + 1),
                         config.substr(m_jobResultsDir.size() + 1)});
        journal.Write(kSplitJournalKind, std::string(), steps);
        committed = true;
        journal.Finish(steps);
        journal.Remove();
        return true;
    } catch (const std::exception& e) {
        KXLOG(0, "HardLinkManager DEBUG:Could not create hard link split config file. Errno [%d] (%s)", errno,
              e.what());
        if (committed) {
            // Its journal stays: the next split finishes it, and the table
            // it needs stays too.
            KXLOG(-1, "the split in %s stopped after it was committed: the next split finishes it",
                  m_jobResultsDir.c_str());
            Cleanup();
            throw HardLinkManagerCriticalException(kErrSplitCommitted);
        }
        Cleanup();
        for (uint32_t n : written)
            RemoveFileIfPresent(HCollectFile::GetHCollectFilePath(n, m_jobResultsDir, m_baseName, kSplitTempSuffix));
        RemoveFileIfPresent(configTemp);
        DeleteCtreeFiles();
        throw HardLinkManagerCriticalException(kErrSplit);
    }
}

void ruxen::testcontrol::SetSplitRunLines(size_t lines) { g_splitRunLines.store(lines, std::memory_order_relaxed); }

namespace {
const ruxen::testcontrol::Registration kTestReset("split run lines", [] {
    ruxen::testcontrol::SetSplitRunLines(HCollectGroupReader::kRunLines);
});
}  // namespace
