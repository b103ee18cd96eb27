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

bool StreamOutputFiles::Open(const BackupArgs& args, int stream, bool deferSpecial, std::string* error) {
    const std::string* paths[kKinds] = {&args.archivePath, &args.failuresPath, &args.resultsPath, &args.indexPath};
    for (int k = 0; k < kKinds; ++k) {
        File& f = m_files[k];
        const bool standardOutput = k == kArchive && *paths[k] == "-" && args.streamCount <= 1;
        if (f.fd.valid() || paths[k]->empty() || standardOutput)
            continue;
        f.path = StreamOutputPath(*paths[k], stream, args.streamCount);
        ruxen::WalkRefusal why;
        bool created = false;
        f.fd.reset(ruxen::OpenFileByRule(f.path, O_WRONLY | O_CREAT | O_CLOEXEC | (deferSpecial ? O_NONBLOCK : 0), 0644,
                                         &why, &created));
        f.created |= created;
        struct stat st;
        if (!f.fd.valid() && deferSpecial && errno == ENXIO)
            continue;  // a FIFO whose reader is not there yet: its stream waits for it
        if (!f.fd.valid() || fstat(f.fd.get(), &st) != 0) {
            const int e = errno;
            *error = CTyError::Format(
                kProblemOutputOpen, Name(static_cast<Kind>(k)), f.path.c_str(),
                e == ELOOP && why.Refused() && !why.tooManyLinks
                    ? CTyError::Format(kReasonLinkRefused, why.link.c_str(), static_cast<unsigned>(why.owner)).c_str()
                    : strerror(e));
            f.fd.reset();
            return false;
        }
        // Blocking from here on: a FIFO's reader takes the stream at its pace.
        const int fl = fcntl(f.fd.get(), F_GETFL);
        if (fl >= 0 && (fl & O_NONBLOCK))
            fcntl(f.fd.get(), F_SETFL, fl & ~O_NONBLOCK);
        f.dev = st.st_dev;
        f.ino = st.st_ino;
        f.emptied = !S_ISREG(st.st_mode);
    }
    return true;
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
