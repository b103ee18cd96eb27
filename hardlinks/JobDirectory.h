// A job results directory as a backup takes it, checked before anything of
// the job is opened: its collect files CollectTot<n>.kxf, the order and
// split groups its configurations give them, and its hard-links table.
//
// A directory is refused (with the reason) when a backup would take it
// wrongly:
//   - the scan that writes it is running or was cut short: its mark
//     (ScanMarkName) is there;
//   - a split or merge is unfinished: a journal, or a temporary file of
//     theirs (".tmp", ".tmpl", ".merge" after a name of the layout);
//   - a hard-link collect file HCollectTot<n>.kxf is left (no merge took it:
//     its groups' data would go nowhere), or HCollect_split_config says the
//     split ran and there is no Merged_split_config;
//   - the collect files are not CollectTot1.kxf to CollectTot<N>.kxf without a
//     gap, a configuration names a number beyond N or one twice, or a
//     collect file is named by no configuration;
//   - a configuration has a bad word or a range over its bound, or
//     split_config and Merged_split_config disagree (line i of each must name
//     the same collect files);
//   - the hard-links table lacks its completion mark, or is absent while
//     hard-link collect files need it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hardlinks/RestartInfo.h"
#include "hardlinks/SplitConfig.h"

class JobDirectory {
public:
    JobDirectory(std::string directory, std::string baseName);

    // Reads and checks the whole directory for a job that backs it up.
    // False with the reason in Error().
    bool Load();
    // The checks that hold for any job that reads the directory's table
    // (its collect files named by the host): no split or merge unfinished,
    // the table whole. False with the reason in Error().
    bool CheckSettled();

    // Refuses a collect file of the directory (CollectTot<n>.kxf) whose
    // number `named` does not hold: a backup would leave it out, a merge
    // would overwrite it. `configurations` says which files name them
    // ("neither split_config nor ..."). False with the reason in Error().
    bool CheckEveryCollectFileNamed(const std::function<bool(int32_t)>& named, const std::string& configurations);

    const std::string& Error() const { return m_error; }
    // After Load: CollectTot1.kxf .. CollectTot<N>.kxf.
    int32_t CollectCount() const { return m_count; }
    std::string CollectPath(int32_t n) const;
    // After Load: the order of split_config (one file of each group per
    // turn), or 1..N without one.
    const std::vector<RestartInfo_t>& RestartList() const { return m_restart; }
    // After Load: the groups of Merged_split_config (empty without one).
    HLGroupMap& Groups() { return m_groups; }

    // Whether a name of the directory is a temporary file or journal of a
    // split or merge.
    static bool IsUnfinishedWork(const std::string& name, const std::string& baseName);
    // The mark a scan keeps in the directory while it writes it.
    static std::string ScanMarkName(const std::string& baseName);

private:
    bool Fail(const std::string& why);
    bool List();
    bool CheckTable(bool needed);
    bool ReadGroups(const char* name, SplitConfigKind kind, bool& present, std::vector<SplitConfigGroup>& out);

    std::string m_dir;
    std::string m_base;
    std::string m_error;
    // What List() found.
    std::vector<int32_t> m_numbers;  // of CollectTot<n>.kxf, sorted
    std::string m_unfinished;        // a temporary file or journal
    bool m_scanning = false;         // the scan's mark
    std::string m_hardLinkLeft;      // an HCollectTot<n>.kxf
    bool m_listed = false;

    int32_t m_count = 0;
    std::vector<RestartInfo_t> m_restart;
    HLGroupMap m_groups;
};
