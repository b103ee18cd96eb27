#include <gtest/gtest.h>

#include <string>

#include "platform/KxLog.h"
#include "platform/TDebuggable.h"

namespace {

class Probe : public TDebuggable {};

TEST(TDebuggableTest, WritesWithPrefixAndHonoursTheLevel) {
    int old = KxLog::Query();
    KxLog::SetLevel(2);
    KxLog::StartCapture();
    Probe p;
    p.setDebugPrefix("FILEREADER");
    EXPECT_EQ(p.getDebugPrefix(), "FILEREADER");
    p.debug(2, "value %d of %s", 7, "x");
    p.debug(3, "too detailed %d", 1);
    p.debug(-1, "failure %s", "always");
    std::string big(3000, 'b');
    p.debug(0, "%s|end", big.c_str());
    p.setDebugPrefix(nullptr);
    p.debug(0, "bare%%");
    std::string out = KxLog::TakeCaptured();
    KxLog::StopCapture();
    KxLog::SetLevel(old);

    EXPECT_NE(out.find("FILEREADER: value 7 of x"), std::string::npos);
    EXPECT_EQ(out.find("too detailed"), std::string::npos);
    EXPECT_NE(out.find("FILEREADER: failure always"), std::string::npos);
    EXPECT_NE(out.find("FILEREADER: " + big + "|end"), std::string::npos);
    EXPECT_NE(out.find("bare%"), std::string::npos);
    EXPECT_EQ(out.find(": bare%"), std::string::npos);
}

}  // namespace
