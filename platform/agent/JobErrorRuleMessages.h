// Stand-ins for the XML message classes of the job error-decision rules and
// the generic entity that names whose rules are asked for.
//
// Their XML text is the rules-file format, so that a rules list received as a
// string (or from the management server) and written to a file reads back
// through the file loader:
//
//   <App_JobErrorDecisionRuleList>            root, name compared without case
//     <ruleList isEnabled="1" pattern="/data/**" jobDecision="2">
//       <errorCode allErrorCodes="0" fromValue="5" toValue="13"
//                  skipFromReporting="0"/>
//     </ruleList>
//     ...                                     ruleList elements at any depth
//   </App_JobErrorDecisionRuleList>
//
// isEnabled: "0" disables the rule, absent means enabled. Each child element
// of a ruleList is one range of error numbers; allErrorCodes other than "0"
// means every number. Numbers are whole decimal numbers (blanks around them
// allowed); a number that is malformed or out of range counts as absent.
// The message form takes the first child element as the rule's one error
// code; the file form takes every child. skipFromReporting is read by the
// message form only.
//
// Documents are read through the hardened parser (platform/xml/HardenedXmlParser.h).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/base/KxTypes.h"

namespace App {

constexpr const char* kRuleListRootName = "App_JobErrorDecisionRuleList";
constexpr const char* kRuleElementName = "ruleList";
constexpr const char* kErrorCodeElementName = "errorCode";

// A whole decimal number within [min, max]: optional blanks, an optional
// sign, digits, optional blanks and nothing else. false for anything else.
bool ParseRuleNumber(const std::string& text, long long min, long long max, long long& out);

// One ruleList element as written: its attributes and those of each of its
// child elements, in document order.
struct RuleListElement {
    std::map<std::string, std::string> attributes;
    bool hasChildNodes = false;  // any child node, elements or not
    std::vector<std::map<std::string, std::string>> children;
};

enum RuleDocumentStatus {
    RuleDocumentOk = 0,
    RuleDocumentUnreadable = 1,  // cannot be read or parsed (the reason in `error`)
    RuleDocumentEmpty = 2,       // no document element
    RuleDocumentWrongRoot = 3,
};

// Reads the ruleList elements of a rules document (`isFile`: `source` names
// a file, else it is the XML text), handing `each` every element in
// document order as soon as it is whole (its child elements read; it may
// take the element's contents), so that a document of many rules is never
// held as elements. Answers a RuleDocumentStatus. `each` answers false to
// stop the read, which then fails (RuleDocumentUnreadable), as it does when
// `each` throws. Elements handed over before a failure belong to a document
// that is not taken: the caller drops what it made of them.
using RuleListVisitor = std::function<bool(RuleListElement&)>;
int ReadRuleListDocument(const std::string& source, bool isFile, const RuleListVisitor& each, std::string& error);

// Field numbers of the message schema in brackets.
struct JobErrorCode {
    int32_t fromValue = 0;           // [1]
    int32_t toValue = 0;             // [2]
    bool allErrorCodes = false;      // [3]
    bool skipFromReporting = false;  // [4]
};

struct JobErrorDecisionRule {
    bool hasPattern = false;  // [1] set
    std::string pattern;
    bool hasErrorCode = false;  // [2] set
    JobErrorCode errorCode;
    bool hasJobDecision = false;  // [3] set: the rule states a decision
    int32_t jobDecision = 0;      // [6]
    int32_t isEnabled = 1;        // [7]
};

class JobErrorDecisionRuleList {
public:
    std::vector<JobErrorDecisionRule> rules;

    // Replaces the rules by those of the XML text. 0, or a RuleDocumentStatus
    // with the reason in *error (when error is not null).
    int unserialize(const std::string& xml, std::string* error = nullptr);
    // The XML text of the rules. false when a pattern holds a character XML
    // cannot carry (a control character other than tab, CR and LF).
    bool serialize(std::string& out) const;
};

}  // namespace App

namespace KxEntities {

enum EntityType : int {
    ENTITY_CLIENT = 3,
    ENTITY_APPLICATION = 4,
    ENTITY_SUBCLIENT = 7,
};

// Names whose rules are asked for: the entity type and the client id.
// Text form: <KxEntities_GenericEntity entityType="3" clientId="42"/>
class GenericEntity {
public:
    GenericEntity(EntityType type, ULONG clientId) : m_type(type), m_clientId(clientId) {}
    std::string serialize() const;

private:
    EntityType m_type;
    ULONG m_clientId;
};

}  // namespace KxEntities
