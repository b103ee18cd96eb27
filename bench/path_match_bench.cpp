// The path matcher beside glibc's fnmatch doing the same matches: a usual
// exclusion pattern on a deep path, and a star-heavy pattern on a name that
// almost matches (where a backtracking matcher pays for every split).
#include <benchmark/benchmark.h>

#include <fnmatch.h>

#include <string>

#include "bench/BenchRatio.h"
#include "platform/content/TPathMatch.h"

namespace {

const std::string kPath = "/home/user/projects/ruxen/build/obj/platform/TPathMatch.o";
const std::string kStars = "*a*a*a*a*a*a*a*b";
const std::string kName(40, 'a');

void BM_TPathMatch_Usual(benchmark::State& state) {
    TPathMatch m;
    m.init("/**/*.o");
    for (auto _ : state)
        benchmark::DoNotOptimize(m.match(kPath));
}
void BM_Fnmatch_Usual(benchmark::State& state) {
    // fnmatch has no "**": its nearest form without FNM_PATHNAME.
    for (auto _ : state)
        benchmark::DoNotOptimize(fnmatch("/*.o", kPath.c_str(), 0));
}
void BM_TPathMatch_Stars(benchmark::State& state) {
    TPathMatch m;
    m.init(kStars);
    for (auto _ : state)
        benchmark::DoNotOptimize(m.match(kName));
}
void BM_Fnmatch_Stars(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(fnmatch(kStars.c_str(), kName.c_str(), FNM_PATHNAME));
}

}  // namespace

BENCHMARK(BM_TPathMatch_Usual);
BENCHMARK(BM_Fnmatch_Usual);
BENCHMARK(BM_TPathMatch_Stars);
BENCHMARK(BM_Fnmatch_Stars);
RUXEN_BENCH_RATIO("usual", "BM_TPathMatch_Usual", "BM_Fnmatch_Usual");
RUXEN_BENCH_RATIO("stars", "BM_TPathMatch_Stars", "BM_Fnmatch_Stars");
