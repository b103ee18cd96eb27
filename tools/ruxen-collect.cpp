// ruxen-collect: writes collect files for directory trees, so that the main
// job can be tried without the scan program. One escaped absolute path per
// line, depth first, each directory before its entries, entries in name
// order. Symbolic links are listed, never followed (a tree argument's own
// components follow the backup's rule: links of root or of the running user
// only); the walk holds a bounded number of descriptors, so trees deeper
// than the open-file limit are listed whole.
//
//   ruxen-collect [--log-file FILE] [--log-level N] DIR... > COLLECT
//   ruxen-collect [--log-file FILE] [--log-level N] [--streams N] --job-dir JOBDIR DIR...
//
// With --job-dir it stands in for the scan program and leaves JOBDIR ready
// for ruxen-backup --job-dir. Tree i (from 1) goes to CollectTot<i>.kxf, and
// every path of a file with more than one link (not a directory) is also
// recorded by the hard-link manager: a row in the hard-links table of
// JOBDIR, which is written afresh (empty when no tree has hard links), and
// a line in HCollectTot<k>.kxf, k the tree where the file was first met, so
// that a file linked from several trees is one group in one hard-link
// collect file. split_config makes each tree a group; the split then keeps
// one line per hard-link group, in files sized for N streams, and the merge
// renumbers everything into CollectTot1.kxf ... with each tree's hard-link
// collect files just before its collect file, and writes
// Merged_split_config. Every earlier file of the layout is removed first.
// From before the first change to the end of the merge the directory holds
// the scan's mark (CollectTot.scanning), so that a backup refuses what a
// run cut short or failed half-way leaves.
// The directory is locked meanwhile (exit status 2 when another scan, split,
// merge or backup of it does not let go in time).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/LogOptions.h"
#include "hardlinks/HCollectFile.h"
#include "hardlinks/HLFileOps.h"
#include "hardlinks/HardLinkManager.h"
#include "hardlinks/HardLinkMessages.h"
#include "hardlinks/JobDirectory.h"
#include "hardlinks/JobDirectoryLock.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/ScopedFd.h"
#include "platform/os/DirWalk.h"
#include "platform/text/FileNameEscape.h"
#include "platform/text/PrintableText.h"
#include "ruxen/JobFileGuard.h"

namespace {

constexpr const char* kCollectBaseName = "CollectTot";

struct Walk {
    FILE* out;
    const char* outName;
    HardLinkManager* links;  // null: no hard-link recording
    uint32_t number;         // the tree's collect number
    // Element i: the hard-links table's last row before tree i + 1 began.
    // The table numbers its rows in recording order, so the row where a
    // file was first recorded tells the tree where it was first met, and
    // the scan keeps no map of every linked file.
    const std::vector<int64_t>* treeRows = nullptr;
    int errors = 0;
    bool failed = false;  // a write failed: the walk stops
    std::string line{};

    // A path met in a tree goes to standard error with its control bytes
    // escaped: a name must not drive the terminal.
    static void Report(const char* what, const std::string& path, int e) {
        fprintf(stderr, "ruxen-collect: %s %s: %s\n", what, ruxen::ControlsEscaped(path).c_str(), strerror(e));
    }

    bool Emit(const std::string& path) {
        line.clear();
        ruxen::escapeFileNameInto(path.data(), path.size(), line);
        line += '\n';
        if (fwrite(line.data(), 1, line.size(), out) != line.size()) {
            fprintf(stderr, "ruxen-collect: cannot write %s: %s\n", outName, strerror(errno));
            failed = true;
        }
        return !failed;
    }

    bool Record(const std::string& path, const struct stat& st) {
        if (!links || S_ISDIR(st.st_mode) || st.st_nlink < 2)
            return true;
        try {
            uint32_t group = number;
            if (number > 1) {
                const int64_t first = links->FirstRecordedRow(st);
                if (first > 0)
                    group = static_cast<uint32_t>(std::lower_bound(treeRows->begin(), treeRows->end(), first) -
                                                  treeRows->begin());
            }
            links->InsertEntryInHCollectFile(group, path, std::string(), st);
        } catch (const HardLinkManagerBaseException& e) {
            fprintf(stderr, "ruxen-collect: cannot record the hard link %s: %s\n", ruxen::ControlsEscaped(path).c_str(),
                    e.what());
            failed = true;
        }
        return !failed;
    }

    // One directory of the walk: its entries in name order, the next to
    // take, the length of its path, its identity and, while it is held, its
    // descriptor.
    struct Frame {
        std::vector<std::string> names;
        size_t next = 0;
        size_t pathLength = 0;
        dev_t dev = 0;
        ino_t ino = 0;
        ScopedFd fd;
    };
    // The walk holds the root's descriptor and those of at most kHeld - 1 of
    // the deepest directories: a tree deeper than the open-file limit is
    // walked too. A directory given up is opened again, when the walk comes
    // back to it, from the root through the same names (O_NOFOLLOW), and
    // must still be the directory it was.
    static constexpr size_t kHeld = 64;
    std::vector<Frame> stack{};
    size_t held = 0, shallow = 0;  // descriptors held; the first held frame after the root

    // Lists the directory open at `fd` (consumed) as the next frame.
    bool Push(int fd, const std::string& path) {
        Frame f;
        f.fd.reset(fd);
        f.pathLength = path.size();
        struct stat st;
        const int listFd = fstat(fd, &st) == 0 ? dup(fd) : -1;
        DIR* d = listFd >= 0 ? fdopendir(listFd) : nullptr;
        if (!d) {
            Report("cannot read", path, errno);
            if (listFd >= 0)
                close(listFd);
            ++errors;
            return false;
        }
        f.dev = st.st_dev;
        f.ino = st.st_ino;
        errno = 0;
        while (struct dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                f.names.emplace_back(e->d_name);
        }
        if (errno != 0) {
            Report("error reading", path, errno);
            ++errors;
        }
        closedir(d);
        std::sort(f.names.begin(), f.names.end());
        stack.push_back(std::move(f));
        ++held;
        shallow = std::max<size_t>(1, std::min(shallow, stack.size() - 1));
        while (held > kHeld) {
            stack[shallow++].fd.reset();
            --held;
        }
        return true;
    }

    void Pop() {
        if (stack.back().fd.valid())
            --held;
        stack.pop_back();
        shallow = std::min(shallow, stack.size());
    }

    // The descriptor of the deepest frame, opened again from the root when
    // it was given up; -1 (reported) when a directory on the way is not the
    // one listed any more.
    int Deepest(std::string& path) {
        const size_t top = stack.size() - 1;
        if (stack[top].fd.valid())
            return stack[top].fd.get();
        const size_t keepFrom = top >= kHeld ? top - kHeld + 2 : 1;
        ScopedFd passing;  // a directory above the ones kept
        int at = stack[0].fd.get();
        for (size_t i = 1; i <= top; ++i) {
            const Frame& up = stack[i - 1];
            ScopedFd fd(openat(at, up.names[up.next - 1].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            struct stat st;
            if (!fd.valid() || fstat(fd.get(), &st) != 0 || st.st_dev != stack[i].dev || st.st_ino != stack[i].ino) {
                fprintf(stderr, "ruxen-collect: %s changed while it was listed\n",
                        ruxen::ControlsEscaped(path.substr(0, stack[i].pathLength)).c_str());
                ++errors;
                for (size_t j = i; j <= top; ++j)
                    stack[j].next = stack[j].names.size();
                return -1;
            }
            at = fd.get();
            if (i >= keepFrom) {
                stack[i].fd = std::move(fd);
                ++held;
            } else {
                passing = std::move(fd);
            }
        }
        shallow = keepFrom;
        return stack[top].fd.get();
    }

    // Lists the tree below the directory open at `fd` (consumed), depth
    // first, entries in name order. Walking by descriptor keeps paths of any
    // length usable, and no link is followed.
    bool Dirs(int fd, std::string path) {
        stack.clear();
        held = shallow = 0;
        if (!Push(fd, path))
            return true;
        while (!stack.empty()) {
            Frame& f = stack.back();
            if (f.next == f.names.size()) {
                Pop();
                continue;
            }
            const std::string& n = f.names[f.next++];
            path.resize(f.pathLength);
            if (path != "/")
                path += '/';
            path += n;
            if (!Emit(path))
                return false;
            const int dir = Deepest(path);
            struct stat st;
            if (dir < 0 || fstatat(dir, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;  // the backup reports it; the walk goes on
            if (!Record(path, st))
                return false;
            if (!S_ISDIR(st.st_mode))
                continue;
            const int child = openat(dir, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0) {
                Report("cannot open", path, errno);
                ++errors;
                continue;
            }
            Push(child, path);
        }
        return true;
    }

    // One tree from its root (a directory or any other item). The root is
    // resolved by the rule the backup looks items up by: a symbolic link
    // among its components, the last one included, is followed only when
    // root or the running user owns it, so that a user's link given as a
    // tree (or above one) never lists what only root may read. The tree is
    // then listed from the descriptor the resolution opened, under the path
    // it resolved to.
    bool Tree(const char* arg) {
        std::string root;
        ruxen::WalkRefusal why;
        ScopedFd item(ruxen::OpenResolved(arg, root, &why));
        struct stat st;
        if (!item.valid() || fstat(item.get(), &st) != 0) {
            const int e = errno;
            const std::string shown = ruxen::ControlsEscaped(arg);
            if (e == ELOOP && !why.link.empty())
                fprintf(stderr,
                        "ruxen-collect: %s: refused: the symbolic link %s belongs to uid %u, neither root nor the "
                        "running user: not followed\n",
                        shown.c_str(), ruxen::ControlsEscaped(why.link).c_str(), static_cast<unsigned>(why.owner));
            else
                fprintf(stderr, "ruxen-collect: %s: %s\n", shown.c_str(), strerror(e));
            ++errors;
            return true;
        }
        if (!Emit(root) || !Record(root, st))
            return false;
        if (!S_ISDIR(st.st_mode))
            return true;
        const int fd = openat(item.get(), ".", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            Report("cannot open", root, errno);
            ++errors;
            return true;
        }
        return Dirs(fd, root);
    }
};

int Usage(FILE* to, int rc) {
    fprintf(to,
            "usage: ruxen-collect DIR... > COLLECT\n"
            "       ruxen-collect [--streams N] --job-dir JOBDIR DIR...\n"
            "       (either with [--log-file FILE] [--log-level N])\n"
            "  --job-dir  leave JOBDIR ready for ruxen-backup --job-dir: a collect file per DIR,\n"
            "             the files of several links in its hard-links table and hard-link\n"
            "             collect files, split and merged into CollectTot<n>.kxf, split_config\n"
            "             and Merged_split_config (earlier files of these names are replaced);\n"
            "             CollectTot.scanning stays there until it is done, so that\n"
            "             ruxen-backup refuses a run cut short\n"
            "  --streams  the streams the hard-linked data is shared out over (default 1)\n"
            "%s",
            LogOptions::kUsage);
    return rc;
}

// Every file of the layout an earlier run may have left: this run writes
// the directory afresh, and a file left from before would be taken for one
// of its own.
bool ClearJobDir(const std::string& jobDir, HardLinkManager& links) {
    DIR* d = opendir(jobDir.c_str());
    if (!d) {
        fprintf(stderr, "ruxen-collect: cannot read %s: %s\n", jobDir.c_str(), strerror(errno));
        return false;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        bool ours = JobDirectory::IsUnfinishedWork(n, kCollectBaseName) || n == kCollectSplitConfigName ||
                    n == std::string(kCollectSplitConfigName) + kSplitConfigOrigSuffix ||
                    n == kHCollectSplitConfigName || n == kMergedSplitConfigName;
        for (const std::string& prefix : {std::string(kCollectBaseName), "H" + std::string(kCollectBaseName)})
            ours |= n.size() > prefix.size() + 4 && n.compare(0, prefix.size(), prefix) == 0 &&
                    n.find_first_not_of("0123456789", prefix.size()) == n.size() - 4 &&
                    n.compare(n.size() - 4, 4, kCollectSuffix) == 0;
        if (ours)
            names.push_back(n);
    }
    closedir(d);
    for (const std::string& n : names) {
        if (unlink((jobDir + "/" + n).c_str()) != 0 && errno != ENOENT) {
            fprintf(stderr, "ruxen-collect: cannot remove %s/%s: %s\n", jobDir.c_str(), n.c_str(), strerror(errno));
            return false;
        }
    }
    if (!links.DeleteCtreeFiles()) {
        fprintf(stderr, "ruxen-collect: cannot remove the hard-links table in %s\n", jobDir.c_str());
        return false;
    }
    return true;
}

// The trees into the job directory, then the split and the merge as the
// scan program runs them. 0, or 1 when something failed.
int CollectIntoJobDir(const std::string& jobDir, const std::vector<const char*>& trees, uint32_t streams) {
    // Held to the end, through the split and the merge (which share this
    // process's hold): another scan, or a backup, of the directory waits.
    JobDirectoryLock lock;
    std::string busy;
    if (!lock.Acquire(jobDir, JobDirectoryLock::kExclusive, -1, &busy)) {
        fprintf(stderr, "ruxen-collect: %s\n", busy.c_str());
        return 2;
    }
    HardLinkManager::EnableHardLinkFeature();
    HardLinkManager links;
    links.initHardLinkManager(jobDir, kCollectBaseName);
    // The mark goes first, synced with its name, and stays when anything
    // below fails: a part of a tree's listing, or the trees before the one
    // that failed, would otherwise be backed up as the whole job.
    const std::string mark = jobDir + "/" + JobDirectory::ScanMarkName(kCollectBaseName);
    struct stat st;
    if (int err = stat(jobDir.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR) {
        fprintf(stderr, "ruxen-collect: cannot read %s: %s\n", jobDir.c_str(), strerror(err));
        return 1;
    }
    if (int err = WriteFileSynced(mark, ""); err != 0 || SyncPath(jobDir) != 0) {
        fprintf(stderr, "ruxen-collect: cannot write %s: %s\n", mark.c_str(), strerror(err ? err : errno));
        return 1;
    }
    if (!ClearJobDir(jobDir, links))
        return 1;
    int errors = 0;
    std::vector<int64_t> treeRows;
    std::string split;
    for (uint32_t i = 1; i <= trees.size(); ++i) {
        const std::string path = HCollectFile::GetCollectFilePath(i, jobDir, kCollectBaseName, kCollectSuffix);
        std::unique_ptr<FILE, int (*)(FILE*)> out(fopen(path.c_str(), "w"), fclose);
        if (!out) {
            fprintf(stderr, "ruxen-collect: cannot create %s: %s\n", path.c_str(), strerror(errno));
            return 1;
        }
        treeRows.push_back(links.LastRecordedRow());
        Walk w{out.get(), path.c_str(), &links, i, &treeRows};
        if (!w.Tree(trees[i - 1]))
            return 1;
        errors += w.errors;
        if (fflush(out.get()) != 0 || ferror(out.get()) || fclose(out.release()) != 0) {
            fprintf(stderr, "ruxen-collect: cannot write %s: %s\n", path.c_str(), strerror(errno));
            return 1;
        }
        split += std::to_string(i) + "\n";
    }
    // The hard-link collect files written (a later tree may have added to an
    // earlier tree's), then the table: it exists even when empty, and its
    // last rows are committed and marked or the run fails.
    for (uint32_t n : links.hColNumbers()) {
        CTyError closed = links.closeCollectFile(n);
        if (closed.IsError()) {
            fprintf(stderr, "ruxen-collect: cannot write the hard-link collect file of %s: %s\n", trees[n - 1],
                    closed.Message().c_str());
            return 1;
        }
    }
    HardLinksTablePtr table = HardLinkManager::getHLTableClass(jobDir, false);
    if (!table || table->close() != 0) {
        fprintf(stderr, "ruxen-collect: cannot write the hard-links table in %s\n", jobDir.c_str());
        return 1;
    }
    HardLinkManager::closeHLTableClass();
    // One group per tree; the split shares the hard-link groups out over the
    // streams, and the merge numbers each tree's hard-link collect files
    // just before its collect file.
    if (int err = WriteFileAtomically(HardLinkManager::GenerateCollectSplitConfigFileName(jobDir), split)) {
        fprintf(stderr, "ruxen-collect: cannot write %s/%s: %s\n", jobDir.c_str(), kCollectSplitConfigName,
                strerror(err));
        return 1;
    }
    try {
        uint32_t next = 0;
        int missing = 0;
        links.SplitHCollectFile(static_cast<uint32_t>(trees.size()), true, streams);
        links.MergeSplitFiles(next, missing);
    } catch (const HardLinkManagerBaseException& e) {
        fprintf(stderr, "ruxen-collect: the split and merge of the hard-link collect files in %s failed: %s\n",
                jobDir.c_str(), e.what());
        return 1;
    }
    // The layout is whole (a directory the walk could not read was named
    // above and is not in it).
    if (unlink(mark.c_str()) != 0 || SyncPath(jobDir) != 0) {
        fprintf(stderr, "ruxen-collect: cannot remove %s: %s\n", mark.c_str(), strerror(errno));
        return 1;
    }
    return errors ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    LogOptions log;
    std::string jobDir;
    unsigned long streams = 1;
    std::vector<const char*> trees;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0)
            return Usage(stdout, 0);
        if (strcmp(argv[i], "--job-dir") == 0) {
            if (i + 1 >= argc)
                return Usage(stderr, 2);
            jobDir = argv[++i];
        } else if (strcmp(argv[i], "--streams") == 0) {
            char* end = nullptr;
            errno = 0;
            if (i + 1 >= argc ||
                (streams = strtoul(argv[++i], &end, 10),
                 errno != 0 || *end != '\0' || end == argv[i] || argv[i][0] == '-' || streams < 1 || streams > 256)) {
                fprintf(stderr, "ruxen-collect: --streams takes a number from 1 to 256\n");
                return Usage(stderr, 2);
            }
        } else if (const int taken = log.Take("ruxen-collect", argc, argv, i)) {
            if (taken < 0)
                return Usage(stderr, 2);
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            fprintf(stderr, "ruxen-collect: unknown option %s\n", argv[i]);
            return Usage(stderr, 2);
        } else {
            trees.push_back(argv[i]);
        }
    }
    if (trees.empty())
        return Usage(stderr, 2);
    // The log must not land in what this run writes: the collect file on
    // standard output, or a file of the job directory.
    JobFileGuard guard;
    if (jobDir.empty())
        guard.AddOutput("collect", "-", true);
    else
        guard.AddJobDirectory(jobDir);
    // A registry that cannot be read would run the scan on defaults.
    std::string why;
    if (!KXPlatformInfo::loadEnvironmentFile(&why)) {
        fprintf(stderr, "ruxen-collect: %s\n", ruxen::ControlsEscaped(why).c_str());
        return 2;
    }
    if (!log.Start("ruxen-collect", guard))
        return 2;
    if (!jobDir.empty())
        return CollectIntoJobDir(jobDir, trees, static_cast<uint32_t>(streams));

    Walk w{stdout, "the collect file", nullptr, 0};
    for (const char* t : trees)
        if (!w.Tree(t))
            return 1;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "ruxen-collect: cannot write the collect file: %s\n", strerror(errno));
        return 1;
    }
    return w.errors ? 1 : 0;
}
