// Speed of the JSON reader and writer on a generated 20 MB document, beside RapidJSON's DOM on
// the same text in the same run (when its headers are installed).
#include <benchmark/benchmark.h>

#include <string>

#include "core/formats/json.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"

#if __has_include(<rapidjson/document.h>)
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#define HAVE_RAPIDJSON 1
#endif

namespace {

// Records of mixed content (keys, escaped and non-ASCII strings, integers, reals, literals,
// nested arrays and objects) until the text reaches 20 MB.
const std::string& Document() {
    static const std::string text = [] {
        std::string s = "[";
        s.reserve(21 << 20);
        for (int i = 0; s.size() < (20u << 20); i++) {
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
    }();
    return text;
}

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

// Argument 1: the Dictionary takes its keys and values from its string pool rather than one
// sized allocation each.
void BM_JsonLoad(benchmark::State& state) {
    const std::string& text = Document();
    JSON* json = nullptr;
    Dictionary* dict = nullptr;
    JSON_Create(&json);
    Dictionary_Create(&dict);
    Dictionary_SetPrintCallback(dict, nullptr, Quiet);
    Dictionary_SetStringPool(dict, (uint32_t)state.range(0));
    JSON_SetDictionaryHandle(json, dict);
    for (auto _ : state) {
        if (!JSON_LoadBuffer(json, text.data(), (uint32_t)text.size())) state.SkipWithError("load failed");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
    JSON_Delete(&json);
    Dictionary_Release(&dict);
}
BENCHMARK(BM_JsonLoad)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

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

void BM_JsonSave(benchmark::State& state) {
    const std::string& text = Document();
    JSON* json = nullptr;
    Dictionary* dict = nullptr;
    JSON_Create(&json);
    Dictionary_Create(&dict);
    Dictionary_SetPrintCallback(dict, nullptr, Quiet);
    JSON_SetDictionaryHandle(json, dict);
    JSON_LoadBuffer(json, text.data(), (uint32_t)text.size());
    std::string out(text.size() * 2, '\0');
    uint32_t length = 0;
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
    for (auto _ : state) {
        rapidjson::Document doc;
        doc.Parse(text.data(), text.size());
        if (doc.HasParseError()) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(doc);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
}
BENCHMARK(BM_RapidJsonLoad)->Unit(benchmark::kMillisecond);

void BM_RapidJsonSave(benchmark::State& state) {
    const std::string& text = Document();
    rapidjson::Document doc;
    doc.Parse(text.data(), text.size());
    size_t length = 0;
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        doc.Accept(writer);
        length = buffer.GetSize();
        benchmark::DoNotOptimize(buffer.GetString());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)length);
}
BENCHMARK(BM_RapidJsonSave)->Unit(benchmark::kMillisecond);
#endif

} // namespace
