#include <gtest/gtest.h>

#include <string>

#include "platform/FileNameEscape.h"

namespace {

std::string unescapeOk(const std::string& in) {
    std::string out = "stale";
    std::string error;
    EXPECT_TRUE(unescapeFileName(in.data(), in.size(), out, &error)) << in << ": " << error;
    return out;
}

TEST(FileNameEscapeTest, EscapesOnlyCrLfAndPercentWithUpperCaseHex) {
    EXPECT_EQ(escapeFileName("/plain/path with blanks"), "/plain/path with blanks");
    EXPECT_EQ(escapeFileName("a\rb\nc%d"), "a%0Db%0Ac%25d");
    EXPECT_EQ(escapeFileName("%%\n"), "%25%25%0A");
    EXPECT_EQ(escapeFileName("\xff\x01\t:"), "\xff\x01\t:");
    EXPECT_EQ(escapeFileName(""), "");
    EXPECT_EQ(escapeFileName(nullptr), "");

    // The append form adds to what the buffer holds, and takes a length.
    std::string buf = "prefix:";
    escapeFileNameInto("x\ny", 3, buf);
    EXPECT_EQ(buf, "prefix:x%0Ay");
    buf.clear();
    escapeFileNameInto("ab%", 2, buf);
    EXPECT_EQ(buf, "ab");
}

TEST(FileNameEscapeTest, RoundTripsEveryByte) {
    std::string all;
    for (int c = 1; c <= 255; ++c) {
        std::string one(1, static_cast<char>(c));
        std::string esc = escapeFileName(one.c_str());
        EXPECT_EQ(esc.find('\n'), std::string::npos);
        EXPECT_EQ(esc.find('\r'), std::string::npos);
        EXPECT_EQ(unescapeOk(esc), one) << c;
        all += one;
    }
    std::string esc = escapeFileName(all.c_str());
    EXPECT_EQ(esc.size(), 255u + 3 * 2);  // three bytes grow by two each
    EXPECT_EQ(unescapeOk(esc), all);
}

TEST(FileNameEscapeTest, DecodesEitherCaseAndLeavesOtherBytes) {
    EXPECT_EQ(unescapeOk("a%0d%0A%25b"), "a\r\n%b");
    EXPECT_EQ(unescapeOk("%41%7e%7E"), "A~~");
    EXPECT_EQ(unescapeOk("%ff"), "\xff");
    EXPECT_EQ(unescapeOk(""), "");
    EXPECT_EQ(unescapeOk("a\rb"), "a\rb");  // a raw byte is taken as it is
}

TEST(FileNameEscapeTest, MalformedEscapesAreErrors) {
    struct Case {
        std::string in;
        const char* offset;
    } cases[] = {
        {"%", "offset 0"},       {"%4", "offset 0"},     {"%G1", "offset 0"},
        {"%1G", "offset 0"},     {"ab%00cd", "offset 2"}, {"abc%", "offset 3"},
        {"x%25%2", "offset 4"},  {std::string("a\0b", 3), "offset 1"},
    };
    for (const Case& c : cases) {
        std::string out = "stale";
        std::string error;
        EXPECT_FALSE(unescapeFileName(c.in.data(), c.in.size(), out, &error)) << c.in;
        EXPECT_EQ(out, "") << c.in;
        EXPECT_NE(error.find(c.offset), std::string::npos) << c.in << ": " << error;
    }
    std::string out;
    std::string error;
    EXPECT_FALSE(unescapeFileName("%00", 3, out, &error));
    EXPECT_NE(error.find("NUL"), std::string::npos) << error;
    EXPECT_FALSE(unescapeFileName("%", 1, out, nullptr));  // no error text wanted
    EXPECT_FALSE(unescapeFileName(nullptr, 4, out, &error));
    EXPECT_TRUE(unescapeFileName(nullptr, 0, out, &error));
}

}  // namespace
