// The interface of the XML library, libruxen_xml.so: the one part of the
// system that includes Xerces-C headers and links Xerces-C (which brings
// ICU, curl, a TLS stack and Kerberos into a process). libruxen.so does not
// link it: platform/xml/XmlLibrary.h loads it beside libruxen.so on the first
// parse, so a host that never reads XML never maps any of them. The static
// folder libraries (tools, tests, fuzz targets) link it directly.
//
// Plain C and plain data across the boundary: the document's bytes go in,
// its elements come back through callbacks in document order, the reason of
// a failure as text. No C++ exception crosses it either way: the library
// catches everything Xerces or a callback throws, and callbacks must not
// throw (they answer non-zero to stop the parse instead).
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Raised whenever a structure or the meaning of a call changes; a library
// that does not speak the loader's version is refused.
#define RUXEN_XML_API_VERSION 2
#define RUXEN_XML_ENTRY "ruxen_xml_api"
// Documents larger than this are refused unread.
#define RUXEN_XML_MAX_BYTES (16u << 20)
// Elements nested deeper than this (the document element is at depth 0) are
// refused where the first of them starts: the reader's memory grows with
// the depth it is inside, and no format of the system nests a tenth of it.
#define RUXEN_XML_MAX_DEPTH 256u

typedef struct RuxenXmlAttribute {
    const char* name;  // UTF-8, NUL-terminated (XML text holds no NUL)
    const char* value;
} RuxenXmlAttribute;

// What a parse hands back. Depth 0 is the document element. Each callback
// answers 0 to go on; anything else ends the parse as a failure whose reason
// the caller keeps itself (the library's only says the parse was stopped).
typedef struct RuxenXmlEvents {
    void* context;
    int (*startElement)(void* context, unsigned depth, const char* name, const RuxenXmlAttribute* attributes,
                        size_t count);
    // Text (white space included), a comment, a CDATA section or a processing
    // instruction directly inside the element at `depth`.
    int (*content)(void* context, unsigned depth);
    // Why the parse failed ("<name>: <reason>"); called at most once.
    void (*failure)(void* context, const char* text, size_t length);
} RuxenXmlEvents;

typedef struct RuxenXmlApi {
    int version;
    // Streams the document to `events`: 0 when it was read whole, else
    // non-zero. `name` names the document in the reason of a failure.
    int (*parseMemory)(const char* bytes, size_t size, const char* name, const RuxenXmlEvents* events);
    // With no parse running: terminates Xerces-C (the next parse initialises
    // it again). What the test-control reset of the XML library calls.
    void (*terminate)(void);
} RuxenXmlApi;

// The library's one exported function: its table when it speaks `version`,
// else null.
const RuxenXmlApi* ruxen_xml_api(int version);

#ifdef __cplusplus
}
#endif
