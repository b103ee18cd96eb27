#include "platform/JobErrorRuleMessages.h"

#include <strings.h>

#include <xercesc/dom/DOM.hpp>

#include <cerrno>
#include <cstdlib>

#include "platform/HardenedDomParser.h"
#include "platform/XercesGuard.h"

using namespace XERCES_CPP_NAMESPACE;

namespace App {

namespace {

std::map<std::string, std::string> AttributesOf(const DOMElement* el) {
    std::map<std::string, std::string> out;
    const DOMNamedNodeMap* attrs = el->getAttributes();
    for (XMLSize_t i = 0; attrs && i < attrs->getLength(); ++i) {
        const DOMNode* a = attrs->item(i);
        out[HardenedDomParser::ToUtf8(a->getNodeName())] = HardenedDomParser::ToUtf8(a->getNodeValue());
    }
    return out;
}

// Appends `s` as the value of an XML attribute; false for a character XML
// cannot carry.
bool AppendAttribute(std::string& out, const char* name, const std::string& s) {
    out += ' ';
    out += name;
    out += "=\"";
    for (unsigned char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
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

int ReadRuleListDocument(const std::string& source, bool isFile, std::vector<RuleListElement>& out,
                         std::string& error) {
    out.clear();
    XercesGuard guard;  // declared first: it outlives every DOM pointer below
    HardenedDomParser* parser = guard.parser();
    if (parser == nullptr) {
        error = guard.error();
        return RuleDocumentUnreadable;
    }
    DOMDocument* doc = isFile ? parser->parseFile(source, error) : parser->parseMemory(source, "XML string", error);
    if (doc == nullptr)
        return RuleDocumentUnreadable;
    const DOMElement* root = doc->getDocumentElement();
    if (root == nullptr)
        return RuleDocumentEmpty;
    if (strcasecmp(HardenedDomParser::ToUtf8(root->getTagName()).c_str(), kRuleListRootName) != 0)
        return RuleDocumentWrongRoot;
    const DOMNodeList* rules = root->getElementsByTagName(u"ruleList");
    for (XMLSize_t i = 0; rules && i < rules->getLength(); ++i) {
        const DOMElement* el = static_cast<const DOMElement*>(rules->item(i));
        RuleListElement r;
        r.attributes = AttributesOf(el);
        r.hasChildNodes = el->hasChildNodes();
        for (const DOMNode* c = el->getFirstChild(); c; c = c->getNextSibling())
            if (c->getNodeType() == DOMNode::ELEMENT_NODE)
                r.children.push_back(AttributesOf(static_cast<const DOMElement*>(c)));
        out.push_back(std::move(r));
    }
    return RuleDocumentOk;
}

int JobErrorDecisionRuleList::unserialize(const std::string& xml, std::string* error) {
    rules.clear();
    std::vector<RuleListElement> elements;
    std::string why;
    int rc = ReadRuleListDocument(xml, false, elements, why);
    if (rc != RuleDocumentOk) {
        if (error)
            *error = why;
        return rc;
    }
    for (const RuleListElement& el : elements) {
        JobErrorDecisionRule r;
        auto it = el.attributes.find("pattern");
        r.hasPattern = it != el.attributes.end() && !it->second.empty();
        if (r.hasPattern)
            r.pattern = it->second;
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
