// Path helpers shared by the content mappers and the mount tables.
//
// Prefixes match on whole components: the key /a/b covers /a/b and /a/b/x but
// never /a/bc. "/" covers every absolute path. Trailing slashes of a key are
// ignored ("/a/b/" is the key /a/b); an empty key covers nothing. No other
// normalisation is done: "." and ".." components and inner doubled slashes are
// compared as written.
//
// Results that go into caller-supplied char buffers are never cut: a cut path
// names another file. CopyToBuffer is the one place that enforces it.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace PathUtil {

// Length of `path` once its trailing slashes are removed, keeping a leading
// "/" ("/" and "//" give 1, "" gives 0). Allocates nothing.
inline size_t TrimmedLength(const std::string& path) {
    size_t n = path.size();
    while (n > 1 && path[n - 1] == '/')
        --n;
    return n;
}

// `path` without trailing slashes; "/" stays "/", "//" becomes "/".
std::string StripTrailingSlashes(std::string path);

// Whether the key covers the path on whole components (see above).
bool IsPrefixPath(const std::string& key, const std::string& path);

// The length of the key as it covers the path (TrimmedLength(key)), or -1
// when it does not cover it. The basis of every longest-match rule.
long CoverLength(const std::string& key, const std::string& path);

// `a` and `b` joined by exactly one "/": trailing slashes of `a` and leading
// slashes of `b` are dropped at the seam. An empty (or all-slash) `b` gives
// `a` unchanged; an empty `a` gives `b`.
std::string Join(const std::string& a, const std::string& b);

// The part of `path` below `key`, without leading slashes: "" when the path is
// the key itself ("/a" and "/a/" under "/a"), "b/c" for "/a/b/c" under "/a",
// "x/y" for "/x/y" under "/". The key must cover the path (IsPrefixPath);
// otherwise the path is returned unchanged.
std::string Remainder(const std::string& key, const std::string& path);

// Whether a component of `path` is "." or "..": such a path, mapped below a
// prefix, can name a file outside the prefix's tree.
bool HasDotComponent(const std::string& path);

// Copies `s` and its terminating NUL into `buf` of `size` bytes. Answers 0,
// or -1 with errno EINVAL (null buffer, size of 0 or less, or `s` holding a
// NUL byte, which a C reader would cut) or ENAMETOOLONG (`s` longer than
// size - 1). On failure the buffer is left empty when it has room for the NUL.
int CopyToBuffer(const std::string& s, char* buf, int size);

namespace detail {

// The entry whose key is `c` itself or `c` followed by one or more slashes
// (the bare key first). `c` is used as scratch space and given back as it was.
template <class V>
typename std::map<std::string, V>::const_iterator FindKeyForm(const std::map<std::string, V>& table, std::string& c) {
    auto it = table.find(c);
    if (it != table.end())
        return it;
    // Keys c + "/"..."/" follow c in key order, but other keys starting with
    // c + "/" may sort between them ("/a/!" < "/a//"). Probe each slash count
    // while some key still starts with that many slashes.
    const size_t base = c.size();
    auto found = table.end();
    for (;;) {
        c.push_back('/');
        auto lb = table.lower_bound(c);
        if (lb == table.end() || lb->first.compare(0, c.size(), c) != 0)
            break;
        if (lb->first.size() == c.size()) {
            found = lb;
            break;
        }
    }
    c.resize(base);
    return found;
}

}  // namespace detail

// The entry of `table` whose key covers `path` with the longest whole-component
// key, or table.end() when none does. Walks the path's ancestors (the path,
// then each parent up to "/") and looks each one up, so the cost grows with
// the path's depth, not the table's size. Of keys that differ only in trailing
// slashes ("/a" and "/a/") the bare one is taken.
template <class V>
typename std::map<std::string, V>::const_iterator LongestPrefixLookup(const std::map<std::string, V>& table,
                                                                      const std::string& path) {
    size_t len = TrimmedLength(path);
    if (len == 0 || table.empty())
        return table.end();
    std::string c(path, 0, len);
    for (;;) {
        auto it = detail::FindKeyForm(table, c);
        if (it != table.end())
            return it;
        if (c.size() == 1 && c[0] == '/')
            return table.end();
        size_t slash = c.rfind('/');
        if (slash == std::string::npos)
            return table.end();  // a relative path has no further ancestor
        size_t p = slash;
        while (p > 1 && c[p - 1] == '/')
            --p;
        c.resize(p == 0 ? 1 : p);
    }
}

// The element in [first, last) whose key (keyOf(element), a std::string or a
// reference to one) covers `path` with the longest whole-component key; of
// elements with the same key the LATER one wins (in a mount table that is the
// mount that hides the earlier one). Returns `last` when none covers the path.
template <class It, class KeyOf>
It LongestPrefixScan(It first, It last, const std::string& path, KeyOf keyOf) {
    It best = last;
    long bestLen = -1;
    for (It it = first; it != last; ++it) {
        long n = CoverLength(keyOf(*it), path);
        if (n >= 0 && n >= bestLen) {
            best = it;
            bestLen = n;
        }
    }
    return best;
}

}  // namespace PathUtil
