#include "ruxen/JobFileGuard.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "hardlinks/HardLinkMessages.h"
#include "mapping/MappingMessages.h"
#include "platform/base/ScopedFd.h"
#include "platform/os/DirWalk.h"
#include "ruxen/RuxenMessages.h"
#include "ruxen/StreamOutputFiles.h"

namespace {

// A file named by the job: its device and inode when it exists, and its
// real path (that of its directory when it does not exist yet).
struct FileIdentity {
    bool exists = false;
    bool device = false;  // a character device (/dev/null): sharing it loses nothing
    dev_t dev = 0;
    ino_t ino = 0;
    std::string real;
};

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string RealPath(const std::string& path) {
    std::string out;
    if (char* r = realpath(path.c_str(), nullptr)) {
        out = r;
        free(r);
    }
    return out;
}

FileIdentity Identify(const std::string& path, bool standardOutput) {
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
    id.real = RealPath(path);
    if (id.real.empty()) {
        const std::string dir = RealPath(DirectoryOf(path));
        if (!dir.empty())
            id.real = dir + (dir == "/" ? "" : "/") + path.substr(path.rfind('/') + 1);
    }
    return id;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
    if (a.device || b.device)
        return false;
    if (a.exists && b.exists)
        return a.dev == b.dev && a.ino == b.ino;
    return !a.real.empty() && a.real == b.real;
}

// Names in a job directory that the job, or the scan, split and merge
// before it, read: each a prefix, so that the numbered collect files and
// what a rewrite leaves beside a file (".orig", ".tmp", a journal) count.
bool JobDirectoryName(const std::string& name) {
    const std::string hardLinkCollect = std::string("H") + kCollectFileBaseName;
    for (const char* prefix :
         {kCollectFileBaseName, hardLinkCollect.c_str(), kCollectSplitConfigName, kHCollectSplitConfigName,
          kMergedSplitConfigName, kHardLinksTableName, kFileSetListFile, kHwSnapInfoFile, kJobDirectoryLockName})
        if (name.compare(0, strlen(prefix), prefix) == 0)
            return true;
    return false;
}

}  // namespace

void JobFileGuard::AddInput(const char* what, const std::string& path) { m_inputs.push_back({what, path, false}); }

void JobFileGuard::AddOutput(const char* what, const std::string& path, bool standardOutput) {
    m_outputs.push_back({what, path, standardOutput});
}

void JobFileGuard::AddJobDirectory(const std::string& dir) {
    m_jobDir = dir;
    m_jobDirReal = RealPath(dir);
    // Those that exist, so that another name of one (a hard link) counts.
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (const dirent* e = readdir(d))
        if (JobDirectoryName(e->d_name))
            AddInput("job directory", dir + "/" + e->d_name);
    closedir(d);
}

bool JobFileGuard::Check(std::string* why) const {
    std::vector<FileIdentity> inputs;
    for (const File& in : m_inputs)
        inputs.push_back(Identify(in.path, false));
    std::vector<FileIdentity> seen;
    for (const File& o : m_outputs) {
        const FileIdentity id = Identify(o.path, o.standardOutput);
        for (size_t i = 0; i < m_inputs.size(); ++i) {
            if (SameFile(id, inputs[i])) {
                *why = std::string("refusing to write the ") + o.what + " file " + o.path + ": it is the " +
                       m_inputs[i].what + " file " + m_inputs[i].path;
                return false;
            }
        }
        const size_t slash = id.real.rfind('/');
        if (!m_jobDirReal.empty() && !id.device && slash != std::string::npos &&
            id.real.substr(0, slash) == m_jobDirReal && JobDirectoryName(id.real.substr(slash + 1))) {
            *why = std::string("refusing to write the ") + o.what + " file " + o.path + ": the job directory " +
                   m_jobDir + " keeps its own files under that name";
            return false;
        }
        for (size_t i = 0; i < seen.size(); ++i) {
            if (SameFile(id, seen[i])) {
                *why = std::string("refusing to write the ") + o.what + " file " + o.path + ": it is also the " +
                       m_outputs[i].what + " file " + m_outputs[i].path;
                return false;
            }
        }
        seen.push_back(id);
    }
    return true;
}

bool JobFileGuard::StreamArchiveAllowed(const std::string& path, int streams, std::string* why) {
    if (streams <= 1)
        return true;
    struct stat st, out;
    const char* is = "standard output";
    if (path != "-") {
        if (stat(path.c_str(), &st) != 0 || (S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3)))
            return true;  // a new file, or /dev/null
        const bool standardOutput =
            fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == st.st_dev && out.st_ino == st.st_ino;
        if (S_ISREG(st.st_mode) && !standardOutput)
            return true;
        if (!standardOutput)
            is = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device" : "not a regular file";
    }
    *why = "the archive " + path + " is " + is + ", which takes a single stream: each of " + std::to_string(streams) +
           " streams writes a file of its own";
    return false;
}

bool JobFileGuard::ArchiveIsTerminal(const std::string& path, std::string* why) {
    ScopedFd own;
    int fd = STDOUT_FILENO;
    if (path != "-") {
        // Only a character device can be a terminal; anything else is not
        // opened here (a FIFO's open would wait for its reader).
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
            return false;
        own.reset(open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!own.valid())
            return false;
        fd = own.get();
    }
    if (!isatty(fd))
        return false;
    *why = "the archive " + (path == "-" ? std::string("- (standard output)") : path) +
           " is a terminal: the archive stream is binary; name a file, or send standard output to a file or a pipe";
    return true;
}

int JobFileGuard::OpenForAppending(const char* what, const std::string& path, std::string* why) {
    ruxen::WalkRefusal refusal;
    const int fd = ruxen::OpenFileByRule(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644, &refusal);
    if (fd < 0 && why)
        *why = StreamOutputFiles::OpenFailure(what, path, refusal, errno);
    return fd;
}
