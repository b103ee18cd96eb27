#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "mapping/WildCardContentMapper.h"
#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"
#include "support/TestFiles.h"

namespace {

// The pairs as "recorded=local;" in key order.
std::string Pairs(const ContentMapper& m) {
    std::string s;
    for (const auto& kv : m.GetSourceToLocalMap())
        s += kv.first + "=" + kv.second + ";";
    return s;
}

class WildCardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ruxen::testcontrol::StartLogCapture();
        for (const char* d : {"mnt", "mnt/vol1", "mnt/vol2", "mnt/other", "mnt/vol\n3", "mnt/vol\x15" "4"})
            ASSERT_EQ(mkdir((dir_ / d).c_str(), 0755), 0) << d;
    }
    void TearDown() override {
        ruxen::testcontrol::StopLogCapture();
        WildCardContentMapper::SetAppSource({});
    }
    testfiles::TempDir dir_;
};

TEST_F(WildCardTest, ExpandsOneLevelAndWritesPairLines) {
    char* text = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&text, &len);
    ASSERT_NE(out, nullptr);
    const std::string mnt = dir_ / "mnt";
    {
        WildCardContentMapper m(out);
        ASSERT_TRUE(m.initProxyHostAppTypeForWildCards({"/src/vol*/\t" + mnt + "/vol*\\/\\/"}));
        EXPECT_EQ(Pairs(m), "/src=" + mnt + ";/src/vol1=" + mnt + "/vol1;/src/vol2=" + mnt + "/vol2;");
    }
    fclose(out);
    EXPECT_EQ(std::string(text, len), "/src/vol1\x15" + mnt + "/vol1\n/src/vol2\x15" + mnt + "/vol2\n");
    free(text);
    const std::string log = ruxen::testcontrol::TakeCapturedLog();
    EXPECT_NE(log.find("holds a line feed or byte 0x15; Skipping"), std::string::npos);
}

TEST_F(WildCardTest, FailedPairOutputFailsTheSetUp) {
    FILE* full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    WildCardContentMapper m(full);
    EXPECT_FALSE(m.initProxyHostAppTypeForWildCards({"/src/vol*\t" + (dir_ / "mnt/vol*")}));
    EXPECT_FALSE(m.IsEnabled());
    EXPECT_EQ(Pairs(m), "");
    fclose(full);
}

TEST_F(WildCardTest, EntriesRejectedSkippedOrTakenLiterally) {
    const std::string mnt = dir_ / "mnt";
    const struct {
        std::string entry;
        std::string pairs;
    } cases[] = {
        {"/src/vol*\t" + mnt + "/vol1", ""},                 // wildcard on the recorded side only
        {"/src/vol1\t" + mnt + "/vol*", ""},                 // wildcard on the local side only
        {"/src/dat*\t" + mnt + "/vol*", ""},                 // patterns differ
        {"/s*/vol*\t" + mnt + "/vol*", ""},                  // wildcard before the last component
        {"/src/vol*\t" + dir_.path() + "/m*/vol*", ""},
        {"\t/mnt", ""}, {"/data\t", ""}, {"/data", ""},    // empty part, no delimiter
        {"/data\t\\\\", ""},                               // nothing left once normalised
        {"/\t/mnt/host/", "/=/mnt/host;"},                 // "/" is a literal root
        {"/data/\t/", "/data=/;"},
        // A wildcard at the root pairs what it lists, never the root itself.
        {"/zz_none*\t/zz_none*", ""},
        {"/vol*\t" + mnt + "/vol*", "/vol1=" + mnt + "/vol1;/vol2=" + mnt + "/vol2;"},
        {"/src/zz_none*\t/zz_none*", ""},
        {"/data\t/mnt/data\\/\\/", "/data=/mnt/data;"},    // marker only: literal
        {"/a\\b/c\t/m/c", "/a\\b/c=/m/c;"},                // literal parts keep backslashes
        {"/data\t/mnt/x\ny", ""},                          // a line feed would forge a pair line
    };
    for (const auto& c : cases) {
        WildCardContentMapper m;
        m.initProxyHostAppTypeForWildCards({c.entry, "/~keep\t/kept"});  // sorts last
        EXPECT_EQ(Pairs(m), c.pairs + "/~keep=/kept;") << c.entry;
    }
}

TEST_F(WildCardTest, NestedEntriesLongestMatchBothWays) {
    WildCardContentMapper m;
    ASSERT_TRUE(m.initProxyHostAppTypeForWildCards({"/data\t/mnt/x", "/data/sub\t/other/y", "/d2\t/mnt/x/in"}));
    const struct {
        const char* in;
        bool toHost;
        int rc;
        const char* out;
    } cases[] = {
        {"/data/sub/f", true, 0, "/other/y/f"},
        {"/data/f/", true, 0, "/mnt/x/f"},
        {"/data/a*b?[c]", true, 0, "/mnt/x/a*b?[c]"},  // such names are ordinary names
        {"/database/x", true, -2, "/database/x"},
        {"/other/y/f", false, 0, "/data/sub/f"},
        {"/mnt/x/in/f", false, 0, "/d2/f"},
        {"/mnt/x/inner", false, 0, "/data/inner"},
        {"/nowhere", false, -2, "/nowhere"},
        {"", false, -2, ""},
    };
    for (const auto& c : cases) {
        std::string out = "stale";
        char buf[64] = "stale";
        int rc = c.toHost ? m.MakeHostPathFromProxyPath(std::string(c.in), out)
                          : m.MakeProxyPathFromHostPath(std::string(c.in), out);
        EXPECT_EQ(rc, c.rc) << c.in;
        EXPECT_EQ(out, c.out) << c.in;
        snprintf(buf, sizeof buf, "%s", c.in);
        rc = c.toHost ? m.MakeHostPathFromProxyPath(buf, buf, sizeof buf) : m.MakeProxyPathFromHostPath(buf, buf, sizeof buf);
        EXPECT_EQ(rc, c.rc) << c.in;
        EXPECT_STREQ(buf, c.out) << c.in;
    }
    char small[8] = "/data/f";  // fits; its mapping does not
    EXPECT_EQ(m.MakeHostPathFromProxyPath(small, small, sizeof small), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_STREQ(small, "/data/f");
    std::string right, left;
    EXPECT_EQ(m.GetPathFromHost("/other/y/z", right, left), 0);
    EXPECT_EQ(left + "=" + right, "/data/sub=/other/y");
}

TEST_F(WildCardTest, InitializeByApplicationType) {
    WildCardContentMapper::SetAppSource(
        {[](const std::string& id, ULONG& type) { return id == "bad" ? 1 : (type = std::stoul(id.substr(2)), 0); },
         [](const std::string& id, std::vector<std::string>& e) {
             e = {"/data\t/mnt/data"};
             return id == "1:40" ? -1 : id == "1:87" ? 5 : 0;
         }});
    const struct {
        const char* id;
        bool enabled;
    } cases[] = {{"1:25", true}, {"1:26", false}, {"1:40", false}, {"1:87", false}, {"bad", false}};
    for (const auto& c : cases) {
        WildCardContentMapper m;
        EXPECT_EQ(m.initialize(c.id), c.enabled) << c.id;
        std::string out;
        EXPECT_EQ(m.MakeHostPathFromProxyPath(std::string("/data/x"), out), c.enabled ? 0 : -2) << c.id;
        EXPECT_EQ(out, c.enabled ? "/mnt/data/x" : "/data/x");
    }
    EXPECT_TRUE(hasWildCard("a]b[") && hasWildCard("?") && !hasWildCard("a[b") && !hasWildCard("a]"));
}

}  // namespace
