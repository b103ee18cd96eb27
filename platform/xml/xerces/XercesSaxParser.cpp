#include "platform/xml/xerces/XercesSaxParser.h"

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax/Locator.hpp>
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
#include <vector>

using namespace XERCES_CPP_NAMESPACE;

namespace {

// Thrown out of the scanner when it meets a DOCTYPE, or when a callback asks
// to stop; the scanner's own guards put it back in order for the next parse.
struct DoctypeRefused {};
struct CallbackStopped {};
struct NestedTooDeep {
    uint64_t line, column;
};

// "<name>: <what was thrown>", inside a catch (...).
std::string DescribeCurrentException(const std::string& name) {
    try {
        throw;
    } catch (const DoctypeRefused&) {
        return name + ": a DOCTYPE is not accepted";
    } catch (const NestedTooDeep& e) {
        return name + ": line " + std::to_string(e.line) + ", column " + std::to_string(e.column) +
               ": elements nested deeper than " + std::to_string(RUXEN_XML_MAX_DEPTH) + " levels are not accepted";
    } catch (const CallbackStopped&) {
        return name + ": stopped by its reader";
    } catch (const OutOfMemoryException&) {
        return name + ": out of memory";
    } catch (const std::bad_alloc&) {
        return name + ": out of memory";
    } catch (const XMLException& e) {
        return name + ": " + XercesSaxParser::ToUtf8(e.getMessage());
    } catch (const SAXException& e) {
        return name + ": " + XercesSaxParser::ToUtf8(e.getMessage());
    } catch (const std::exception& e) {
        return name + ": " + e.what();
    } catch (...) {
        return name + ": the XML library failed";
    }
}

}  // namespace

// Turns Xerces' callbacks into the events', keeps the first error and
// refuses a DOCTYPE: the scanner reports the declaration (startDTD) before it
// reads the internal subset, so nothing of it is declared or expanded.
class XercesSaxParser::Adapter : public DefaultHandler {
public:
    void Begin(const RuxenXmlEvents* events) {
        m_events = events;
        m_locator = nullptr;  // the parse's scanner hands its own
        m_depth = 0;
        m_error.clear();
    }
    const std::string& error() const { return m_error; }

    void setDocumentLocator(const Locator* const locator) override { m_locator = locator; }
    void startElement(const XMLCh* const, const XMLCh* const, const XMLCh* const qname,
                      const Attributes& attrs) override {
        if (m_depth >= RUXEN_XML_MAX_DEPTH)
            throw NestedTooDeep{m_locator ? m_locator->getLineNumber() : 0,
                                m_locator ? m_locator->getColumnNumber() : 0};
        const XMLSize_t count = attrs.getLength();
        m_text.resize(2 * count);
        m_attributes.resize(count);
        for (XMLSize_t i = 0; i < count; ++i) {
            m_text[2 * i] = ToUtf8(attrs.getQName(i));
            m_text[2 * i + 1] = ToUtf8(attrs.getValue(i));
        }
        for (XMLSize_t i = 0; i < count; ++i)  // the strings have stopped moving
            m_attributes[i] = RuxenXmlAttribute{m_text[2 * i].c_str(), m_text[2 * i + 1].c_str()};
        const std::string name = ToUtf8(qname);
        if (m_events->startElement(m_events->context, m_depth, name.c_str(), m_attributes.data(), count) != 0)
            throw CallbackStopped();
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
        // nothing outside the document element is content
        if (m_depth > 0 && m_events->content(m_events->context, m_depth - 1) != 0)
            throw CallbackStopped();
    }
    void keep(const SAXParseException& e) {
        if (m_error.empty())
            m_error = "line " + std::to_string(e.getLineNumber()) + ", column " + std::to_string(e.getColumnNumber()) +
                      ": " + ToUtf8(e.getMessage());
    }

    const RuxenXmlEvents* m_events = nullptr;
    const Locator* m_locator = nullptr;
    unsigned m_depth = 0;
    std::string m_error;
    // One element's attributes at a time, reused.
    std::vector<std::string> m_text;
    std::vector<RuxenXmlAttribute> m_attributes;
};

XercesSaxParser::XercesSaxParser() : m_adapter(new Adapter), m_security(new SecurityManager) {
    m_security->setEntityExpansionLimit(kEntityExpansionLimit);
}

void XercesSaxParser::MakeReader() {
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

XercesSaxParser::~XercesSaxParser() = default;

std::string XercesSaxParser::ToUtf8(const XMLCh* text) {
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

bool XercesSaxParser::Parse(const char* bytes, size_t size, const std::string& name, const RuxenXmlEvents& events,
                            std::string& error) {
    error.clear();
    if (size > RUXEN_XML_MAX_BYTES) {
        error = name + " is larger than " + std::to_string(RUXEN_XML_MAX_BYTES) + " bytes";
        return false;
    }
    try {
        if (!m_reader)
            MakeReader();
        m_adapter->Begin(&events);
        MemBufInputSource source(reinterpret_cast<const XMLByte*>(bytes), size, name.c_str(), false);
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
