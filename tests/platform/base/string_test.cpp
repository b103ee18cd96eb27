#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/base/QMString.h"

namespace {

using V = std::vector<std::string>;

TEST(QMStringTest, SplitAndTokenize) {
    struct Case {
        const char* s;
        const char* delim;
        int flags;
        V want;
    } splits[] = {
        {"a,,b", ",", QMString::SplitKeepEmpty, {"a", "", "b"}},
        {",a,", ",", QMString::SplitKeepEmpty, {"", "a", ""}},
        {"", ",", QMString::SplitKeepEmpty, {""}},
        {"/hbase/root", "/", QMString::SplitKeepEmpty, {"", "hbase", "root"}},
        {"a::b:c", "::", QMString::SplitKeepEmpty, {"a", "b:c"}},  // the delimiter is a string
        {"a:::b", "::", QMString::SplitKeepEmpty, {"a", ":b"}},
        {"abc", "", QMString::SplitKeepEmpty, {"abc"}},
        {"a,,b", ",", QMString::SplitDropEmpty, {"a", "b"}},
        {",,", ",", QMString::SplitDropEmpty, {}},
        {"", "", QMString::SplitDropEmpty, {}},
    };
    for (const Case& c : splits) {
        V out{"stale"};
        QMString::Split(c.s, c.delim, out, c.flags);
        EXPECT_EQ(out, c.want) << "'" << c.s << "' at '" << c.delim << "'";
    }
    const Case tokens[] = {
        {"  a \t b  ", " \t", 0, {"a", "b"}},
        {"dev::ext4", ":", 0, {"dev", "ext4"}},
        {"   ", " ", 0, {}},
        {"word", nullptr, 0, {"word"}},
        {"word", "", 0, {"word"}},
    };
    for (const Case& c : tokens) {
        V out{"stale"};
        QMString::Tokenize(c.s, c.delim, out);
        EXPECT_EQ(out, c.want) << "'" << c.s << "'";
    }
}

TEST(QMStringTest, TrimAndRemoveRight) {
    const char* trims[][2] = {{" \t\r\n a b \r\n", "a b"}, {" \t\r\n", ""}, {"x", "x"}};
    for (const auto& t : trims) {
        std::string s = t[0];
        QMString::TrimWhiteSpace(s);
        EXPECT_EQ(s, t[1]);
    }
    const char* rights[][3] = {{"/a/b\\/\\/", "\\/", "/a/b"}, {"\\/\\/", "\\/", ""}, {"/a/b", "", "/a/b"},
                               {"/a/b", "x", "/a/b"}};
    for (const auto& r : rights) {
        std::string s = r[0];
        QMString::RemoveRight(s, r[1]);
        EXPECT_EQ(s, r[2]);
    }
}

}  // namespace
