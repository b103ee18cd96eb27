// Reading collect files: one item per line, written by the scan program.
//
// Line forms (the whole grammar is in docs/ARCHITECTURE.md):
//
//   /escaped/path                     an item
//   %??MARKERS%/escaped/path          an item with markers: MARKERS is a
//                                     comma-separated list of NAME or
//                                     NAME=VALUE (CollectMarker below)
//   # /                               first line of a hard-link collect
//                                     file: passed over
//   # ino dev ctime size /escaped/path one path of a hard-linked file
//                                     (a hard-link collect entry)
//   %??HBASESNAPINCR%                 directives: only before the first
//   %??DOCSA%<escaped name>           line of any other form; they
//   %??SFREL=<guid>%<escaped text>    describe the whole file
//
// In a path, carriage return, line feed and "%" are written as "%0D",
// "%0A" and "%25" (writers here escape every control byte so; any "%" and
// two hexadecimal digits is read back as that byte). A raw carriage return just before the line feed (a file
// with CRLF line ends) belongs to the line end and is dropped. "%??" and
// "#" cannot begin a line of the plain form, so a plain collect file keeps
// its meaning.
//
// A line that cannot be decoded (a bad escape, an escaped NUL, any other
// raw carriage return, a relative path, an empty line, a line longer than
// kMaxLineBytes, an unknown or repeated marker, a bad marker value, a marker
// list without a path, a malformed '#' line, a directive after the first
// line of another form) is answered as a bad line so that the caller logs,
// counts and lists it; it never ends the file early, never yields a cut
// path and never yields an item whose markers were dropped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/Export.h"
#include "platform/text/OpenedFileIdentity.h"

// Markers of a collect line (bits of CollectLine::markers).
enum CollectMarker : uint32_t {
    kMarkerMac = 1u << 0,         // MAC       the item has AppleDouble data
    kMarkerPseudo = 1u << 1,      // PSEUDO    a pseudo item
    kMarkerAdHoc = 1u << 2,       // ADHOC     an ad-hoc item (hidden in browse)
    kMarkerMount = 1u << 3,       // MNT=n     mount-point index n (1 or more)
    kMarkerSub = 1u << 4,         // SUB       an item below that mount point
    kMarkerMountPath = 1u << 5,   // MNTPATH   a mount point sent as mount path
    kMarkerRaw = 1u << 6,         // RAW       a link to a raw device, read as one
    kMarkerDataSize = 1u << 7,    // DATASIZE  the header carries the data size
    kMarkerNoHardLink = 1u << 8,  // NOHL      no hard-link handling for the item
    kMarkerSalesforce = 1u << 9,  // SF=k      Salesforce item kind k (1 or more)
    kMarkerStub = 1u << 10,       // STUB      an early-stub candidate
    kMarkerDeleted = 1u << 11,    // DEL=k     a deleted item of kind k (1 to 7)
};

struct CollectLine {
    enum Kind : uint8_t { kPath, kHardLinkEntry };

    std::string path;        // decoded path (kLine)
    uint64_t offset = 0;     // byte offset of the line's start in the collect file
    std::string raw;         // the line as read (kBadLine; only its first
                             // kOverlongKeepBytes when over-long)
    uint64_t rawLength = 0;  // bytes of the whole line, without its line end
    std::string error;       // why the line is bad (kBadLine, kReadError)
    int errnum = 0;          // errno-style number for the failure (kBadLine, kReadError)

    // What a kLine line carries beside its path.
    Kind kind = kPath;
    uint32_t markers = 0;    // CollectMarker bits
    int mountIndex = 0;      // MNT=n
    int salesforceKind = 0;  // SF=k
    int deletedKind = 0;     // DEL=k
    // A hard-link collect entry: the file's identity as the scan saw it,
    // and whether it starts a new group (its inode and device differ from
    // those of the line right before it, when that line is an entry too).
    uint64_t inode = 0;
    uint64_t device = 0;
    int64_t ctime = 0;
    uint64_t size = 0;
    bool newGroup = false;
};

struct SalesforceRelation {
    std::string guid;
    std::string metadata;
};

// The directives of a collect file.
struct CollectDirectives {
    bool hbaseIncrementalSnapshot = false;  // %??HBASESNAPINCR%
    bool documentum = false;                // %??DOCSA%
    std::string documentumSAName;
    std::vector<SalesforceRelation> salesforceRelations;  // %??SFREL=
    // Changes (process-wide counter) whenever the set above changes or is
    // read afresh, so that a user can tell a new set from one it applied.
    uint64_t generation = 0;
};

class RUXEN_EXPORT CollectLineSource {
public:
    enum Result { kLine = 1, kEnd = 0, kBadLine = -1, kReadError = -2 };
    virtual ~CollectLineSource() = default;
    // The next item or bad line; directives and "# /" are passed over.
    virtual Result Next(CollectLine& line) = 0;
    // A name for log lines (the collect file's path).
    virtual const std::string& Name() const = 0;
    // The directives read so far; complete once the first item or bad line
    // has been answered. Null for a source without directives.
    virtual const CollectDirectives* Directives() const { return nullptr; }
};

// How the failures and results files name a bad line: its text as read
// (control bytes escaped: CR written "%0D", NUL "%00"), and, for a line that cannot be listed
// whole, a mark that no reader decodes into a path: "%00(empty line)", or
// the first kOverlongKeepBytes bytes and "%00(<n> bytes)" for an over-long
// line.
void AppendBadLineListing(const CollectLine& line, std::string& out);

class RUXEN_EXPORT CollectFileReader : public CollectLineSource {
public:
    static constexpr size_t kMaxLineBytes = 64 * 1024;
    static constexpr size_t kOverlongKeepBytes = 256;

    CollectFileReader();
    ~CollectFileReader() override;
    CollectFileReader(const CollectFileReader&) = delete;
    CollectFileReader& operator=(const CollectFileReader&) = delete;

    // Opens a collect file; false with errno and a message in *error.
    bool Open(const std::string& path, std::string* error);
    // Reads the open file `fd` (a duplicate of it; the caller keeps its
    // own), named `name` in messages. A file is read at this reader's own
    // offset, so other readers of the same descriptor are not disturbed; a
    // pipe is read as it comes.
    bool OpenDescriptor(int fd, const std::string& name, std::string* error);
    // Reads from memory (tests, fuzzing).
    void OpenMemory(const std::string& name, const std::string& content);
    // Positions the next read at the start of a line (restart). The
    // directives before that line are read again, and a hard-link entry at
    // the offset is a group's head exactly as when the file is read from its
    // start.
    bool Seek(uint64_t offset);
    void Close();

    Result Next(CollectLine& line) override;
    const std::string& Name() const override { return m_name; }
    const CollectDirectives* Directives() const override { return &m_directives; }
    // The text of the line Next answered last, as read (escapes and markers
    // kept), without its line end; of an over-long line only the first
    // kMaxLineBytes + 1 bytes. For callers that pass lines on unchanged.
    const std::string& LineText() const { return m_line; }
    // The offset of the next line to be read: once the file was read to its
    // end, its size (where a restart of it begins).
    uint64_t NextLineOffset() const { return m_bufOffset + m_begin; }
    // Once the file has been read: null while it is what it was when this
    // reader started on it (size, modification time, inode, and the file
    // its path names while that is the file read), else what differs
    // (ruxen::OpenedFileIdentity). Items of a collect file that shrank or
    // was rewritten meanwhile may be missing.
    const char* ChangedSinceOpen() const { return m_memory ? nullptr : m_identity.Changed(m_fd, m_name); }

private:
    enum Class { kItem, kBad, kPassOver, kDirective };

    // Takes the descriptor `fd` (closed on failure).
    RUXEN_HIDDEN bool Start(int fd, const std::string& name, std::string* error);
    // Fills the buffer; 0 at end, -1 on a read error.
    RUXEN_HIDDEN int Fill();
    // Assembles the next line into m_line (its offset and length into
    // `line`). kLine, kEnd or kReadError.
    RUXEN_HIDDEN Result ReadRaw(CollectLine& line);
    // Sorts the line in m_line; fills `line` for kItem and kBad.
    RUXEN_HIDDEN Class Classify(CollectLine& line);
    RUXEN_HIDDEN Class Directive(const char* p, size_t n, size_t close, CollectLine& line);
    RUXEN_HIDDEN Class Markers(const char* p, size_t n, size_t close, CollectLine& line);
    // Decodes an escaped absolute path into line.path.
    RUXEN_HIDDEN bool DecodePath(const char* p, size_t n, CollectLine& line, std::string& why);
    RUXEN_HIDDEN Class Bad(CollectLine& line, int errnum, const char* what, const std::string& detail);
    // Moves the read position without touching the directives.
    RUXEN_HIDDEN bool Position(uint64_t offset);
    // The line that ends right before `offset`; false when there is none.
    RUXEN_HIDDEN bool LineBefore(uint64_t offset, std::string& out);
    RUXEN_HIDDEN void ResetState();

    std::string m_name;
    int m_fd = -1;
    ruxen::OpenedFileIdentity m_identity;
    bool m_positional = false;  // read with pread at m_bufOffset
    bool m_memory = false;
    std::vector<char> m_buf;
    size_t m_begin = 0;
    size_t m_end = 0;
    uint64_t m_bufOffset = 0;  // file offset of m_buf[0]
    bool m_eof = false;
    std::string m_line;  // line being assembled across buffer refills
    std::string m_scratch;

    CollectDirectives m_directives;
    bool m_pastDirectives = false;  // a line of another form was read
    bool m_prevEntry = false;       // the previous line was a hard-link entry
    uint64_t m_prevInode = 0, m_prevDevice = 0;
};
