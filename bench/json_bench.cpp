// Speed of the JSON reader and writer on a generated 20 MB document (and of the reader on one
// large object), beside RapidJSON's DOM and nlohmann::json on the same text in the same run (when
// their headers are installed). Loads are timed with the document freed in the loop, as the
// peers' destructors free theirs, and each side pays its own heap clean-up (malloc_trim) inside
// its timing: freed blocks left in the allocator's lists would otherwise be merged on the next
// side's clock. Repetitions of ours and the peers' interleave, so that a slow moment of the
// machine weighs on both. The writers are compared on the same output: both write minified JSON
// with every non-ASCII character escaped, of a text already in the form RapidJSON writes numbers
// in, and each side's bytes are checked against the other's before the timing starts.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/peer_ratio.h"

#include "core/formats/json.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"

#if __has_include(<rapidjson/document.h>)
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#define HAVE_RAPIDJSON 1
#include "bench/rapidjson_peer.h"
#endif
#if __has_include(<nlohmann/json.hpp>)
#include <nlohmann/json.hpp>
#define HAVE_NLOHMANN 1
#endif

namespace {

// Records of mixed content (keys, escaped and non-ASCII strings, integers, reals, literals,
// nested arrays and objects) until the text reaches `megabytes`.
std::string MakeDocument(size_t megabytes) {
    std::string s = "[";
    s.reserve((megabytes + 1) << 20);
    for (int i = 0; s.size() < (megabytes << 20); i++) {
        if (i) s += ",";
        s += "{\"id\":" + std::to_string(i) + ",\"name\":\"user name " + std::to_string(i * 7919) +
             "\",\"score\":" + std::to_string(i % 1000) + "." + std::to_string(i % 97) +
             "e-3,\"active\":" + (i % 3 ? "true" : "false") +
             ",\"note\":null,\"text\":\"caf\\u00e9 \\\"quoted\\\" line\\nbreak \\u4e2d\\u6587\"," +
             "\"tags\":[\"alpha\",\"beta\",\"gamma\",12,-4.5],\"pos\":{\"x\":" + std::to_string(i % 640) +
             ",\"y\":" + std::to_string(i % 480) + ",\"z\":[1,2,3]}}";
    }
    s += "]";
    return s;
}

const std::string& Document() {
    static const std::string text = MakeDocument(20);
    return text;
}

// One object of some 900,000 keys (20 MB), as a large map keyed by name is written: the load
// includes the key index the Dictionary keeps for it (the peers look keys up by scanning).
const std::string& ObjectDocument() {
    static const std::string text = [] {
        std::string s = "{";
        s.reserve(21 << 20);
        for (int i = 0; s.size() < (20u << 20); i++) {
            if (i) s += ",";
            s += "\"key number " + std::to_string(i) + "\":" + std::to_string(i % 1000);
        }
        return s + "}";
    }();
    return text;
}

// The heap in use, the blocks the allocator mapped on their own (large requests) counted too.
size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

// One load as a user makes it: a Dictionary, the text loaded into it, the Dictionary released.
bool LoadOnce(JSON* json, const std::string& text, uint32_t stringPool) {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary_SetPrintCallback(dict, nullptr, Quiet);
    Dictionary_SetStringPool(dict, stringPool);
    JSON_SetDictionaryHandle(json, dict);
    const bool ok = JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()) != 0;
    JSON_SetDictionaryHandle(json, nullptr);
    Dictionary_Release(&dict);
    malloc_trim(0);
    return ok;
}

// The items and the child containers of a loaded tree, counted through the public walk.
void CountLayout(Dictionary* dict, uint64_t* items, uint64_t* containers) {
    DictionaryItem* item = nullptr;
    for (int64_t ok = Dictionary_ItemGetFirst(dict, &item); ok;
         ok = Dictionary_ItemGetNext(dict, item, &item)) {
        (*items)++;
        Dictionary* child = nullptr;
        if (Dictionary_ItemGetDictionaryHandle(dict, item, &child) && child) {
            (*containers)++;
            CountLayout(child, items, containers);
        }
    }
}

// Argument 1: the Dictionary takes its keys and values from its string pool rather than one
// sized allocation each. The counter peak_over_text is the heap the loaded Dictionary holds over
// the size of the text; items_over_text and containers_over_text are the parts of it that the
// item and container records alone take (their count times their size), which any text stored
// beside them adds to.
void BM_JsonLoad(benchmark::State& state) {
    const std::string& text = Document();
    const uint32_t stringPool = (uint32_t)state.range(0);
    JSON* json = nullptr;
    JSON_Create(&json);
    for (auto _ : state) {
        if (!LoadOnce(json, text, stringPool)) state.SkipWithError("load failed");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());

    const size_t before = HeapInUse();
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary_SetPrintCallback(dict, nullptr, Quiet);
    Dictionary_SetStringPool(dict, stringPool);
    JSON_SetDictionaryHandle(json, dict);
    JSON_LoadBuffer(json, text.data(), (uint32_t)text.size());
    state.counters["peak_over_text"] = (double)(HeapInUse() - before) / (double)text.size();
    uint64_t items = 0, containers = 0;
    CountLayout(dict, &items, &containers);
    state.counters["items_over_text"] = (double)(items * sizeof(DictionaryItem)) / (double)text.size();
    state.counters["containers_over_text"] = (double)(containers * sizeof(Dictionary)) / (double)text.size();
    JSON_SetDictionaryHandle(json, nullptr);
    Dictionary_Release(&dict);
    JSON_Delete(&json);
}
BENCHMARK(BM_JsonLoad)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_JsonLoadObject(benchmark::State& state) {
    const std::string& text = ObjectDocument();
    JSON* json = nullptr;
    JSON_Create(&json);
    for (auto _ : state) {
        if (!LoadOnce(json, text, 0)) state.SkipWithError("load failed");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
    JSON_Delete(&json);
}
BENCHMARK(BM_JsonLoadObject)->Unit(benchmark::kMillisecond);

// Load and free at 1, 10 and 100 MB: a linear cost keeps ms_per_MB flat.
void BM_JsonLoadScale(benchmark::State& state) {
    static std::string texts[3];
    const size_t megabytes = (size_t)state.range(0);
    std::string& text = texts[megabytes == 1 ? 0 : megabytes == 10 ? 1 : 2];
    if (text.empty()) text = MakeDocument(megabytes);
    JSON* json = nullptr;
    JSON_Create(&json);
    for (auto _ : state) {
        if (!LoadOnce(json, text, 0)) state.SkipWithError("load failed");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
    state.counters["ms_per_MB"] = benchmark::Counter((double)text.size() / 1048576.0 / 1000.0,
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
    JSON_Delete(&json);
}
BENCHMARK(BM_JsonLoadScale)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

// The scanner alone: the same text with no Dictionary bound, so nothing is stored.
void BM_JsonScanOnly(benchmark::State& state) {
    const std::string& text = Document();
    JSON* json = nullptr;
    JSON_Create(&json);
    for (auto _ : state) {
        if (!JSON_LoadBuffer(json, text.data(), (uint32_t)text.size())) state.SkipWithError("scan failed");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
    JSON_Delete(&json);
}
BENCHMARK(BM_JsonScanOnly)->Unit(benchmark::kMillisecond);

// The load through a Stream: the scanner reads it in large blocks, not a call per character.
void BM_JsonLoadStream(benchmark::State& state) {
    const std::string& text = Document();
    JSON* json = nullptr;
    Dictionary* dict = nullptr;
    JSON_Create(&json);
    Dictionary_Create(&dict);
    Dictionary_SetPrintCallback(dict, nullptr, Quiet);
    JSON_SetDictionaryHandle(json, dict);
    MemoryStream* ms = nullptr;
    MemoryStream_Create(&ms);
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(ms, &stream);
    for (auto _ : state) {
        MemoryStream_SetPointer(ms, const_cast<char*>(text.data()), (uint32_t)text.size(),
                                (uint32_t)text.size());
        if (!JSON_LoadStream(json, stream)) state.SkipWithError("load failed");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
    MemoryStream_Delete(&ms);
    JSON_Delete(&json);
    Dictionary_Release(&dict);
}
BENCHMARK(BM_JsonLoadStream)->Unit(benchmark::kMillisecond);

#ifdef HAVE_RAPIDJSON
using AsciiWriter = rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::ASCII<>>;

// The document as RapidJSON writes it, minified with non-ASCII escaped: the text both writers
// must give back byte for byte.
const std::string& SaveText() {
    static const std::string text = [] {
        rapidjson::Document doc;
        doc.Parse<rapidjson::kParseFullPrecisionFlag>(Document().data(), Document().size());
        rapidjson::StringBuffer buffer;
        AsciiWriter writer(buffer);
        doc.Accept(writer);
        return std::string(buffer.GetString(), buffer.GetSize());
    }();
    return text;
}
#else
const std::string& SaveText() {
    return Document();
}
#endif

void BM_JsonSave(benchmark::State& state) {
    const std::string& text = SaveText();
    JSON* json = nullptr;
    Dictionary* dict = nullptr;
    JSON_Create(&json);
    Dictionary_Create(&dict);
    Dictionary_SetPrintCallback(dict, nullptr, Quiet);
    JSON_SetDictionaryHandle(json, dict);
    JSON_LoadBuffer(json, text.data(), (uint32_t)text.size());
    std::string out(text.size() * 2, '\0');
    uint32_t length = 0;
#ifdef HAVE_RAPIDJSON
    if (!JSON_SaveBuffer(json, out.data(), (uint32_t)out.size(), &length) ||
        std::string(out.data(), length) != text)
        state.SkipWithError("the output differs from RapidJSON's");
#endif
    for (auto _ : state) {
        if (!JSON_SaveBuffer(json, out.data(), (uint32_t)out.size(), &length))
            state.SkipWithError("save failed");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)length);
    JSON_Delete(&json);
    Dictionary_Release(&dict);
}
BENCHMARK(BM_JsonSave)->Unit(benchmark::kMillisecond);

#ifdef HAVE_RAPIDJSON
void BM_RapidJsonLoad(benchmark::State& state) {
    const std::string& text = Document();
    RapidJsonParseLoop(state, text);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
    const size_t before = HeapInUse();
    {
        rapidjson::Document doc;
        doc.Parse(text.data(), text.size());
        state.counters["peak_over_text"] = (double)(HeapInUse() - before) / (double)text.size();
    }
}
BENCHMARK(BM_RapidJsonLoad)->Unit(benchmark::kMillisecond);

void BM_RapidJsonLoadObject(benchmark::State& state) {
    const std::string& text = ObjectDocument();
    RapidJsonParseLoop(state, text);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
}
BENCHMARK(BM_RapidJsonLoadObject)->Unit(benchmark::kMillisecond);

void BM_RapidJsonSave(benchmark::State& state) {
    const std::string& text = SaveText();
    // Read with every digit, so that the numbers written are those of the text.
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
    size_t length = 0;
    {
        rapidjson::StringBuffer buffer;
        AsciiWriter writer(buffer);
        doc.Accept(writer);
        if (std::string(buffer.GetString(), buffer.GetSize()) != text)
            state.SkipWithError("RapidJSON does not give its own text back");
    }
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        AsciiWriter writer(buffer);
        doc.Accept(writer);
        length = buffer.GetSize();
        benchmark::DoNotOptimize(buffer.GetString());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)length);
}
BENCHMARK(BM_RapidJsonSave)->Unit(benchmark::kMillisecond);
PEER_RATIO("JSON load+free 20 MB vs RapidJSON DOM", "BM_JsonLoad/0", "BM_RapidJsonLoad");
PEER_RATIO("JSON load+free 20 MB (string pool) vs RapidJSON DOM", "BM_JsonLoad/1", "BM_RapidJsonLoad");
PEER_RATIO("JSON load+free 20 MB, one object of 900,000 keys, vs RapidJSON DOM", "BM_JsonLoadObject",
           "BM_RapidJsonLoadObject");
PEER_RATIO("JSON save 20 MB vs RapidJSON Writer", "BM_JsonSave", "BM_RapidJsonSave");
#endif

#ifdef HAVE_NLOHMANN
void BM_NlohmannLoad(benchmark::State& state) {
    const std::string& text = Document();
    for (auto _ : state) {
        {
            nlohmann::json doc = nlohmann::json::parse(text);
            benchmark::DoNotOptimize(doc);
        }
        malloc_trim(0);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
}
BENCHMARK(BM_NlohmannLoad)->Unit(benchmark::kMillisecond);
PEER_RATIO("JSON load+free 20 MB vs nlohmann::json", "BM_JsonLoad/0", "BM_NlohmannLoad");
PEER_RATIO("JSON load+free 20 MB (string pool) vs nlohmann::json", "BM_JsonLoad/1", "BM_NlohmannLoad");
#endif

} // namespace

PEER_RATIO_MAIN()
