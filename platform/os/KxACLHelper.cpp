#include "platform/os/KxACLHelper.h"

#include <acl/libacl.h>
#include <sys/acl.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <type_traits>

#include "platform/agent/KxLog.h"
#include "platform/base/Coding.h"
#include "platform/base/TestControl.h"
#include "platform/os/DirWalk.h"

namespace KxACL {

namespace {

constexpr char kAccessAttr[] = "system.posix_acl_access";
constexpr char kDefaultAttr[] = "system.posix_acl_default";
constexpr size_t kMaxNameLength = 255;
constexpr size_t kStackBytes = 1024;

int g_supported = -1;  // -1 not yet tested
std::string g_supportReason;
constexpr char kProbePath[] = "/";  // where ACL support is probed
unsigned g_options = 0;

struct AclDeleter {
    void operator()(void* p) const { acl_free(p); }
};
using AclPtr = std::unique_ptr<std::remove_pointer_t<acl_t>, AclDeleter>;
using AclText = std::unique_ptr<char, AclDeleter>;

}  // namespace

// How the calls reach the item: through an open descriptor, or by a path,
// followed (the /proc name of an O_PATH descriptor) or not (the item's own).
struct Helper::Target {
    int fd;
    const char* path;
    bool follow;
};

namespace {

ssize_t List(const Helper::Target& t, char* buf, size_t size) {
    return t.fd >= 0  ? flistxattr(t.fd, buf, size)
           : t.follow ? listxattr(t.path, buf, size)
                      : llistxattr(t.path, buf, size);
}

ssize_t Get(const Helper::Target& t, const char* attr, char* buf, size_t size) {
    return t.fd >= 0  ? fgetxattr(t.fd, attr, buf, size)
           : t.follow ? getxattr(t.path, attr, buf, size)
                      : lgetxattr(t.path, attr, buf, size);
}

const char* CallName(const Helper::Target& t, const char* fdCall, const char* followCall, const char* nameCall) {
    return t.fd >= 0 ? fdCall : t.follow ? followCall : nameCall;
}

// Calls read(buf, size) into the stack buffer, and on ERANGE asks for the
// size (read(nullptr, 0)) and retries in `heap`: the answer's bytes are at
// *out. A value that keeps growing between the calls is retried a few
// times.
template <class Read>
ssize_t ReadGrowing(Read read, char* stack, std::vector<char>& heap, const char** out) {
    ssize_t n = read(stack, kStackBytes);
    *out = stack;
    for (int attempt = 0; n < 0 && errno == ERANGE && attempt < 4; ++attempt) {
        ssize_t want = read(nullptr, 0);
        if (want < 0)
            return want;
        heap.resize(static_cast<size_t>(want) + 256);
        n = read(heap.data(), heap.size());
        *out = heap.data();
    }
    return n;
}

bool Ignorable(int err) { return Helper::IsNotSupported(err) || err == ENODATA; }

}  // namespace

bool Helper::IsNotSupported(int err) { return err == ENOTSUP || err == EOPNOTSUPP; }

std::unique_ptr<Helper> Helper::getInstance() {
    std::unique_ptr<Helper> h(new Helper());
    if (g_supported < 0) {
        const char* p = kProbePath;
        AclPtr acl(acl_get_file(p, ACL_TYPE_ACCESS));
        int aclErr = acl ? 0 : errno;
        int listErr = llistxattr(p, nullptr, 0) < 0 ? errno : 0;
        g_supported = IsNotSupported(aclErr) && IsNotSupported(listErr) ? 0 : 1;
        if (!g_supported)
            g_supportReason = std::string("no ACLs or extended attributes on ") + p + ": " + strerror(aclErr);
    }
    if (!g_supported)
        h->m_error = g_supportReason;
    return h;
}

bool Helper::isAclSupported() { return g_supported != 0; }

void Helper::SetOptions(unsigned options) { g_options = options; }

unsigned Helper::GetOptions() { return g_options; }

int Helper::Fail(int err, const char* call, const char* name) {
    m_errno = err;
    m_error = std::string(call) + "(" + name + "): " + strerror(err);
    errno = err;
    return -1;
}

bool Helper::shouldReportError() const {
    return m_errno != 0 && !IsNotSupported(m_errno) && m_errno != ENODATA && m_errno != ENOENT;
}

void Helper::Add(EntryKind kind, std::string name, std::string value) {
    // Against what the form already holds: attributes that fit one by one
    // may not fit together, and a form past the limit would lose them all.
    size_t size = kEntryHeaderSize + name.size() + value.size();
    if (kFormHeaderSize + m_formSize + size > kMaxNetworkBufferSize) {
        KXLOG(1, "%s of %zu bytes is too large to keep", name.empty() ? "ACL" : name.c_str(), value.size());
        m_errno = E2BIG;
        m_error = "some extended attributes are too large to keep";
        return;
    }
    m_formSize += size;
    m_entries.push_back(Entry{kind, std::move(name), std::move(value)});
}

int Helper::ReadAcl(const Target& t, const char* name, bool isDefault) {
    const bool byFd = t.fd >= 0 && !isDefault;
    AclPtr acl(byFd ? acl_get_fd(t.fd) : acl_get_file(t.path, isDefault ? ACL_TYPE_DEFAULT : ACL_TYPE_ACCESS));
    if (!acl) {
        if (Ignorable(errno))
            return 0;
        return Fail(errno, isDefault ? "acl_get_file(default)" : byFd ? "acl_get_fd" : "acl_get_file", name);
    }
    // An access ACL that only restates the mode bits, and an empty default
    // ACL, are nothing to keep.
    if (isDefault ? acl_entries(acl.get()) <= 0 : acl_equiv_mode(acl.get(), nullptr) == 0)
        return 0;
    AclText text(acl_to_any_text(acl.get(), nullptr, ',', TEXT_ABBREVIATE | TEXT_NUMERIC_IDS));
    if (!text)
        return Fail(errno, "acl_to_any_text", name);
    Add(isDefault ? DEFAULT_ACL : ACCESS_ACL, std::string(), text.get());
    return 0;
}

int Helper::ReadXattr(const Target& t, const char* name, const char* attr) {
    char stack[kStackBytes];
    std::vector<char> heap;
    const char* value;
    ssize_t n = ReadGrowing([&](char* b, size_t s) { return Get(t, attr, b, s); }, stack, heap, &value);
    if (n < 0) {
        if (Ignorable(errno))
            return 0;
        if (errno == E2BIG) {  // larger than the kernel hands out
            KXLOG(1, "extended attribute %s of %s is too large to read", attr, name);
            m_errno = E2BIG;
            return 0;
        }
        return Fail(errno, CallName(t, "fgetxattr", "getxattr", "lgetxattr"), name);
    }
    Add(XATTR, attr, std::string(value, static_cast<size_t>(n)));
    return 0;
}

int Helper::getacl(const char* name, bool isLink, const struct stat& st, int fd) {
    return Read(Target{fd, name, false}, name, isLink, st);
}

int Helper::getaclRef(const char* name, bool isLink, const struct stat& st, int ref) {
    if (ref < 0) {
        m_entries.clear();
        m_formSize = 0;
        return Fail(errno, "open", name ? name : "(null)");
    }
    const ruxen::ProcFdPath proc(ref);
    return Read(Target{-1, proc.c_str(), true}, name, isLink, st);
}

int Helper::Read(const Target& t, const char* name, bool isLink, const struct stat& st) {
    m_entries.clear();
    m_formSize = 0;
    m_errno = 0;
    m_error.clear();
    if (!name)
        return Fail(EINVAL, "getacl", "(null)");
    char stack[kStackBytes];
    std::vector<char> heap;
    const char* list;
    ssize_t n = ReadGrowing([&](char* b, size_t s) { return List(t, b, s); }, stack, heap, &list);
    bool listed = n >= 0;
    if (!listed) {
        if (!IsNotSupported(errno))
            return Fail(errno, CallName(t, "flistxattr", "listxattr", "llistxattr"), name);
        n = 0;
    }
    bool hasAccess = !listed, hasDefault = !listed;
    for (const char* a = list; a < list + n; a += strlen(a) + 1) {
        hasAccess |= strcmp(a, kAccessAttr) == 0;
        hasDefault |= strcmp(a, kDefaultAttr) == 0;
    }
    const unsigned opts = g_options;
    if (!(opts & OPT_NO_ACL) && !isLink) {
        if (hasAccess && ReadAcl(t, name, false) != 0)
            return -1;
        if (hasDefault && S_ISDIR(st.st_mode) && ReadAcl(t, name, true) != 0)
            return -1;
    }
    if (opts & OPT_NO_XATTR)
        return 0;
    for (const char* a = list; a < list + n; a += strlen(a) + 1) {
        if (strcmp(a, kAccessAttr) == 0 || strcmp(a, kDefaultAttr) == 0)
            continue;
        if (strncmp(a, "system.", 7) == 0 && !(opts & OPT_SYSTEM_XATTRS))
            continue;
        if (ReadXattr(t, name, a) != 0)
            return -1;
    }
    return 0;
}

int Helper::InjectOneXATTRInToBackupStream(const std::string& name, const std::string& value) {
    if (name.empty() || name.size() > kMaxNameLength || name.find('\0') != std::string::npos)
        return Fail(EINVAL, "InjectOneXATTRInToBackupStream", name.c_str());
    for (Entry& e : m_entries) {
        if (e.kind == XATTR && e.name == name) {
            size_t grown = m_formSize - e.value.size() + value.size();
            if (kFormHeaderSize + grown > kMaxNetworkBufferSize)
                return Fail(E2BIG, "InjectOneXATTRInToBackupStream", name.c_str());
            m_formSize = grown;
            e.value = value;
            return 0;
        }
    }
    if (kFormHeaderSize + m_formSize + kEntryHeaderSize + name.size() + value.size() > kMaxNetworkBufferSize)
        return Fail(E2BIG, "InjectOneXATTRInToBackupStream", name.c_str());
    Add(XATTR, name, value);
    return 0;
}

int Helper::getNetworkBufferSize() const {
    return m_entries.empty() ? 0 : static_cast<int>(kFormHeaderSize + m_formSize);
}

int Helper::toNetworkBuffer(void* buffer, unsigned capacity) {
    int size = getNetworkBufferSize();
    if (size == 0)
        return 0;
    if (!buffer || capacity < static_cast<unsigned>(size))
        return Fail(ENOBUFS, "toNetworkBuffer", "");
    ruxen::NetWriter w(static_cast<char*>(buffer));
    w.U32(kFormVersion).U32(static_cast<uint32_t>(m_entries.size()));
    for (const Entry& e : m_entries) {
        w.U8(e.kind).U16(static_cast<uint16_t>(e.name.size())).U32(static_cast<uint32_t>(e.value.size()));
        w.Bytes(e.name.data(), e.name.size()).Bytes(e.value.data(), e.value.size());
    }
    return size;
}

int Helper::getAclText(const char* path, std::string* text, int ref) {
    const ruxen::ProcFdPath proc(ref);
    AclPtr acl(acl_get_file(ref >= 0 ? proc.c_str() : path, ACL_TYPE_ACCESS));
    if (!acl)
        return Fail(errno, "acl_get_file", path);
    AclText t(acl_to_text(acl.get(), nullptr));
    if (!t)
        return Fail(errno, "acl_to_text", path);
    *text = t.get();
    return 0;
}

}  // namespace KxACL

// The support test is forgotten (the next getInstance probes again), and the
// options.
void ruxen::testcontrol::ResetAclSupport() {
    KxACL::g_supported = -1;
    KxACL::g_supportReason.clear();
    KxACL::g_options = 0;
}

namespace {
const ruxen::testcontrol::Registration kTestReset("ACL support", &ruxen::testcontrol::ResetAclSupport);
}  // namespace
