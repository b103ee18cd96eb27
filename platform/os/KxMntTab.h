// The system mount table.
//
// kxReadMntTab reads it (by default "/proc/self/mounts") into a list of
// fixed-size nodes; KxMntTab gives the same table as strings with a lookup of
// the mount that holds a path. Both read through the same reader and match
// through PathUtil, so every user of the mount table sees the same entries and
// the same answer for a path.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One mount, as the reader returns it. Every text field is NUL-terminated.
struct KxMntEntry {
    KxMntEntry* next;    // null ends the list
    char special[1024];  // the mounted device or source
    char dir[1024];      // the mount directory (absolute)
    char type[256];      // the file-system type
    char opts[256];      // the mount options, comma-separated
    int flag;            // 1 when the mount is read-only (option "ro"), else 0
};
static_assert(offsetof(KxMntEntry, special) == 8, "KxMntEntry layout");
static_assert(offsetof(KxMntEntry, dir) == 8 + 1024, "KxMntEntry layout");
static_assert(offsetof(KxMntEntry, type) == 8 + 2048, "KxMntEntry layout");
static_assert(offsetof(KxMntEntry, opts) == 8 + 2048 + 256, "KxMntEntry layout");
static_assert(offsetof(KxMntEntry, flag) == 8 + 2048 + 512, "KxMntEntry layout");
static_assert(sizeof(KxMntEntry) == 8 + 2048 + 512 + 4 + 4, "KxMntEntry layout");

// Reads the mount table. Returns the first node of a list in table order
// (each node malloc'ed; the caller frees every node with free), or null with
// the reason in `errbuf` (at most errlen - 1 characters; errbuf may be null).
// A table that cannot be opened or read, or that holds no usable entry, is an
// error.
//
// Escapes of the table ("\040" for a blank, "\011", "\012", "\134") are
// decoded. An entry whose source or directory does not fit its 1024-byte
// field, whose directory is not absolute, or whose line holds a NUL byte is
// skipped with a log line: a cut directory would be another directory. The
// type and the options may be cut to fit (the options at a comma, so that no
// half option remains); the read-only flag is decided on the whole options.
KxMntEntry* kxReadMntTab(char* errbuf, int errlen);

// Frees every node of a list that kxReadMntTab returned (null is allowed).
void kxFreeMntTab(KxMntEntry* list);

// The file the reader reads.
const std::string& kxMntTabPath();

class KxMntTab {
public:
    struct Entry {
        std::string device;      // the mounted device or source
        std::string mountPoint;  // the mount directory
        std::string fsType;      // the file-system type
        std::string options;     // the mount options
        bool readOnly = false;   // the mount is read-only
    };

    // The whole table in table order. Throws KxException when it cannot be
    // read.
    static std::vector<Entry> getAll();

    // The entry of `table` whose mount point holds `path`: the longest mount
    // point that covers the path on whole components; of entries for the same
    // mount point the later one (the mount that hides the earlier). Null when
    // none covers it (an empty or relative path, or no "/" in the table). The
    // pointer points into `table`.
    static const Entry* find(const std::vector<Entry>& table, const std::string& path);

    // The same lookup on a freshly read table. Answers false when no mount
    // holds the path; throws KxException when the table cannot be read.
    static bool find(const std::string& path, Entry& out);
};
