#include "ruxen/StreamOutputFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/base/CTyError.h"
#include "platform/os/DirWalk.h"
#include "ruxen/RuxenMessages.h"

const char* StreamOutputFiles::Name(Kind kind) {
    static const char* const kNames[kKinds] = {"archive", "failures", "results", "index"};
    return kNames[kind];
}

bool StreamOutputFiles::Open(const BackupArgs& args, int stream, bool checkOnly, std::string* error) {
    const std::string* paths[kKinds] = {&args.archivePath, &args.failuresPath, &args.resultsPath, &args.indexPath};
    for (int k = 0; k < kKinds; ++k) {
        File& f = m_files[k];
        const bool standardOutput = k == kArchive && *paths[k] == "-" && args.streamCount <= 1;
        if (f.fd.valid() || paths[k]->empty() || standardOutput)
            continue;
        f.path = StreamOutputPath(*paths[k], stream, args.streamCount);
        ruxen::WalkRefusal why;
        struct stat st;
        if (checkOnly) {
            // What is there is looked at, not opened: a FIFO opened and
            // closed here would show its reader an end.
            ScopedFd there(ruxen::OpenFileByRule(f.path, O_PATH | O_CLOEXEC, 0, &why));
            if (there.valid() && fstat(there.get(), &st) == 0 && !S_ISREG(st.st_mode))
                continue;  // its stream opens it
            if (!there.valid() && errno != ENOENT)
                return Failed(static_cast<Kind>(k), why, error);
        }
        bool created = false;
        f.fd.reset(ruxen::OpenFileByRule(f.path, O_WRONLY | O_CREAT | O_CLOEXEC | (checkOnly ? O_NONBLOCK : 0), 0644,
                                         &why, &created));
        if (!f.fd.valid() && checkOnly && errno == ENXIO)
            continue;  // made a FIFO meanwhile
        if (!f.fd.valid() || fstat(f.fd.get(), &st) != 0)
            return Failed(static_cast<Kind>(k), why, error);
        f.created |= created;
        f.dev = st.st_dev;
        f.ino = st.st_ino;
        f.emptied = !S_ISREG(st.st_mode);
        if (checkOnly)
            f.fd.reset();
    }
    return true;
}

std::string StreamOutputFiles::OpenFailure(const char* what, const std::string& path, const ruxen::WalkRefusal& why,
                                           int err) {
    const std::string reason = err == ELOOP && why.Refused() && !why.tooManyLinks
                                   ? CTyError::Format(kReasonLinkRefused, why.link.c_str(),
                                                      static_cast<unsigned>(why.owner))
                                   : std::string(strerror(err));
    return CTyError::Format(kProblemOutputOpen, what, path.c_str(), reason.c_str());
}

bool StreamOutputFiles::Failed(Kind kind, const ruxen::WalkRefusal& why, std::string* error) {
    File& f = m_files[kind];
    *error = OpenFailure(Name(kind), f.path, why, errno);
    f.fd.reset();
    return false;
}

bool StreamOutputFiles::Truncate(std::string* error) {
    for (int k = 0; k < kKinds; ++k) {
        File& f = m_files[k];
        if (!f.fd.valid() || f.emptied)
            continue;
        if (ftruncate(f.fd.get(), 0) != 0) {
            *error = CTyError::Format(kProblemOutputOpen, Name(static_cast<Kind>(k)), f.path.c_str(), strerror(errno));
            return false;
        }
        f.emptied = true;
    }
    return true;
}

void StreamOutputFiles::Discard() {
    for (File& f : m_files) {
        f.fd.reset();
        struct stat st;
        // Only the file made here: the name may have been taken over since.
        if (f.created && lstat(f.path.c_str(), &st) == 0 && st.st_dev == f.dev && st.st_ino == f.ino)
            unlink(f.path.c_str());
        f.created = false;
    }
}

void StreamOutputFiles::Close() {
    for (File& f : m_files)
        f.fd.reset();
}
