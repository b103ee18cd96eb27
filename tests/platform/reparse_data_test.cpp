#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ReparseData.h"

namespace {

std::vector<char> Bytes(std::initializer_list<int> v) {
    std::vector<char> out;
    for (int b : v)
        out.push_back(static_cast<char>(b));
    return out;
}

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
    return Bytes({'R', 'X', 'S', 'T', 'U', 'B', '1', 0,  // magic
                  0, 0, 0, 2,                            // kind
                  1, 2, 3, 4,                            // application id
                  0, 0, 0, 5, 0, 0, 0, 6,                // recorded size
                  0, 2, 'A', 'B',                        // application GUID
                  0, 3, 'x', 'y', 'z'});                 // data GUID
}

void ExpectFresh(const ReparseData& rd) {
    EXPECT_EQ(rd.kind, 1u);
    EXPECT_EQ(rd.appId, 0u);
    EXPECT_EQ(rd.recordedSize, 0u);
    EXPECT_TRUE(rd.appGuid.empty());
    EXPECT_TRUE(rd.dataGuid.empty());
}

TEST(ReparseDataTest, BuildWritesTheDocumentedBytes) {
    EXPECT_EQ(BuildStubData(Sample()), SampleBytes());
    EXPECT_EQ(SampleBytes().size(), kStubFixedSize + 2 + 3);
}

TEST(ReparseDataTest, ParseReadsHandWrittenStub) {
    ReparseData rd;
    ASSERT_TRUE(ParseStubData(SampleBytes(), rd));
    EXPECT_EQ(rd.kind, 2u);
    EXPECT_EQ(rd.appId, 0x01020304u);
    EXPECT_EQ(rd.recordedSize, 0x0000000500000006ULL);
    EXPECT_EQ(rd.appGuid, "AB");
    EXPECT_EQ(rd.dataGuid, "xyz");
}

TEST(ReparseDataTest, RoundTripsKindOneWithEmptyGuidsAndHighBits) {
    ReparseData in;
    in.kind = 1;
    in.appId = 0xFFFFFFFFu;
    in.recordedSize = 0xFFFFFFFFFFFFFFFFULL;
    ReparseData out;
    ASSERT_TRUE(ParseStubData(BuildStubData(in), out));
    EXPECT_EQ(out.kind, 1u);
    EXPECT_EQ(out.appId, 0xFFFFFFFFu);
    EXPECT_EQ(out.recordedSize, 0xFFFFFFFFFFFFFFFFULL);
    EXPECT_TRUE(out.appGuid.empty());
    EXPECT_TRUE(out.dataGuid.empty());

    in.appGuid.assign(65535, 'g');
    in.dataGuid = "{00000000-1111-2222-3333-444444444444}";
    ASSERT_TRUE(ParseStubData(BuildStubData(in), out));
    EXPECT_EQ(out.appGuid, in.appGuid);
    EXPECT_EQ(out.dataGuid, in.dataGuid);
}

TEST(ReparseDataTest, EveryTruncationIsRejectedAndLeavesAFreshRecord) {
    const std::vector<char> whole = SampleBytes();
    for (size_t n = 0; n < whole.size(); ++n) {
        // Exactly n bytes in a vector of its own so that ASan sees any read
        // past the end.
        std::vector<char> cut(whole.begin(), whole.begin() + n);
        ReparseData rd = Sample();
        EXPECT_FALSE(ParseStubData(cut, rd)) << "length " << n;
        ExpectFresh(rd);
    }
}

TEST(ReparseDataTest, MalformedStubsAreRejected) {
    ReparseData rd;
    std::vector<char> v = SampleBytes();
    v.push_back(0);  // trailing byte
    EXPECT_FALSE(ParseStubData(v, rd));

    v = SampleBytes();
    v[0] = 'Q';  // magic
    EXPECT_FALSE(ParseStubData(v, rd));

    v = SampleBytes();
    v[11] = 3;  // kind 3
    EXPECT_FALSE(ParseStubData(v, rd));
    v[11] = 0;  // kind 0
    EXPECT_FALSE(ParseStubData(v, rd));

    v = SampleBytes();
    v[24] = static_cast<char>(0xFF);  // application GUID length far past the end
    EXPECT_FALSE(ParseStubData(v, rd));

    v = SampleBytes();
    v[27] = 0;  // NUL inside the application GUID
    EXPECT_FALSE(ParseStubData(v, rd));
    ExpectFresh(rd);
}

TEST(ReparseDataTest, OversizeGuidCannotBeBuilt) {
    ReparseData rd;
    rd.dataGuid.assign(65536, 'd');
    EXPECT_TRUE(BuildStubData(rd).empty());
}

TEST(ReparseDataTest, StubPrimeFieldsFormat) {
    StubPrime_Fields f;
    f.version = 0;
    f.stubType = 5;
    f.size = 12345678901ULL;
    EXPECT_EQ(f.ToString(), "version=0 type=5 size=12345678901");
}

}  // namespace
