// The files a job reads and writes, checked against each other before
// anything is opened: an output that is one of the job's inputs (a collect
// file, the registry, a map, a file of the job directory) would destroy it
// (an archive opened over its own collect file truncates it), and two
// outputs in one file interleave. Files are compared by device and inode
// where they exist (so links and other names of a file count), else by real
// path; character devices (/dev/null) may be shared.
#pragma once

#include <string>
#include <vector>

#include "platform/base/Export.h"

class RUXEN_EXPORT JobFileGuard {
public:
    // `what` names the file in messages ("collect", "registry", ...).
    void AddInput(const char* what, const std::string& path);
    // The job results directory `dir`: every file of it that the job or the
    // scan, split and merge before it read (collect files, hard-link collect
    // files, the split configurations and what their rewriting leaves, the
    // hard-links table, the file-set list, the snapshot mapping file, the
    // lock file), whether it exists yet or not.
    void AddJobDirectory(const std::string& dir);
    // `standardOutput`: the archive goes to standard output ("-").
    void AddOutput(const char* what, const std::string& path, bool standardOutput = false);
    // false with a sentence naming both files when an output is an input or
    // another output.
    bool Check(std::string* why) const;

    // Whether `streams` streams may write the archive `path`. Each of
    // several writes `path.<i>`, so standard output under any name ("-",
    // /dev/stdout, /dev/fd/1) and anything else but a regular file or
    // /dev/null (a terminal or a tape would interleave the streams, a FIFO's
    // reader would get nothing) take a single stream. false with the reason.
    static bool StreamArchiveAllowed(const std::string& path, int streams, std::string* why);

    // Whether the archive `path` ("-": standard output) is a terminal, as
    // the descriptor the archive would be written to says (isatty): the
    // stream is binary, and a terminal takes its bytes as text and control
    // sequences. true with the reason; a path that cannot be opened yet is
    // no terminal (the job's own open reports it).
    static bool ArchiveIsTerminal(const std::string& path, std::string* why);
    // Opens output `what` ("log", ...) at `path` for appending, as the job's
    // outputs are opened: another user's link on its way, or as its name, is
    // never followed. The descriptor, or -1 with the sentence in *why.
    static int OpenForAppending(const char* what, const std::string& path, std::string* why);

private:
    struct File {
        const char* what;
        std::string path;
        bool standardOutput;
    };
    std::vector<File> m_inputs, m_outputs;
    std::string m_jobDir, m_jobDirReal;
};
