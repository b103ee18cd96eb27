// The plain mapper of proxy jobs. Which key covers a path is PathUtil's rule
// (tested there); here: what the mapper builds from the covering entry in
// both directions, a mount at "/", misses, the char-buffer forms, pair lists
// and line reading.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <string>
#include <unistd.h>

#include "mapping/ContentMapper.h"
#include "support/LogCapture.h"

namespace {

class ContentMapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Nested recorded paths, each mounted somewhere else; /db is mounted at "/".
        m_.SetSourceToLocalMap({
            {"/data", "/mnt/snap1"},
            {"/data/sub", "/mnt/snap2"},
            {"/data/sub/deep", "/mnt/snap3/vol"},
            {"/db", ""},
            {"/", "/mnt/root"},
        });
        ASSERT_TRUE(m_.initialize("2:17"));
    }

    testfiles::LogCapture log_;
    ContentMapper m_;
};

TEST_F(ContentMapperTest, MapsBothWaysAndRoundTrips) {
    const char* cases[][2] = {
        // recorded              local
        {"/data/f", "/mnt/snap1/f"},          {"/data/sub/deep/x/y", "/mnt/snap3/vol/x/y"},
        {"/data/subway", "/mnt/snap1/subway"}, {"/db/t1", "/t1"},  // mounted at "/"
        {"/db", "/"},                          {"/", "/mnt/root"},
        {"/etc/passwd", "/mnt/root/etc/passwd"},
    };
    for (const auto& c : cases) {
        std::string local = "stale", recorded = "stale";
        EXPECT_EQ(m_.MakeHostPathFromProxyPath(std::string(c[0]), local), 0) << c[0];
        EXPECT_EQ(local, c[1]);
        EXPECT_EQ(m_.MakeProxyPathFromHostPath(std::string(c[1]), recorded), 0) << c[1];
        EXPECT_EQ(recorded, c[0]);
    }
    std::string out;
    EXPECT_EQ(m_.MakeHostPathFromProxyPath(std::string("/data/"), out), 0);
    EXPECT_EQ(out, "/mnt/snap1");
    // Only "/" (the /db entry) covers a sibling of a local path.
    EXPECT_EQ(m_.MakeProxyPathFromHostPath(std::string("/mnt/snap3/volume"), out), 0);
    EXPECT_EQ(out, "/db/mnt/snap3/volume");

    std::string host = "x", proxy = "y";
    EXPECT_EQ(m_.GetHostAndProxyFromProxyPath("/db/x", host, proxy), 0);
    EXPECT_EQ(host, "");  // as stored: mounted at "/"
    EXPECT_EQ(proxy, "/db");
    EXPECT_EQ(m_.GetHostAndProxyFromHostPath("/mnt/snap3/vol/z", host, proxy), 0);
    EXPECT_EQ(host, "/mnt/snap3/vol");
    EXPECT_EQ(proxy, "/data/sub/deep");
}

// A miss is an error that hands the input back; a disabled mapper maps every
// path to itself; a result that does not fit a buffer empties it.
TEST_F(ContentMapperTest, MissesDisabledMappersAndBuffersThatDoNotFit) {
    ContentMapper m;
    m.SetSourceToLocalMap({{"/data", "/mnt/d"}});
    std::string out;
    EXPECT_EQ(m.MakeHostPathFromProxyPath(std::string("/data/x"), out), 0);  // not yet enabled
    EXPECT_EQ(out, "/data/x");
    ASSERT_TRUE(m.initialize("1:1"));
    EXPECT_EQ(m.MakeHostPathFromProxyPath(std::string("/database/x"), out), -1);
    EXPECT_EQ(out, "/database/x");
    EXPECT_NE(m.LastError().find("/database/x"), std::string::npos);
    EXPECT_EQ(m.MakeProxyPathFromHostPath(std::string("/mnt/dd"), out), -1);
    EXPECT_EQ(out, "/mnt/dd");
    std::string host = "x", proxy = "y";
    EXPECT_EQ(m.GetHostAndProxyFromProxyPath("/data2/x", host, proxy), -1);
    EXPECT_EQ(host + proxy, "");
    std::string same = "/data/x";  // the same object as input and output
    EXPECT_EQ(m.MakeHostPathFromProxyPath(same, same), 0);
    EXPECT_EQ(same, "/mnt/d/x");
    ContentMapper plain;
    EXPECT_FALSE(plain.initialize("1:1"));  // nothing to map: stays disabled
    EXPECT_FALSE(plain.IsEnabled());

    char buf[32];
    struct Case {
        bool toHost;
        const char* in;
        int size;
        int rc;
        const char* want;  // null: buffer emptied
    } cases[] = {
        {true, "/data/sub/f", 13, 0, "/mnt/snap2/f"},  // exact fit
        {true, "/data/sub/f", 12, -1, nullptr},
        {false, "/mnt/snap2/f", 1, -1, nullptr},
        {false, "/mnt/snap2/f", 0, -1, "xx"},  // a buffer of no size is not touched
        {false, nullptr, 10, -1, nullptr},
    };
    for (const Case& c : cases) {
        memset(buf, 'x', sizeof(buf));
        int rc = c.toHost ? m_.MakeHostPathFromProxyPath(c.in, buf, c.size)
                          : m_.MakeProxyPathFromHostPath(c.in, buf, c.size);
        EXPECT_EQ(rc, c.rc) << (c.in ? c.in : "null") << "/" << c.size;
        EXPECT_EQ(std::string(buf, c.want ? strlen(c.want) : 1), c.want ? c.want : std::string(1, '\0'));
    }
    EXPECT_EQ(m.MakeHostPathFromProxyPath("/elsewhere/long", buf, 8), -1);  // a miss that does not fit
    EXPECT_EQ(buf[0], '\0');
    char inplace[64] = "/data/sub/deep/k";  // in place, growing
    EXPECT_EQ(m_.MakeHostPathFromProxyPath(inplace, inplace, sizeof(inplace)), 0);
    EXPECT_STREQ(inplace, "/mnt/snap3/vol/k");
}

// One mapper serves job after job in a process: each initialisation maps
// with the pairs given for it alone, and without pairs not at all.
TEST_F(ContentMapperTest, EachInitialisationMapsWithItsOwnPairsOnly) {
    std::list<std::string> next = {"/other\t/mnt/other"};
    for (std::list<std::string>* pairs : {static_cast<std::list<std::string>*>(nullptr), &next}) {
        ASSERT_TRUE(pairs == nullptr || m_.SetProxyToHostMap(pairs) == 0);
        EXPECT_EQ(pairs != nullptr, m_.initialize("2:18"));
        std::string data, other;
        m_.MakeHostPathFromProxyPath(std::string("/data/f"), data);
        m_.MakeHostPathFromProxyPath(std::string("/other/f"), other);
        EXPECT_EQ(pairs ? "/data/f /mnt/other/f" : "/data/f /other/f", data + " " + other);
    }
}

TEST_F(ContentMapperTest, ListsInKeyOrder) {
    std::list<std::string> hosts = {"kept"};
    EXPECT_EQ(m_.GetHostPathList(&hosts), 0);
    EXPECT_EQ(hosts, (std::list<std::string>{"kept", "/mnt/root", "/mnt/snap1", "/mnt/snap2", "/mnt/snap3/vol", "/"}));
    std::list<std::string> proxies;
    EXPECT_EQ(m_.GetProxyPathList(&proxies), 0);
    EXPECT_EQ(proxies, (std::list<std::string>{"/", "/data", "/data/sub", "/data/sub/deep", "/db"}));
    EXPECT_EQ(m_.GetHostPathList(nullptr), -1);
}

TEST_F(ContentMapperTest, ProxyToHostMapFromPairStrings) {
    ContentMapper m;
    std::list<std::string> pairs = {"/src/a/\t/mnt/a/\r\n", "/src/b\t", "/src/a/deep\t/mnt/x"};
    EXPECT_EQ(m.SetProxyToHostMap(&pairs), 0);
    EXPECT_TRUE(m.IsEnabled());
    std::map<std::string, std::string> expected = {{"/src/a", "/mnt/a"}, {"/src/b", ""}, {"/src/a/deep", "/mnt/x"}};
    EXPECT_EQ(m.GetSourceToLocalMap(), expected);

    // A bad list is refused whole; the mapper keeps what it had.
    for (std::list<std::string> bad : std::list<std::list<std::string>>{
             {"/ok\t/mnt/ok", "no-separator"},
             {"\t/mnt/empty-recorded"},
             {"/dup\t/mnt/1", "/dup/\t/mnt/2"},
         }) {
        EXPECT_EQ(m.SetProxyToHostMap(&bad), -1);
        EXPECT_EQ(m.GetSourceToLocalMap(), expected);
    }
    EXPECT_EQ(m.SetProxyToHostMap(nullptr), -1);
}

TEST_F(ContentMapperTest, ReadLineIsBoundedAndConsumesRefusedLines) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string text = "/a\n\n" + std::string(20, 'x') + "\n/b/c\r\n" + std::string("/nul\0byte\n", 10) +
                       "/exact\n/last";
    ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fds[1]);
    struct Step {
        int rc;
        int err;
        const char* line;
    } steps[] = {
        {3, 0, "/a\n"},
        {1, 0, "\n"},               // an empty line is not the end
        {-1, ENAMETOOLONG, ""},     // over-long: refused and consumed
        {6, 0, "/b/c\r\n"},
        {-1, EINVAL, ""},           // a NUL would cut the path
        {7, 0, "/exact\n"},         // fills size - 1 exactly
        {5, 0, "/last"},            // last line without a line feed
        {0, 0, ""},
    };
    char buf[8];
    for (const Step& s : steps) {
        errno = 0;
        EXPECT_EQ(m_.ProxyReadLine(fds[0], buf, sizeof(buf)), s.rc) << s.line;
        if (s.err) {
            EXPECT_EQ(errno, s.err) << s.line;
        }
        EXPECT_STREQ(buf, s.line);
    }
    close(fds[0]);
    std::string line = "/b/c\r\n\n";
    m_.ProxyStripEOL(line);
    EXPECT_EQ(line, "/b/c");
    EXPECT_EQ(m_.ProxyReadLine(0, buf, 0), -1);
    buf[0] = 'x';
    EXPECT_EQ(m_.ProxyReadLine(-1, buf, sizeof(buf)), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(buf[0], '\0');
}

}  // namespace
