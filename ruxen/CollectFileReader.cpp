#include "ruxen/CollectFileReader.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hardlinks/HCollectLine.h"
#include "platform/text/ControlBytes.h"
#include "platform/text/FileNameEscape.h"

namespace {

constexpr size_t kBufferBytes = 256 * 1024;
constexpr char kPrefix[] = "%??";
constexpr size_t kPrefixLen = 3;

struct MarkerSpec {
    const char* name;
    uint32_t bit;
    int min, max;             // the value's range; max 0: the marker takes no value
    int CollectLine::*value;  // where the value goes
};

const MarkerSpec kMarkers[] = {
    {"MAC", kMarkerMac, 0, 0, nullptr},         {"PSEUDO", kMarkerPseudo, 0, 0, nullptr},
    {"ADHOC", kMarkerAdHoc, 0, 0, nullptr},     {"MNT", kMarkerMount, 1, 0x7fffffff, &CollectLine::mountIndex},
    {"SUB", kMarkerSub, 0, 0, nullptr},         {"MNTPATH", kMarkerMountPath, 0, 0, nullptr},
    {"RAW", kMarkerRaw, 0, 0, nullptr},         {"DATASIZE", kMarkerDataSize, 0, 0, nullptr},
    {"NOHL", kMarkerNoHardLink, 0, 0, nullptr}, {"SF", kMarkerSalesforce, 1, 0x7fffffff, &CollectLine::salesforceKind},
    {"STUB", kMarkerStub, 0, 0, nullptr},       {"DEL", kMarkerDeleted, 1, 7, &CollectLine::deletedKind},
};

uint64_t NextGeneration() {
    static uint64_t generation = 0;
    return ++generation;
}

bool Is(const char* p, size_t n, const char* word) { return n == strlen(word) && memcmp(p, word, n) == 0; }

bool GuidChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '{' ||
           c == '}';
}

}  // namespace

CollectFileReader::CollectFileReader() = default;

CollectFileReader::~CollectFileReader() { Close(); }

void CollectFileReader::ResetState() {
    m_directives = CollectDirectives();
    m_directives.generation = NextGeneration();
    m_pastDirectives = false;
    m_prevEntry = false;
}

bool CollectFileReader::Open(const std::string& path, std::string* error) {
    Close();
    return Start(open(path.c_str(), O_RDONLY | O_CLOEXEC), path, error);
}

bool CollectFileReader::OpenDescriptor(int fd, const std::string& name, std::string* error) {
    Close();
    return Start(fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 0), name, error);
}

bool CollectFileReader::Start(int fd, const std::string& name, std::string* error) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        int e = errno;
        if (fd >= 0)
            close(fd);
        if (error)
            *error = "cannot open collect file " + name + ": " + strerror(e);
        errno = e;
        return false;
    }
    m_fd = fd;
    // A file is read at the reader's own offset, so that readers sharing one
    // open file (the stream and its prefetcher) never move each other.
    m_positional = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
    m_name = name;
    // The path is followed only while it names this file: a piped collect
    // file's copy is checked through its descriptor alone.
    m_identity.Take(m_fd, name);
    m_memory = false;
    m_buf.resize(kBufferBytes);
    m_begin = m_end = 0;
    m_bufOffset = 0;
    m_eof = false;
    ResetState();
    return true;
}

void CollectFileReader::OpenMemory(const std::string& name, const std::string& content) {
    Close();
    m_name = name;
    m_memory = true;
    m_buf.assign(content.begin(), content.end());
    m_begin = 0;
    m_end = m_buf.size();
    m_bufOffset = 0;
    m_eof = true;
    ResetState();
}

bool CollectFileReader::Position(uint64_t offset) {
    if (m_memory) {
        if (offset > m_buf.size())
            return false;
        m_begin = static_cast<size_t>(offset);
        return true;
    }
    if (m_fd < 0 || (!m_positional && lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0))
        return false;
    m_begin = m_end = 0;
    m_bufOffset = offset;
    m_eof = false;
    return true;
}

bool CollectFileReader::Seek(uint64_t offset) {
    if ((!m_memory && m_fd < 0) || (m_memory && offset > m_buf.size()))
        return false;
    // The directives of the lines before the offset, read again.
    ResetState();
    if (!Position(0))
        return false;
    CollectLine scratch;
    while (ReadRaw(scratch) == kLine && scratch.offset < offset && Classify(scratch) == kDirective) {
    }
    if (!Position(offset))
        return false;
    // Whether an entry at the offset starts a group.
    std::string before;
    m_prevEntry = false;
    if (LineBefore(offset, before)) {
        HLinkGroupElement e;
        if (!before.empty() && before.size() <= kMaxLineBytes && before[0] == '#' &&
            !memchr(before.data(), '\r', before.size()) &&
            ParseHCollectEntry(before.data(), before.size(), e, nullptr) == HCollectLineKind::Data) {
            m_prevEntry = true;
            m_prevInode = e.inode;
            m_prevDevice = e.device;
        }
    }
    return true;
}

bool CollectFileReader::LineBefore(uint64_t offset, std::string& out) {
    if (offset == 0)
        return false;
    // The longest line the reader takes, its CR and both line feeds.
    const uint64_t span = std::min<uint64_t>(offset, kMaxLineBytes + 3);
    const uint64_t from = offset - span;
    out.resize(static_cast<size_t>(span));
    if (m_memory) {
        memcpy(&out[0], m_buf.data() + from, out.size());
    } else {
        ssize_t n = pread(m_fd, &out[0], out.size(), static_cast<off_t>(from));
        if (n != static_cast<ssize_t>(out.size()))
            return false;
    }
    if (out.back() != '\n')
        return false;  // the offset is not a line start
    out.pop_back();
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    size_t nl = out.rfind('\n');
    if (nl == std::string::npos && from > 0)
        return false;  // longer than any line the reader takes
    out.erase(0, nl == std::string::npos ? 0 : nl + 1);
    return true;
}

void CollectFileReader::Close() {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_identity.Clear();
    m_memory = false;
    m_buf.clear();
    m_begin = m_end = 0;
    m_eof = false;
}

int CollectFileReader::Fill() {
    if (m_memory || m_eof || m_fd < 0)
        return 0;
    // Keep nothing: a partial line was already copied into m_line.
    m_bufOffset += m_end;
    m_begin = m_end = 0;
    for (;;) {
        ssize_t n = m_positional ? pread(m_fd, m_buf.data(), m_buf.size(), static_cast<off_t>(m_bufOffset))
                                 : read(m_fd, m_buf.data(), m_buf.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0) {
            m_eof = true;
            return 0;
        }
        m_end = static_cast<size_t>(n);
        return 1;
    }
}

CollectLineSource::Result CollectFileReader::ReadRaw(CollectLine& line) {
    m_line.clear();
    uint64_t length = 0;
    char last = 0;
    bool started = false;
    for (;;) {
        if (m_begin >= m_end) {
            int r = Fill();
            if (r < 0) {
                line.errnum = errno;
                line.error = "cannot read collect file " + m_name + ": " + strerror(line.errnum);
                return kReadError;
            }
            if (r == 0) {
                if (!started)
                    return kEnd;
                break;  // last line without its line feed
            }
        }
        if (!started) {
            line.offset = m_bufOffset + m_begin;
            started = true;
        }
        const char* p = m_buf.data() + m_begin;
        size_t avail = m_end - m_begin;
        const char* nl = static_cast<const char*>(memchr(p, '\n', avail));
        size_t take = nl ? static_cast<size_t>(nl - p) : avail;
        // One byte past the limit is kept: it may be a CR that ends the line.
        if (m_line.size() <= kMaxLineBytes)
            m_line.append(p, std::min(take, kMaxLineBytes + 1 - m_line.size()));
        if (take > 0)
            last = p[take - 1];
        length += take;
        m_begin += take;
        if (nl) {
            ++m_begin;  // the line feed
            break;
        }
    }
    if (last == '\r') {
        --length;
        if (m_line.size() > length)
            m_line.resize(static_cast<size_t>(length));
    }
    line.rawLength = length;
    return kLine;
}

CollectLineSource::Result CollectFileReader::Next(CollectLine& line) {
    for (;;) {
        line.path.clear();
        line.raw.clear();
        line.error.clear();
        line.errnum = 0;
        line.kind = CollectLine::kPath;
        line.markers = 0;
        line.mountIndex = line.salesforceKind = line.deletedKind = 0;
        line.newGroup = false;
        Result r = ReadRaw(line);
        if (r != kLine)
            return r;
        switch (Classify(line)) {
        case kItem:
            return kLine;
        case kBad:
            return kBadLine;
        case kPassOver:
        case kDirective:
            break;
        }
    }
}

CollectFileReader::Class CollectFileReader::Bad(CollectLine& line, int errnum, const char* what,
                                                const std::string& detail) {
    // Bad lines are rare: their messages are built only here.
    line.errnum = errnum;
    line.error = std::string(what) + " at offset " + std::to_string(line.offset) + " of " + m_name + detail;
    line.path.clear();
    line.markers = 0;
    if (line.raw.empty())
        line.raw = m_line;
    return kBad;
}

bool CollectFileReader::DecodePath(const char* p, size_t n, CollectLine& line, std::string& why) {
    if (!ruxen::unescapeFileName(p, n, line.path, &why))
        return false;
    if (line.path.empty() || line.path[0] != '/') {
        line.path.clear();
        why = "not an absolute path";
        return false;
    }
    return true;
}

CollectFileReader::Class CollectFileReader::Classify(CollectLine& line) {
    const bool directivesOpen = !m_pastDirectives;
    const bool prevEntry = m_prevEntry;
    m_pastDirectives = true;
    m_prevEntry = false;
    if (line.rawLength > kMaxLineBytes) {
        line.raw.assign(m_line, 0, kOverlongKeepBytes);
        return Bad(line, ENAMETOOLONG, "collect line", " is longer than " + std::to_string(kMaxLineBytes) + " bytes");
    }
    if (m_line.empty())
        return Bad(line, EINVAL, "empty collect line", "");
    // The scan program writes a CR inside a path as "%0D".
    if (memchr(m_line.data(), '\r', m_line.size()))
        return Bad(line, EINVAL, "collect line", " holds a raw carriage return");

    const char* p = m_line.data();
    const size_t n = m_line.size();
    if (p[0] == '#') {
        HLinkGroupElement e;
        std::string why;
        switch (ParseHCollectEntry(p, n, e, &why)) {
        case HCollectLineKind::Header:
            return kPassOver;
        case HCollectLineKind::Bad:
            return Bad(line, EINVAL, "bad hard-link collect line", ": " + why);
        case HCollectLineKind::Data:
            break;
        }
        if (!DecodePath(e.path.data(), e.path.size(), line, why))
            return Bad(line, EINVAL, "bad hard-link collect line", ": " + why);
        line.kind = CollectLine::kHardLinkEntry;
        line.inode = e.inode;
        line.device = e.device;
        line.ctime = e.ctime;
        line.size = e.size;
        line.newGroup = !(prevEntry && e.inode == m_prevInode && e.device == m_prevDevice);
        m_prevEntry = true;
        m_prevInode = e.inode;
        m_prevDevice = e.device;
        return kItem;
    }
    if (n >= kPrefixLen && memcmp(p, kPrefix, kPrefixLen) == 0) {
        const char* close = static_cast<const char*>(memchr(p + kPrefixLen, '%', n - kPrefixLen));
        if (!close)
            return Bad(line, EINVAL, "collect line", ": the marker list has no closing %");
        size_t c = static_cast<size_t>(close - p);
        size_t nameEnd = kPrefixLen;
        while (nameEnd < c && p[nameEnd] != ',' && p[nameEnd] != '=')
            ++nameEnd;
        const char* name = p + kPrefixLen;
        const size_t nameLen = nameEnd - kPrefixLen;
        if (Is(name, nameLen, "HBASESNAPINCR") || Is(name, nameLen, "DOCSA") || Is(name, nameLen, "SFREL")) {
            if (!directivesOpen)
                return Bad(line, EINVAL, "collect directive", " comes after the first item");
            Class got = Directive(p, n, c, line);
            m_pastDirectives = got != kDirective;
            return got;
        }
        return Markers(p, n, c, line);
    }
    std::string why;
    if (!DecodePath(p, n, line, why))
        return Bad(line, EINVAL, "bad collect line", ": " + why);
    return kItem;
}

CollectFileReader::Class CollectFileReader::Directive(const char* p, size_t n, size_t close, CollectLine& line) {
    const char* spec = p + kPrefixLen;
    const size_t specLen = close - kPrefixLen;
    const char* rest = p + close + 1;
    const size_t restLen = n - close - 1;
    CollectDirectives& d = m_directives;
    if (Is(spec, specLen, "HBASESNAPINCR")) {
        if (restLen != 0)
            return Bad(line, EINVAL, "collect directive", ": HBASESNAPINCR takes nothing after it");
        if (d.hbaseIncrementalSnapshot)
            return Bad(line, EINVAL, "collect directive", ": HBASESNAPINCR given twice");
        d.hbaseIncrementalSnapshot = true;
    } else if (Is(spec, specLen, "DOCSA")) {
        std::string why;
        if (d.documentum)
            return Bad(line, EINVAL, "collect directive", ": DOCSA given twice");
        if (!ruxen::unescapeFileName(rest, restLen, m_scratch, &why) || m_scratch.empty())
            return Bad(line, EINVAL, "collect directive",
                       ": DOCSA needs an escaped storage-area name" + (why.empty() ? std::string() : ": " + why));
        d.documentum = true;
        d.documentumSAName = m_scratch;
    } else if (specLen > 6 && memcmp(spec, "SFREL=", 6) == 0) {
        std::string why;
        if (!std::all_of(spec + 6, spec + specLen, GuidChar))
            return Bad(line, EINVAL, "collect directive", ": SFREL needs a GUID of letters, digits, -, { and }");
        if (!ruxen::unescapeFileName(rest, restLen, m_scratch, &why) || m_scratch.empty())
            return Bad(line, EINVAL, "collect directive",
                       ": SFREL needs escaped metadata" + (why.empty() ? std::string() : ": " + why));
        d.salesforceRelations.push_back({std::string(spec + 6, specLen - 6), m_scratch});
    } else {
        return Bad(line, EINVAL, "collect directive", ": malformed");
    }
    d.generation = NextGeneration();
    return kDirective;
}

CollectFileReader::Class CollectFileReader::Markers(const char* p, size_t n, size_t close, CollectLine& line) {
    size_t pos = kPrefixLen;
    for (;;) {
        size_t end = pos;
        while (end < close && p[end] != ',')
            ++end;
        const char* item = p + pos;
        const size_t itemLen = end - pos;
        const char* eq = static_cast<const char*>(memchr(item, '=', itemLen));
        const size_t nameLen = eq ? static_cast<size_t>(eq - item) : itemLen;
        const MarkerSpec* spec = nullptr;
        for (const MarkerSpec& m : kMarkers)
            if (Is(item, nameLen, m.name))
                spec = &m;
        const std::string shown(item, itemLen);
        if (!spec)
            return Bad(line, EINVAL, "collect line", ": unknown marker \"" + shown + "\"");
        if (line.markers & spec->bit)
            return Bad(line, EINVAL, "collect line", ": marker " + std::string(spec->name) + " given twice");
        if ((spec->max == 0) != (eq == nullptr))
            return Bad(line, EINVAL, "collect line",
                       ": marker \"" + shown + (spec->max ? "\" needs a value" : "\" takes no value"));
        if (eq) {
            int v = 0;
            const char* b = eq + 1;
            const char* e = item + itemLen;
            auto r = std::from_chars(b, e, v);
            if (b == e || *b == '-' || r.ec != std::errc() || r.ptr != e || v < spec->min || v > spec->max)
                return Bad(line, EINVAL, "collect line",
                           ": bad value in marker \"" + shown + "\" (" + std::to_string(spec->min) + " to " +
                               std::to_string(spec->max) + ")");
            line.*(spec->value) = v;
        }
        line.markers |= spec->bit;
        if (end == close)
            break;
        pos = end + 1;
    }
    std::string why;
    if (!DecodePath(p + close + 1, n - close - 1, line, why))
        return Bad(line, EINVAL, "collect line", ": the marked item has no path: " + why);
    return kItem;
}

void AppendBadLineListing(const CollectLine& line, std::string& out) {
    // The text is already in escaped form, so only raw control characters
    // (a CR would break a list line, a NUL cut it, a CSI drive a terminal)
    // are escaped here.
    const std::string& raw = line.raw;
    for (size_t i = 0; i < raw.size();) {
        bool control;
        const size_t n = ruxen::TextUnit(raw.data() + i, raw.size() - i, control);
        for (size_t k = 0; k < n; ++k)
            if (control)
                ruxen::appendEscapedByte(static_cast<unsigned char>(raw[i + k]), out);
            else
                out += raw[i + k];
        i += n;
    }
    if (line.rawLength == 0)
        out += "%00(empty line)";
    else if (line.raw.size() < line.rawLength)
        out += "%00(" + std::to_string(line.rawLength) + " bytes)";
}
