// A snapshot of the system mount table, taken when the object is built, with
// a lookup of the mount that holds a file. The file reader and the
// consistency-point mapper build one when they need to know on which mounted
// file system a path lies.
#pragma once

#include <string>
#include <vector>

class ZXHSMMntTab {
public:
    struct Entry {
        std::string special;  // the mounted device or source
        std::string dir;      // the mount directory
        bool flag = false;    // the reader's flag: the mount is read-only
        std::string type;     // first further field: the file-system type
        std::string opts;     // second further field: the mount options
    };

    // Reads the mount table (kxReadMntTab). Throws KxException (context
    // "ZXHSMMntTab", the reader's error text, code -1) when it cannot be read.
    ZXHSMMntTab();

    // A copy of the entries, in the order the reader returned them.
    std::vector<Entry> getAll() const { return m_entries; }

    // The entry of the mount that holds `file`: the longest mount directory
    // that covers the file on whole components ("/" covers every absolute
    // path, /home covers /home and /home/u but not /homework). Of two entries
    // for the same directory the later one wins: it is the mount the path
    // resolves to, the earlier one being hidden under it.
    // Throws KxException with "Internal error: fname==NULL" for a null or
    // empty name and "Failed to find mount point containing file <file>" when
    // no entry holds it.
    const Entry& find(const char* file) const;

    // The entry whose mount directory equals `dir` and whose options equal
    // `second` (exact comparison; of several, the later one, as above), or
    // null. A null `dir` or `second` gives null.
    const Entry* find(const char* dir, const char* second) const;

private:
    std::vector<Entry> m_entries;
};
