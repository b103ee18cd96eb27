// The snapshot mapping file of SnapFSContentMapper (format in the header).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "mapping/SnapFSContentMapper.h"
#include "platform/agent/KxLog.h"
#include "platform/base/QMString.h"
#include "platform/text/PathUtil.h"
#include "platform/text/ReplaceFile.h"
#include "platform/text/StdioLines.h"
#include "platform/text/WholeFile.h"

namespace {

// The longest line read; a longer one is invalid, refused as soon as it has
// run past this bound.
constexpr size_t kMaxMappingLine = 65536;
// The largest file a job reads whole (a line per snapshot volume).
constexpr size_t kMaxMappingFile = 16u << 20;

// `path` ending in '/'; "" gives "/".
std::string mkPathString(const std::string& path) {
    if (!path.empty() && path.back() == '/')
        return path;
    return path + "/";
}

using ruxen::FileCloser;

}  // namespace

bool SnapFSContentMapper::saveMappingToFile(const std::string& fileName) {
    std::string text;
    auto line = [&text, &fileName](char letter, std::initializer_list<const std::string*> fields) {
        text.push_back(letter);
        text.push_back(':');
        for (const std::string* f : fields) {
            if (f->find_first_of(":\n") != std::string::npos) {
                KXLOG(-1, "Cannot write '%s': the path '%s' holds ':' or a line feed", fileName.c_str(), f->c_str());
                return false;
            }
            text += *f;
            text.push_back(':');
        }
        text.push_back('\n');
        return true;
    };
    for (const RawDevInfo& d : mRawDevList)
        if (!line('r', {&d.source, &d.sourceParent, &d.mount, &d.mountParent}))
            return false;
    for (const auto& kv : mProxyToHostMap)
        if (!line('m', {&kv.first, &kv.second}))
            return false;
    std::string error;
    if (!ReplaceFile::Write(fileName, text, error)) {
        KXLOG(-1, "Fail create output file '%s': %s", fileName.c_str(), error.c_str());
        return false;
    }
    return true;
}

bool SnapFSContentMapper::applyMappingLine(const std::string& line,
                                           std::map<std::string, std::string>& collectPathMap) const {
    if (line.find('\0') != std::string::npos || line.back() != ':')
        return false;
    std::vector<std::string> f;
    QMString::Split(line, ":", f);  // the final ':' gives an empty last piece
    if (f[0] == "m" && f.size() == 4) {
        auto it = mProxyToHostMap.find(PathUtil::StripTrailingSlashes(f[1]));
        if (it == mProxyToHostMap.end()) {
            KXLOG(2, "mapping file: source %s is not a snapshot of this job", f[1].c_str());
            return true;
        }
        const std::string now = mkPathString(it->second), then = mkPathString(f[2]);
        if (now != then)
            collectPathMap[then] = now;
        return true;
    }
    if (f[0] != "r" || f.size() != 6)
        return false;
    const std::string source = PathUtil::StripTrailingSlashes(f[1]);
    const std::string sourceParent = PathUtil::StripTrailingSlashes(f[2]);
    const RawDevInfo* bySource = nullptr;
    const RawDevInfo* byParent = nullptr;
    for (const RawDevInfo& d : mRawDevList) {
        if (bySource == nullptr && d.source == source)
            bySource = &d;
        if (byParent == nullptr && d.sourceParent == sourceParent)
            byParent = &d;
    }
    // The mount parent comes from the same volume as the mount: raw volumes
    // of one parent directory may have their snapshots mounted apart.
    if (bySource != nullptr) {
        byParent = bySource;
        if (mkPathString(bySource->mount) != mkPathString(f[3]))
            collectPathMap[mkPathString(f[3])] = mkPathString(bySource->mount);
    }
    if (byParent != nullptr && mkPathString(byParent->mountParent) != mkPathString(f[4]))
        collectPathMap[mkPathString(f[4])] = mkPathString(byParent->mountParent);
    return true;
}

bool SnapFSContentMapper::loadMappingFromFile(const std::string& fileName,
                                              std::map<std::string, std::string>& collectPathMap) {
    int fd = open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return loadMappingFromText(fileName, nullptr, collectPathMap, nullptr);
    std::unique_ptr<FILE, FileCloser> f(fdopen(fd, "r"));
    struct stat st;
    if (!f || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        KXLOG(-1, "'%s' is not a readable regular file", fileName.c_str());
        if (!f)
            close(fd);
        return false;
    }
    return applyMappingStream(f.get(), fileName, collectPathMap, nullptr);
}

bool SnapFSContentMapper::loadMappingFromText(const std::string& fileName, const std::string* text,
                                              std::map<std::string, std::string>& collectPathMap, std::string* why) {
    if (text == nullptr) {
        KXLOG(-1, "Fail open file '%s'. Will use direct source to mount map", fileName.c_str());
        for (const auto& kv : mProxyToHostMap)
            collectPathMap[mkPathString(kv.first)] = mkPathString(kv.second);
        return true;
    }
    if (text->empty())
        return true;
    std::unique_ptr<FILE, FileCloser> f(fmemopen(const_cast<char*>(text->data()), text->size(), "r"));
    if (!f) {
        if (why)
            *why = "cannot read the text of " + fileName + ": " + strerror(errno);
        return false;
    }
    return applyMappingStream(f.get(), fileName, collectPathMap, why);
}

bool SnapFSContentMapper::ReadMappingFile(const std::string& fileName, std::string& text, bool& exists,
                                          std::string& error) {
    exists = false;
    text.clear();
    std::string readError;
    if (!WholeFile::ReadRegular(fileName, kMaxMappingFile, text, readError)) {
        struct stat st;
        if (lstat(fileName.c_str(), &st) != 0 && errno == ENOENT)
            return true;
        error = "the snapshot mapping file cannot be read: " + readError;
        return false;
    }
    exists = true;
    // Every line as the loader will judge it, by a mapper that knows no
    // snapshot: only a line of another form fails.
    SnapFSContentMapper none;
    std::map<std::string, std::string> scratch;
    std::string why;
    if (!none.loadMappingFromText(fileName, &text, scratch, &why)) {
        error = "the snapshot mapping file " + why;
        return false;
    }
    return true;
}

bool SnapFSContentMapper::applyMappingStream(FILE* f, const std::string& fileName,
                                             std::map<std::string, std::string>& collectPathMap, std::string* why) {
    std::string line;
    int rc;
    char reason[96] = "";
    while ((rc = ruxen::ReadBoundedLine(f, kMaxMappingLine, line)) != 0) {
        if (rc == -1) {
            snprintf(reason, sizeof reason, "cannot be read: %s", strerror(errno));
            KXLOG(-1, "cannot read '%s': %s", fileName.c_str(), strerror(errno));
            break;
        }
        if (rc == -2) {
            snprintf(reason, sizeof reason, "has a line longer than %zu bytes", kMaxMappingLine);
            KXLOG(-1, "invalid format in file '%s': a line longer than %zu bytes [%.200s]", fileName.c_str(),
                  kMaxMappingLine, line.c_str());
            break;
        }
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (!applyMappingLine(line, collectPathMap)) {
            snprintf(reason, sizeof reason, "has a line of another form");
            KXLOG(-1, "invalid format in file '%s' [%.200s]", fileName.c_str(), line.c_str());
            break;
        }
    }
    if (reason[0] == '\0')
        return true;
    if (why)
        *why = fileName + " " + reason;
    return false;
}
