// Which bytes of a name or a message are control characters, which no
// output line may carry as they are (they end lines, forge others, drive a
// terminal): the C0 controls (0x00 to 0x1F), DEL, and the C1 controls
// U+0080 to U+009F (0x9B is a terminal's CSI), whether as a raw byte 0x80
// to 0x9F that is no part of a UTF-8 sequence or UTF-8-encoded (C2 80 to
// C2 9F). A well-formed UTF-8 sequence of any other character is text and
// passes whole, though its continuation bytes may lie in 0x80 to 0x9F
// (Cyrillic "А" is D0 90, "€" E2 82 AC), and so does a byte from 0xA0 up
// that starts no sequence (a Latin-1 name).
//
// The one rule of every escaper: the percent escapes of the failures,
// results and collect files (FileNameEscape.h) and the "\xNN" escapes of
// log lines and dumps (PrintableText.h).
#pragma once

#include <cstddef>

namespace ruxen {

// The length of a well-formed UTF-8 sequence of two to four bytes at s[0,
// n), or 0 when none starts there.
inline size_t Utf8SequenceLength(const unsigned char* s, size_t n) {
    const unsigned char c = s[0];
    size_t length;
    unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0)
            lo = 0xA0;  // no overlong forms
        else if (c == 0xED)
            hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (n < length || s[1] < lo || s[1] > hi)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return length;
}

// The piece of text[0, length) (length > 0) that starts at text[0]: its
// bytes (one, or the whole of a UTF-8 sequence), and in `control` whether it
// is a control character, every byte of which is to be escaped.
inline size_t TextUnit(const char* text, size_t length, bool& control) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    const unsigned char c = s[0];
    if (c < 0x80) {
        control = c < 0x20 || c == 0x7F;
        return 1;
    }
    const size_t n = Utf8SequenceLength(s, length);
    if (n == 0) {
        control = c <= 0x9F;
        return 1;
    }
    control = c == 0xC2 && s[1] <= 0x9F;
    return n;
}

}  // namespace ruxen
