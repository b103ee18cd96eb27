#include "platform/xml/xerces/XercesRuntime.h"

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include <atomic>
#include <mutex>

#include "platform/xml/xerces/XercesSaxParser.h"

using namespace XERCES_CPP_NAMESPACE;

namespace {
// Xerces' initialisation and termination must not run on two threads at
// once; the flag spares later parses the lock.
std::mutex g_lock;
std::atomic<bool> g_ready{false};
}  // namespace

bool XercesRuntime::Ensure(std::string& error) {
    if (g_ready.load(std::memory_order_acquire))
        return true;
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_ready.load(std::memory_order_relaxed))
        return true;
    try {
        XMLPlatformUtils::Initialize();
    } catch (const XMLException& e) {
        error = "cannot initialise Xerces-C: " + XercesSaxParser::ToUtf8(e.getMessage());
        return false;
    } catch (...) {
        error = "cannot initialise Xerces-C";
        return false;
    }
    g_ready.store(true, std::memory_order_release);
    return true;
}

void XercesRuntime::Terminate() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_ready.load(std::memory_order_relaxed))
        return;
    try {
        XMLPlatformUtils::Terminate();
    } catch (...) {
        // Nothing to report to; the next parse initialises the library anew.
    }
    g_ready.store(false, std::memory_order_release);
}
