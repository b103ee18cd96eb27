#include "mapping/WildCardContentMapper.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/agent/ApplicationRegistry.h"
#include "platform/agent/KxLog.h"
#include "platform/base/QMString.h"
#include "platform/content/TPathMatch.h"
#include "platform/text/PathUtil.h"

namespace {

const char kPairSeparator = 0x15;
// Written after the local part of an entry to ask for wildcard handling.
const char kWildcardMarker[] = "\\/\\/";

std::mutex g_sourceLock;
WildCardContentMapper::AppSource& TheSource() {
    static WildCardContentMapper::AppSource source;
    return source;
}

// The application registry's answers.
WildCardContentMapper::AppSource RegistrySource() {
    WildCardContentMapper::AppSource s;
    s.applicationType = [](const std::string& idString, ULONG& type) {
        ApplicationId id(idString);
        id.getAppIdInfo();
        if (id.getApplicationId() != 0)
            return -1;
        type = id.getAppType();
        return 0;
    };
    s.subclientContent = [](const std::string& idString, std::vector<std::string>& entries) {
        return Subclient(ApplicationId(idString).appId).getContent(entries) ? 0 : -1;
    };
    return s;
}

// Wildcard characters of a single component, as the expansion sees them.
bool hasWildChar(const std::string& s) { return s.find_first_of("*?[") != std::string::npos; }

// A part taken literally: without the wildcard marker and trailing slashes
// ("/" stays "/").
std::string Literal(std::string s) {
    const size_t m = sizeof kWildcardMarker - 1;
    if (s.size() >= m && s.compare(s.size() - m, m, kWildcardMarker) == 0)
        s.resize(s.size() - m);
    return PathUtil::StripTrailingSlashes(s);
}

// A part as the expansion reads it: every backslash removed, then every
// trailing slash.
std::string Normalised(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != '\\')
            out += c;
    while (!out.empty() && out.back() == '/')
        out.pop_back();
    return out;
}

// Splits a normalised part into its parent and its last component. Answers
// false (logged) when a component before the last holds a wildcard in
// wildcard mode. `probe`: warn about parents that cannot be reached.
bool SplitPart(const std::string& part, bool wildcardMode, bool probe, const char* side, std::string& parent,
               std::string& last) {
    std::vector<std::string> tokens;
    QMString::Tokenize(part, "/", tokens);
    if (tokens.empty())
        return false;
    last = tokens.back();
    parent.clear();
    for (size_t i = 0; i + 1 < tokens.size(); ++i) {
        if (wildcardMode && hasWildChar(tokens[i])) {
            KXLOG(-1, "ERROR:%s path %s contains extra wildcard pattern %s other than last token", side, part.c_str(),
                  tokens[i].c_str());
            return false;
        }
        parent += "/" + tokens[i];
        if (probe && access(parent.c_str(), F_OK) != 0)
            KXLOG(1, "WARNING:proxy path %s is not accessible", parent.c_str());
    }
    if (parent.empty())
        parent = "/";
    return true;
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

}  // namespace

bool hasWildCard(const std::string& s) {
    return s.find_first_of("*?") != std::string::npos ||
           (s.find('[') != std::string::npos && s.find(']') != std::string::npos);
}

void WildCardContentMapper::SetAppSource(AppSource source) {
    std::lock_guard<std::mutex> hold(g_sourceLock);
    TheSource() = std::move(source);
}

WildCardContentMapper::WildCardContentMapper() = default;

WildCardContentMapper::WildCardContentMapper(FILE* out) : m_out(out) {}

WildCardContentMapper::~WildCardContentMapper() = default;

bool WildCardContentMapper::initialize(const char* idString) {
    mAppIdString = idString ? idString : "";
    mEnabled = false;
    AppSource source;
    {
        std::lock_guard<std::mutex> hold(g_sourceLock);
        source = TheSource();
    }
    if (!source.applicationType && !source.subclientContent)
        source = RegistrySource();
    ULONG type = 0;
    if (!source.applicationType || source.applicationType(mAppIdString, type) != 0) {
        KXLOG(-1, "Failed to get ApplicationId. idString[%s]", mAppIdString.c_str());
        return false;
    }
    if (type == 25 || type == 40 || type == 87) {
        std::vector<std::string> entries;
        int rc = source.subclientContent ? source.subclientContent(mAppIdString, entries) : -1;
        if (rc == -1)
            KXLOG(-1, "AppManager get of Subclient config failed");
        else if (rc != 0)
            KXLOG(-1, "Get Files failed");
        else
            initProxyHostAppTypeForWildCards(entries);
    }
    KXLOG(1, "%s", mEnabled ? "Proxy Enabled" : "Proxy Disabled");
    return mEnabled;
}

bool WildCardContentMapper::initProxyHostAppTypeForWildCards(const std::vector<std::string>& entries) {
    KXLOG(2, "Entering initProxyHostAppTypeForWildCards");
    std::map<std::string, std::string> pairs;
    bool any = false;
    for (const std::string& entry : entries) {
        size_t at = entry.find(mContentDelimiter);
        if (at == std::string::npos) {
            KXLOG(-1, "Failed to find Delimiter in [%s]", entry.c_str());
            continue;
        }
        any = true;
        std::string left = entry.substr(0, at), right = entry.substr(at + 1);
        if (left.empty() || right.empty()) {
            KXLOG(-1, "Content entry [%s] has an empty part; Skipping", entry.c_str());
            continue;
        }
        const bool wildcardMode =
            right.find(kWildcardMarker) != std::string::npos || hasWildCard(left) || hasWildCard(right);
        if (CheckIfContentIsWithWildChars(left, right, pairs, wildcardMode) == kOutputFailed)
            return mEnabled = false;
    }
    if (m_out != nullptr && fflush(m_out) != 0) {
        KXLOG(-1, "Cannot write the proxy pair list: %s", strerror(errno));
        return mEnabled = false;
    }
    if (!any)
        return mEnabled = false;
    mProxyToHostMap.swap(pairs);
    RebuildReverseMap();
    return mEnabled = true;
}

int WildCardContentMapper::AddPair(std::map<std::string, std::string>& pairs, const std::string& left,
                                   const std::string& right, bool written) {
    if ((left + right).find_first_of(std::string("\n") + kPairSeparator) != std::string::npos) {
        KXLOG(-1, "Pair [%s] -> [%s] holds a line feed or byte 0x15; Skipping", left.c_str(), right.c_str());
        return kEntryRejected;
    }
    pairs[left] = right;
    KXLOG(2, "Map: mProxyToHostMap[%s] = %s", left.c_str(), right.c_str());
    if (written && m_out != nullptr && fprintf(m_out, "%s%c%s\n", left.c_str(), kPairSeparator, right.c_str()) < 0) {
        KXLOG(-1, "Cannot write the proxy pair %s: %s", left.c_str(), strerror(errno));
        return kOutputFailed;
    }
    return kEntryTaken;
}

int WildCardContentMapper::CheckIfContentIsWithWildChars(std::string left, std::string right,
                                                         std::map<std::string, std::string>& pairs, bool wildcardMode) {
    const std::string leftLiteral = Literal(left), rightLiteral = Literal(right);
    if (leftLiteral == "/" || rightLiteral == "/")
        return AddPair(pairs, leftLiteral, rightLiteral, true);  // the root is never a pattern

    const std::string r = Normalised(right), l = Normalised(left);
    KXLOG(2, "ProxyPath is %s", r.c_str());
    KXLOG(2, "HostPath is %s", l.c_str());
    std::string rParent, rPattern, lParent, lPattern;
    if (r.empty() || l.empty()) {
        KXLOG(-1, "Content entry [%s] [%s] has an empty part; Skipping", left.c_str(), right.c_str());
        return kEntryRejected;
    }
    if (!SplitPart(r, wildcardMode, true, "proxy", rParent, rPattern) ||
        !SplitPart(l, wildcardMode, false, "host", lParent, lPattern))
        return kEntryRejected;
    KXLOG(2, "Parent = %s Pattern %s", rParent.c_str(), rPattern.c_str());

    const bool rWild = hasWildChar(rPattern), lWild = hasWildChar(lPattern);
    const bool rejected = (rWild && lWild && wildcardMode) ? rPattern != lPattern
                                                           : (rWild && !lWild) || (lWild && !rWild && wildcardMode);
    if (rejected) {
        KXLOG(-1, "ERROR:proxy pattern %s and host patter %s does not match", rPattern.c_str(), lPattern.c_str());
        return kEntryRejected;
    }
    if (!(rWild && wildcardMode))
        return AddPair(pairs, leftLiteral, rightLiteral, true);

    std::list<std::string> listed;
    wcDirnames(rParent, rPattern, listed);
    listed.sort();
    // The parents are paired too, but never at the root: a pair at "/" would
    // cover every path of its side, so an item outside the content would be
    // read below the other side (or found missing there) instead of being
    // refused as unmapped.
    if (lParent != "/" && rParent != "/")
        AddPair(pairs, lParent, rParent, false);
    for (const std::string& path : listed)
        if (AddPair(pairs, PathUtil::Join(lParent, PathUtil::Remainder(rParent, path)), path, true) == kOutputFailed)
            return kOutputFailed;
    return kEntryTaken;
}

int WildCardContentMapper::wcDirnames(const std::string& folder, const std::string& pattern,
                                      std::list<std::string>& out) {
    TPathMatch matcher;
    matcher.caseSensitive();
    matcher.setEscape('\\');
    matcher.setDelimiter('/');
    KXLOG(2, "wcDirnames: scanning for pattern '%s' in folder '%s'", pattern.c_str(), folder.c_str());
    if (matcher.init(pattern) != 0) {
        KXLOG(-1, "wcDirnames: cannot initialize wild card '%s', parent='%s'", pattern.c_str(), folder.c_str());
        return -1;
    }
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
    if (!dir) {
        KXLOG(-1, "wcDirnames: cannot read '%s', code %d", folder.c_str(), errno);
        return -1;
    }
    for (;;) {
        errno = 0;
        const struct dirent* e = readdir(dir.get());
        if (e == nullptr) {
            if (errno == 0)
                return 0;  // the end of the folder
            KXLOG(-1, "wcDirnames: cannot read '%s', code %d", folder.c_str(), errno);
            return -1;
        }
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        if (matcher.match(e->d_name))
            out.push_back(PathUtil::Join(folder, e->d_name));
    }
}

int WildCardContentMapper::GetPathFromProxy(std::string path, std::string& right, std::string& left) {
    return GetHostAndProxyFromProxyPath(path, right, left);
}

int WildCardContentMapper::GetPathFromHost(std::string path, std::string& right, std::string& left) {
    return GetHostAndProxyFromHostPath(path, right, left);
}

int WildCardContentMapper::MapOne(bool toHost, const std::string& in, std::string& out) {
    const bool bad = !mEnabled || in.empty();
    if (bad) {
        mLastError = toHost ? "Mapping not enabled or Bad Parameter" : "Mapping not enabled or bad input parameter";
        if (toHost)
            KXLOG(1, "ERROR_CANT_CONVERT_PROXY_TO_HOST");
    } else if ((toHost ? MapProxyToHost(in, out) : MapHostToProxy(in, out)) != 0) {
        mLastError = "Failed to look up host/proxy base";
    } else {
        if (out.size() > 1 && out.back() == '/')
            out.pop_back();
        return 0;
    }
    out = in;
    return -2;
}

int WildCardContentMapper::MakeProxyPathFromHostPath(const std::string& hostPath, std::string& out) {
    std::string result;
    int rc = MapOne(false, hostPath, result);
    out.swap(result);
    return rc;
}

int WildCardContentMapper::MakeHostPathFromProxyPath(const std::string& proxyPath, std::string& out) {
    std::string result;
    int rc = MapOne(true, proxyPath, result);
    out.swap(result);
    return rc;
}

namespace {

// The char-buffer forms: the result when it fits, else the path unchanged
// when that fits (else an empty buffer). The input is copied first: `out`
// may be the same buffer.
template <class Map>
int MapIntoBuffer(const char* path, char* out, int size, std::string& lastError, Map map) {
    const std::string in = path ? path : "";
    std::string result;
    int rc = map(in, result);
    if (rc == 0 && PathUtil::CopyToBuffer(result, out, size) == 0)
        return 0;
    PathUtil::CopyToBuffer(in, out, size);
    if (rc == 0) {
        lastError = "Path of " + std::to_string(result.size()) + " bytes does not fit the buffer";
        errno = ENAMETOOLONG;
        return -1;
    }
    return rc;
}

}  // namespace

int WildCardContentMapper::MakeProxyPathFromHostPath(const char* hostPath, char* out, int size) {
    return MapIntoBuffer(hostPath, out, size, mLastError,
                         [this](const std::string& in, std::string& r) { return MapOne(false, in, r); });
}

int WildCardContentMapper::MakeHostPathFromProxyPath(const char* proxyPath, char* out, int size) {
    return MapIntoBuffer(proxyPath, out, size, mLastError,
                         [this](const std::string& in, std::string& r) { return MapOne(true, in, r); });
}
