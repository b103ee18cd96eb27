#include "ruxen/PlfsBackupArgs.h"

#include <sys/stat.h>

#include <cstring>

#include "platform/text/PathUtil.h"

std::string StreamOutputPath(const std::string& path, int stream, int count) {
    struct stat st;
    if (path.empty() || count <= 1 || stream <= 0 || (stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)))
        return path;
    return path + "." + std::to_string(stream);
}

namespace {

constexpr uint32_t kArgAllSwitches = kArgMacProperties | kArgPreserveAtime | kArgFlaProps | kArgLongPath |
                                     kArgNativeSnap | kArgMountDetails | kArgDdbSubclient | kArgErrorsNotTolerated |
                                     kArgCatalog | kArgNoPrefetch | kArgSnapToTape;

template <size_t N>
bool putPath(const std::string& path, char (&field)[N], const char* what, std::string* error) {
    if (PathUtil::CopyToBuffer(path, field, static_cast<int>(N)) != 0) {
        *error = std::string("the ") + what + " does not fit the argument block (" + std::to_string(path.size()) +
                 " bytes, at most " + std::to_string(N - 1) + "): " + path;
        return false;
    }
    return true;
}

template <size_t N>
bool takePath(const char (&field)[N], std::string& path, const char* what, std::string* error) {
    const void* nul = memchr(field, '\0', N);
    if (nul == nullptr) {
        *error = std::string("argument block: the ") + what + " has no end";
        return false;
    }
    path.assign(field, static_cast<const char*>(nul) - field);
    return true;
}

}  // namespace

bool EncodeBackupArgs(const BackupArgs& in, plfsBackupArgs& out, std::string* error) {
    memset(&out, 0, sizeof out);
    memcpy(out.magic, kPlfsBackupArgsMagic, sizeof out.magic);
    out.version = kPlfsBackupArgsVersion;
    out.streamNumber = in.streamNumber;
    out.streamCount = in.streamCount;
    out.collectCount = in.collectCount;
    out.switches = (in.macProperties ? kArgMacProperties : 0) | (in.preserveAtime ? kArgPreserveAtime : 0) |
                   (in.flaProps ? kArgFlaProps : 0) | (in.longPath ? kArgLongPath : 0) |
                   (in.nativeSnap ? kArgNativeSnap : 0) | (in.mountDetails ? kArgMountDetails : 0) |
                   (in.ddbSubclient ? kArgDdbSubclient : 0) | (in.errorsNotTolerated ? kArgErrorsNotTolerated : 0) |
                   (in.catalog ? kArgCatalog : 0) | (in.noPrefetch ? kArgNoPrefetch : 0) |
                   (in.snapToTape ? kArgSnapToTape : 0);
    out.appType = in.appType;
    out.zonarkId = in.zonarkId;
    out.appId = in.appId;
    out.snapEngine = in.snapEngine;
    out.jobId = in.jobId;
    return putPath(in.archivePath, out.archivePath, "archive path", error) &&
           putPath(in.failuresPath, out.failuresPath, "failures path", error) &&
           putPath(in.resultsPath, out.resultsPath, "results path", error) &&
           putPath(in.jobDir, out.jobDir, "job directory", error) &&
           putPath(in.indexPath, out.indexPath, "index path", error) &&
           putPath(in.snapJobId, out.snapJobId, "snapshot job id", error) &&
           putPath(in.replicationJobId, out.replicationJobId, "replication job id", error) &&
           putPath(in.proxyMapPath, out.proxyMapPath, "proxy map path", error);
}

bool DecodeBackupArgs(const plfsBackupArgs& in, BackupArgs& out, std::string* error) {
    if (memcmp(in.magic, kPlfsBackupArgsMagic, sizeof in.magic) != 0 || in.version != kPlfsBackupArgsVersion) {
        *error = "argument block: not a block of version " + std::to_string(kPlfsBackupArgsVersion) + " (version " +
                 std::to_string(in.version) + ")";
        return false;
    }
    if (in.streamCount < 1 || in.streamNumber < 1 || in.streamNumber > in.streamCount || in.collectCount < 0 ||
        (in.switches & ~kArgAllSwitches) != 0) {
        *error = "argument block: stream " + std::to_string(in.streamNumber) + " of " + std::to_string(in.streamCount) +
                 ", " + std::to_string(in.collectCount) + " collect files, switches " + std::to_string(in.switches);
        return false;
    }
    BackupArgs a;
    a.streamNumber = in.streamNumber;
    a.streamCount = in.streamCount;
    a.collectCount = in.collectCount;
    a.appType = in.appType;
    a.macProperties = (in.switches & kArgMacProperties) != 0;
    a.preserveAtime = (in.switches & kArgPreserveAtime) != 0;
    a.flaProps = (in.switches & kArgFlaProps) != 0;
    a.longPath = (in.switches & kArgLongPath) != 0;
    a.nativeSnap = (in.switches & kArgNativeSnap) != 0;
    a.mountDetails = (in.switches & kArgMountDetails) != 0;
    a.ddbSubclient = (in.switches & kArgDdbSubclient) != 0;
    a.errorsNotTolerated = (in.switches & kArgErrorsNotTolerated) != 0;
    a.catalog = (in.switches & kArgCatalog) != 0;
    a.noPrefetch = (in.switches & kArgNoPrefetch) != 0;
    a.snapToTape = (in.switches & kArgSnapToTape) != 0;
    a.jobId = in.jobId;
    a.zonarkId = in.zonarkId;
    a.appId = in.appId;
    a.snapEngine = in.snapEngine;
    if (!takePath(in.archivePath, a.archivePath, "archive path", error) ||
        !takePath(in.failuresPath, a.failuresPath, "failures path", error) ||
        !takePath(in.resultsPath, a.resultsPath, "results path", error) ||
        !takePath(in.jobDir, a.jobDir, "job directory", error) ||
        !takePath(in.indexPath, a.indexPath, "index path", error) ||
        !takePath(in.snapJobId, a.snapJobId, "snapshot job id", error) ||
        !takePath(in.replicationJobId, a.replicationJobId, "replication job id", error) ||
        !takePath(in.proxyMapPath, a.proxyMapPath, "proxy map path", error))
        return false;
    if (a.archivePath.empty()) {
        *error = "argument block: no archive path";
        return false;
    }
    if (a.snapToTape && a.snapJobId.empty()) {
        *error = "argument block: a snapshot-to-tape job without a snapshot job id";
        return false;
    }
    out = std::move(a);
    return true;
}
