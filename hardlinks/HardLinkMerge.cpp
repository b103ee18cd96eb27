// HardLinkManager::MergeSplitFiles: the H collect files of
// "HCollect_split_config" and the collect files of "split_config" renumbered
// into one consecutive set, each group's H collect files first.
//
// Everything is read and checked before the first file moves; every rename
// is journaled (a file in the way is first moved aside to "<name>.premerge")
// and undone when a later step fails, so a failed merge leaves the directory
// as it found it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "hardlinks/HCollectFile.h"
#include "hardlinks/HardLinkManager.h"
#include "hardlinks/HardLinkMessages.h"
#include "hardlinks/SplitConfigLine.h"
#include "hardlinks/TextLineReader.h"
#include "platform/KxLog.h"
#include "platform/QMString.h"

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
bool ReadConfig(const std::string& path, SplitConfigKind kind, bool optional,
                std::vector<std::pair<uint64_t, std::vector<CollectToken>>>& out) {
    TextLineReader lines;
    if (!lines.Open(path)) {
        int err = errno;
        if (optional && err == ENOENT) {
            KXLOG(2, "+++++++Failed to open  input stream for CollectSplitFileName %s ++++++++++.",
                  path.c_str());
            return false;
        }
        KXLOG(2, "+++++++Failed to open  input stream for hCollectSplitFileName %s ++++++++++.",
              path.c_str());
        errno = err;
        throw HardLinkManagerBaseException("cannot open " + path);
    }
    std::string line;
    SplitConfigLine parsed;
    int rc;
    while ((rc = lines.Next(line)) == 1) {
        QMString::TrimWhiteSpace(line);
        if (line.empty())
            continue;
        ParseSplitConfigLine(kind, line, parsed);
        if (parsed.badWords)
            Malformed(path, lines.LineNumber(), parsed.firstError);
        if (parsed.ignoredWords)
            KXLOG(1, "%s line %llu: words past the third ignored", path.c_str(),
                  static_cast<unsigned long long>(lines.LineNumber()));
        out.emplace_back(lines.LineNumber(), std::move(parsed.members));
    }
    if (rc < 0)
        Malformed(path, lines.LineNumber(), std::string("read failed: ") + strerror(errno));
    return true;
}

// A split_config line is a group keyed by its first number (a key on several
// lines gathers them); an H collect-split key joins the group that lists its
// collect file, or is a group of its own. No collect file may be named twice.
MergeGroups BuildGroups(const std::string& hConfig, const std::string& sConfig) {
    std::vector<std::pair<uint64_t, std::vector<CollectToken>>> hLines, sLines;
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

// The renames of one merge, undone in reverse order on failure.
class RenameJournal {
public:
    using RenameFn = std::function<int(const std::string&, const std::string&)>;
    explicit RenameJournal(RenameFn rename) : m_rename(std::move(rename)) {}

    // Moves `from` to `to` (a file already at `to` is moved aside first).
    void Move(const char* tag, const std::string& from, const std::string& to) {
        KXLOG(2, "%s+++++++moving %s to %s ++++++++++.", tag, from.c_str(), to.c_str());
        MoveAside(to);
        if (m_rename(from, to) != 0) {
            KXLOG(0, "HCollectFile DEBUG:Could not rename the file %s to %s: Error [%d]",
                  from.c_str(), to.c_str(), errno);
            throw HardLinkManagerBaseException(kErrRename);
        }
        m_entries.push_back(Entry{kRenamed, from, to});
        if (!PathExists(to)) {
            KXLOG(0, "HCollectFile DEBUG:Could not rename the file %s to %s: Error [%d]",
                  from.c_str(), to.c_str(), errno);
            throw HardLinkManagerBaseException(kErrRename);
        }
        KXLOG(2, "%s+++++++moved %s to %s ++++++++++.", tag, from.c_str(), to.c_str());
    }

    // The caller is about to create `path`: a file there is moved aside, and
    // the new file is removed on undo.
    void WillCreate(const std::string& path) {
        MoveAside(path);
        m_entries.push_back(Entry{kCreated, path, std::string()});
    }

    void Undo() noexcept {
        for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
            int rc = it->kind == kCreated ? RemoveFileIfPresent(it->a)
                                          : rename(it->b.c_str(), it->a.c_str());
            if (rc != 0)
                KXLOG(-1, "merge undo: cannot restore %s: %s", it->a.c_str(), strerror(errno));
        }
        m_entries.clear();
    }

    // Success: the files moved aside go.
    void Commit() noexcept {
        for (const Entry& e : m_entries)
            if (e.kind == kAside && RemoveFileIfPresent(e.b) != 0)
                KXLOG(-1, "cannot remove %s: %s", e.b.c_str(), strerror(errno));
        m_entries.clear();
    }

private:
    enum Kind { kRenamed, kCreated, kAside };
    struct Entry {
        Kind kind;
        std::string a, b;  // renamed: from, to; created: path; aside: path, aside path
    };

    void MoveAside(const std::string& path) {
        if (!PathExists(path))
            return;
        const std::string aside = path + ".premerge";
        if (m_rename(path, aside) != 0) {
            KXLOG(0, "HCollectFile DEBUG:Could not rename the file %s to %s: Error [%d]",
                  path.c_str(), aside.c_str(), errno);
            throw HardLinkManagerBaseException(kErrRename);
        }
        m_entries.push_back(Entry{kAside, path, aside});
    }

    std::vector<Entry> m_entries;
    RenameFn m_rename;
};

// Writes a configuration file through a temporary name (synced) and a
// journaled rename.
void WriteConfig(RenameJournal& journal, const std::string& path, const std::string& content) {
    const std::string tmp = path + ".merge";
    journal.WillCreate(tmp);
    if (int err = WriteFileAtomically(tmp, content)) {
        KXLOG(2, "+++++++Failed to open  output stream for hCollectSplitFileName %s ++++++++++.",
              path.c_str());
        errno = err;
        throw HardLinkManagerBaseException("cannot write " + path);
    }
    journal.Move("", tmp, path);
}

void AppendNumber(std::string& out, uint32_t n) {
    char buf[16];
    out.append(buf, static_cast<size_t>(std::to_chars(buf, buf + sizeof(buf), n).ptr - buf));
}

}  // namespace

bool HardLinkManager::MergeSplitFiles(uint32_t& collectCount, int& missing) {
    if (!HardLinkFeatureSupported())
        return false;
    missing = 0;
    const std::string& dir = m_jobResultsDir;
    auto hPath = [&](uint32_t n) {
        return HCollectFile::GetHCollectFilePath(n, dir, m_baseName, kCollectSuffix);
    };
    auto path = [&](uint32_t n) { return HCollectFile::GetCollectFilePath(n, dir, m_baseName, kCollectSuffix); };
    auto tmpl = [&](uint32_t n) { return HCollectFile::GetCollectFilePath(n, dir, m_baseName, kMergeTempSuffix); };
    RenameJournal journal([this](const std::string& a, const std::string& b) { return renamePath(a, b); });
    try {
        const std::string sConfig = GenerateCollectSplitConfigFileName(dir);
        MergeGroups groups = BuildGroups(GenerateHCollectSplitConfigFileName(dir), sConfig);
        for (const auto& kv : groups) {
            for (int32_t k : kv.second.hFiles)
                if (!PathExists(hPath(k)))
                    Malformed(GenerateHCollectSplitConfigFileName(dir), 0, hPath(k) + " does not exist");
            for (int32_t r : kv.second.regular)
                if (!PathExists(path(r)))
                    Malformed(sConfig, 0, path(r) + " does not exist");
        }

        // The old split_config is kept beside the new one (a failed copy is no failure).
        const std::string orig = sConfig + kSplitConfigOrigSuffix;
        if (PathExists(sConfig)) {
            journal.WillCreate(orig);
            try {
                copy_file(sConfig, orig, true);
            } catch (const HardLinkManagerBaseException&) {
            }
        }

        uint32_t counter = 1;
        KXLOG(2, "00000+++++++next collect file number is  ++++++++++ %u.", counter);
        auto next = [&]() {
            if (counter > uint32_t(INT32_MAX))
                throw HardLinkManagerBaseException("collect numbers exhausted");
            return counter++;
        };
        std::vector<std::pair<uint32_t, std::vector<CollectToken>>> renumbered;
        for (const auto& [key, g] : groups) {
            std::vector<CollectToken> tokens;
            for (int32_t k : g.hFiles) {
                uint32_t c = next();
                journal.Move("11", hPath(k), tmpl(c));
                tokens.push_back(CollectToken{true, int32_t(c)});
            }
            for (size_t i = 0; i < g.regular.size(); ++i) {
                uint32_t c = next();
                journal.Move(i == 0 ? "44" : "55", path(g.regular[i]), tmpl(c));
                tokens.push_back(CollectToken{false, int32_t(c)});
            }
            if (g.regular.empty()) {  // a key of HCollect_split_config alone: its file is copied
                uint32_t c = next();
                journal.WillCreate(tmpl(c));
                if (PathExists(path(key))) {
                    copy_file(path(key), tmpl(c), true);
                    KXLOG(2, "22+++++++Copied %s to %s successfully++++++++++.", path(key).c_str(),
                          tmpl(c).c_str());
                } else {
                    KXLOG(3, "22 %s does not exists", path(key).c_str());
                    ++missing;
                    ScopedFd fd(open(tmpl(c).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
                    if (!fd.valid() || fd.Close() != 0)
                        throw HardLinkManagerBaseException("cannot create " + tmpl(c));
                }
                tokens.push_back(CollectToken{false, int32_t(c)});
            }
            renumbered.emplace_back(key, std::move(tokens));
        }
        for (uint32_t c = 1; c < counter; ++c)
            journal.Move("44", tmpl(c), path(c));

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
        WriteConfig(journal, GenerateMergedSplitConfigFileName(dir), merged);
        WriteConfig(journal, sConfig, split);
        journal.Commit();
        Cleanup();
        collectCount = counter;
        return true;
    } catch (const std::exception& e) {
        int err = errno;
        journal.Undo();
        KXLOG(0,
              "HardLinkManager DEBUG:+++5+++HardLinkManager CRITICAL EXCEPTION. Hard Link Feature "
              "would be disabled and would fail the phase or job Errno [%d] (%s)",
              err, e.what());
        DeleteCtreeFiles();
        Cleanup();
        collectCount = 1;
        throw HardLinkManagerCriticalException(kErrMerge);
    }
}
