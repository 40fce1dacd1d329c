// Speed of reading a content manifest (the streaming scan into the tables, then the index and the
// unpadded piece lengths) beside RapidJSON's DOM parse of the same text, for manifests of 10,000,
// 100,000 and 1,000,000 files; and whether one load of 100,000 or 1,000,000 files costs what ten
// or a hundred loads of 10,000 cost. The scanner alone, with a value callback that does nothing,
// is measured too: a floor under any reader on that scanner, not a peer.
// The fetch is left out on both sides: the text is in memory. Each side frees what it built
// inside its timing (ours when the manifest is reset for the next load).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <map>
#include <string>
#include <utility>

#include "bench/peer_ratio.h"

#include "core/formats/base64.h"
#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "repository/meta_file.h"

#if __has_include(<rapidjson/document.h>)
#include <rapidjson/document.h>
#define HAVE_RAPIDJSON 1
#include "bench/rapidjson_peer.h"
#endif

namespace {

constexpr uint64_t kPiece = 4194304;

// A manifest of `count` files of assorted sizes in 4 KiB-aligned slots. Layout 0: each file's
// own "pad"; layout 1: the same padding as a top-level "pad" list.
std::string MakeManifest(int count, int layout) {
    std::string files, pads;
    uint64_t offset = 0;
    for (int i = 0; i < count; i++) {
        const uint64_t size = (uint64_t)((i * 7919) % 200000);
        uint64_t pad = size ? (4096 - size % 4096) % 4096 : 0;
        if (i == count - 1) pad = (kPiece - (offset + size) % kPiece) % kPiece;
        if (i) files += ",";
        files += "{\"name\":\"content/dir" + std::to_string(i / 100) + "/file" + std::to_string(i) +
                 ".bin\",\"size\":" + std::to_string(size) + ",\"offset\":" + std::to_string(offset) +
                 ",\"mtime\":" + std::to_string(1700000000 + i) + ",\"attr\":420";
        if (layout == 0) files += ",\"pad\":" + std::to_string(pad);
        files += "}";
        if (layout == 1 && pad) {
            if (!pads.empty()) pads += ",";
            pads += "{\"offset\":" + std::to_string(offset + size) + ",\"size\":" + std::to_string(pad) + "}";
        }
        offset += size + pad;
    }
    std::string digests;
    for (uint64_t i = 0; i < offset / kPiece; i++) {
        uint8_t digest[20];
        for (int k = 0; k < 20; k++) digest[k] = (uint8_t)(i * 31 + (uint64_t)k * 7);
        char text[32];
        uint32_t written = 0;
        Base64_Encode(digest, 20, text, sizeof(text), &written);
        digests += std::string(i ? "," : "") + "\"" + text + "\"";
    }
    std::string out = "{\"id\":\"bench\",\"files\":[" + files + "]";
    if (layout == 1) out += ",\"pad\":[" + pads + "]";
    return out + ",\"pieces\":{\"digests\":[" + digests + "]}}";
}

const std::string& Manifest(int count, int layout) {
    static std::map<std::pair<int, int>, std::string> texts;
    std::string& text = texts[{count, layout}];
    if (text.empty()) text = MakeManifest(count, layout);
    return text;
}

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

struct Reader {
    MetaFile* Manifest = nullptr;
    JSON* Json = nullptr;
    Reader() {
        static const bool started = [] {
            Debug_Init(nullptr, nullptr, 0);
            Thread_Init();
            EventQueue_Init();
            return true;
        }();
        (void)started;
        MetaFile_Create(&Manifest);
        MetaFile_SetPrintCallback(Manifest, nullptr, Quiet);
        JSON_Create(&Json);
        JSON_SetPrintCallback(Json, nullptr, Quiet);
        JSON_SetValueCallback(Json, Manifest, MetaFile_ValueCallback);
    }
    ~Reader() {
        JSON_Release(&Json);
        MetaFile_Release(&Manifest);
    }
    // What the loader does with a fetched manifest: scan, then build on the same thread.
    bool Load(const std::string& text) {
        MetaFile_Reset(Manifest);
        uint32_t code = 0, codeEx = 0;
        return JSON_LoadBuffer(Json, text.data(), (uint32_t)text.size()) &&
               MetaFile_WorkerBuild(nullptr, Manifest, &code, &codeEx);
    }
};

void BM_ManifestLoad(benchmark::State& state) {
    const std::string& text = Manifest((int)state.range(0), (int)state.range(1));
    Reader reader;
    for (auto _ : state) {
        if (!reader.Load(text)) state.SkipWithError("load failed");
        malloc_trim(0);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * state.range(0));
}
BENCHMARK(BM_ManifestLoad)
    ->Args({10000, 0})
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Args({1000000, 0})
    ->Unit(benchmark::kMillisecond);

// Arguments: files, layout, loads per iteration.
void BM_ManifestLoadTimes(benchmark::State& state) {
    const std::string& text = Manifest((int)state.range(0), (int)state.range(1));
    Reader reader;
    for (auto _ : state) {
        for (int64_t i = 0; i < state.range(2); i++)
            if (!reader.Load(text)) state.SkipWithError("load failed");
        malloc_trim(0);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * state.range(0) * state.range(2));
}
BENCHMARK(BM_ManifestLoadTimes)->Args({10000, 0, 10})->Args({10000, 0, 100})->Unit(benchmark::kMillisecond);

int64_t Nothing(JSON*, void*, const char*, uint32_t, const char*, int32_t, uint64_t, int32_t, int32_t, uint32_t*) {
    return 1;
}

// The JSON scanner alone, its value callback doing nothing: the most any reader on that
// scanner can reach.
void BM_ScanFloor(benchmark::State& state) {
    const std::string& text = Manifest((int)state.range(0), (int)state.range(1));
    Reader reader;
    JSON_SetValueCallback(reader.Json, nullptr, Nothing);
    for (auto _ : state) {
        JSON_LoadBuffer(reader.Json, text.data(), (uint32_t)text.size());
        malloc_trim(0);
    }
}
BENCHMARK(BM_ScanFloor)->Args({100000, 0})->Unit(benchmark::kMillisecond);

#ifdef HAVE_RAPIDJSON
void BM_RapidJsonManifest(benchmark::State& state) {
    const std::string& text = Manifest((int)state.range(0), (int)state.range(1));
    RapidJsonParseLoop(state, text);
    state.SetItemsProcessed((int64_t)state.iterations() * state.range(0));
}
BENCHMARK(BM_RapidJsonManifest)
    ->Args({10000, 0})
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Args({1000000, 0})
    ->Unit(benchmark::kMillisecond);
#endif

} // namespace

PEER_RATIO("Manifest load+index 10,000 files vs RapidJSON DOM", "BM_ManifestLoad/10000/0", "BM_RapidJsonManifest/10000/0");
PEER_RATIO("Manifest load+index 100,000 files vs RapidJSON DOM", "BM_ManifestLoad/100000/0",
           "BM_RapidJsonManifest/100000/0");
PEER_RATIO("Manifest load+index 100,000 files, pad list, vs RapidJSON DOM", "BM_ManifestLoad/100000/1",
           "BM_RapidJsonManifest/100000/1");
PEER_RATIO("Manifest load+index 1,000,000 files vs RapidJSON DOM", "BM_ManifestLoad/1000000/0",
           "BM_RapidJsonManifest/1000000/0");
// How near the whole load comes to the bare scan under it.
FLOOR_RATIO("Manifest load+index 100,000 files over the JSON scan alone (empty value callback)",
            "BM_ManifestLoad/100000/0", "BM_ScanFloor/100000/0");
// Near 1 when the cost grows linearly with the number of files.
PEER_RATIO("Manifest one load of 100,000 files vs ten loads of 10,000", "BM_ManifestLoad/100000/0",
           "BM_ManifestLoadTimes/10000/0/10");
PEER_RATIO("Manifest one load of 1,000,000 files vs a hundred loads of 10,000", "BM_ManifestLoad/1000000/0",
           "BM_ManifestLoadTimes/10000/0/100");

PEER_RATIO_MAIN()
