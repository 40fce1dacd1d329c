// Cost of one log line written to a file, with the verbose filter empty and with a filter that
// every line is checked against, beside fprintf to a file (buffered, and flushed per line as the
// log's own writes are).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "bench/peer_ratio.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"

namespace {

std::string TempLog(const char* name) {
    char pattern[] = "/tmp/qvr-bench-XXXXXX";
    const char* dir = mkdtemp(pattern);
    return std::string(dir ? dir : "/tmp") + "/" + name;
}

void LogLine(benchmark::State& state, const char* filter) {
    const std::string path = TempLog("bench.log");
    Debug_Init(path.c_str(), nullptr, DEBUG_FLAG_FILE);
    Log_SetVerboseFilter(filter);
    int32_t i = 0;
    for (auto _ : state) {
        int32_t level = 0;
        // A module asks the filter before it writes a detailed line.
        if (!filter || Log_GetVerboseLevel("WebGetRequest", &level))
            Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 1, "Request %d finished with %s in %.3f s\n", i++,
                         "success", 0.125);
    }
    Debug_Remove();
    unlink(path.c_str());
}

void BM_Log_FilterOff(benchmark::State& state) { LogLine(state, nullptr); }
void BM_Log_FilterOn(benchmark::State& state) {
    LogLine(state, "Dictionary,2Task*,!TaskWait,WebGet*,3Http*,!WebGetPool,Analytics");
}

void Fprintf(benchmark::State& state, bool flushEachLine) {
    const std::string path = TempLog("fprintf.log");
    FILE* file = fopen(path.c_str(), "w");
    int32_t i = 0;
    for (auto _ : state) {
        fprintf(file, "12/06/2026 21:40:52 INFO -     Request %d finished with %s in %.3f s\n", i++, "success",
                0.125);
        if (flushEachLine) fflush(file);
    }
    fclose(file);
    unlink(path.c_str());
}

void BM_Fprintf_Buffered(benchmark::State& state) { Fprintf(state, false); }
void BM_Fprintf_FlushEachLine(benchmark::State& state) { Fprintf(state, true); }

} // namespace

BENCHMARK(BM_Log_FilterOff);
BENCHMARK(BM_Log_FilterOn);
BENCHMARK(BM_Fprintf_Buffered);
BENCHMARK(BM_Fprintf_FlushEachLine);

// The log writes each line through to its file, as fprintf does when flushed after each.
PEER_RATIO("log line, no filter, vs fprintf flushed per line", "BM_Log_FilterOff",
           "BM_Fprintf_FlushEachLine");
PEER_RATIO("log line, filter asked, vs fprintf flushed per line", "BM_Log_FilterOn",
           "BM_Fprintf_FlushEachLine");
PEER_RATIO_MAIN()
