// Registry keys the mappers read and fixed texts they write.
#pragma once

#include "platform/agent/KXPlatformInfo.h"

// Registry section of the file-system agent.
constexpr const char* kMapSection = kFileSystemAgentSection;
// Non-zero: with a snapshot of "/", the local mounts map to themselves.
constexpr const char* kKeyEnableRootVolumeMapperMounts = "nEnableRootVolumeMapperMounts";

// Snapshot mapping file name in the collect directory.
constexpr const char* kHwSnapInfoFile = "hwsnapInfo.kxf";
// "y" or "Y" first: proxy jobs take the wildcard mapper.
constexpr const char* kKeyProxyHandleWildCardOneLevel = "ProxyHandleWildCardOneLevel";
// Native-snapshot mapping file name in the collect directory.
constexpr const char* kNativeSnapInfoFile = "nativeSnapMapInfo.kxf";

// Application types whose snapshot jobs back up database files (the
// database snapshot mapper, unless the subclient backs up block-level).
inline bool IsDBSnapAppType(unsigned long long type) {
    switch (type) {
    case 5:
    case 22:
    case 61:
    case 62:
    case 80:
    case 103:
    case 104:
    case 125:
    case 126:
    case 135:
        return true;
    default:
        return false;
    }
}
