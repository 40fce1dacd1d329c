// Throughput of the memory stream as an in-memory stream (write, rewind, read), as a byte queue
// (put at the end, get from the front) and when growing from empty, each beside the same work on
// a std::vector<uint8_t>; the run ends with the time ratios of each pair.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/platform/memory_stream.h"

namespace {

constexpr uint32_t kTotal = 1 << 20;    // bytes moved per iteration
constexpr uint32_t kBacklog = 64 << 10; // bytes waiting in the queue while it runs

const std::vector<uint8_t>& Source() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> b(kTotal);
        for (uint32_t i = 0; i < kTotal; i++) b[i] = (uint8_t)(i * 31 + 7);
        return b;
    }();
    return bytes;
}

// ---- Write everything, rewind, read everything --------------------------------------------------

void StreamWriteRead(benchmark::State& state, bool locked) {
    const uint32_t chunk = (uint32_t)state.range(0);
    const uint8_t* source = Source().data();
    std::vector<uint8_t> out(chunk);
    MemoryStream* m = nullptr;
    MemoryStream_Create(&m);
    MemoryStream_SetAutoGrow(m, 1);
    if (locked) MemoryStream_SetAllowLock(m, 1);
    Stream* s = nullptr;
    MemoryStream_GetStreamHandle(m, &s);
    for (auto _ : state) {
        MemoryStream_DiscardAll(m);
        uint32_t n = 0;
        for (uint32_t at = 0; at < kTotal; at += chunk) Stream_Write(s, source + at, chunk, &n);
        Stream_Seek(s, 0, SEEK_ORIGIN_BEGIN);
        uint64_t sum = 0;
        while (Stream_Read(s, out.data(), chunk, &n)) sum += out[n - 1];
        benchmark::DoNotOptimize(sum);
    }
    MemoryStream_Delete(&m);
    state.SetBytesProcessed(state.iterations() * (int64_t)kTotal * 2);
}

void VectorWriteRead(benchmark::State& state) {
    const uint32_t chunk = (uint32_t)state.range(0);
    const uint8_t* source = Source().data();
    std::vector<uint8_t> out(chunk);
    std::vector<uint8_t> v;
    for (auto _ : state) {
        v.clear();
        for (uint32_t at = 0; at < kTotal; at += chunk) v.insert(v.end(), source + at, source + at + chunk);
        uint64_t sum = 0;
        for (size_t at = 0; at < v.size(); at += chunk) {
            const size_t n = std::min<size_t>(chunk, v.size() - at);
            memcpy(out.data(), v.data() + at, n);
            sum += out[n - 1];
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)kTotal * 2);
}

// ---- Queue: put at the end and take from the front with a standing backlog ----------------------

void StreamQueue(benchmark::State& state) {
    const uint32_t chunk = (uint32_t)state.range(0);
    const uint8_t* source = Source().data();
    std::vector<uint8_t> out(chunk);
    MemoryStream* m = nullptr;
    MemoryStream_Create(&m);
    MemoryStream_SetAutoGrow(m, 1);
    uint32_t n = 0;
    MemoryStream_Put(m, source, kBacklog, &n);
    for (auto _ : state) {
        uint64_t sum = 0;
        for (uint32_t at = 0; at < kTotal; at += chunk) {
            MemoryStream_Put(m, source + at, chunk, &n);
            MemoryStream_Get(m, out.data(), chunk, &n);
            sum += out[n - 1];
        }
        benchmark::DoNotOptimize(sum);
    }
    MemoryStream_Delete(&m);
    state.SetBytesProcessed(state.iterations() * (int64_t)kTotal);
}

void VectorQueue(benchmark::State& state) {
    const uint32_t chunk = (uint32_t)state.range(0);
    const uint8_t* source = Source().data();
    std::vector<uint8_t> out(chunk);
    std::vector<uint8_t> v(source, source + kBacklog);
    for (auto _ : state) {
        uint64_t sum = 0;
        for (uint32_t at = 0; at < kTotal; at += chunk) {
            v.insert(v.end(), source + at, source + at + chunk);
            memcpy(out.data(), v.data(), chunk);
            v.erase(v.begin(), v.begin() + chunk);
            sum += out[chunk - 1];
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)kTotal);
}

// ---- Growth from empty: a new buffer every iteration --------------------------------------------

void StreamGrow(benchmark::State& state) {
    const uint32_t chunk = (uint32_t)state.range(0);
    const uint8_t* source = Source().data();
    for (auto _ : state) {
        MemoryStream* m = nullptr;
        MemoryStream_Create(&m);
        MemoryStream_SetAutoGrow(m, 1);
        uint32_t n = 0;
        for (uint32_t at = 0; at < kTotal; at += chunk) MemoryStream_Put(m, source + at, chunk, &n);
        benchmark::DoNotOptimize(m->Buffer);
        MemoryStream_Delete(&m);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)kTotal);
}

void VectorGrow(benchmark::State& state) {
    const uint32_t chunk = (uint32_t)state.range(0);
    const uint8_t* source = Source().data();
    for (auto _ : state) {
        std::vector<uint8_t> v;
        for (uint32_t at = 0; at < kTotal; at += chunk) v.insert(v.end(), source + at, source + at + chunk);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)kTotal);
}

// Prints as usual and keeps each run's time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }

    // Memory stream time over vector time for every pair that ran: above 1 the stream is slower.
    void PrintRatios() const {
        std::printf("\nmemory stream / std::vector time ratios (above 1: the stream is slower)\n");
        for (const auto& [name, time] : times_) {
            const size_t at = name.find("MemoryStream");
            if (at == std::string::npos) continue;
            std::string peer = name;
            peer.replace(at, std::strlen("MemoryStream"), "Vector");
            const size_t locked = peer.find("Locked");
            if (locked != std::string::npos) peer.erase(locked, std::strlen("Locked"));
            const auto found = times_.find(peer);
            if (found == times_.end() || found->second <= 0) continue;
            std::printf("  %-40s %6.2f\n", name.c_str(), time / found->second);
        }
    }

  private:
    std::map<std::string, double> times_;
};

void Chunks(benchmark::internal::Benchmark* b) {
    b->Arg(16)->Arg(256)->Arg(4096);
}

} // namespace

int main(int argc, char** argv) {
    Chunks(benchmark::RegisterBenchmark("WriteRead/MemoryStream", StreamWriteRead, false));
    Chunks(benchmark::RegisterBenchmark("WriteRead/MemoryStreamLocked", StreamWriteRead, true));
    Chunks(benchmark::RegisterBenchmark("WriteRead/Vector", VectorWriteRead));
    Chunks(benchmark::RegisterBenchmark("Queue/MemoryStream", StreamQueue));
    Chunks(benchmark::RegisterBenchmark("Queue/Vector", VectorQueue));
    Chunks(benchmark::RegisterBenchmark("Grow/MemoryStream", StreamGrow));
    Chunks(benchmark::RegisterBenchmark("Grow/Vector", VectorGrow));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
