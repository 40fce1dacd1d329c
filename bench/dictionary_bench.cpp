// Cost of building and reading Dictionaries against std::map and std::unordered_map of
// std::string holding the same data: a flat dictionary of 1M keyed strings and a tree of
// 1000 x 1000; single lookups in the 1M dictionary against a reserved std::unordered_map; and
// merge and sync of 10,000-, 100,000- and 1,000,000-key documents, whose time per key must stay
// flat (beyond the step where the documents outgrow the caches).
#include <benchmark/benchmark.h>

#include "bench/peer_ratio.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/runtime/dictionary.h"

namespace {

constexpr int32_t kFlatCount = 1000000;
constexpr int32_t kTreeSide = 1000;

std::string KeyText(int32_t i) {
    return "key" + std::to_string(i);
}
std::string ValueText(int32_t i) {
    return "value" + std::to_string(i);
}

// Keys and values made once, so that the timed loops measure the containers alone.
const std::vector<std::string>& Keys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> k(kFlatCount);
        for (int32_t i = 0; i < kFlatCount; i++) k[i] = KeyText(i);
        return k;
    }();
    return keys;
}

const std::vector<std::string>& Values() {
    static const std::vector<std::string> values = [] {
        std::vector<std::string> v(kFlatCount);
        for (int32_t i = 0; i < kFlatCount; i++) v[i] = ValueText(i);
        return v;
    }();
    return values;
}

Dictionary* BuildFlat(int32_t count, uint32_t stringPool) {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary_SetStringPool(dict, stringPool);
    const auto& keys = Keys();
    const auto& values = Values();
    for (int32_t i = 0; i < count; i++)
        Dictionary_AddString(dict, keys[i].c_str(), values[i].c_str(), nullptr);
    return dict;
}

Dictionary* BuildTree() {
    Dictionary* root = nullptr;
    Dictionary_Create(&root);
    const auto& keys = Keys();
    const auto& values = Values();
    for (int32_t i = 0; i < kTreeSide; i++) {
        Dictionary* row = nullptr;
        Dictionary_AddDictionary(root, keys[i].c_str(), &row, nullptr);
        for (int32_t j = 0; j < kTreeSide; j++)
            Dictionary_AddString(row, keys[j].c_str(), values[i * kTreeSide + j].c_str(), nullptr);
    }
    return root;
}

// Built on first use and kept for the whole run.
Dictionary* Flat() {
    static Dictionary* dict = BuildFlat(kFlatCount, 0);
    return dict;
}

Dictionary* Tree() {
    static Dictionary* root = BuildTree();
    return root;
}

const std::map<std::string, std::string>& FlatMap() {
    static const std::map<std::string, std::string> map = [] {
        std::map<std::string, std::string> m;
        for (int32_t i = 0; i < kFlatCount; i++) m.emplace(Keys()[i], Values()[i]);
        return m;
    }();
    return map;
}

const std::unordered_map<std::string, std::string>& FlatHash() {
    static const std::unordered_map<std::string, std::string> map = [] {
        std::unordered_map<std::string, std::string> m;
        for (int32_t i = 0; i < kFlatCount; i++) m.emplace(Keys()[i], Values()[i]);
        return m;
    }();
    return map;
}

// ---- Building 1M keyed strings ---------------------------------------------------------------

void DictionaryBuild(benchmark::State& state) {
    const uint32_t stringPool = (uint32_t)state.range(0);
    Keys();
    Values();
    for (auto _ : state) {
        Dictionary* dict = BuildFlat(kFlatCount, stringPool);
        state.PauseTiming();
        Dictionary_Release(&dict);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kFlatCount);
}

template <typename Map> void MapBuild(benchmark::State& state) {
    const auto& keys = Keys();
    const auto& values = Values();
    for (auto _ : state) {
        auto* map = new Map();
        for (int32_t i = 0; i < kFlatCount; i++) map->emplace(keys[i], values[i]);
        benchmark::DoNotOptimize(map);
        state.PauseTiming();
        delete map;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kFlatCount);
}

// ---- Reading every item back by walking -----------------------------------------------------

void DictionaryWalk(benchmark::State& state) {
    Dictionary* dict = Flat();
    for (auto _ : state) {
        int64_t bytes = 0;
        DictionaryItem* item = nullptr;
        for (int64_t ok = Dictionary_ItemGetFirst(dict, &item); ok;
             ok = Dictionary_ItemGetNext(dict, item, &item)) {
            const char* key = nullptr;
            const char* value = nullptr;
            int32_t length = 0;
            Dictionary_ItemGetKeyPtr(dict, item, &key);
            Dictionary_ItemGetBufferPtr(dict, item, &value, &length);
            bytes += length + key[0];
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kFlatCount);
}

template <typename Map> void MapWalk(benchmark::State& state, const Map& map) {
    for (auto _ : state) {
        int64_t bytes = 0;
        for (const auto& [key, value] : map) bytes += (int64_t)value.size() + key[0];
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)map.size());
}

// ---- Reading every item back by key ---------------------------------------------------------

// Every key of an N-item dictionary, in insertion order.
void DictionaryFindAll(benchmark::State& state) {
    const int32_t count = (int32_t)state.range(0);
    Dictionary* dict = BuildFlat(count, 0);
    const auto& keys = Keys();
    for (auto _ : state) {
        int64_t found = 0;
        for (int32_t i = 0; i < count; i++) {
            DictionaryItem* item = nullptr;
            found += Dictionary_ItemFindByKey(dict, keys[i].c_str(), nullptr, &item);
        }
        if (found != count) state.SkipWithError("missing key");
    }
    state.SetItemsProcessed(state.iterations() * count);
    Dictionary_Release(&dict);
}

// 200,000 keys of the 1M container, spread evenly over it and prepared before any timing.
constexpr int32_t kSampleCount = 200000;

const std::vector<std::string>& SampleKeys() {
    static const std::vector<std::string> sample = [] {
        std::vector<std::string> k(kSampleCount);
        int32_t next = 0;
        for (int32_t i = 0; i < kSampleCount; i++, next = (next + 7919) % kFlatCount) k[i] = Keys()[next];
        return k;
    }();
    return sample;
}

// Single lookups in the 1M dictionary over the prepared keys; the full read-back time is the
// per-lookup time times 1M.
void DictionaryFindSample(benchmark::State& state) {
    Dictionary* dict = Flat();
    const auto& keys = SampleKeys();
    int32_t next = 0;
    for (auto _ : state) {
        DictionaryItem* item = nullptr;
        if (!Dictionary_ItemFindByKey(dict, keys[next].c_str(), nullptr, &item))
            state.SkipWithError("missing key");
        if (++next == kSampleCount) next = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// The same lookups in a reserved std::unordered_map of the same keys.
void UnorderedMapFindSample(benchmark::State& state) {
    static const std::unordered_map<std::string, std::string> map = [] {
        std::unordered_map<std::string, std::string> m;
        m.reserve(kFlatCount);
        for (int32_t i = 0; i < kFlatCount; i++) m.emplace(Keys()[i], Values()[i]);
        return m;
    }();
    const auto& keys = SampleKeys();
    int32_t next = 0;
    for (auto _ : state) {
        auto it = map.find(keys[next]);
        if (it == map.end()) state.SkipWithError("missing key");
        benchmark::DoNotOptimize(it);
        if (++next == kSampleCount) next = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

template <typename Map> void MapFindAll(benchmark::State& state, const Map& map) {
    const auto& keys = Keys();
    for (auto _ : state) {
        int64_t bytes = 0;
        for (int32_t i = 0; i < kFlatCount; i++) bytes += (int64_t)map.find(keys[i])->second.size();
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kFlatCount);
}

// ---- A tree of 1000 x 1000, looked up by two keys -------------------------------------------

void DictionaryTreeFind(benchmark::State& state) {
    Dictionary* root = Tree();
    const auto& keys = Keys();
    for (auto _ : state) {
        int64_t bytes = 0;
        for (int32_t i = 0; i < kTreeSide; i++) {
            DictionaryItem* rowItem = nullptr;
            Dictionary* row = nullptr;
            Dictionary_ItemFindByKey(root, keys[i].c_str(), nullptr, &rowItem);
            Dictionary_ItemGetDictionaryHandle(root, rowItem, &row);
            for (int32_t j = 0; j < kTreeSide; j++) {
                DictionaryItem* item = nullptr;
                Dictionary_ItemFindByKey(row, keys[j].c_str(), nullptr, &item);
                const char* value = nullptr;
                int32_t length = 0;
                Dictionary_ItemGetBufferPtr(row, item, &value, &length);
                bytes += length;
            }
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kTreeSide * kTreeSide);
}

template <typename Outer> void NestedFind(benchmark::State& state) {
    static const Outer tree = [] {
        Outer t;
        for (int32_t i = 0; i < kTreeSide; i++)
            for (int32_t j = 0; j < kTreeSide; j++)
                t[Keys()[i]].emplace(Keys()[j], Values()[i * kTreeSide + j]);
        return t;
    }();
    const auto& keys = Keys();
    for (auto _ : state) {
        int64_t bytes = 0;
        for (int32_t i = 0; i < kTreeSide; i++) {
            const auto& row = tree.find(keys[i])->second;
            for (int32_t j = 0; j < kTreeSide; j++) bytes += (int64_t)row.find(keys[j])->second.size();
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kTreeSide * kTreeSide);
}

// ---- Merge and sync of two documents ---------------------------------------------------------

// N keyed strings and a child dictionary of 4 items every 16 keys; the source half overlaps the
// target, so that half its keys are found and overwritten and half appended.
Dictionary* BuildDocument(int32_t count, int32_t offset) {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    const auto& keys = Keys();
    for (int32_t i = 0; i < count; i++) {
        const int32_t k = i + offset;
        // Past the shared key table when the source is offset: texts made here.
        const std::string key = KeyText(k);
        const std::string value = ValueText(k);
        if (k % 16 == 0) {
            Dictionary* child = nullptr;
            Dictionary_AddDictionary(dict, key.c_str(), &child, nullptr);
            for (int32_t j = 0; j < 4; j++) Dictionary_AddString(child, keys[j].c_str(), value.c_str(), nullptr);
        } else {
            Dictionary_AddString(dict, key.c_str(), value.c_str(), nullptr);
        }
    }
    return dict;
}

void DictionaryMerge(benchmark::State& state) {
    const int32_t count = (int32_t)state.range(0);
    Dictionary* source = BuildDocument(count, count / 2);
    for (auto _ : state) {
        state.PauseTiming();
        Dictionary* target = BuildDocument(count, 0);
        state.ResumeTiming();
        Dictionary_Merge(target, source, DICTIONARY_MERGE_OVERWRITE);
        state.PauseTiming();
        Dictionary_Release(&target);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["ns_per_key"] = benchmark::Counter((double)count * 1e-9, benchmark::Counter::kIsIterationInvariantRate |
                                                                               benchmark::Counter::kInvert);
    Dictionary_Release(&source);
}

void DictionarySync(benchmark::State& state) {
    const int32_t count = (int32_t)state.range(0);
    Dictionary* source = BuildDocument(count, count / 2);
    for (auto _ : state) {
        state.PauseTiming();
        Dictionary* target = BuildDocument(count, 0);
        state.ResumeTiming();
        Dictionary_Sync(target, source, nullptr, nullptr);
        state.PauseTiming();
        Dictionary_Release(&target);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["ns_per_key"] = benchmark::Counter((double)count * 1e-9, benchmark::Counter::kIsIterationInvariantRate |
                                                                               benchmark::Counter::kInvert);
    Dictionary_Release(&source);
}

using StringMap = std::map<std::string, std::string>;
using StringHash = std::unordered_map<std::string, std::string>;

BENCHMARK(DictionaryBuild)->ArgName("string_pool")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(MapBuild, StringMap)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(MapBuild, StringHash)->Unit(benchmark::kMillisecond);

BENCHMARK(DictionaryWalk)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(MapWalk, map, FlatMap())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(MapWalk, unordered_map, FlatHash())->Unit(benchmark::kMillisecond);

BENCHMARK(DictionaryFindAll)->Arg(1000)->Arg(10000)->Arg(30000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(DictionaryFindSample)->Unit(benchmark::kNanosecond);
BENCHMARK(UnorderedMapFindSample)->Unit(benchmark::kNanosecond);
PEER_RATIO("Lookup in a 1M container vs reserved unordered_map", "DictionaryFindSample", "UnorderedMapFindSample");
BENCHMARK(DictionaryMerge)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(DictionarySync)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(MapFindAll, map, FlatMap())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(MapFindAll, unordered_map, FlatHash())->Unit(benchmark::kMillisecond);

BENCHMARK(DictionaryTreeFind)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(NestedFind, std::map<std::string, StringMap>)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(NestedFind, std::unordered_map<std::string, StringHash>)->Unit(benchmark::kMillisecond);

} // namespace

PEER_RATIO_MAIN()
