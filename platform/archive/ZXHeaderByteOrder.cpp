#include "platform/archive/ZXHeaderByteOrder.h"

#include "platform/base/Coding.h"

namespace {

// The table must describe non-overlapping numbers inside the record's fixed
// part, or the walk below would corrupt the name or run off the record.
constexpr bool FieldTableIsSound() {
    constexpr size_t kFixedPart = 132;
    size_t covered = 0;
    for (size_t off : ZXHeaderLayout::kU32Offsets) {
        if (off % 4 != 0 || off + 4 > kFixedPart)
            return false;
        covered += 4;
    }
    for (size_t off : ZXHeaderLayout::kU64Offsets) {
        if (off % 8 != 0 || off + 8 > kFixedPart)
            return false;
        covered += 8;
    }
    for (size_t a : ZXHeaderLayout::kU32Offsets) {
        for (size_t b : ZXHeaderLayout::kU64Offsets) {
            if (a + 4 > b && b + 8 > a)
                return false;
        }
    }
    // 132 bytes of fixed part less the four single bytes at 120-123.
    return covered == kFixedPart - 4;
}
static_assert(FieldTableIsSound(), "header field table overlaps or leaves the fixed part");
static_assert(ZXHeaderLayout::kNameLenOffset == 12, "h_namelen is the u32 at 12");

}  // namespace

// The record may sit anywhere in a pipeline buffer; the coding helpers
// load and store through bytes, so alignment does not matter.
void ConvertZXFileHeaderByteOrder(void* record) {
    char* p = static_cast<char*>(record);
    for (size_t off : ZXHeaderLayout::kU32Offsets)
        ruxen::SwapFixed32InPlace(p + off);
    for (size_t off : ZXHeaderLayout::kU64Offsets)
        ruxen::SwapFixed64InPlace(p + off);
}
