// Access-control lists and extended attributes of one item, for the item's
// optional header (record 129).
//
// getacl reads, for an item that is not a symbolic link, its POSIX access
// ACL (when it says more than the mode bits) and, for a directory, its
// default ACL, through libacl; and its extended attributes without
// following links. With an open descriptor the reads go through it
// (flistxattr, fgetxattr, acl_get_fd); with an O_PATH descriptor of the item
// (getaclRef: directories, links and devices, which the reader does not
// open) through its /proc/self/fd name, which lands on the item itself
// without opening it; otherwise by name (llistxattr, lgetxattr,
// acl_get_file). The attribute list is read first: most items
// have none, which costs that one call, and libacl is asked only when the
// list names an ACL (or the list could not be had). The ACL attributes
// ("system.posix_acl_*") travel as ACL entries, never as attributes; other
// "system." attributes only with OPT_SYSTEM_XATTRS.
//
// A file system that supports neither (ENOTSUP/EOPNOTSUPP) gives an item
// without entries, not a failure; so does an attribute that went away
// between list and read. An attribute whose entry would make the form
// larger than kMaxNetworkBufferSize (with the entries read before it) is left
// out, later ones that fit are kept, and getacl still succeeds with
// getLastErrno() E2BIG, so the caller can say so.
//
// The network form, all numbers network order:
//
//   u32 version (1)
//   u32 entry count
//   per entry:
//     u8  kind: 1 access ACL, 2 default ACL, 3 extended attribute
//     u16 name length (0 for ACLs)
//     u32 value length
//     name bytes (an attribute's full name, "user.comment")
//     value bytes (an ACL: its short text with numeric ids,
//                  "u::rw-,u:1000:r--,g::r--,m::r--,o::r--"; an attribute:
//                  its raw value)
//
// An item without entries has no form: getNetworkBufferSize() is 0.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace KxACL {

enum EntryKind : uint8_t { ACCESS_ACL = 1, DEFAULT_ACL = 2, XATTR = 3 };

// Process-wide option bits (SetOptions).
enum Option : unsigned {
    OPT_NO_ACL = 1,          // read no ACLs
    OPT_NO_XATTR = 2,        // read no extended attributes
    OPT_SYSTEM_XATTRS = 16,  // keep "system." attributes other than the ACLs
};

// The optional-header type of the form.
constexpr uint32_t kOptHeaderType = 1;
constexpr uint32_t kFormVersion = 1;
constexpr size_t kFormHeaderSize = 8;
constexpr size_t kEntryHeaderSize = 7;
// The largest form one optional header carries.
constexpr size_t kMaxNetworkBufferSize = 61439;

struct Entry {
    EntryKind kind;
    std::string name;
    std::string value;
};

class Helper {
public:
    // A new helper for one item. The first call of the process tests whether
    // the ACL and attribute calls work at all (isAclSupported).
    static std::unique_ptr<Helper> getInstance();
    // False when neither ACLs nor extended attributes can be read on "/":
    // getLastError() of an instance then says why.
    static bool isAclSupported();
    static void SetOptions(unsigned options);
    static unsigned GetOptions();
    // ENOTSUP / EOPNOTSUPP: the file system has no such thing.
    static bool IsNotSupported(int err);

    int getLastErrno() const { return m_errno; }
    const std::string& getLastError() const { return m_error; }
    uint32_t getOptHeaderType() const { return kOptHeaderType; }

    // Reads the item's entries (replacing earlier ones). 0, or -1 with
    // getLastErrno() and getLastError() set.
    int getacl(const char* name, bool isLink, const struct stat& st, int fd = -1);
    // The same through `ref`, an O_PATH descriptor of the item; `name` names
    // it in messages. A negative `ref` is a failed open of it: the call fails
    // with errno as that open left it.
    int getaclRef(const char* name, bool isLink, const struct stat& st, int ref);
    // After a failed getacl: whether the failure is the item's own to
    // report. Not for an item that vanished (its data read reports that) or
    // a missing feature.
    bool shouldReportError() const;
    // Adds an extended attribute that the item does not carry on disk (or
    // replaces its value). 0, or -1 with EINVAL (empty name, longer than 255
    // bytes) or E2BIG (too large for the form).
    int InjectOneXATTRInToBackupStream(const std::string& name, const std::string& value);

    const std::vector<Entry>& Entries() const { return m_entries; }
    // Bytes of the network form; 0 when there is nothing to keep.
    int getNetworkBufferSize() const;
    // Writes the form; its length, or -1 (ENOBUFS) when capacity is short,
    // with nothing written.
    int toNetworkBuffer(void* buffer, unsigned capacity);

    // The access ACL of a path as long text with names ("user::rw-\n..."),
    // through `ref` (an O_PATH descriptor of it) when one is given.
    int getAclText(const char* path, std::string* text, int ref = -1);

    struct Target;  // how the calls reach the item

private:
    Helper() = default;
    int Fail(int err, const char* call, const char* name);
    int Read(const Target& t, const char* name, bool isLink, const struct stat& st);
    int ReadAcl(const Target& t, const char* name, bool isDefault);
    int ReadXattr(const Target& t, const char* name, const char* attr);
    void Add(EntryKind kind, std::string name, std::string value);

    std::vector<Entry> m_entries;
    size_t m_formSize = 0;  // entry bytes, header not counted
    int m_errno = 0;
    std::string m_error;
};

}  // namespace KxACL
