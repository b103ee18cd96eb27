// File-level properties for the resource report: an item's owner, group,
// times, mode, extension, mount and size as one message record (159), and
// single (kind, text) pairs offered to the host.
//
// Mount list, block sizes and names are process-wide and filled on first
// need, so that an item costs a few look-ups: the mount list is read once
// (again while it is empty), a mount's block size is asked once, when a stub
// on it first needs it, and a name is asked once when found (a name not
// found is asked again for the next item).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/KxException.h"
#include "platform/base/TestControl.h"
#include "platform/index/IdxMetadata.h"
#include "platform/os/KxMntTab.h"
#include "platform/os/SystemLookups.h"
#include "platform/text/PathUtil.h"
#include "reader/CFileReader.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"

namespace {

constexpr uint64_t kDefaultBlockSize = 512;
constexpr uint64_t kAlternateReaderBlockSize = 0x4000000;
constexpr size_t kMaxExtensionBytes = 20;
constexpr size_t kMaxPropValueBytes = 4095;

struct FlaMount {
    std::string dir;  // ends in "/"
    std::string type;
    uint64_t blockSize = 0;
    bool sized = false;  // blockSize is settled
};

struct FlaState {
    std::vector<FlaMount> mounts;  // longest directory first
    std::unordered_map<uint32_t, std::string> users, groups;
    int blockSizeMode = -1;  // -1 not decided; else a BlockSizeMode
};

enum BlockSizeMode { kQueryAll, kSkipNonLocal, kAlternateReader };

FlaState& State() {
    static FlaState state;
    return state;
}

void BuildMountList(FlaState& s) {
    std::vector<KxMntTab::Entry> table;
    try {
        table = KxMntTab::getAll();
    } catch (const KxException& e) {
        KXLOG(1, "no mount list for file-level properties: %s", e.what());
        return;
    }
    for (const KxMntTab::Entry& e : table) {
        std::string dir = PathUtil::StripTrailingSlashes(e.mountPoint);
        if (dir != "/")
            dir += '/';
        // A later mount of a directory hides the earlier one.
        bool replaced = false;
        for (FlaMount& m : s.mounts)
            if (m.dir == dir) {
                m.type = e.fsType;
                replaced = true;
            }
        if (!replaced)
            s.mounts.push_back({dir, e.fsType});
    }
    std::stable_sort(s.mounts.begin(), s.mounts.end(),
                     [](const FlaMount& a, const FlaMount& b) { return a.dir.size() > b.dir.size(); });
    if (KxLog::Enabled(2)) {
        KXLOG(2, "Mount Dirs List");
        for (const FlaMount& m : s.mounts)
            KXLOG(2, "mount dir[%s]", m.dir.c_str());
    }
}

// The block size of a mount, asked on first need.
uint64_t BlockSizeOf(FlaState& s, FlaMount& m, int alternateReader) {
    if (s.blockSizeMode < 0) {
        std::string ignored;
        s.blockSizeMode = alternateReader ? kAlternateReader
                          : KXPlatformInfo::getString(kFileSystemAgentSection, kRegSkipNonLocalMountDetails, ignored)
                              ? kSkipNonLocal
                              : kQueryAll;
    }
    if (m.sized)
        return m.blockSize;
    m.sized = true;
    if (s.blockSizeMode == kAlternateReader) {
        m.blockSize = m.dir == "/" ? kAlternateReaderBlockSize : 0;
        return m.blockSize;
    }
    if (s.blockSizeMode == kSkipNonLocal && !m.type.empty() && strstr(skipFS::GetIgnoreFSTypes(), m.type.c_str())) {
        KXLOG(4, "assuming default block size [%llu] for [%s] of type [%s]",
              static_cast<unsigned long long>(kDefaultBlockSize), m.dir.c_str(), m.type.c_str());
        m.blockSize = kDefaultBlockSize;
        return m.blockSize;
    }
    uint64_t size = 0;
    int err = 0;
    if (!SystemLookups::BlockSize(m.dir.c_str(), size, err)) {
        KXLOG(1, "statfs Failed for File System [%s] error[%d]", m.dir.c_str(), err);
        size = 0;
    }
    m.blockSize = size ? size : kDefaultBlockSize;
    KXLOG(2, "Mount Path [%s] type [%s] blockSize[%llu]", m.dir.c_str(), m.type.c_str(),
          static_cast<unsigned long long>(m.blockSize));
    return m.blockSize;
}

// The name of an id from the cache, else from the system (kept when found).
const std::string& NameOf(std::unordered_map<uint32_t, std::string>& cache, uint32_t id, bool isUser, const char* item,
                          std::string& scratch) {
    auto it = cache.find(id);
    if (it != cache.end())
        return it->second;
    int err = 0;
    if ((isUser ? SystemLookups::UserName(id, scratch, err) : SystemLookups::GroupName(id, scratch, err)) &&
        !scratch.empty())
        return cache.emplace(id, scratch).first->second;
    if (isUser)
        KXLOG(4, "Failed to get user name of File [%s] for UID [%d], errro[%d]", item, static_cast<int>(id), err);
    else
        KXLOG(4, "Failed to get group name of File [%s] for GID [%d], errro[%d]", item, static_cast<int>(id), err);
    scratch = "unknown";
    return scratch;
}

// The text after the last "." of the last component, at most 20 bytes and
// never a cut character: "" without a dot or when the dot ends the name.
std::string ExtensionOf(const char* name) {
    const char* last = strrchr(name, '/');
    last = last ? last + 1 : name;
    const char* dot = strrchr(last, '.');
    if (!dot || !dot[1])
        return std::string();
    std::string ext(dot + 1);
    if (ext.size() > kMaxExtensionBytes) {
        size_t n = kMaxExtensionBytes;
        while (n > 0 && (static_cast<unsigned char>(ext[n]) & 0xC0) == 0x80)
            --n;  // ext[n] continues a character: cut before the character
        ext.resize(n);
    }
    return ext;
}

}  // namespace

void ruxen::testcontrol::ResetFlaState() {
    State() = FlaState();
    ResetLookupCounts();
}

namespace {
const ruxen::testcontrol::Registration kTestReset("file-level properties", &ruxen::testcontrol::ResetFlaState);
}  // namespace

bool RuxenFile::SendFLAProps() {
    FlaState& s = State();
    if (s.mounts.empty())
        BuildMountList(s);

    using IdxMetadata::FsData;
    IdxMetadata::IdxMetaData message;
    FsData& fs = *message.getSrmData()->getFsData();
    const struct stat& st = m_item.st;
    const char* name = m_item.header.h_filename;
    fs.set(FsData::kOwnerId, static_cast<int64_t>(st.st_uid));
    fs.set(FsData::kGroupId, static_cast<int64_t>(st.st_gid));
    fs.set(FsData::kChangeTime, static_cast<int64_t>(st.st_ctime));
    fs.set(FsData::kAccessTime, static_cast<int64_t>(st.st_atime));
    fs.set(FsData::kMode, static_cast<int64_t>(st.st_mode));
    fs.set(FsData::kExtension, ExtensionOf(name));

    auto mount = PathUtil::LongestPrefixScan(s.mounts.begin(), s.mounts.end(), name,
                                             [](const FlaMount& m) -> const std::string& { return m.dir; });
    if (mount != s.mounts.end())
        fs.set(FsData::kMountDir, mount->dir);

    std::string scratch;
    fs.set(FsData::kOwnerName, NameOf(s.users, static_cast<uint32_t>(st.st_uid), true, name, scratch));
    fs.set(FsData::kGroupName, NameOf(s.groups, static_cast<uint32_t>(st.st_gid), false, name, scratch));

    // Holes are found while the data is read, after this record: a regular
    // item with fewer blocks than its size is reported sparse already.
    const uint64_t pf = m_item.header.h_platform_flags;
    const bool sparseMark =
        m_item.type == fTypeRegular && (pf & ZX_HDR_FLAG_SPARSE_TESTED) && !(pf & ZX_HDR_FLAG_NOT_SPARSE);
    const bool stub = (pf & ZX_HDR_FLAG_STUB) != 0;
    int64_t flags = 0;
    if (sparseMark || (m_reader && m_reader->getIsHole()))
        flags |= FsData::kFlagSparse;
    int64_t size = static_cast<int64_t>(st.st_size);
    if (stub) {
        flags |= FsData::kFlagStub;
        uint64_t bs = mount != s.mounts.end() ? BlockSizeOf(s, *mount, m_settings.alternateReader) : 0;
        size = static_cast<int64_t>(bs ? bs : kDefaultBlockSize);
    }
    fs.set(FsData::kFlags, flags);
    fs.set(FsData::kSize, size);

    switch (SendMetadataRecord(&message, 0, nullptr)) {
    case kMetaSent:
    case kMetaNothing:
        return true;
    case kMetaEncodeFailed:
        KXLOG(-1, "getEncodedLength() returns failure");
        return false;
    case kMetaNoBuffer:
        KXLOG(1, "unable to allocate buffer");
        return false;
    case kMetaFillFailed:
        KXLOG(1, "unable to fill indexing buffer");
        return false;
    default:
        KXLOG(1, "WriteBuffer failed");
        return false;
    }
}

bool RuxenFile::SendFLAIndexingMetaDataProp(long kind, void* value, int) {
    if (kind <= 0 || static_cast<unsigned long>(kind) > UINT32_MAX) {
        KXLOG(1, "Failed to encode meta data kind.");
        return false;
    }
    const char* text = value ? static_cast<const char*>(value) : "";
    if (strnlen(text, kMaxPropValueBytes + 1) > kMaxPropValueBytes) {
        KXLOG(1, "a value of more than %zu bytes for kind 0x%lX refused", kMaxPropValueBytes, kind);
        return false;
    }
    switch (SendMetadataRecord(nullptr, static_cast<uint32_t>(kind), text)) {
    case kMetaSent:
    case kMetaNothing:
        return true;
    case kMetaWriteFailed:
        KXLOG(1, "WriteBuffer failed");
        return false;
    case kMetaNoBuffer:
        KXLOG(1, "unable to allocate buffer");
        return false;
    default:
        KXLOG(1, "unable to fill indexing buffer");
        return false;
    }
}
