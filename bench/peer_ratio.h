// Side-by-side benchmarks: a pair names our benchmark and a peer's that do the same work, and
// after the run each pair's ratio, our speed over the peer's (above 1 when ours is faster), is
// printed with its min-max over the repetitions, and beside it the ratio of CPU time (the peer's
// CPU seconds over ours, above 1 when ours uses less). Repetitions of all benchmarks run
// interleaved in a random order, and repetition k of ours is set against repetition k of the
// peer, so that a slow moment of the machine weighs on both sides alike.
//
// CPU time of a run, per iteration: the counter cpu_s when the benchmark sets one itself (it then
// counts what it means to count). Otherwise the CPU time of the whole process (every thread)
// inside the timed loop, plus what this process's descendants used over the run: children it
// reaped (RUSAGE_CHILDREN) and those still running, such as a server started for the peer (read
// from /proc). The descendants' share is taken around the whole run of the benchmark function,
// so a child started outside the timed loop (a server's start, a fixture made by a tool) counts
// in it too; benchmarks for which that matters set cpu_s themselves.
//
// Use: PEER_RATIO("label", "BM_Ours/arg", "BM_Peer/arg") (FLOOR_RATIO for a floor that does less
// than ours, not the same work); and PEER_RATIO_MAIN() once instead of
// the library's main. Runs repeat 5 times (PEER_RATIO_MAIN_REPEATING(n): n times) unless
// --benchmark_repetitions says otherwise, and
// interleave unless --benchmark_enable_random_interleaving says otherwise. The header must come
// before the benchmarks' registrations (BENCHMARK, BENCHMARK_CAPTURE...), which it hooks.
#pragma once

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace peer_ratio {

// ---- CPU time of this process and of its descendants ----------------------------------------

inline double Seconds(const rusage& usage) {
    return (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

inline double Usage(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return Seconds(usage);
}

// User and system seconds of the descendants still running (and of the children they reaped).
// /proc counts in clock ticks: 10 ms steps, fine for the servers and tools whose work lasts.
inline double LiveDescendantsCpu() {
    static const double tick = (double)sysconf(_SC_CLK_TCK);
    double ticks = 0;
    std::vector<std::string> todo{std::to_string(getpid())};
    while (!todo.empty()) {
        const std::string pid = todo.back();
        todo.pop_back();
        DIR* tasks = opendir(("/proc/" + pid + "/task").c_str());
        if (!tasks) continue;
        while (dirent* task = readdir(tasks)) {
            if (task->d_name[0] == '.') continue;
            std::ifstream children("/proc/" + pid + "/task/" + task->d_name + "/children");
            std::string child;
            while (children >> child) {
                todo.push_back(child);
                std::ifstream statFile("/proc/" + child + "/stat");
                std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
                // Past the command's closing parenthesis the fields run from the third on:
                // utime, stime, cutime and cstime are the 14th to the 17th.
                const size_t close = stat.rfind(')');
                if (close == std::string::npos) continue;
                std::istringstream fields(stat.substr(close + 1));
                std::string field;
                for (int k = 3; k <= 17 && fields >> field; k++)
                    if (k >= 14) ticks += std::strtod(field.c_str(), nullptr);
            }
        }
        closedir(tasks);
    }
    return ticks / tick;
}

// What the descendants of this process have used: the reaped and the running.
inline double DescendantsCpu() {
    return Usage(RUSAGE_CHILDREN) + LiveDescendantsCpu();
}

// This process and its descendants: the clock for a benchmark that counts cpu_s itself around
// the work its loop times.
inline double TreeCpu() {
    return Usage(RUSAGE_SELF) + DescendantsCpu();
}

// Sets the counter cpu_s to `seconds` over the whole loop (the report shows it per iteration).
inline void SetCpu(benchmark::State& state, double seconds) {
    state.counters["cpu_s"] = benchmark::Counter(seconds, benchmark::Counter::kAvgIterations);
}

// ---- The descendants' share of every run -------------------------------------------------------

// The descendants' CPU over each run of each benchmark, by registration, threads and arguments,
// in the order the runs were made; the last run made is the one the library reports next.
struct Runs {
    std::map<std::string, std::vector<double>> Used;
    std::string Last;
    double Start = 0;
};

inline Runs& TheRuns() {
    static Runs runs;
    return runs;
}

using Callback = void (*)(const benchmark::State&);

// The library keeps a benchmark's own set-up, tear-down and arguments in private members; an
// explicit instantiation may name them, so that the hooks below call the benchmark's own set-up
// and tear-down rather than replace them, and tell its runs apart by their arguments.
template <typename Tag, typename Tag::Type Member>
struct Expose {
    friend typename Tag::Type Get(Tag) { return Member; }
};
struct SetupTag {
    using Type = Callback benchmark::internal::Benchmark::*;
    friend Type Get(SetupTag);
};
struct TeardownTag {
    using Type = Callback benchmark::internal::Benchmark::*;
    friend Type Get(TeardownTag);
};
struct ArgumentsTag {
    using Type = std::vector<std::vector<int64_t>> benchmark::internal::Benchmark::*;
    friend Type Get(ArgumentsTag);
};
template struct Expose<SetupTag, &benchmark::internal::Benchmark::setup_>;
template struct Expose<TeardownTag, &benchmark::internal::Benchmark::teardown_>;
template struct Expose<ArgumentsTag, &benchmark::internal::Benchmark::args_>;

// Set on each registration: the process's CPU time over all its threads, and a note of the
// descendants' CPU around every run (after the benchmark's own set-up, before its tear-down).
template <int Id>
struct Hooked {
    static inline Callback OwnSetup = nullptr, OwnTeardown = nullptr;
    static inline int Arguments = 0;

    Hooked(benchmark::internal::Benchmark* b) {
        OwnSetup = b->*Get(SetupTag{});
        OwnTeardown = b->*Get(TeardownTag{});
        const std::vector<std::vector<int64_t>>& args = b->*Get(ArgumentsTag{});
        Arguments = args.empty() ? 0 : (int)args.front().size();
        b->MeasureProcessCPUTime()->Setup(&Start)->Teardown(&Stop);
    }

    static void Start(const benchmark::State& state) {
        if (OwnSetup) OwnSetup(state);
        TheRuns().Start = DescendantsCpu();
    }

    static void Stop(const benchmark::State& state) {
        const double used = DescendantsCpu() - TheRuns().Start;
        std::string key = std::to_string(Id) + ":" + std::to_string(state.threads());
        for (int i = 0; i < Arguments; i++) {
            key += '/';
            key += std::to_string(state.range(i));
        }
        TheRuns().Used[key].push_back(used);
        TheRuns().Last = key;
        if (OwnTeardown) OwnTeardown(state);
    }
};

// A registration made at run time (benchmark::RegisterBenchmark, as from a table) hooked as
// BENCHMARK's are: each slot its own, its id below zero so that it never meets the macros' ids,
// which __COUNTER__ gives from zero up.
template <int Slot>
inline void HookRegistered(benchmark::internal::Benchmark* b) {
    static_assert(Slot >= 0, "slots count from zero");
    static Hooked<-1 - Slot> hooked(b);
}

// ---- Pairs and their report -------------------------------------------------------------------

// A floor is not a peer: it does less than ours (a scan that builds nothing under a whole
// load), and its ratio says how near ours comes to it.
struct Pair {
    std::string Label, Ours, Peer;
    bool Floor = false;
};

inline std::vector<Pair>& Pairs() {
    static std::vector<Pair> pairs;
    return pairs;
}

inline int Register(const char* label, const char* ours, const char* peer, bool floor = false) {
    Pairs().push_back({label, ours, peer, floor});
    return 0;
}

// Prints as the console reporter does and keeps, per repetition and by name (function and
// arguments, without the repetition and timing suffixes), the wall and the CPU seconds of one
// iteration.
class Reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // The library reports a benchmark right after the last run of its last repetition, and
        // each repetition after the first makes one run: the last runs noted under that key are
        // the repetitions, in order.
        std::vector<const Run*> repetitions;
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration) repetitions.push_back(&run);
        const std::vector<double>& used = TheRuns().Used[TheRuns().Last];
        const size_t first = used.size() >= repetitions.size() ? used.size() - repetitions.size() : 0;
        for (size_t k = 0; k < repetitions.size(); k++) {
            const Run& run = *repetitions[k];
            if (run.error_occurred || run.iterations <= 0) continue;
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
            const double iterations = (double)run.iterations;
            times_[name].push_back(run.real_accumulated_time / iterations);
            auto own = run.counters.find("cpu_s");
            if (own != run.counters.end())
                cpus_[name].push_back(own->second.value);
            else
                cpus_[name].push_back((run.cpu_accumulated_time + (first + k < used.size() ? used[first + k] : 0)) /
                                      iterations);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const Pair& pair : Pairs()) {
            const std::vector<double> wall = Ratios(times_[pair.Ours], times_[pair.Peer]);
            if (wall.empty()) {
                printf("%s: no ratio (a side did not run)\n", pair.Label.c_str());
                continue;
            }
            const char* other = pair.Floor ? "floor's" : "peer's";
            printf("%s: our speed / %s %.2fx (min-max %.2f-%.2f over %zu runs)", pair.Label.c_str(), other,
                   wall[wall.size() / 2], wall.front(), wall.back(), wall.size());
            const std::vector<double> cpu = Ratios(cpus_[pair.Ours], cpus_[pair.Peer]);
            if (!cpu.empty())
                printf(", CPU %s / ours %.2fx (min-max %.2f-%.2f)", other, cpu[cpu.size() / 2], cpu.front(),
                       cpu.back());
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

// `repetitions`: the program's default, for runs too long to make five of.
inline int Main(int argc, char** argv, int defaultRepetitions = 5) {
    std::vector<char*> args(argv, argv + argc);
    static std::string repetitions;
    repetitions = "--benchmark_repetitions=" + std::to_string(defaultRepetitions);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    bool givenRepetitions = false, givenInterleave = false;
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--benchmark_repetitions", 23) == 0) givenRepetitions = true;
        if (strncmp(argv[i], "--benchmark_enable_random_interleaving", 38) == 0) givenInterleave = true;
    }
    if (!givenRepetitions) args.push_back(repetitions.data());
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

// Every registration after this point is hooked (see above).
#undef BENCHMARK_PRIVATE_DECLARE
#define BENCHMARK_PRIVATE_DECLARE(n) \
    static ::peer_ratio::Hooked<__COUNTER__> BENCHMARK_PRIVATE_NAME(n) BENCHMARK_UNUSED

#define PEER_RATIO_CONCAT2(a, b) a##b
#define PEER_RATIO_CONCAT(a, b) PEER_RATIO_CONCAT2(a, b)
#define PEER_RATIO(label, ours, peer) \
    static const int PEER_RATIO_CONCAT(peer_ratio_pair_, __LINE__) = peer_ratio::Register(label, ours, peer)
// A floor beside ours rather than a peer: printed as such.
#define FLOOR_RATIO(label, ours, floor)                                                                      \
    static const int PEER_RATIO_CONCAT(peer_ratio_pair_, __LINE__) =                                         \
        peer_ratio::Register(label, ours, floor, true)
#define PEER_RATIO_MAIN() \
    int main(int argc, char** argv) { return peer_ratio::Main(argc, argv); }
// The same with another default number of repetitions (the command line's still wins).
#define PEER_RATIO_MAIN_REPEATING(repetitions)                                                               \
    int main(int argc, char** argv) {                                                                        \
        return peer_ratio::Main(argc, argv, repetitions);                                                    \
    }
