// A hard-link collect file (H collect file): the paths of hard-linked files
// met in one collect file, one line each (format in HCollectLine.h).
//
// H collect file N of base name B in directory D is D/HB<N><suffix>; the
// regular collect file N is D/B<N><suffix>. The suffix is ".kxf" for a
// finished file and ".tmp" while the split writes it.
//
// Write mode appends: a new (empty) file first gets the line "# /"; lines are
// buffered and written in large blocks; close() flushes and reports a failed
// write or close. Read mode reads the file's groups. Every failure throws
// HardLinkManagerBaseException.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

#include "hardlinks/HLFileOps.h"
#include "hardlinks/HLinkGroupElement.h"

class HCollectGroupReader;
class TextLineReader;

enum _HCOLLECTFILEMODE { HCOLLECT_READ = 0, HCOLLECT_WRITE = 1 };

class HCollectFile {
public:
    // Opens H collect file `number` (any mode other than read or write opens
    // nothing). Throws when the file cannot be opened, or when a file to
    // append to does not end with a line feed (its last line was cut).
    HCollectFile(const std::string& directory, const std::string& baseName, uint32_t number, int mode,
                 const std::string& suffix = ".kxf");
    virtual ~HCollectFile();  // closes; a failure is only logged (use close())
    HCollectFile(const HCollectFile&) = delete;
    HCollectFile& operator=(const HCollectFile&) = delete;

    // Appends the line of an escaped absolute path and the stat buffer's
    // inode, device, change time and size. A path that is empty, relative or
    // holds a carriage return, line feed or NUL is refused. The flag is not
    // used. True, or throws.
    bool InsertEntryInHCollectFile(const std::string& escapedPath, const struct stat& st, bool flag = false);
    // Appends the line of an element as read (its path still escaped).
    void InsertElement(const HLinkGroupElement& element);

    // Reads the file (read mode, once) and appends each line to the group of its
    // (inode, device). True, or throws: a malformed line, a last line without
    // its line feed or a read error. Elements read before a failure stay.
    bool GetHLGroupsMap(HLGroupsMap_t& map);
    // The same groups, in the same order, through `groups` (read mode, once),
    // which holds a bounded part of them at a time. Throws as
    // GetHLGroupsMap.
    void ReadGroupsInOrder(HCollectGroupReader& groups);

    // Write mode: writes what is buffered and closes; read mode: closes.
    // Throws when a write or the close fails. Later calls do nothing.
    void close();

    const std::string& GetHCollectFileName() const { return m_path; }
    int fileMode() const { return m_mode; }
    uint32_t number() const { return m_number; }

    static std::string GetHCollectFilePath(uint32_t number, const std::string& directory, const std::string& baseName,
                                           const std::string& suffix);
    static std::string GetCollectFilePath(uint32_t number, const std::string& directory, const std::string& baseName,
                                          const std::string& suffix);

    // The group reader over any line source; `name` names it in messages.
    static void ReadGroups(TextLineReader& lines, const std::string& name, HLGroupsMap_t& map);
    // Hands each data line of a line source, from its start, to `take` with
    // its byte offset and length (without the line feed); the same checks
    // and throws as ReadGroups.
    using LineVisitor = std::function<void(HLinkGroupElement& element, uint64_t offset, size_t length)>;
    static void ReadLines(TextLineReader& lines, const std::string& name, const LineVisitor& take);

private:
    int flush();

    uint32_t m_number;
    std::string m_path;
    ScopedFd m_fd;
    std::string m_buffer;  // write mode: lines not yet written
    int m_mode;
    std::string m_directory;
    std::string m_suffix;
};
