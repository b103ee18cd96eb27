#include "platform/snapshot/TavSnapUtilBase.h"

#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "platform/agent/KxLog.h"
#include "platform/base/NumberParse.h"
#include "platform/base/QMErrorUtil.h"
#include "platform/snapshot/StandInFixtures.h"
#include "platform/text/TabLineFile.h"

namespace {

constexpr int kBadInput = 774;

// Fills `info` from the fixture lines; "" or the error of the first bad line.
std::string parseFixture(const std::string& name, const std::vector<TabLine>& lines, SMVolSnapInfo& info) {
    for (const TabLine& l : lines) {
        const std::vector<std::string>& f = l.fields;
        const std::string& kw = f[0];
        bool ok = false;
        if (kw == "engine" && f.size() == 2) {
            ok = NumberParse::Int(f[1], info.snapEngineId);
        } else if (kw == "vol" && (f.size() == 8 || f.size() == 11)) {
            SMVolumeInfo v;
            v.sSrcMountPath = f[2];
            v.sSnapMountPath = f[3];
            v.sMountDevice = f[7];
            v.sOrigSrcMountPath = f.size() == 11 && !f[8].empty() ? f[8] : f[2];
            if (f.size() == 11) {
                v.sRepBasePath = f[9];
                v.sRepRelPath = f[10];
            }
            ok = NumberParse::Int(f[1], v.volumeId) && NumberParse::Int(f[4], v.volFlags) &&
                 NumberParse::Int(f[5], v.archiveFileId) && NumberParse::Int(f[6], v.srcClientId) &&
                 !v.sSrcMountPath.empty() && !v.sSnapMountPath.empty();
            if (ok)
                info.volumes.push_back(std::move(v));
        } else if (kw == "snap" && f.size() == 3) {
            int vol = 0, snap = 0;
            ok = NumberParse::Int(f[1], vol) && NumberParse::Int(f[2], snap);
            if (ok)
                info.volumeToSnapId[vol] = snap;
        } else if (kw == "meta" && f.size() == 6) {
            SMMetaData m;
            m.text = f[5];
            ok = NumberParse::Int(f[1], m.id) && NumberParse::Int(f[2], m.refType) &&
                 NumberParse::Int(f[3], m.metaType) && NumberParse::Int(f[4], m.refId);
            if (ok)
                info.metaData.push_back(std::move(m));
        }
        if (!ok)
            return TabLineFile::LineError(
                name, l.lineNo,
                "bad snapshot fixture line (keyword '" + kw + "', " + std::to_string(f.size()) + " fields)");
    }
    return std::string();
}

}  // namespace

TavSnapUtilBase::TavSnapUtilBase(int engineType, int /*mode*/, bool /*verbose*/, KXJobCtrlClient* /*jobCtrl*/,
                                 const char* /*name*/, int /*spawn*/)
    : m_engineType(engineType) {}

TavSnapUtilBase::~TavSnapUtilBase() = default;

CTyError TavSnapUtilBase::LoadAndMountVolumestForJobID(long long jobId, bool mount, int /*flags*/) {
    m_info = SMVolSnapInfo();
    m_mountPoints.clear();
    m_jobId = jobId;
    std::string error;
    std::string path = StandInFixtures::PathFor(jobId, StandInFixtures::kSnapSuffix, error);
    std::vector<TabLine> lines;
    if (path.empty() || !TabLineFile::Read(path, StandInFixtures::kMaxLineBytes, lines, error))
        return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, "no snapshot information for job %lld: %s", jobId,
                                       error.c_str());
    SMVolSnapInfo info;
    error = parseFixture(path, lines, info);
    if (!error.empty())
        return QMErrorUtil::ErrorWin32(QM_LOC, kBadInput, "%s", error.c_str());
    if (mount) {
        for (const SMVolumeInfo& v : info.volumes) {
            struct stat st;
            if (stat(v.sSnapMountPath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return QMErrorUtil::ErrorErrNo(QM_LOC, ENOENT, "cannot mount the snapshot of %s at %s",
                                               v.sSrcMountPath.c_str(), v.sSnapMountPath.c_str());
        }
    }
    m_info = std::move(info);
    for (const SMVolumeInfo& v : m_info.volumes)
        m_mountPoints[v.sSrcMountPath] = v.sSnapMountPath;
    KXLOG(2, "job %lld: %zu snapshot volumes from %s", jobId, m_info.volumes.size(), path.c_str());
    return CTyError();
}

CTyError TavSnapUtilBase::UnmountSnapshots() {
    ++m_unmountCalls;
    KXLOG(2, "unmount the snapshots of job %lld", m_jobId);
    return CTyError();
}
