// A job's hard-link bookkeeping.
//
// On the scan side a manager records every path of a file with more than one
// hard link: a line in the H collect file of the collect file where the path
// was met, and a row in the hard-links table of the job results directory.
// After the scan the same manager regroups the H collect files
// (SplitHCollectFile) and folds them into the collect-file split
// (MergeSplitFiles). On the backup side only the statics are used: the
// process-wide feature switch, the process-wide hard-links table and the
// phony item names under which a hard-link group's data is backed up once.
//
// Failures are thrown: HardLinkManagerBaseException (the caller turns the
// feature off and goes on) and HardLinkManagerCriticalException (the split or
// merge failed: the phase or job fails).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "hardlinks/DirectoryJournal.h"
#include "hardlinks/HCollectFileCache.h"
#include "hardlinks/HCollectGroupReader.h"
#include "hardlinks/HLFileOps.h"
#include "hardlinks/HardLinkExceptions.h"
#include "platform/base/CTyError.h"
#include "platform/base/Export.h"
#include "platform/hardlinks/HardLinksTable.h"

class RUXEN_EXPORT HardLinkManager {
public:
    HardLinkManager();
    virtual ~HardLinkManager();
    HardLinkManager(const HardLinkManager&) = delete;
    HardLinkManager& operator=(const HardLinkManager&) = delete;

    virtual CTyError initHardLinkManager(const std::string& jobResultsDir, const std::string& baseName);
    // Regroups the recorded H collect files by inode into new H collect files
    // and writes "HCollect_split_config". False when the feature is off.
    // The new files replace the old ones only after the split's journal is
    // written; a split that stops after that is finished by the next call
    // (of any manager), as it was planned. One that stopped before it left
    // only temporary files, which the next call removes before it splits
    // again (a manager that recorded nothing takes the directory's H collect
    // files). The job directory is locked meanwhile (JobDirectoryLock);
    // HardLinkManagerCriticalException when another process holds it.
    virtual bool SplitHCollectFile(uint32_t collectCount, bool split, uint32_t streams);
    // Renumbers the H and regular collect files into one consecutive set and
    // writes "Merged_split_config" and "split_config". False when the feature
    // is off; collectCount receives the next free collect number. A merge
    // that stopped after its journal was written is finished by the next
    // call (of any manager); one that refuses changes nothing, the
    // hard-links table included. Locked as the split is.
    virtual bool MergeSplitFiles(uint32_t& collectCount, int& missing);

    // --- process-wide state ---
    static bool HardLinkFeatureSupported();
    static CTyError EnableHardLinkFeature();
    static void DisableHardLinkFeature();
    // The process-wide table for the directory and mode, opened when needed;
    // empty on failure. A table closed by any of its owners is reopened.
    static HardLinksTablePtr getHLTableClass(const std::string& directory, bool readMode);
    static void closeHLTableClass();

    static std::string GeneratePhonyFileNameUsingStat(const struct stat& st);
    static std::string GeneratePhonyFileName(const struct stat& st);
    static bool IsPhonyName(const std::string& path);
    static std::string GenerateHCollectSplitConfigFileName(const std::string& dir);
    static std::string GenerateCollectSplitConfigFileName(const std::string& dir);
    static std::string GenerateMergedSplitConfigFileName(const std::string& dir);

    // --- the scan side ---
    bool initGuidHelper(int value);
    // Records one path (raw, as the file system names it) met in collect
    // file hColNum (1 or more). False when the feature is off; true for a
    // phony-name path, which is not recorded. Throws
    // HardLinkManagerBaseException; a line already written stays.
    bool InsertEntryInHCollectFile(uint32_t hColNum, const std::string& path, const std::string& unused,
                                   const struct stat& st);
    // Rows of the hard-links table are numbered in recording order: the
    // number of the row where the file (st_dev, st_ino) was first recorded,
    // 0 when it was not; and the number of the last row recorded (0: none).
    // A scan that records its collect files one after another tells from
    // them in which collect file a file was first met, without a map of
    // every linked file. Throws HardLinkManagerBaseException when the table
    // cannot be read.
    int64_t FirstRecordedRow(const struct stat& st);
    int64_t LastRecordedRow() const;
    // The GUID stored for (device, inode) when its change time is ctime.
    std::string getFileGUID(uint64_t device, uint64_t inode, int64_t ctime);

    HCollectFileCache::Ptr collectFile(uint32_t number, int mode);
    HCollectFileCache::Ptr tempCollectFile(uint32_t number, int mode, const std::string& suffix);
    // Close file N (checked: a failed write of its buffered lines is an
    // error) and drop it from the cache.
    CTyError closeCollectFile(uint32_t number);
    CTyError closeTempCollectFile(uint32_t number);

    // Removes the table and its files and leaves an empty "hardLinks" name
    // file. False when a file of an earlier table could not be removed.
    bool DeleteCtreeFiles();
    // Closes every cached H collect file and the manager's table.
    void Cleanup();
    // Takes over another manager's recordings (numbers, total, table, files).
    HardLinkManager& operator+=(HardLinkManager& other);
    // Diagnostic look-up of six fixed keys; logs what it finds.
    void QueryCtreeTable(const std::string& directory);

    void setAllRecords(bool all) { m_allRecords = all; }
    bool allRecords() const { return m_allRecords; }
    void setCollectFileCacheCapacity(size_t n);
    const std::set<uint32_t>& hColNumbers() const { return m_hColNumbers; }
    uint64_t totalSize() const { return m_totalSize; }
    uint64_t insertedPaths() const { return m_insertedPaths; }
    const std::string& jobResultsDir() const { return m_jobResultsDir; }
    const std::string& baseName() const { return m_baseName; }

protected:
    // Every rename and link of the split and the merge goes through here
    // (tests inject failures and kills). 0, or -1 with errno.
    RUXEN_HIDDEN virtual int renamePath(const std::string& from, const std::string& to);
    RUXEN_HIDDEN virtual int linkPath(const std::string& from, const std::string& to);

private:
    RUXEN_HIDDEN void SplitOne(uint32_t source, bool bounded, uint64_t limit, uint32_t& k,
                               std::map<uint32_t, std::set<uint32_t>>& splitMap);
    // Before a split plans anything: removes what a split killed before its
    // journal left, and takes the directory's hard-link collect files as
    // the sources when this manager recorded none.
    RUXEN_HIDDEN void TakeUnjournaledSplit();
    RUXEN_HIDDEN bool RecoverMerge(DirectoryJournal& journal, uint32_t& collectCount, int& missing);
    RUXEN_HIDDEN DirectoryJournal::Ops JournalOps();

    std::set<uint32_t> m_hColNumbers;
    uint64_t m_totalSize = 0;
    HardLinksTablePtr m_table;
    bool m_tableReady = false;
    bool m_allRecords = false;
    int m_guidHelper = -1;
    std::string m_jobResultsDir;
    std::string m_baseName;
    HCollectFileCache m_collectFiles;
    HCollectFileCache m_tempCollectFiles;
    uint64_t m_insertedPaths = 0;
    std::string m_escaped;  // scratch of InsertEntryInHCollectFile
};

// Prints every row of the table in `directory` to standard output, read-only.
// True when the table could not be opened.
bool hlDebug(const std::string& directory);
