// Insert and lookup of one million text keys in the hash table against std::unordered_map: a
// table made with a bucket count suited to the key count beside a reserved map, and a table made
// with the system's usual 512 buckets, which doubles them as it fills, beside a map that grows too.
#include <benchmark/benchmark.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "bench/peer_ratio.h"
#include "core/runtime/hash_table.h"
#include "core/runtime/string_print.h"

namespace {

constexpr int32_t kKeys = 1000000;
// A table meant for a million keys, given about that many buckets from the start.
constexpr uint32_t kSuitedBuckets = 1048573; // a prime near 2^20
constexpr uint32_t kKeySize = 16;

const std::vector<std::string>& Keys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> out;
        out.reserve(kKeys);
        char buffer[32];
        for (int32_t i = 0; i < kKeys; i++) {
            String_Print(buffer, sizeof(buffer), "key%d", i);
            out.emplace_back(buffer);
        }
        return out;
    }();
    return keys;
}

HashTable* FilledTable(uint32_t buckets, int64_t count) {
    HashTable* table = nullptr;
    HashTable_Create(&table, kKeySize, buckets);
    for (int64_t i = 0; i < count; i++) HashTable_Add(table, Keys()[(size_t)i].c_str(), (uint64_t)i);
    return table;
}

void HashTableInsert(benchmark::State& state) {
    const uint32_t buckets = (uint32_t)state.range(0);
    const int64_t count = state.range(1);
    Keys();
    for (auto _ : state) {
        HashTable* table = FilledTable(buckets, count);
        benchmark::DoNotOptimize(table);
        state.PauseTiming();
        HashTable_Delete(&table);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * count);
}

void HashTableLookup(benchmark::State& state) {
    const int64_t count = state.range(1);
    HashTable* table = FilledTable((uint32_t)state.range(0), count);
    for (auto _ : state) {
        uint64_t sum = 0;
        for (int64_t i = 0; i < count; i++) {
            uint64_t value = 0;
            HashTable_GetValue(table, Keys()[(size_t)i].c_str(), &value);
            sum += value;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * count);
    HashTable_Delete(&table);
}

using StdMap = std::unordered_map<std::string, uint64_t>;

// Argument: 1 when the map is reserved for every key first.
void UnorderedMapInsert(benchmark::State& state) {
    Keys();
    for (auto _ : state) {
        auto* map = new StdMap();
        if (state.range(0)) map->reserve(kKeys);
        uint64_t i = 0;
        for (const std::string& key : Keys()) (*map)[key] = i++;
        benchmark::DoNotOptimize(map);
        state.PauseTiming();
        delete map;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void UnorderedMapLookup(benchmark::State& state) {
    StdMap map;
    map.reserve(kKeys);
    uint64_t i = 0;
    for (const std::string& key : Keys()) map[key] = i++;
    for (auto _ : state) {
        uint64_t sum = 0;
        for (const std::string& key : Keys()) {
            auto it = map.find(key);
            if (it != map.end()) sum += it->second;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

BENCHMARK(HashTableInsert)->Args({kSuitedBuckets, kKeys})->Args({512, kKeys})->Unit(benchmark::kMillisecond);
BENCHMARK(UnorderedMapInsert)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(HashTableLookup)->Args({kSuitedBuckets, kKeys})->Args({512, kKeys})->Unit(benchmark::kMillisecond);
BENCHMARK(UnorderedMapLookup)->Unit(benchmark::kMillisecond);

} // namespace

PEER_RATIO("Hash table insert 1M vs reserved unordered_map", "HashTableInsert/1048573/1000000",
           "UnorderedMapInsert/1");
PEER_RATIO("Hash table lookup 1M vs reserved unordered_map", "HashTableLookup/1048573/1000000", "UnorderedMapLookup");
PEER_RATIO("Hash table from 512 buckets, insert 1M vs unordered_map not reserved",
           "HashTableInsert/512/1000000", "UnorderedMapInsert/0");
PEER_RATIO("Hash table from 512 buckets, lookup 1M vs reserved unordered_map", "HashTableLookup/512/1000000",
           "UnorderedMapLookup");

PEER_RATIO_MAIN()
