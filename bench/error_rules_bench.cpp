// Hostile or merely large XML for the job error-decision rules, each case
// timed alone (peak memory: run one case under /usr/bin/time -v with
// --benchmark_filter and --benchmark_repetitions=1):
//
//   BM_LoadRules/100000      a rules file of 100,000 rules loaded by the
//                            file form of KxErrorControl (about 13 MB)
//   BM_DeeplyNestedDocument  a document of 2,000,000 nested elements (about
//                            14 MB, under the reader's size bound), which
//                            the reader refuses at its nesting bound
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "errorpolicy/KxErrorControl.h"
#include "platform/agent/KxLog.h"
#include "platform/xml/HardenedXmlParser.h"

namespace {

std::string RulesDocument(int rules) {
    std::string xml = "<App_JobErrorDecisionRuleList>\n";
    char rule[256];
    for (int i = 0; i < rules; ++i) {
        snprintf(rule, sizeof rule,
                 "<ruleList pattern=\"/data/d%d/**/*.tmp\" jobDecision=\"1\"><errorCode allErrorCodes=\"0\" "
                 "fromValue=\"5\" toValue=\"13\"/></ruleList>\n",
                 i);
        xml += rule;
    }
    return xml + "</App_JobErrorDecisionRuleList>\n";
}

void BM_LoadRules(benchmark::State& state) {
    KxLog::SetLevel(0);
    char path[] = "/tmp/error_rules_benchXXXXXX";
    const int fd = mkstemp(path);
    const std::string xml = RulesDocument(static_cast<int>(state.range(0)));
    if (fd < 0 || write(fd, xml.data(), xml.size()) != static_cast<ssize_t>(xml.size()) || close(fd) != 0)
        abort();
    for (auto _ : state) {
        KxErrorControl rules(path, UnixPathStyle);
        if (!rules.RulesLoaded())
            state.SkipWithError("the rules did not load");
    }
    unlink(path);
}

struct Ignore : HardenedXmlParser::Handler {
    void StartElement(unsigned, const std::string&, const std::map<std::string, std::string>&) override {}
};

void BM_DeeplyNestedDocument(benchmark::State& state) {
    constexpr size_t kDepth = 2000000;
    std::string xml;
    xml.reserve(7 * kDepth);
    for (size_t i = 0; i < kDepth; ++i)
        xml += "<a>";
    for (size_t i = 0; i < kDepth; ++i)
        xml += "</a>";
    for (auto _ : state) {
        Ignore ignore;
        std::string error;
        benchmark::DoNotOptimize(HardenedXmlParser::ParseMemory(xml, "nested", ignore, error));
    }
}

}  // namespace

BENCHMARK(BM_LoadRules)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeeplyNestedDocument)->Unit(benchmark::kMillisecond);
