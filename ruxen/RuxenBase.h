// The job object: the set-up of one stream (shared by every way a job
// runs), the single-process run, and a parent that runs N streams as child
// processes and hands them the collect files.
//
// Parent and children (forked, not re-executed) speak over two AF_UNIX
// stream socket pairs per child, all numbers in host byte order:
//
//   parent -> child (command socket)
//     plfsBackupArgs        3400 bytes, once (ruxen/PlfsBackupArgs.h)
//     int32 count           then `count` SnapMapRecord_t of 2048 bytes
//                           (ruxen/SnapMapRecord.h); 0 for most jobs
//     RestartInfo_t         28 bytes, one per assignment, each the answer
//                           to a next-collect-file message; collect number
//                           0: nothing is left, the stream ends
//   child -> parent (message socket)
//     ChildMessage_t        8 bytes (ruxen/ChildMessage.h): next collect
//                           file (value: the number finished, 0 at first),
//                           stream completed or stream failed, the last two
//                           followed by StreamTotals_t
//
// Collect files are handed out one at a time, in command-line order
// (numbered from 1), to whichever child asks next. A child that reports a
// failed stream, speaks out of turn, sends part of a message and stops
// (kMessageDeadlineMs) or ends without reporting has its
// collect file marked failed (restart offset -2), logged at level -1 and
// listed by failedCollectFiles(); the other children take the rest, and
// what is left when no child remains fails too. The parent sleeps in poll()
// between messages and reaps every child with waitpid().
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hardlinks/HLColStatus.h"
#include "hardlinks/HLFileOps.h"
#include "hardlinks/RestartInfo.h"
#include "hardlinks/SplitConfig.h"
#include "platform/agent/EvEvent.h"
#include "platform/agent/GpfsFileSetConfig.h"
#include "platform/base/Export.h"
#include "ruxen/ChildMessage.h"
#include "ruxen/CollectInputFile.h"
#include "ruxen/HardLinkHoldQuery.h"
#include "ruxen/PlfsBackupArgs.h"
#include "ruxen/SnapMountInfo.h"
#include "ruxen/StreamOutputFiles.h"

class CCollectFileArbitrator;
class HardLinkLedger;
class JobDirectoryLock;
class KXJobCtrlClient;
class RuxenFile;
class TAVNameMapper;

// The parent's side of one child.
struct ChildInfo_t {
    int streamNumber = 0;
    pid_t pid = -1;
    ScopedFd cmdFd;        // the parent writes: arguments, mapping records, assignments
    ScopedFd msgFd;        // the child's messages
    int32_t current = 0;   // the collect number it is backing up, 0 none
    bool ended = false;    // it reported the end of its stream
    bool failed = false;   // its stream failed, or it ended without saying how
    bool waiting = false;  // it asked while every file left was held back
};

// How one stream went.
struct StreamRun {
    bool opened = false;  // its outputs were opened (else nothing was backed up)
    bool failed = false;
    uint32_t endStatus = 0;  // what its end record says (ArchiveStreamStatus)
    StreamTotals_t totals{};
    uint64_t changedItems = 0;          // kept although they changed while being read
    std::vector<std::string> problems;  // sentences for the user
};

class RUXEN_EXPORT RuxenBase : public HardLinkHoldQuery {
public:
    // The next collect file of a stream: its number (from 1), 0 when none is
    // left, -1 when the stream must fail (the parent is gone or out of step).
    using NextCollect = std::function<int()>;
    // A stream's work over the collect files `next` hands out (runStream;
    // tests put a function object in its place).
    using StreamFunction = std::function<StreamRun(RuxenBase& job, const BackupArgs& args, const NextCollect& next)>;
    // Called in the stream's own process when it has ended.
    using StreamReport = std::function<void(const BackupArgs& args, const StreamRun& run)>;

    // `args` with the stream count the host asked for; the collect files in
    // command-line order.
    RuxenBase(const BackupArgs& args, std::vector<std::string> collectFiles);
    virtual ~RuxenBase();
    RuxenBase(const RuxenBase&) = delete;
    RuxenBase& operator=(const RuxenBase&) = delete;

    // The snapshot devices of the job; with `nameMappingJob` (snapshot,
    // snapshot-catalog and snapshot-to-tape jobs, deduplication-database
    // subclients) each stream maps recorded paths through them.
    void setSnapshotContent(std::vector<kx_contenttosnapmnt> content, bool nameMappingJob);
    void setStreamFunction(StreamFunction f) { m_stream = std::move(f); }
    void setStreamReport(StreamReport r) { m_report = std::move(r); }

    // Whether per-item errors leave the stream going (--errors-not-tolerated
    // clears it); the error-report filter takes it before the pass.
    virtual bool errorsTolerated() const { return !m_args.errorsNotTolerated; }

    // Runs the job's one stream in this process. 0, or 1 when it failed.
    int singleProcess();
    // Runs min(stream count, collect files) children. 0 when every collect
    // file was backed up and every stream completed, else 1. SIGTERM and
    // SIGINT (see ruxen::StopSignals) reach every child, whose stream ends
    // as interrupted; the parent waits for them all. A second such signal
    // kills them at once.
    int parent();
    // The child's side, on the sockets of its parent; answers the exit
    // status of the child process (0 the stream completed).
    int child(int cmdFd, int msgFd);

    // The one set-up of a stream: error-report filter, outputs, per-file
    // object, the pass over each collect file, totals and what went wrong.
    StreamRun runStream(const BackupArgs& args, const NextCollect& next);

    // ---- parent side of the protocol: 0, or -1 with the reason logged
    int sendMappingInfo(ChildInfo_t& child);
    int sendNextCollectFile(ChildInfo_t& child);
    // A child's message, once its first byte is there, must be whole within
    // this many milliseconds: a child that sends part of one and stops is
    // killed as out of step, its collect file failed.
    static constexpr int kMessageDeadlineMs = 10000;

    // ---- child side; the sockets are those given to child() or attachParent()
    void attachParent(int cmdFd, int msgFd) {
        m_cmdFd = cmdFd;
        m_msgFd = msgFd;
    }
    // Reads the argument block. false with the reason logged.
    bool receiveBackupArgs(BackupArgs& out);
    // Reads the mapping records into `mapper` (may be null). 0, or -1 with
    // errno (ENODATA: the socket ended early; EPROTO: a count below 0 or
    // above kMaxSnapMapRecords, or a path without its NUL).
    int receiveMappingInfo(TAVNameMapper* mapper);
    // The message socket to the parent (child side; -1 elsewhere).
    int messageSocket() const { return m_msgFd; }
    // Asks for the next collect file, saying which one is finished. Its
    // number, 0 when nothing is left, -1 on a failure or a bad assignment.
    int receiveNextCollectFile(int32_t finished);
    // Tells the parent that the stream failed, with its totals; answers 1.
    int exitHere(const StreamTotals_t& totals);

    // ---- results
    // Why the job's inputs could not be read before any output was made ("":
    // they were): a collect file (or its copy), the job directory's split
    // configuration, a name or proxy map. Nothing was then backed up, no
    // output was created or truncated, and every collect file is failed.
    const std::string& inputError() const { return m_inputError; }
    // Why an output of the job could not be opened before any stream began
    // ("": they were); no earlier output was changed, and the files the
    // job made for them were removed again.
    const std::string& outputError() const { return m_outputError; }
    // What went wrong after the streams ended (the hard-link members' lines
    // appended to a stream's lists), in sentences for the user.
    const std::vector<std::string>& jobProblems() const { return m_jobProblems; }
    // How many collect files a job holds open at once: the rest are opened
    // in their turn (at most kMaxHeldCollectFiles, and a sixteenth of the
    // open-file limit).
    static constexpr size_t kMaxHeldCollectFiles = 64;
    static size_t HeldCollectFiles();
    const StreamTotals_t& jobTotals() const { return m_totals; }
    const std::vector<RestartInfo_t>& restartList() const { return m_restart; }
    const std::vector<std::string>& collectFiles() const { return m_collects; }
    // The collect files marked failed, in order.
    std::vector<std::string> failedCollectFiles() const;
    // Why the job could not start (its job directory refused), else empty.
    const std::string& setupError() const { return m_setupError; }
    TAVNameMapper* nameMapper() const { return m_nameMapper.get(); }

    // Set when the process runs as a proxy client: header filling then takes
    // the item type from the header's mode.
    static bool proxyClient;

    // Hard-link groups of the split configuration: the parent's, consulted
    // before each hand-out, and the child's own copy.
    HLGroupMap m_hlGroupMap;
    HLGroupMap m_childHLGroupMap;

    // ---- how the parent hands out collect files (RuxenBaseArbitration.cpp)
    // Classic arbitration (in restart-list order) or by disk group: the
    // registry's sCLASSIC_ARBITRATION, application type 38, or a collect-file
    // arbitrator that cannot be made choose the first.
    void Initialize();
    bool ClassicArbitration() const { return m_classic; }
    // The restart list (and, in a job directory, the parent's group map
    // from its Merged_split_config); the arbitrator's disk groups. False
    // (the reason in inputError()) when the job directory is refused
    // (hardlinks/JobDirectory.h).
    bool getRestartInfo();
    // Registers each split group (or lone collect file) still to do with the
    // arbitrator, each collect file read through the job's open of it. 0, or
    // 1 when a collect file cannot be placed (the reason in inputError()
    // when it is not the file the job opened, or cannot be opened again).
    int PopulateDiskGroupInfo();
    // The arbitrator's next collect file for the child `next.childPid`: its
    // number (and `next` filled), 0 when nothing is left or the job was told
    // to stop, -1 when the child must wait.
    int sendNextCollectFromDiskGroup(RestartInfo_t& next);
    // Whether collect file `collect` must wait for its hard-link collect
    // files (asked by the arbitrator).
    bool ProcessingHardLinkCollect(int32_t collect) override;
    // The job manager's client, whose quit flag ends the hand-out and which
    // the streams' per-file objects give their pending causes (not owned;
    // null: none). Until one is set the job keeps a client of its own, so
    // that the causes a stream raises are still named in its report.
    void setJobCtrlClient(KXJobCtrlClient* client) { m_jobCtrl = client; }

    // The mapping set-up of a stream before its first item: the job's
    // application, the content mapper (proxy, snapshot, replication), mount
    // points. false (with the problem in `run`) when the stream must fail.
    bool setUpMapping(RuxenFile& file, const BackupArgs& args, StreamRun& run);
    // The job's collect directory: the job directory, else the directory of
    // the first collect file. The snapshot mapping files lie there.
    static std::string CollectDirectory(const BackupArgs& args, const std::vector<std::string>& collects);
    // The snapshot mapping file of a snapshot-to-tape job ("hwsnapInfo.kxf")
    // and the native snapshot's ("nativeSnapMapInfo.kxf").
    static std::string SnapMappingFile(const BackupArgs& args, const std::vector<std::string>& collects);
    static std::string NativeSnapMappingFile(const BackupArgs& args, const std::vector<std::string>& collects);

private:
    // Every input of the job, before any output exists: the restart list
    // (with the job directory's split configuration), each collect file
    // still to do, the name and proxy maps, the job directory's file-set
    // list, a snapshot-to-tape job's mapping file. false through
    // inputsFailed.
    RUXEN_HIDDEN bool openInputs();
    // Opens each collect file of the restart list still to do, keeping at
    // most HeldCollectFiles() of them open.
    RUXEN_HIDDEN bool openCollectInputs();
    // The job's one open of collect file `number`, opened at first use
    // (CollectInputFile: a pipe is copied whole), or opened again in its
    // turn when it was let go; null with the reason, *changed (when given)
    // set to what differs when its path names no longer the file first met.
    RUXEN_HIDDEN const CollectInputFile* collectInput(int32_t number, std::string* error, const char** changed = nullptr);
    // Lets the descriptor of collect file `number` go until it is wanted again.
    RUXEN_HIDDEN void releaseCollectInput(int32_t number);
    // The outputs of each stream to run (numbered from `first`: 0 the
    // single-process run, 1 the children), all opened before any is
    // emptied (StreamOutputFiles); false with the reason in outputError()
    // and every collect file still to do failed.
    RUXEN_HIDDEN bool openOutputs(const BackupArgs& args, int first);
    // Logs `why` and fails every collect file still to do; false.
    RUXEN_HIDDEN bool failBeforeStreams(const std::string& why);
    // Keeps and logs `why`, fails every collect file still to do; false.
    RUXEN_HIDDEN bool inputsFailed(const std::string& why);
    // Reads the job's name map (BackupArgs::nameMapPath); false with the
    // reason (the file, the line and what is wrong with it) in *error.
    RUXEN_HIDDEN bool loadNameMap(std::string* error);
    // Reads the proxy map at `path` once for every stream of the job (a
    // child has its parent's); false with the reason in *error.
    RUXEN_HIDDEN bool loadProxyMap(const std::string& path, std::string* error);
    // Reads a snapshot-to-tape job's mapping file once for every stream
    // (SnapMappingFile; none is no error); false with the reason in *error.
    RUXEN_HIDDEN bool readSnapMapping(std::string* error);
    RUXEN_HIDDEN void makeNameMapper(uint32_t appType);
    RUXEN_HIDDEN void resetRestartList();
    RUXEN_HIDDEN int startChild(int streamNumber, const plfsBackupArgs& block);
    RUXEN_HIDDEN void handleMessage(ChildInfo_t& child);
    // A stop was asked for: every child gets the signal and its command
    // socket closes, so that a child waiting for an assignment ends too.
    RUXEN_HIDDEN void forwardStop(int sig);
    // A second stop signal: every child is killed at once.
    RUXEN_HIDDEN void killStreams();
    // Closes the child's sockets, reaps it and settles what it held.
    RUXEN_HIDDEN void childGone(ChildInfo_t& child, const char* why, bool kill);
    RUXEN_HIDDEN void failCollect(int32_t number, const char* why);
    RUXEN_HIDDEN RestartInfo_t* findRestart(int32_t number);
    // The collect files of the job directory (no collect files were given).
    bool collectsFromJobDir() const { return m_fromJobDir; }
    // The next collect file in restart-list order that may be handed out:
    // its number, 0 when none is left, -1 when all left are held back.
    RUXEN_HIDDEN int nextInOrder(pid_t child);
    // A stream that failed while it held `number`: the group's regular
    // collect files fail too.
    RUXEN_HIDDEN void streamFailedOn(int32_t number);
    // Gives waiting children what may now be handed out; when nothing more
    // can change (no child holds a file, every child waits), fails the held
    // files, naming the hard-link collect files they wait for.
    RUXEN_HIDDEN void serveWaitingChildren();
    RUXEN_HIDDEN int sendStreamEnd(int32_t type, const StreamTotals_t& totals);
    // A hard-link job's ledgers, one for each of `streams` streams numbered
    // from `first`, made before they start (RuxenBaseHardLinks.cpp). False
    // with the reason in setupError().
    RUXEN_HIDDEN bool makeLedgers(int first, int streams);
    RUXEN_HIDDEN HardLinkLedger* ledgerOf(int stream) const;
    // Once every stream has ended: members whose group's data is in no
    // stream are failed items, listed in their stream's lists, and their
    // collect files are marked failed.
    RUXEN_HIDDEN void settleHardLinkMembers();

    BackupArgs m_args;
    std::vector<std::string> m_collects;
    std::vector<kx_contenttosnapmnt> m_snapContent;
    bool m_nameMappingJob = false;
    std::vector<std::pair<std::string, std::string>> m_nameMap;   // old -> new, from the name map file
    std::vector<std::pair<std::string, std::string>> m_proxyMap;  // recorded -> local, from the proxy map
    std::string m_proxyMapPath;                                   // the proxy map m_proxyMap holds
    bool m_proxyMapLoaded = false;
    struct SnapMapping {
        bool read = false;    // readSnapMapping ran
        bool exists = false;  // the file was there
        std::string text;
    } m_snapMapping;
    App::GpfsFileSetMap m_fileSets;          // the job directory's file-set list
    std::vector<CollectInputFile> m_inputs;  // by collect number - 1
    std::string m_inputError;
    std::vector<StreamOutputFiles> m_outputs;  // by stream number (0: the single-process run)
    std::string m_outputError;
    std::vector<std::string> m_jobProblems;
    std::unique_ptr<JobDirectoryLock> m_jobDirLock;  // held while the job reads its job directory
    StreamFunction m_stream;
    StreamReport m_report;
    std::unique_ptr<TAVNameMapper> m_nameMapper;
    bool m_namesMapped = false;  // the name mapper was given pairs

    std::vector<RestartInfo_t> m_restart;
    std::vector<int32_t> m_restartIndex;  // collect number -> index in m_restart, -1 none
    bool m_fromJobDir = false;
    std::string m_setupError;
    bool m_classic = true;
    std::unique_ptr<CCollectFileArbitrator> m_arbitrator;
    EvEvent m_event{"ruxenParent"};
    std::unique_ptr<KXJobCtrlClient> m_ownJobCtrl;
    KXJobCtrlClient* m_jobCtrl = nullptr;
    // The parent's archive maps: archive id and type by collect number, child
    // by archive id (empty in a new job).
    std::map<int, int> m_archiveIds, m_archiveTypes, m_childByArchive;
    bool m_catalogOnly = false;
    int32_t m_remaining = 0;  // collect files not yet handed out nor failed
    std::vector<ChildInfo_t> m_children;
    StreamTotals_t m_totals{};
    bool m_streamFailed = false;
    int m_stopSignal = 0;  // the signal passed on to the children, 0 none
    bool m_streamsKilled = false;
    std::vector<std::unique_ptr<HardLinkLedger>> m_ledgers;  // by stream number

    int m_cmdFd = -1;  // child side
    int m_msgFd = -1;
};
