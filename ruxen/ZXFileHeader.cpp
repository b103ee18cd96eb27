#include "ruxen/ZXFileHeader.h"

#include <cstring>

#include "platform/archive/ZXHeaderByteOrder.h"
#include "platform/base/Coding.h"

namespace {

// The pipeline transport converts the record by its own table of u32 and
// u64 offsets. Check here, at compile time, that the table names exactly the
// numeric fields of this struct with their widths: a field added, moved or
// resized on one side only fails the build instead of garbling headers.
struct NumericField {
    size_t offset;
    size_t width;
};

constexpr NumericField kNumericFields[] = {
    {offsetof(ZXFileHeader, h_version), sizeof(ZXFileHeader::h_version)},
    {offsetof(ZXFileHeader, h_magic), sizeof(ZXFileHeader::h_magic)},
    {offsetof(ZXFileHeader, h_nlink), sizeof(ZXFileHeader::h_nlink)},
    {offsetof(ZXFileHeader, h_namelen), sizeof(ZXFileHeader::h_namelen)},
    {offsetof(ZXFileHeader, h_mode), sizeof(ZXFileHeader::h_mode)},
    {offsetof(ZXFileHeader, h_uid), sizeof(ZXFileHeader::h_uid)},
    {offsetof(ZXFileHeader, h_gid), sizeof(ZXFileHeader::h_gid)},
    {offsetof(ZXFileHeader, h_reserved), sizeof(ZXFileHeader::h_reserved)},
    {offsetof(ZXFileHeader, h_dev), sizeof(ZXFileHeader::h_dev)},
    {offsetof(ZXFileHeader, h_platform_flags), sizeof(ZXFileHeader::h_platform_flags)},
    {offsetof(ZXFileHeader, h_filesize), sizeof(ZXFileHeader::h_filesize)},
    {offsetof(ZXFileHeader, h_mtime), sizeof(ZXFileHeader::h_mtime)},
    {offsetof(ZXFileHeader, h_ctime), sizeof(ZXFileHeader::h_ctime)},
    {offsetof(ZXFileHeader, h_datasize), sizeof(ZXFileHeader::h_datasize)},
    {offsetof(ZXFileHeader, h_collect_offset), sizeof(ZXFileHeader::h_collect_offset)},
    {offsetof(ZXFileHeader, h_separator), sizeof(ZXFileHeader::h_separator)},
    {offsetof(ZXFileHeader, h_flags), sizeof(ZXFileHeader::h_flags)},
    {offsetof(ZXFileHeader, h_ino_high), sizeof(ZXFileHeader::h_ino_high)},
    {offsetof(ZXFileHeader, portable_flags), sizeof(ZXFileHeader::portable_flags)},
    {offsetof(ZXFileHeader, h_rdev), sizeof(ZXFileHeader::h_rdev)},
    {offsetof(ZXFileHeader, h_ino_low), sizeof(ZXFileHeader::h_ino_low)},
    {offsetof(ZXFileHeader, h_atime), sizeof(ZXFileHeader::h_atime)},
    {offsetof(ZXFileHeader, h_client_os), sizeof(ZXFileHeader::h_client_os)},
};

constexpr size_t CountFieldsOfWidth(size_t width) {
    size_t n = 0;
    for (const NumericField& f : kNumericFields) {
        if (f.width == width)
            ++n;
    }
    return n;
}

constexpr bool IsFieldOfWidth(size_t offset, size_t width) {
    for (const NumericField& f : kNumericFields) {
        if (f.offset == offset && f.width == width)
            return true;
    }
    return false;
}

template <size_t N>
constexpr bool AllAreFieldsOfWidth(const size_t (&offsets)[N], size_t width) {
    for (size_t i = 0; i < N; ++i) {
        if (!IsFieldOfWidth(offsets[i], width))
            return false;
        for (size_t j = 0; j < i; ++j) {
            if (offsets[j] == offsets[i])
                return false;  // listed twice
        }
    }
    return true;
}

constexpr size_t kU32Count = sizeof(ZXHeaderLayout::kU32Offsets) / sizeof(ZXHeaderLayout::kU32Offsets[0]);
constexpr size_t kU64Count = sizeof(ZXHeaderLayout::kU64Offsets) / sizeof(ZXHeaderLayout::kU64Offsets[0]);

static_assert(ZXHeaderLayout::kRecordSize == sizeof(ZXFileHeader), "transport and struct agree on the size");
static_assert(kU32Count == 14 && CountFieldsOfWidth(4) == 14, "14 u32 fields");
static_assert(kU64Count == 9 && CountFieldsOfWidth(8) == 9, "9 u64 fields");
static_assert(AllAreFieldsOfWidth(ZXHeaderLayout::kU32Offsets, 4), "transport u32 table matches the struct");
static_assert(AllAreFieldsOfWidth(ZXHeaderLayout::kU64Offsets, 8), "transport u64 table matches the struct");
static_assert(ZXHeaderLayout::kNameLenOffset == offsetof(ZXFileHeader, h_namelen), "h_namelen offset");

}  // namespace

ZXFileHeader::ZXFileHeader() { Clear(); }

void ZXFileHeader::Clear() { std::memset(static_cast<void*>(this), 0, sizeof(*this)); }

int ConvertZXFileHeaderToNetOrder(const ZXFileHeader* source, ZXFileHeader* destination) {
    if (source == nullptr || destination == nullptr)
        return -1;
    if (source != destination) {
        std::memcpy(static_cast<void*>(destination), source, sizeof(ZXFileHeader));
    }
    ConvertZXFileHeaderByteOrder(destination);
    return 0;
}

uint32_t ZXHeaderPipelineLength(const void* netOrderRecord) {
    uint32_t nameLen = ruxen::DecodeFixed32(static_cast<const char*>(netOrderRecord) + ZXHeaderLayout::kNameLenOffset);
    // The length is the fixed part, the name with its NUL and one spare byte
    // of the name area. The name area holds 1028 bytes, so any h_namelen
    // above 1027 (a full-length name counted with its NUL, or a damaged
    // record) would make the pipeline read, and send, bytes past the end of
    // the 1160-byte record. The length is therefore capped at the record.
    // The smallest answer is 133 (an empty name), which lies inside it.
    constexpr uint32_t kMaxNameLen = ZX_HEADER_SIZE - ZX_HEADER_FIXED_SIZE - 1;
    if (nameLen > kMaxNameLen)
        return static_cast<uint32_t>(ZX_HEADER_SIZE);
    return static_cast<uint32_t>(ZX_HEADER_FIXED_SIZE) + 1 + nameLen;
}

bool DecodeZXFileHeader(const void* payload, size_t length, ZXFileHeader* header, const char** why) {
    if (length < ZX_HEADER_MIN_RECORD) {
        *why = "header record shorter than 133 bytes";
        return false;
    }
    if (length > ZX_HEADER_MAX_RECORD) {
        *why = "header record longer than 1161 bytes";
        return false;
    }
    if (payload == nullptr) {
        *why = "header record without its bytes";
        return false;
    }
    size_t copy = length < ZX_HEADER_SIZE ? length : ZX_HEADER_SIZE;
    header->Clear();
    std::memcpy(static_cast<void*>(header), payload, copy);
    ConvertZXFileHeaderByteOrder(header);
    if (header->h_version != ZX_HEADER_VERSION || header->h_magic != ZX_HEADER_MAGIC) {
        *why = "header record with a wrong version or magic";
        return false;
    }
    // The name must end inside what was sent, so nothing reads past it.
    if (std::memchr(header->h_filename, '\0', copy - ZX_HEADER_FIXED_SIZE) == nullptr) {
        *why = "header record whose name is not NUL-terminated";
        return false;
    }
    if (header->h_namelen > ZX_HEADER_NAME_SIZE) {
        *why = "header record whose name length exceeds 1028";
        return false;
    }
    return true;
}
