#include "norfa/FlrSnapOS.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/agent/KxLog.h"

namespace FlrSnapOS {

namespace {

const std::string kVolPrefix = "/vol/";
const std::string kSnapshotDir = ".snapshot/";

// The component of `s` starting at `from`, and what follows its '/'.
void splitComponent(const std::string& s, size_t from, std::string& component, std::string& after) {
    size_t end = s.find('/', from);
    component = s.substr(from, end == std::string::npos ? std::string::npos : end - from);
    after = end == std::string::npos ? std::string() : s.substr(end + 1);
}

}  // namespace

void RDEV::init(const std::string& special) {
    m_empty = special.empty();
    m_kind = kOther;
    m_special = special;
    m_device = 0;
    m_server.clear();
    m_path.clear();
    m_volume.clear();
    m_rest.clear();
    m_shortName.clear();
    if (m_empty)
        return;
    if (special[0] == '/') {
        m_kind = kLocal;
        struct stat st;
        if (stat(special.c_str(), &st) != 0)
            KXLOG(-1, "Failed to stat %s: %s", special.c_str(), strerror(errno));
        else
            m_device = st.st_rdev;
        m_shortName = special.substr(special.rfind('/') + 1);
        return;
    }
    const size_t sep = special.find(":/");
    if (sep == std::string::npos)
        return;
    m_kind = kNetwork;
    m_server = special.substr(0, sep);
    m_path = special.substr(sep + 1);
    if (m_path.compare(0, kVolPrefix.size(), kVolPrefix) != 0)
        return;
    std::string after;
    splitComponent(m_path, kVolPrefix.size(), m_volume, after);
    if (after.compare(0, kSnapshotDir.size(), kSnapshotDir) == 0)
        splitComponent(after, kSnapshotDir.size(), m_shortName, m_rest);
    else
        m_rest = after;
}

bool operator==(const RDEV& a, const RDEV& b) {
    if (a.kind() != b.kind())
        return false;
    if (a.kind() == RDEV::kLocal)
        return a.device() != 0 && a.device() == b.device();
    return a.getSpecial() == b.getSpecial();
}

}  // namespace FlrSnapOS
