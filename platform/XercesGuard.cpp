#include "platform/XercesGuard.h"

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include <mutex>
#include <new>

#include "platform/HardenedXmlParser.h"

using namespace XERCES_CPP_NAMESPACE;

namespace {
// Xerces' initialisation and termination are not safe to run at once on two
// threads; every guard takes this lock around them.
std::mutex g_initLock;
}  // namespace

XercesGuard::XercesGuard() {
    std::lock_guard<std::mutex> hold(g_initLock);
    try {
        XMLPlatformUtils::Initialize();
        m_ok = true;
    } catch (const XMLException& e) {
        m_error = "cannot initialise Xerces-C: " + HardenedXmlParser::ToUtf8(e.getMessage());
    } catch (...) {
        m_error = "cannot initialise Xerces-C";
    }
}

XercesGuard::~XercesGuard() {
    m_parser.reset();  // the parser goes before the library
    if (m_ok) {
        std::lock_guard<std::mutex> hold(g_initLock);
        try {
            XMLPlatformUtils::Terminate();
        } catch (...) {
            // Nothing to report to from a destructor; the process goes on.
        }
    }
}

HardenedXmlParser* XercesGuard::parser() {
    if (!m_ok)
        return nullptr;
    if (!m_parser) {
        try {
            m_parser.reset(new HardenedXmlParser());
        } catch (...) {
            m_error = "cannot make an XML parser";
            return nullptr;
        }
    }
    return m_parser.get();
}
