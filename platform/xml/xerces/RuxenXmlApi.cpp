// The XML library's entry: its function table. Everything below it runs
// inside a catch-all, so no exception reaches libruxen.so.
#include "platform/xml/xerces/RuxenXmlApi.h"

#include <new>
#include <string>

#include "platform/xml/xerces/XercesRuntime.h"
#include "platform/xml/xerces/XercesSaxParser.h"

namespace {

int ParseMemory(const char* bytes, size_t size, const char* name, const RuxenXmlEvents* events) noexcept {
    if (events == nullptr || events->startElement == nullptr || events->content == nullptr ||
        events->failure == nullptr)
        return 1;
    try {
        const std::string documentName = name != nullptr ? name : "XML";
        std::string error;
        if (XercesRuntime::Ensure(error)) {
            XercesSaxParser parser;  // made for this parse: any thread may parse at once
            if (parser.Parse(bytes, size, documentName, *events, error))
                return 0;
        }
        events->failure(events->context, error.data(), error.size());
    } catch (...) {
        // Only running out of memory before or after the parse gets here.
        static const char kText[] = "XML: out of memory";
        events->failure(events->context, kText, sizeof kText - 1);
    }
    return 1;
}

void Terminate() noexcept { XercesRuntime::Terminate(); }

}  // namespace

extern "C" __attribute__((visibility("default"))) const RuxenXmlApi* ruxen_xml_api(int version) {
    static const RuxenXmlApi api = {RUXEN_XML_API_VERSION, &ParseMemory, &Terminate};
    return version == RUXEN_XML_API_VERSION ? &api : nullptr;
}
