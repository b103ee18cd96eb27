#include "platform/index/IdxMetadata.h"

namespace {

struct NameEntry {
    uint32_t group;
    uint32_t type;
    const char* name;
};

constexpr NameEntry kNames[] = {
    {IdxMetadata::kGroup, 93, "IdxMetaData"},
    {IdxMetadata::kGroup, 94, "IdxDbInfo"},
    {IdxMetadata::kGroup, 95, "IdxErrorInfo"},
    {IdxMetadata::kGroup, 96, "IdxIndexingData"},
    {IdxMetadata::kGroup, 97, "DmStubData"},
    {IdxMetadata::kGroup, 98, "FsSnapMountData"},
    {IdxMetadata::kGroup, 99, "SrmData"},
    {IdxMetadata::kGroup, 100, "FsData"},
    {IdxMetadata::kGroup, 102, "SfRelationship"},
    {IdxMetadata::kGroup, 103, "FileSetData"},
    {102, 1, "IdxCommand"},
};

}  // namespace

const char* IdxMessageName(uint32_t group, uint32_t type) {
    for (const NameEntry& e : kNames)
        if (e.group == group && e.type == type)
            return e.name;
    return "Message";
}
