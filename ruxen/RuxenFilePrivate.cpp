#include "ruxen/RuxenFilePrivate.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "platform/CGuidFactory.h"
#include "platform/QMErrorUtil.h"

namespace {

std::string parentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return std::string();
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

CTyError getGuid(const std::string& guid, const char* what, std::string& out) {
    if (guid.empty()) {
        out.clear();
        return QMErrorUtil::ErrorErrNo(QM_LOC, ENOENT, "%s GUID was not generated", what);
    }
    out = guid;
    return CTyError();
}

}  // namespace

RuxenFilePrivate::RuxenFilePrivate() = default;

void RuxenFilePrivate::ClearItemGUIDs() {
    m_objectGuid.clear();
    m_parentObjectGuid.clear();
    m_versionGuid.clear();
}

CTyError RuxenFilePrivate::GenerateObjectGUIDs(const char* space, const std::string& path,
                                               const struct stat& st, bool isStub) {
    ClearItemGUIDs();
    if (path.empty())
        return QMErrorUtil::ErrorErrNo(QM_LOC, EINVAL, "cannot make GUIDs of an empty path");
    std::string objectSpace = std::string(space) + ":" + clientName;
    m_objectGuid = CGuidFactory::NameGuid(objectSpace, path);
    std::string parent = parentOf(path);
    m_parentObjectGuid = CGuidFactory::NameGuid(objectSpace, parent.empty() ? path : parent);
    // The version changes whenever the item's data or state may have changed.
    char seed[160];
    snprintf(seed, sizeof(seed), ":%" PRId64 ":%" PRId64 ":%" PRId64 ":%" PRIu64 ":%d",
             static_cast<int64_t>(st.st_mtime), static_cast<int64_t>(st.st_ctime),
             static_cast<int64_t>(st.st_size), static_cast<uint64_t>(st.st_ino), isStub ? 1 : 0);
    m_versionGuid = CGuidFactory::NameGuid("version", m_objectGuid + seed + m_versionSeedSuffix);
    return CTyError();
}

CTyError RuxenFilePrivate::GenerateBackupObjectGUIDs(const std::string& path, const struct stat& st,
                                                     bool isStub) {
    return GenerateObjectGUIDs("object", path, st, isStub);
}

CTyError RuxenFilePrivate::GenerateJobResultObjectGUIDs(const std::string& path, const struct stat& st,
                                                        bool isStub) {
    return GenerateObjectGUIDs("jobresult", path, st, isStub);
}

CTyError RuxenFilePrivate::GenerateComponentGUID(const std::string& path, bool forceRoot, bool refresh) {
    // The component is the mount holding the path: walk up while the device
    // stays the same.
    std::string mount = "/";
    if (!forceRoot && !path.empty() && path[0] == '/' && path != "/") {
        struct stat st;
        std::string cur = path;
        if (lstat(cur.c_str(), &st) != 0) {
            int e = errno;
            m_componentGuid.clear();
            return QMErrorUtil::ErrorErrNo(QM_LOC, e, "cannot stat %s for its component GUID", path.c_str());
        }
        dev_t dev = st.st_dev;
        mount = cur;
        while (cur != "/") {
            std::string up = parentOf(cur);
            struct stat pst;
            if (up.empty() || lstat(up.c_str(), &pst) != 0 || pst.st_dev != dev)
                break;
            cur = up;
            mount = cur;
        }
    }
    if (!refresh && !m_componentGuid.empty() && mount == m_componentMount)
        return CTyError();
    m_componentMount = mount;
    m_componentGuid = CGuidFactory::NameGuid("component:" + clientName, mount);
    return CTyError();
}

CTyError RuxenFilePrivate::GetComponentGUID(std::string& out) const {
    return getGuid(m_componentGuid, "component", out);
}
CTyError RuxenFilePrivate::GetObjectGUID(std::string& out) const {
    return getGuid(m_objectGuid, "object", out);
}
CTyError RuxenFilePrivate::GetParentObjectGUID(std::string& out) const {
    return getGuid(m_parentObjectGuid, "parent object", out);
}
CTyError RuxenFilePrivate::GetVersionGUID(std::string& out) const {
    return getGuid(m_versionGuid, "version", out);
}

bool RuxenFilePrivate::isMountPath(const std::string& path) const {
    return snapMountPaths.count(path) != 0;
}

unsigned long RuxenFilePrivate::getDeviceIdForLocal(unsigned long device) const {
    if (!deviceMapping)
        return device;
    auto it = deviceMap.find(device);
    return it == deviceMap.end() ? device : it->second;
}

bool RuxenFilePrivate::ShouldSkipACLForMountPoint(const std::string& fsType) {
    return fsType.compare(0, 3, "nfs") == 0 || fsType == "autofs" || fsType == "cifs" || fsType == "smbfs";
}
