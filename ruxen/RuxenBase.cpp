// The job object: the stream set-up shared by the child and the
// single-process run.
#include "ruxen/RuxenBase.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>

#include "errorpolicy/ErrorController.h"
#include "hardlinks/JobDirectoryLock.h"
#include "mapping/FSTAVNameMapper.h"
#include "mapping/OBJServerTAVNameMapper.h"
#include "platform/agent/HookFiles.h"
#include "platform/agent/KXJobCtrlClient.h"
#include "platform/agent/KXPIDirectories.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/archive/KXArchive.h"
#include "platform/base/CTyError.h"
#include "platform/base/StopSignals.h"
#include "platform/index/IndexingConnection.h"
#include "ruxen/CCollectFileArbitrator.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/CollectPrefetcher.h"
#include "ruxen/HardLinkLedger.h"
#include "ruxen/ItemCountingSink.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"
#include "ruxen/StreamBackupPass.h"
#include "ruxen/SubclientFiles.h"

bool RuxenBase::proxyClient = false;

namespace {

void addProblem(StreamRun& run, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void addProblem(StreamRun& run, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    run.problems.push_back(CTyError::FormatV(fmt, ap));
    va_end(ap);
}

// An output list file (failures, results): opened for writing, closed with
// its result checked.
struct OutputFile {
    FILE* f = nullptr;
    std::string path;
    const char* what;

    explicit OutputFile(const char* w) : what(w) {}
    ~OutputFile() {
        if (f)
            fclose(f);
    }
    // Takes `fd`, the open file `p` (-1 and "" for none).
    bool Open(int fd, const std::string& p, StreamRun& run) {
        path = p;
        if (path.empty())
            return true;
        f = fd >= 0 ? fdopen(fd, "w") : nullptr;
        if (!f) {
            addProblem(run, kProblemOutputOpen, what, path.c_str(), strerror(errno));
            if (fd >= 0)
                close(fd);
        }
        return f != nullptr;
    }
    // `lostErrno`: a line was lost before (already reported, 0 none).
    bool Close(StreamRun& run, int lostErrno) {
        FILE* g = f;
        f = nullptr;
        const bool closed = !g || fclose(g) == 0;
        if (lostErrno != 0 || !closed)
            addProblem(run, kProblemListIncomplete, what, path.c_str(), strerror(lostErrno ? lostErrno : errno));
        return closed && lostErrno == 0;
    }
};

// The error-report filter of a stream.
void setUpErrorFilter(const BackupArgs& args, bool tolerated) {
    ErrorController::initialize(0, nullptr, 0, 0, std::string());
    std::string value;
    if (KXPlatformInfo::getString(kJobSection, kKeyReportFailureOnENOENT, value) &&
        strcasecmp(value.c_str(), "Y") == 0) {
        KXLOG(0, kLogReportENOENT, kJobSection, value.c_str());
        ErrorController::setIgnoreENOENT(false);
    }
    // A database's files vanishing is no ordinary change of the file system.
    if (args.ddbSubclient)
        KXLOG(0, "For DDB subclient, setting errorsTolerated to false");
    if (args.appType == kAppTypeReportENOENT || args.ddbSubclient)
        ErrorController::setIgnoreENOENT(false);
    ErrorController::setErrorsTolerated(tolerated);
}

// The files every stream of the job writes: an item that is one of them is
// passed over (by device and inode), and their failures are not reported
// (by real path, as collect files hold absolute paths).
void registerJobOutputs(RuxenFile& file, const BackupArgs& args) {
    const bool single = args.streamCount <= 1;
    std::vector<std::string> own;
    for (int s = single ? 0 : 1; s <= (single ? 0 : args.streamCount); ++s) {
        for (const std::string* p : {&args.archivePath, &args.failuresPath, &args.resultsPath, &args.indexPath}) {
            if (p->empty())
                continue;
            struct stat st;
            if (single && p == &args.archivePath && *p == "-") {
                if (fstat(STDOUT_FILENO, &st) == 0)
                    file.AddJobOutput(st.st_dev, st.st_ino);
                continue;
            }
            const std::string path = StreamOutputPath(*p, s, args.streamCount);
            if (stat(path.c_str(), &st) == 0)
                file.AddJobOutput(st.st_dev, st.st_ino);
            char* real = realpath(path.c_str(), nullptr);
            own.push_back(real ? real : path);
            free(real);
        }
    }
    // The agent's own directories, as the platform names them.
    for (const std::string& d : KXPI_Zonclient::getAgentDirectories())
        own.push_back(d);
    file.SetOwnDirectories(own);
}

}  // namespace

RuxenBase::RuxenBase(const BackupArgs& args, std::vector<std::string> collectFiles)
    : m_args(args), m_collects(std::move(collectFiles)), m_ownJobCtrl(new KXJobCtrlClient) {
    m_jobCtrl = m_ownJobCtrl.get();
    m_args.collectCount = static_cast<int>(m_collects.size());
    m_fromJobDir = m_collects.empty() && !m_args.jobDir.empty();
    m_stream = [](RuxenBase& job, const BackupArgs& a, const NextCollect& next) { return job.runStream(a, next); };
    resetRestartList();
}

RuxenBase::~RuxenBase() = default;

void RuxenBase::setSnapshotContent(std::vector<kx_contenttosnapmnt> content, bool nameMappingJob) {
    m_snapContent = std::move(content);
    m_nameMappingJob = nameMappingJob;
}

void RuxenBase::makeNameMapper(uint32_t appType) {
    if (appType == kAppTypeObjectStore)
        m_nameMapper = LoadObjServerNameMapper();
    else
        m_nameMapper = std::make_unique<FSTAVNameMapper>();
}

void RuxenBase::resetRestartList() {
    m_restart.clear();
    m_restartIndex.assign(m_collects.size() + 1, -1);
    for (size_t i = 0; i < m_collects.size(); ++i) {
        const int32_t n = static_cast<int32_t>(i + 1);
        m_restart.push_back(RestartInfo_t{n, 0, 0, n, 0, 0, 0});
        m_restartIndex[n] = n - 1;
    }
}

void RuxenBase::failCollect(int32_t number, const char* why) {
    RestartInfo_t* r = findRestart(number);
    if (r == nullptr)
        return;
    r->offset = kRestartFailed;
    KXLOG(-1, "collect file %d (%s) was not backed up: %s", number, m_collects[number - 1].c_str(), why);
}

std::vector<std::string> RuxenBase::failedCollectFiles() const {
    std::vector<std::string> out;
    for (const RestartInfo_t& r : m_restart)
        if (r.offset == kRestartFailed)
            out.push_back(m_collects[r.collectNumber - 1]);
    return out;
}

int RuxenBase::singleProcess() {
    m_classic = true;  // one stream takes the collect files in order
    m_jobProblems.clear();
    m_arbitrator.reset();
    // A signal while a piped collect file is copied ends the process: no
    // output exists yet.
    if (!openInputs())
        return 1;
    BackupArgs args = m_args;
    args.streamNumber = 0;
    args.streamCount = 1;
    if (!openOutputs(args, 0))
        return 1;
    ruxen::StopSignals stopSignals;  // SIGTERM and SIGINT end the stream as interrupted
    makeNameMapper(m_args.appType);
    if (m_nameMappingJob)
        for (const kx_contenttosnapmnt& c : m_snapContent)
            for (const kx_snapdevmntpath& d : c.vSnapdevmntpath) {
                m_nameMapper->add(d.sOrigMntpath.c_str(), d.sSnapMntpath.c_str());
                m_namesMapped = true;
            }
    for (const auto& p : m_nameMap)
        m_nameMapper->add(p.first.c_str(), p.second.c_str());
    m_namesMapped |= !m_nameMap.empty();
    if (!makeLedgers(0, 1))
        return 1;
    // In restart-list order, which puts each split group's hard-link
    // collect files before its other collect files.
    size_t at = 0;
    StreamRun run = m_stream(*this, args, [&]() -> int {
        if (at > 0)
            m_restart[at - 1].offset = kRestartFinished;
        return at < m_restart.size() ? m_restart[at++].collectNumber : 0;
    });
    if (m_report)
        m_report(args, run);
    m_totals = run.totals;
    m_streamFailed = run.failed;
    // Held back by the do-not-send hook, every collect file is missing;
    // else the one the stream ended on and those after it.
    const bool stopped = run.endStatus == kStreamInterrupted;
    const size_t from = run.endStatus == kStreamNotSent ? 0 : at > 0 ? at - 1 : 0;
    for (size_t i = from; run.failed && i < m_restart.size(); ++i) {
        const bool held = i + 1 == at;
        failCollect(m_restart[i].collectNumber,
                    run.endStatus == kStreamNotSent ? "nothing of it was sent"
                    : stopped ? (held ? "the job was interrupted" : "the job was interrupted before it")
                              : (held ? "the stream failed" : "the stream failed before it"));
    }
    // An interrupted job too: the members whose group's data did not go
    // out are named.
    settleHardLinkMembers();
    return run.failed || m_streamFailed || !failedCollectFiles().empty() ? 1 : 0;
}

StreamRun RuxenBase::runStream(const BackupArgs& args, const NextCollect& next) {
    StreamRun run;
    run.failed = true;
    setUpErrorFilter(args, errorsTolerated());

    const bool toStandardOutput = args.archivePath == "-" && args.streamCount <= 1;
    const std::string archivePath = StreamOutputPath(args.archivePath, args.streamNumber, args.streamCount);
    // Every output is open before any is emptied: the single-process run
    // opened them (openOutputs); a child opens its own here once its parent
    // saw that every stream's open.
    StreamOutputFiles own;
    StreamOutputFiles& outputs = static_cast<size_t>(args.streamNumber) < m_outputs.size() && args.streamNumber >= 0
                                     ? m_outputs[static_cast<size_t>(args.streamNumber)]
                                     : own;
    std::string openError;
    if (!outputs.Open(args, args.streamNumber, false, &openError) || !outputs.Truncate(&openError)) {
        if (&outputs == &own)
            own.Discard();
        outputs.Close();
        run.problems.push_back(openError);
        return run;
    }
    FileRecordSink sink;
    if ((toStandardOutput ? sink.Attach(STDOUT_FILENO, "standard output", false)
                          : sink.Attach(outputs.Take(StreamOutputFiles::kArchive), archivePath.c_str(), true)) != 0) {
        addProblem(run, kProblemOutputOpen, "archive", archivePath.c_str(), strerror(errno));
        return run;
    }
    OutputFile failures("failures"), results("results");
    if (!failures.Open(outputs.Take(StreamOutputFiles::kFailures), outputs.Path(StreamOutputFiles::kFailures), run) ||
        !results.Open(outputs.Take(StreamOutputFiles::kResults), outputs.Path(StreamOutputFiles::kResults), run))
        return run;
    // The stream's index file: what the indexing connections of the
    // stream send goes there.
    FileRecordSink index(kIndexStreamMagic);
    const std::string indexPath = outputs.Path(StreamOutputFiles::kIndex);
    if (!indexPath.empty() && index.Attach(outputs.Take(StreamOutputFiles::kIndex), indexPath.c_str(), true) != 0) {
        addProblem(run, kProblemOutputOpen, "index", indexPath.c_str(), strerror(errno));
        return run;
    }
    struct DefaultIndexSink {
        explicit DefaultIndexSink(RecordSink* s) { IndexingConnection::SetDefaultSink(s); }
        ~DefaultIndexSink() { IndexingConnection::SetDefaultSink(nullptr); }
    } defaultIndex(indexPath.empty() ? nullptr : &index);
    run.opened = true;

    ItemCountingSink counting(sink);
    KXArchive archive(&counting);
    // The stream's archive file: the one index entries name.
    archive.SetArchiveFileNumber(args.streamNumber > 0 ? static_cast<unsigned>(args.streamNumber) : 1u);
    RuxenFile file(&archive);
    file.SetjobID(static_cast<long long>(args.jobId));
    bool failed = !setUpMapping(file, args, run);
    file.initSendFlag();
    file.SetBackupMacProperties(args.macProperties);
    file.SetPreserveAccessTimes(args.preserveAtime);
    file.SetResultsFile(results.f);
    file.setFNameMapper(m_nameMapper.get());
    registerJobOutputs(file, args);
    file.SetLongPathSupport(args.longPath);
    file.SetStreamNumber(args.streamCount > 1 ? args.streamNumber : 0);
    // Pending causes the stream raises go to the job manager's client; the
    // stream's report names them.
    file.setJobCtrlClient(m_jobCtrl);
    const size_t causesBefore = m_jobCtrl ? m_jobCtrl->PendingCauses().size() : 0;
    subclientFiles files;
    HardLinkLedger* ledger = ledgerOf(args.streamNumber);
    file.SetHardLinkLedger(ledger);
    if (!args.jobDir.empty()) {
        // The data of a hard-link group travels once, from its hard-link
        // collect file; the table in the job directory names the groups.
        file.EnableHardLinkHandling();
        file.SetJobResultsFolder(args.jobDir);
        // Read by the job before its outputs (openInputs).
        file.Private().SetGpfsFileSets(m_fileSets);
        if (!subclientFiles::Set(files.subclientDir, args.jobDir)) {
            addProblem(run, "the job directory name is too long: %s", args.jobDir.c_str());
            return run;
        }
    }

    StreamBackupPass pass(file, failures.f, &files);
    pass.SetSendFLAProps(args.flaProps);
    // A catalog-only stream: one indexing connection on the stream's index
    // file takes every entry.
    std::unique_ptr<IndexingConnection> catalog;
    if (args.catalog) {
        const RuxenJobInfo& job = file.GetJobInfo();
        const ArchiveFileId_t id{job.zonarkId, 0, archive.GetArchiveFileNumber()};
        catalog.reset(new IndexingConnection(indexPath.empty() ? nullptr : &index));
        if (indexPath.empty() ||
            catalog->initialize(job.zonarkId, job.clientId, args.appType, job.backupLevel, job.jobToken.c_str(),
                                job.path.c_str(), "", 0) != 0 ||
            catalog->sendAfileInfo(&id, false) != 0 || catalog->setStreamJobId(args.jobId) != 0) {
            addProblem(run, "a catalog stream needs an index file it can write (--index)");
            return run;
        }
    }
    // What the end record says: whether the stream did all it was given.
    uint32_t status = kStreamComplete;
    auto stop = [&](uint32_t why) {
        failed = true;
        if (status == kStreamComplete)
            status = why;
    };
    if (failed)
        stop(kStreamCollectFailed);
    for (int n; !failed && (n = next()) != 0;) {
        CollectFileReader reader;
        std::string error;
        const CollectInputFile* input = nullptr;
        const char* replaced = nullptr;
        if (n > 0 && n <= static_cast<int>(m_collects.size()) &&
            !subclientFiles::Set(files.collectFile, m_collects[n - 1])) {
            addProblem(run, "the collect file name is too long: %s", m_collects[n - 1].c_str());
            stop(kStreamCollectFailed);
        } else if (n < 0 || n > static_cast<int>(m_collects.size())) {
            // The parent is gone or out of step: nothing more will come.
            addProblem(run, "stream %d: no further collect file could be had", args.streamNumber);
            stop(kStreamInterrupted);
        } else if ((input = collectInput(n, &error, &replaced)) == nullptr ||
                   !reader.OpenDescriptor(input->Descriptor(), input->Path(), &error)) {
            run.problems.push_back(error);
            stop(replaced ? kStreamCollectChanged : kStreamCollectFailed);
        } else if (const char* before = input->Changed()) {
            // Changed since the job opened it, before its turn: its lines are
            // not the job's.
            addProblem(run, kProblemCollectReplaced, m_collects[n - 1].c_str(), before);
            stop(kStreamCollectChanged);
        } else {
            // Items read from elsewhere than their recorded path (proxy,
            // snapshot and name-mapped jobs) are not the prefetcher's to
            // guess; a catalog pass reads no data.
            std::unique_ptr<CollectPrefetcher> prefetcher;
            if (!args.noPrefetch && !catalog && !m_namesMapped &&
                !((file.IsProxyHost() || file.IsReplicationHost()) && file.GetContentMapper()))
                prefetcher.reset(new CollectPrefetcher(input->Descriptor(), input->Path(), 0, file.GetReaderContext()));
            pass.SetPositionListener(prefetcher.get());
            if (ledger)
                ledger->SetCollect(n);
            const StreamBackupPass::Result r =
                catalog ? pass.RunCatalogLoop(reader, *catalog) : pass.RunDataLoop(reader);
            pass.SetPositionListener(nullptr);
            prefetcher.reset();
            // Against what it was when the job first opened it: a change
            // before the stream began on it counts as much as one during.
            const char* changed = r == StreamBackupPass::kCollectDone ? input->Changed() : nullptr;
            if (changed) {
                addProblem(run, kProblemCollectChanged, m_collects[n - 1].c_str(), changed);
                stop(kStreamCollectChanged);
            } else if (r == StreamBackupPass::kStopped) {
                addProblem(run, kProblemInterrupted, ruxen::StopRequested());
                stop(kStreamInterrupted);
            } else if (r != StreamBackupPass::kCollectDone) {
                stop(file.FailureListWriteFailed() ? kStreamListWriteFailed : kStreamCollectFailed);
            } else if (catalog && catalog->updateRestartInfo(static_cast<uint32_t>(n), reader.NextLineOffset()) != 0) {
                // The index says how far its entries go: a restart begins
                // after the collect files it names as done.
                addProblem(run, "cannot write the restart point of %s to the index file", m_collects[n - 1].c_str());
                stop(kStreamCollectFailed);
            } else if (ledger && counting.Flush() != 0) {
                // A finished collect file of a hard-link job is in the
                // archive before the next is asked for: its groups' data
                // then counts as sent, even when the stream is killed later.
                stop(kStreamCollectFailed);
            }
        }
        // Read to its end or failed: a job of many collect files holds few.
        if (n > 0)
            releaseCollectInput(n);
    }
    if (catalog && catalog->backupDone(0) != 0)
        failed = true;
    if (ledger && ledger->WriteError() != 0) {
        addProblem(run, kProblemLedger, strerror(ledger->WriteError()));
        stop(kStreamListWriteFailed);
    }
    // The lists before the archive, whose end record says whether they are whole.
    const bool failuresWhole = failures.Close(run, file.LostListErrno(RuxenFile::kFailuresList));
    if (!(results.Close(run, file.LostListErrno(RuxenFile::kResultsList)) && failuresWhole))
        stop(kStreamListWriteFailed);
    if (!file.IsSendOn()) {
        addProblem(run, kProblemDoNotSend, HookFiles::Path(kHookDoNotSend).c_str());
        stop(kStreamNotSent);
    }
    sink.SetEndStatus(status);
    index.SetEndStatus(status);
    failed |= counting.Close() != 0;
    if (!indexPath.empty() && index.Close() != 0) {
        addProblem(run, "cannot write the index file %s: %s", indexPath.c_str(), strerror(index.LastErrno()));
        failed = true;
    }
    run.failed = failed;
    run.endStatus = status;
    run.totals = {file.GetItemsSent() + pass.EntriesSent(), file.GetDataBytesSent(), file.GetFailedItems()};
    if (!file.IsSendOn()) {
        run.totals.items = run.totals.bytes = 0;  // read, but held back
    } else if (sink.LastErrno() != 0) {
        // Only what reached the archive whole counts.
        run.totals.items = counting.WholeItemsWritten();
        run.totals.bytes = counting.WholeDataBytesWritten();
    }
    run.changedItems = file.GetChangedItems();
    if (run.changedItems != 0)
        addProblem(run, kProblemChangedWhileRead, static_cast<unsigned long long>(run.changedItems));
    for (size_t i = causesBefore; m_jobCtrl && i < m_jobCtrl->PendingCauses().size(); ++i)
        addProblem(run, kProblemPendingCause, m_jobCtrl->PendingCauses()[i].code,
                   m_jobCtrl->PendingCauses()[i].text.c_str());
    if (sink.LastErrno() != 0)
        addProblem(run, kProblemIncomplete, archivePath.c_str(), strerror(sink.LastErrno()),
                   static_cast<unsigned long long>(sink.BytesWritten()),
                   static_cast<unsigned long long>(counting.WholeItemsWritten()));
    // In a job of several streams each says which it is.
    if (args.streamCount > 1)
        for (std::string& p : run.problems)
            p.insert(0, "stream " + std::to_string(args.streamNumber) + ": ");
    return run;
}
