#include "platform/agent/CacheDBMgr.h"

#include <cerrno>

#include "platform/base/QMErrorUtil.h"
#include "platform/text/PathUtil.h"

void CacheDBMgr::AddDatabase(const std::string& sourceDirectory, const std::string& logicalName) {
    m_databases[PathUtil::StripTrailingSlashes(sourceDirectory)] = logicalName;
}

CTyError CacheDBMgr::MakeLogicalPathFromSourcePath(const std::string& source, std::string& logical) const {
    auto it = PathUtil::LongestPrefixLookup(m_databases, source);
    if (it == m_databases.end())
        return QMErrorUtil::ErrorErrNo(QM_LOC, ENOENT, "no cache database holds [%s]", source.c_str());
    logical = PathUtil::Join(PathUtil::Join(kCacheDBLogicalRoot, it->second), PathUtil::Remainder(it->first, source));
    return CTyError();
}
