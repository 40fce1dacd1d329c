// Cost of path look-ups in Dictionaries of about 100,000 items: a flat dictionary of keyed
// strings, and nested trees addressed by multi-segment paths. Every level is a linear search of
// its siblings, so a flat look-up costs in proportion to the item's position, and a path costs
// the sum of the positions it passes: the same 100,000 items spread over five levels of ten
// are reached in about fifty key comparisons, where the flat dictionary needs up to 100,000.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "core/runtime/dictionary.h"

namespace {

constexpr int32_t kFlatCount = 100000;

Dictionary* Flat() {
    static Dictionary* dict = [] {
        Dictionary* d = nullptr;
        Dictionary_Create(&d);
        for (int32_t i = 0; i < kFlatCount; i++) {
            const std::string key = "key" + std::to_string(i);
            const std::string value = "value" + std::to_string(i);
            Dictionary_AddString(d, key.c_str(), value.c_str(), nullptr);
        }
        return d;
    }();
    return dict;
}

// A tree of `depth` levels with `fanout` Dictionary items per level whose last level holds
// fanout^depth strings; keys are "k0" ... "k<fanout-1>" at every level.
void Fill(Dictionary* dict, int32_t fanout, int32_t depth) {
    for (int32_t i = 0; i < fanout; i++) {
        char key[16];
        snprintf(key, sizeof key, "k%d", i);
        if (depth == 1) {
            Dictionary_AddString(dict, key, "leaf", nullptr);
        } else {
            Dictionary* child = nullptr;
            Dictionary_AddDictionary(dict, key, &child, nullptr);
            Fill(child, fanout, depth - 1);
        }
    }
}

Dictionary* Tree(int32_t fanout, int32_t depth) {
    Dictionary* d = nullptr;
    Dictionary_Create(&d);
    Fill(d, fanout, depth);
    return d;
}

Dictionary* Tree10x5() {
    static Dictionary* dict = Tree(10, 5); // 100,000 leaves
    return dict;
}

Dictionary* Tree316x2() {
    static Dictionary* dict = Tree(316, 2); // 99,856 leaves
    return dict;
}

// Flat: the key at a given position, by path and by key (the path's own overhead).
void BM_FlatPath(benchmark::State& state) {
    Dictionary* dict = Flat();
    const std::string path = "key" + std::to_string(state.range(0));
    for (auto _ : state) {
        DictionaryItem* item = nullptr;
        benchmark::DoNotOptimize(Dictionary_ItemFindByPath(dict, path.c_str(), nullptr, &item));
    }
}
BENCHMARK(BM_FlatPath)->Arg(0)->Arg(1000)->Arg(50000)->Arg(kFlatCount - 1);

void BM_FlatKey(benchmark::State& state) {
    Dictionary* dict = Flat();
    const std::string key = "key" + std::to_string(state.range(0));
    for (auto _ : state) {
        DictionaryItem* item = nullptr;
        benchmark::DoNotOptimize(Dictionary_ItemFindByKey(dict, key.c_str(), nullptr, &item));
    }
}
BENCHMARK(BM_FlatKey)->Arg(0)->Arg(1000)->Arg(50000)->Arg(kFlatCount - 1);

void BM_FlatGetStringByPath(benchmark::State& state) {
    Dictionary* dict = Flat();
    const std::string path = "key" + std::to_string(state.range(0));
    char buffer[32];
    for (auto _ : state) benchmark::DoNotOptimize(Dictionary_GetStringByPath(dict, path.c_str(), buffer, 32));
}
BENCHMARK(BM_FlatGetStringByPath)->Arg(50000);

// Flat: "[n]" walks the links from the first item, "[-n]" from the last; "[key=value]" scans
// every sibling for the pair.
void BM_FlatIndexPath(benchmark::State& state) {
    Dictionary* dict = Flat();
    const char* paths[] = {"[0]", "[50000]", "[99999]", "[-1]", "[key99999=value99999]"};
    const char* path = paths[state.range(0)];
    state.SetLabel(path);
    for (auto _ : state) {
        DictionaryItem* item = nullptr;
        benchmark::DoNotOptimize(Dictionary_ItemFindByPath(dict, path, nullptr, &item));
    }
}
BENCHMARK(BM_FlatIndexPath)->DenseRange(0, 4);

// A missing key scans every sibling.
void BM_FlatMissing(benchmark::State& state) {
    Dictionary* dict = Flat();
    for (auto _ : state) benchmark::DoNotOptimize(Dictionary_ContainsPath(dict, "nokey"));
}
BENCHMARK(BM_FlatMissing);

// Nested: five segments over ten siblings each, and two over 316.
void BM_TreePath10x5(benchmark::State& state) {
    Dictionary* dict = Tree10x5();
    const char* paths[] = {"k0.k0.k0.k0.k0", "k5.k5.k5.k5.k5", "k9.k9.k9.k9.k9", "k9\\k9\\k9\\k9\\k9"};
    const char* path = paths[state.range(0)];
    state.SetLabel(path);
    for (auto _ : state) {
        DictionaryItem* item = nullptr;
        benchmark::DoNotOptimize(Dictionary_ItemFindByPath(dict, path, nullptr, &item));
    }
}
BENCHMARK(BM_TreePath10x5)->DenseRange(0, 3);

void BM_TreePath316x2(benchmark::State& state) {
    Dictionary* dict = Tree316x2();
    const char* paths[] = {"k0.k0", "k158.k158", "k315.k315", "[315].[315]", "[-1].[-1]"};
    const char* path = paths[state.range(0)];
    state.SetLabel(path);
    for (auto _ : state) {
        DictionaryItem* item = nullptr;
        benchmark::DoNotOptimize(Dictionary_ItemFindByPath(dict, path, nullptr, &item));
    }
}
BENCHMARK(BM_TreePath316x2)->DenseRange(0, 4);

// Setting by path: ensuring the parent levels, then the key, in the 10 x 5 tree.
void BM_TreeSetStringByPath(benchmark::State& state) {
    Dictionary* dict = Tree10x5();
    for (auto _ : state) benchmark::DoNotOptimize(Dictionary_SetStringByPath(dict, "k9.k9.k9.k9.k9", "leaf"));
}
BENCHMARK(BM_TreeSetStringByPath);

} // namespace
