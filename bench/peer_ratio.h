// Side-by-side benchmarks: a pair names our benchmark and a peer's that do the same work, and
// after the run each pair's ratio, our speed over the peer's (above 1 when ours is faster), is
// printed with its min-max over the repetitions. Repetitions of all benchmarks run interleaved in
// a random order, and repetition k of ours is set against repetition k of the peer, so that a slow
// moment of the machine weighs on both sides alike.
//
// Use: PEER_RATIO("label", "BM_Ours/arg", "BM_Peer/arg"); and PEER_RATIO_MAIN() once instead of
// the library's main. Runs repeat 5 times unless --benchmark_repetitions says otherwise, and
// interleave unless --benchmark_enable_random_interleaving says otherwise.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace peer_ratio {

struct Pair {
    std::string Label, Ours, Peer;
};

inline std::vector<Pair>& Pairs() {
    static std::vector<Pair> pairs;
    return pairs;
}

inline int Register(const char* label, const char* ours, const char* peer) {
    Pairs().push_back({label, ours, peer});
    return 0;
}

// Prints as the console reporter does and keeps the real time of every repetition by name
// (function and arguments, without the repetition and timing suffixes).
class Reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
            times_[name].push_back(run.GetAdjustedRealTime());
            // A bench that counts CPU seconds itself (children included) gets a CPU ratio too.
            auto cpu = run.counters.find("cpu_s");
            if (cpu != run.counters.end()) cpus_[name].push_back(cpu->second.value);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const Pair& pair : Pairs()) {
            const std::vector<double>& ours = times_[pair.Ours];
            const std::vector<double>& peer = times_[pair.Peer];
            const size_t runs = std::min(ours.size(), peer.size());
            std::vector<double> ratios;
            for (size_t k = 0; k < runs; k++)
                if (ours[k] > 0) ratios.push_back(peer[k] / ours[k]);
            if (ratios.empty()) {
                printf("%s: no ratio (a side did not run)\n", pair.Label.c_str());
                continue;
            }
            std::sort(ratios.begin(), ratios.end());
            printf("%s: our speed / peer's %.2fx (min-max %.2f-%.2f over %zu runs)", pair.Label.c_str(),
                   ratios[ratios.size() / 2], ratios.front(), ratios.back(), ratios.size());
            std::vector<double> cpu = Ratios(cpus_[pair.Ours], cpus_[pair.Peer]);
            if (!cpu.empty())
                printf(", CPU %.2fx (min-max %.2f-%.2f)", cpu[cpu.size() / 2], cpu.front(), cpu.back());
            printf("\n");
        }
        fflush(stdout);
    }

  private:
    // Peer over ours per repetition, sorted.
    static std::vector<double> Ratios(const std::vector<double>& ours, const std::vector<double>& peer) {
        std::vector<double> ratios;
        for (size_t k = 0; k < std::min(ours.size(), peer.size()); k++)
            if (ours[k] > 0) ratios.push_back(peer[k] / ours[k]);
        std::sort(ratios.begin(), ratios.end());
        return ratios;
    }

    std::map<std::string, std::vector<double>> times_;
    std::map<std::string, std::vector<double>> cpus_;
};

inline int Main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    static char repetitions[] = "--benchmark_repetitions=5";
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    bool givenRepetitions = false, givenInterleave = false;
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--benchmark_repetitions", 23) == 0) givenRepetitions = true;
        if (strncmp(argv[i], "--benchmark_enable_random_interleaving", 38) == 0) givenInterleave = true;
    }
    if (!givenRepetitions) args.push_back(repetitions);
    if (!givenInterleave) args.push_back(interleave);
    int count = (int)args.size();
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

} // namespace peer_ratio

#define PEER_RATIO_CONCAT2(a, b) a##b
#define PEER_RATIO_CONCAT(a, b) PEER_RATIO_CONCAT2(a, b)
#define PEER_RATIO(label, ours, peer) \
    static const int PEER_RATIO_CONCAT(peer_ratio_pair_, __LINE__) = peer_ratio::Register(label, ours, peer)
#define PEER_RATIO_MAIN() \
    int main(int argc, char** argv) { return peer_ratio::Main(argc, argv); }
