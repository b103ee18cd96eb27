// Compiled twice: into libruxen.so, which loads the XML library, and with
// RUXEN_XML_LINKED into the static folder libraries, which link it.
#include "platform/xml/XmlLibrary.h"
#include "platform/base/TestControl.h"

#include <dlfcn.h>

#include <mutex>

#include "platform/base/NoDestructor.h"

namespace {

struct Loaded {
    bool tried = false;
    const RuxenXmlApi* api = nullptr;
    void* handle = nullptr;  // null when linked in
    std::string error;
};

std::mutex g_lock;  // the first load may happen on several threads at once

Loaded& State() {
    static ruxen::NoDestructor<Loaded> state;
    return *state;
}

#ifdef RUXEN_XML_LINKED

void Load(Loaded& s) { s.api = ruxen_xml_api(RUXEN_XML_API_VERSION); }

#else

// The directory this library was loaded from, with its slash ("" if the
// loader names it without one).
std::string OwnDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&XmlLibrary::Api), &info) == 0 || info.dli_fname == nullptr)
        return "";
    const std::string self = info.dli_fname;
    const size_t slash = self.rfind('/');
    return slash == std::string::npos ? "" : self.substr(0, slash + 1);
}

void Load(Loaded& s) {
    const std::string path = OwnDirectory() + XmlLibrary::kFileName;
    s.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (s.handle == nullptr) {
        const char* why = dlerror();
        s.error = why != nullptr ? why : path + ": cannot be loaded";
        return;
    }
    using Entry = const RuxenXmlApi* (*)(int);
    auto entry = reinterpret_cast<Entry>(dlsym(s.handle, RUXEN_XML_ENTRY));
    if (entry == nullptr) {
        const char* why = dlerror();
        s.error = why != nullptr ? why : path + ": no " RUXEN_XML_ENTRY;
    } else if ((s.api = entry(RUXEN_XML_API_VERSION)) == nullptr) {
        s.error = path + " does not speak version " + std::to_string(RUXEN_XML_API_VERSION);
    }
    if (s.api == nullptr) {
        dlclose(s.handle);
        s.handle = nullptr;
    }
}

#endif

}  // namespace

const RuxenXmlApi* XmlLibrary::Api(std::string& error) {
    std::lock_guard<std::mutex> hold(g_lock);
    Loaded& s = State();
    if (!s.tried) {
        s.tried = true;
        Load(s);
        if (s.api != nullptr && s.api->version != RUXEN_XML_API_VERSION)
            s.api = nullptr;
        if (s.api == nullptr)
            s.error = "XML support is not available: " + (s.error.empty() ? "version mismatch" : s.error);
    }
    if (s.api == nullptr)
        error = s.error;
    return s.api;
}

// With no parse running: Xerces-C terminated, the library unloaded and the
// outcome forgotten, so the next parse loads it anew.
void ruxen::testcontrol::ResetXmlLibrary() {
    std::lock_guard<std::mutex> hold(g_lock);
    Loaded& s = State();
    if (s.api != nullptr)
        s.api->terminate();
    if (s.handle != nullptr)
        dlclose(s.handle);
    s = Loaded();
}

namespace {
const ruxen::testcontrol::Registration kTestReset("XML library", &ruxen::testcontrol::ResetXmlLibrary);
}  // namespace
