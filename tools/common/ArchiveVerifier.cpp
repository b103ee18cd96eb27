#include "ArchiveVerifier.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

#include "AclForm.h"
#include "hardlinks/HardLinkMessages.h"
#include "platform/base/FdIO.h"
#include "platform/base/KxTypes.h"
#include "platform/base/ScopedFd.h"
#include "platform/os/KxACLHelper.h"
#include "platform/os/KxLongPathHandler.h"
#include "platform/os/UtfFileOps.h"
#include "platform/text/PathUtil.h"
#include "platform/text/PrintableText.h"
#include "reader/AppleDouble.h"

namespace {

using ruxen::ULL;

const char kPhonyReason[] = "hard-link group data under its phony name";
const char kLongPathReason[] = "long path sent under a substitute name, without its real path";

// The reader leaves out what the optional header cannot hold (E2BIG): the
// item's attributes are then more than any stream carries.
const char kLeftOut[] = "extended attributes too large for the optional header are not in the stream";

// File systems whose items the backup sends without ACLs or attributes.
constexpr __fsword_t kCifsMagic = static_cast<__fsword_t>(0xFF534D42);
constexpr __fsword_t kSmb2Magic = static_cast<__fsword_t>(0xFE534D42);

// Why a regular item's bytes on disk are not expected to equal its stream
// data; null when they are.
const char* SkipReason(const ZXFileHeader& h) {
    if (h.h_platform_flags & (ZX_HDR_FLAG_DELETED | ZX_HDR_FLAG_DELETED_KIND5))
        return "deleted item";
    if (h.h_platform_flags & ZX_HDR_FLAG_PSEUDO_ITEM)
        return "pseudo item";
    if (h.portable_flags & ZXFLAG_FAILED_ITEM)
        return "failed-item record";
    if ((h.h_platform_flags & ZX_HDR_FLAG_STUB) || (h.portable_flags & ZXFLAG_STUB))
        return "tiered-storage stub";
    if (h.portable_flags & ZXFLAG_HARDLINK_PHONY_NAME)
        return kPhonyReason;
    if (h.portable_flags & ZXFLAG_LONG_PATH_NAME)
        return kLongPathReason;  // until its real path comes
    return nullptr;
}

// ACL and attribute entries in one order, without the "system." attributes
// (the backup keeps those only with an option).
std::vector<std::string> Comparable(const std::vector<KxACL::Entry>& entries) {
    std::vector<std::string> out;
    for (const KxACL::Entry& e : entries)
        if (e.kind != KxACL::XATTR || e.name.compare(0, 7, "system.") != 0)
            out.push_back(std::to_string(e.kind) + " " + e.name + "=" + e.value);
    std::sort(out.begin(), out.end());
    return out;
}

// lstat(2), also for a path longer than PATH_MAX (walked down a component
// run at a time, as the backup reads such paths).
int LstatAnyLength(const std::string& path, struct stat* st) {
    KxLongPathHandler* longPaths = KxLongPathHandler::GetHandler();
    return longPaths ? longPaths->lstat_long(path.c_str(), st) : lstat(path.c_str(), st);
}

// Opens the regular file at `path` (fstat into `st`); -1 with errno, EINVAL
// when it is something else. A stream names any path: a device or FIFO there
// is never opened (a tape rewinds, a waiting writer would be woken), a final
// symbolic link never followed, and nothing blocks.
int OpenRegular(const std::string& path, struct stat* st) {
    if (path.empty() || LstatAnyLength(path, st) != 0)
        return -1;
    if (!S_ISREG(st->st_mode)) {
        errno = EINVAL;
        return -1;
    }
    const int flags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
    KxLongPathHandler* longPaths = KxLongPathHandler::GetHandler();
    ScopedFd fd(longPaths ? longPaths->open_long(path.c_str(), flags) : open(path.c_str(), flags));
    if (fd.valid() && (fstat(fd.get(), st) != 0 || !S_ISREG(st->st_mode))) {
        errno = EINVAL;
        return -1;
    }
    return fd.release();
}

}  // namespace

ArchiveVerifier::ArchiveVerifier(FILE* out) : m_out(out) {}

// The local side of each pair is configuration, named by whoever runs the
// check: it is resolved once here, as the backup resolves its map's local
// prefixes, so that below it files are opened by the walk's rule.
void ArchiveVerifier::SetPathMap(const std::vector<std::pair<std::string, std::string>>& pairs) {
    m_pathMap.clear();
    for (const auto& pair : pairs) {
        char* real = realpath(pair.second.c_str(), nullptr);
        m_pathMap.emplace(pair.first, real ? std::string(real) : pair.second);
        free(real);
    }
}

bool ArchiveVerifier::ToLocal(std::string& path) const {
    if (m_pathMap.empty())
        return true;
    auto it = PathUtil::LongestPrefixLookup(m_pathMap, path);
    if (it == m_pathMap.end())
        return false;
    path = PathUtil::Join(it->second, PathUtil::Remainder(it->first, path));
    return true;
}

ArchiveVerifier::~ArchiveVerifier() { CloseItem(); }

void ArchiveVerifier::Heading() {
    if (!m_heading.empty()) {
        fprintf(m_out, "%s\n", m_heading.c_str());
        m_heading.clear();
    }
}

void ArchiveVerifier::Line(const char* fmt, ...) {
    if (!m_out)
        return;
    Heading();
    va_list ap;
    va_start(ap, fmt);
    vfprintf(m_out, fmt, ap);
    va_end(ap);
    fputc('\n', m_out);
}

void ArchiveVerifier::Mismatch(const char* fmt, ...) {
    if (!m_differs)
        ++m_mismatched;
    m_differs = true;
    if (!m_out)
        return;
    Heading();
    fprintf(m_out, "MISMATCH %s: ", m_escaped.c_str());
    va_list ap;
    va_start(ap, fmt);
    vfprintf(m_out, fmt, ap);
    va_end(ap);
    fputc('\n', m_out);
}

void ArchiveVerifier::BeginItem(const ZXFileHeader* header, uint64_t offset) {
    if (m_inItem) {
        if (m_compare) {
            Mismatch("no end-of-item record before the next header at offset %llu", ULL(offset));
            ++m_compared;
        } else {
            Line("ERROR record at offset %llu: header while the item [%s] has no end-of-item record", ULL(offset),
                 m_escaped.c_str());
            ++m_streamErrors;
        }
        CloseItem();
    }
    ++m_items;
    m_inItem = true;
    m_undecoded = header == nullptr;
    m_compare = false;
    m_skipReason = nullptr;
    m_hardLink = false;
    m_pos = 0;
    m_sawContent = m_differs = m_fileEnded = false;
    m_opened = false;
    m_openErrno = m_companionErrno = 0;
    m_hfs = false;
    m_path.clear();
    m_escaped.clear();
    if (!header) {
        m_escaped = "(undecodable header)";
        return;
    }
    // The decoder guarantees a NUL inside the name area.
    m_path.assign(header->h_filename, strnlen(header->h_filename, sizeof(header->h_filename)));
    ruxen::AppendPrintable(m_escaped, m_path.data(), m_path.size());
    m_ino = (static_cast<uint64_t>(header->h_ino_high) << 32) | header->h_ino_low;
    m_dev = header->h_dev;
    m_isLink = S_ISLNK(static_cast<mode_t>(header->h_mode));
    m_nameIsPath = !(header->portable_flags & (ZXFLAG_HARDLINK_PHONY_NAME | ZXFLAG_LONG_PATH_NAME)) &&
                   !(header->h_platform_flags & (ZX_HDR_FLAG_DELETED | ZX_HDR_FLAG_DELETED_KIND5));
    const bool mapped = !m_nameIsPath || ToLocal(m_path);
    m_nameIsPath = m_nameIsPath && mapped;
    m_aclUnchecked = m_nameIsPath && !(header->h_platform_flags & ZX_HDR_FLAG_PSEUDO_ITEM);
    if (!S_ISREG(static_cast<mode_t>(header->h_mode)))
        return;
    m_skipReason = SkipReason(*header);
    if (!m_skipReason && !mapped)
        m_skipReason = "no pair of the path map covers it";
    m_hardLink = (header->h_platform_flags & ZX_HDR_FLAG_HARDLINK_BOTH) == ZX_HDR_FLAG_HARDLINK_BOTH;
    m_compare = m_skipReason == nullptr;
    m_hfs = header->h_isHFS != 0;
    m_dataSize = header->h_datasize;
    if (m_skipReason == kPhonyReason)
        BeginGroupData();
}

void ArchiveVerifier::BeginGroupData() {
    // The data of a hard-link group: compared with the file of a member
    // that named the group, which must be the group's inode.
    m_group = &m_groups[m_path];
    m_group->dataSeen = true;
    unsigned long long ino = 0, dev = 0;
    long long ctime = 0;
    int end = 0;
    const size_t prefix = strlen(kPhonyNamePrefix);
    if (m_path.compare(0, prefix, kPhonyNamePrefix) != 0 ||
        sscanf(m_path.c_str() + prefix, "%llu_%llu_%lld%n", &ino, &dev, &ctime, &end) != 3 ||
        m_path.size() != prefix + static_cast<size_t>(end)) {
        m_group = nullptr;
        m_skipReason = "a hard-link phony name that does not decode";
        return;
    }
    if (m_group->member.empty()) {
        m_group = nullptr;  // its member names (149) may still come
        return;
    }
    m_skipReason = nullptr;
    m_compare = m_nameIsPath = true;
    m_groupIno = ino;
    m_groupDev = dev;
    m_escaped += " (as ";
    ruxen::AppendPrintable(m_escaped, m_group->member.data(), m_group->member.size());
    m_escaped += ")";
    m_path = m_group->member;
}

bool ArchiveVerifier::OpenTarget() {
    if (m_opened)
        return m_fd >= 0;
    m_opened = true;
    struct stat st;
    m_fd = OpenRegular(m_path, &st);
    if (m_fd < 0) {
        m_openErrno = errno;
        return false;
    }
    if (m_group && (st.st_ino != m_groupIno || st.st_dev != m_groupDev)) {
        close(m_fd);
        m_fd = -1;
        m_openErrno = EINVAL;
        return false;
    }
    if (m_hfs && !OpenCompanion()) {
        m_companionErrno = errno;
        close(m_fd);
        m_fd = -1;
        return false;
    }
    return true;
}

bool ArchiveVerifier::OpenCompanion() {
    const std::string name = KX_DFMF_NAME(m_path.c_str());
    struct stat st;
    m_companionFd = OpenRegular(name, &st);
    if (m_companionFd < 0)
        return false;
    // As the reader takes it: a table it cannot read has no entries.
    AppleDouble table;
    if (table.Read(m_companionFd, AppleDouble::kMaxEntries) != AppleDouble::kOk)
        table = AppleDouble();
    const AppleDouble::Entry* rsrc = table.Find(HFS_RESOURCE_FORK);
    m_rsrcOffset = rsrc ? rsrc->offset : 0;
    m_rsrcSize = rsrc ? rsrc->length : 0;
    memset(m_hfsBlock, 0, sizeof(m_hfsBlock));
    const struct {
        uint32_t id;
        size_t at, size;
    } parts[] = {{HFS_PROPERTIES, 0, AppleDouble::kPropertiesSize},
                 {HFS_FINDER_INFO, AppleDouble::kPropertiesSize, AppleDouble::kFinderInfoSize}};
    for (const auto& p : parts)
        if (const AppleDouble::Entry* e = table.Find(p.id))
            ruxen::preadFull(m_companionFd, m_hfsBlock + p.at, std::min<size_t>(p.size, e->length), e->offset);
    return true;
}

ssize_t ArchiveVerifier::ReadExpected(char* buf, size_t want, uint64_t at) {
    if (!m_hfs)
        return pread(m_fd, buf, want, static_cast<off_t>(at));
    const uint64_t rsrcEnd = m_dataSize + m_rsrcSize, end = rsrcEnd + sizeof(m_hfsBlock);
    if (at < m_dataSize)
        return pread(m_fd, buf, std::min<uint64_t>(want, m_dataSize - at), static_cast<off_t>(at));
    if (at < rsrcEnd)
        return pread(m_companionFd, buf, std::min<uint64_t>(want, rsrcEnd - at),
                     static_cast<off_t>(m_rsrcOffset + at - m_dataSize));
    const size_t n = static_cast<size_t>(std::min<uint64_t>(want, at < end ? end - at : 0));
    memcpy(buf, m_hfsBlock + (at - rsrcEnd), n);
    return static_cast<ssize_t>(n);
}

void ArchiveVerifier::Compare(const char* bytes, uint64_t length) {
    uint64_t start = m_pos;
    m_pos += length;
    if (!m_compare || m_differs || m_fileEnded)
        return;
    if (!OpenTarget())
        return;  // reported at the end of the item
    if (m_buf.size() < kCompareChunk)
        m_buf.resize(kCompareChunk);
    uint64_t done = 0;
    if (!bytes) {
        // The file's own holes read as zeros: skip to its next data.
        off_t next = lseek(m_fd, static_cast<off_t>(start), SEEK_DATA);
        if (next < 0 && errno == ENXIO) {
            struct stat st;
            if (fstat(m_fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < start + length)
                m_fileEnded = true;
            return;
        }
        if (next > static_cast<off_t>(start))
            done = std::min<uint64_t>(static_cast<uint64_t>(next) - start, length);
    }
    while (done < length) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(length - done, kCompareChunk));
        ssize_t n = ReadExpected(m_buf.data(), want, start + done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Mismatch("read error at offset %llu: %s", ULL(start + done), strerror(errno));
            return;
        }
        if (n == 0) {
            m_fileEnded = true;  // the size check at the end of the item reports it
            return;
        }
        size_t got = static_cast<size_t>(n);
        const char* file = m_buf.data();
        for (size_t i = 0; i < got; ++i) {
            char expect = bytes ? bytes[done + i] : 0;
            if (file[i] != expect) {
                if (bytes)
                    Mismatch("byte at offset %llu differs (stream 0x%02x, file 0x%02x)", ULL(start + done + i),
                             static_cast<unsigned char>(expect), static_cast<unsigned char>(file[i]));
                else
                    Mismatch("byte at offset %llu inside a hole is 0x%02x, not zero", ULL(start + done + i),
                             static_cast<unsigned char>(file[i]));
                return;
            }
        }
        done += got;
    }
}

void ArchiveVerifier::Data(const char* bytes, size_t length, uint64_t offset) {
    if (!m_inItem) {
        Line("ERROR record at offset %llu: data outside an item", ULL(offset));
        ++m_streamErrors;
        return;
    }
    m_sawContent = true;
    Compare(bytes, length);
}

void ArchiveVerifier::Hole(uint64_t size, uint64_t offset) {
    if (!m_inItem) {
        Line("ERROR record at offset %llu: hole outside an item", ULL(offset));
        ++m_streamErrors;
        return;
    }
    m_sawContent = true;
    Compare(nullptr, size);
}

void ArchiveVerifier::Member(std::string_view name, uint64_t offset) {
    if (!m_inItem) {
        Line("ERROR record at offset %llu: hard-link member name outside an item", ULL(offset));
        ++m_streamErrors;
        return;
    }
    if (m_undecoded)
        return;
    std::string member(name);
    // A member name is recorded like the item's: one no pair covers was
    // sent under another name than the headers use.
    const bool mapped = ToLocal(member);
    struct stat st;
    if (!mapped || LstatAnyLength(member, &st) != 0 || st.st_ino != m_ino ||
        static_cast<uint32_t>(st.st_dev) != m_dev) {
        std::string shown;
        ruxen::AppendPrintable(shown, member.data(), member.size());
        Mismatch(mapped ? "hard-link member [%s] is not a link of the item"
                        : "hard-link member [%s] lies under no pair of the path map",
                 shown.c_str());
        return;
    }
    // The group's data is compared with its first member.
    if (m_skipReason == kPhonyReason && !m_sawContent) {
        m_path = member;
        m_skipReason = nullptr;
        m_compare = m_nameIsPath = true;
    }
}

void ArchiveVerifier::RealPath(std::string_view path, uint64_t offset) {
    if (!m_inItem) {
        Line("ERROR record at offset %llu: real path outside an item", ULL(offset));
        ++m_streamErrors;
        return;
    }
    // Only an item sent under a substitute name is compared at its real
    // path, and only before its bytes began.
    if (m_undecoded || m_skipReason != kLongPathReason || m_sawContent)
        return;
    m_path.assign(path.data(), path.size());
    m_escaped += " (as ";
    ruxen::AppendPrintable(m_escaped, m_path.data(), m_path.size());
    m_escaped += ")";
    if (!ToLocal(m_path)) {
        m_skipReason = "no pair of the path map covers it";
        return;
    }
    m_skipReason = nullptr;
    m_compare = true;
}

void ArchiveVerifier::OptionalHeader(uint32_t type, const char* payload, size_t length, uint64_t offset) {
    if (!m_inItem) {
        Line("ERROR record at offset %llu: optional header outside an item", ULL(offset));
        ++m_streamErrors;
        return;
    }
    if (m_undecoded || !m_nameIsPath || type != KxACL::kOptHeaderType)
        return;
    m_aclUnchecked = false;
    std::vector<KxACL::Entry> sent;
    const char* why = nullptr;
    if (!AclForm::Decode(payload, length, &sent, &why)) {
        Mismatch("optional header: %s", why);
        return;
    }
    struct stat st;
    std::unique_ptr<KxACL::Helper> now = KxACL::Helper::getInstance();
    if (lstat(m_path.c_str(), &st) != 0 || now->getacl(m_path.c_str(), m_isLink, st) != 0) {
        Mismatch("cannot read the ACLs and extended attributes: %s",
                 now->getLastErrno() ? now->getLastError().c_str() : strerror(errno));
        return;
    }
    if (now->getLastErrno() == E2BIG)
        Mismatch(kLeftOut);
    else if (Comparable(sent) != Comparable(now->Entries()))
        Mismatch("ACLs or extended attributes differ from the optional header");
}

void ArchiveVerifier::CheckNoAclEntries() {
    m_aclUnchecked = false;
    struct stat st;
    struct statfs fs;
    std::unique_ptr<KxACL::Helper> now = KxACL::Helper::getInstance();
    // A path that cannot be read has nothing to compare (a regular file's
    // own comparison says so).
    if (lstat(m_path.c_str(), &st) != 0 || now->getacl(m_path.c_str(), m_isLink, st) != 0 ||
        (Comparable(now->Entries()).empty() && now->getLastErrno() != E2BIG))
        return;
    if (statfs(m_path.c_str(), &fs) == 0 && (fs.f_type == kCifsMagic || fs.f_type == kSmb2Magic))
        return;
    Mismatch(now->getLastErrno() == E2BIG ? kLeftOut : "ACLs or extended attributes are not in the stream");
}

void ArchiveVerifier::EndItem(bool failed, std::string_view text, uint64_t offset) {
    if (!m_inItem) {
        Line("ERROR record at offset %llu: end of item without a header", ULL(offset));
        ++m_streamErrors;
        return;
    }
    if (!failed && m_aclUnchecked)
        CheckNoAclEntries();
    if (failed) {
        ++m_failed;
        Line("FAILED %s: end-of-item record 134", m_escaped.c_str());
    } else if (m_compare && m_hardLink && !m_sawContent && !text.empty()) {
        // A hard-link member whose data travels with its group: the text
        // names where.
        std::string where;
        ruxen::AppendPrintable(where, text.data(), text.size());
        ++m_notCompared;
        if (m_listSkipped)
            Line("SKIPPED %s: hard link, data sent as [%s]", m_escaped.c_str(), where.c_str());
        if (text.compare(0, strlen(kPhonyNamePrefix), kPhonyNamePrefix) == 0) {
            Group& g = m_groups[std::string(text)];
            if (g.member.empty())
                g.member = m_path;
        }
    } else if (m_compare) {
        ++m_compared;
        if (!OpenTarget()) {
            if (m_companionErrno)
                Mismatch("cannot open its AppleDouble companion: %s", strerror(m_companionErrno));
            else
                Mismatch("cannot open: %s", m_openErrno != EINVAL ? strerror(m_openErrno)
                                            : m_group             ? "not the file of its hard-link group"
                                                                  : "not a regular file");
        } else {
            struct stat st;
            if (fstat(m_fd, &st) != 0) {
                Mismatch("cannot stat: %s", strerror(errno));
            } else if (m_hfs && (static_cast<uint64_t>(st.st_size) != m_dataSize ||
                                 m_pos != m_dataSize + m_rsrcSize + sizeof(m_hfsBlock))) {
                Mismatch("size differs (stream %llu bytes, file %llu bytes, resource fork %llu bytes and 92)",
                         ULL(m_pos), ULL(static_cast<uint64_t>(st.st_size)), ULL(m_rsrcSize));
            } else if (!m_hfs && static_cast<uint64_t>(st.st_size) != m_pos) {
                // Reported besides a byte difference; the item counts once.
                Mismatch("size differs (stream %llu bytes, file %llu bytes)", ULL(m_pos),
                         ULL(static_cast<uint64_t>(st.st_size)));
            }
        }
        if (!m_differs)
            ++m_matched;
    } else if (m_skipReason) {
        ++m_notCompared;
        if (m_listSkipped)
            Line("SKIPPED %s: %s", m_escaped.c_str(), m_skipReason);
    } else {
        ++m_notCompared;  // not a regular file, or an undecodable header
    }
    CloseItem();
}

void ArchiveVerifier::StreamEnded(uint64_t offset) {
    if (m_inItem) {
        if (m_compare) {
            ++m_compared;
            Mismatch("the stream ends at offset %llu before its end-of-item record", ULL(offset));
        } else {
            Line("ERROR record at offset %llu: the stream ends inside the item [%s]", ULL(offset), m_escaped.c_str());
            ++m_streamErrors;
        }
        CloseItem();
    }
    if (!m_oneJob)
        JobEnded();
}

void ArchiveVerifier::StreamFault(const std::string& name, const std::string& what) {
    std::string shown;  // an item may still be open: its name stays
    ruxen::AppendPrintable(shown, name.data(), name.size());
    Line("ERROR stream %s: %s", shown.c_str(), what.c_str());
    ++m_streamErrors;
}

void ArchiveVerifier::JobEnded() {
    if (m_oneJob)
        m_heading.clear();  // these findings are the job's, not its last stream's
    // Members whose group data never came: their bytes are not in the stream.
    for (const auto& g : m_groups) {
        if (g.second.dataSeen || g.second.member.empty())
            continue;
        m_escaped.clear();
        ruxen::AppendPrintable(m_escaped, g.second.member.data(), g.second.member.size());
        m_differs = false;
        Mismatch("the data of its hard-link group [%s] is not in the stream", g.first.c_str());
    }
    m_groups.clear();
}

void ArchiveVerifier::CloseItem() {
    if (m_fd >= 0)
        close(m_fd);
    if (m_companionFd >= 0)
        close(m_companionFd);
    m_fd = m_companionFd = -1;
    m_group = nullptr;
    m_inItem = false;
}

void ArchiveVerifier::PrintSummary() {
    m_heading.clear();  // a stream's heading goes only before its findings
    Line(
        "verify: %llu items, %llu compared, %llu matched, %llu mismatched, %llu failed, %llu not "
        "compared, %llu stream errors",
        ULL(m_items), ULL(m_compared), ULL(m_matched), ULL(m_mismatched), ULL(m_failed), ULL(m_notCompared),
        ULL(m_streamErrors));
}
