// The one way the system reads XML: a Xerces-C SAX2 reader set up for files
// an administrator or a server hands over. A document is streamed to a
// Handler element by element; no tree of it is ever built, so reading costs
// time and memory in proportion to the document and to what the handler
// keeps.
//
// - An error handler records every error and fatal error; a document that is
//   malformed or cut short fails the parse.
// - No validation, no schema, no external DTD, and no entity is fetched from
//   outside (default entity resolution is off and nothing resolves them).
// - A document that carries a DOCTYPE at all is refused the moment the
//   scanner meets it, before its internal subset is read: none of its
//   entities is ever declared or expanded (the system's XML formats have
//   none). Entity expansion is limited besides.
// - Input is read whole from memory (a file is read by us first), so a path
//   is never taken for a URL; a file or a buffer larger than kMaxBytes is
//   refused before it is parsed.
// - No exception leaves a parse, whether Xerces or the handler threw it (out
//   of memory included): the parse fails with the reason in its error text.
//
// A parser exists only inside a XercesGuard (which makes it and destroys it
// before Xerces is terminated).
#pragma once

#include <xercesc/util/XercesDefs.hpp>

#include <map>
#include <memory>
#include <string>

XERCES_CPP_NAMESPACE_BEGIN
class SAX2XMLReader;
class SecurityManager;
XERCES_CPP_NAMESPACE_END

class XercesGuard;

class HardenedXmlParser {
public:
    static constexpr size_t kMaxBytes = 16u << 20;
    // Entity references a document may expand in all.
    static constexpr unsigned kEntityExpansionLimit = 64;

    // What a document is read into, in document order. Names and values are
    // UTF-8; depth 0 is the document element.
    class Handler {
    public:
        virtual ~Handler() = default;
        virtual void StartElement(unsigned depth, const std::string& name,
                                  const std::map<std::string, std::string>& attributes) = 0;
        // Text (white space included), a comment, a CDATA section or a
        // processing instruction directly inside the element at `depth`.
        virtual void Content(unsigned /*depth*/) {}
    };

    ~HardenedXmlParser();
    HardenedXmlParser(const HardenedXmlParser&) = delete;
    HardenedXmlParser& operator=(const HardenedXmlParser&) = delete;

    // Streams the document to `handler`: true, or false with the reason in
    // `error` (the file or buffer `name`, then line and column where Xerces
    // gives them). After a failure the handler may have seen part of the
    // document.
    bool parseFile(const std::string& path, Handler& handler, std::string& error);
    bool parseMemory(const std::string& bytes, const std::string& name, Handler& handler, std::string& error);

    // UTF-8 text of a Xerces string ("" for null); an unpaired surrogate
    // becomes U+FFFD.
    static std::string ToUtf8(const XMLCh* text);

private:
    friend class XercesGuard;
    HardenedXmlParser();
    void MakeReader();

    class Adapter;
    std::unique_ptr<Adapter> m_adapter;
    std::unique_ptr<XERCES_CPP_NAMESPACE::SecurityManager> m_security;
    std::unique_ptr<XERCES_CPP_NAMESPACE::SAX2XMLReader> m_reader;  // made for the first parse
};
