// Texts this subsystem writes for users (failures and results files), hook
// file names and the registry keys it reads.
#pragma once

#include <cerrno>
#include <cstddef>

#include "platform/agent/KXPlatformInfo.h"

// Hook files (looked up through HookFiles).
constexpr const char* kHookDoNotSend = "KX.ruxen.do.not.send";

// The job's GPFS file-set list, in its job-results directory.
constexpr const char* kFileSetListFile = "FileSetTmp.kxf";

// Registry keys of the FileSystemAgent section: mounts whose file-system
// type is not local keep the default block size (any value switches it on).
constexpr const char* kRegSkipNonLocalMountDetails = "sSkipNonLocalMountDetails";

// Results-file line of a failed item: "Backup: ", escaped path, a blank,
// escaped reason.
constexpr const char* kResultsLinePrefix = "Backup: ";

// Level of the per-item lines about failures that are not reported (items
// that vanished after the scan, the agent's own files): a debug level, as a
// job may pass over millions of them.
constexpr int kLogLevelNotReported = 5;

// Failure reasons.
constexpr const char* kReasonPipelineSend = "pipeline error during send buffer %d";
constexpr const char* kReasonShrank = "file shrank during backup: %llu of %llu bytes read";
// The results-file reason of an item kept although its file changed while it
// was read (its header carries the stat taken before the read).
constexpr const char* kReasonChangedWhileRead = "changed while being read";
constexpr const char* kReasonLeaseNotReleased =
    "a write lease held on the file was not released within %ld s (nLeaseBreakWaitSeconds)";
constexpr const char* kReasonInterrupted = "the backup was interrupted (signal %d) while the item was read";
// An item below a symbolic link that neither root nor the job's user owns.
constexpr const char* kReasonLinkRefused =
    "the symbolic link %s in its path belongs to uid %u, neither root nor the job's user: not followed";
// A recorded path with a "." or ".." component: the scan writes clean paths,
// and such a one can name a file other than the one listed (above a mapped
// tree, or a user's file's neighbour that only root may read).
constexpr const char* kReasonDotComponent =
    "a recorded path with a \".\" or \"..\" component is refused: it can name another file than the one listed";
constexpr const char* kReasonNameTooLong = "path does not fit the header's name field (%zu bytes)";
// A hard-link member that went out naming its group, whose data is in no
// stream of the job (its hard-link collect file left out, failed or killed,
// or the group's line failed); the failures file gets this error number.
constexpr const char* kReasonHardLinkGroupLost = "its hard-link group's data is in no stream of the job";
constexpr int kErrnoHardLinkGroupLost = ENODATA;

// Collect-file arbitrator: the parent's dump hook and the errors of placing
// a collect file on a device.
constexpr const char* kHookDiskGroupDump = "diskGroup.dump";
constexpr const char* kArbCollectMissing = "Collect File %s does not exist.";
constexpr const char* kArbCollectOpen = "Failed to open collect file %s";
constexpr const char* kArbCollectEmpty = "Nothing could be read from collect file %s";
constexpr const char* kArbCollectNoItem = "Line %s read from file %s is not valid path.";

// ---- the job object (RuxenBase)
constexpr const char* kJobSection = kFileSystemAgentSection;
// "Y" (any case): items that vanished after the scan are reported.
constexpr const char* kKeyReportFailureOnENOENT = "sReportFailureOnENOENT";
constexpr const char* kLogReportENOENT = "%s/sReportFailureOnENOENT set to '%s', will report ENOENT errors";
constexpr const char* kLogSnapMapRecord = "snapMap: orig:%s   ->   new:%s";
constexpr const char* kLogSnapMapCount = "Will sent %d items in snapMap table.";
// Object-store jobs take their name mapper from the object-store plug-in.
constexpr unsigned kAppTypeObjectStore = 124;
// Jobs of this application type report items that vanished after the scan.
constexpr unsigned kAppTypeReportENOENT = 125;
// "y" or "Y" first: collect files are handed out in order, not by disk group.
constexpr const char* kKeyClassicArbitration = "sCLASSIC_ARBITRATION";
// Jobs of this application type always hand collect files out in order.
constexpr unsigned kAppTypeClassicArbitration = 38;
// The collect files of a job results directory: CollectTot<n>.kxf.
constexpr const char* kCollectFileBaseName = "CollectTot";
constexpr const char* kCollectFileSuffix = ".kxf";
// Stream problems the host shows its user.
constexpr const char* kProblemDoNotSend = "nothing was sent: the do-not-send hook file %s is present";
constexpr const char* kProblemChangedWhileRead =
    "%llu items changed while being read: they were kept, and the results file names them";
constexpr const char* kProblemIncomplete =
    "the archive %s is incomplete: writing it failed (%s) after %llu bytes; it holds %llu whole items";
constexpr const char* kProblemCollectChanged =
    "the collect file %s changed after the job opened it (its %s differs): items it names may be missing";
// A collect file opened again in its turn (a job holds few open) whose path
// names another file, or the file changed: it is not read as the job's.
constexpr const char* kProblemCollectReplaced =
    "the collect file %s is not the file the job opened (its %s differs): it was not read";
// An output of a stream that cannot be opened (or emptied): the job starts
// no stream, and every other output is as it was.
constexpr const char* kProblemOutputOpen = "cannot open the %s file %s: %s";
// A failures or results file that lost a line.
constexpr const char* kProblemListIncomplete = "the %s file %s is incomplete: writing it failed (%s)";
constexpr const char* kProblemInterrupted = "interrupted by signal %d: the stream stopped between two items";
constexpr const char* kProblemPendingCause = "the job manager was given pending cause 0x%x: %s";
constexpr const char* kProblemLedger = "cannot record what the stream sent of hard-link groups: %s";

// Header sending, optional headers, object-server metadata, end-of-item and
// failed-item records.
//
// Registry keys (section FileSystemAgent).
constexpr const char* kKeyDoNotSendACLForMountPoints = "nDoNotSendACLForMountPoints";
constexpr const char* kKeySendFailedFilesToIndex = "bSendFailedFilesToIndexForGUI";
constexpr const char* kKeyUseIndexForFailedItems = "sUseIndexForFailedItems";
// Pending causes raised with the job manager, and how long they are shown
// before the job manager acts (seconds).
constexpr unsigned kCauseItemMissing = 0x600002b;  // an item is gone or failed and errors are not tolerated
constexpr unsigned kCauseXattrTooBig = 0x70000e0;  // extended attributes too big to back up
constexpr int kCauseEventSeverity = 6;
constexpr int kCauseDelaySeconds = 300;
// Failure reasons.
constexpr const char* kReasonMissingNotTolerated = "Unable to read file - every file must be backed up.";
constexpr const char* kReasonObjSrvMetadata = "failed send metadata";
constexpr const char* kReasonAclRead = "Unable get ACL information %s";
constexpr const char* kReasonAclTooLarge = "ACL is too large (%d)";
constexpr const char* kReasonXattrsLeftOut = "some extended attributes are too large to back up";
// Results-file reason of an early-stub candidate that failed.
constexpr const char* kReasonStubbingSkipped = "Stubbing: stubbing skipped.";

// Metadata sending: the Salesforce relationship entries go to the index
// under this application type and view.
constexpr unsigned long kAppTypeSalesforceRelations = 134;
constexpr const char* kSalesforceRelationsView = "TBLVIEW";

// Header filling.
constexpr const char* kIndexCacheNameToken = "%IDXDB%";  // replaces the index cache directory
constexpr const char* kRawDevicePrefix = "///device/";   // before a raw device link's target
constexpr size_t kLongPathAncestorMax = 959;             // longest ancestor of a long path's substitute name
constexpr const char* kFBRDirKey = "dFBRDIR";  // job-results directory of file-based restores (kSessionSection)

// Collect-file splitter (also kArbCollectMissing, kArbCollectOpen,
// kArbCollectEmpty and kArbCollectNoItem above).
constexpr const char* kSplitB4SplitSuffix = ".b4split";
constexpr const char* kSplitMapFile = "diskColMap.txt";
constexpr const char* kSplitNoMountTable = "The mount table could not be loaded";
constexpr const char* kSplitNoMount = "Cannot determine the mountPath for the Line %s read from file %s .";
constexpr const char* kSplitStat = "Line %s stat from file %s failed errno=%d";
constexpr const char* kSplitAppend = "Line %s Could not be appended to the File %s.";
constexpr const char* kSplitRename = "Failed to rename the file %s to file %s errno=%d";
constexpr const char* kSplitMap = "Could not create collect file map %s errno=%d.";
constexpr const char* kSplitHardLinkLine =
    "Line %s read from file %s is a hard-link collect line: hard-link collect files are split by the hard-link split";
constexpr const char* kSplitNotRegular = "Collect file %s is not a regular file";
constexpr const char* kSplitIsInput = "%s is the collect file being split";
constexpr const char* kSplitBadSizedLine = "Line %s of file %s is not a collect line followed by a blank and a size";
constexpr const char* kSplitBadHead = "File %s does not begin with the directive lines of the collect file";
constexpr const char* kSplitFileCount = "The number of collect files per mount point must be at least 1, not %d";
constexpr const char* kSplitNotReady =
    "Nothing to split: the split by mount point has not run, has failed, or was split already";
constexpr const char* kSplitRestore = "Could not restore %s from %s: %s";
constexpr const char* kSplitRemove = "Could not remove %s: %s";
