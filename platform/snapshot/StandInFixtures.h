// Where the stand-ins of the snapshot services find their fixture files, so
// that separate processes of one job (parent and children) see the same
// snapshots. The formats are documented in docs/ARCHITECTURE.md.
#pragma once

#include "platform/agent/KXPlatformInfo.h"

#include <string>

namespace StandInFixtures {

// Registry section and key naming the fixture directory.
constexpr const char* kSection = kFileSystemAgentSection;
constexpr const char* kDirKey = "sSnapFixtureDir";

// Longest fixture line accepted.
constexpr size_t kMaxLineBytes = 16384;

// "<dir>/<jobId><suffix>", or "" (with `error` set) when the registry names
// no fixture directory.
std::string PathFor(long long jobId, const char* suffix, std::string& error);

// File name suffixes.
constexpr const char* kSnapSuffix = ".snap";        // a snapshot job's volumes
constexpr const char* kReplicaSuffix = ".flrcp";    // a replication job's consistency points
constexpr const char* kDbFilesSuffix = ".dbfiles";  // a database snapshot job's files
constexpr const char* kDbBrowseSuffix = ".dbbrowse";  // their browse index (written)

}  // namespace StandInFixtures
