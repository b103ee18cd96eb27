#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchRatio.h"

namespace {

struct Pair {
    std::string name, engine, peer;
};

std::vector<Pair>& Pairs() {
    static std::vector<Pair> pairs;
    return pairs;
}

void ShowLoad(const char* when) {
    std::ifstream in("/proc/loadavg");
    std::string load;
    std::getline(in, load);
    printf("LOAD %s: %s; %u cores\n", when, load.c_str(), std::thread::hardware_concurrency());
    fflush(stdout);
}

// The console's report, and the time per iteration of every repetition of
// every benchmark, by its function name.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred && r.iterations > 0)
                m_times[r.run_name.function_name].push_back(r.real_accumulated_time /
                                                            static_cast<double>(r.iterations));
        ConsoleReporter::ReportRuns(runs);
    }

    void Summary() {
        printf("\n%-44s %14s %14s %5s\n", "benchmark", "best", "median", "runs");
        for (auto& [name, times] : m_times) {
            printf("%-44s %14s %14s %5zu\n", name.c_str(), Format(Best(name)).c_str(), Format(Median(name)).c_str(),
                   times.size());
        }
        for (const Pair& p : Pairs()) {
            if (m_times.count(p.engine) == 0 || m_times.count(p.peer) == 0)
                continue;  // filtered out
            printf("RATIO %s %s/%s %.3g (medians %.3g)\n", p.name.c_str(), p.engine.c_str(), p.peer.c_str(),
                   Best(p.peer) / Best(p.engine), Median(p.peer) / Median(p.engine));
        }
    }

private:
    double Best(const std::string& name) {
        std::vector<double>& t = m_times[name];
        return *std::min_element(t.begin(), t.end());
    }
    double Median(const std::string& name) {
        std::vector<double> t = m_times[name];
        std::sort(t.begin(), t.end());
        const size_t n = t.size();
        return n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
    }
    static std::string Format(double seconds) {
        char buf[32];
        if (seconds >= 1e-3)
            snprintf(buf, sizeof buf, "%.3f ms", seconds * 1e3);
        else if (seconds >= 1e-6)
            snprintf(buf, sizeof buf, "%.3f us", seconds * 1e6);
        else
            snprintf(buf, sizeof buf, "%.3f ns", seconds * 1e9);
        return buf;
    }

    std::map<std::string, std::vector<double>> m_times;
};

bool Given(int argc, char** argv, const char* flag) {
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], flag, strlen(flag)) == 0)
            return true;
    return false;
}

}  // namespace

int benchratio::Register(const char* name, const char* engine, const char* peer) {
    Pairs().push_back({name, engine, peer});
    return 0;
}

int main(int argc, char** argv) {
    // Defaults that a command line may override.
    std::vector<char*> args(argv, argv + argc);
    static char repetitions[] = "--benchmark_repetitions=5";
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    if (!Given(argc, argv, "--benchmark_repetitions"))
        args.push_back(repetitions);
    if (!Given(argc, argv, "--benchmark_enable_random_interleaving"))
        args.push_back(interleave);
    int n = static_cast<int>(args.size());
    args.push_back(nullptr);
    ShowLoad("start");
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data()))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.Summary();
    ShowLoad("end");
    benchmark::Shutdown();
    return 0;
}
