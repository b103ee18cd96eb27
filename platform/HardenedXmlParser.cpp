#include "platform/HardenedXmlParser.h"

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <cstdint>
#include <new>
#include <stdexcept>

#include "platform/WholeFile.h"

using namespace XERCES_CPP_NAMESPACE;

namespace {

// Thrown out of the scanner when it meets a DOCTYPE; the scanner's own
// guards put it back in order for the next parse.
struct DoctypeRefused {};

// "<name>: <what was thrown>", inside a catch (...).
std::string DescribeCurrentException(const std::string& name) {
    try {
        throw;
    } catch (const DoctypeRefused&) {
        return name + ": a DOCTYPE is not accepted";
    } catch (const OutOfMemoryException&) {
        return name + ": out of memory";
    } catch (const std::bad_alloc&) {
        return name + ": out of memory";
    } catch (const XMLException& e) {
        return name + ": " + HardenedXmlParser::ToUtf8(e.getMessage());
    } catch (const SAXException& e) {
        return name + ": " + HardenedXmlParser::ToUtf8(e.getMessage());
    } catch (const std::exception& e) {
        return name + ": " + e.what();
    } catch (...) {
        return name + ": the XML library failed";
    }
}

}  // namespace

// Turns Xerces' callbacks into the handler's, keeps the first error and
// refuses a DOCTYPE: the scanner reports the declaration (startDTD) before it
// reads the internal subset, so nothing of it is declared or expanded.
class HardenedXmlParser::Adapter : public DefaultHandler {
public:
    void Begin(Handler* handler) {
        m_handler = handler;
        m_depth = 0;
        m_error.clear();
    }
    const std::string& error() const { return m_error; }

    void startElement(const XMLCh* const, const XMLCh* const, const XMLCh* const qname,
                      const Attributes& attrs) override {
        m_attributes.clear();
        const XMLSize_t count = attrs.getLength();
        for (XMLSize_t i = 0; i < count; ++i)
            m_attributes[ToUtf8(attrs.getQName(i))] = ToUtf8(attrs.getValue(i));
        m_handler->StartElement(m_depth, ToUtf8(qname), m_attributes);
        ++m_depth;
    }
    void endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const) override { --m_depth; }
    void characters(const XMLCh* const, const XMLSize_t) override { content(); }
    void processingInstruction(const XMLCh* const, const XMLCh* const) override { content(); }
    void comment(const XMLCh* const, const XMLSize_t) override { content(); }
    void startCDATA() override { content(); }
    void startDTD(const XMLCh* const, const XMLCh* const, const XMLCh* const) override { throw DoctypeRefused(); }

    void warning(const SAXParseException&) override {}
    void error(const SAXParseException& e) override { keep(e); }
    void fatalError(const SAXParseException& e) override { keep(e); }
    void resetErrors() override { m_error.clear(); }

private:
    void content() {
        if (m_depth > 0)  // nothing outside the document element is content
            m_handler->Content(m_depth - 1);
    }
    void keep(const SAXParseException& e) {
        if (m_error.empty())
            m_error = "line " + std::to_string(e.getLineNumber()) + ", column " + std::to_string(e.getColumnNumber()) +
                      ": " + ToUtf8(e.getMessage());
    }

    Handler* m_handler = nullptr;
    unsigned m_depth = 0;
    std::string m_error;
    std::map<std::string, std::string> m_attributes;  // reused: one element's at a time
};

HardenedXmlParser::HardenedXmlParser() : m_adapter(new Adapter), m_security(new SecurityManager) {
    m_security->setEntityExpansionLimit(kEntityExpansionLimit);
}

void HardenedXmlParser::MakeReader() {
    m_reader.reset(XMLReaderFactory::createXMLReader());
    SAX2XMLReader& r = *m_reader;
    r.setContentHandler(m_adapter.get());
    r.setErrorHandler(m_adapter.get());
    r.setLexicalHandler(m_adapter.get());
    r.setFeature(XMLUni::fgSAX2CoreValidation, false);
    r.setFeature(XMLUni::fgXercesDynamic, false);
    r.setFeature(XMLUni::fgSAX2CoreNameSpaces, false);
    r.setFeature(XMLUni::fgXercesSchema, false);
    r.setFeature(XMLUni::fgXercesLoadSchema, false);
    r.setFeature(XMLUni::fgXercesLoadExternalDTD, false);
    r.setFeature(XMLUni::fgXercesDisableDefaultEntityResolution, true);
    r.setFeature(XMLUni::fgXercesContinueAfterFatalError, false);
    r.setProperty(XMLUni::fgXercesSecurityManager, m_security.get());
}

HardenedXmlParser::~HardenedXmlParser() = default;

std::string HardenedXmlParser::ToUtf8(const XMLCh* text) {
    std::string out;
    if (text == nullptr)
        return out;
    for (const XMLCh* p = text; *p != 0; ++p) {
        uint32_t c = *p;
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool HardenedXmlParser::parseFile(const std::string& path, Handler& handler, std::string& error) {
    std::string bytes;
    if (!WholeFile::ReadRegular(path, kMaxBytes, bytes, error))
        return false;
    return parseMemory(bytes, path, handler, error);
}

bool HardenedXmlParser::parseMemory(const std::string& bytes, const std::string& name, Handler& handler,
                                    std::string& error) {
    error.clear();
    if (bytes.size() > kMaxBytes) {
        error = name + " is larger than " + std::to_string(kMaxBytes) + " bytes";
        return false;
    }
    try {
        if (!m_reader)
            MakeReader();
        m_adapter->Begin(&handler);
        MemBufInputSource source(reinterpret_cast<const XMLByte*>(bytes.data()), bytes.size(), name.c_str(), false);
        m_reader->parse(source);
        if (!m_adapter->error().empty())
            error = name + ": " + m_adapter->error();
    } catch (...) {
        error = DescribeCurrentException(name);
        // Xerces leaves a reader that ran out of memory "parsing": the next
        // parse gets a new one.
        m_reader.reset();
    }
    return error.empty();
}
