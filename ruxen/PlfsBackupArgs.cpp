#include "ruxen/PlfsBackupArgs.h"

#include <sys/stat.h>

#include <cstring>

#include "platform/PathUtil.h"

std::string StreamOutputPath(const std::string& path, int stream, int count) {
    struct stat st;
    if (path.empty() || count <= 1 || stream <= 0 || (stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)))
        return path;
    return path + "." + std::to_string(stream);
}

namespace {

template <size_t N>
bool putPath(const std::string& path, char (&field)[N], const char* what, std::string* error) {
    if (PathUtil::CopyToBuffer(path, field, static_cast<int>(N)) != 0) {
        *error = std::string("the ") + what + " path does not fit the argument block (" + std::to_string(path.size()) +
                 " bytes, at most " + std::to_string(N - 1) + "): " + path;
        return false;
    }
    return true;
}

template <size_t N>
bool takePath(const char (&field)[N], std::string& path, const char* what, std::string* error) {
    const void* nul = memchr(field, '\0', N);
    if (nul == nullptr) {
        *error = std::string("argument block: the ") + what + " path has no end";
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
                   (in.flaProps ? kArgFlaProps : 0) | (in.noPrefetch ? kArgNoPrefetch : 0);
    out.appType = in.appType;
    return putPath(in.archivePath, out.archivePath, "archive", error) &&
           putPath(in.failuresPath, out.failuresPath, "failures", error) &&
           putPath(in.resultsPath, out.resultsPath, "results", error);
}

bool DecodeBackupArgs(const plfsBackupArgs& in, BackupArgs& out, std::string* error) {
    if (memcmp(in.magic, kPlfsBackupArgsMagic, sizeof in.magic) != 0 || in.version != kPlfsBackupArgsVersion) {
        *error = "argument block: not a block of version " + std::to_string(kPlfsBackupArgsVersion) + " (version " +
                 std::to_string(in.version) + ")";
        return false;
    }
    if (in.streamCount < 1 || in.streamNumber < 1 || in.streamNumber > in.streamCount || in.collectCount < 0 ||
        (in.switches & ~(kArgMacProperties | kArgPreserveAtime | kArgFlaProps | kArgNoPrefetch)) != 0) {
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
    a.noPrefetch = (in.switches & kArgNoPrefetch) != 0;
    if (!takePath(in.archivePath, a.archivePath, "archive", error) ||
        !takePath(in.failuresPath, a.failuresPath, "failures", error) ||
        !takePath(in.resultsPath, a.resultsPath, "results", error))
        return false;
    if (a.archivePath.empty()) {
        *error = "argument block: no archive path";
        return false;
    }
    out = std::move(a);
    return true;
}
