#include "errorpolicy/Error_Tab.h"

#include "platform/agent/KxLog.h"
#include "platform/content/TPathMatch.h"

Error_Tab::Error_Tab(const char* pattern, DecisionType decision, std::list<Error_Range>& ranges, ErrorRulePathType type)
    : m_pattern(pattern ? pattern : ""), m_decision(decision) {
    std::unique_ptr<TPathMatch> matcher(new TPathMatch);
    const bool windows = type == WindowsPathStyle;
    const char delim = windows ? '\\' : '/';
    matcher->setDelimiter(delim);
    matcher->setEscape(windows ? '/' : '\\');
    if (windows)
        matcher->caseInsensitive();
    else
        matcher->caseSensitive();
    std::string effective = m_pattern;
    if (effective.find(delim) == std::string::npos && effective.find_first_of("*,?]") != std::string::npos) {
        effective = (windows ? "*\\**\\" : "/**/") + effective;
        KXLOG(1, "Converting Pattern %s to %s", m_pattern.c_str(), effective.c_str());
    }
    if (matcher->init(effective, 1, 0) != 0)
        return;
    m_matcher = std::move(matcher);
    m_ranges = ranges;
}

Error_Tab::~Error_Tab() = default;

Error_Tab::DecisionType Error_Tab::match(const std::string& path, long code, std::string& pattern) const {
    if (m_matcher && m_matcher->match(path)) {
        for (const Error_Range& r : m_ranges) {
            if (!r.holds(code))
                continue;
            KXLOG(2,
                  "File name %s and error code %ld match error tab entry, pattern=%s, allErrors=%d, fromValue=%ld, "
                  "toValue=%ld",
                  path.c_str(), code, m_pattern.c_str(), r.allErrorCodes ? 1 : 0, static_cast<long>(r.fromValue),
                  static_cast<long>(r.toValue));
            pattern = m_pattern;
            return m_decision;
        }
    }
    pattern.clear();
    return -1;
}

void Error_Tab::PrintErrorTab() const {
    KXLOG(1, "pattern=%s, jobDecision=%d", m_pattern.c_str(), m_decision);
    for (const Error_Range& r : m_ranges)
        KXLOG(1, "\t\tallError=%d, fromError=%ld, toError=%ld", r.allErrorCodes ? 1 : 0, static_cast<long>(r.fromValue),
              static_cast<long>(r.toValue));
}
