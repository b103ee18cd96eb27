// Checks an archive stream against the file system: each regular item is
// rebuilt from its data and hole records and compared, as the records go
// by, with the file at its header's path (size and every byte). Nothing is
// held in memory beyond one chunk: data is compared with what pread finds
// at the same offset, and a hole is compared with the file's bytes read in
// bounded chunks.
//
// An item that carries Mac properties (h_isHFS) is its data fork, which is
// compared with the file, followed by the resource fork and the 92-byte HFS
// properties block of its AppleDouble companion ("._name"), compared with the
// companion's entries as the reader delivers them (a missing or short
// properties entry as zeros).
//
// A path longer than PATH_MAX is opened by walking it down. An item sent
// under a long-path substitute name is compared at the real path its
// metadata record (159) carries.
//
// Besides the bytes, the names a hard-link group's item carries (records
// 149) must be links of the item, and the first of them stands in for the
// group's phony name, so that the group's data is compared too; and an
// optional header of ACLs and extended attributes must list what the
// item's path carries now (extended attributes of the "system." namespace
// other than the ACLs are not compared); an item without one must carry
// none (off CIFS, where the backup reads none).
//
// Lines written, one per finding:
//   MISMATCH <path>: <what differs>
//   FAILED <path>: end-of-item record 134          (not compared)
//   SKIPPED <path>: <why it cannot be compared>     (unless SetListSkipped(false))
// A hard-link member (bits 62 and 61, no data, its end-of-item record naming
// the group's phony name) is not compared itself: the group's data, sent
// under the phony name, is compared with the first member's file, which must
// be the inode and device the phony name gives; a member whose group data
// never comes is a MISMATCH when the stream ends.
//   ERROR record at offset <n>: <stream inconsistency>
//   ERROR stream <name>: <why the stream is not whole> (cut short, a
//         malformed record, an end record whose status is not 0)
// and a summary line from PrintSummary; every ERROR line is one stream
// error, so the count agrees with Ok(). Directories, links, devices and
// FIFOs are not compared.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "ruxen/ZXFileHeader.h"

class ArchiveVerifier {
public:
    static constexpr size_t kCompareChunk = 1024 * 1024;

    // Lines go to `out`; null discards them.
    explicit ArchiveVerifier(FILE* out);
    ~ArchiveVerifier();
    ArchiveVerifier(const ArchiveVerifier&) = delete;
    ArchiveVerifier& operator=(const ArchiveVerifier&) = delete;

    // Recorded path -> local path: each item is compared with the file at
    // its path mapped through the pair whose recorded path covers it on the
    // longest whole-component prefix; an item no pair covers is skipped.
    // No pairs (the default): the recorded path itself.
    void SetPathMap(const std::vector<std::pair<std::string, std::string>>& pairs);

    // A header record (host order). Null: a header that could not be
    // decoded; its records are passed over until its end-of-item record.
    void BeginItem(const ZXFileHeader* header, uint64_t offset);
    // A piece of a data record; `offset` is the record's stream offset.
    void Data(const char* bytes, size_t length, uint64_t offset);
    void Hole(uint64_t size, uint64_t offset);
    // A hard-link member name (record 149), without its NUL. With a path
    // map, a name no pair covers is a mismatch.
    void Member(std::string_view name, uint64_t offset);
    // The real path an item sent under a long-path substitute name carries
    // in its metadata (record 159): the item is compared with the file
    // there (through the path map), however long the path.
    void RealPath(std::string_view path, uint64_t offset);
    // An optional header's payload (the prefix taken off).
    void OptionalHeader(uint32_t type, const char* payload, size_t length, uint64_t offset);
    // End-of-item record: failed for type 134; text is its payload up to
    // the terminating NUL.
    void EndItem(bool failed, std::string_view text, uint64_t offset);
    // The stream ended (cleanly or not): an item still open is reported,
    // and, unless streams of one job are verified, members whose group data
    // never came.
    void StreamEnded(uint64_t offset);
    // The stream `name` is not whole, or its end record says it did not do
    // all it was given: one stream error. `what` is printed as it stands.
    void StreamFault(const std::string& name, const std::string& what);
    // The streams of one job, verified one after the other: a hard-link
    // group's data may travel in another stream than its members, so that
    // check waits for JobEnded.
    void SetStreamsOfOneJob(bool on) { m_oneJob = on; }
    void JobEnded();

    // Whether items passed over on purpose (hard-link members, deleted
    // items, stubs, ...) get their SKIPPED line; they are counted either way.
    void SetListSkipped(bool on) { m_listSkipped = on; }
    // A line ("STREAM <file>") printed before the next finding, once; the
    // next stream's heading replaces it, so a stream without findings
    // prints none.
    void SetStreamHeading(std::string heading) { m_heading = std::move(heading); }

    void PrintSummary();

    uint64_t Items() const { return m_items; }
    uint64_t Compared() const { return m_compared; }
    uint64_t Matched() const { return m_matched; }
    uint64_t Mismatched() const { return m_mismatched; }
    uint64_t Failed() const { return m_failed; }
    uint64_t NotCompared() const { return m_notCompared; }
    uint64_t StreamErrors() const { return m_streamErrors; }
    // Whether the stream and the file system agree.
    bool Ok() const { return m_mismatched == 0 && m_streamErrors == 0; }

private:
    void Heading();
    void Line(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Mismatch(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    bool OpenTarget();
    // Opens the item's AppleDouble companion and takes its resource fork's
    // place and the properties block; false with errno.
    bool OpenCompanion();
    // Up to `want` expected bytes at item offset `at`: the file's, or past
    // the data fork of an item with Mac properties, the companion's; 0 at
    // the end of what there is, -1 with errno.
    ssize_t ReadExpected(char* buf, size_t want, uint64_t at);
    // A recorded path through the path map; false when no pair covers it.
    bool ToLocal(std::string& path) const;
    void BeginGroupData();
    // The item sent no ACLs or extended attributes: its path must carry none.
    void CheckNoAclEntries();
    void CloseItem();
    // Compares `length` bytes at the item's position with `bytes`, or with
    // zeros when bytes is null.
    void Compare(const char* bytes, uint64_t length);

    FILE* m_out;
    bool m_oneJob = false;
    bool m_listSkipped = true;
    std::string m_heading;    // printed before the next finding
    std::vector<char> m_buf;  // file bytes read for a comparison
    std::string m_escaped;

    // The open item.
    bool m_inItem = false;
    bool m_undecoded = false;
    bool m_compare = false;  // a regular file whose bytes are checked
    const char* m_skipReason = nullptr;
    bool m_hardLink = false;
    bool m_nameIsPath = false;  // the header's name is the item's path (not a phony or substitute name)
    uint64_t m_ino = 0;
    uint32_t m_dev = 0;  // low 32 bits, as the header carries it
    bool m_isLink = false;
    bool m_aclUnchecked = false;  // an item by its path whose ACL optional header has not come
    std::string m_path;           // the file the item is compared with
    std::map<std::string, std::string> m_pathMap;
    int m_fd = -1;
    int m_openErrno = 0;
    bool m_opened = false;
    uint64_t m_pos = 0;         // bytes of the item rebuilt so far
    bool m_sawContent = false;  // data or hole records seen
    bool m_differs = false;     // a difference was reported; stop comparing
    bool m_fileEnded = false;   // the file is shorter than the stream

    // An item with Mac properties: its data fork size, and its companion.
    bool m_hfs = false;
    uint64_t m_dataSize = 0;
    int m_companionFd = -1;
    int m_companionErrno = 0;  // the companion could not be opened
    uint64_t m_rsrcOffset = 0, m_rsrcSize = 0;
    char m_hfsBlock[92] = {};

    // Hard-link groups by phony name: the first member that named it, and
    // whether its data came.
    struct Group {
        std::string member;
        bool dataSeen = false;
    };
    std::map<std::string, Group> m_groups;
    Group* m_group = nullptr;  // the group whose data the open item is
    uint64_t m_groupIno = 0, m_groupDev = 0;

    uint64_t m_items = 0;
    uint64_t m_compared = 0;
    uint64_t m_matched = 0;
    uint64_t m_mismatched = 0;
    uint64_t m_failed = 0;
    uint64_t m_notCompared = 0;
    uint64_t m_streamErrors = 0;
};
