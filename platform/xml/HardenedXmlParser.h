// The one way the system reads XML, for files an administrator or a server
// hands over. A document is streamed to a Handler element by element; no
// tree of it is ever built, so reading costs time and memory in proportion
// to the document and to what the handler keeps.
//
// - A document that is malformed or cut short fails the parse.
// - No validation, no schema, no external DTD; no entity is fetched from
//   outside, and a document that carries a DOCTYPE at all is refused where
//   the declaration starts (the system's XML formats have none).
// - Input is read whole from memory (a file is read by us first), so a path
//   is never taken for a URL; a file or a buffer larger than kMaxBytes is
//   refused before it is parsed, and an element nested kMaxDepth levels
//   below the document element where it starts ("... nested deeper than
//   256 levels ...").
// - No exception leaves a parse, whether the parser or the handler threw it
//   (out of memory included): the parse fails with the reason in its error
//   text.
//
// The parser itself is the XML library (platform/xml/), which libruxen.so
// loads on the first parse (platform/xml/XmlLibrary.h); when it cannot be
// loaded every parse fails with "XML support is not available: <why>".
// Parses may run on several threads at once.
#pragma once

#include <map>
#include <string>

#include "platform/xml/xerces/RuxenXmlApi.h"

class HardenedXmlParser {
public:
    static constexpr size_t kMaxBytes = RUXEN_XML_MAX_BYTES;
    static constexpr unsigned kMaxDepth = RUXEN_XML_MAX_DEPTH;

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

    // Streams the document to `handler`: true, or false with the reason in
    // `error` (the file or buffer `name`, then line and column where the
    // parser gives them). After a failure the handler may have seen part of
    // the document.
    static bool ParseFile(const std::string& path, Handler& handler, std::string& error);
    static bool ParseMemory(const std::string& bytes, const std::string& name, Handler& handler, std::string& error);
};
