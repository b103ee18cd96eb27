// ruxen-backup: the host program. Backs up the items of one or more collect
// files, in order, as one stream into a local archive stream file, or as N
// streams run by child processes, each into its own file.
//
//   ruxen-backup [--registry FILE] [--failures FILE] [--results FILE]
//                [--mac-properties] [--preserve-atime] [--fla-props] [--no-prefetch]
//                [--streams N]
//                --archive OUT COLLECT...
//
// The job object (ruxen/RuxenBase.h) sets up and runs the streams; this
// program parses the options, refuses outputs that would destroy an input
// or another output, and prints the summary.
//
// The summary goes to standard error, so that "--archive -" (or
// /dev/stdout) gives a clean stream on standard output.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/KXPlatformInfo.h"
#include "platform/KxLog.h"
#include "ruxen/RuxenBase.h"

namespace {

constexpr int kMaxStreams = 256;

void usage(FILE* out) {
    fprintf(out,
            "usage: ruxen-backup [--registry FILE] [--failures FILE] [--results FILE]\n"
            "                    [--mac-properties] [--preserve-atime] [--fla-props] [--no-prefetch]\n"
            "                    [--streams N]\n"
            "                    --archive OUT COLLECT...\n"
            "Backs up the items named by the collect files (one escaped path per line)\n"
            "into the archive stream file OUT (\"-\" for standard output, \"/dev/null\"\n"
            "allowed). The summary goes to standard error.\n"
            "  --mac-properties  send each file's resource fork and Finder information\n"
            "                    from its AppleDouble companion (\"._name\") after its data\n"
            "  --preserve-atime  put each item's access time back after reading it\n"
            "  --fla-props       send each item's file-level properties (owner, group,\n"
            "                    times, extension, mount) for the resource report\n"
            "  --no-prefetch     do not read ahead of the stream: by default a helper\n"
            "                    thread asks the kernel for the next items' data while\n"
            "                    it is not cached\n"
            "  --streams N       run N streams (1 to %d, at most one per collect file) as\n"
            "                    child processes that take the collect files in order;\n"
            "                    stream i writes OUT.i and the failures and results files\n"
            "                    with \".i\" (devices such as /dev/null stay as they are);\n"
            "                    the summary gives the streams' totals together\n",
            kMaxStreams);
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
    std::string path;
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
        FileIdentity id = identify(o.path, o.standardOutput);
        for (size_t i = 0; i < collects.size(); ++i) {
            if (sameFile(id, inputs[i])) {
                fprintf(stderr, "ruxen-backup: refusing to write the %s file %s: it is the collect file %s\n", o.what,
                        o.path.c_str(), collects[i].c_str());
                return false;
            }
        }
        for (size_t i = 0; i < seen.size(); ++i) {
            if (sameFile(id, seen[i])) {
                fprintf(stderr, "ruxen-backup: refusing to write the %s file %s: it is also the %s file %s\n", o.what,
                        o.path.c_str(), outputs[i].what, outputs[i].path.c_str());
                return false;
            }
        }
        seen.push_back(id);
    }
    return true;
}

}  // namespace


int main(int argc, char** argv) {
    std::string registry;
    std::vector<std::string> collects;
    BackupArgs args;
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
            if (!value(args.failuresPath))
                return 2;
        } else if (a == "--results") {
            if (!value(args.resultsPath))
                return 2;
        } else if (a == "--mac-properties") {
            args.macProperties = true;
        } else if (a == "--preserve-atime") {
            args.preserveAtime = true;
        } else if (a == "--fla-props") {
            args.flaProps = true;
        } else if (a == "--no-prefetch") {
            args.noPrefetch = true;
        } else if (a == "--archive") {
            if (!value(args.archivePath))
                return 2;
        } else if (a == "--streams") {
            std::string n;
            if (!value(n))
                return 2;
            char* end = nullptr;
            errno = 0;
            long v = strtol(n.c_str(), &end, 10);
            if (n.empty() || *end != '\0' || errno != 0 || v < 1 || v > kMaxStreams) {
                fprintf(stderr, "ruxen-backup: --streams takes a number from 1 to %d, not %s\n", kMaxStreams,
                        n.c_str());
                return 2;
            }
            args.streamCount = static_cast<int>(v);
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "ruxen-backup: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else {
            collects.push_back(a);
        }
    }
    if (args.archivePath.empty() || collects.empty()) {
        usage(stderr);
        return 2;
    }
    // At most one stream per collect file; one stream runs in this process.
    args.streamCount = std::min(args.streamCount, static_cast<int>(collects.size()));
    const bool toStandardOutput = args.archivePath == "-";
    if (toStandardOutput && args.streamCount > 1) {
        fprintf(stderr, "ruxen-backup: --archive - takes a single stream: each of %d streams needs a file\n",
                args.streamCount);
        return 2;
    }
    std::vector<Output> outputs;
    for (int s = args.streamCount > 1 ? 1 : 0; s <= (args.streamCount > 1 ? args.streamCount : 0); ++s) {
        outputs.push_back({"archive", StreamOutputPath(args.archivePath, s, args.streamCount), toStandardOutput});
        if (!args.failuresPath.empty())
            outputs.push_back({"failures", StreamOutputPath(args.failuresPath, s, args.streamCount), false});
        if (!args.resultsPath.empty())
            outputs.push_back({"results", StreamOutputPath(args.resultsPath, s, args.streamCount), false});
    }
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

    RuxenBase job(args, collects);
    bool opened = false;
    // Runs in the stream's own process (a child with --streams).
    job.setStreamReport([&opened](const BackupArgs&, const StreamRun& run) {
        opened = run.opened;
        for (const std::string& p : run.problems)
            fprintf(stderr, "ruxen-backup: %s\n", p.c_str());
    });
    const double start = nowSeconds();
    const int status = args.streamCount > 1 ? job.parent() : job.singleProcess();
    const double elapsed = nowSeconds() - start;
    if (args.streamCount <= 1 && !opened)
        return 1;  // the outputs could not be made; the report said why

    const StreamTotals_t& t = job.jobTotals();
    const double mb = t.bytes / 1e6;
    fprintf(stderr, "ruxen-backup: %s: %llu items, %llu bytes, %llu failed items, %.3f s, %.1f MB/s\n",
            status != 0 ? "stream FAILED" : "done", static_cast<unsigned long long>(t.items),
            static_cast<unsigned long long>(t.bytes), static_cast<unsigned long long>(t.failedItems), elapsed,
            elapsed > 0 ? mb / elapsed : 0.0);
    for (const std::string& c : job.failedCollectFiles())
        fprintf(stderr, "ruxen-backup: the collect file %s was not wholly backed up\n", c.c_str());
    return status != 0 ? 1 : 0;
}
