#include "platform/xml/HardenedXmlParser.h"

#include <new>
#include <stdexcept>

#include "platform/text/WholeFile.h"
#include "platform/xml/XmlLibrary.h"

namespace {

// Hands the library's events to a Handler. Nothing the handler throws goes
// back into the library: the event answers non-zero, the parse stops, and
// the handler's reason replaces the library's.
class Bridge {
public:
    Bridge(HardenedXmlParser::Handler& handler, const std::string& name) : m_handler(handler), m_name(name) {
        m_events.context = this;
        m_events.startElement = &Bridge::StartElement;
        m_events.content = &Bridge::Content;
        m_events.failure = &Bridge::Failure;
    }
    const RuxenXmlEvents& events() const { return m_events; }
    // Why the parse failed, the handler's reason first.
    std::string& reason() { return m_handlerFailure.empty() ? m_libraryFailure : m_handlerFailure; }

private:
    static int StartElement(void* context, unsigned depth, const char* name, const RuxenXmlAttribute* attributes,
                            size_t count) noexcept {
        Bridge& b = *static_cast<Bridge*>(context);
        try {
            b.m_attributes.clear();
            for (size_t i = 0; i < count; ++i)
                b.m_attributes[attributes[i].name] = attributes[i].value;
            b.m_handler.StartElement(depth, name, b.m_attributes);
            return 0;
        } catch (...) {
            return b.HandlerFailed();
        }
    }
    static int Content(void* context, unsigned depth) noexcept {
        Bridge& b = *static_cast<Bridge*>(context);
        try {
            b.m_handler.Content(depth);
            return 0;
        } catch (...) {
            return b.HandlerFailed();
        }
    }
    static void Failure(void* context, const char* text, size_t length) noexcept {
        Bridge& b = *static_cast<Bridge*>(context);
        try {
            b.m_libraryFailure.assign(text, length);
        } catch (...) {
            b.m_libraryFailure.clear();  // the caller says it failed without a reason
        }
    }

    // Inside a catch (...): keeps what was thrown as the parse's reason.
    int HandlerFailed() noexcept {
        try {
            try {
                throw;
            } catch (const std::bad_alloc&) {
                m_handlerFailure = m_name + ": out of memory";
            } catch (const std::exception& e) {
                m_handlerFailure = m_name + ": " + e.what();
            } catch (...) {
                m_handlerFailure = m_name + ": the XML reader failed";
            }
        } catch (...) {
            m_handlerFailure.clear();
        }
        return 1;
    }

    HardenedXmlParser::Handler& m_handler;
    const std::string& m_name;
    RuxenXmlEvents m_events{};
    std::map<std::string, std::string> m_attributes;  // reused: one element's at a time
    std::string m_handlerFailure;
    std::string m_libraryFailure;
};

}  // namespace

bool HardenedXmlParser::ParseFile(const std::string& path, Handler& handler, std::string& error) {
    std::string bytes;
    if (!WholeFile::ReadRegular(path, kMaxBytes, bytes, error))
        return false;
    return ParseMemory(bytes, path, handler, error);
}

bool HardenedXmlParser::ParseMemory(const std::string& bytes, const std::string& name, Handler& handler,
                                    std::string& error) {
    error.clear();
    if (bytes.size() > kMaxBytes) {
        error = name + " is larger than " + std::to_string(kMaxBytes) + " bytes";
        return false;
    }
    const RuxenXmlApi* api = XmlLibrary::Api(error);
    if (api == nullptr)
        return false;
    Bridge bridge(handler, name);
    if (api->parseMemory(bytes.data(), bytes.size(), name.c_str(), &bridge.events()) == 0)
        return true;
    error.swap(bridge.reason());
    if (error.empty())
        error = name + ": out of memory";
    return false;
}
