// Names, registry keys and exception texts of the hard-link subsystem.
#pragma once

#include "platform/agent/KXPlatformInfo.h"

// Registry: section and key of the hard-link feature switch.
constexpr const char* kHLRegistrySection = kFileSystemAgentSection;
constexpr const char* kHLRegistryKey = "HLINK";

// Files in the job results directory.
constexpr const char* kHardLinksTableName = "hardLinks";
constexpr const char* kHCollectSplitConfigName = "HCollect_split_config";
constexpr const char* kCollectSplitConfigName = "split_config";
constexpr const char* kMergedSplitConfigName = "Merged_split_config";
constexpr const char* kSplitConfigOrigSuffix = ".orig";
constexpr const char* kCollectSuffix = ".kxf";         // a finished (H) collect file
constexpr const char* kTempSuffix = ".tmp";            // a file written before it is renamed
constexpr const char* kSplitTempSuffix = kTempSuffix;  // a new H collect file the split writes
constexpr const char* kMergeTempSuffix = ".tmpl";      // a renumbered collect file the merge moves
constexpr const char* kMergeConfigSuffix = ".merge";   // a configuration the merge writes
// The journals of the split and the merge (DirectoryJournal): present only
// while one runs, or after one was killed.
constexpr const char* kSplitJournalName = "HCollect_split_config.journal";
constexpr const char* kMergeJournalName = "Merged_split_config.journal";
constexpr const char* kSplitJournalKind = "split";
constexpr const char* kMergeJournalKind = "merge";
// The merge's mark: its new names are all made, old ones are replaced next.
constexpr const char* kMergeLinkedMark = "linked";
// A scan that writes the directory afresh (ruxen-collect --job-dir) makes
// "<base name>.scanning" before it changes anything and removes it once its
// split and merge are done: a directory that still holds it was cut short.
constexpr const char* kScanMarkSuffix = ".scanning";

// The lock file of a job results directory (JobDirectoryLock): a scan,
// split, merge or backup of the directory holds an flock on it.
constexpr const char* kJobDirectoryLockName = "ruxen.lock";
// Registry (section FileSystemAgent): how long a second taker of the lock
// waits for the holder, in seconds (0 to 3600, default 30).
constexpr const char* kKeyJobDirectoryLockWait = "nJobDirectoryLockWaitSeconds";
constexpr long kDefaultJobDirectoryLockWaitSeconds = 30;
constexpr long kMaxJobDirectoryLockWaitSeconds = 3600;
constexpr const char* kErrJobDirectoryBusy =
    "the job directory %s is in use by another process (a scan, split, merge or backup of it): its lock file %s "
    "was not let go within %d s";
constexpr const char* kErrJobDirectoryReadLocked =
    "the job directory %s is being read by this process: it cannot be rewritten meanwhile";
constexpr const char* kErrJobDirectoryLockFile = "the job directory %s cannot be locked: %s: %s";

// Item names under which a hard-link group's data is backed up once.
constexpr const char* kPhonyNamePrefix = "/__KXHardLink@-@-Files__/";

// Exception texts.
constexpr const char* kErrHCollectCreate = "Could not create the HCollectFile object properly";
constexpr const char* kErrHCollectInsert = "Could not insert entry in hard link collect file.";
constexpr const char* kErrHCollectClose = "Could not close hard link collect file.";
constexpr const char* kErrHLGroupsMap = "Could not create the HL groups map";
constexpr const char* kErrManagerInsert =
    "Could not insert entry in hard link collect file. Must skip entry in ctree table";
constexpr const char* kErrTableInit = "Failed initialize HardLinksTable ctree table";
constexpr const char* kErrTableInsert = "Failed insert entry into ctree table";
constexpr const char* kErrTableSearch = "Could not search the hard-links table";
constexpr const char* kErrStaleTable = "Could not remove the files of an earlier hard-links table";
constexpr const char* kErrSplit = "Could not create hard link split config file.";
constexpr const char* kErrRename = "Could not rename the file.";
constexpr const char* kErrSplitCommitted = "The split was cut after it was committed: run it again to finish it.";
constexpr const char* kErrMerge =
    "HardLinkManager CRITICAL EXCEPTION. Hard Link Feature should be disabled and should fail the "
    "phase or job";
constexpr const char* kErrCopyExists = "Output file already exists";
constexpr const char* kErrCopyOpenOut = "Unable to open output file";
constexpr const char* kErrCopyOpenIn = "Unable to open input file";
constexpr const char* kErrCopySame = "Input and output are the same file";
constexpr const char* kErrCopyIO = "Unable to copy file";
