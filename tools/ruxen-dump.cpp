// ruxen-dump: prints an archive stream file one line per record, and with
// --verify compares each regular item it carries with the file at the
// item's path. With --index it prints an index file ("RXIX") instead.
//
// Several stream files are the streams of one job (ruxen-backup --streams
// N writes OUT.1 ... OUT.N): each is listed after a line "STREAM <file>",
// and a hard-link group's data may come in another of them than its members.
//
// --verify answers with its findings alone: each mismatch, each item the
// stream carries as failed, each stream error (a stream's findings after its
// "STREAM <file>" line when there are several) and the summary line; the
// records (and the items passed over on purpose) are listed too with --list.
//
// A FILE of "-" is standard input, read once from start to end (a pipe
// does).
//
// Exit status: 0 when every stream is well formed (and, with --verify, every
// compared item matches and every stream's end record says it did all it
// was given: status 0); 1 when a stream is malformed or truncated, or an
// item differs, or with --verify a stream's status is not 0; 2 for a usage
// error. With --verify the summary's stream errors count every stream fault,
// so that it says 0 exactly when no stream failed.
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/ArchiveDump.h"
#include "common/ArchiveVerifier.h"
#include "common/IndexDump.h"
#include "common/LogOptions.h"
#include "platform/archive/ArchiveStreamReader.h"
#include "platform/index/IndexRecords.h"
#include "platform/text/PairMapFile.h"
#include "ruxen/JobFileGuard.h"

namespace {

void Usage(FILE* to) {
    fprintf(to,
            "usage: ruxen-dump [--help] FILE...\n"
            "       ruxen-dump --verify [--list] [--map MAP] FILE...\n"
            "       ruxen-dump --index FILE\n"
            "       (each with [--log-file FILE] [--log-level N])\n"
            "  Prints the records of the archive stream FILE, one line each; several\n"
            "  FILEs are the streams of one job, each after a line \"STREAM <FILE>\".\n"
            "  A FILE of \"-\" is standard input (once).\n"
            "  --verify  instead rebuild each regular file from its data and hole records\n"
            "            and compare it with the file at its recorded path; a stream\n"
            "            whose end record does not say status 0 (complete) fails.\n"
            "            Prints each mismatch, failed item and stream error, then the\n"
            "            summary line \"verify: ...\"\n"
            "  --list    with --verify, also print the records, and the items not\n"
            "            compared on purpose (SKIPPED)\n"
            "  --map MAP \"recorded<TAB>local\" lines (as ruxen-backup --proxy-map): the\n"
            "            file compared is at the recorded path mapped through the pair\n"
            "            of the longest recorded prefix\n"
            "  --index   FILE is an index file (ruxen-backup --index): print its records\n"
            "%s",
            LogOptions::kUsage);
}

// Opens `path` ("-": standard input) for `reader`; false after the message.
bool OpenStream(ArchiveStreamReader& reader, const char* path) {
    const bool ok = strcmp(path, "-") == 0 ? reader.OpenFd(STDIN_FILENO, "standard input") : reader.OpenFile(path);
    if (!ok)
        fprintf(stderr, "ruxen-dump: %s: %s\n", path, reader.Error().c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    LogOptions log;
    bool verify = false, list = false, index = false;
    const char* mapPath = nullptr;
    std::vector<const char*> paths;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (options && strcmp(a, "--help") == 0) {
            Usage(stdout);
            return 0;
        }
        if (options && strcmp(a, "--verify") == 0) {
            verify = true;
        } else if (options && strcmp(a, "--list") == 0) {
            list = true;
        } else if (options && strcmp(a, "--map") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "ruxen-dump: --map needs a file\n");
                return 2;
            }
            mapPath = argv[++i];
        } else if (options && strcmp(a, "--index") == 0) {
            index = true;
        } else if (options && strcmp(a, "--") == 0) {
            options = false;
        } else if (const int taken = options ? log.Take("ruxen-dump", argc, argv, i) : 0) {
            if (taken < 0)
                return 2;
        } else if (options && a[0] == '-' && a[1] != '\0') {
            fprintf(stderr, "ruxen-dump: unknown option %s\n", a);
            Usage(stderr);
            return 2;
        } else {
            paths.push_back(a);
        }
    }
    size_t fromInput = 0;
    for (const char* p : paths)
        fromInput += strcmp(p, "-") == 0;
    if (paths.empty() || (index && (verify || list || paths.size() > 1)) || (mapPath && !verify) || fromInput > 1) {
        Usage(stderr);
        return 2;
    }
    // The log must not land in a file this run reads or in its listing.
    JobFileGuard guard;
    for (const char* p : paths)
        if (strcmp(p, "-") != 0)
            guard.AddInput("stream", p);
    if (mapPath)
        guard.AddInput("map", mapPath);
    guard.AddOutput("listing", "-", true);
    if (!log.Start("ruxen-dump", guard))
        return 2;
    PairMapFile::Pairs pairs;
    std::string error;
    if (mapPath && !PairMapFile::Read(mapPath, pairs, error)) {
        fprintf(stderr, "ruxen-dump: %s\n", error.c_str());
        return 2;
    }

    if (index) {
        ArchiveStreamReader reader(kIndexStreamMagic);
        if (!OpenStream(reader, paths[0]))
            return 1;
        bool ok = IndexDump(stdout, stderr).Run(reader);
        if (fflush(stdout) != 0 || ferror(stdout)) {
            fprintf(stderr, "ruxen-dump: cannot write the output\n");
            return 1;
        }
        return ok ? 0 : 1;
    }
    // Without --verify the records are the answer; with it, the findings.
    list = list || !verify;
    ArchiveVerifier verifier(stdout);
    verifier.SetPathMap(pairs);
    verifier.SetStreamsOfOneJob(true);
    verifier.SetListSkipped(list);
    bool ok = true;
    for (const char* path : paths) {
        if (paths.size() > 1 && list)
            printf("STREAM %s\n", path);
        else if (paths.size() > 1)
            verifier.SetStreamHeading(std::string("STREAM ") + path);
        ArchiveStreamReader reader(kArchiveStreamMagic);
        if (!OpenStream(reader, path)) {
            if (verify)
                verifier.StreamFault(path, reader.Error());
            ok = false;
            continue;
        }
        ArchiveDump dump(list ? stdout : nullptr, stderr);
        if (verify)
            dump.SetVerifier(&verifier);
        ok = dump.Run(reader) && ok;
    }
    if (verify) {
        verifier.JobEnded();
        verifier.PrintSummary();
        ok = ok && verifier.Ok();
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "ruxen-dump: cannot write the output\n");
        return 1;
    }
    return ok ? 0 : 1;
}
