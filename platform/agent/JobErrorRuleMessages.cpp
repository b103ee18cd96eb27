#include "platform/agent/JobErrorRuleMessages.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <new>
#include <stdexcept>

#include "platform/xml/HardenedXmlParser.h"

namespace App {

namespace {

// Appends `s` as the value of an XML attribute; false for a character XML
// cannot carry.
bool AppendAttribute(std::string& out, const char* name, const std::string& s) {
    out += ' ';
    out += name;
    out += "=\"";
    for (unsigned char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\t':
            out += "&#9;";
            break;
        case '\n':
            out += "&#10;";
            break;
        case '\r':
            out += "&#13;";
            break;
        default:
            if (c < 0x20)
                return false;
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return true;
}

bool Number(const std::map<std::string, std::string>& attrs, const char* name, int32_t& out) {
    auto it = attrs.find(name);
    long long v;
    if (it == attrs.end() || !ParseRuleNumber(it->second, INT32_MIN, INT32_MAX, v))
        return false;
    out = static_cast<int32_t>(v);
    return true;
}

// Hands over the ruleList elements below the document element, in document
// order (a ruleList inside another is a rule of its own and an error code
// of the outer one), each as soon as it and every one before it are whole:
// a document of many rules is never held as elements. An element is whole
// when an element at its depth or above starts, or the document ends.
class RuleListCollector : public HardenedXmlParser::Handler {
public:
    explicit RuleListCollector(const RuleListVisitor& each) : m_each(each) {}

    bool sawRoot() const { return m_sawRoot; }
    bool rightRoot() const { return m_rightRoot; }

    void StartElement(unsigned depth, const std::string& name,
                      const std::map<std::string, std::string>& attributes) override {
        if (depth == 0) {
            m_sawRoot = true;
            m_rightRoot = strcasecmp(name.c_str(), kRuleListRootName) == 0;
            return;
        }
        if (!m_rightRoot)
            return;
        for (size_t d = depth; d < m_open.size(); ++d)
            if (m_open[d] != kNone)
                Pending(m_open[d]).whole = true;
        m_open.resize(depth + 1, kNone);  // m_open[d]: the rule open at depth d
        if (m_open[depth - 1] != kNone) {
            RuleListElement& parent = Pending(m_open[depth - 1]).element;
            parent.hasChildNodes = true;
            parent.children.push_back(attributes);
        }
        m_open[depth] = kNone;
        if (name == kRuleElementName) {
            m_open[depth] = m_started++;
            m_pending.emplace_back();
            m_pending.back().element.attributes = attributes;
        }
        HandOver();
    }
    void Content(unsigned depth) override {
        if (depth > 0 && depth < m_open.size() && m_open[depth] != kNone)
            Pending(m_open[depth]).element.hasChildNodes = true;
    }
    // The document ended: every element left is whole.
    void Finish() {
        for (Rule& r : m_pending)
            r.whole = true;
        HandOver();
    }

private:
    struct Rule {
        RuleListElement element;
        bool whole = false;
    };
    static constexpr size_t kNone = static_cast<size_t>(-1);

    Rule& Pending(size_t number) { return m_pending[number - m_handedOver]; }
    void HandOver() {
        while (!m_pending.empty() && m_pending.front().whole) {
            if (!m_each(m_pending.front().element))
                throw std::runtime_error("the reader of its rules stopped");
            m_pending.pop_front();
            ++m_handedOver;
        }
    }

    const RuleListVisitor& m_each;
    std::deque<Rule> m_pending;  // started, not yet handed over, in document order
    size_t m_started = 0, m_handedOver = 0;
    std::vector<size_t> m_open;  // by depth: the number of the rule open there
    bool m_sawRoot = false;
    bool m_rightRoot = false;
};

}  // namespace

bool ParseRuleNumber(const std::string& text, long long min, long long max, long long& out) {
    size_t b = text.find_first_not_of(" \t\r\n");
    size_t e = text.find_last_not_of(" \t\r\n");
    if (b == std::string::npos)
        return false;
    std::string t = text.substr(b, e - b + 1);
    size_t digits = (t[0] == '-' || t[0] == '+') ? 1 : 0;
    if (digits == t.size() || t.find_first_not_of("0123456789", digits) != std::string::npos)
        return false;
    errno = 0;
    long long v = strtoll(t.c_str(), nullptr, 10);
    if (errno == ERANGE || v < min || v > max)
        return false;
    out = v;
    return true;
}

int ReadRuleListDocument(const std::string& source, bool isFile, const RuleListVisitor& each, std::string& error) {
    RuleListCollector collector(each);
    bool ok = isFile ? HardenedXmlParser::ParseFile(source, collector, error)
                     : HardenedXmlParser::ParseMemory(source, "XML string", collector, error);
    if (ok && collector.rightRoot()) {
        try {
            collector.Finish();
        } catch (const std::bad_alloc&) {
            error = (isFile ? source : std::string("XML string")) + ": out of memory";
            ok = false;
        } catch (const std::exception& e) {
            error = (isFile ? source : std::string("XML string")) + ": " + e.what();
            ok = false;
        }
    }
    return !ok                      ? RuleDocumentUnreadable
           : !collector.sawRoot()   ? RuleDocumentEmpty
           : !collector.rightRoot() ? RuleDocumentWrongRoot
                                    : RuleDocumentOk;
}

int JobErrorDecisionRuleList::unserialize(const std::string& xml, std::string* error) {
    rules.clear();
    std::string why;
    int rc = ReadRuleListDocument(
        xml, false,
        [this](RuleListElement& el) {
            JobErrorDecisionRule r;
            auto it = el.attributes.find("pattern");
            r.hasPattern = it != el.attributes.end() && !it->second.empty();
            if (r.hasPattern)
                r.pattern = std::move(it->second);
            r.hasJobDecision = Number(el.attributes, "jobDecision", r.jobDecision);
            it = el.attributes.find("isEnabled");
            if (it != el.attributes.end() && strcasecmp(it->second.c_str(), "0") == 0)
                r.isEnabled = 0;
            if (!el.children.empty()) {
                const auto& c = el.children.front();
                int32_t all = 0, skip = 0;
                r.hasErrorCode = Number(c, "allErrorCodes", all) && Number(c, "fromValue", r.errorCode.fromValue) &&
                                 Number(c, "toValue", r.errorCode.toValue);
                r.errorCode.allErrorCodes = all != 0;
                r.errorCode.skipFromReporting = Number(c, "skipFromReporting", skip) && skip != 0;
            }
            rules.push_back(std::move(r));
            return true;
        },
        why);
    if (rc != RuleDocumentOk) {
        rules.clear();
        if (error)
            *error = why;
        return rc;
    }
    return 0;
}

bool JobErrorDecisionRuleList::serialize(std::string& out) const {
    out = std::string("<") + kRuleListRootName + ">\n";
    for (const JobErrorDecisionRule& r : rules) {
        out += std::string("  <") + kRuleElementName;
        out += " isEnabled=\"" + std::to_string(r.isEnabled) + "\"";
        if (r.hasPattern && !AppendAttribute(out, "pattern", r.pattern))
            return false;
        if (r.hasJobDecision)
            out += " jobDecision=\"" + std::to_string(r.jobDecision) + "\"";
        out += ">";
        if (r.hasErrorCode) {
            const JobErrorCode& c = r.errorCode;
            out += std::string("<") + kErrorCodeElementName + " allErrorCodes=\"" + (c.allErrorCodes ? "1" : "0") +
                   "\" fromValue=\"" + std::to_string(c.fromValue) + "\" toValue=\"" + std::to_string(c.toValue) +
                   "\" skipFromReporting=\"" + (c.skipFromReporting ? "1" : "0") + "\"/>";
        }
        out += std::string("</") + kRuleElementName + ">\n";
    }
    out += std::string("</") + kRuleListRootName + ">";
    return true;
}

}  // namespace App

namespace KxEntities {

std::string GenericEntity::serialize() const {
    return "<KxEntities_GenericEntity entityType=\"" + std::to_string(static_cast<int>(m_type)) + "\" clientId=\"" +
           std::to_string(m_clientId) + "\"/>";
}

}  // namespace KxEntities
