// The platform library's exception: a context (usually the throwing class or
// function), a message text, a source name, an optional source line and a
// numeric code. what() gives "context: text".
#pragma once

#include <stdexcept>
#include <string>

class KxException : public std::runtime_error {
public:
    KxException(const std::string& context, const std::string& text, const std::string& source, int code)
        : KxException(context, text, source, 0, code) {}
    KxException(const std::string& context, const std::string& text, const std::string& source, int line, int code)
        : std::runtime_error(context.empty() ? text : context + ": " + text),
          m_context(context),
          m_text(text),
          m_source(source),
          m_line(line),
          m_code(code) {}

    const std::string& context() const { return m_context; }
    const std::string& text() const { return m_text; }
    const std::string& source() const { return m_source; }
    int line() const { return m_line; }
    int code() const { return m_code; }

private:
    std::string m_context;
    std::string m_text;
    std::string m_source;
    int m_line;
    int m_code;
};
