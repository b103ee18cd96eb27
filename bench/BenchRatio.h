// The shared main of the benchmark programs (bench/BenchMain.cpp) runs every
// benchmark in 5 repetitions (--benchmark_repetitions), interleaved in random
// order (--benchmark_enable_random_interleaving) so that a change of the
// machine's load touches each alike, prints the machine's load at the start
// and the end, the best and the median time of each benchmark, and a RATIO
// line for each pair a program names:
//
//   RUXEN_BENCH_RATIO("search", "BM_SearchFirst", "BM_PeerSearch");
//
// names the case, the engine's benchmark and its peer's (the same work with
// no layer of ours); the ratio is the peer's best time over the engine's,
// above 1 when the engine is faster.
#pragma once

namespace benchratio {

int Register(const char* name, const char* engine, const char* peer);

}  // namespace benchratio

#define RUXEN_BENCH_RATIO_CAT2(a, b) a##b
#define RUXEN_BENCH_RATIO_CAT(a, b) RUXEN_BENCH_RATIO_CAT2(a, b)
#define RUXEN_BENCH_RATIO(name, engine, peer)                                        \
    [[maybe_unused]] static const int RUXEN_BENCH_RATIO_CAT(benchRatio_, __LINE__) = \
        ::benchratio::Register(name, engine, peer)
