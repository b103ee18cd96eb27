// ruxen-backup: the host program. Backs up the items of one or more collect
// files, in order, as one stream into a local archive stream file.
//
//   ruxen-backup [--registry FILE] [--failures FILE] [--results FILE]
//                [--mac-properties] [--preserve-atime] [--no-prefetch]
//                --archive OUT COLLECT...
//
// The summary goes to standard error, so that "--archive -" (or
// /dev/stdout) gives a clean stream on standard output.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "errorpolicy/ErrorController.h"
#include "platform/ArchiveStreamFormat.h"
#include "platform/FileRecordSink.h"
#include "platform/HookFiles.h"
#include "platform/KXArchive.h"
#include "platform/KXPlatformInfo.h"
#include "platform/KxLog.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/CollectPrefetcher.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenMessages.h"
#include "ruxen/StreamBackupPass.h"

namespace {

void usage(FILE* out) {
    fprintf(out,
            "usage: ruxen-backup [--registry FILE] [--failures FILE] [--results FILE]\n"
            "                    [--mac-properties] [--preserve-atime] [--no-prefetch]\n"
            "                    --archive OUT COLLECT...\n"
            "Backs up the items named by the collect files (one escaped path per line)\n"
            "into the archive stream file OUT (\"-\" for standard output, \"/dev/null\"\n"
            "allowed). The summary goes to standard error.\n"
            "  --mac-properties  send each file's resource fork and Finder information\n"
            "                    from its AppleDouble companion (\"._name\") after its data\n"
            "  --preserve-atime  put each item's access time back after reading it\n"
            "  --no-prefetch     do not read ahead of the stream: by default a helper\n"
            "                    thread asks the kernel for the next items' data while\n"
            "                    it is not cached\n");
}

double nowSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// A file named on the command line: its device and inode when it exists,
// and its real path (that of its directory when it does not exist yet).
struct FileIdentity {
    bool exists = false;
    bool device = false;  // a character device (/dev/null): sharing it loses nothing
    dev_t dev = 0;
    ino_t ino = 0;
    std::string real;
};

FileIdentity identify(const std::string& path, bool standardOutput) {
    FileIdentity id;
    struct stat st;
    if (standardOutput ? fstat(STDOUT_FILENO, &st) == 0 : stat(path.c_str(), &st) == 0) {
        id.exists = true;
        id.device = S_ISCHR(st.st_mode);
        id.dev = st.st_dev;
        id.ino = st.st_ino;
    }
    if (standardOutput)
        return id;
    if (char* r = realpath(path.c_str(), nullptr)) {
        id.real = r;
        free(r);
        return id;
    }
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (char* r = realpath(dir.c_str(), nullptr)) {
        id.real = std::string(r) + (strcmp(r, "/") == 0 ? "" : "/") + path.substr(slash + 1);
        free(r);
    }
    return id;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
    if (a.device || b.device)
        return false;
    if (a.exists && b.exists)
        return a.dev == b.dev && a.ino == b.ino;
    return !a.real.empty() && a.real == b.real;
}

struct Output {
    const char* what;
    const std::string* path;
    bool standardOutput;  // "-": the archive goes to standard output
};

// Before anything is opened: an output that is a collect file or another
// output would destroy it (an archive opened over its own collect file
// truncates it, and two lists in one file interleave).
bool outputsAreSafe(const std::vector<Output>& outputs, const std::vector<std::string>& collects) {
    std::vector<FileIdentity> inputs;
    for (const std::string& c : collects)
        inputs.push_back(identify(c, false));
    std::vector<FileIdentity> seen;
    for (const Output& o : outputs) {
        FileIdentity id = identify(*o.path, o.standardOutput);
        for (size_t i = 0; i < collects.size(); ++i) {
            if (sameFile(id, inputs[i])) {
                fprintf(stderr, "ruxen-backup: refusing to write the %s file %s: it is the collect file %s\n", o.what,
                        o.path->c_str(), collects[i].c_str());
                return false;
            }
        }
        for (size_t i = 0; i < seen.size(); ++i) {
            if (sameFile(id, seen[i])) {
                fprintf(stderr, "ruxen-backup: refusing to write the %s file %s: it is also the %s file %s\n", o.what,
                        o.path->c_str(), outputs[i].what, outputs[i].path->c_str());
                return false;
            }
        }
        seen.push_back(id);
    }
    return true;
}

// Passes records to the archive file and counts the items whose end-of-item
// record has reached it, so that after a write error the summary can say
// how far the archive got.
class ItemCountingSink : public RecordSink {
public:
    explicit ItemCountingSink(FileRecordSink& sink) : m_sink(sink) {}

    char* Allocate(uint32_t size, uint32_t* granted) override { return m_sink.Allocate(size, granted); }
    int Write(char* buffer, uint32_t type, uint32_t length) override {
        int r = m_sink.Write(buffer, type, length);
        if (r == 0) {
            m_accepted += kArchiveStreamFrameSize + length;
            if (type == PL_FS_EOF || type == PL_FS_EOF_FAILED)
                m_itemEnds.push_back(m_accepted);
        }
        Settle();
        return r;
    }
    void Free(char* buffer) override { m_sink.Free(buffer); }
    int Flush() override { return Settled(m_sink.Flush()); }
    int Close() override { return Settled(m_sink.Close()); }

    uint64_t WholeItemsWritten() const { return m_whole; }

private:
    int Settled(int r) {
        Settle();
        return r;
    }
    void Settle() {
        while (!m_itemEnds.empty() && m_itemEnds.front() <= m_sink.BytesWritten()) {
            m_itemEnds.pop_front();
            ++m_whole;
        }
    }

    FileRecordSink& m_sink;
    uint64_t m_accepted = kArchiveStreamPreambleSize;
    std::deque<uint64_t> m_itemEnds;  // stream offsets of item ends not yet written
    uint64_t m_whole = 0;
};

FILE* openOutput(const std::string& path, const char* what) {
    FILE* f = fopen(path.c_str(), "w");
    if (!f)
        fprintf(stderr, "ruxen-backup: cannot create the %s file %s: %s\n", what, path.c_str(), strerror(errno));
    return f;
}

bool closeOutput(FILE* f, const std::string& path, const char* what) {
    if (!f)
        return true;
    if (fclose(f) != 0) {
        fprintf(stderr, "ruxen-backup: cannot write the %s file %s: %s\n", what, path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

// The job's own files: failures there are not reported (compared by real
// path, as collect files hold absolute paths), and the outputs themselves
// are passed over when the collect files name them.
void registerOutputs(RuxenFile& file, const std::vector<Output>& outputs) {
    std::vector<std::string> own;
    for (const Output& o : outputs) {
        struct stat st;
        if (o.standardOutput ? fstat(STDOUT_FILENO, &st) == 0 : stat(o.path->c_str(), &st) == 0)
            file.AddJobOutput(st.st_dev, st.st_ino);
        if (o.standardOutput)
            continue;
        char* real = realpath(o.path->c_str(), nullptr);
        own.push_back(real ? real : *o.path);
        free(real);
    }
    file.SetOwnDirectories(own);
}

}  // namespace

int main(int argc, char** argv) {
    std::string registry, failuresPath, resultsPath, archivePath;
    std::vector<std::string> collects;
    bool macProperties = false, preserveAtime = false, prefetch = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                fprintf(stderr, "ruxen-backup: %s needs a value\n", a.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--registry") {
            if (!value(registry))
                return 2;
        } else if (a == "--failures") {
            if (!value(failuresPath))
                return 2;
        } else if (a == "--results") {
            if (!value(resultsPath))
                return 2;
        } else if (a == "--mac-properties") {
            macProperties = true;
        } else if (a == "--preserve-atime") {
            preserveAtime = true;
        } else if (a == "--no-prefetch") {
            prefetch = false;
        } else if (a == "--archive") {
            if (!value(archivePath))
                return 2;
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "ruxen-backup: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else {
            collects.push_back(a);
        }
    }
    if (archivePath.empty() || collects.empty()) {
        usage(stderr);
        return 2;
    }
    const bool toStandardOutput = archivePath == "-";
    std::vector<Output> outputs = {{"archive", &archivePath, toStandardOutput}};
    if (!failuresPath.empty())
        outputs.push_back({"failures", &failuresPath, false});
    if (!resultsPath.empty())
        outputs.push_back({"results", &resultsPath, false});
    if (!outputsAreSafe(outputs, collects))
        return 2;

    // A reader of the archive that went away must come back as a write
    // error, not end the process.
    signal(SIGPIPE, SIG_IGN);
    KxLog::ConfigureFromEnvironment();
    if (!registry.empty()) {
        std::string error;
        if (!KXPlatformInfo::loadFile(registry, &error)) {
            fprintf(stderr, "ruxen-backup: %s\n", error.c_str());
            return 2;
        }
    }

    // The job's error-report filter, set up as a child stream does.
    ErrorController::initialize(0, nullptr, 0, 0, std::string());
    {
        std::string value;
        if (KXPlatformInfo::getString(kFileSystemAgentSection, "sReportFailureOnENOENT", value) &&
            strcasecmp(value.c_str(), "Y") == 0) {
            KXLOG(0, "%s/sReportFailureOnENOENT set to '%s', will report ENOENT errors", kFileSystemAgentSection,
                  value.c_str());
            ErrorController::setIgnoreENOENT(false);
        }
    }
    ErrorController::setErrorsTolerated(true);

    FileRecordSink sink;
    int opened = toStandardOutput ? sink.Attach(STDOUT_FILENO, "standard output", false)
                                    : sink.Open(archivePath.c_str());
    if (opened != 0) {
        fprintf(stderr, "ruxen-backup: cannot create the archive %s: %s\n", archivePath.c_str(),
                strerror(sink.LastErrno() ? sink.LastErrno() : errno));
        return 1;
    }
    FILE* failures = failuresPath.empty() ? nullptr : openOutput(failuresPath, "failures");
    FILE* results = resultsPath.empty() ? nullptr : openOutput(resultsPath, "results");
    if ((!failuresPath.empty() && !failures) || (!resultsPath.empty() && !results))
        return 1;

    ItemCountingSink counting(sink);
    KXArchive archive(&counting);
    RuxenFile file(&archive);
    file.initialize(0, false, 0, 0);
    file.initSendFlag();
    file.SetBackupMacProperties(macProperties);
    file.SetPreserveAccessTimes(preserveAtime);
    file.SetResultsFile(results);
    registerOutputs(file, outputs);

    const double start = nowSeconds();
    bool streamFailed = false;
    StreamBackupPass pass(file, failures);
    for (const std::string& c : collects) {
        CollectFileReader reader;
        std::string error;
        if (!reader.Open(c, &error)) {
            fprintf(stderr, "ruxen-backup: %s\n", error.c_str());
            streamFailed = true;
            break;
        }
        std::unique_ptr<CollectPrefetcher> prefetcher;
        if (prefetch)
            prefetcher.reset(new CollectPrefetcher(c, 0, file.GetReaderContext()));
        pass.SetPositionListener(prefetcher.get());
        const StreamBackupPass::Result passResult = pass.RunDataLoop(reader);
        pass.SetPositionListener(nullptr);
        prefetcher.reset();  // joins its thread
        if (passResult != StreamBackupPass::kCollectDone) {
            streamFailed = true;
            break;
        }
    }
    if (counting.Close() != 0)
        streamFailed = true;
    if (!closeOutput(failures, failuresPath, "failures"))
        streamFailed = true;
    if (!closeOutput(results, resultsPath, "results"))
        streamFailed = true;
    const double elapsed = nowSeconds() - start;

    const double mb = file.GetDataBytesSent() / 1e6;
    fprintf(stderr,
            "ruxen-backup: %s: %llu items, %llu bytes, %llu failed items, %llu changed while read, %.3f s, "
            "%.1f MB/s\n",
            streamFailed ? "stream FAILED" : "done", file.GetItemsSent(), file.GetDataBytesSent(),
            file.GetFailedItems(), file.GetChangedItems(), elapsed, elapsed > 0 ? mb / elapsed : 0.0);
    if (!file.IsSendOn())
        fprintf(stderr, "ruxen-backup: nothing was sent: the do-not-send hook file %s is present\n",
                HookFiles::Path(kHookDoNotSend).c_str());
    if (sink.LastErrno() != 0)
        fprintf(stderr,
                "ruxen-backup: the archive %s is incomplete: writing it failed (%s) after %llu bytes; it holds "
                "%llu whole items\n",
                archivePath.c_str(), strerror(sink.LastErrno()), static_cast<unsigned long long>(sink.BytesWritten()),
                static_cast<unsigned long long>(counting.WholeItemsWritten()));
    return streamFailed ? 1 : 0;
}
