#include "hardlinks/DirectoryJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "hardlinks/HLFileOps.h"
#include "hardlinks/HardLinkExceptions.h"
#include "hardlinks/HardLinkMessages.h"
#include "platform/agent/KxLog.h"
#include "platform/base/FdIO.h"
#include "platform/text/WholeFile.h"

namespace {

constexpr const char* kMagic = "RXJOURNAL 1 ";
constexpr const char* kEnd = "end";
constexpr size_t kMaxJournalBytes = size_t(1) << 30;

// A name the journal may act on: one entry of the directory.
bool PlainName(const std::string& n) {
    return !n.empty() && n != "." && n != ".." && n.find_first_of(std::string("/\t\n\r\0", 5)) == std::string::npos;
}

bool TwoNames(DirectoryJournal::Step::Kind k) {
    return k == DirectoryJournal::Step::kLink || k == DirectoryJournal::Step::kRename;
}

}  // namespace

DirectoryJournal::DirectoryJournal(std::string directory, std::string name, Ops ops)
    : m_dir(std::move(directory)), m_name(std::move(name)), m_ops(std::move(ops)) {}

void DirectoryJournal::Fail(const std::string& what) const {
    KXLOG(-1, "%s: %s", Path(m_name).c_str(), what.c_str());
    throw HardLinkManagerBaseException(what);
}

bool DirectoryJournal::Exists() const { return PathExists(Path(m_name)); }

void DirectoryJournal::SyncDirectory() {
    if (SyncPath(m_dir) != 0)
        Fail(std::string("cannot sync the directory: ") + strerror(errno));
}

void DirectoryJournal::Write(const std::string& kind, const std::string& words, const std::vector<Step>& steps) {
    std::string text = kMagic + kind + (words.empty() ? "" : " " + words) + "\n";
    for (const Step& s : steps) {
        if (!PlainName(s.from) || (TwoNames(s.kind) && !PlainName(s.to)))
            Fail("a step names something outside the directory: " + s.from + " " + s.to);
        text += static_cast<char>(s.kind);
        text += '\t';
        text += s.from;
        if (TwoNames(s.kind)) {
            text += '\t';
            text += s.to;
        }
        text += '\n';
    }
    text += kEnd;
    text += '\n';
    const std::string tmp = Path(m_name) + kTempSuffix;
    int err = WriteFileSynced(tmp, text);
    if (err == 0 && m_ops.rename(tmp, Path(m_name)) != 0)
        err = errno;
    if (err != 0) {
        RemoveFileIfPresent(tmp);
        Fail(std::string("cannot write the journal: ") + strerror(err));
    }
    SyncDirectory();
}

bool DirectoryJournal::Parse(const std::string& text, const std::string& kind, std::string& words,
                             std::vector<Step>& steps, std::vector<std::string>& marks, std::string& error) {
    steps.clear();
    marks.clear();
    const std::string head = kMagic + kind;
    size_t nl = text.find('\n');
    const std::string first = text.substr(0, nl);
    if (nl == std::string::npos || first.compare(0, head.size(), head) != 0 ||
        (first.size() > head.size() && first[head.size()] != ' ')) {
        error = "not a journal of the " + kind;
        return false;
    }
    words = first.size() > head.size() ? first.substr(head.size() + 1) : std::string();
    bool ended = false;
    for (size_t pos = nl + 1; pos < text.size(); pos = nl + 1) {
        nl = text.find('\n', pos);
        if (nl == std::string::npos)
            break;  // a mark cut by a kill
        const std::string line = text.substr(pos, nl - pos);
        if (ended) {
            if (!PlainName(line)) {
                error = "a malformed mark: " + line.substr(0, 80);
                return false;
            }
            marks.push_back(line);
            continue;
        }
        if (line == kEnd) {
            ended = true;
            continue;
        }
        const Step::Kind k = static_cast<Step::Kind>(line.empty() ? 0 : line[0]);
        const size_t t2 = line.size() > 2 ? line.find('\t', 2) : std::string::npos;
        if (line.size() < 3 || line[1] != '\t' ||
            (k != Step::kLink && k != Step::kEmpty && k != Step::kRename && k != Step::kRemove) ||
            TwoNames(k) != (t2 != std::string::npos)) {
            error = "a malformed step: " + line.substr(0, 80);
            return false;
        }
        Step s{k, line.substr(2, (TwoNames(k) ? t2 : line.size()) - 2), TwoNames(k) ? line.substr(t2 + 1) : ""};
        if (!PlainName(s.from) || (TwoNames(k) && !PlainName(s.to))) {
            error = "a step names something outside the directory: " + line.substr(0, 80);
            return false;
        }
        steps.push_back(std::move(s));
    }
    if (!ended)
        error = "cut short (no end line)";
    return ended;
}

bool DirectoryJournal::Read(const std::string& kind, std::string& words, std::vector<Step>& steps,
                            std::vector<std::string>& marks) const {
    std::string text, error;
    if (!WholeFile::ReadRegular(Path(m_name), kMaxJournalBytes, text, error) ||
        !Parse(text, kind, words, steps, marks, error)) {
        KXLOG(-1, "%s cannot be read: %s", Path(m_name).c_str(), error.c_str());
        return false;
    }
    return true;
}

void DirectoryJournal::AppendMark(const std::string& mark) {
    const std::string line = mark + "\n";
    ScopedFd fd(open(Path(m_name).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!fd.valid() || ruxen::writeAll(fd.get(), line.data(), line.size()) != 0 || fsync(fd.get()) != 0 ||
        fd.Close() != 0)
        Fail(std::string("cannot mark the journal: ") + strerror(errno));
}

void DirectoryJournal::Remove() {
    if (RemoveFileIfPresent(Path(m_name) + kTempSuffix) != 0 || RemoveFileIfPresent(Path(m_name)) != 0)
        Fail(std::string("cannot remove the journal: ") + strerror(errno));
    SyncDirectory();
}

void DirectoryJournal::Run(const Step& s) {
    const std::string from = Path(s.from), to = Path(s.to);
    switch (s.kind) {
    case Step::kRemove:
        if (RemoveFileIfPresent(from) != 0)
            Fail("cannot remove " + s.from + ": " + strerror(errno));
        return;
    case Step::kEmpty:
        if (int err = WriteFileSynced(from, std::string()))
            Fail("cannot create " + s.from + ": " + strerror(err));
        return;
    case Step::kLink:
        if (RemoveFileIfPresent(to) != 0)
            Fail("cannot remove " + s.to + ": " + strerror(errno));
        if (m_ops.link(from, to) != 0) {
            // A file system without hard links gets a copy.
            if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK)
                Fail("cannot link " + s.from + " to " + s.to + ": " + strerror(errno));
            copy_file(from, to, true);
        }
        return;
    case Step::kRename: {
        // A rename between two names of one file does nothing: the source
        // name goes instead (the link of a file to its own number).
        struct stat a, b;
        if (lstat(from.c_str(), &a) == 0 && lstat(to.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
            a.st_ino == b.st_ino) {
            if (RemoveFileIfPresent(from) != 0)
                Fail("cannot remove " + s.from + ": " + strerror(errno));
            return;
        }
        if (m_ops.rename(from, to) != 0 || !PathExists(to)) {
            KXLOG(0, "HCollectFile DEBUG:Could not rename the file %s to %s: Error [%d]", from.c_str(), to.c_str(),
                  errno);
            throw HardLinkManagerBaseException(kErrRename);
        }
        return;
    }
    }
}

void DirectoryJournal::Finish(const std::vector<Step>& steps) {
    for (const Step& s : steps) {
        if (s.kind == Step::kRename && !PathExists(Path(s.from))) {
            if (!PathExists(Path(s.to)))
                Fail("cannot finish the rename of " + s.from + " to " + s.to + ": neither exists");
            continue;
        }
        Run(s);
    }
    SyncDirectory();
}
