// The one way the system reads XML: a Xerces-C DOM parser set up for files an
// administrator or a server hands over.
//
// - An error handler records every error and fatal error; a document that is
//   malformed or cut short fails the parse (without a handler Xerces returns
//   the partial tree and the read "succeeds").
// - No validation, no schema, no external DTD, and no entity is fetched from
//   outside (default entity resolution is off and nothing resolves them).
// - Entity expansion is limited, and a document that carries a DOCTYPE at
//   all is refused: the system's XML formats have none.
// - Input is read whole from memory (a file is read by us first, up to
//   kMaxBytes), so a path is never taken for a URL.
//
// A parser exists only inside a XercesGuard (which makes it and destroys it
// before Xerces is terminated). A parsed document belongs to the parser and
// stays valid until the next parse or the parser's end.
#pragma once

#include <xercesc/util/XercesDefs.hpp>

#include <memory>
#include <string>

XERCES_CPP_NAMESPACE_BEGIN
class DOMDocument;
class XercesDOMParser;
class SecurityManager;
XERCES_CPP_NAMESPACE_END

class XercesGuard;

class HardenedDomParser {
public:
    static constexpr size_t kMaxBytes = 16u << 20;
    // Entity references a document may expand in all.
    static constexpr unsigned kEntityExpansionLimit = 64;

    ~HardenedDomParser();
    HardenedDomParser(const HardenedDomParser&) = delete;
    HardenedDomParser& operator=(const HardenedDomParser&) = delete;

    // The document, or null with the reason in `error` (the file or buffer
    // `name`, then line and column where Xerces gives them).
    XERCES_CPP_NAMESPACE::DOMDocument* parseFile(const std::string& path, std::string& error);
    XERCES_CPP_NAMESPACE::DOMDocument* parseMemory(const std::string& bytes, const std::string& name,
                                                   std::string& error);

    // UTF-8 text of a Xerces string ("" for null).
    static std::string ToUtf8(const XMLCh* text);

private:
    friend class XercesGuard;
    HardenedDomParser();

    class ErrorCollector;
    std::unique_ptr<ErrorCollector> m_errors;
    std::unique_ptr<XERCES_CPP_NAMESPACE::SecurityManager> m_security;
    std::unique_ptr<XERCES_CPP_NAMESPACE::XercesDOMParser> m_parser;
};
