// The JSON peer's side of a load bench: RapidJSON's DOM parses the text and is freed, with the
// heap handed back afterwards as our side hands back its arena.
#pragma once

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <rapidjson/document.h>

#include <string>

inline void RapidJsonParseLoop(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        {
            rapidjson::Document doc;
            doc.Parse(text.data(), text.size());
            if (doc.HasParseError()) state.SkipWithError("parse failed");
            benchmark::DoNotOptimize(doc);
        }
        malloc_trim(0);
    }
}
