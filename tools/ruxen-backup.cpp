// ruxen-backup: the host program. Backs up the items of one or more collect
// files, in order, as one stream into a local archive stream file.
//
//   ruxen-backup [--registry FILE] [--failures FILE] [--results FILE]
//                [--mac-properties] [--preserve-atime] --archive OUT COLLECT...
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <ctime>
#include <string>
#include <vector>

#include "errorpolicy/ErrorController.h"
#include "platform/FileRecordSink.h"
#include "platform/KXArchive.h"
#include "platform/KXPlatformInfo.h"
#include "platform/KxLog.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/StreamBackupPass.h"

namespace {

void usage(FILE* out) {
    fprintf(out,
            "usage: ruxen-backup [--registry FILE] [--failures FILE] [--results FILE]\n"
            "                    [--mac-properties] [--preserve-atime] --archive OUT COLLECT...\n"
            "Backs up the items named by the collect files (one escaped path per line)\n"
            "into the archive stream file OUT (\"/dev/null\" allowed).\n"
            "  --mac-properties  send each file's resource fork and Finder information\n"
            "                    from its AppleDouble companion (\"._name\") after its data\n"
            "  --preserve-atime  put each item's access time back after reading it\n");
}

double nowSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

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

}  // namespace

int main(int argc, char** argv) {
    std::string registry, failuresPath, resultsPath, archivePath;
    std::vector<std::string> collects;
    bool macProperties = false, preserveAtime = false;
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
        if (KXPlatformInfo::getString("FileSystemAgent", "sReportFailureOnENOENT", value) &&
            strcasecmp(value.c_str(), "Y") == 0) {
            KXLOG(0, "%s/sReportFailureOnENOENT set to '%s', will report ENOENT errors", "FileSystemAgent",
                  value.c_str());
            ErrorController::setIgnoreENOENT(false);
        }
    }
    ErrorController::setErrorsTolerated(true);

    FileRecordSink sink;
    if (sink.Open(archivePath.c_str()) != 0) {
        fprintf(stderr, "ruxen-backup: cannot create the archive %s: %s\n", archivePath.c_str(),
                strerror(sink.LastErrno() ? sink.LastErrno() : errno));
        return 1;
    }
    FILE* failures = failuresPath.empty() ? nullptr : openOutput(failuresPath, "failures");
    FILE* results = resultsPath.empty() ? nullptr : openOutput(resultsPath, "results");
    if ((!failuresPath.empty() && !failures) || (!resultsPath.empty() && !results))
        return 1;

    KXArchive archive(&sink);
    RuxenFile file(&archive);
    file.initialize(0, false, 0, 0);
    file.initSendFlag();
    file.SetBackupMacProperties(macProperties);
    file.SetPreserveAccessTimes(preserveAtime);
    file.SetResultsFile(results);
    // The job's own work files are never reported as failed items.
    // Collect files hold absolute paths: compare with the files' real paths.
    std::vector<std::string> own;
    for (const std::string* p : {&archivePath, &failuresPath, &resultsPath}) {
        if (p->empty())
            continue;
        char* real = realpath(p->c_str(), nullptr);
        own.push_back(real ? real : *p);
        free(real);
    }
    file.SetOwnDirectories(own);

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
        if (pass.RunDataLoop(reader) != StreamBackupPass::kCollectDone) {
            streamFailed = true;
            break;
        }
    }
    if (sink.Close() != 0)
        streamFailed = true;
    if (!closeOutput(failures, failuresPath, "failures"))
        streamFailed = true;
    if (!closeOutput(results, resultsPath, "results"))
        streamFailed = true;
    const double elapsed = nowSeconds() - start;

    const double mb = file.GetDataBytesSent() / 1e6;
    printf("ruxen-backup: %s: %llu items, %llu bytes, %llu failed items, %llu changed while read, %.3f s, "
           "%.1f MB/s\n",
           streamFailed ? "stream FAILED" : "done", file.GetItemsSent(), file.GetDataBytesSent(),
           file.GetFailedItems(), file.GetChangedItems(), elapsed, elapsed > 0 ? mb / elapsed : 0.0);
    return streamFailed ? 1 : 0;
}
