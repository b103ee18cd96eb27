#include "ruxen/RuxenFilePrivate.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/agent/CGuidFactory.h"
#include "platform/base/QMErrorUtil.h"

namespace {

std::string parentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return std::string();
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// The name whose GUID is the parent's GUID: the directory part of the path
// ("/" for a name in the root), or the path itself when it has none.
void parentNameOf(const std::string& path, const char** name, size_t* length) {
    size_t slash = path.find_last_of('/');
    *name = path.data();
    *length = slash == std::string::npos ? path.size() : slash == 0 ? 1 : slash;
}

CTyError notGenerated(const char* what, std::string& out) {
    out.clear();
    return QMErrorUtil::ErrorErrNo(QM_LOC, ENOENT, "%s GUID was not generated", what);
}

CTyError getGuid(const std::string& guid, const char* what, std::string& out) {
    if (guid.empty())
        return notGenerated(what, out);
    out = guid;
    return CTyError();
}

const boost::uuids::uuid& versionSpace() {
    static const boost::uuids::uuid id = CGuidFactory::SpaceOf("version");
    return id;
}

}  // namespace

RuxenFilePrivate::RuxenFilePrivate() = default;

void RuxenFilePrivate::ClearItemGUIDs() {
    m_itemGuids = false;
    m_objectGuid.clear();
    m_versionGuid.clear();
}

CTyError RuxenFilePrivate::GenerateObjectGUIDs(const char* space, const std::string& path, const struct stat& st,
                                               bool isStub) {
    ClearItemGUIDs();
    if (path.empty())
        return QMErrorUtil::ErrorErrNo(QM_LOC, EINVAL, "cannot make GUIDs of an empty path");
    const ObjectSpace* found = nullptr;
    for (const ObjectSpace& s : m_spaces)
        if (strcmp(s.space, space) == 0 && s.clientName == clientName)
            found = &s;
    if (!found) {
        if (m_spaces.size() >= 8)
            m_spaces.clear();  // the client name keeps changing: keep few
        m_spaces.push_back({space, clientName, CGuidFactory::SpaceOf(std::string(space) + ":" + clientName)});
        found = &m_spaces.back();
    }
    m_itemSpace = found->id;
    m_itemPath.assign(path);
    m_itemMtime = static_cast<int64_t>(st.st_mtime);
    m_itemCtime = static_cast<int64_t>(st.st_ctime);
    m_itemSize = static_cast<int64_t>(st.st_size);
    m_itemIno = static_cast<uint64_t>(st.st_ino);
    m_itemIsStub = isStub;
    m_itemSeedSuffix.assign(m_versionSeedSuffix);
    m_itemGuids = true;
    return CTyError();
}

const std::string& RuxenFilePrivate::ObjectGuid() const {
    if (m_objectGuid.empty())
        m_objectGuid = CGuidFactory::NameGuidIn(m_itemSpace, m_itemPath.data(), m_itemPath.size());
    return m_objectGuid;
}

CTyError RuxenFilePrivate::GenerateBackupObjectGUIDs(const std::string& path, const struct stat& st, bool isStub) {
    return GenerateObjectGUIDs("object", path, st, isStub);
}

CTyError RuxenFilePrivate::GenerateJobResultObjectGUIDs(const std::string& path, const struct stat& st, bool isStub) {
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
    if (!m_itemGuids)
        return notGenerated("object", out);
    out = ObjectGuid();
    return CTyError();
}

CTyError RuxenFilePrivate::GetParentObjectGUID(std::string& out) const {
    if (!m_itemGuids)
        return notGenerated("parent object", out);
    const char* name;
    size_t length;
    parentNameOf(m_itemPath, &name, &length);
    if (!m_parentValid || m_parentSpace != m_itemSpace ||
        m_parentPath.compare(0, std::string::npos, name, length) != 0) {
        m_parentSpace = m_itemSpace;
        m_parentPath.assign(name, length);
        m_parentObjectGuid = CGuidFactory::NameGuidIn(m_itemSpace, name, length);
        m_parentValid = true;
    }
    out = m_parentObjectGuid;
    return CTyError();
}

CTyError RuxenFilePrivate::GetVersionGUID(std::string& out) const {
    if (!m_itemGuids)
        return notGenerated("version", out);
    if (m_versionGuid.empty()) {
        // The version changes whenever the item's data or state may have changed.
        char seed[160];
        int n = snprintf(seed, sizeof(seed), ":%" PRId64 ":%" PRId64 ":%" PRId64 ":%" PRIu64 ":%d", m_itemMtime,
                         m_itemCtime, m_itemSize, m_itemIno, m_itemIsStub ? 1 : 0);
        std::string name = ObjectGuid();
        name.append(seed, static_cast<size_t>(n));
        name += m_itemSeedSuffix;
        m_versionGuid = CGuidFactory::NameGuidIn(versionSpace(), name.data(), name.size());
    }
    out = m_versionGuid;
    return CTyError();
}

bool RuxenFilePrivate::ShouldSkipACLForMountPoint(const std::string& fsType) {
    return fsType.compare(0, 3, "nfs") == 0 || fsType == "autofs" || fsType == "cifs" || fsType == "smbfs";
}

KxACL::Helper& RuxenFilePrivate::GetACLInstance() {
    if (!m_acl)
        m_acl = KxACL::Helper::getInstance();
    return *m_acl;
}
