#include "platform/HardenedDomParser.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLException.hpp>

#include "platform/WholeFile.h"

using namespace XERCES_CPP_NAMESPACE;

// Keeps the first error or fatal error of a parse; warnings are passed over.
class HardenedDomParser::ErrorCollector : public ErrorHandler {
public:
    void warning(const SAXParseException&) override {}
    void error(const SAXParseException& e) override { keep(e); }
    void fatalError(const SAXParseException& e) override { keep(e); }
    void resetErrors() override { m_text.clear(); }

    const std::string& text() const { return m_text; }

private:
    void keep(const SAXParseException& e) {
        if (!m_text.empty())
            return;
        m_text = "line " + std::to_string(e.getLineNumber()) + ", column " + std::to_string(e.getColumnNumber()) +
                 ": " + HardenedDomParser::ToUtf8(e.getMessage());
    }
    std::string m_text;
};

HardenedDomParser::HardenedDomParser()
    : m_errors(new ErrorCollector), m_security(new SecurityManager), m_parser(new XercesDOMParser) {
    m_security->setEntityExpansionLimit(kEntityExpansionLimit);
    XercesDOMParser& p = *m_parser;
    p.setErrorHandler(m_errors.get());
    p.setValidationScheme(XercesDOMParser::Val_Never);
    p.setDoNamespaces(false);
    p.setDoSchema(false);
    p.setLoadSchema(false);
    p.setLoadExternalDTD(false);
    p.setDisableDefaultEntityResolution(true);
    p.setCreateEntityReferenceNodes(false);
    p.setSecurityManager(m_security.get());
    p.setExitOnFirstFatalError(true);
}

HardenedDomParser::~HardenedDomParser() = default;

std::string HardenedDomParser::ToUtf8(const XMLCh* text) {
    if (text == nullptr || *text == 0)
        return std::string();
    TranscodeToStr utf8(text, "UTF-8");
    return std::string(reinterpret_cast<const char*>(utf8.str()), utf8.length());
}

DOMDocument* HardenedDomParser::parseFile(const std::string& path, std::string& error) {
    std::string bytes;
    if (!WholeFile::ReadRegular(path, kMaxBytes, bytes, error))
        return nullptr;
    return parseMemory(bytes, path, error);
}

DOMDocument* HardenedDomParser::parseMemory(const std::string& bytes, const std::string& name, std::string& error) {
    error.clear();
    m_errors->resetErrors();
    try {
        MemBufInputSource source(reinterpret_cast<const XMLByte*>(bytes.data()), bytes.size(), name.c_str(), false);
        m_parser->parse(source);
    } catch (const XMLException& e) {
        error = name + ": " + ToUtf8(e.getMessage());
    } catch (const DOMException& e) {
        error = name + ": " + ToUtf8(e.getMessage());
    } catch (const SAXException& e) {
        error = name + ": " + ToUtf8(e.getMessage());
    } catch (const OutOfMemoryException&) {
        error = name + ": out of memory";
    } catch (const std::exception& e) {
        error = name + ": " + e.what();
    }
    if (error.empty() && !m_errors->text().empty())
        error = name + ": " + m_errors->text();
    DOMDocument* doc = error.empty() ? m_parser->getDocument() : nullptr;
    if (doc != nullptr && doc->getDoctype() != nullptr) {
        error = name + ": a DOCTYPE is not accepted";
        doc = nullptr;
    }
    if (doc == nullptr && error.empty())
        error = name + ": no document";
    if (doc == nullptr)
        m_parser->resetDocumentPool();  // drop what a failed parse built
    return doc;
}
