// YAML load of a generated 20 MB document (block mappings and sequences, flow lists, plain and
// quoted scalars) beside libyaml building its document tree from the same text. Each side frees
// its tree in the loop and pays its own heap clean-up (malloc_trim) inside its timing.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <string>

#include "bench/peer_ratio.h"
#include "core/formats/yaml.h"
#include "core/runtime/dictionary.h"

#ifdef QVR_HAVE_LIBYAML
#include <yaml.h>
#endif

namespace {

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

// Records like a workflow configuration: nested mappings, a sequence of entries, flow lists of
// numbers, quoted strings with escapes, booleans and nulls.
const std::string& Document() {
    static const std::string text = [] {
        std::string out = "records:\n";
        char line[512];
        for (int32_t i = 0; out.size() < 20u * 1024 * 1024; i++) {
            snprintf(line, sizeof(line),
                     "  - id: %d\n"
                     "    name: record number %d\n"
                     "    title: \"Quoted \\\"title\\\" %d\\twith escapes\"\n"
                     "    enabled: %s\n"
                     "    ratio: %d.%d\n"
                     "    owner: null\n"
                     "    tags: [alpha, beta, %d, -%d.5]\n"
                     "    limits:\n"
                     "      low: %d\n"
                     "      high: 0x%X\n"
                     "      note: 'it''s fine'\n",
                     i, i, i, i % 2 ? "true" : "false", i, i % 10, i, i, i, i * 3);
            out += line;
        }
        return out;
    }();
    return text;
}

void BM_YamlLoad(benchmark::State& state) {
    const std::string& text = Document();
    YAML* yaml = nullptr;
    YAML_Create(&yaml);
    YAML_SetPrintCallback(yaml, nullptr, Quiet);
    for (auto _ : state) {
        Dictionary* dict = nullptr;
        Dictionary_Create(&dict);
        Dictionary_SetPrintCallback(dict, nullptr, Quiet);
        YAML_SetDictionaryHandle(yaml, dict);
        if (!YAML_LoadBuffer(yaml, text.data(), (uint32_t)text.size())) state.SkipWithError("load failed");
        YAML_SetDictionaryHandle(yaml, nullptr);
        Dictionary_Release(&dict);
        malloc_trim(0);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
    YAML_Delete(&yaml);
}
BENCHMARK(BM_YamlLoad)->Unit(benchmark::kMillisecond);

void BM_YamlSave(benchmark::State& state) {
    const std::string& text = Document();
    YAML* yaml = nullptr;
    Dictionary* dict = nullptr;
    YAML_Create(&yaml);
    Dictionary_Create(&dict);
    YAML_SetPrintCallback(yaml, nullptr, Quiet);
    YAML_SetDictionaryHandle(yaml, dict);
    YAML_LoadBuffer(yaml, text.data(), (uint32_t)text.size());
    uint32_t size = 0;
    YAML_SaveBufferEstimate(yaml, &size);
    std::string out(size, '\0');
    for (auto _ : state) {
        uint32_t length = 0;
        if (!YAML_SaveBuffer(yaml, out.data(), size, &length)) state.SkipWithError("save failed");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)size);
    YAML_Delete(&yaml);
    Dictionary_Release(&dict);
}
BENCHMARK(BM_YamlSave)->Unit(benchmark::kMillisecond);

#ifdef QVR_HAVE_LIBYAML
// What a libyaml user does to get a tree: yaml_parser_load into a document, then free it.
void BM_LibyamlLoad(benchmark::State& state) {
    const std::string& text = Document();
    for (auto _ : state) {
        yaml_parser_t parser;
        yaml_document_t document;
        yaml_parser_initialize(&parser);
        yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                                     text.size());
        if (!yaml_parser_load(&parser, &document))
            state.SkipWithError("libyaml load failed");
        else
            yaml_document_delete(&document);
        yaml_parser_delete(&parser);
        malloc_trim(0);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
}
BENCHMARK(BM_LibyamlLoad)->Unit(benchmark::kMillisecond);
PEER_RATIO("YAML load+free 20 MB vs libyaml yaml_parser_load", "BM_YamlLoad", "BM_LibyamlLoad");
#endif

} // namespace

PEER_RATIO_MAIN()
