#include "hardlinks/SplitConfigLine.h"

#include <charconv>
#include <cstring>

namespace {

constexpr const char* kSpace = " \t\r\n\v\f";

bool IsSpace(char c) { return c != '\0' && strchr(kSpace, c) != nullptr; }

// The words of [p, end), split at runs of white space.
template <class Fn>
void ForEachWord(const char* p, const char* end, Fn fn) {
    while (p < end) {
        while (p < end && IsSpace(*p))
            ++p;
        const char* w = p;
        while (p < end && !IsSpace(*p))
            ++p;
        if (p > w)
            fn(w, static_cast<size_t>(p - w));
    }
}

void Bad(SplitConfigLine& out, const char* word, size_t len, const char* why) {
    if (out.badWords++ == 0)
        out.firstError = "\"" + std::string(word, std::min<size_t>(len, 40)) + "\" " + why;
}

void AddToken(SplitConfigLine& out, const char* w, size_t len, bool allowH, bool asH) {
    CollectToken t;
    if (!ParseCollectToken(w, len, t, allowH))
        return Bad(out, w, len, "is not a collect-file token");
    t.hardLink = t.hardLink || asH;
    out.members.push_back(t);
}

void ParseSplitLine(const std::string& line, SplitConfigLine& out) {
    const char* begin = line.data();
    const char* end = begin + line.size();
    if (line.find(',') != std::string::npos) {
        for (const char* p = begin;; ++p) {
            const char* comma = static_cast<const char*>(memchr(p, ',', static_cast<size_t>(end - p)));
            const char* stop = comma ? comma : end;
            const char* a = p;
            const char* b = stop;
            while (a < b && IsSpace(*a))
                ++a;
            while (b > a && IsSpace(b[-1]))
                --b;
            AddToken(out, a, static_cast<size_t>(b - a), true, false);
            if (!comma)
                return;
            p = comma;
        }
    }
    std::vector<std::pair<const char*, size_t>> words;
    ForEachWord(begin, end, [&](const char* w, size_t n) { words.emplace_back(w, n); });
    if (words.empty())
        return;
    AddToken(out, words[0].first, words[0].second, true, false);
    if (words.size() > 3)
        out.ignoredWords = words.size() - 3;
    if (words.size() < 2)
        return;
    CollectToken from, to;
    if (!ParseCollectToken(words[1].first, words[1].second, from, false))
        return Bad(out, words[1].first, words[1].second, "is not a range start");
    to = from;
    if (words.size() > 2 && !ParseCollectToken(words[2].first, words[2].second, to, false))
        return Bad(out, words[2].first, words[2].second, "is not a range end");
    if (from.number > to.number) {
        out.invertedRange = true;
        return;
    }
    const uint64_t span = uint64_t(to.number) - uint64_t(from.number) + 1;
    if (span > SplitConfigLine::kMaxRangeSpan)
        return Bad(out, words[1].first, words[1].second, "starts a range that is too long");
    for (uint64_t v = uint64_t(from.number); v <= uint64_t(to.number); ++v)
        out.members.push_back(CollectToken{false, static_cast<int32_t>(v)});
}

}  // namespace

bool ParseCollectToken(const char* s, size_t len, CollectToken& out, bool allowH) {
    bool h = allowH && len > 0 && s[0] == 'H';
    const char* p = s + (h ? 1 : 0);
    const char* end = s + len;
    if (p == end || *p < '0' || *p > '9')
        return false;
    uint64_t v = 0;
    auto r = std::from_chars(p, end, v);
    if (r.ec != std::errc() || r.ptr != end || v < 1 || v > uint64_t(INT32_MAX))
        return false;
    out.hardLink = h;
    out.number = static_cast<int32_t>(v);
    return true;
}

void ParseSplitConfigLine(SplitConfigKind kind, const std::string& line, SplitConfigLine& out) {
    out = SplitConfigLine();
    if (kind == SplitConfigKind::SplitConfig)
        return ParseSplitLine(line, out);
    bool first = true;
    ForEachWord(line.data(), line.data() + line.size(), [&](const char* w, size_t n) {
        if (kind == SplitConfigKind::MergedSplitConfig)
            AddToken(out, w, n, true, false);
        else if (first || !out.members.empty())
            AddToken(out, w, n, false, !first);  // the key, then its H numbers
        else
            Bad(out, w, n, "follows a bad key");
        first = false;
    });
}
