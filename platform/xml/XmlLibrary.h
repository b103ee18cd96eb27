// Finds the XML library (platform/xml/xerces/RuxenXmlApi.h) once per process, on
// the first parse. libruxen.so loads "libruxen_xml.so" from its own
// directory (build/lib, or wherever both are installed) with dlopen
// (RTLD_NOW | RTLD_LOCAL: nothing of Xerces joins the host's symbols), looks
// up its entry and checks its version; the static folder libraries link the
// library in and take its table directly. A library that cannot be loaded
// is an error for each parse ("XML support is not available: <why>"), never
// a crash: a rules file then fails to load as an unreadable one does.
#pragma once

#include <string>

#include "platform/xml/xerces/RuxenXmlApi.h"

class XmlLibrary {
public:
    static constexpr const char* kFileName = "libruxen_xml.so";

    // The library's table, loaded by the first call (thread-safe; the outcome
    // is kept for the process): null with the reason in `error`.
    static const RuxenXmlApi* Api(std::string& error);
};
