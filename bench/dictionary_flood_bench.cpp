// Loads of a JSON document of 250,000 eight-letter keys (about 3.4 MB) chosen so that a fixed,
// unkeyed hash of the index sends them all into one run of slots, beside a document of as many
// random keys; and the same keys added to a Dictionary directly. The ratio printed is the time
// of the chosen keys over that of the random ones: near 1 when the index cannot be flooded.
#include <benchmark/benchmark.h>

#include "bench/peer_ratio.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/runtime/dictionary.h"

namespace {

constexpr size_t kKeys = 250000;
// The index of kKeys keys has 2^19 slots; the chosen keys all name one of its first 512.
constexpr uint32_t kSlots = 1u << 19;
constexpr uint32_t kSpread = 512;

// The hash the index once used: fixed, so that colliding keys could be searched for offline.
uint32_t UnkeyedHash(const char* key) {
    uint64_t w;
    memcpy(&w, key, 8);
    uint64_t h = ((0x9E3779B97F4A7C15ull ^ 8) ^ w) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return (uint32_t)h;
}

std::vector<std::string> MakeKeys(bool chosen) {
    std::vector<std::string> keys;
    keys.reserve(kKeys);
    std::mt19937_64 rng(11);
    char key[9] = {};
    for (uint64_t n = 0; keys.size() < kKeys; n++) {
        uint64_t digits = chosen ? n : rng();
        for (int i = 0; i < 8; i++, digits /= 26) key[i] = (char)('a' + digits % 26);
        if (!chosen || (UnkeyedHash(key) & (kSlots - 1)) < kSpread) keys.emplace_back(key, 8);
    }
    return keys;
}

const std::vector<std::string>& Keys(bool chosen) {
    static const std::vector<std::string> sets[2] = {MakeKeys(false), MakeKeys(true)};
    return sets[chosen ? 1 : 0];
}

std::string MakeDocument(bool chosen) {
    std::string text(1, '{');
    for (const std::string& k : Keys(chosen)) {
        text += text.size() > 1 ? ",\"" : "\"";
        text += k;
        text += "\":1";
    }
    text += '}';
    return text;
}

const std::string& Document(bool chosen) {
    static const std::string texts[2] = {MakeDocument(false), MakeDocument(true)};
    return texts[chosen ? 1 : 0];
}

void JsonLoad(benchmark::State& state, bool chosen) {
    const std::string& text = Document(chosen);
    for (auto _ : state) {
        JSON* json = nullptr;
        Dictionary* dict = nullptr;
        JSON_Create(&json);
        Dictionary_Create(&dict);
        JSON_SetDictionaryHandle(json, dict);
        if (JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()) != 1) state.SkipWithError("load failed");
        state.PauseTiming();
        JSON_Delete(&json);
        Dictionary_Release(&dict);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)text.size());
}

void DictionaryAdd(benchmark::State& state, bool chosen) {
    const std::vector<std::string>& keys = Keys(chosen);
    for (auto _ : state) {
        Dictionary* dict = nullptr;
        Dictionary_Create(&dict);
        for (const std::string& k : keys) Dictionary_AddInt32(dict, k.c_str(), 1, nullptr);
        state.PauseTiming();
        Dictionary_Release(&dict);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)keys.size());
}

BENCHMARK_CAPTURE(JsonLoad, chosen, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(JsonLoad, random, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DictionaryAdd, chosen, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DictionaryAdd, random, false)->Unit(benchmark::kMillisecond);
// "Ours" is the random side: the ratio is the chosen keys' time over the random keys' time.
PEER_RATIO("JSON load, chosen-key time / random-key time", "JsonLoad/random", "JsonLoad/chosen");
PEER_RATIO("Dictionary adds, chosen-key time / random-key time", "DictionaryAdd/random", "DictionaryAdd/chosen");

} // namespace

PEER_RATIO_MAIN()
