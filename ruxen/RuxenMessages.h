// Texts this subsystem writes for users (failures and results files), hook
// file names and the registry keys it reads.
#pragma once

// Hook files (looked up through HookFiles).
constexpr const char* kHookDoNotSend = "KX.ruxen.do.not.send";

// The job's GPFS file-set list, in its job-results directory.
constexpr const char* kFileSetListFile = "FileSetTmp.kxf";

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
constexpr const char* kReasonNameTooLong = "path does not fit the header's name field (%zu bytes)";
