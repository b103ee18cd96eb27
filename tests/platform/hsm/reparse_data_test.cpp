#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/hsm/ReparseData.h"

namespace {

ReparseData Sample() {
    ReparseData rd;
    rd.kind = 2;
    rd.appId = 0x01020304;
    rd.recordedSize = 0x0000000500000006ULL;
    rd.appGuid = "AB";
    rd.dataGuid = "xyz";
    return rd;
}

// The stub of Sample(), written out by hand.
std::vector<char> SampleBytes() {
    const char raw[] = {'R', 'X', 'S', 'T', 'U', 'B', '1', 0,  // magic
                        0, 0, 0, 2,                            // kind
                        1, 2, 3, 4,                            // application id
                        0, 0, 0, 5, 0, 0, 0, 6,                // recorded size
                        0, 2, 'A', 'B',                        // application GUID
                        0, 3, 'x', 'y', 'z'};                  // data GUID
    return std::vector<char>(raw, raw + sizeof raw);
}

void ExpectFresh(const ReparseData& rd) {
    EXPECT_EQ(rd.kind, 1u);
    EXPECT_EQ(rd.appId, 0u);
    EXPECT_EQ(rd.recordedSize, 0u);
    EXPECT_TRUE(rd.appGuid.empty() && rd.dataGuid.empty());
}

TEST(ReparseDataTest, HandWrittenBytesBothWays) {
    EXPECT_EQ(BuildStubData(Sample()), SampleBytes());
    ReparseData rd;
    ASSERT_TRUE(ParseStubData(SampleBytes(), rd));
    EXPECT_EQ(rd.kind, 2u);
    EXPECT_EQ(rd.appId, 0x01020304u);
    EXPECT_EQ(rd.recordedSize, 0x0000000500000006ULL);
    EXPECT_EQ(rd.appGuid, "AB");
    EXPECT_EQ(rd.dataGuid, "xyz");

    ReparseData in;  // kind 1, empty and longest GUIDs, high bits
    in.appId = 0xFFFFFFFFu;
    in.recordedSize = ~0ULL;
    in.appGuid.assign(65535, 'g');
    ReparseData out;
    ASSERT_TRUE(ParseStubData(BuildStubData(in), out));
    EXPECT_EQ(out.kind, 1u);
    EXPECT_EQ(out.appId, 0xFFFFFFFFu);
    EXPECT_EQ(out.recordedSize, ~0ULL);
    EXPECT_EQ(out.appGuid, in.appGuid);
    EXPECT_TRUE(out.dataGuid.empty());
    in.dataGuid.assign(65536, 'd');
    EXPECT_TRUE(BuildStubData(in).empty());  // too long for its length field
}

TEST(ReparseDataTest, BadStubsAreRejectedAndLeaveAFreshRecord) {
    std::vector<std::vector<char>> bad;
    const std::vector<char> whole = SampleBytes();
    for (size_t n = 0; n < whole.size(); ++n)
        bad.emplace_back(whole.begin(), whole.begin() + n);  // every truncation
    struct {
        size_t at;
        char value;
    } edits[] = {{0, 'Q'}, {11, 3}, {11, 0}, {24, static_cast<char>(0xFF)}, {27, 0}};
    for (const auto& e : edits) {  // magic, kind 3 and 0, a length past the end, a NUL in a GUID
        bad.push_back(whole);
        bad.back()[e.at] = e.value;
    }
    bad.push_back(whole);
    bad.back().push_back(0);  // a trailing byte
    for (const std::vector<char>& b : bad) {
        SCOPED_TRACE(b.size());
        ReparseData rd = Sample();
        EXPECT_FALSE(ParseStubData(b, rd));
        ExpectFresh(rd);
    }
}

}  // namespace
