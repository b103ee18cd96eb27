#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <string>
#include <unistd.h>

#include "mapping/ContentMapper.h"
#include "platform/KxLog.h"

namespace {

class ContentMapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        KxLog::StartCapture();
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
    void TearDown() override { KxLog::StopCapture(); }

    std::string toHost(const std::string& p, int expectRc = 0) {
        std::string out = "stale";
        EXPECT_EQ(m_.MakeHostPathFromProxyPath(p, out), expectRc) << p;
        return out;
    }
    std::string toProxy(const std::string& p, int expectRc = 0) {
        std::string out = "stale";
        EXPECT_EQ(m_.MakeProxyPathFromHostPath(p, out), expectRc) << p;
        return out;
    }

    ContentMapper m_;
};

TEST_F(ContentMapperTest, RecordedToLocalTakesLongestWholeComponentKey) {
    EXPECT_EQ(toHost("/data/f"), "/mnt/snap1/f");
    EXPECT_EQ(toHost("/data"), "/mnt/snap1");
    EXPECT_EQ(toHost("/data/"), "/mnt/snap1");
    EXPECT_EQ(toHost("/data/sub/f"), "/mnt/snap2/f");
    EXPECT_EQ(toHost("/data/subway/f"), "/mnt/snap1/subway/f");
    EXPECT_EQ(toHost("/data/sub/deep/x/y"), "/mnt/snap3/vol/x/y");
    EXPECT_EQ(toHost("/database/f"), "/mnt/root/database/f");  // not under /data
    EXPECT_EQ(toHost("/db/t1"), "/t1");                         // mounted at "/"
    EXPECT_EQ(toHost("/db"), "/");
    EXPECT_EQ(toHost("/"), "/mnt/root");
    EXPECT_EQ(m_.AppIdString(), "2:17");
}

TEST_F(ContentMapperTest, LocalToRecordedTakesLongestValue) {
    EXPECT_EQ(toProxy("/mnt/snap1/f"), "/data/f");
    EXPECT_EQ(toProxy("/mnt/snap2/f"), "/data/sub/f");
    EXPECT_EQ(toProxy("/mnt/snap3/vol/x"), "/data/sub/deep/x");
    EXPECT_EQ(toProxy("/mnt/snap3/volume"), "/db/mnt/snap3/volume");  // only "/" (the /db entry) covers it
    EXPECT_EQ(toProxy("/mnt/root/etc/x"), "/etc/x");
    EXPECT_EQ(toProxy("/mnt/root"), "/");
    EXPECT_EQ(toProxy("/t1"), "/db/t1");
}

TEST_F(ContentMapperTest, RoundTripsThroughNestedKeys) {
    for (const char* p : {"/data/a/b", "/data/sub", "/data/sub/x", "/data/sub/deep", "/data/sub/deep/q/r",
                          "/etc/passwd", "/data/subway", "/"}) {
        std::string local = toHost(p);
        EXPECT_EQ(toProxy(local), p) << "via " << local;
    }
}

TEST_F(ContentMapperTest, HostAndProxyOfCoveringEntry) {
    std::string host = "x", proxy = "y";
    EXPECT_EQ(m_.GetHostAndProxyFromProxyPath("/data/sub/f", host, proxy), 0);
    EXPECT_EQ(host, "/mnt/snap2");
    EXPECT_EQ(proxy, "/data/sub");
    EXPECT_EQ(m_.GetHostAndProxyFromProxyPath("/db/x", host, proxy), 0);
    EXPECT_EQ(host, "");  // as stored: mounted at "/"
    EXPECT_EQ(proxy, "/db");
    EXPECT_EQ(m_.GetHostAndProxyFromHostPath("/mnt/snap3/vol/z", host, proxy), 0);
    EXPECT_EQ(host, "/mnt/snap3/vol");
    EXPECT_EQ(proxy, "/data/sub/deep");

    ContentMapper noRoot;
    noRoot.SetSourceToLocalMap({{"/data", "/mnt/d"}});
    EXPECT_EQ(noRoot.GetHostAndProxyFromProxyPath("/data2/x", host, proxy), -1);
    EXPECT_EQ(host, "");
    EXPECT_EQ(proxy, "");
    EXPECT_EQ(noRoot.GetHostAndProxyFromHostPath("/mnt/dx", host, proxy), -1);
    EXPECT_EQ(noRoot.GetHostAndProxyFromProxyPath("/data", host, proxy), 0);
    EXPECT_EQ(host, "/mnt/d");
}

TEST_F(ContentMapperTest, MissIsAnErrorAndHandsBackTheInput) {
    ContentMapper m;
    m.SetSourceToLocalMap({{"/data", "/mnt/d"}});
    ASSERT_TRUE(m.initialize("1:1"));
    std::string out;
    EXPECT_EQ(m.MakeHostPathFromProxyPath(std::string("/database/x"), out), -1);
    EXPECT_EQ(out, "/database/x");
    EXPECT_NE(m.LastError().find("/database/x"), std::string::npos);
    EXPECT_EQ(m.MakeProxyPathFromHostPath(std::string("/mnt/dd"), out), -1);
    EXPECT_EQ(out, "/mnt/dd");
    EXPECT_EQ(m.MakeHostPathFromProxyPath(std::string(), out), -1);
    EXPECT_EQ(out, "");

    char buf[64];
    EXPECT_EQ(m.MakeHostPathFromProxyPath("/other", buf, sizeof(buf)), -1);
    EXPECT_STREQ(buf, "/other");

    // The same object as input and output.
    std::string same = "/data/x";
    EXPECT_EQ(m.MakeHostPathFromProxyPath(same, same), 0);
    EXPECT_EQ(same, "/mnt/d/x");
}

TEST_F(ContentMapperTest, DisabledMapperIsIdentity) {
    ContentMapper m;
    m.SetSourceToLocalMap({{"/data", "/mnt/d"}});
    EXPECT_FALSE(m.IsEnabled());
    std::string out;
    EXPECT_EQ(m.MakeHostPathFromProxyPath(std::string("/data/x"), out), 0);
    EXPECT_EQ(out, "/data/x");
    EXPECT_EQ(m.MakeProxyPathFromHostPath(std::string("/mnt/d/x"), out), 0);
    EXPECT_EQ(out, "/mnt/d/x");
    char buf[16];
    EXPECT_EQ(m.MakeHostPathFromProxyPath("/data/x", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "/data/x");

    // With nothing to map, initialisation leaves the mapper disabled.
    ContentMapper plain;
    EXPECT_FALSE(plain.initialize("1:1"));
    EXPECT_FALSE(plain.IsEnabled());
    EXPECT_FALSE(plain.initProxyHostAppType(nullptr));
    EXPECT_EQ(plain.MakeHostPathFromProxyPath(std::string("/a"), out), 0);
    EXPECT_EQ(out, "/a");
}

TEST_F(ContentMapperTest, CharBufferFormsNeverCut) {
    // "/data/sub/f" -> "/mnt/snap2/f": 12 characters.
    char buf[32];
    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(m_.MakeHostPathFromProxyPath("/data/sub/f", buf, 13), 0);
    EXPECT_STREQ(buf, "/mnt/snap2/f");

    memset(buf, 'x', sizeof(buf));
    errno = 0;
    EXPECT_EQ(m_.MakeHostPathFromProxyPath("/data/sub/f", buf, 12), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[12], 'x');

    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(m_.MakeProxyPathFromHostPath("/mnt/snap2/f", buf, 1), -1);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(m_.MakeProxyPathFromHostPath("/mnt/snap2/f", buf, 0), -1);
    EXPECT_EQ(m_.MakeProxyPathFromHostPath("/mnt/snap2/f", nullptr, 10), -1);
    EXPECT_EQ(m_.MakeProxyPathFromHostPath(nullptr, buf, 10), -1);
    EXPECT_EQ(buf[0], '\0');

    // A miss whose input does not fit either: error and an empty buffer.
    ContentMapper m;
    m.SetSourceToLocalMap({{"/data", "/mnt/d"}});
    m.initialize("1:1");
    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(m.MakeHostPathFromProxyPath("/elsewhere/long", buf, 8), -1);
    EXPECT_EQ(buf[0], '\0');

    // In place: the input buffer is the output buffer and the result grows.
    char inplace[64] = "/data/sub/deep/k";
    EXPECT_EQ(m_.MakeHostPathFromProxyPath(inplace, inplace, sizeof(inplace)), 0);
    EXPECT_STREQ(inplace, "/mnt/snap3/vol/k");
    EXPECT_EQ(m_.MakeProxyPathFromHostPath(inplace, inplace, sizeof(inplace)), 0);
    EXPECT_STREQ(inplace, "/data/sub/deep/k");
}

TEST_F(ContentMapperTest, ListsInKeyOrder) {
    std::list<std::string> hosts = {"kept"};
    EXPECT_EQ(m_.GetHostPathList(&hosts), 0);
    EXPECT_EQ(hosts, (std::list<std::string>{"kept", "/mnt/root", "/mnt/snap1", "/mnt/snap2", "/mnt/snap3/vol", "/"}));
    std::list<std::string> proxies;
    EXPECT_EQ(m_.GetProxyPathList(&proxies), 0);
    EXPECT_EQ(proxies, (std::list<std::string>{"/", "/data", "/data/sub", "/data/sub/deep", "/db"}));
    std::list<std::string> dirs;
    EXPECT_EQ(m_.GetHostPathsForDirChange(&dirs), 0);
    EXPECT_EQ(dirs.size(), 5u);
    EXPECT_EQ(m_.GetHostPathList(nullptr), -1);
    EXPECT_EQ(m_.GetProxyPathList(nullptr), -1);

    ContentMapper empty;
    std::list<std::string> none;
    EXPECT_EQ(empty.GetHostPathList(&none), 0);
    EXPECT_TRUE(none.empty());
}

TEST_F(ContentMapperTest, ProxyToHostMapFromPairStrings) {
    ContentMapper m;
    std::list<std::string> pairs = {"/src/a/\t/mnt/a/\r\n", "/src/b\t", "/src/a/deep\t/mnt/x"};
    EXPECT_EQ(m.SetProxyToHostMap(&pairs), 0);
    EXPECT_TRUE(m.IsEnabled());
    std::map<std::string, std::string> expected = {{"/src/a", "/mnt/a"}, {"/src/b", ""}, {"/src/a/deep", "/mnt/x"}};
    EXPECT_EQ(m.GetSourceToLocalMap(), expected);
    std::string out;
    EXPECT_EQ(m.MakeHostPathFromProxyPath(std::string("/src/b/f"), out), 0);
    EXPECT_EQ(out, "/f");
    EXPECT_EQ(m.MakeHostPathFromProxyPath(std::string("/src/a/deep/f"), out), 0);
    EXPECT_EQ(out, "/mnt/x/f");

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
    ContentMapper fresh;
    std::list<std::string> bad = {"junk"};
    EXPECT_EQ(fresh.SetProxyToHostMap(&bad), -1);
    EXPECT_FALSE(fresh.IsEnabled());
}

TEST_F(ContentMapperTest, StripEOLRemovesOnlyTrailingLineEnds) {
    std::string s = "/a/b\r\n\n\r";
    m_.ProxyStripEOL(s);
    EXPECT_EQ(s, "/a/b");
    s = "\n";
    m_.ProxyStripEOL(s);
    EXPECT_EQ(s, "");
    s = "a\rb";
    m_.ProxyStripEOL(s);
    EXPECT_EQ(s, "a\rb");
}

// Writes `text` into a pipe and closes the writing end.
int pipeWith(const std::string& text) {
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    if (write(fds[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return -1;
    close(fds[1]);
    return fds[0];
}

TEST_F(ContentMapperTest, ReadLineIsBoundedAndConsumesRefusedLines) {
    std::string text = "/a\n\n" + std::string(20, 'x') + "\n/b/c\r\n" + std::string("/nul\0byte\n", 10) +
                       "/exact\n/last";
    int fd = pipeWith(text);
    ASSERT_GE(fd, 0);
    char buf[8];
    EXPECT_EQ(m_.ProxyReadLine(fd, buf, sizeof(buf)), 3);
    EXPECT_STREQ(buf, "/a\n");
    EXPECT_EQ(m_.ProxyReadLine(fd, buf, sizeof(buf)), 1);  // an empty line is not the end
    EXPECT_STREQ(buf, "\n");
    errno = 0;
    EXPECT_EQ(m_.ProxyReadLine(fd, buf, sizeof(buf)), -1);  // over-long: refused and consumed
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(m_.ProxyReadLine(fd, buf, sizeof(buf)), 6);
    std::string line = buf;
    m_.ProxyStripEOL(line);
    EXPECT_EQ(line, "/b/c");
    errno = 0;
    EXPECT_EQ(m_.ProxyReadLine(fd, buf, sizeof(buf)), -1);  // a NUL would cut the path
    EXPECT_EQ(errno, EINVAL);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(m_.ProxyReadLine(fd, buf, sizeof(buf)), 7);  // "/exact\n" fills size - 1 exactly
    EXPECT_STREQ(buf, "/exact\n");
    EXPECT_EQ(m_.ProxyReadLine(fd, buf, sizeof(buf)), 5);  // last line without a line feed
    EXPECT_STREQ(buf, "/last");
    EXPECT_EQ(m_.ProxyReadLine(fd, buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "");
    close(fd);

    // Bad arguments and a bad descriptor.
    errno = 0;
    EXPECT_EQ(m_.ProxyReadLine(0, buf, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(m_.ProxyReadLine(0, nullptr, 8), -1);
    buf[0] = 'x';
    EXPECT_EQ(m_.ProxyReadLine(-1, buf, sizeof(buf)), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(buf[0], '\0');

    // A one-byte buffer holds nothing but the end mark: any line is too long.
    fd = pipeWith("a\n");
    char one[1] = {'x'};
    EXPECT_EQ(m_.ProxyReadLine(fd, one, 1), -1);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(m_.ProxyReadLine(fd, one, 1), 0);
    close(fd);
}

TEST_F(ContentMapperTest, ReadLineFromAFile) {
    char name[] = "/tmp/content_mapper_lineXXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    unlink(name);
    const std::string text = "/src\t/mnt/src\n/src/in\t/mnt/in\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    std::list<std::string> pairs;
    char buf[256];
    int n;
    while ((n = m_.ProxyReadLine(fd, buf, sizeof(buf))) > 0)
        pairs.emplace_back(buf, static_cast<size_t>(n));
    EXPECT_EQ(n, 0);
    close(fd);
    ContentMapper m;
    ASSERT_EQ(m.SetProxyToHostMap(&pairs), 0);
    std::string out;
    EXPECT_EQ(m.MakeHostPathFromProxyPath(std::string("/src/in/x"), out), 0);
    EXPECT_EQ(out, "/mnt/in/x");
}

}  // namespace
