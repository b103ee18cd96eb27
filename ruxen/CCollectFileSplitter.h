// Splits a collect file by mount point, so that streams can be given collect
// files per disk: first into one collect file per mount point, then each of
// those into at most N files of about equal total size. Other programs of the
// agent call it; the job does not.
//
// Files, in the output directory D with name prefix P and extension E
// (".E" is appended only when E is not empty); collect-file numbers n count
// from 1 across one split:
//
//   D/P_n[.E]            after splitBasedOnMountPoints, one per mount point
//                        in order of first appearance: the input's
//                        directive lines, then per item its collect line as
//                        read (markers and escapes kept), one blank, the
//                        item's size in decimal, a line feed
//   D/P_n[.E].b4split    after splitEachMountCollectFile: that file, moved
//                        aside and left in place
//   D/P_n[.E], D/P_m[.E] after splitEachMountCollectFile: the directive
//                        lines, then the collect lines without sizes, the
//                        mount's items in input order spread over at most N
//                        files of about equal size
//   D/diskColMap.txt     per per-mount file, in ascending byte order of its
//                        path: the path, one blank, the numbers made from it
//                        joined by "," (its own first), a line feed
//
// An item's size is its lstat size, or 0 when its file type has the 0x2000
// bit (character and block devices, symbolic links). An item that
// no longer exists keeps its line with size 0 under the mount that holds its
// path; a deleted item (DEL=k) is not looked at and counts 0.
//
// Refused: a line the collect-line reader calls bad (an empty line, a bad
// escape, a bad marker), a hard-link collect file ('#' lines: those are split
// by the hard-link split), an item no mount holds, an output that is the
// input file itself, N below 1. A failed splitBasedOnMountPoints removes the
// files it wrote; a failed splitEachMountCollectFile puts every per-mount
// file back from its ".b4split" copy and removes the files it made, so the
// split can be tried again.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/agent/EvEvent.h"
#include "platform/base/CTyError.h"
#include "platform/base/Export.h"
#include "platform/os/KxMntTab.h"
#include "ruxen/MntDetail.h"

class RUXEN_EXPORT CCollectFileSplitter {
public:
    // Loads the mount table; a table that cannot be read or holds no entry
    // leaves the splitter uninitialised (every split then fails).
    explicit CCollectFileSplitter(EvEvent& event);

    // 1 when the mount table was loaded, else 0.
    uint32_t IsInitialized() const { return m_initialized; }

    // Writes one collect file per mount point (above). `extension` may be
    // empty or null. Clears what an earlier split on this object left.
    CTyError splitBasedOnMountPoints(const char* collectFile, const char* directory, const char* prefix,
                                     const char* extension);

    // Splits each per-mount file of the last splitBasedOnMountPoints into at
    // most `filesPerMount` files and writes diskColMap.txt. Once per
    // splitBasedOnMountPoints (the per-mount files lose their sizes).
    CTyError splitEachMountCollectFile(int filesPerMount);

    const std::vector<MntDetail_t>& mountDetails() const { return m_mntDetails; }
    const std::map<std::string, std::vector<int>>& collectFileMap() const { return m_collectFileMap; }

    // A line of a ".b4split" file: the collect line up to its last blank and
    // the decimal size after it (digits only, at most 2^63 - 1). False for
    // anything else.
    static bool ParseSizedLine(const char* p, size_t n, size_t& lineLength, int64_t& size);

private:
    class OutFile;
    struct Undo;

    RUXEN_HIDDEN CTyError SplitByMount(const char* collectFile, std::vector<OutFile>& outs);
    RUXEN_HIDDEN CTyError ReadHead(int fd, uint64_t length, const char* collectFile);
    RUXEN_HIDDEN CTyError OpenOut(OutFile& out, const std::string& path, const std::string& line);
    RUXEN_HIDDEN CTyError SplitMount(size_t index, int filesPerMount, Undo& undo);
    RUXEN_HIDDEN void RollBack(const Undo& undo, CTyError& err);
    RUXEN_HIDDEN std::string CollectPath(int32_t number) const;
    // An error when the name `path` is the input collect file.
    RUXEN_HIDDEN CTyError NotInput(const std::string& path) const;

    EvEvent m_event;
    uint32_t m_initialized = 0;
    std::vector<KxMntTab::Entry> m_mntTab;
    int32_t m_counter = 0;
    std::string m_directory;
    std::string m_prefix;
    std::string m_extension;
    std::map<std::string, std::vector<int>> m_collectFileMap;
    std::vector<MntDetail_t> m_mntDetails;

    std::vector<std::string> m_headLines;  // the input's directive lines
    dev_t m_inputDev = 0;
    ino_t m_inputIno = 0;
    bool m_readyToSplit = false;  // splitBasedOnMountPoints succeeded, not split yet
};
