// Registry keys the mappers read and fixed texts they write.
#pragma once

#include "platform/KXPlatformInfo.h"

// Registry section of the file-system agent.
constexpr const char* kMapSection = kFileSystemAgentSection;
// Non-zero: with a snapshot of "/", the local mounts map to themselves.
constexpr const char* kKeyEnableRootVolumeMapperMounts = "nEnableRootVolumeMapperMounts";

// Snapshot mapping file name in the collect directory.
constexpr const char* kHwSnapInfoFile = "hwsnapInfo.kxf";
