#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "errorpolicy/KxErrorControl.h"
#include "platform/agent/App_JobErrorControlManager.h"
#include "platform/agent/KXJobCtrlClient.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/QMErrorUtil.h"
#include "platform/base/TestControl.h"
#include "support/TestFiles.h"

namespace {

using KEC = KxErrorControl;

// The bytes the process maps (its VmSize); AddressSanitizer's shadow alone
// is terabytes, and no address-space cap can be set above that.
constexpr size_t kMappedWithoutSanitizer = size_t(1) << 40;
size_t MappedBytes() {
    size_t pages = 0;
    if (FILE* statm = fopen("/proc/self/statm", "r")) {
        if (fscanf(statm, "%zu", &pages) != 1)
            pages = 0;
        fclose(statm);
    }
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Runs `body` in a child whose address space is capped `extra` bytes above
// what it maps at its start: its exit status (body's answer; 254 when no cap
// could be set), or 256 + the signal that ended it (SIGABRT: it threw).
int RunWithAddressSpaceLimit(size_t extra, const std::function<int()>& body) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const rlim_t cap = static_cast<rlim_t>(MappedBytes() + extra);
        const struct rlimit limit = {cap, cap};
        _exit(MappedBytes() != 0 && setrlimit(RLIMIT_AS, &limit) == 0 ? body() & 0xff : 254);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 256 + WTERMSIG(status);
}

// A ruleList element; `ranges` are "all from to" triples.
std::string Rule(const std::string& attrs, const std::vector<std::string>& ranges) {
    std::string r = "<ruleList " + attrs + ">";
    for (const auto& t : ranges) {
        char all[8], from[32], to[32];
        sscanf(t.c_str(), "%7s %31s %31s", all, from, to);
        r += std::string("<e allErrorCodes=\"") + all + "\" fromValue=\"" + from + "\" toValue=\"" + to + "\"/>";
    }
    return r + "</ruleList>";
}
std::string Doc(const std::string& body) { return "<App_JobErrorDecisionRuleList>" + body + "</App_JobErrorDecisionRuleList>"; }

// /dN/... gets decision N for every code.
const std::string kByDir = Doc(Rule("pattern=\"/d2/*\" jobDecision=\"2\"", {"1 0 0"}) +
                               Rule("pattern=\"/d1/*\" jobDecision=\"1\"", {"1 0 0"}) +
                               Rule("pattern=\"/d0/*\" jobDecision=\"0\"", {"1 0 0"}) +
                               Rule("pattern=\"/d10/*\" jobDecision=\"10\"", {"1 0 0"}));

class KxErrorControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        level_ = KxLog::Query();
        KxLog::SetLevel(1);
        ruxen::testcontrol::StartLogCapture();
    }
    void TearDown() override {
        ruxen::testcontrol::StopLogCapture();
        KxLog::SetLevel(level_);
        KXPlatformInfo::removeValue("FileSystemAgent", "nDumpErrorControl");
        App_JobErrorControlManager::SetSource(nullptr);
    }
    std::string File(const std::string& name, const std::string& text) {
        testfiles::WriteWholeFile(dir_ / name, text);
        return dir_ / name;
    }
    testfiles::TempDir dir_;
    int level_ = 0;
};

TEST_F(KxErrorControlTest, RulesFileInDocumentOrder) {
    const std::string xml =
        "<app_JOBerrordecisionRULElist>" +
        Rule("pattern=\"/data/tmp/*\" jobDecision=\"1\"", {"0 13 13"}) +
        Rule("pattern=\"/data/**\" jobDecision=\" 2 \"", {"0 5 5", "0 10 30"}) +
        Rule("isEnabled=\"0\" pattern=\"/off/*\" jobDecision=\"2\"", {"1 0 0"}) +
        "<group>" + Rule("pattern=\"*.log\" jobDecision=\"0\"", {"1 9 1"}) + "</group>" +
        Rule("pattern=\"\" jobDecision=\"2\"", {"1 0 0"}) + Rule("pattern=\"/x\"", {"1 0 0"}) +
        Rule("pattern=\"/x\" jobDecision=\"2x\"", {"1 0 0"}) + "<ruleList pattern=\"/y\" jobDecision=\"2\"/>" +
        Rule("pattern=\"/z\" jobDecision=\"2\"", {"1 0x1 3"}) + Rule("pattern=\"[bad\" jobDecision=\"2\"", {"1 0 0"}) +
        Rule("pattern=\"core\" jobDecision=\"7\"", {"1 0 0"}) +
        // A rule inside another comes after it, though it is whole first.
        "<ruleList pattern=\"/n/*\" jobDecision=\"1\"><e allErrorCodes=\"0\" fromValue=\"3\" toValue=\"3\"/>" +
        Rule("pattern=\"/n/*\" jobDecision=\"2\"", {"1 0 0"}) + "</ruleList>" +
        Rule("pattern=\"/n/*\" jobDecision=\"0\"", {"1 0 0"}) + "</app_JOBerrordecisionRULElist>";
    KXPlatformInfo::setValue("FileSystemAgent", "nDumpErrorControl", "1");
    KEC ec(File("rules.xml", xml), KEC::PathType(1));
    ASSERT_TRUE(ec.RulesLoaded());
    const struct {
        const char* path;
        long code;
        int decision;
        const char* pattern;
    } probes[] = {
        {"/data/tmp/a", 13, 1, "/data/tmp/*"},  // both rules match: the first decides
        {"/data/tmp/a", 5, 2, "/data/**"},
        {"/data/x/y", 4, -1, ""},               // 5..5 holds 5 only
        {"/data/x/y", 31, -1, ""},
        {"/off/a", 1, -1, ""},                  // disabled
        {"/var/log/app.log", 12345, 0, "*.log"},  // nested, converted, reported as written
        {"core", 1, 7, "core"},                   // no wildcard: not converted
        {"/a/core", 1, -1, ""},
        {"/x", 1, -1, ""}, {"/y", 1, -1, ""}, {"/z", 1, -1, ""},
        {"/n/a", 3, 1, "/n/*"}, {"/n/a", 4, 2, "/n/*"},
    };
    for (const auto& p : probes) {
        std::string pattern = "stale";
        EXPECT_EQ(ec.GetJobDecisionFor(p.path, p.code, pattern), p.decision) << p.path << " " << p.code;
        EXPECT_EQ(pattern, p.pattern) << p.path;
    }
    const std::string log = ruxen::testcontrol::TakeCapturedLog();
    for (const char* m : {"Converting Pattern *.log to /**/*.log", "Associated pattern not found",
                          "Associated job decision not found", "Associated error codes not found",
                          "Associated fromValue value not found", "Pattern init failed",
                          "pattern=/data/**, jobDecision=2", "allError=0, fromError=10, toError=30"})
        EXPECT_NE(log.find(m), std::string::npos) << m;
}

TEST_F(KxErrorControlTest, WindowsStyle) {
    KEC ec(File("w.xml", Doc(Rule("pattern=\"*.TMP\" jobDecision=\"1\"", {"1 0 0"}) +
                             Rule("pattern=\"C:\\data\\*\" jobDecision=\"2\"", {"1 0 0"}))),
           WindowsPathStyle);
    std::string pattern;
    EXPECT_EQ(ec.GetJobDecisionFor("D:\\x\\y\\A.tmp", 1, pattern), 1);
    EXPECT_EQ(ec.GetJobDecisionFor("c:\\DATA\\f", 1, pattern), 2);
    EXPECT_EQ(ec.GetJobDecisionFor("c:\\DATA\\f\\g", 1, pattern), -1);
}

TEST_F(KxErrorControlTest, BadRulesFilesLoadNothing) {
    const std::string good = Rule("pattern=\"/a\" jobDecision=\"2\"", {"1 0 0"});
    const std::string cases[] = {
        "<Other>" + good + "</Other>",
        Doc(good).substr(0, 60),  // cut short
        "<App_JobErrorDecisionRuleList><ruleList></App_JobErrorDecisionRuleList>",
        "",
        "<!DOCTYPE App_JobErrorDecisionRuleList SYSTEM \"" + (dir_ / "x.dtd") + "\">" + Doc(good),
        Doc(Rule("pattern=\"/a\" jobDecision=\"99999999999\"", {"1 0 0"})),
    };
    for (const auto& xml : cases) {
        KEC ec(File("bad.xml", xml), UnixPathStyle);
        EXPECT_FALSE(ec.RulesLoaded()) << xml;
        std::string pattern;
        EXPECT_EQ(ec.GetJobDecisionFor("/a", 1, pattern), -1);
    }
    KEC missing(dir_ / "none.xml", UnixPathStyle);
    EXPECT_FALSE(missing.RulesLoaded());
}

// Loading walks the document once: a list of many rules loads whole, from a
// file and from a string, in document order.
TEST_F(KxErrorControlTest, ManyRules) {
    const int n = 20000;
    std::string body;
    for (int i = 0; i < n; ++i)
        body += Rule("pattern=\"/r" + std::to_string(i) + "/*\" jobDecision=\"" + std::to_string(i % 3) + "\"",
                     {"0 " + std::to_string(i) + " " + std::to_string(i)});
    KEC fromFile(File("many.xml", Doc(body)), UnixPathStyle);
    KEC fromString(Doc(body), nullptr, UnixPathStyle);
    for (KEC* ec : {&fromFile, &fromString}) {
        ASSERT_TRUE(ec->RulesLoaded());
        for (int i : {0, 1, n / 2, n - 1}) {
            std::string pattern;
            const std::string path = "/r" + std::to_string(i) + "/f";
            EXPECT_EQ(ec->GetJobDecisionFor(path, i, pattern), i % 3) << i;
            EXPECT_EQ(ec->GetJobDecisionFor(path, i + 1, pattern), -1) << i;
        }
    }
}

// 100,000 rules load within 150 MB of address space, from a file and from a
// string; where memory runs out (24 MB) the loaders answer a refusal: no
// allocation failure leaves a constructor to end the host.
TEST_F(KxErrorControlTest, ManyRulesInBoundedMemory) {
    if (MappedBytes() > kMappedWithoutSanitizer)
        GTEST_SKIP() << "no address-space cap under AddressSanitizer";
    const int n = 100000;
    std::string body;
    for (int i = 0; i < n; ++i)
        body +=
            Rule("pattern=\"/data/d" + std::to_string(i) + "/**/*.tmp\" jobDecision=\"" + std::to_string(i % 3) + "\"",
                 {"0 5 13"});
    const std::string xml = Doc(body), file = File("many.xml", xml);
    for (const bool fromFile : {true, false}) {
        auto load = [&]() {
            KEC ec = fromFile ? KEC(file, UnixPathStyle) : KEC(xml, nullptr, UnixPathStyle);
            std::string pattern;
            return !ec.RulesLoaded()                                                         ? 1
                   : ec.GetJobDecisionFor("/data/d99999/x/a.tmp", 7, pattern) == (n - 1) % 3 ? 0
                                                                                             : 2;
        };
        EXPECT_EQ(0, RunWithAddressSpaceLimit(150u << 20, load)) << fromFile;
        EXPECT_EQ(1, RunWithAddressSpaceLimit(24u << 20, load)) << fromFile;
    }
}

// A rules file of thousands of bad rules logs the first few of them and a
// count, not a line each; its good rules still load.
TEST_F(KxErrorControlTest, SkippedRulesAreCountedNotEachLogged) {
    std::string body = Rule("pattern=\"/good/*\" jobDecision=\"2\"", {"1 0 0"});
    for (int i = 0; i < 1000; ++i)
        body += Rule("jobDecision=\"1\"", {"1 0 0"}) +
                Rule("pattern=\"[bad" + std::to_string(i) + "\" jobDecision=\"1\"", {"1 0 0"});
    const std::string file = File("bad.xml", Doc(body));
    ruxen::testcontrol::TakeCapturedLog();
    KEC fromFile(file, UnixPathStyle);
    KEC fromString(Doc(body), nullptr, UnixPathStyle);
    for (KEC* ec : {&fromFile, &fromString}) {
        std::string pattern;
        EXPECT_EQ(2, ec->GetJobDecisionFor("/good/a", 1, pattern));
    }
    const std::string log = ruxen::testcontrol::TakeCapturedLog();
    EXPECT_LE(testfiles::CountOf(log, "\n"), 30u) << log.substr(0, 2000);
    EXPECT_NE(std::string::npos, log.find("2000 rules of " + file + " were skipped; the first 10 are logged above"))
        << log.substr(0, 2000);
    EXPECT_NE(std::string::npos, log.find("1000 rules of the XML input string were skipped")) << log.substr(0, 2000);
}

TEST_F(KxErrorControlTest, StoredDecisionPrecedence) {
    const struct {
        std::vector<const char*> paths;
        int stored;
    } cases[] = {
        {{"/d2/a", "/d1/a"}, 2}, {{"/d1/a", "/d0/a"}, 1}, {{"/d0/a", "/d1/a"}, 1},
        {{"/d10/a", "/d2/a"}, 10}, {{"/d0/a", "/none"}, 0}, {{"/none"}, -1},
    };
    for (const auto& c : cases) {
        KEC ec(kByDir, nullptr, UnixPathStyle);
        std::string pattern, path;
        bool report = false;
        for (const char* p : c.paths)
            ec.GetJobDecisionFor(p, 5, pattern, report);
        int decision;
        long code;
        EXPECT_EQ(ec.GetStoredJobDecision(decision, pattern, path, code, report), c.stored != -1);
        EXPECT_EQ(decision, c.stored);
        EXPECT_EQ(code, c.stored == -1 ? 0 : 5);
    }

    // Threads storing 0s and 1s, one of them a single 2: the 2 stays.
    KEC ec(kByDir, nullptr, UnixPathStyle);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&ec, t] {
            std::string pattern;
            bool report;
            for (int i = 0; i < 2000; ++i)
                ec.GetJobDecisionFor((t == 3 && i == 1000) ? "/d2/x" : (i + t) % 2 ? "/d1/x" : "/d0/x", 5, pattern,
                                     report);
        });
    for (auto& th : threads)
        th.join();
    int decision;
    std::string pattern, path;
    long code;
    bool report;
    ASSERT_TRUE(ec.GetStoredJobDecision(decision, pattern, path, code, report));
    EXPECT_EQ(decision, 2);
    EXPECT_EQ(path, "/d2/x");
    EXPECT_EQ(pattern, "/d2/*");
}

TEST_F(KxErrorControlTest, FailuresFileAggregate) {
    const struct {
        const char* text;
        int decision;
        const char* path;
    } cases[] = {
        {"/d0/a:5\n/d2/b:5\n/d1/c:5\n", 2, "/d2/b"},  // stops at 2
        {"/d0/a:5\n/d1/b:5\n/d0/c:5\n", 1, "/d1/b"},  // 1 beats 0
        {"/d0/a:5\n", 0, "/d0/a"},
        {"/zz:5\n\n", 0, ""},                          // no match: 0, empty pattern
        {"/d1/a:b:13\r\n", 1, "/d1/a:b"},              // ':' in the path, CRLF
        {"/d1/new%0Aline%25:5", 1, "/d1/new\nline%"},  // decoded; no final line feed
        {"/d1/bad%00x:5\n", 1, "/d1/bad%00x"},         // does not decode: as written
        {"/d2/nocode\n/d2/x:5x\n/d2/y:\n", 0, ""},     // lines without a code are skipped
    };
    KEC ec(kByDir, nullptr, UnixPathStyle);
    for (const auto& c : cases) {
        std::string pattern = "stale", path;
        EXPECT_EQ(ec.GetJobDecisionFor(File("failures", c.text), pattern, path, ':'), c.decision) << c.text;
        EXPECT_EQ(path, c.path) << c.text;
        EXPECT_EQ(pattern.empty(), c.path[0] == '\0') << c.text;
    }
    std::string pattern, path;
    EXPECT_EQ(ec.GetJobDecisionFor(dir_ / "missing", pattern, path, ':'), -1);

    KXJobCtrlClient client;
    KEC withClient(kByDir, &client, UnixPathStyle);
    const std::string file = File("failures", "/d0/a:5\n");
    EXPECT_EQ(withClient.GetJobDecisionFor(file, pattern, path, ':'), 0);
    client.setQuit(true);
    EXPECT_EQ(withClient.GetJobDecisionFor(file, pattern, path, ':'), 10);

    struct Tabbed : KxErrorControlCallback {
        CTyError ParseFailedFileEntry(const std::string& line, char, std::string& p, long& code) override {
            size_t tab = line.find('|');
            if (tab == std::string::npos)
                return QMErrorUtil::ErrorWin32(QM_LOC, 774, "no bar");
            p = line.substr(0, tab);
            code = 5;
            return CTyError();
        }
    };
    ec.SetCallback(std::make_shared<Tabbed>());
    EXPECT_EQ(ec.GetJobDecisionFor(File("f2", "junk\n/d1/q|x\n"), pattern, path, ':'), 1);
    EXPECT_EQ(path, "/d1/q");

    KEC none(dir_ / "none.xml", UnixPathStyle);
    EXPECT_EQ(none.GetJobDecisionFor(file, pattern, path, ':'), -1);
}

TEST_F(KxErrorControlTest, LinesAggregate) {
    KEC ec(kByDir, nullptr, UnixPathStyle);
    std::string pattern, item;
    EXPECT_EQ(ec.GetJobDecisionFor(std::vector<std::string>{"/d0/a:5", "", "bad", "/d1/b:13", "/d0/c:2"}, pattern,
                                   item, ':'),
              1);
    EXPECT_EQ(item, "/d1/b:Permission denied");
    EXPECT_EQ(pattern, "/d1/*");
    EXPECT_EQ(ec.GetJobDecisionFor(std::vector<std::string>{"/zz:1"}, pattern, item, ':'), 0);
    EXPECT_EQ(pattern, "");
    EXPECT_EQ(ec.GetJobDecisionFor(std::vector<std::string>{}, pattern, item, ':'), -1);
}

// The message form written as the rules file reads back through the file
// constructor; the server constructor goes the same way.
TEST_F(KxErrorControlTest, StringServerAndFileAgree) {
    App::JobErrorDecisionRuleList list;
    App::JobErrorDecisionRule r;
    r.hasPattern = r.hasErrorCode = r.hasJobDecision = true;
    r.pattern = "/q&\"<a\tb>/*";
    r.jobDecision = 2;
    r.errorCode.fromValue = 13;
    r.errorCode.toValue = 13;
    r.errorCode.skipFromReporting = true;
    list.rules.push_back(r);
    r.pattern = "/off/*";
    r.isEnabled = 0;
    list.rules.push_back(r);
    std::string xml;
    ASSERT_TRUE(list.serialize(xml));

    std::string got;
    App_JobErrorControlManager::SetSource([&](const std::string& entity, ULONG appType, std::string& out, int flag) {
        got = entity + " " + std::to_string(appType) + " " + std::to_string(flag);
        out = xml;
        return 0;
    });
    KXJobCtrlClient client;
    KEC server(&client, KxEntities::ENTITY_CLIENT, 42, 29, dir_.path(), UnixPathStyle);
    EXPECT_EQ(got, "<KxEntities_GenericEntity entityType=\"3\" clientId=\"42\"/> 29 1");
    ASSERT_TRUE(server.RulesLoaded());
    EXPECT_EQ(testfiles::ReadWholeFile(dir_ / "ErrorControlRules.xml"), xml + "\n");
    KEC file(dir_ / "ErrorControlRules.xml", UnixPathStyle);
    ASSERT_TRUE(file.RulesLoaded());
    for (KEC* ec : {&server, &file}) {
        std::string pattern;
        bool report = true;
        EXPECT_EQ(ec->GetJobDecisionFor("/q&\"<a\tb>/f", 13, pattern, report), 2);
        EXPECT_EQ(pattern, "/q&\"<a\tb>/*");
        EXPECT_EQ(ec->GetJobDecisionFor("/off/f", 13, pattern), -1);
        EXPECT_EQ(report, ec == &file);  // the file format has no skip flag
        EXPECT_EQ(ec->IsSkipFromReporting("/q&\"<a\tb>/f", 13, pattern), ec == &server);
    }

    App_JobErrorControlManager::SetSource([](const std::string&, ULONG, std::string&, int) { return 5; });
    EXPECT_FALSE(KEC(&client, KxEntities::ENTITY_CLIENT, 1, 2, dir_.path(), UnixPathStyle).RulesLoaded());
    App_JobErrorControlManager::SetSource(nullptr);
    EXPECT_FALSE(KEC(&client, KxEntities::ENTITY_CLIENT, 1, 2, dir_.path(), UnixPathStyle).RulesLoaded());
    // A rules file that cannot be written fails the load.
    EXPECT_FALSE(KEC(kByDir, nullptr, UnixPathStyle).ParseXMLRulesFromXMLString(xml, dir_ / "no/such/dir"));
    EXPECT_FALSE(KEC(xml + "<", nullptr, UnixPathStyle).RulesLoaded());
}

}  // namespace
