// Cost of the guarded allocator against the process heap: one block at a time, a batch of many
// live blocks, four threads at once and blocks freed by another thread, with the memory module
// started untracked and tracked; each ratio is the allocator's speed over malloc's on the same
// sizes and pattern.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "bench/peer_ratio.h"
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

// Four threads at once, each allocating and freeing its own blocks, with the module started once
// around the run: what the counting costs when several processors allocate together.
void StartUntracked(const benchmark::State&) {
    Memory_Init(kUntracked);
}
void StartTracked(const benchmark::State&) {
    Memory_Init(kTracked);
}
void Stop(const benchmark::State&) {
    Memory_Remove();
}

void MallocThreads(benchmark::State& state) {
    for (auto _ : state) {
        void* p = malloc(64);
        benchmark::DoNotOptimize(p);
        free(p);
    }
}

// The mode is set by the start callback; it only names the run here.
void MemoryThreads(benchmark::State& state, Mode) {
    for (auto _ : state) {
        void* p = Memory_Alloc(64);
        benchmark::DoNotOptimize(p);
        Memory_Free(p, 64);
    }
}

// Two threads: the first allocates 64-byte blocks and passes them through a ring to the second,
// which frees them; what a free from another thread costs. Each thread runs the same number of
// iterations, so every block passed is freed by the end.
struct PassRing {
    static constexpr size_t kSlots = 1024;
    std::atomic<void*> Slots[kSlots] = {};
};
PassRing Ring;

template <typename Alloc, typename Free>
void PassToOtherThread(benchmark::State& state, Alloc alloc, Free release) {
    size_t at = 0;
    if (state.thread_index() == 0) {
        for (auto _ : state) {
            void* p = alloc();
            while (Ring.Slots[at].load(std::memory_order_acquire)) {
            }
            Ring.Slots[at].store(p, std::memory_order_release);
            at = (at + 1) % PassRing::kSlots;
        }
    } else {
        for (auto _ : state) {
            void* p;
            while (!(p = Ring.Slots[at].load(std::memory_order_acquire))) {
            }
            Ring.Slots[at].store(nullptr, std::memory_order_relaxed);
            release(p);
            at = (at + 1) % PassRing::kSlots;
        }
    }
}

void MallocPassed(benchmark::State& state) {
    PassToOtherThread(
        state, [] { return malloc(64); }, [](void* p) { free(p); });
}

// The mode is set by the start callback; it only names the run here.
void MemoryPassed(benchmark::State& state, Mode) {
    PassToOtherThread(
        state, [] { return Memory_Alloc(64); }, [](void* p) { Memory_Free(p, 64); });
}

void SingleSizes(benchmark::internal::Benchmark* b) {
    for (int64_t size : {16, 64, 256, 4096}) b->Arg(size);
}

} // namespace

BENCHMARK(MallocSingle)->Apply(SingleSizes);
BENCHMARK_CAPTURE(MemorySingle, untracked, kUntracked)->Apply(SingleSizes);
BENCHMARK_CAPTURE(MemorySingle, tracked, kTracked)->Apply(SingleSizes);
BENCHMARK(MallocThreads)->Threads(4)->UseRealTime();
BENCHMARK_CAPTURE(MemoryThreads, untracked, kUntracked)
    ->Threads(4)
    ->UseRealTime()
    ->Setup(StartUntracked)
    ->Teardown(Stop);
BENCHMARK_CAPTURE(MemoryThreads, tracked, kTracked)
    ->Threads(4)
    ->UseRealTime()
    ->Setup(StartTracked)
    ->Teardown(Stop);
BENCHMARK(MallocPassed)->Threads(2)->UseRealTime();
BENCHMARK_CAPTURE(MemoryPassed, untracked, kUntracked)
    ->Threads(2)
    ->UseRealTime()
    ->Setup(StartUntracked)
    ->Teardown(Stop);
BENCHMARK_CAPTURE(MemoryPassed, tracked, kTracked)
    ->Threads(2)
    ->UseRealTime()
    ->Setup(StartTracked)
    ->Teardown(Stop);
BENCHMARK(MallocBatch)->Arg(64);
BENCHMARK_CAPTURE(MemoryBatch, untracked, kUntracked)->Arg(64);
BENCHMARK_CAPTURE(MemoryBatch, tracked, kTracked)->Arg(64);

PEER_RATIO("untracked 16 B", "MemorySingle/untracked/16", "MallocSingle/16");
PEER_RATIO("untracked 64 B", "MemorySingle/untracked/64", "MallocSingle/64");
PEER_RATIO("untracked 256 B", "MemorySingle/untracked/256", "MallocSingle/256");
PEER_RATIO("untracked 4 KiB", "MemorySingle/untracked/4096", "MallocSingle/4096");
PEER_RATIO("tracked 16 B", "MemorySingle/tracked/16", "MallocSingle/16");
PEER_RATIO("tracked 64 B", "MemorySingle/tracked/64", "MallocSingle/64");
PEER_RATIO("tracked 256 B", "MemorySingle/tracked/256", "MallocSingle/256");
PEER_RATIO("tracked 4 KiB", "MemorySingle/tracked/4096", "MallocSingle/4096");
PEER_RATIO("untracked batch of 1000 x 64 B", "MemoryBatch/untracked/64", "MallocBatch/64");
PEER_RATIO("tracked batch of 1000 x 64 B", "MemoryBatch/tracked/64", "MallocBatch/64");
PEER_RATIO("untracked 64 B on 4 threads at once", "MemoryThreads/untracked", "MallocThreads");
PEER_RATIO("tracked 64 B on 4 threads at once", "MemoryThreads/tracked", "MallocThreads");
PEER_RATIO("untracked 64 B freed by another thread", "MemoryPassed/untracked", "MallocPassed");
PEER_RATIO("tracked 64 B freed by another thread", "MemoryPassed/tracked", "MallocPassed");

PEER_RATIO_MAIN()
