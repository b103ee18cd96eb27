#include "mapping/ContentMapper.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "platform/agent/KxLog.h"
#include "platform/text/PathUtil.h"

namespace {

const std::string kRoot = "/";

// A local path as it takes part in matching: empty means mounted at "/".
const std::string& localOf(const std::string& value) { return value.empty() ? kRoot : value; }

}  // namespace

ContentMapper::ContentMapper() = default;

ContentMapper::~ContentMapper() = default;

void ContentMapper::RebuildReverseMap() {
    mHostToProxyMap.clear();
    // In key order, so that of two recorded paths at one local path the
    // greater key stays.
    for (const auto& kv : mProxyToHostMap)
        mHostToProxyMap[PathUtil::StripTrailingSlashes(localOf(kv.second))] = kv.first;
    mReverseBuiltFor = mProxyToHostMap.size();
}

std::map<std::string, std::string>::const_iterator ContentMapper::FindByHostPath(const std::string& hostPath) {
    if (mReverseBuiltFor != mProxyToHostMap.size())
        RebuildReverseMap();
    auto rev = PathUtil::LongestPrefixLookup(mHostToProxyMap, hostPath);
    if (rev == mHostToProxyMap.end())
        return mProxyToHostMap.end();
    auto it = mProxyToHostMap.find(rev->second);
    if (it == mProxyToHostMap.end() || PathUtil::StripTrailingSlashes(localOf(it->second)) != rev->first) {
        // The map was changed behind the reverse map's back: build it anew.
        RebuildReverseMap();
        return FindByHostPath(hostPath);
    }
    return it;
}

bool ContentMapper::initialize(const char* appIdString) {
    mAppIdString = appIdString ? appIdString : "";
    if (!mPairsGiven)
        mProxyToHostMap.clear();  // an earlier job's
    mPairsGiven = false;
    RebuildReverseMap();
    mEnabled = !mProxyToHostMap.empty();
    KXLOG(2, "Content mapper for %s: %zu pairs, %s", mAppIdString.c_str(), mProxyToHostMap.size(),
          mEnabled ? "enabled" : "not enabled");
    return mEnabled;
}

bool ContentMapper::initProxyHostAppType(ApplicationId* app) {
    if (app == nullptr)
        return false;
    if (!mProxyToHostMap.empty())
        mEnabled = true;
    return mEnabled;
}

int ContentMapper::MapProxyToHost(const std::string& in, std::string& out) {
    if (!mEnabled) {
        out = in;
        return 0;
    }
    auto it = PathUtil::LongestPrefixLookup(mProxyToHostMap, in);
    if (it == mProxyToHostMap.end()) {
        mLastError = "No mapping covers the recorded path " + in;
        KXLOG(3, "%s", mLastError.c_str());
        out = in;
        return -1;
    }
    out = PathUtil::Join(localOf(it->second), PathUtil::Remainder(it->first, in));
    KXLOG(4, "recorded %s -> local %s (via %s)", in.c_str(), out.c_str(), it->first.c_str());
    return 0;
}

int ContentMapper::MapHostToProxy(const std::string& in, std::string& out) {
    if (!mEnabled) {
        out = in;
        return 0;
    }
    auto it = FindByHostPath(in);
    if (it == mProxyToHostMap.end()) {
        mLastError = "No mapping covers the local path " + in;
        KXLOG(3, "%s", mLastError.c_str());
        out = in;
        return -1;
    }
    out = PathUtil::Join(it->first, PathUtil::Remainder(localOf(it->second), in));
    KXLOG(4, "local %s -> recorded %s (via %s)", in.c_str(), out.c_str(), localOf(it->second).c_str());
    return 0;
}

int ContentMapper::CopyOut(int rc, const std::string& result, char* out, int size) {
    if (PathUtil::CopyToBuffer(result, out, size) != 0) {
        int e = errno;
        mLastError = "Path of " + std::to_string(result.size()) + " bytes does not fit a buffer of " +
                     std::to_string(size) + " bytes";
        KXLOG(1, "%s: %s", mLastError.c_str(), result.c_str());
        errno = e;
        return -1;
    }
    return rc;
}

int ContentMapper::MakeProxyPathFromHostPath(const char* hostPath, char* out, int size) {
    if (hostPath == nullptr) {
        mLastError = "No path given";
        PathUtil::CopyToBuffer(std::string(), out, size);
        errno = EINVAL;
        return -1;
    }
    std::string in(hostPath);  // a copy: `out` may be the same buffer
    std::string result;
    int rc = MapHostToProxy(in, result);
    return CopyOut(rc, result, out, size);
}

int ContentMapper::MakeHostPathFromProxyPath(const char* proxyPath, char* out, int size) {
    if (proxyPath == nullptr) {
        mLastError = "No path given";
        PathUtil::CopyToBuffer(std::string(), out, size);
        errno = EINVAL;
        return -1;
    }
    std::string in(proxyPath);
    std::string result;
    int rc = MapProxyToHost(in, result);
    return CopyOut(rc, result, out, size);
}

int ContentMapper::MakeProxyPathFromHostPath(const std::string& hostPath, std::string& out) {
    std::string result;
    int rc = MapHostToProxy(hostPath, result);
    out.swap(result);
    return rc;
}

int ContentMapper::MakeHostPathFromProxyPath(const std::string& proxyPath, std::string& out) {
    std::string result;
    int rc = MapProxyToHost(proxyPath, result);
    out.swap(result);
    return rc;
}

int ContentMapper::SetProxyToHostMap(std::list<std::string>* pairs) {
    if (pairs == nullptr)
        return -1;
    std::map<std::string, std::string> parsed;
    for (std::string line : *pairs) {
        ProxyStripEOL(line);
        size_t sep = line.find(mContentDelimiter);
        if (sep == std::string::npos || sep == 0) {
            KXLOG(-1, "Bad proxy/host pair '%s': expected <recorded path><TAB><local path>", line.c_str());
            return -1;
        }
        std::string recorded = PathUtil::StripTrailingSlashes(line.substr(0, sep));
        std::string local = PathUtil::StripTrailingSlashes(line.substr(sep + 1));
        if (local == "/")
            local.clear();  // one spelling for "mounted at /"
        auto ins = parsed.emplace(recorded, local);
        if (!ins.second && ins.first->second != local) {
            KXLOG(-1, "Recorded path %s is mapped twice: to '%s' and to '%s'", recorded.c_str(),
                  ins.first->second.c_str(), local.c_str());
            return -1;
        }
    }
    mProxyToHostMap.swap(parsed);
    mPairsGiven = true;
    RebuildReverseMap();
    mEnabled = true;
    KXLOG(2, "Proxy/host map set: %zu pairs", mProxyToHostMap.size());
    return 0;
}

int ContentMapper::GetHostPathsForDirChange(std::list<std::string>* out) { return GetHostPathList(out); }

int ContentMapper::GetHostPathList(std::list<std::string>* out) {
    if (out == nullptr)
        return -1;
    for (const auto& kv : mProxyToHostMap)
        out->push_back(localOf(kv.second));
    return 0;
}

int ContentMapper::GetProxyPathList(std::list<std::string>* out) {
    if (out == nullptr)
        return -1;
    for (const auto& kv : mProxyToHostMap)
        out->push_back(kv.first);
    return 0;
}

int ContentMapper::GetHostAndProxyFromHostPath(std::string hostPath, std::string& host, std::string& proxy) {
    auto it = FindByHostPath(hostPath);
    if (it == mProxyToHostMap.end()) {
        host.clear();
        proxy.clear();
        return -1;
    }
    host = it->second;
    proxy = it->first;
    return 0;
}

int ContentMapper::GetHostAndProxyFromProxyPath(std::string proxyPath, std::string& host, std::string& proxy) {
    auto it = PathUtil::LongestPrefixLookup(mProxyToHostMap, proxyPath);
    if (it == mProxyToHostMap.end()) {
        host.clear();
        proxy.clear();
        return -1;
    }
    host = it->second;
    proxy = it->first;
    return 0;
}

int ContentMapper::ProxyReadLine(int fd, char* buf, int size) {
    if (buf == nullptr || size < 1) {
        errno = EINVAL;
        return -1;
    }
    buf[0] = '\0';
    const int cap = size - 1;  // room for the NUL
    int len = 0;
    int refused = 0;  // errno of a line being consumed after refusal
    for (;;) {
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int e = errno;
            buf[0] = '\0';
            errno = e;
            return -1;
        }
        if (n == 0)
            break;  // end of input: a last line without a line feed still counts
        if (refused == 0) {
            if (c == '\0') {
                refused = EINVAL;
            } else if (len >= cap) {
                refused = ENAMETOOLONG;
            } else {
                buf[len++] = c;
            }
        }
        if (c == '\n')
            break;
    }
    if (refused != 0) {
        buf[0] = '\0';
        KXLOG(1, "Refused a line of fd %d: %s", fd, strerror(refused));
        errno = refused;
        return -1;
    }
    buf[len] = '\0';
    return len;
}

void ContentMapper::ProxyStripEOL(std::string& line) {
    size_t n = line.size();
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
        --n;
    line.resize(n);
}
