// The Xerces-C SAX2 reader behind the XML library's parse, set up for files
// an administrator or a server hands over (what callers are promised is in
// platform/xml/HardenedXmlParser.h):
//
// - An error handler records every error and fatal error; a document that is
//   malformed or cut short fails the parse.
// - No validation, no schema, no external DTD, and no entity is fetched from
//   outside (default entity resolution is off and nothing resolves them).
// - A document that carries a DOCTYPE at all is refused the moment the
//   scanner meets it, before its internal subset is read: none of its
//   entities is ever declared or expanded. Entity expansion is limited
//   besides.
// - An element nested deeper than RUXEN_XML_MAX_DEPTH is refused where it
//   starts: the scanner's element stack, and the time and memory a parse
//   takes, stay bounded whatever the nesting.
// - Input is read from memory only, so a name is never taken for a URL.
// - No exception leaves a parse, whether Xerces or a callback threw it (out
//   of memory included): the parse fails with the reason in its error text.
//
// Xerces-C must be initialised (XercesRuntime) while a parser lives.
#pragma once

#include <xercesc/util/XercesDefs.hpp>

#include <memory>
#include <string>

#include "platform/xml/xerces/RuxenXmlApi.h"

XERCES_CPP_NAMESPACE_BEGIN
class SAX2XMLReader;
class SecurityManager;
XERCES_CPP_NAMESPACE_END

class XercesSaxParser {
public:
    // Entity references a document may expand in all.
    static constexpr unsigned kEntityExpansionLimit = 64;

    XercesSaxParser();
    ~XercesSaxParser();
    XercesSaxParser(const XercesSaxParser&) = delete;
    XercesSaxParser& operator=(const XercesSaxParser&) = delete;

    // Streams the document to `events`: true, or false with the reason in
    // `error` ("<name>: ", then line and column where Xerces gives them).
    bool Parse(const char* bytes, size_t size, const std::string& name, const RuxenXmlEvents& events,
               std::string& error);

    // UTF-8 text of a Xerces string ("" for null); an unpaired surrogate
    // becomes U+FFFD.
    static std::string ToUtf8(const XMLCh* text);

private:
    void MakeReader();

    class Adapter;
    std::unique_ptr<Adapter> m_adapter;
    std::unique_ptr<XERCES_CPP_NAMESPACE::SecurityManager> m_security;
    std::unique_ptr<XERCES_CPP_NAMESPACE::SAX2XMLReader> m_reader;  // made for the first parse
};
