#include "ruxen/CCollectFileSplitter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstring>
#include <exception>
#include <limits>

#include "hardlinks/TextLineReader.h"
#include "platform/base/FdIO.h"
#include "platform/base/QMErrorUtil.h"
#include "platform/base/ScopedFd.h"
#include "platform/text/PathUtil.h"
#include "platform/text/ReplaceFile.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/RuxenMessages.h"

namespace {

constexpr int kBadInput = 774;
constexpr size_t kFlushBytes = 256 * 1024;
constexpr int64_t kMaxSize = std::numeric_limits<int64_t>::max();

// Character and block devices and symbolic links (their file types have the
// 0x2000 bit) count nothing.
int64_t ItemSize(const struct stat& st) { return (st.st_mode & 0x2000) ? 0 : static_cast<int64_t>(st.st_size); }

CTyError BadInput(const QMCodeLocation& loc, const std::string& why) {
    return QMErrorUtil::ErrorWin32(loc, kBadInput, "%s", why.c_str());
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = CTyError::FormatV(fmt, ap);
    va_end(ap);
    return s;
}

}  // namespace

// One output collect file: lines gather in a buffer that is written in large
// blocks. Every write and the close are checked.
class CCollectFileSplitter::OutFile {
public:
    // Opens `path` for writing from its start: a regular file is created or
    // emptied, a character device (/dev/null) is written as it is; anything
    // else, and the input file itself, is refused before a byte changes.
    bool Open(const std::string& path, dev_t inputDev, ino_t inputIno, std::string& why) {
        m_path = path;
        m_buf.clear();
        m_regular = false;
        // Non-blocking: a FIFO in the way is refused, not waited on.
        m_fd.reset(open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
        struct stat st;
        if (!m_fd.valid() || fstat(m_fd.get(), &st) != 0)
            return Fail("cannot open", why);
        if (st.st_dev == inputDev && st.st_ino == inputIno) {
            m_fd.reset();
            why = Format(kSplitIsInput, path.c_str());
            return false;
        }
        if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
            m_fd.reset();
            why = path + " is neither a regular file nor a character device";
            return false;
        }
        m_regular = S_ISREG(st.st_mode);
        if (m_regular && ftruncate(m_fd.get(), 0) != 0)
            return Fail("cannot empty", why);
        return true;
    }

    bool Add(const char* p, size_t n, std::string& why) {
        m_buf.append(p, n);
        return m_buf.size() < kFlushBytes || Flush(why);
    }
    bool AddLine(const std::string& line, std::string& why) {
        m_buf += line;
        return Add("\n", 1, why);
    }

    // Writes what is buffered and closes; true when every byte reached the
    // file.
    bool Close(std::string& why) {
        if (!m_fd.valid())
            return true;
        if (!Flush(why))
            return false;
        if (m_fd.Close() != 0)
            return Fail("cannot close", why);
        return true;
    }

    // Whether Open made or emptied a regular file (one a failed split may
    // remove).
    bool Regular() const { return m_regular; }
    const std::string& Path() const { return m_path; }

private:
    bool Flush(std::string& why) {
        if (!m_buf.empty() && ruxen::writeAll(m_fd.get(), m_buf.data(), m_buf.size()) != 0)
            return Fail("cannot write", why);
        m_buf.clear();
        return true;
    }
    bool Fail(const char* what, std::string& why) {
        why = std::string(what) + " " + m_path + ": " + strerror(errno);
        m_fd.reset();
        m_buf.clear();
        return false;
    }

    ScopedFd m_fd;
    std::string m_path;
    std::string m_buf;
    bool m_regular = false;
};

// What a failed splitEachMountCollectFile puts back.
struct CCollectFileSplitter::Undo {
    size_t moved = 0;               // mounts 0 .. moved-1 went to ".b4split"
    std::vector<std::string> made;  // files made for new collect numbers
    int32_t counter = 0;
};

CCollectFileSplitter::CCollectFileSplitter(EvEvent& event) : m_event(event) {
    try {
        m_mntTab = KxMntTab::getAll();
    } catch (const std::exception& e) {
        EvDebug::DebugLvl(__PRETTY_FUNCTION__, -1, "Cannot load the mount table: %s", e.what());
    }
    m_initialized = m_mntTab.empty() ? 0 : 1;
}

std::string CCollectFileSplitter::CollectPath(int32_t number) const {
    std::string name = m_prefix + "_" + std::to_string(number);
    if (!m_extension.empty())
        name += "." + m_extension;
    return PathUtil::Join(m_directory, name);
}

CTyError CCollectFileSplitter::NotInput(const std::string& path) const {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && st.st_dev == m_inputDev && st.st_ino == m_inputIno)
        return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kSplitIsInput, path.c_str());
    return CTyError::Success();
}

CTyError CCollectFileSplitter::OpenOut(OutFile& out, const std::string& path, const std::string& line) {
    std::string why;
    if (!out.Open(path, m_inputDev, m_inputIno, why)) {
        CTyError err = BadInput(QM_LOC, why);
        return line.empty() ? err : err.Push(QM_LOC, kSplitAppend, line.c_str(), path.c_str());
    }
    for (const std::string& head : m_headLines)
        if (!out.AddLine(head, why))
            return BadInput(QM_LOC, why).Push(QM_LOC, kSplitAppend, head.c_str(), path.c_str());
    return CTyError::Success();
}

CTyError CCollectFileSplitter::splitBasedOnMountPoints(const char* collectFile, const char* directory,
                                                       const char* prefix, const char* extension) {
    m_counter = 0;
    m_collectFileMap.clear();
    m_mntDetails.clear();
    m_headLines.clear();
    m_inputDev = 0;
    m_inputIno = 0;
    m_readyToSplit = false;
    if (!collectFile || !directory || !prefix)
        return QMErrorUtil::ErrorErrNo(QM_LOC, EINVAL, "A collect file, an output directory and a prefix are needed");
    m_directory = directory;
    m_prefix = prefix;
    m_extension = extension ? extension : "";
    if (!m_initialized)
        return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kSplitNoMountTable);

    std::vector<OutFile> outs;
    CTyError err = SplitByMount(collectFile, outs);
    for (OutFile& out : outs) {
        std::string why;
        if (!out.Close(why) && err.IsSuccess())
            err = BadInput(QM_LOC, why);
    }
    if (err.IsError()) {
        // Incomplete per-mount files must not be taken for collect files.
        for (const OutFile& out : outs)
            if (out.Regular() && unlink(out.Path().c_str()) != 0 && errno != ENOENT)
                EvDebug::DebugLvl(__PRETTY_FUNCTION__, -1, kSplitRemove, out.Path().c_str(), strerror(errno));
        m_collectFileMap.clear();
        m_mntDetails.clear();
        return err;
    }
    m_readyToSplit = true;
    return CTyError::Success();
}

CTyError CCollectFileSplitter::ReadHead(int fd, uint64_t length, const char* collectFile) {
    // Only lines the reader passed over stand before its first answer:
    // directives, and the "# /" that opens a hard-link collect file.
    std::string head(static_cast<size_t>(length), '\0');
    if (ruxen::preadFull(fd, &head[0], head.size(), 0) != static_cast<ssize_t>(head.size()))
        return QMErrorUtil::ErrorErrNo(QM_LOC, errno ? errno : EIO, kArbCollectOpen, collectFile);
    size_t pos = 0;
    while (pos < head.size()) {
        size_t nl = head.find('\n', pos);
        if (nl == std::string::npos)
            nl = head.size();
        std::string line = head.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '#')
            return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kSplitHardLinkLine, line.c_str(), collectFile);
        m_headLines.push_back(std::move(line));
        pos = nl + 1;
    }
    return CTyError::Success();
}

CTyError CCollectFileSplitter::SplitByMount(const char* collectFile, std::vector<OutFile>& outs) {
    ScopedFd own(open(collectFile, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!own.valid()) {
        const int e = errno;
        return QMErrorUtil::ErrorErrNo(QM_LOC, e, e == ENOENT ? kArbCollectMissing : kArbCollectOpen, collectFile);
    }
    struct stat st;
    if (fstat(own.get(), &st) != 0)
        return QMErrorUtil::ErrorErrNo(QM_LOC, errno, kArbCollectOpen, collectFile);
    if (!S_ISREG(st.st_mode))
        return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kSplitNotRegular, collectFile);
    m_inputDev = st.st_dev;
    m_inputIno = st.st_ino;
    EVDEBUG(4, "Collect file path %s is valid, proceeding with read.", collectFile);
    CollectFileReader reader;
    if (!reader.Open(collectFile, nullptr))
        return QMErrorUtil::ErrorErrNo(QM_LOC, errno, kArbCollectOpen, collectFile);

    // Mount table entry -> index of its mount detail (KxMntTab::find answers
    // one entry per mount point).
    std::vector<int> detailOf(m_mntTab.size(), -1);
    CollectLine line;
    std::string out, why;
    bool first = true;
    for (;;) {
        const CollectLineSource::Result r = reader.Next(line);
        if (r == CollectLineSource::kEnd)
            break;
        if (r == CollectLineSource::kReadError)
            return QMErrorUtil::ErrorErrNo(QM_LOC, line.errnum, "%s", line.error.c_str());
        if (first) {
            first = false;
            CTyError err = ReadHead(own.get(), line.offset, collectFile);
            if (err.IsError())
                return err;
        }
        if (r == CollectLineSource::kBadLine) {
            if (line.rawLength == 0)
                return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kArbCollectEmpty, collectFile);
            std::string shown;
            AppendBadLineListing(line, shown);
            return BadInput(QM_LOC, line.error).Push(QM_LOC, kArbCollectNoItem, shown.c_str(), collectFile);
        }
        const std::string& text = reader.LineText();
        EVDEBUG(12, "Read %s from collect file %s", text.c_str(), collectFile);
        if (line.kind == CollectLine::kHardLinkEntry)
            return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kSplitHardLinkLine, text.c_str(), collectFile);

        int64_t size = 0;
        bool vanished = false;
        if (!(line.markers & kMarkerDeleted)) {  // a deleted item is gone by design
            struct stat item;
            if (lstat(line.path.c_str(), &item) == 0)
                size = ItemSize(item);
            else if (errno == ENOENT || errno == ENOTDIR)
                vanished = true;
            else
                return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kSplitStat, text.c_str(), collectFile, errno);
        }
        const KxMntTab::Entry* mount = KxMntTab::find(m_mntTab, line.path);
        if (!mount)
            return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kSplitNoMount, text.c_str(), collectFile);
        EVDEBUG(12, "File %s belongs to device %s Mount Point %s ", collectFile, mount->device.c_str(),
                mount->mountPoint.c_str());
        if (vanished)
            EVDEBUG(2, "Item %s of collect file %s no longer exists: kept with size 0", text.c_str(), collectFile);

        int& index = detailOf[static_cast<size_t>(mount - m_mntTab.data())];
        if (index < 0) {
            ++m_counter;
            MntDetail_t d{mount->mountPoint, mount->device, 0, CollectPath(m_counter), m_counter};
            outs.emplace_back();
            CTyError err = OpenOut(outs.back(), d.path, text);
            if (err.IsError())
                return err;
            m_collectFileMap[d.path] = {m_counter};
            index = static_cast<int>(m_mntDetails.size());
            m_mntDetails.push_back(std::move(d));
        }
        MntDetail_t& d = m_mntDetails[static_cast<size_t>(index)];
        d.totalSize = size > kMaxSize - d.totalSize ? kMaxSize : d.totalSize + size;
        out = text;
        out += ' ';
        out += std::to_string(size);
        if (!outs[static_cast<size_t>(index)].AddLine(out, why))
            return BadInput(QM_LOC, why).Push(QM_LOC, kSplitAppend, text.c_str(), d.path.c_str());
    }
    if (m_mntDetails.empty())
        return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kArbCollectEmpty, collectFile);
    return CTyError::Success();
}

bool CCollectFileSplitter::ParseSizedLine(const char* p, size_t n, size_t& lineLength, int64_t& size) {
    const void* blank = memrchr(p, ' ', n);
    if (!blank || blank == p)
        return false;
    const char* digits = static_cast<const char*>(blank) + 1;
    const char* end = p + n;
    if (digits == end || *digits < '0' || *digits > '9')
        return false;
    uint64_t value = 0;
    auto r = std::from_chars(digits, end, value);
    if (r.ec != std::errc() || r.ptr != end || value > static_cast<uint64_t>(kMaxSize))
        return false;
    lineLength = static_cast<size_t>(digits - 1 - p);
    size = static_cast<int64_t>(value);
    return true;
}

CTyError CCollectFileSplitter::splitEachMountCollectFile(int filesPerMount) {
    if (filesPerMount < 1)
        return QMErrorUtil::ErrorErrNo(QM_LOC, EINVAL, kSplitFileCount, filesPerMount);
    if (!m_readyToSplit)
        return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kSplitNotReady);
    Undo undo;
    undo.counter = m_counter;
    CTyError err;
    for (size_t i = 0; i < m_mntDetails.size() && err.IsSuccess(); ++i)
        err = SplitMount(i, filesPerMount, undo);

    const std::string mapPath = PathUtil::Join(m_directory, kSplitMapFile);
    if (err.IsSuccess())
        err = NotInput(mapPath);
    if (err.IsSuccess()) {
        std::string content, why;
        for (const auto& entry : m_collectFileMap) {
            content += entry.first;
            char sep = ' ';
            for (int n : entry.second) {
                content += sep;
                content += std::to_string(n);
                sep = ',';
            }
            content += '\n';
        }
        if (!ReplaceFile::Write(mapPath, content, why)) {
            const int e = errno;
            err = BadInput(QM_LOC, why).Push(QM_LOC, kSplitMap, mapPath.c_str(), e);
        } else {
            EVDEBUG(4, "Created collect file map %s", mapPath.c_str());
        }
    }
    if (err.IsError()) {
        RollBack(undo, err);
        return err;
    }
    m_readyToSplit = false;
    return CTyError::Success();
}

CTyError CCollectFileSplitter::SplitMount(size_t index, int filesPerMount, Undo& undo) {
    MntDetail_t& m = m_mntDetails[index];
    const int64_t limit = m.totalSize / filesPerMount;
    const std::string moved = m.path + kSplitB4SplitSuffix;
    CTyError err = NotInput(moved);
    if (err.IsError())
        return err;
    // rename replaces an older ".b4split" in one step.
    if (rename(m.path.c_str(), moved.c_str()) != 0)
        return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kSplitRename, m.path.c_str(), moved.c_str(), errno);
    undo.moved = index + 1;
    TextLineReader in;
    if (!in.Open(moved))
        return QMErrorUtil::ErrorErrNo(QM_LOC, errno, kArbCollectOpen, moved.c_str());
    OutFile out;
    if ((err = OpenOut(out, m.path, std::string())).IsError())
        return err;
    EVDEBUG(12, "Created collect file %s", m.path.c_str());
    std::vector<int>& numbers = m_collectFileMap[m.path];
    numbers.assign(1, m.collectNumber);

    int files = 1;
    int64_t running = 0;
    bool last = filesPerMount == 1;
    std::string line, why;
    size_t lineNo = 0;
    for (;;) {
        const int r = in.Next(line);
        if (r == 0)
            break;
        if (r < 0)
            return QMErrorUtil::ErrorErrNo(QM_LOC, errno, "Cannot read collect file %s", moved.c_str());
        if (lineNo < m_headLines.size()) {
            if (line != m_headLines[lineNo++])
                return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kSplitBadHead, moved.c_str());
            continue;
        }
        if (line.empty())
            return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kArbCollectEmpty, moved.c_str());
        EVDEBUG(12, "Read %s from collect file %s", line.c_str(), moved.c_str());
        size_t length = 0;
        int64_t size = 0;
        if (!ParseSizedLine(line.data(), line.size(), length, size))
            return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kSplitBadSizedLine, line.c_str(), moved.c_str());
        line.resize(length);

        if (!last && running != 0 && (running >= limit || size >= limit - running)) {
            if (!out.Close(why))
                return BadInput(QM_LOC, why);
            last = ++files == filesPerMount;
            running = 0;
            const std::string path = CollectPath(++m_counter);
            err = OpenOut(out, path, line);
            if (out.Regular())
                undo.made.push_back(path);
            if (err.IsError())
                return err;
            EVDEBUG(4, "Created collect file %s", path.c_str());
            numbers.push_back(m_counter);
        }
        if (!out.AddLine(line, why))
            return BadInput(QM_LOC, why).Push(QM_LOC, kSplitAppend, line.c_str(), out.Path().c_str());
        running = size > kMaxSize - running ? kMaxSize : running + size;
    }
    if (lineNo < m_headLines.size())
        return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, kSplitBadHead, moved.c_str());
    if (!out.Close(why))
        return BadInput(QM_LOC, why);
    return CTyError::Success();
}

void CCollectFileSplitter::RollBack(const Undo& undo, CTyError& err) {
    for (const std::string& path : undo.made)
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            err.Push(QM_LOC, kSplitRemove, path.c_str(), strerror(errno));
            EvDebug::DebugLvl(__PRETTY_FUNCTION__, -1, kSplitRemove, path.c_str(), strerror(errno));
        }
    for (size_t i = 0; i < undo.moved; ++i) {
        MntDetail_t& m = m_mntDetails[i];
        const std::string moved = m.path + kSplitB4SplitSuffix;
        if (rename(moved.c_str(), m.path.c_str()) != 0) {
            const int e = errno;
            err.Push(QM_LOC, kSplitRestore, m.path.c_str(), moved.c_str(), strerror(e));
            EvDebug::DebugLvl(__PRETTY_FUNCTION__, -1, kSplitRestore, m.path.c_str(), moved.c_str(), strerror(e));
        }
        m_collectFileMap[m.path].assign(1, m.collectNumber);
    }
    m_counter = undo.counter;
}
