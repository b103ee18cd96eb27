// The in-house error value returned by newer code.
//
// An error is a 32-bit code plus a stack of (location, text) messages. The
// code is negative for every error and 0 for success, so IsError() is simply
// "code < 0". Callers report errno values and numbered (Win32-style) errors,
// which are positive; the factories in QMErrorUtil fold them into a negative
// code together with a facility that says which kind of number it is:
//
//     code = -((facility << 24) | (number & 0xFFFFFF))
//
// The caller's number itself is also kept whole, so ErrNo() and Win32Code()
// give it back exactly even when it does not fit in 24 bits (the code then
// carries 0xFFFFFF in its number field).
//
// Success carries no messages and never allocates: the message stack lives
// behind a pointer that stays null until an error is built. Copies are deep
// (pushing context onto a copy leaves the original alone); moves are cheap.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/CTyString.h"
#include "platform/base/Export.h"
#include "platform/base/QMCodeLocation.h"

class RUXEN_EXPORT CTyError {
public:
    enum FacilityKind : int32_t {
        FacilityNone = 0,   // success, or a raw code without a facility
        FacilityErrNo = 1,  // a POSIX errno value
        FacilityWin32 = 2,  // a numbered error of the platform (774: bad input)
    };

    // The number field of a code whose number did not fit in 24 bits.
    static constexpr int32_t kNumberOverflow = 0xFFFFFF;

    struct Entry {
        QMCodeLocation location;
        std::string text;
    };

    // Success.
    CTyError() noexcept = default;
    static CTyError Success() noexcept { return CTyError(); }

    // An error of the given facility and number with one message; always an
    // error (a facility other than FacilityErrNo is taken as FacilityWin32).
    // Most code uses QMErrorUtil::ErrorErrNo / ErrorWin32 instead.
    CTyError(FacilityKind facility, int32_t number, const QMCodeLocation& location, std::string text);

    CTyError(const CTyError& other);
    CTyError& operator=(const CTyError& other);
    CTyError(CTyError&& other) noexcept = default;
    CTyError& operator=(CTyError&& other) noexcept = default;
    ~CTyError() = default;

    bool IsError() const { return m_code < 0; }
    bool IsSuccess() const { return !IsError(); }

    // The raw 32-bit code (negative for an error, 0 for success).
    int32_t Code() const { return m_code; }
    // The kind of number the code carries (FacilityNone for success).
    FacilityKind Facility() const;
    // The caller's errno when this is an errno error, else 0.
    int ErrNo() const { return Facility() == FacilityErrNo ? m_number : 0; }
    // The caller's number when this is a numbered error, else 0.
    int Win32Code() const { return Facility() == FacilityWin32 ? m_number : 0; }

    // Adds a context message (the error becomes "newer" context on top of the
    // older ones). On a success value it does nothing: success carries no
    // messages. Returns *this, so `return err.Push(QM_LOC, "...")` works.
    CTyError& Push(const QMCodeLocation& location, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    CTyError& PushText(const QMCodeLocation& location, std::string text);

    // printf-style formatting into a string, shared with the factories.
    static std::string FormatV(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));
    static std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

    // The messages joined with ": ", newest first, the way a reader expects
    // context before cause ("reading split config: cannot open /x"). Empty
    // for success.
    std::string Message() const;
    // The same text as a CTyString, for C-style callers ("%s", err.what()).
    CTyString what() const { return CTyString(Message()); }
    // Message() followed by the code, the facility and the number, for logs:
    // "cannot open /x [errno 2: No such file or directory]".
    std::string Describe() const;
    // One line per message, newest first, each with its location
    // ("file:line function: text").
    std::string Trace() const;

    // The message stack, oldest first. Empty for success.
    const std::vector<Entry>& Entries() const;

private:
    int32_t m_code = 0;
    int32_t m_number = 0;
    std::unique_ptr<std::vector<Entry>> m_messages;
};
