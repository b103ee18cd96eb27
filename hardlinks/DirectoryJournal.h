// A change of several files of one directory that survives a kill at any
// point: the whole change is planned as steps, the plan is written to a
// journal file in the directory and synced (file and directory) before the
// first step runs, and the journal is removed last. A run that finds a
// journal left by a killed one reads it back and finishes the change: every
// step is written so that running it again, or finding it already run, is
// harmless.
//
// Steps, on names inside the directory:
//   L from to   a second name for a file (a hard link; a copy where the file
//               system has none); an existing `to` is replaced
//   E to        an empty file
//   R from to   rename over `to`; when `from` is gone the step has run
//               (a name is never the source of a rename after the journal
//               made it a target)
//   D name      remove
// After the steps, the journal may gather marks: words appended, one a line,
// as the change reaches a point that a run after a kill must know of.
//
// Journal text: "RXJOURNAL 1 <kind> <words>", one line per step (fields
// separated by a TAB), "end", then the marks. A journal that is cut before
// its end, of another kind, or names anything outside the directory is
// refused, never acted on; a mark cut by a kill is no mark.
#pragma once

#include <functional>
#include <string>
#include <vector>

class DirectoryJournal {
public:
    struct Step {
        enum Kind : char { kLink = 'L', kEmpty = 'E', kRename = 'R', kRemove = 'D' };
        Kind kind;
        std::string from;  // L, R: the source; E, D: the name
        std::string to;    // L, R only
    };
    // The file operations every step goes through (tests inject failures
    // and kills). 0, or -1 with errno.
    struct Ops {
        std::function<int(const std::string& from, const std::string& to)> rename;
        std::function<int(const std::string& from, const std::string& to)> link;
    };

    DirectoryJournal(std::string directory, std::string name, Ops ops);

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    bool Exists() const;

    // Writes the journal through a temporary file and a rename, syncing the
    // file and the directory. Throws HardLinkManagerBaseException.
    void Write(const std::string& kind, const std::string& words, const std::vector<Step>& steps);
    // Reads the journal of `kind`: its words, steps and marks. False
    // (logged) when it cannot be read or is not a whole journal of that kind.
    bool Read(const std::string& kind, std::string& words, std::vector<Step>& steps,
              std::vector<std::string>& marks) const;
    // Parses journal text (also the fuzz target's entry).
    static bool Parse(const std::string& text, const std::string& kind, std::string& words, std::vector<Step>& steps,
                      std::vector<std::string>& marks, std::string& error);
    // Appends a mark and syncs the journal. Throws.
    void AppendMark(const std::string& mark);
    // Removes the journal and its temporary file, then syncs the directory.
    // Throws when it cannot.
    void Remove();

    // Runs one step. Throws HardLinkManagerBaseException.
    void Run(const Step& step);
    // Runs the steps in order, each rename only while its source is there.
    // Throws.
    void Finish(const std::vector<Step>& steps);
    // Syncs the directory's entries. Throws.
    void SyncDirectory();

private:
    [[noreturn]] void Fail(const std::string& what) const;

    std::string m_dir;
    std::string m_name;
    Ops m_ops;
};
