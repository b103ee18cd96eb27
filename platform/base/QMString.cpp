#include "platform/base/QMString.h"

#include <cstring>

void QMString::Split(const std::string& s, const std::string& delim, std::vector<std::string>& out, int flags) {
    out.clear();
    const bool keepEmpty = (flags & SplitKeepEmpty) != 0;
    if (delim.empty()) {
        if (keepEmpty || !s.empty())
            out.push_back(s);
        return;
    }
    size_t start = 0;
    for (;;) {
        size_t pos = s.find(delim, start);
        size_t end = (pos == std::string::npos) ? s.size() : pos;
        if (keepEmpty || end > start)
            out.emplace_back(s, start, end - start);
        if (pos == std::string::npos)
            break;
        start = pos + delim.size();
    }
}

void QMString::Tokenize(const std::string& s, const char* separators, std::vector<std::string>& out) {
    out.clear();
    if (!separators || !*separators) {
        if (!s.empty())
            out.push_back(s);
        return;
    }
    size_t pos = 0;
    while (pos < s.size()) {
        size_t begin = s.find_first_not_of(separators, pos);
        if (begin == std::string::npos)
            break;
        size_t end = s.find_first_of(separators, begin);
        if (end == std::string::npos)
            end = s.size();
        out.emplace_back(s, begin, end - begin);
        pos = end;
    }
}

void QMString::TrimWhiteSpace(std::string& s) {
    static const char kBlank[] = " \t\r\n";
    size_t end = s.find_last_not_of(kBlank);
    if (end == std::string::npos) {
        s.clear();
        return;
    }
    s.erase(end + 1);
    s.erase(0, s.find_first_not_of(kBlank));
}

void QMString::RemoveRight(std::string& s, const std::string& chars) {
    if (chars.empty())
        return;
    size_t end = s.find_last_not_of(chars);
    s.erase(end == std::string::npos ? 0 : end + 1);
}
