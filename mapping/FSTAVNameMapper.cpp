#include "mapping/FSTAVNameMapper.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/agent/KxLog.h"
#include "platform/text/PathUtil.h"

namespace {

std::string withSlash(const char* s) {
    std::string r(s);
    if (r.back() != '/')
        r.push_back('/');
    return r;
}

}  // namespace

bool FSTAVNameMapper::mapCompare(const Pair& a, const Pair& b) { return strcmp(a.first.c_str(), b.first.c_str()) < 0; }

void FSTAVNameMapper::add(const char* from, const char* to) {
    if (from == nullptr || to == nullptr || from[0] == '\0' || to[0] == '\0')
        return;
    Pair p(withSlash(from), withSlash(to));
    if (p.first == p.second)
        return;
    auto at = std::lower_bound(m_pairs.begin(), m_pairs.end(), p, mapCompare);
    if (at != m_pairs.end() && at->first == p.first) {
        KXLOG(1, "name map: %s already maps to %s; %s ignored", at->first.c_str(), at->second.c_str(), to);
        return;
    }
    m_pairs.insert(at, std::move(p));
}

bool FSTAVNameMapper::mapName(const char* name, std::string& out, bool* mapped) {
    bool hit = false;
    out = name ? name : "";
    const size_t len = name ? strlen(name) : 0;
    if (PathUtil::HasDotComponent(out)) {
        out.clear();
        errno = EINVAL;
    } else if (len > 0) {
        // Every from that matches is a prefix of name + "/", so the matching
        // froms sort in order of length: the last match in the vector is the
        // longest.
        for (auto it = m_pairs.rbegin(); it != m_pairs.rend(); ++it) {
            const std::string& from = it->first;
            size_t n = from.size();
            if (len + 1 == n)
                --n;  // the name is the from without its '/'
            if (len >= n && from.compare(0, n, name, n) == 0) {
                out = it->second;
                out.append(name + n, len - n);
                hit = true;
                break;
            }
        }
    }
    if (mapped != nullptr)
        *mapped = hit;
    return hit;
}

std::string FSTAVNameMapper::mapName(const char* name, bool* mapped) {
    std::string out;
    mapName(name, out, mapped);
    return out;
}
