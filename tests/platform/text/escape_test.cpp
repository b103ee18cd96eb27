#include <gtest/gtest.h>

#include <string>

#include "platform/text/FileNameEscape.h"
#include "platform/text/PrintableText.h"

namespace {

using ruxen::escapeFileName;
using ruxen::escapeFileNameInto;
using ruxen::unescapeFileName;

TEST(FileNameEscapeTest, EscapesControlBytesAndPercentAndRoundTripsEveryByte) {
    EXPECT_EQ(escapeFileName("a\rb\nc%d /x"), "a%0Db%0Ac%25d /x");
    EXPECT_EQ(escapeFileName("\xff\x01\t:\x1b[2J\x7f~"), "\xff%01%09:%1B[2J%7F~");
    EXPECT_EQ(escapeFileName(nullptr), "");
    std::string buf = "prefix:";  // the append form takes a length
    escapeFileNameInto("x\ny%", 3, buf);
    EXPECT_EQ(buf, "prefix:x%0Ay");

    std::string all;
    for (int c = 1; c <= 255; ++c)
        all += static_cast<char>(c);
    std::string esc = escapeFileName(all.c_str());
    EXPECT_EQ(esc.size(), 255u + 65 * 2);  // 31 C0 bytes, DEL, 32 C1 bytes and "%" grow by two each
    for (char c : esc) {
        const unsigned char u = static_cast<unsigned char>(c);
        EXPECT_TRUE(u >= 0x20 && u != 0x7f && (u < 0x80 || u > 0x9f)) << int(u);
    }
    std::string back, error;
    EXPECT_TRUE(unescapeFileName(esc.data(), esc.size(), back, &error)) << error;
    EXPECT_EQ(back, all);
}

// C1 controls, raw or UTF-8 encoded, are escaped byte by byte in both
// notations; UTF-8 text and Latin-1 bytes pass whole; every name decodes back.
TEST(FileNameEscapeTest, ControlCharactersBeyondAsciiAndUtf8Text) {
    const struct {
        const char* name;
        const char* file;  // the failures and collect files' form
        const char* text;  // log lines and dumps
    } cases[] = {
        {"a\x9b[2Jb", "a%9B[2Jb", "a\\x9b[2Jb"},                       // a terminal's CSI
        {"\xc2\x9b\xc2\x85", "%C2%9B%C2%85", "\\xc2\\x9b\\xc2\\x85"},  // the same, UTF-8 encoded
        {"\xd0\x90\xe2\x82\xac\xf0\x9f\x98\x80\xc2\xa0", "\xd0\x90\xe2\x82\xac\xf0\x9f\x98\x80\xc2\xa0",
         "\xd0\x90\xe2\x82\xac\xf0\x9f\x98\x80\xc2\xa0"},  // A, euro, emoji, no-break space
        {"caf\xe9\x9b", "caf\xe9%9B", "caf\xe9\\x9b"},     // Latin-1, then a raw CSI
        {"\xed\xa0\x80", "\xed\xa0%80", "\xed\xa0\\x80"},  // a surrogate is no character
        {"\xe2\x82", "\xe2%82", "\xe2\\x82"},              // a sequence cut short
        {"\xc0\x9b", "\xc0%9B", "\xc0\\x9b"},              // an overlong form
    };
    for (const auto& c : cases) {
        const std::string file = escapeFileName(c.name);
        EXPECT_EQ(file, c.file) << c.file;
        std::string back;
        EXPECT_TRUE(unescapeFileName(file.data(), file.size(), back, nullptr));
        EXPECT_EQ(back, c.name) << c.file;
        EXPECT_EQ(ruxen::ControlsEscaped(c.name), c.text) << c.file;
    }
    // A fixed buffer takes no half of a character either.
    const std::string name = "ab\xe2\x82\xac";
    char buf[4];
    size_t used = 0;
    EXPECT_EQ(ruxen::CopyControlsEscaped(buf, sizeof buf, name.data(), name.size(), &used), 2u);
    EXPECT_EQ(used, 2u);
}

TEST(FileNameEscapeTest, DecodesEitherCaseAndRejectsMalformedEscapes) {
    struct Case {
        std::string in;
        const char* out;    // null: an error
        const char* error;  // the offset named
    } cases[] = {
        {"a%0d%0A%25b", "a\r\n%b", ""}, {"%41%7e%7E", "A~~", ""}, {"%ff", "\xff", ""}, {"", "", ""},
        {"a\rb", "a\rb", ""},  // a raw byte is taken as it is
        {"%", nullptr, "offset 0"},      {"%4", nullptr, "offset 0"},      {"%G1", nullptr, "offset 0"},
        {"%1G", nullptr, "offset 0"},    {"ab%00cd", nullptr, "offset 2"}, {"abc%", nullptr, "offset 3"},
        {"x%25%2", nullptr, "offset 4"}, {std::string("a\0b", 3), nullptr, "offset 1"},
        {"%00", nullptr, "NUL"},
    };
    for (const Case& c : cases) {
        std::string out = "stale", error;
        EXPECT_EQ(unescapeFileName(c.in.data(), c.in.size(), out, &error), c.out != nullptr) << c.in;
        EXPECT_EQ(out, c.out ? c.out : "") << c.in;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.in << ": " << error;
    }
    std::string out;
    EXPECT_FALSE(unescapeFileName("%", 1, out, nullptr));  // no error text wanted
    EXPECT_FALSE(unescapeFileName(nullptr, 4, out, nullptr));
    EXPECT_TRUE(unescapeFileName(nullptr, 0, out, nullptr));
}

// Lines for people (log lines, the summary) and ruxen-dump's quoted fields:
// one notation, "\xNN"; a fixed buffer never takes half an escape.
TEST(PrintableTextTest, ControlBytesEscapedInTextAndFields) {
    const std::string name("a\nb\x1b[31m\"q\"\\\x7f\xc3\xa9", 15);
    std::string field, text;
    ruxen::AppendPrintable(field, name.data(), name.size());
    ruxen::AppendControlsEscaped(text, name.data(), name.size());
    EXPECT_EQ(field, "a\\x0ab\\x1b[31m\\x22q\\x22\\x5c\\x7f\xc3\xa9");
    EXPECT_EQ(text, "a\\x0ab\\x1b[31m\"q\"\\\\x7f\xc3\xa9");
    EXPECT_EQ(ruxen::ControlsEscaped(name), text);
    char buf[8];
    size_t used = 0;
    EXPECT_EQ(ruxen::CopyControlsEscaped(buf, sizeof buf, name.data(), name.size(), &used), 6u);
    EXPECT_EQ(std::string(buf, 6), "a\\x0ab");
    EXPECT_EQ(used, 3u);  // "\x1b" does not fit the last two bytes
}

}  // namespace
