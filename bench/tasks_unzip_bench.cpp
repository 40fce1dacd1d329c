// Speed of the Unzip task run end to end through the engine (a workflow's task started, its
// worker thread, the main loop pumped until the run has ended) beside `unzip -q`: a 200 MB
// archive of 10,000 deflated entries in 100 folders, extracted into a fresh folder each time. The
// data lives in a fresh directory under /tmp (the same file system for both sides).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "bench/peer_ratio.h"
#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "tasks/task_library.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"

namespace {

void RemoveTree(const std::string& path) {
    nftw(
        path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 64,
        FTW_DEPTH | FTW_PHYS);
}

// 10,000 entries of 20,000 bytes each: words drawn from a seeded generator, so that the entries
// deflate to about a third of their size as ordinary text would.
const char kMakeArchive[] = R"PY(
import random, sys, zipfile
rng = random.Random(7)
words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 9))) for _ in range(4000)]
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED, compresslevel=6) as z:
    for d in range(100):
        for f in range(100):
            text = []
            size = 0
            while size < 20000:
                w = rng.choice(words) + rng.choice(' \n')
                text.append(w)
                size += len(w)
            z.writestr('d%03d/file%03d.txt' % (d, f), ''.join(text)[:20000])
)PY";

class Data {
  public:
    static Data& Get() {
        static Data data;
        return data;
    }
    std::string root, archive, output;
    bool ready = false;

    ~Data() {
        if (engine) {
            uint32_t code = 0;
            WorkflowApp_Remove(&code);
        }
        if (!root.empty()) RemoveTree(root);
    }

  private:
    bool engine = false;

    Data() {
        char pattern[] = "/tmp/qvr-tasks-unzip-bench-XXXXXX";
        if (!mkdtemp(pattern)) return;
        root = pattern;
        archive = root + "/data.zip";
        output = root + "/out";
        TaskLibrary_Register();
        engine = WorkflowApp_Init("tasks_unzip_bench.log", DEBUG_FLAG_EXTERNAL_PRINT) == 1;
        const std::string script = root + "/make.py";
        FILE* file = fopen(script.c_str(), "w");
        if (!file) return;
        fputs(kMakeArchive, file);
        fclose(file);
        ready = engine && system(("/usr/bin/python3 '" + script + "' '" + archive + "'").c_str()) == 0;
    }
};

int64_t Discard(void*, const char*, ...) {
    return 1;
}

// Callback slots keep a flag in the user pointer's lowest bit: the record's address must be even.
struct RunEnd {
    int64_t Ended;
    uint32_t Successful;
};

int64_t OnEnd(Workflow*, void* user, Dictionary* info) {
    RunEnd* end = static_cast<RunEnd*>(user);
    end->Ended = 1;
    Dictionary_GetBooleanByKey(info, "successful", &end->Successful);
    return 1;
}

// Runs one task of a workflow document (JSON) through the engine until its run ends; whether it
// ended successfully.
bool RunTask(const std::string& document) {
    Workflow* workflow = nullptr;
    Workflow_Create(&workflow);
    Workflow_SetPrintCallback(workflow, nullptr, Discard);
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, dict);
    bool ok = JSON_LoadBuffer(json, document.data(), (uint32_t)document.size()) == 1;
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(dict, &root);
    ok = ok && root && Workflow_LoadDictionary(workflow, root, 1) == 1;
    Dictionary_Release(&dict);
    RunEnd end{0, 0};
    ok = ok && Workflow_RunTask(workflow, "t", nullptr, &end, OnEnd) == 1;
    while (ok && !end.Ended) {
        NotificationCenter_Process();
        EventQueue_Flush(nullptr);
        if (!end.Ended) Thread_Wait(1);
    }
    Workflow_Release(&workflow);
    for (int i = 0; i < 5; i++) {
        NotificationCenter_Process();
        EventQueue_Flush(nullptr);
    }
    return ok && end.Successful;
}

void BM_Unzip_Task(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready) return state.SkipWithError("no data");
    const std::string document = "{\"t\": {\"type\": \"Unzip\", \"path\": \"" + data.archive +
                                 "\", \"outputDirectory\": \"" + data.output + "\"}}";
    for (auto _ : state) {
        state.PauseTiming();
        RemoveTree(data.output);
        state.ResumeTiming();
        if (!RunTask(document)) state.SkipWithError("Unzip failed");
    }
    RemoveTree(data.output);
}

void BM_Unzip_unzip(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready) return state.SkipWithError("no data");
    const std::string command = "unzip -q -o '" + data.archive + "' -d '" + data.output + "'";
    for (auto _ : state) {
        state.PauseTiming();
        RemoveTree(data.output);
        state.ResumeTiming();
        if (system(command.c_str()) != 0) state.SkipWithError("unzip failed");
    }
    RemoveTree(data.output);
}

} // namespace

BENCHMARK(BM_Unzip_Task)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_Unzip_unzip)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

PEER_RATIO("Unzip 200 MB, 10,000 deflated entries (task / unzip -q)", "BM_Unzip_Task", "BM_Unzip_unzip");

PEER_RATIO_MAIN()
