// The cache-database manager's path conversion: a database file's source
// path to the logical path its object GUIDs are made from. The manager holds
// source directories and the logical name of the database under each; a
// source path converts by the longest whole-component source directory that
// covers it: "/%CACHEDB%/<logical name>" and the rest of the path.
#pragma once

#include <map>
#include <string>

#include "platform/base/CTyError.h"

constexpr char kCacheDBLogicalRoot[] = "/%CACHEDB%";

class CacheDBMgr {
public:
    void AddDatabase(const std::string& sourceDirectory, const std::string& logicalName);
    CTyError MakeLogicalPathFromSourcePath(const std::string& source, std::string& logical) const;

private:
    std::map<std::string, std::string> m_databases;  // source directory -> logical name
};
