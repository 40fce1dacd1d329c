// Cost of reading and writing a number's text, per kind of number: the readers and the writer the
// program calls, one text at a time beside the standard conversions; then a user's whole job, a
// document of 1M numbers loaded and every number read out, beside RapidJSON's DOM at full precision
// doing the same on the same text (when its headers are installed). `valgrind --tool=callgrind` on
// the per-text rows gives instruction counts that hold on a busy machine.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"

#if __has_include(<rapidjson/document.h>)
#include <rapidjson/document.h>
#define HAVE_RAPIDJSON 1
#endif

namespace {

constexpr int kTexts = 4096;
constexpr int kDocumentNumbers = 1000000;

// The i-th number of a kind, as a program writes it: 0 a 17-digit double, 1 a two-place decimal,
// 2 an integer.
std::string NumberText(int kind, uint32_t i) {
    char text[40];
    const uint32_t mixed = i * 2654435761u;
    if (kind == 0)
        snprintf(text, sizeof(text), "%.17g", (double)mixed / 4294967296.0 * 1000.0);
    else if (kind == 1)
        snprintf(text, sizeof(text), "%u.%02u", mixed % 100000, mixed % 100);
    else
        snprintf(text, sizeof(text), "%u", mixed % 10000000);
    return text;
}

const std::vector<std::string>& Texts(int kind) {
    static std::vector<std::string> texts[3];
    if (texts[kind].empty())
        for (uint32_t i = 0; i < kTexts; i++) texts[kind].push_back(NumberText(kind, i));
    return texts[kind];
}

const std::string& Document(int kind) {
    static std::string documents[3];
    std::string& text = documents[kind];
    if (text.empty()) {
        text.push_back('[');
        for (uint32_t i = 0; i < kDocumentNumbers; i++) {
            if (i) text += ",";
            text += NumberText(kind, i);
        }
        text += "]";
    }
    return text;
}

void BM_StringAtoF(benchmark::State& state) {
    const std::vector<std::string>& texts = Texts((int)state.range(0));
    for (auto _ : state)
        for (const std::string& text : texts) benchmark::DoNotOptimize(String_AtoF(text.c_str()));
    state.SetItemsProcessed(state.iterations() * kTexts);
}
BENCHMARK(BM_StringAtoF)->DenseRange(0, 2);

void BM_StringParseNumber(benchmark::State& state) {
    const std::vector<std::string>& texts = Texts((int)state.range(0));
    for (auto _ : state)
        for (const std::string& text : texts) {
            double value = 0;
            benchmark::DoNotOptimize(String_ParseNumber(text.data(), text.size(), &value, nullptr));
            benchmark::DoNotOptimize(value);
        }
    state.SetItemsProcessed(state.iterations() * kTexts);
}
BENCHMARK(BM_StringParseNumber)->DenseRange(0, 2);

// ---- Beside the standard conversions ------------------------------------------------------------
// One text at a time, per kind of number. The readers the program calls (String_ParseNumber for
// items, documents and task arguments, String_ParseNumberText for terminated texts,
// String_AtoFLength for the manifest) beside std::from_chars on the same text; the writer
// (String_PrintNumber) beside std::to_chars writing the shortest text of the same double.
// Instructions per call, which hold on a busy machine, counted on the function the program calls
// and on the peer's single call, on a Release build:
//   valgrind --tool=callgrind --toggle-collect='String_PrintNumber(*' <bench>
//            --benchmark_filter='BM_String_PrintNumber/5$' --benchmark_min_time=0
// and the collected total divided by kTexts (the row runs one iteration of kTexts calls); for the
// peers --toggle-collect='std::from_chars(*' or 'std::to_chars(*'. A toggled function is counted
// wherever it is called, so the fixture makes its texts and values with snprintf and strtod only,
// before the measured run: neither a peer nor ours is called outside the measured calls (the
// `calls=` lines of the output file name the function kTexts times).

constexpr int kKinds = 11;
const char* const kKindNames[kKinds] = {"1..999",
                                        "3.14",
                                        "17 digits",
                                        "exponents",
                                        "40 digits",
                                        "powers of two",
                                        "subnormals",
                                        "whole beyond 2^53",
                                        "random 17 digits",
                                        "19 digits across the range",
                                        "long, next to a tie"};

// The "%g" text of the fewest digits that reads back as the double (the fixture's own, so that
// the peer measured is not called to make it).
std::string Shortest(double value) {
    char text[40];
    for (int digits = 1;; digits++) {
        snprintf(text, sizeof(text), "%.*g", digits, value);
        if (strtod(text, nullptr) == value || digits == 17) return text;
    }
}

// The exact decimal of the point halfway between a double and the next one above, its last digit
// moved by one unit or one more digit added, so that the text lies just below or just above the
// tie and every digit decides the rounding.
std::string NextToATie(uint64_t bits, bool above) {
    const double value = std::bit_cast<double>(bits);
    const long double half = ((long double)value + (long double)std::nextafter(value, HUGE_VAL)) / 2;
    static char text[1200];
    snprintf(text, sizeof(text), "%.1100Le", half);
    std::string digits(text, strchr(text, 'e'));
    const std::string exponent(strchr(text, 'e'));
    while (digits.back() == '0') digits.pop_back();
    // The halfway point's last digit is a 5.
    if (above) {
        digits += "1";
    } else {
        digits.back() = '4';
        digits += "9";
    }
    return digits + exponent;
}

std::string TableText(int kind, uint32_t i) {
    char text[64];
    const uint32_t mixed = i * 2654435761u;
    const uint64_t wide = (uint64_t)mixed * 0x9E3779B97F4A7C15ull ^ ((uint64_t)i << 40);
    switch (kind) {
    case 0:
        snprintf(text, sizeof(text), "%u", 1 + mixed % 999);
        break;
    case 1:
        snprintf(text, sizeof(text), "%u.%02u", mixed % 100, (mixed >> 8) % 100);
        break;
    case 2:
        snprintf(text, sizeof(text), "%.17g", (double)mixed / 4294967296.0 * 1000.0);
        break;
    case 3:
        snprintf(text, sizeof(text), "%.8e",
                 std::ldexp(1.0 + mixed / 4294967296.0, (int)(mixed % 1600) - 800));
        break;
    case 4:
        for (int d = 0; d < 40; d++)
            text[d] = (char)('0' + (i * 7919u + (uint32_t)d * 104729u + (mixed >> (d % 24))) % 10);
        text[0] = (char)('1' + i % 9);
        text[40] = 0;
        memmove(text + 21, text + 20, 21);
        text[20] = '.';
        break;
    case 5:
        return Shortest(std::ldexp(1.0, (int)(mixed % 2046) - 1022));
    case 6:
        return Shortest(std::bit_cast<double>(wide & ((uint64_t{1} << 52) - 1)));
    case 7:
        snprintf(text, sizeof(text), "%llu",
                 (unsigned long long)((uint64_t{1} << 53) + wide % 9000000000000000000ull));
        break;
    case 8:
        // Any finite double whose shortest text has 17 digits: 16 do not read back.
        for (uint64_t bits = wide;; bits = bits * 6364136223846793005ull + 1442695040888963407ull) {
            const double value = std::bit_cast<double>(bits & 0x7FEFFFFFFFFFFFFFull);
            snprintf(text, sizeof(text), "%.16g", value);
            if (strtod(text, nullptr) == value) continue;
            snprintf(text, sizeof(text), "%.17g", value);
            break;
        }
        break;
    case 9: {
        // 19 significant digits, scaled anywhere from the subnormals to the largest doubles: one
        // digit before the point, or all 19 as a whole number before the exponent.
        const int scale = (int)((wide >> 40) % 631) - 323;
        snprintf(text, sizeof(text), "%llu", (unsigned long long)(1000000000000000000ull + wide % 9000000000000000000ull));
        if (i & 1) {
            snprintf(text + 19, sizeof(text) - 19, "e%d", scale - 18);
        } else {
            memmove(text + 2, text + 1, 19);
            text[1] = '.';
            snprintf(text + 20, sizeof(text) - 20, "e%d", scale);
        }
        break;
    }
    default:
        // Doubles from 2^-1000 to 2^1000, whose halfway points have from 17 to about 750 significant
        // digits (most of them several hundred).
        return NextToATie(std::bit_cast<uint64_t>(std::ldexp(1.0 + (double)(wide >> 12) / 4503599627370496.0,
                                                             (int)(mixed % 2001) - 1000)),
                          i & 1);
    }
    return text;
}

const std::vector<std::string>& TableTexts(int kind) {
    static std::vector<std::string> texts[kKinds];
    if (texts[kind].empty())
        for (uint32_t i = 0; i < kTexts; i++) texts[kind].push_back(TableText(kind, i));
    return texts[kind];
}

const std::vector<double>& TableValues(int kind) {
    static std::vector<double> values[kKinds];
    if (values[kind].empty())
        for (const std::string& text : TableTexts(kind))
            values[kind].push_back(strtod(text.c_str(), nullptr));
    return values[kind];
}

// Runs read(text) over the kind's texts.
template <typename Read> void ReadTexts(benchmark::State& state, Read read) {
    const std::vector<std::string>& texts = TableTexts((int)state.range(0));
    for (auto _ : state)
        for (const std::string& text : texts) benchmark::DoNotOptimize(read(text));
    state.SetItemsProcessed(state.iterations() * kTexts);
    state.SetLabel(kKindNames[state.range(0)]);
}

void BM_String_ParseNumber(benchmark::State& state) {
    ReadTexts(state, [](const std::string& text) {
        double value = 0;
        String_ParseNumber(text.data(), text.size(), &value, nullptr);
        return value;
    });
}
BENCHMARK(BM_String_ParseNumber)->DenseRange(0, kKinds - 1);

void BM_String_ParseNumberText(benchmark::State& state) {
    ReadTexts(state, [](const std::string& text) {
        double value = 0;
        String_ParseNumberText(text.c_str(), &value, nullptr);
        return value;
    });
}
BENCHMARK(BM_String_ParseNumberText)->DenseRange(0, kKinds - 1);

void BM_String_AtoFLength(benchmark::State& state) {
    ReadTexts(state, [](const std::string& text) { return String_AtoFLength(text.data(), text.size()); });
}
BENCHMARK(BM_String_AtoFLength)->DenseRange(0, kKinds - 1);

void BM_std_from_chars(benchmark::State& state) {
    ReadTexts(state, [](const std::string& text) {
        double value = 0;
        std::from_chars(text.data(), text.data() + text.size(), value);
        return value;
    });
}
BENCHMARK(BM_std_from_chars)->DenseRange(0, kKinds - 1);

// Runs write(value, text) over the kind's values.
template <typename Write> void WriteValues(benchmark::State& state, Write write) {
    const std::vector<double>& values = TableValues((int)state.range(0));
    char text[32];
    for (auto _ : state)
        for (double value : values) {
            benchmark::DoNotOptimize(write(value, text));
            benchmark::ClobberMemory();
        }
    state.SetItemsProcessed(state.iterations() * kTexts);
    state.SetLabel(kKindNames[state.range(0)]);
}

void BM_String_PrintNumber(benchmark::State& state) {
    WriteValues(state, [](double value, char* text) { return String_PrintNumber(value, text, 32); });
}
BENCHMARK(BM_String_PrintNumber)->DenseRange(0, kKinds - 1);

void BM_std_to_chars(benchmark::State& state) {
    WriteValues(state, [](double value, char* text) { return std::to_chars(text, text + 32, value).ptr; });
}
BENCHMARK(BM_std_to_chars)->DenseRange(0, kKinds - 1);

// A loaded document's numbers read out through the item getter, the load included.
void BM_JsonLoadAndReadNumbers(benchmark::State& state) {
    const std::string& text = Document((int)state.range(0));
    for (auto _ : state) {
        Dictionary* dict = nullptr;
        JSON* json = nullptr;
        Dictionary_Create(&dict);
        JSON_Create(&json);
        JSON_SetDictionaryHandle(json, dict);
        if (!JSON_LoadBuffer(json, text.data(), (uint32_t)text.size())) state.SkipWithError("load failed");
        DictionaryItem* top = nullptr;
        Dictionary* list = nullptr;
        Dictionary_ItemGetFirst(dict, &top);
        Dictionary_ItemGetDictionaryHandle(dict, top, &list);
        double sum = 0;
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
            double value = 0;
            Dictionary_ItemGetFloat64(list, item, &value);
            sum += value;
        }
        benchmark::DoNotOptimize(sum);
        JSON_Delete(&json);
        Dictionary_Release(&dict);
        malloc_trim(0);
    }
    state.SetItemsProcessed(state.iterations() * kDocumentNumbers);
}
BENCHMARK(BM_JsonLoadAndReadNumbers)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

#ifdef HAVE_RAPIDJSON
void BM_RapidJsonFullPrecisionLoadAndReadNumbers(benchmark::State& state) {
    const std::string& text = Document((int)state.range(0));
    for (auto _ : state) {
        {
            rapidjson::Document doc;
            doc.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
            if (doc.HasParseError()) state.SkipWithError("parse failed");
            double sum = 0;
            for (const rapidjson::Value& v : doc.GetArray()) sum += v.GetDouble();
            benchmark::DoNotOptimize(sum);
        }
        malloc_trim(0);
    }
    state.SetItemsProcessed(state.iterations() * kDocumentNumbers);
}
BENCHMARK(BM_RapidJsonFullPrecisionLoadAndReadNumbers)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
#endif

} // namespace
