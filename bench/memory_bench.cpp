// Cost of the guarded allocator against the process heap: one block at a time and a batch of
// many live blocks, with the memory module started untracked and tracked.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "core/runtime/memory.h"

namespace {

constexpr int32_t kBatch = 1000;

enum Mode { kUntracked = 0, kTracked = 1 };

void MallocSingle(benchmark::State& state) {
    const size_t size = (size_t)state.range(0);
    for (auto _ : state) {
        void* p = malloc(size);
        benchmark::DoNotOptimize(p);
        free(p);
    }
}

void MemorySingle(benchmark::State& state, Mode mode) {
    const int32_t size = (int32_t)state.range(0);
    Memory_Init(mode);
    for (auto _ : state) {
        void* p = Memory_Alloc(size);
        benchmark::DoNotOptimize(p);
        Memory_Free(p, size);
    }
    Memory_Remove();
}

void MallocBatch(benchmark::State& state) {
    const size_t size = (size_t)state.range(0);
    std::vector<void*> blocks(kBatch);
    for (auto _ : state) {
        for (void*& p : blocks) p = malloc(size);
        benchmark::DoNotOptimize(blocks.data());
        for (void* p : blocks) free(p);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void MemoryBatch(benchmark::State& state, Mode mode) {
    const int32_t size = (int32_t)state.range(0);
    std::vector<void*> blocks(kBatch);
    Memory_Init(mode);
    for (auto _ : state) {
        for (void*& p : blocks) p = Memory_Alloc(size);
        benchmark::DoNotOptimize(blocks.data());
        for (void* p : blocks) Memory_Free(p, size);
    }
    Memory_Remove();
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void SingleSizes(benchmark::internal::Benchmark* b) {
    for (int64_t size : {16, 64, 256, 4096}) b->Arg(size);
}

} // namespace

BENCHMARK(MallocSingle)->Apply(SingleSizes);
BENCHMARK_CAPTURE(MemorySingle, untracked, kUntracked)->Apply(SingleSizes);
BENCHMARK_CAPTURE(MemorySingle, tracked, kTracked)->Apply(SingleSizes);
BENCHMARK(MallocBatch)->Arg(64);
BENCHMARK_CAPTURE(MemoryBatch, untracked, kUntracked)->Arg(64);
BENCHMARK_CAPTURE(MemoryBatch, tracked, kTracked)->Arg(64);
