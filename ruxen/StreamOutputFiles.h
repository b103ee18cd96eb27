// The files one stream writes: its archive, its failures and results files
// and its index file. A job opens every output of every stream before it
// empties any, so that one that cannot be opened (a directory that does not
// exist, a link the lookup rule refuses) fails the job with every earlier
// file as it was; the files the job made for it are removed again. (The
// parent of several streams opens each and closes it again, so that its
// descriptors do not grow with the streams; each stream then opens its own.)
//
// Each is opened by the rule items are looked up by (ruxen::OpenFileByRule):
// a link among its directories, or a link it is, is followed only when root
// or the running user owns it, so that another user's link never makes the
// job overwrite what it names. /dev/stdout and /dev/null are reached as
// ever; "-" (standard output) is the caller's, not opened here.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/base/ScopedFd.h"
#include "platform/os/DirWalk.h"
#include "ruxen/PlfsBackupArgs.h"

class StreamOutputFiles {
public:
    enum Kind { kArchive, kFailures, kResults, kIndex, kKinds };

    // Opens (making it when it is missing, never emptying it) each output of
    // stream `stream` of `args` that is not open yet (StreamOutputPath names
    // them). With `checkOnly` each is closed again once it was opened (the
    // parent of several streams sees that every stream's outputs can be
    // opened, holding no descriptor; each stream opens its own), and one that
    // is there and not a regular file (a FIFO) is not opened at all. False
    // with a sentence naming the file in *error.
    bool Open(const BackupArgs& args, int stream, bool checkOnly, std::string* error);
    // Empties the regular files open here that are not emptied yet: what an
    // earlier run left goes only once every output is open. False with the
    // sentence.
    bool Truncate(std::string* error);
    // Closes every file; those this object made are removed again.
    void Discard();
    // Closes every file, keeping them.
    void Close();

    // The descriptor of `kind`, now the caller's (-1: none open).
    int Take(Kind kind) { return m_files[kind].fd.release(); }
    const std::string& Path(Kind kind) const { return m_files[kind].path; }

    // What the messages call each output ("archive", "failures", ...).
    static const char* Name(Kind kind);
    // The sentence for output `what` at `path` that could not be opened
    // (errno `err`; `why` names the link the lookup rule refused).
    static std::string OpenFailure(const char* what, const std::string& path, const ruxen::WalkRefusal& why, int err);

private:
    // The failure of `kind` (errno, and `why` for a refused link) as the
    // sentence in *error; false.
    bool Failed(Kind kind, const ruxen::WalkRefusal& why, std::string* error);

    struct File {
        std::string path;
        ScopedFd fd;
        bool created = false;
        bool emptied = false;
        dev_t dev = 0;
        ino_t ino = 0;
    };
    File m_files[kKinds];
};
