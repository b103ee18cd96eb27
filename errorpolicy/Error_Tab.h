// One job error-decision rule: a path pattern, ranges of error numbers and
// the decision it gives an item that matches both.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "platform/base/Export.h"

class TPathMatch;

// A range of error numbers: from..to, or every number.
struct Error_Range {
    int64_t fromValue = 0;
    int64_t toValue = 0;
    bool allErrorCodes = false;

    bool holds(long code) const { return allErrorCodes || (fromValue <= code && code <= toValue); }
};

// Path styles of the rules: 2 is the Windows style (delimiter '\', escape
// '/', case-insensitive); every other value the UNIX style (delimiter '/',
// escape '\', case-sensitive).
enum ErrorRulePathType : int { UnixPathStyle = 1, WindowsPathStyle = 2 };

class RUXEN_EXPORT Error_Tab {
public:
    typedef int32_t DecisionType;

    // A pattern without a delimiter that holds '*', ',', '?' or ']' stands
    // for that name at any depth: the matcher is given "/**/" (Windows:
    // "*\**\") in front of it. The rule is invalid (is_valid() false, every
    // match -1) when the matcher refuses the pattern; the caller reports it
    // (a loader of many rules logs a few of them). Throws std::bad_alloc
    // when memory runs out.
    Error_Tab(const char* pattern, DecisionType decision, std::list<Error_Range>& ranges, ErrorRulePathType type);
    ~Error_Tab();
    Error_Tab(const Error_Tab&) = delete;
    Error_Tab& operator=(const Error_Tab&) = delete;

    bool is_valid() const { return m_matcher != nullptr; }
    void SetSkipFromReporting(bool& skip) { m_skipFromReporting = skip; }
    bool IsSkipFromReporting() const { return m_skipFromReporting; }

    // The rule's decision, with `pattern` set to the pattern as written, when
    // the path matches and a range holds the code; else -1 and "".
    DecisionType match(const std::string& path, long code, std::string& pattern) const;

    // Logs the rule and its ranges (level 1).
    void PrintErrorTab() const;

private:
    std::string m_pattern;  // as written
    bool m_skipFromReporting = false;
    std::unique_ptr<TPathMatch> m_matcher;
    std::list<Error_Range> m_ranges;
    DecisionType m_decision;
};
