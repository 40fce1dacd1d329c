// Throughput of the memory stream as an in-memory stream (write, rewind, read), as a byte queue
// (put at the end, get from the front) and when growing from empty, each beside the same work on
// a std::vector<uint8_t>, and many small appends up to totals from 64 KiB to 16 MiB with the fitted
// complexity; the run ends with each pair's ratio, the stream's speed over the vector's.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/peer_ratio.h"
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

// ---- Many small writes up to a growing total: the time per byte stays flat ------------------------

// 16-byte appends up to range(0) bytes; with geometric growth every byte is copied a bounded number
// of times, so the fitted complexity is linear in the total.
void StreamGrowTo(benchmark::State& state) {
    const uint32_t total = (uint32_t)state.range(0);
    static const std::vector<uint8_t> chunk(16, 0x5A);
    for (auto _ : state) {
        MemoryStream* m = nullptr;
        MemoryStream_Create(&m);
        MemoryStream_SetAutoGrow(m, 1);
        uint32_t n = 0;
        for (uint32_t at = 0; at < total; at += 16) MemoryStream_Put(m, chunk.data(), 16, &n);
        benchmark::DoNotOptimize(m->Buffer);
        MemoryStream_Delete(&m);
    }
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void VectorGrowTo(benchmark::State& state) {
    const uint32_t total = (uint32_t)state.range(0);
    static const std::vector<uint8_t> chunk(16, 0x5A);
    for (auto _ : state) {
        std::vector<uint8_t> v;
        for (uint32_t at = 0; at < total; at += 16) v.insert(v.end(), chunk.begin(), chunk.end());
        benchmark::DoNotOptimize(v.data());
    }
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

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
    benchmark::RegisterBenchmark("GrowTo/MemoryStream", StreamGrowTo)
        ->RangeMultiplier(4)
        ->Range(1 << 16, 1 << 24)
        ->Complexity(benchmark::oN);
    benchmark::RegisterBenchmark("GrowTo/Vector", VectorGrowTo)
        ->RangeMultiplier(4)
        ->Range(1 << 16, 1 << 24)
        ->Complexity(benchmark::oN);
    // Every stream benchmark against the vector doing the same work, argument by argument.
    static std::vector<std::string> names;
    for (const char* kind : {"WriteRead/MemoryStream", "WriteRead/MemoryStreamLocked", "Queue/MemoryStream",
                             "Grow/MemoryStream"})
        for (const char* chunk : {"16", "256", "4096"}) names.push_back(std::string(kind) + "/" + chunk);
    for (int64_t total = 1 << 16; total <= (1 << 24); total *= 4)
        names.push_back("GrowTo/MemoryStream/" + std::to_string(total));
    static std::vector<std::string> peers;
    peers.reserve(names.size());
    for (const std::string& name : names) {
        std::string peer = name;
        const size_t at = peer.find("MemoryStream");
        peer.replace(at, peer.find('/', at) - at, "Vector");
        peers.push_back(peer);
    }
    for (size_t i = 0; i < names.size(); i++)
        peer_ratio::Register(names[i].c_str(), names[i].c_str(), peers[i].c_str());
    return peer_ratio::Main(argc, argv);
}
