#include "platform/base/CTyError.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/base/NoDestructor.h"

namespace {

const std::vector<CTyError::Entry>& emptyEntries() {
    static ruxen::NoDestructor<std::vector<CTyError::Entry>> empty;
    return *empty;
}

}  // namespace

std::string CTyError::Format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = FormatV(fmt, ap);
    va_end(ap);
    return text;
}

std::string CTyError::FormatV(const char* fmt, va_list ap) {
    if (!fmt)
        return std::string();
    char stackBuf[512];
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(stackBuf, sizeof(stackBuf), fmt, ap);
    std::string out;
    if (n < 0) {
        out = fmt;  // a broken format: keep the raw text rather than nothing
    } else if (static_cast<size_t>(n) < sizeof(stackBuf)) {
        out.assign(stackBuf, static_cast<size_t>(n));
    } else {
        out.resize(static_cast<size_t>(n) + 1);
        vsnprintf(&out[0], out.size(), fmt, ap2);
        out.resize(static_cast<size_t>(n));
    }
    va_end(ap2);
    return out;
}

CTyError::CTyError(FacilityKind facility, int32_t number, const QMCodeLocation& location, std::string text)
    : m_number(number), m_messages(new std::vector<Entry>) {
    if (facility != FacilityErrNo)
        facility = FacilityWin32;
    int32_t field = (number >= 0 && number <= kNumberOverflow) ? number : kNumberOverflow;
    m_code = -((static_cast<int32_t>(facility) << 24) | field);
    m_messages->push_back(Entry{location, std::move(text)});
}

CTyError::CTyError(const CTyError& other)
    : m_code(other.m_code),
      m_number(other.m_number),
      m_messages(other.m_messages ? new std::vector<Entry>(*other.m_messages) : nullptr) {}

CTyError& CTyError::operator=(const CTyError& other) {
    if (this != &other) {
        CTyError copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CTyError::FacilityKind CTyError::Facility() const {
    if (m_code >= 0)
        return FacilityNone;
    return static_cast<FacilityKind>((-static_cast<int64_t>(m_code) >> 24) & 0x7F);
}

CTyError& CTyError::Push(const QMCodeLocation& location, const char* fmt, ...) {
    if (!IsError())
        return *this;
    va_list ap;
    va_start(ap, fmt);
    std::string text = FormatV(fmt, ap);
    va_end(ap);
    return PushText(location, std::move(text));
}

CTyError& CTyError::PushText(const QMCodeLocation& location, std::string text) {
    if (!IsError())
        return *this;
    if (!m_messages)
        m_messages.reset(new std::vector<Entry>);
    m_messages->push_back(Entry{location, std::move(text)});
    return *this;
}

const std::vector<CTyError::Entry>& CTyError::Entries() const { return m_messages ? *m_messages : emptyEntries(); }

std::string CTyError::Message() const {
    std::string out;
    if (!m_messages)
        return out;
    for (auto it = m_messages->rbegin(); it != m_messages->rend(); ++it) {
        if (it->text.empty())
            continue;
        if (!out.empty())
            out += ": ";
        out += it->text;
    }
    return out;
}

std::string CTyError::Describe() const {
    if (!IsError())
        return "success";
    std::string out = Message();
    char tail[160];
    switch (Facility()) {
    case FacilityErrNo:
        snprintf(tail, sizeof(tail), "[errno %d: %s]", m_number, strerror(m_number));
        break;
    case FacilityWin32:
        snprintf(tail, sizeof(tail), "[error %d]", m_number);
        break;
    default:
        snprintf(tail, sizeof(tail), "[code %d]", static_cast<int>(m_code));
        break;
    }
    if (!out.empty())
        out += ' ';
    out += tail;
    return out;
}

std::string CTyError::Trace() const {
    std::string out;
    if (!m_messages)
        return out;
    for (auto it = m_messages->rbegin(); it != m_messages->rend(); ++it) {
        out += it->location.File();
        out += ':';
        out += std::to_string(it->location.Line());
        out += ' ';
        out += it->location.Function();
        out += ": ";
        out += it->text;
        out += '\n';
    }
    return out;
}
