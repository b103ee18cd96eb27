#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/QMString.h"

namespace {

using V = std::vector<std::string>;

V split(const std::string& s, const std::string& d, int flags = QMString::SplitKeepEmpty) {
    V out{"stale"};
    QMString::Split(s, d, out, flags);
    return out;
}

V tokenize(const std::string& s, const char* seps) {
    V out{"stale"};
    QMString::Tokenize(s, seps, out);
    return out;
}

TEST(QMStringTest, SplitKeepsEmptyPieces) {
    EXPECT_EQ(split("a,,b", ","), (V{"a", "", "b"}));
    EXPECT_EQ(split(",a,", ","), (V{"", "a", ""}));
    EXPECT_EQ(split("", ","), (V{""}));
    EXPECT_EQ(split("abc", ","), (V{"abc"}));
    EXPECT_EQ(split("H3 4 5", " "), (V{"H3", "4", "5"}));
    EXPECT_EQ(split("13,5", ","), (V{"13", "5"}));
    // The delimiter is a string, not a set of characters.
    EXPECT_EQ(split("a::b:c", "::"), (V{"a", "b:c"}));
    EXPECT_EQ(split("a:::b", "::"), (V{"a", ":b"}));
    EXPECT_EQ(split("abc", ""), (V{"abc"}));
    EXPECT_EQ(split("/hbase/root", "/"), (V{"", "hbase", "root"}));
}

TEST(QMStringTest, SplitCanDropEmptyPieces) {
    EXPECT_EQ(split("a,,b", ",", QMString::SplitDropEmpty), (V{"a", "b"}));
    EXPECT_EQ(split(",,", ",", QMString::SplitDropEmpty), V{});
    EXPECT_EQ(split("", ",", QMString::SplitDropEmpty), V{});
    EXPECT_EQ(split("", "", QMString::SplitDropEmpty), V{});
}

TEST(QMStringTest, TokenizeGivesNoEmptyWords) {
    EXPECT_EQ(tokenize("H1 2 3 ", " "), (V{"H1", "2", "3"}));
    EXPECT_EQ(tokenize("  a \t b  ", " \t"), (V{"a", "b"}));
    EXPECT_EQ(tokenize("/dev/sda1:/mnt:ext4:rw", ":"), (V{"/dev/sda1", "/mnt", "ext4", "rw"}));
    EXPECT_EQ(tokenize("dev::ext4", ":"), (V{"dev", "ext4"}));
    EXPECT_EQ(tokenize("", " "), V{});
    EXPECT_EQ(tokenize("   ", " "), V{});
    EXPECT_EQ(tokenize("word", nullptr), (V{"word"}));
    EXPECT_EQ(tokenize("word", ""), (V{"word"}));
}

TEST(QMStringTest, TrimAndRemoveRight) {
    std::string s = " \t\r\n a b \r\n";
    QMString::TrimWhiteSpace(s);
    EXPECT_EQ(s, "a b");
    s = " \t\r\n";
    QMString::TrimWhiteSpace(s);
    EXPECT_EQ(s, "");
    s = "x";
    QMString::TrimWhiteSpace(s);
    EXPECT_EQ(s, "x");

    s = "/a/b\\/\\/";
    QMString::RemoveRight(s, "\\/");
    EXPECT_EQ(s, "/a/b");
    s = "\\/\\/";
    QMString::RemoveRight(s, "\\/");
    EXPECT_EQ(s, "");
    s = "/a/b";
    QMString::RemoveRight(s, "");
    EXPECT_EQ(s, "/a/b");
    QMString::RemoveRight(s, "x");
    EXPECT_EQ(s, "/a/b");
}

}  // namespace
