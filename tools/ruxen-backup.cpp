// ruxen-backup: the host program. Backs up the items of one or more collect
// files, in order, as one stream into a local archive stream file, or as N
// streams run by child processes, each into its own file.
//
//   ruxen-backup [--registry FILE] [--failures FILE] [--results FILE]
//                [--log-file FILE] [--log-level N]
//                [--mac-properties] [--preserve-atime] [--fla-props] [--no-prefetch]
//                [--streams N]
//                [--job-dir DIR] [--long-path] [--job-id ID] [mapping options]
//                --archive OUT [COLLECT...]
//   ruxen-backup --catalog --index FILE [options] [--archive OUT] [COLLECT...]
//
// The job object (ruxen/RuxenBase.h) sets up and runs the streams; this
// program parses the options, refuses outputs that would destroy an input
// or another output (ruxen/JobFileGuard.h), and prints the summary.
//
// The summary goes to standard error, so that "--archive -" (or
// /dev/stdout) gives a clean stream on standard output; control bytes of
// names in it are escaped ("\x0a"). Log lines go to the log file when one is
// named (tools/common/LogOptions.h); without one, a run without failures
// prints its summary alone. Exit status: 0 done, 1 a stream or a collect
// file failed, 2 a usage error, an unsafe output, an input that cannot be
// read or an output that cannot be opened (nothing is then truncated, and
// nothing the job made is left), 128 + N when
// signal N (SIGTERM, SIGINT) stopped the job: every stream ended between
// two items, as interrupted.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

#include "mapping/MappingMessages.h"
#include "platform/agent/AppTypeTables.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/base/StopSignals.h"
#include "platform/text/PrintableText.h"
#include "ruxen/JobFileGuard.h"
#include "ruxen/RuxenBase.h"
#include "tools/common/LogOptions.h"

namespace {

constexpr int kMaxStreams = 256;

void usage(FILE* out) {
    fprintf(out,
            "usage: ruxen-backup [--registry FILE] [--failures FILE] [--results FILE]\n"
            "                    [--log-file FILE] [--log-level N]\n"
            "                    [--mac-properties] [--preserve-atime] [--fla-props] [--no-prefetch]\n"
            "                    [--streams N]\n"
            "                    [--job-dir DIR] [--long-path] [--job-id ID] [mapping options]\n"
            "                    --archive OUT [COLLECT...]\n"
            "       ruxen-backup --catalog --index FILE [options] [--archive OUT] [COLLECT...]\n"
            "Backs up the items named by the collect files (one escaped path per line)\n"
            "into the archive stream file OUT (\"-\" for standard output, \"/dev/null\"\n"
            "allowed, a terminal refused). The summary goes to standard error. A collect\n"
            "file that is a pipe (/dev/stdin, <(...)) is copied whole into a temporary\n"
            "file first.\n"
            "  --mac-properties  send each file's resource fork and Finder information\n"
            "                    from its AppleDouble companion (\"._name\") after its data\n"
            "  --preserve-atime  put each item's access time back after reading it\n"
            "  --no-prefetch     do not read ahead of the stream: by default a helper\n"
            "                    thread asks the kernel for the next items' data while\n"
            "                    it is not cached\n"
            "  --fla-props       send each item's file-level properties (owner, group,\n"
            "                    times, extension, mount) for the resource report\n"
            "  --streams N       run N streams (1 to %d, at most one per collect file) as\n"
            "                    child processes that take the collect files in order;\n"
            "                    stream i writes OUT.i and the failures and results files\n"
            "                    with \".i\" (/dev/null stays as it is; OUT must be a file);\n"
            "                    the summary gives the streams' totals together\n"
            "  --job-dir DIR     the job results directory (as ruxen-collect --job-dir\n"
            "                    writes it): hard-linked files are sent once per group;\n"
            "                    without COLLECT files, its CollectTot<n>.kxf are backed up\n"
            "                    (in the order and split groups of its split_config and\n"
            "                    Merged_split_config: a group's other collect files wait\n"
            "                    for its hard-link collect files); a directory whose split\n"
            "                    or merge did not finish is refused; its FileSetTmp.kxf\n"
            "                    gives each item at or below a listed path a file-set\n"
            "                    record naming its set\n"
            "  --long-path       names too long for the archive go under a substitute name\n"
            "                    (ancestor and GUID); needs an --app-type that keeps long\n"
            "                    paths\n"
            "  --catalog         catalog only: each item's header and metadata go to the\n"
            "                    index file (--index FILE, \"RXIX\"; stream i writes FILE.i)\n"
            "                    as its entry, no data is read (the archive, /dev/null\n"
            "                    unless given, takes only records beside them)\n"
            "  --job-id ID       the job's id (a number): a catalog's index names it\n"
            "The job's application and where its recorded paths are read from:\n"
            "  --app-id Z:A      the application (zonark id Z, application id A)\n"
            "  --app-type N      its application type\n"
            "  --snap-job-id ID  a snapshot job: read each item from the snapshot of the\n"
            "                    job ID; needs --app-id and --snap-engine N (the snapshot\n"
            "                    engine) but for application types 61 and 135\n"
            "  --snap-tape-job-id ID  a snapshot-to-tape job: copies the snapshots of\n"
            "                    the job ID (options as --snap-job-id); its collect files\n"
            "                    name the paths where the scan found the items in the\n"
            "                    snapshots, and hwsnapInfo.kxf (in --job-dir, else beside\n"
            "                    the first collect file; as the snapshot mapper writes it)\n"
            "                    where they were mounted then: each item is read where its\n"
            "                    snapshot is mounted now and recorded under its source\n"
            "                    path (without the file, the collect paths are source paths)\n"
            "  --proxy-map FILE  a proxy job: \"recorded<TAB>local\" lines; an item is read\n"
            "                    from the local path of the longest recorded prefix (with\n"
            "                    ProxyHandleWildCardOneLevel=Y, the wildcard mapper's\n"
            "                    content entries; application types 25, 40 and 87)\n"
            "  --name-map FILE   \"old<TAB>new\" lines: where no other option maps the paths,\n"
            "                    each item is read from its path mapped through the line of\n"
            "                    the longest old prefix\n"
            "  --replication-job-id ID  read each item from the consistency point of the\n"
            "                    replication job ID\n"
            "  --native-snap     a native snapshot job; its mapping file\n"
            "                    (nativeSnapMapInfo.kxf beside the first collect file, or\n"
            "                    in --job-dir) must exist\n"
            "  --mount-details   the mount points go into the item headers\n"
            "  --ddb-subclient   a deduplication-database subclient: vanished items are\n"
            "                    reported\n"
            "  --errors-not-tolerated  an item that fails (and is reported) fails the\n"
            "                    stream at that item\n"
            "The log (without a log file, a run without failures writes nothing but its\n"
            "summary on standard error):\n"
            "%s",
            kMaxStreams, LogOptions::kUsage);
}

// A whole decimal number from 0 to `max`.
bool parseNumber(const std::string& text, unsigned long max, unsigned long& out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    const unsigned long v = strtoul(text.c_str(), nullptr, 10);
    if (errno != 0 || v > max)
        return false;
    out = v;
    return true;
}

// An option that would do nothing in this job is refused, naming what it
// needs: a job must not run as if it had taken effect. False after the
// message.
bool optionsTakeEffect(const BackupArgs& args, const std::vector<std::string>& collects) {
    std::string why;
    const std::string snap = args.snapToTape ? "--snap-tape-job-id" : "--snap-job-id";
    if (args.longPath && !IsLongPathAppType(args.appType)) {
        why = "--long-path needs an application type that keeps long paths (--app-type";
        for (unsigned long long t : kLongPathAppTypes)
            why += (t == kLongPathAppTypes[0]              ? " "
                    : t == std::end(kLongPathAppTypes)[-1] ? " or "
                                                           : ", ") +
                   std::to_string(t);
        why += ")";
    } else if (!args.snapJobId.empty() && (args.zonarkId == 0 || args.appId == 0)) {
        why = snap + " needs --app-id Z:A, the application whose snapshots the job reads";
    } else if (!args.snapJobId.empty() && args.snapEngine == 0 && !SnapshotEngineFromApplication(args.appType)) {
        why = snap + " needs --snap-engine N (above 0), the engine that took the snapshots";
    } else if (args.snapJobId.empty() && args.snapEngine != 0) {
        why = "--snap-engine is for a snapshot job (--snap-job-id, --snap-tape-job-id)";
    } else if (!args.indexPath.empty() && !args.catalog) {
        why = "--index is for a catalog job (--catalog): a data job's items are indexed from its archive";
    } else if (args.catalog && (args.macProperties || args.flaProps || args.preserveAtime || args.noPrefetch)) {
        // Each changes the records sent beside an item's data, or the reads
        // of that data.
        why = std::string(args.macProperties   ? "--mac-properties"
                          : args.flaProps      ? "--fla-props"
                          : args.preserveAtime ? "--preserve-atime"
                                               : "--no-prefetch") +
              " is for a data job: a catalog job (--catalog) reads no data and sends each item's entry alone";
    } else if (!args.nameMapPath.empty() &&
               (!args.proxyMapPath.empty() || !args.snapJobId.empty() || !args.replicationJobId.empty())) {
        why = "--name-map is for a job whose paths no --proxy-map, " + snap + " or --replication-job-id maps";
    } else if (args.nativeSnap) {
        const std::string file = RuxenBase::NativeSnapMappingFile(args, collects);
        if (access(file.c_str(), R_OK) != 0)
            why = "--native-snap needs the native snapshot's mapping file " + file + ": " + strerror(errno);
    }
    if (why.empty())
        return true;
    fprintf(stderr, "ruxen-backup: %s\n", ruxen::ControlsEscaped(why).c_str());
    return false;
}

double nowSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    std::string registry;
    std::vector<std::string> collects;
    BackupArgs args;
    LogOptions log;
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
        } else if (a == "--job-dir") {
            if (!value(args.jobDir))
                return 2;
        } else if (a == "--index") {
            if (!value(args.indexPath))
                return 2;
        } else if (a == "--long-path") {
            args.longPath = true;
        } else if (a == "--fla-props") {
            args.flaProps = true;
        } else if (a == "--catalog") {
            args.catalog = true;
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
        } else if (a == "--app-id" || a == "--app-type" || a == "--snap-engine") {
            std::string v;
            if (!value(v))
                return 2;
            const size_t colon = v.find(':');
            unsigned long x = 0, y = 0;
            bool ok = a != "--app-id" ? parseNumber(v, 0x7fffffff, x)
                                      : colon != std::string::npos && parseNumber(v.substr(0, colon), 0xffffffff, x) &&
                                            parseNumber(v.substr(colon + 1), 0xffffffff, y) && x != 0 && y != 0;
            if (!ok) {
                fprintf(stderr, "ruxen-backup: %s takes %s, not %s\n", a.c_str(),
                        a == "--app-id" ? "two numbers above 0 as Z:A" : "a number", v.c_str());
                return 2;
            }
            if (a == "--app-id") {
                args.zonarkId = static_cast<uint32_t>(x);
                args.appId = static_cast<uint32_t>(y);
            } else if (a == "--app-type") {
                args.appType = static_cast<uint32_t>(x);
            } else {
                args.snapEngine = static_cast<int32_t>(x);
            }
        } else if (a == "--snap-job-id" || a == "--snap-tape-job-id" || a == "--replication-job-id" ||
                   a == "--job-id") {
            const bool snap = a == "--snap-job-id" || a == "--snap-tape-job-id";
            if (snap && !args.snapJobId.empty()) {
                fprintf(stderr, "ruxen-backup: a job has one snapshot job id (--snap-job-id or --snap-tape-job-id)\n");
                return 2;
            }
            std::string jobId;
            std::string& id = snap ? args.snapJobId : a == "--job-id" ? jobId : args.replicationJobId;
            unsigned long x = 0;
            if (!value(id))
                return 2;
            if (!parseNumber(id, ~0ul, x)) {
                fprintf(stderr, "ruxen-backup: %s takes a job id (a number), not %s\n", a.c_str(), id.c_str());
                return 2;
            }
            args.snapToTape |= a == "--snap-tape-job-id";
            if (a == "--job-id")
                args.jobId = x;
        } else if (a == "--proxy-map") {
            if (!value(args.proxyMapPath))
                return 2;
        } else if (a == "--name-map") {
            if (!value(args.nameMapPath))
                return 2;
        } else if (a == "--native-snap") {
            args.nativeSnap = true;
        } else if (a == "--mount-details") {
            args.mountDetails = true;
        } else if (a == "--ddb-subclient") {
            args.ddbSubclient = true;
        } else if (a == "--errors-not-tolerated") {
            args.errorsNotTolerated = true;
        } else if (const int taken = log.Take("ruxen-backup", argc, argv, i)) {
            if (taken < 0)
                return 2;
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "ruxen-backup: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else {
            collects.push_back(a);
        }
    }
    if (args.catalog && args.indexPath.empty()) {
        fprintf(stderr, "ruxen-backup: --catalog needs --index FILE\n");
        return 2;
    }
    if (args.catalog && args.archivePath.empty())
        args.archivePath = "/dev/null";
    if (args.archivePath.empty() || (collects.empty() && args.jobDir.empty())) {
        usage(stderr);
        return 2;
    }
    if (!args.snapJobId.empty() && !args.proxyMapPath.empty()) {
        fprintf(stderr, "ruxen-backup: --proxy-map is for proxy jobs; a snapshot job reads its snapshots\n");
        return 2;
    }
    if (!optionsTakeEffect(args, collects))
        return 2;
    // At most one stream per collect file; one stream runs in this process.
    if (!collects.empty())
        args.streamCount = std::min(args.streamCount, static_cast<int>(collects.size()));
    // Before anything is opened: the archive is no terminal (it is binary),
    // that of several streams must be a file, and no output may be an input
    // or another output.
    std::string why;
    const auto refuse = [](const std::string& reason) {
        fprintf(stderr, "ruxen-backup: %s\n", ruxen::ControlsEscaped(reason).c_str());
        return 2;
    };
    if (JobFileGuard::ArchiveIsTerminal(args.archivePath, &why) ||
        !JobFileGuard::StreamArchiveAllowed(args.archivePath, args.streamCount, &why))
        return refuse(why);
    const bool toStandardOutput = args.archivePath == "-";
    JobFileGuard guard;
    for (int s = args.streamCount > 1 ? 1 : 0; s <= (args.streamCount > 1 ? args.streamCount : 0); ++s) {
        guard.AddOutput("archive", StreamOutputPath(args.archivePath, s, args.streamCount), toStandardOutput);
        if (!args.failuresPath.empty())
            guard.AddOutput("failures", StreamOutputPath(args.failuresPath, s, args.streamCount));
        if (!args.resultsPath.empty())
            guard.AddOutput("results", StreamOutputPath(args.resultsPath, s, args.streamCount));
        if (!args.indexPath.empty())
            guard.AddOutput("index", StreamOutputPath(args.indexPath, s, args.streamCount));
    }
    for (const std::string& c : collects)
        guard.AddInput("collect", c);
    if (!args.proxyMapPath.empty())
        guard.AddInput("proxy map", args.proxyMapPath);
    if (!args.nameMapPath.empty())
        guard.AddInput("name map", args.nameMapPath);
    if (args.snapToTape)
        guard.AddInput("snapshot mapping", RuxenBase::SnapMappingFile(args, collects));
    if (args.nativeSnap)
        guard.AddInput("native snapshot mapping", RuxenBase::NativeSnapMappingFile(args, collects));
    if (!registry.empty())
        guard.AddInput("registry", registry);
    if (const char* env = getenv("RUXEN_REGISTRY"))
        guard.AddInput("registry", env);
    if (!args.jobDir.empty())
        guard.AddJobDirectory(args.jobDir);
    if (!guard.Check(&why))
        return refuse(why);
    // The registry may name the log file, an output too: checked with the
    // others before it is opened.
    // A registry that cannot be read would run the job on defaults.
    if (!KXPlatformInfo::loadEnvironmentFile(&why) || (!registry.empty() && !KXPlatformInfo::loadFile(registry, &why)))
        return refuse(why);
    if (!log.Start("ruxen-backup", guard))
        return 2;

    // A reader of the archive that went away must come back as a write
    // error, not end the process.
    signal(SIGPIPE, SIG_IGN);

    RuxenBase job(args, collects);
    bool opened = false;
    // Runs in the stream's own process (a child with --streams).
    job.setStreamReport([&opened](const BackupArgs&, const StreamRun& run) {
        opened = run.opened;
        for (const std::string& p : run.problems)
            fprintf(stderr, "ruxen-backup: %s\n", ruxen::ControlsEscaped(p).c_str());
    });
    const double start = nowSeconds();
    const int status = args.streamCount > 1 ? job.parent() : job.singleProcess();
    const double elapsed = nowSeconds() - start;
    for (const std::string* error : {&job.inputError(), &job.outputError()}) {
        if (error->empty())
            continue;
        // Nothing was truncated, and nothing the job made is left: an
        // earlier archive is as it was.
        fprintf(stderr, "ruxen-backup: %s\n", ruxen::ControlsEscaped(*error).c_str());
        return 2;
    }
    if (!job.setupError().empty()) {
        fprintf(stderr, "ruxen-backup: %s\n", ruxen::ControlsEscaped(job.setupError()).c_str());
        return 1;
    }
    if (args.streamCount <= 1 && !opened)
        return 1;  // the outputs could not be made; the report said why

    const StreamTotals_t& t = job.jobTotals();
    const double mb = t.bytes / 1e6;
    const int stop = ruxen::StopRequested();
    char how[40] = "done";
    if (stop)
        snprintf(how, sizeof how, "interrupted by signal %d", stop);
    else if (status != 0)
        snprintf(how, sizeof how, "stream FAILED");
    fprintf(stderr, "ruxen-backup: %s: %llu items, %llu bytes, %llu failed items, %.3f s, %.1f MB/s\n", how,
            static_cast<unsigned long long>(t.items), static_cast<unsigned long long>(t.bytes),
            static_cast<unsigned long long>(t.failedItems), elapsed, elapsed > 0 ? mb / elapsed : 0.0);
    for (const std::string& p : job.jobProblems())
        fprintf(stderr, "ruxen-backup: %s\n", ruxen::ControlsEscaped(p).c_str());
    for (const std::string& c : job.failedCollectFiles())
        fprintf(stderr, "ruxen-backup: the collect file %s was not wholly backed up\n",
                ruxen::ControlsEscaped(c).c_str());
    return stop ? 128 + stop : status != 0 ? 1 : 0;
}
