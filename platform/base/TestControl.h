// Everything tests reach in the system's process-wide state, in one place:
// no other header declares a test hook.
//
// Each process-wide once-only state (a registry read once, a switch decided
// once per process, a table a stand-in keeps, a knob below) is registered,
// by the file that owns it, with the function that puts it back as a fresh
// process has it:
//
//     namespace {
//     const ruxen::testcontrol::Registration kReset("registry", &ruxen::testcontrol::ResetRegistry);
//     }
//
// ResetAll() runs every reset registered in the process. A state whose file
// is not linked into the program does not exist there, so nothing is
// missed, and neither this header nor platform/ names the folders above it.
//
// The functions below are declared here and defined in the file that owns
// the state, whatever its folder: a declaration includes no header of
// another folder (the types they take are only declared). None is exported
// from libruxen.so, whatever declares it a friend; tests link the static
// folder libraries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AppRecord;
struct QueryFLRCPByJobIdRet_t;
namespace databrowse {
struct BrowseItem;
}
namespace LVM {
class Provider;
}

#pragma GCC visibility push(hidden)

namespace ruxen::testcontrol {

// ---- the registry of resets

using ResetFunction = void (*)();

// Registers `reset` for ResetAll; `name` says what it resets. Made once per
// state, as a static object of the owner's file or a function-local static
// beside a state built on first use.
class Registration {
public:
    Registration(const char* name, ResetFunction reset);
};

// Runs every registered reset, in the order they were registered.
void ResetAll();

// ---- platform/base

// As if signal `sig` had arrived (0 clears the flag). Reset: 0.
void SetStopRequested(int sig);

// ---- platform/agent

// While captured, log lines go to a buffer instead of their destination;
// TakeCapturedLog answers them and empties it. Reset: not captured.
void StartLogCapture();
std::string TakeCapturedLog();
void StopLogCapture();
// The directory hook files are looked up in ("": /tmp or RUXEN_HOOK_DIR).
// Reset: "".
void SetHookDirectory(const std::string& dir);
// The registry is read afresh from its files and environment.
void ResetRegistry();
// The application registry holds no application.
void ResetApplicationRegistry();

// ---- platform/archive

// File record sinks started from now on write at most `bytes` per system
// call, as into a pipe that could not be grown (0: no limit). Reset: 0.
void LimitRecordSinkWrites(size_t bytes);

// ---- platform/index

// The index browse's answers: the items of a subclient, the response status
// and error text, a browse that fails; reset, none of them.
void SetBrowseIndex(int zonarkId, int subclientId, std::vector<databrowse::BrowseItem> items);
void SetBrowseResponse(int status, const std::string& error);
void FailBrowse(bool fail);
void ResetBrowseIndex();
// No default record sink for indexing connections; connections are
// numbered from 1 again.
void ResetIndexingConnections();

// ---- platform/snapshot

// The replica database's answer for a job, winning over the fixture file;
// reset, none.
void SetConsistencyPointAnswer(int64_t jobId, const QueryFLRCPByJobIdRet_t& answer);
void ResetConsistencyPointAnswers();

// ---- platform/os

// The user, group and file-system look-ups are counted from 0.
void ResetLookupCounts();
// Replaces the logical-volume provider (the caller keeps it); null, the
// reset, restores the sysfs one.
void SetLvmProvider(LVM::Provider* provider);
// Whether the directory walk tries openat2 (reset: it does, also after a
// kernel that has none was met).
void UseOpenat2(bool use);
// The mount table read in place of /proc/self/mounts (null, the reset:
// that one).
void SetMountTablePath(const char* path);
// Whether cache advice asks cachestat (reset: it does, also after a kernel
// that has none was met).
void UseCachestat(bool use);
// ACL support is probed again, with the default options.
void ResetAclSupport();
// The long-path handler is unavailable (reset: available).
void SetLongPathsUnavailable(bool unavailable);

// ---- platform/hsm

// The data-loss-prevention reader reads in DLP mode, and reports the
// decoded size `size` ((unsigned long long)-1: none); reset, neither.
void ForceDlpMode(bool on);
void ForceDlpDecodedSize(unsigned long long size);
void ResetDlp();

// ---- platform/content

// The step at which the moniker resolver fails.
enum class MonikerFailure { kNone, kCreateResolver, kCreateItem, kExpand };
void FailMonikers(MonikerFailure failure);
// No moniker known, no failure.
void ResetMonikers();

// ---- platform/xml

// The XML library is unloaded and Xerces-C terminated: the next parse loads
// and initialises them again.
void ResetXmlLibrary();

// ---- errorpolicy

// The error-report filter as before initialize: no do-not-report list, both
// switches on, "not initialized" not yet logged.
void ResetErrorController();

// ---- hardlinks

// The hard-link feature off, the registry unread, no table.
void ResetHardLinkManager();
// The lines the split sorts in memory before it sorts in runs through a
// temporary file (reset: HCollectGroupReader::kRunLines).
void SetSplitRunLines(size_t lines);

// ---- norfa

// The consistency point's reference time is 0.
void ResetNorfaRefTime();

// ---- ruxen

// How long the job's parent waits for the rest of a child's message once
// its first byte is there (reset: RuxenBase::kMessageDeadlineMs).
void SetMessageDeadline(int ms);
// Each process-wide content mapper is made afresh (at the same address).
void ResetContentMappers();
// The switches header sending and failed-item records decide once per
// process are undecided.
void ResetProcessSwitches();
// The mount list, name caches and block sizes of the file-level properties
// are forgotten, and the system look-ups counted from 0.
void ResetFlaState();
// The archival time of early stubs is taken afresh.
void ResetArchivalTime();

}  // namespace ruxen::testcontrol

#pragma GCC visibility pop
