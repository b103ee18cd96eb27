#include "hardlinks/JobDirectory.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "hardlinks/HCollectFile.h"
#include "hardlinks/HLFileOps.h"
#include "hardlinks/HardLinkMessages.h"
#include "platform/agent/KxLog.h"
#include "platform/hardlinks/HardLinksTable.h"

namespace {

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() > suffix.size() && s.compare(s.size() - suffix.size(), std::string::npos, suffix) == 0;
}

// The number of "<prefix><n><suffix>" (n written plainly, 1..INT32_MAX), or 0.
int32_t NumberOf(const std::string& name, const std::string& prefix, const std::string& suffix) {
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        !EndsWith(name, suffix))
        return 0;
    const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    CollectToken t;
    if (!ParseCollectToken(digits.data(), digits.size(), t, false) || std::to_string(t.number) != digits)
        return 0;
    return t.number;
}

std::vector<int32_t> SortedNumbers(const std::vector<CollectToken>& tokens) {
    std::vector<int32_t> n;
    for (const CollectToken& t : tokens)
        n.push_back(t.number);
    std::sort(n.begin(), n.end());
    return n;
}

}  // namespace

JobDirectory::JobDirectory(std::string directory, std::string baseName)
    : m_dir(std::move(directory)), m_base(std::move(baseName)) {}

bool JobDirectory::IsUnfinishedWork(const std::string& name, const std::string& baseName) {
    for (const char* journal : {kSplitJournalName, kMergeJournalName})
        if (name == journal || name == std::string(journal) + kTempSuffix)
            return true;
    for (const std::string& prefix : {baseName, "H" + baseName, std::string(kCollectSplitConfigName),
                                      std::string(kMergedSplitConfigName), std::string(kHCollectSplitConfigName)}) {
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        for (const char* suffix : {kTempSuffix, kMergeTempSuffix, kMergeConfigSuffix})
            if (EndsWith(name, suffix))
                return true;
    }
    return false;
}

std::string JobDirectory::ScanMarkName(const std::string& baseName) { return baseName + kScanMarkSuffix; }

std::string JobDirectory::CollectPath(int32_t n) const {
    return HCollectFile::GetCollectFilePath(static_cast<uint32_t>(n), m_dir, m_base, kCollectSuffix);
}

bool JobDirectory::Fail(const std::string& why) {
    m_error = "the job directory " + m_dir + " " + why;
    KXLOG(0, "%s", m_error.c_str());
    return false;
}

bool JobDirectory::List() {
    if (m_listed)
        return true;
    DIR* d = opendir(m_dir.c_str());
    if (!d)
        return Fail(std::string("cannot be read: ") + strerror(errno));
    errno = 0;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (int32_t n = NumberOf(name, m_base, kCollectSuffix))
            m_numbers.push_back(n);
        else if (name == ScanMarkName(m_base))
            m_scanning = true;
        else if (NumberOf(name, "H" + m_base, kCollectSuffix) && m_hardLinkLeft.empty())
            m_hardLinkLeft = name;
        else if (IsUnfinishedWork(name, m_base) && m_unfinished.empty())
            m_unfinished = name;
        errno = 0;
    }
    const int err = errno;
    closedir(d);
    if (err != 0)
        return Fail(std::string("cannot be read: ") + strerror(err));
    std::sort(m_numbers.begin(), m_numbers.end());
    m_listed = true;
    return true;
}

bool JobDirectory::CheckTable(bool needed) {
    if (!PathExists(HardLinksTable::DataPath(m_dir, kHardLinksTableName))) {
        if (needed)
            return Fail("has no hard-links table (" + std::string(kHardLinksTableName) +
                        ".dat), which its hard-link collect files need");
        return true;
    }
    HardLinksTable table;
    if (table.setDirectory(m_dir, true, kHardLinksTableName) != 0)
        return Fail(
            "has a hard-links table that is not complete (no completion mark): the scan that wrote it "
            "did not finish");
    table.close();
    return true;
}

bool JobDirectory::CheckSettled() {
    if (!List())
        return false;
    // Whatever else it holds, a scan cut short may have listed part of a
    // tree, or none of the trees after it.
    if (m_scanning)
        return Fail("holds " + ScanMarkName(m_base) +
                    ": the scan that writes it is running or was cut short (run it again)");
    if (!m_unfinished.empty())
        return Fail("holds " + m_unfinished + ": a split or merge of it did not finish (run it again)");
    if (!m_hardLinkLeft.empty())
        return Fail("holds the hard-link collect file " + m_hardLinkLeft +
                    ", which no merge renumbered: its split and merge did not run or finish");
    if (PathExists(m_dir + "/" + kHCollectSplitConfigName) && !PathExists(m_dir + "/" + kMergedSplitConfigName))
        return Fail(std::string("has no ") + kMergedSplitConfigName + " after its split (" + kHCollectSplitConfigName +
                    "): the merge did not run or finish");
    return CheckTable(false);
}

bool JobDirectory::CheckEveryCollectFileNamed(const std::function<bool(int32_t)>& named,
                                              const std::string& configurations) {
    if (!List())
        return false;
    for (int32_t n : m_numbers)
        if (!named(n))
            return Fail("holds " + m_base + std::to_string(n) + kCollectSuffix + ", which " + configurations +
                        " names");
    return true;
}

bool JobDirectory::ReadGroups(const char* name, SplitConfigKind kind, bool& present,
                              std::vector<SplitConfigGroup>& out) {
    std::string error;
    present = ReadSplitConfigStrict(m_dir + "/" + name, kind, out, error);
    return present || errno == ENOENT || Fail("has a configuration that cannot be taken: " + error);
}

bool JobDirectory::Load() {
    m_restart.clear();
    m_groups = HLGroupMap();
    m_count = 0;
    if (!CheckSettled())
        return false;
    if (m_numbers.empty())
        return Fail("holds no collect files (" + m_base + "1" + kCollectSuffix + ")");
    for (size_t i = 0; i < m_numbers.size(); ++i)
        if (m_numbers[i] != static_cast<int32_t>(i + 1))
            return Fail("has no " + m_base + std::to_string(i + 1) + kCollectSuffix + " but has " + m_base +
                        std::to_string(m_numbers[i]) + kCollectSuffix +
                        ": its collect files must be numbered from 1 without a gap");
    m_count = static_cast<int32_t>(m_numbers.size());

    bool split = false, merged = false;
    std::vector<SplitConfigGroup> splitGroups, mergedGroups;
    if (!ReadGroups(kCollectSplitConfigName, SplitConfigKind::SplitConfig, split, splitGroups) ||
        !ReadGroups(kMergedSplitConfigName, SplitConfigKind::MergedSplitConfig, merged, mergedGroups))
        return false;
    if (merged && !split)
        return Fail(std::string("has ") + kMergedSplitConfigName + " without " + kCollectSplitConfigName);

    std::vector<std::vector<int32_t>> order;
    std::vector<bool> named(static_cast<size_t>(m_count) + 1, false);
    for (const SplitConfigGroup& g : splitGroups) {
        order.emplace_back();
        for (const CollectToken& t : g.members) {
            const std::string at = std::string(kCollectSplitConfigName) + " line " + std::to_string(g.line);
            if (t.number > m_count)
                return Fail("holds " + std::to_string(m_count) + " collect files, and " + at + " names collect file " +
                            std::to_string(t.number));
            if (named[static_cast<size_t>(t.number)])
                return Fail("has a configuration that names collect file " + std::to_string(t.number) + " twice (" +
                            at + ")");
            named[static_cast<size_t>(t.number)] = true;
            order.back().push_back(t.number);
        }
    }
    if (split && !CheckEveryCollectFileNamed(
                     [&](int32_t n) { return named[static_cast<size_t>(n)]; },
                     std::string("neither ") + kCollectSplitConfigName + " nor " + kMergedSplitConfigName))
        return false;

    bool hardLinkFiles = false;
    if (merged) {
        if (mergedGroups.size() != splitGroups.size())
            return Fail(std::string("has configurations that disagree: ") + kCollectSplitConfigName + " has " +
                        std::to_string(splitGroups.size()) + " groups, " + kMergedSplitConfigName + " " +
                        std::to_string(mergedGroups.size()));
        for (size_t i = 0; i < mergedGroups.size(); ++i) {
            if (SortedNumbers(mergedGroups[i].members) != SortedNumbers(splitGroups[i].members))
                return Fail(std::string("has configurations that disagree: group ") + std::to_string(i + 1) +
                            " is not the same collect files in " + kCollectSplitConfigName + " (line " +
                            std::to_string(splitGroups[i].line) + ") and " + kMergedSplitConfigName + " (line " +
                            std::to_string(mergedGroups[i].line) + ")");
            for (const CollectToken& t : mergedGroups[i].members)
                hardLinkFiles |= t.hardLink;
            m_groups.Add(static_cast<int32_t>(i + 1), mergedGroups[i].members, true);
        }
    }
    if (!CheckTable(hardLinkFiles))
        return false;

    if (split) {
        AppendRestartOrder(order, m_restart);
    } else {
        for (int32_t n = 1; n <= m_count; ++n) {
            RestartInfo_t r{};
            r.collectNumber = n;
            m_restart.push_back(r);
        }
    }
    return true;
}
