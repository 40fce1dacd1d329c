// Speed of the system formatter against the C library's snprintf on the same formats, arguments
// and buffer size. Our %f prints 12 decimals, so it is set against snprintf's "%.12f".

#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench/peer_ratio.h"
#include "core/runtime/string_print.h"

namespace {

constexpr int32_t kBufferSize = 256;

const int32_t kIntegers[8] = {0, 7, -42, 12345, -987654, 2147483647, 31337, -1};
const double kDoubles[8] = {0.0, 1.5, -3.14159265358979, 12345.678, 0.000123, 98765.4321, -2.5e-3, 42.0};
const char* const kTexts[8] = {
    "a", "hello", "formatter", "some longer text of forty bytes or so...", "x", "path/to/file.txt",
    "",  "key"};

void BM_Print_Int(benchmark::State& state) {
    char buffer[kBufferSize];
    uint32_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(String_Print(buffer, kBufferSize, "%d", kIntegers[i++ & 7]));
        benchmark::ClobberMemory();
    }
}
void BM_Snprintf_Int(benchmark::State& state) {
    char buffer[kBufferSize];
    uint32_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(snprintf(buffer, kBufferSize, "%d", kIntegers[i++ & 7]));
        benchmark::ClobberMemory();
    }
}

void BM_Print_String(benchmark::State& state) {
    char buffer[kBufferSize];
    uint32_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(String_Print(buffer, kBufferSize, "%s", kTexts[i++ & 7]));
        benchmark::ClobberMemory();
    }
}
void BM_Snprintf_String(benchmark::State& state) {
    char buffer[kBufferSize];
    uint32_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(snprintf(buffer, kBufferSize, "%s", kTexts[i++ & 7]));
        benchmark::ClobberMemory();
    }
}

void BM_Print_Float(benchmark::State& state) {
    char buffer[kBufferSize];
    uint32_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(String_Print(buffer, kBufferSize, "%f", kDoubles[i++ & 7]));
        benchmark::ClobberMemory();
    }
}
void BM_Snprintf_Float12(benchmark::State& state) {
    char buffer[kBufferSize];
    uint32_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(snprintf(buffer, kBufferSize, "%.12f", kDoubles[i++ & 7]));
        benchmark::ClobberMemory();
    }
}
void BM_Snprintf_Float6(benchmark::State& state) {
    char buffer[kBufferSize];
    uint32_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(snprintf(buffer, kBufferSize, "%f", kDoubles[i++ & 7]));
        benchmark::ClobberMemory();
    }
}

void BM_Print_Hex(benchmark::State& state) {
    char buffer[kBufferSize];
    uint32_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(String_Print(buffer, kBufferSize, "%x", kIntegers[i++ & 7]));
        benchmark::ClobberMemory();
    }
}
void BM_Snprintf_Hex(benchmark::State& state) {
    char buffer[kBufferSize];
    uint32_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(snprintf(buffer, kBufferSize, "%x", kIntegers[i++ & 7]));
        benchmark::ClobberMemory();
    }
}

// A typical log line: text, a padded number, a float with a precision, hex and a literal '%'.
#define MIXED_FORMAT "[%s] item %5d of %d, %.2f%% done, id=%08x\n"

void BM_Print_Mixed(benchmark::State& state) {
    char buffer[kBufferSize];
    uint32_t i = 0;
    for (auto _ : state) {
        const uint32_t k = i++ & 7;
        benchmark::DoNotOptimize(String_Print(buffer, kBufferSize, MIXED_FORMAT, kTexts[k], kIntegers[k],
                                              1000, kDoubles[k], kIntegers[k]));
        benchmark::ClobberMemory();
    }
}
void BM_Snprintf_Mixed(benchmark::State& state) {
    char buffer[kBufferSize];
    uint32_t i = 0;
    for (auto _ : state) {
        const uint32_t k = i++ & 7;
        benchmark::DoNotOptimize(snprintf(buffer, kBufferSize, MIXED_FORMAT, kTexts[k], kIntegers[k], 1000,
                                          kDoubles[k], kIntegers[k]));
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_Print_Int);
BENCHMARK(BM_Snprintf_Int);
BENCHMARK(BM_Print_String);
BENCHMARK(BM_Snprintf_String);
BENCHMARK(BM_Print_Float);
BENCHMARK(BM_Snprintf_Float12);
BENCHMARK(BM_Snprintf_Float6);
BENCHMARK(BM_Print_Hex);
BENCHMARK(BM_Snprintf_Hex);
BENCHMARK(BM_Print_Mixed);
BENCHMARK(BM_Snprintf_Mixed);

} // namespace

PEER_RATIO("print of an integer vs snprintf", "BM_Print_Int", "BM_Snprintf_Int");
PEER_RATIO("print of a text vs snprintf", "BM_Print_String", "BM_Snprintf_String");
PEER_RATIO("print of a real, 12 decimals, vs snprintf", "BM_Print_Float", "BM_Snprintf_Float12");
PEER_RATIO("print in hexadecimal vs snprintf", "BM_Print_Hex", "BM_Snprintf_Hex");
PEER_RATIO("print of a mixed format vs snprintf", "BM_Print_Mixed", "BM_Snprintf_Mixed");
PEER_RATIO_MAIN()
