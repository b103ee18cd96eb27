// The lines of a hard-link collect file in the order of its groups, in
// bounded memory: groups in rising (inode, device) order, each group's lines
// in file order, as GetHLGroupsMap (HCollectFile.h) orders them, without
// holding every line.
//
// A scan of a million links writes a million lines; a map of them, a path
// each, would hold the whole file in memory. Instead the file is read once
// and each line reduced to a fixed reference (inode, device, offset,
// length). The references are sorted in runs of at most `runLines`; when
// the file has more, each run is written, sorted, to an unnamed temporary
// file (platform/base/ScratchFile.h) and the runs are merged as they
// are read back, a small buffer each. A line's text is read again from the
// file, by its reference, when it is handed out. Memory: one run, then a
// buffer per run, whatever the size of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hardlinks/HLinkGroupElement.h"
#include "platform/base/ScopedFd.h"

class HCollectGroupReader {
public:
    static constexpr size_t kRunLines = 1u << 17;  // 4 MiB of references

    // firstOnly: hand out only the first line of each group.
    explicit HCollectGroupReader(bool firstOnly, size_t runLines = kRunLines);
    HCollectGroupReader(const HCollectGroupReader&) = delete;
    HCollectGroupReader& operator=(const HCollectGroupReader&) = delete;

    // Reads the file open at `fd` (taken; it must allow pread), named `name`
    // in messages, from its start. Throws HardLinkManagerBaseException as
    // GetHLGroupsMap does: a malformed line, a last line without its line
    // feed, a read error; and when a temporary file of runs cannot be made
    // or written.
    void Read(ScopedFd fd, const std::string& name);

    // The next line: its element (the path escaped, as in the line) and
    // whether it begins a group. False after the last. Throws
    // HardLinkManagerBaseException when a line cannot be read again or is
    // not the line it was.
    bool Next(HLinkGroupElement& element, bool& first);

private:
    struct Ref {
        uint64_t inode;
        uint64_t device;
        uint64_t offset;
        uint64_t length;
        bool operator<(const Ref& o) const {
            return inode != o.inode ? inode < o.inode : device != o.device ? device < o.device : offset < o.offset;
        }
    };
    // A run written to the temporary file, and the part of it in memory.
    struct Run {
        uint64_t next;  // index in the temporary file of the first reference not yet buffered
        uint64_t end;
        std::vector<Ref> buffer;
        size_t pos = 0;
    };

    // Orders the heap of runs: the run whose next reference comes first on top.
    struct Later {
        const std::vector<Run>* runs;
        bool operator()(size_t a, size_t b) const {
            const Run &x = (*runs)[a], &y = (*runs)[b];
            return y.buffer[y.pos] < x.buffer[x.pos];
        }
    };

    void Spill();
    bool Fill(Run& run);
    bool NextRef(Ref& ref);
    [[noreturn]] void Fail(const char* what) const;

    bool m_firstOnly;
    size_t m_runLines;
    std::string m_name;
    ScopedFd m_file;     // the hard-link collect file
    ScopedFd m_scratch;  // the runs, when there is more than one
    uint64_t m_spilled = 0;
    std::vector<Ref> m_refs;  // the run being read, or the only one
    size_t m_pos = 0;
    std::vector<Run> m_runs;
    std::vector<size_t> m_heap;  // runs by their next reference, least first
    bool m_haveLast = false;
    Ref m_last{};
    std::string m_line;
};
