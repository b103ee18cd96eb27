#include "errorpolicy/KxErrorControl.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "errorpolicy/ErrorPolicyKeys.h"
#include "platform/agent/App_JobErrorControlManager.h"
#include "platform/agent/KXJobCtrlClient.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/ScopedFd.h"
#include "platform/text/FileNameEscape.h"
#include "platform/text/PathUtil.h"
#include "platform/text/StdioLines.h"
#include "platform/text/WholeFile.h"

namespace {

// strerror_r comes in two forms; either way the text ends up in one string.
[[maybe_unused]] inline const char* ErrorTextOf(int rc, const char* buf) { return rc == 0 ? buf : nullptr; }
[[maybe_unused]] inline const char* ErrorTextOf(const char* text, const char*) { return text; }

std::string ErrorText(long code) {
    char buf[256] = "";
    const char* text = nullptr;
    if (code >= INT_MIN && code <= INT_MAX)
        text = ErrorTextOf(strerror_r(static_cast<int>(code), buf, sizeof buf), buf);
    return text && *text ? std::string(text) : "Unknown error " + std::to_string(code);
}

bool ParseCode(const std::string& text, long& code) {
    long long v;
    if (!App::ParseRuleNumber(text, LONG_MIN, LONG_MAX, v))
        return false;
    code = static_cast<long>(v);
    return true;
}

using ruxen::FileCloser;
using ruxen::LineBuffer;

// Opens a failures file for reading: a regular file only (a FIFO is never
// waited on). Null with errno on failure.
FILE* OpenFailuresFile(const std::string& path) {
    ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid())
        return nullptr;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return nullptr;
    }
    FILE* f = fdopen(fd.get(), "r");
    if (f != nullptr)
        fd.release();  // the stream owns it now
    return f;
}

// Rules a load passes over: the first kLogged are logged one by one, the
// rest counted and named once at the end, so that a hostile rules file
// cannot flood the log.
class SkippedRules {
public:
    static constexpr size_t kLogged = 10;

    // Counts a skip; true while it is still to be logged.
    bool Log() { return ++m_count <= kLogged; }
    void Summary(const std::string& source) const {
        if (m_count > kLogged)
            KXLOG(-1, "%zu rules of %s were skipped; the first %zu are logged above", m_count, source.c_str(), kLogged);
    }

private:
    size_t m_count = 0;
};

// Makes the rule of a ruleList element of a rules file, unless it is
// disabled or is skipped (logged through `skipped`).
void AddRule(const App::RuleListElement& el, ErrorRulePathType type, std::list<std::unique_ptr<Error_Tab>>& rules,
             SkippedRules& skipped) {
    auto attr = [&el](const char* name) -> const std::string* {
        auto it = el.attributes.find(name);
        return it == el.attributes.end() || it->second.empty() ? nullptr : &it->second;
    };
    const std::string* enabled = attr("isEnabled");
    if (enabled && strcasecmp(enabled->c_str(), "0") == 0)
        return;
    const std::string* pattern = attr("pattern");
    const std::string* decisionText = attr("jobDecision");
    long long decision = 0;
    if (!pattern) {
        if (skipped.Log())
            KXLOG(-1, "Associated pattern not found with the ruleList; Skipping");
        return;
    }
    if (!decisionText || !App::ParseRuleNumber(*decisionText, INT32_MIN, INT32_MAX, decision)) {
        if (skipped.Log())
            KXLOG(-1, "Associated job decision not found with the ruleList; Skipping");
        return;
    }
    if (!el.hasChildNodes) {
        if (skipped.Log())
            KXLOG(-1, "Associated error codes not found with the ruleList; Skipping");
        return;
    }
    std::list<Error_Range> ranges;
    for (const auto& child : el.children) {
        auto all = child.find("allErrorCodes");
        auto from = child.find("fromValue");
        auto to = child.find("toValue");
        Error_Range r;
        long long v;
        if (all == child.end()) {
            if (skipped.Log())
                KXLOG(-1, "Associated allErrorCode flag not found with errors; Skipping");
            continue;
        }
        r.allErrorCodes = strcasecmp(all->second.c_str(), "0") != 0;
        if (from == child.end() || !App::ParseRuleNumber(from->second, INT64_MIN, INT64_MAX, v)) {
            if (skipped.Log())
                KXLOG(-1, "Associated fromValue value not found with errors; Skipping");
            continue;
        }
        r.fromValue = v;
        if (to == child.end() || !App::ParseRuleNumber(to->second, INT64_MIN, INT64_MAX, v)) {
            if (skipped.Log())
                KXLOG(-1, "Associated toValue value not found with errors; Skipping");
            continue;
        }
        r.toValue = v;
        ranges.push_back(r);
    }
    if (ranges.empty())
        return;
    std::unique_ptr<Error_Tab> tab(
        new Error_Tab(pattern->c_str(), static_cast<Error_Tab::DecisionType>(decision), ranges, type));
    if (!tab->is_valid()) {
        if (skipped.Log())
            KXLOG(-1, "Pattern init failed, will use default decision SKIP for %s", pattern->c_str());
        return;
    }
    rules.push_back(std::move(tab));
}

}  // namespace

KxErrorControl::KxErrorControl(const std::string& xmlFile, PathType type) : m_pathType(type) {
    m_rulesLoaded = ParseXMLRulesFromInputFile(xmlFile);
}

KxErrorControl::KxErrorControl(const std::string& xml, KXJobCtrlClient* jobCtrl, PathType type)
    : m_jobCtrl(jobCtrl), m_pathType(type) {
    m_rulesLoaded = ParseXMLRulesFromXMLString(xml);
}

KxErrorControl::KxErrorControl(KXJobCtrlClient* jobCtrl, const KxEntities::EntityType& entity, ULONG clientId,
                               ULONG appType, const std::string& dir, PathType type)
    : m_jobCtrl(jobCtrl), m_pathType(type) {
    try {
        const std::string entityString = KxEntities::GenericEntity(entity, clientId).serialize();
        KXLOG(1, "Going to fetch rules, ClientId=%lu, AppType=%lu, EntityString=%s", clientId, appType,
              entityString.c_str());
        std::string xml;
        if (App_JobErrorControlManager::getJobErrorRules(entityString, appType, xml, 1) != 0) {
            KXLOG(-1, "No rules defined for client id %lu app type %lu", clientId, appType);
            return;
        }
        m_rulesLoaded = ParseXMLRulesFromXMLString(xml, dir);
    } catch (const std::bad_alloc&) {
        KXLOG(-1, "The rules of client id %lu app type %lu were not loaded: out of memory", clientId, appType);
    }
}

KxErrorControl::~KxErrorControl() { m_rules.clear(); }

void KxErrorControl::LoadDone(const char* what, const std::string& name) {
    KXLOG(1, "%s %s parsed and error decisions populated", what, name.c_str());
    long dump = 0;
    if (KXPlatformInfo::getNumber(kErrorPolicySection, kKeyDumpErrorControl, dump) && dump == 1)
        DumpErrorTab();
}

bool KxErrorControl::ParseXMLRulesFromInputFile(const std::string& file) {
    // Each rule is made as soon as its element is read, into a list of its
    // own: the document's rules are taken together, or none of them.
    std::list<std::unique_ptr<Error_Tab>> rules;
    SkippedRules skipped;
    std::string error;
    int status;
    try {
        status = App::ReadRuleListDocument(
            file, true,
            [&](App::RuleListElement& el) {
                AddRule(el, m_pathType, rules, skipped);
                return true;
            },
            error);
    } catch (const std::bad_alloc&) {
        status = App::RuleDocumentUnreadable;
        error = file + ": out of memory";
    }
    skipped.Summary(file);
    switch (status) {
    case App::RuleDocumentOk:
        break;
    case App::RuleDocumentEmpty:
        KXLOG(-1, "Empty XML file %s", file.c_str());
        return false;
    case App::RuleDocumentWrongRoot:
        KXLOG(-1, "Invalid XML file %s: Document root \"%s\" not found", file.c_str(), App::kRuleListRootName);
        return false;
    default:
        KXLOG(-1, "Failed to parse XML file %s: %s", file.c_str(), error.c_str());
        return false;
    }
    if (rules.empty()) {
        KXLOG(1, "Nothing could be parsed into error decision tables from XML file %s", file.c_str());
        return false;
    }
    m_rules.splice(m_rules.end(), rules);
    LoadDone("XML file", file);
    return true;
}

bool KxErrorControl::ParseXMLRulesFromXMLString(const std::string& xml) {
    std::list<std::unique_ptr<Error_Tab>> rules;
    SkippedRules skipped;
    try {
        App::JobErrorDecisionRuleList list;
        std::string error;
        int rc = list.unserialize(xml, &error);
        if (rc != 0) {
            KXLOG(-1, "Failed to parse XML input string \"%s\", error=%d", xml.c_str(), rc);
            KXLOG(1, "%s", error.c_str());
            return false;
        }
        for (const App::JobErrorDecisionRule& r : list.rules) {
            if (r.isEnabled == 0 || !r.hasPattern || !r.hasErrorCode || !r.hasJobDecision)
                continue;
            std::list<Error_Range> ranges(1);
            ranges.front().fromValue = r.errorCode.fromValue;
            ranges.front().toValue = r.errorCode.toValue;
            ranges.front().allErrorCodes = r.errorCode.allErrorCodes;
            std::unique_ptr<Error_Tab> tab(new Error_Tab(r.pattern.c_str(), r.jobDecision, ranges, m_pathType));
            if (!tab->is_valid()) {
                if (skipped.Log())
                    KXLOG(-1, "Invalid rules for pattern=%s", r.pattern.c_str());
                continue;
            }
            bool skip = r.errorCode.skipFromReporting;
            tab->SetSkipFromReporting(skip);
            rules.push_back(std::move(tab));
        }
    } catch (const std::bad_alloc&) {
        KXLOG(-1, "Failed to load the XML input string of %zu bytes: out of memory", xml.size());
        skipped.Summary("the XML input string");
        return false;
    }
    skipped.Summary("the XML input string");
    if (rules.empty()) {
        KXLOG(1, "No error rules were parsed");
        return false;
    }
    m_rules.splice(m_rules.end(), rules);
    LoadDone("XML string", xml);
    return true;
}

bool KxErrorControl::ParseXMLRulesFromXMLString(const std::string& xml, const std::string& dir) {
    const std::string file =
        dir.empty() ? std::string(kErrorControlRulesFile) : PathUtil::Join(dir, kErrorControlRulesFile);
    std::string error;
    try {
        if (!WholeFile::WriteAtomically(file, xml + "\n", error)) {
            KXLOG(-1, "Failed to create file %s to process XML data: %s", file.c_str(), error.c_str());
            return false;
        }
    } catch (const std::bad_alloc&) {
        KXLOG(-1, "Failed to create file %s to process XML data: out of memory", file.c_str());
        return false;
    }
    return ParseXMLRulesFromXMLString(xml);
}

const Error_Tab* KxErrorControl::Decide(const std::string& path, long code, DecisionType& decision,
                                        std::string& pattern) const {
    for (const auto& rule : m_rules) {
        decision = rule->match(path, code, pattern);
        if (decision != kNoDecision)
            return rule.get();
    }
    decision = kNoDecision;
    pattern.clear();
    return nullptr;
}

KxErrorControl::DecisionType KxErrorControl::GetJobDecisionFor(const std::string& path, long code,
                                                               std::string& pattern) {
    if (!m_rulesLoaded)
        return kNoDecision;
    DecisionType d;
    if (!Decide(path, code, d, pattern))
        KXLOG(1, "No associated error decision found for %s and error code %ld, default is to skip", path.c_str(),
              code);
    return d;
}

KxErrorControl::DecisionType KxErrorControl::GetJobDecisionFor(const std::string& path, long code, std::string& pattern,
                                                               bool& report) {
    report = true;
    if (!m_rulesLoaded)
        return kNoDecision;
    DecisionType d;
    const Error_Tab* rule = Decide(path, code, d, pattern);
    if (!rule) {
        KXLOG(2, "No associated error decision found for %s and error code %ld, default is to skip", path.c_str(),
              code);
        return d;
    }
    if (rule->IsSkipFromReporting())
        report = false;
    auto_lock hold(m_lock);
    const DecisionType s = m_stored.decision;
    if (!(m_stored.stored && (s == kStop || s == kQuit || (s == kEscalate && d == kSkip)))) {
        m_stored.stored = true;
        m_stored.decision = d;
        m_stored.pattern = pattern;
        m_stored.code = code;
        m_stored.path = path;
        m_stored.report = report;
    }
    return d;
}

bool KxErrorControl::GetStoredJobDecision(DecisionType& decision, std::string& pattern, std::string& path, long& code,
                                          bool& report) {
    auto_lock hold(m_lock);
    if (!m_stored.stored) {
        decision = kNoDecision;
        pattern.clear();
        path.clear();
        code = 0;
        report = true;
        return false;
    }
    decision = m_stored.decision;
    pattern = m_stored.pattern;
    path = m_stored.path;
    code = static_cast<long>(m_stored.code);
    report = m_stored.report;
    return true;
}

bool KxErrorControl::IsSkipFromReporting(const std::string& path, long code, std::string& pattern) {
    DecisionType d;
    const Error_Tab* rule = Decide(path, code, d, pattern);
    return rule != nullptr && rule->IsSkipFromReporting();
}

bool KxErrorControl::AggregateItem(const std::string& path, long code, DecisionType& result, std::string& patternOut,
                                   std::string& itemOut, bool withErrorText) {
    KXLOG(2, "Going to check file %s and error code %ld", path.c_str(), code);
    if (m_jobCtrl != nullptr && m_jobCtrl->isQuitSet()) {
        KXLOG(2, "Quit flag set");
        result = kQuit;
        return true;
    }
    std::string pattern;
    const DecisionType d = GetJobDecisionFor(path, code, pattern);
    KXLOG(2, "Got job decision %d for file %s and error code %ld", d, path.c_str(), code);
    if (d != kStop && d != kEscalate && !(d == kSkip && result != kEscalate))
        return false;
    patternOut = pattern;
    itemOut = withErrorText ? path + ":" + ErrorText(code) : path;
    if (d == kStop) {
        result = kStop;
        return true;
    }
    result = d;
    return false;
}

KxErrorControl::DecisionType KxErrorControl::GetJobDecisionFor(const std::string& failuresFile, std::string& pattern,
                                                               std::string& path, char delimiter) {
    if (!m_rulesLoaded)
        return kNoDecision;
    std::unique_ptr<FILE, FileCloser> f(OpenFailuresFile(failuresFile));
    if (!f) {
        KXLOG(-1, "Input file %s not found; Error decision left to caller", failuresFile.c_str());
        return kNoDecision;
    }
    KXLOG(2, "Going to process error file %s; Using delim [%c]", failuresFile.c_str(), delimiter);
    DecisionType result = kNoDecision;
    LineBuffer buf;
    ssize_t n;
    std::string line, itemPath, decoded;
    while ((n = getline(&buf.data, &buf.cap, f.get())) >= 0) {
        line.assign(buf.data, static_cast<size_t>(n));
        size_t end = line.find_last_not_of("\r\n\t");
        if (end == std::string::npos)
            continue;  // empty
        line.resize(end + 1);
        long code = 0;
        if (m_callback) {
            CTyError err = m_callback->ParseFailedFileEntry(line, delimiter, itemPath, code);
            if (err.IsError()) {
                KXLOG(-1, "ParseFailedFileEntry failed for Line [%s] with error [%s], Skipping", line.c_str(),
                      err.Message().c_str());
                continue;
            }
        } else {
            size_t at = line.rfind(delimiter);
            if (at == std::string::npos || !ParseCode(line.substr(at + 1), code)) {
                KXLOG(-1, "Line %s read from input file %s does not have error code; Skipping", line.c_str(),
                      failuresFile.c_str());
                continue;
            }
            itemPath.assign(line, 0, at);
            // A failures file holds escaped paths; a raw line that does not
            // decode (a bad collect line, "%00") is matched as written.
            if (ruxen::unescapeFileName(itemPath.data(), itemPath.size(), decoded, nullptr))
                itemPath.swap(decoded);
        }
        if (AggregateItem(itemPath, code, result, pattern, path, false))
            return result;
    }
    if (ferror(f.get())) {
        KXLOG(-1, "Cannot read input file %s: %s; Error decision left to caller", failuresFile.c_str(),
              strerror(errno));
        return kNoDecision;
    }
    if (result == kNoDecision) {
        KXLOG(1, "No error decision found for files present in %s; Default is to skip", failuresFile.c_str());
        pattern.clear();
        return kSkip;
    }
    return result;
}

KxErrorControl::DecisionType KxErrorControl::GetJobDecisionFor(const std::vector<std::string>& lines,
                                                               std::string& pattern, std::string& pathAndError,
                                                               char delimiter) {
    if (!m_rulesLoaded)
        return kNoDecision;
    if (lines.empty()) {
        KXLOG(-1, "There are no failed files; Error decision left to caller");
        return kNoDecision;
    }
    KXLOG(2, "Using delim [%c]", delimiter);
    DecisionType result = kNoDecision;
    for (const std::string& line : lines) {
        if (line.empty())
            continue;
        size_t at = line.rfind(delimiter);
        long code = 0;
        if (at == std::string::npos || !ParseCode(line.substr(at + 1), code)) {
            KXLOG(-1, "Failed file %s does not have error code; Skipping", line.c_str());
            continue;
        }
        if (AggregateItem(line.substr(0, at), code, result, pattern, pathAndError, true))
            return result;
    }
    if (result == kNoDecision) {
        KXLOG(1, "No error decision found for failed files; Default is to skip");
        pattern.clear();
        return kSkip;
    }
    return result;
}

void KxErrorControl::DumpErrorTab() const {
    for (const auto& rule : m_rules)
        if (rule->is_valid())
            rule->PrintErrorTab();
}
