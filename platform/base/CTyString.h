// A small owning string of the common utilities: it converts to its
// NUL-terminated text, so it can be handed to C-style calls directly.
#pragma once

#include <cstddef>
#include <string>

class CTyString {
public:
    CTyString() = default;
    CTyString(const char* s) : m_text(s ? s : "") {}  // a null pointer gives ""
    CTyString(const char* s, size_t len) : m_text(s ? std::string(s, len) : std::string()) {}
    CTyString(std::string s) : m_text(std::move(s)) {}

    // The NUL-terminated text, owned by this string and valid while it lives
    // unchanged.
    operator const char*() const { return m_text.c_str(); }
    const char* c_str() const { return m_text.c_str(); }
    size_t length() const { return m_text.size(); }
    bool empty() const { return m_text.empty(); }
    const std::string& str() const { return m_text; }

    CTyString& operator+=(const CTyString& other) {
        m_text += other.m_text;
        return *this;
    }

    friend bool operator==(const CTyString& a, const CTyString& b) { return a.m_text == b.m_text; }
    friend bool operator!=(const CTyString& a, const CTyString& b) { return a.m_text != b.m_text; }
    // Exact overloads: without them a comparison with a literal would be
    // ambiguous between this class's operator and the built-in pointer one.
    friend bool operator==(const CTyString& a, const char* b) { return a.m_text == (b ? b : ""); }
    friend bool operator==(const char* a, const CTyString& b) { return b == a; }
    friend bool operator!=(const CTyString& a, const char* b) { return !(a == b); }
    friend bool operator!=(const char* a, const CTyString& b) { return !(b == a); }

private:
    std::string m_text;
};
