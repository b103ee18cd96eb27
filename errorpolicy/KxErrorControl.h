// The job error-decision rules: turn the items that failed in a job into one
// job-level decision, from rules an administrator defines per client and
// application (a path pattern, ranges of error numbers, a decision).
//
// Rules come from an XML file, an XML string or the management server (the
// format: platform/agent/JobErrorRuleMessages.h). Rules are asked in list order and
// the first that matches decides. Decisions:
//   -1 none (no rules, no input, no rule matched: the caller decides)
//    0 skip          1 outranks 0          2 the strongest: an aggregate
//   10 the job was told to stop while an aggregate ran       stops at it
// A rule may carry any other number; the aggregates pass such values over.
//
// The rules are read-only after construction; only the stored decision of
// the reporting single-item form changes, under the object's critical
// section, so one object may be asked from several threads.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "errorpolicy/Error_Tab.h"
#include "errorpolicy/KxErrorControlCallback.h"
#include "platform/agent/JobErrorRuleMessages.h"
#include "platform/agent/QMCriticalSection.h"
#include "platform/base/Export.h"
#include "platform/base/KxTypes.h"

class KXJobCtrlClient;

class RUXEN_EXPORT KxErrorControl {
public:
    typedef Error_Tab::DecisionType DecisionType;
    typedef ErrorRulePathType PathType;
    enum : DecisionType { kNoDecision = -1, kSkip = 0, kEscalate = 1, kStop = 2, kQuit = 10 };

    // Rules from a file.
    KxErrorControl(const std::string& xmlFile, PathType type);
    // Rules from an XML string; the client is asked whether the job was told
    // to stop while a failures file is aggregated (null: never asked).
    KxErrorControl(const std::string& xml, KXJobCtrlClient* jobCtrl, PathType type);
    // Rules fetched from the job error-rule service for the client and
    // application type, written to kErrorControlRulesFile in `dir` and loaded.
    KxErrorControl(KXJobCtrlClient* jobCtrl, const KxEntities::EntityType& entity, ULONG clientId, ULONG appType,
                   const std::string& dir, PathType type);
    virtual ~KxErrorControl();
    KxErrorControl(const KxErrorControl&) = delete;
    KxErrorControl& operator=(const KxErrorControl&) = delete;

    bool RulesLoaded() const { return m_rulesLoaded; }
    void SetCallback(std::shared_ptr<KxErrorControlCallback> callback) { m_callback = std::move(callback); }

    // Loaders; each adds to the rules and answers whether any rule was kept.
    bool ParseXMLRulesFromInputFile(const std::string& file);
    bool ParseXMLRulesFromXMLString(const std::string& xml);
    // Writes the XML to kErrorControlRulesFile in `dir` (a temporary file,
    // checked and renamed), then loads it from the string. A file that cannot
    // be written fails the load.
    bool ParseXMLRulesFromXMLString(const std::string& xml, const std::string& dir);

    // One item: the first matching rule's decision, else -1.
    DecisionType GetJobDecisionFor(const std::string& path, long code, std::string& pattern);
    // The same, and `report` false when the deciding rule skips reporting;
    // a decision is stored unless the stored one outranks it (a stored 2 or
    // 10 stays; a stored 1 stays against 0).
    DecisionType GetJobDecisionFor(const std::string& path, long code, std::string& pattern, bool& report);
    // The stored decision: false (and -1, "", "", 0, true) when none.
    bool GetStoredJobDecision(DecisionType& decision, std::string& pattern, std::string& path, long& code,
                              bool& report);
    bool IsSkipFromReporting(const std::string& path, long code, std::string& pattern);

    // Aggregate over a failures file: one item a line, the path and the error
    // number split at the last `delimiter` (or by the callback). The path is
    // decoded from the failures-file escaping ("%0A" and the like) when it
    // decodes; a line that does not decode is matched as written. 2 at the
    // first item that gets 2; else 1 when an item got 1, else 0 (also when no
    // rule matched); 10 when the job was told to stop; -1 without rules or
    // without a readable file. `pattern` and `path` name the deciding item.
    DecisionType GetJobDecisionFor(const std::string& failuresFile, std::string& pattern, std::string& path,
                                   char delimiter);
    // The same over lines held in memory (not decoded, no callback);
    // `pathAndError` is the deciding item's path, ":" and its error's text.
    DecisionType GetJobDecisionFor(const std::vector<std::string>& lines, std::string& pattern,
                                   std::string& pathAndError, char delimiter);

    // Logs every rule (level 1).
    void DumpErrorTab() const;

private:
    struct Stored {
        bool stored = false;
        DecisionType decision = kNoDecision;
        std::string pattern;
        bool report = true;
        int64_t code = 0;
        std::string path;
    };

    // Finds the deciding rule (null when none).
    RUXEN_HIDDEN const Error_Tab* Decide(const std::string& path, long code, DecisionType& decision,
                                         std::string& pattern) const;
    // One item of an aggregate; true when the aggregate ends with `result`.
    RUXEN_HIDDEN bool AggregateItem(const std::string& path, long code, DecisionType& result, std::string& patternOut,
                                    std::string& itemOut, bool withErrorText);
    RUXEN_HIDDEN void LoadDone(const char* what, const std::string& name);

    std::list<std::unique_ptr<Error_Tab>> m_rules;
    bool m_rulesLoaded = false;
    KXJobCtrlClient* m_jobCtrl = nullptr;
    QMCriticalSection m_lock;
    Stored m_stored;
    PathType m_pathType;
    std::shared_ptr<KxErrorControlCallback> m_callback;
};
