// Costs of the engine's own task types counted in main-loop passes: a Queue of n actions and an
// Aggregate of n entries, each run to its end. The budget is passes linear in n; the counters
// print passes per action, which must stay flat as n grows. There is no peer to run beside.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "tests/support/engine_task_type.h"
#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "workflow/task.h"
#include "workflow/workflow.h"

namespace {

using engine_task_type::kStep;
using engine_task_type::Quiet;

void Init() {
    engine_task_type::InitRuntimeOnce();
}

int g_ended = 0;
int64_t OnEnd(Workflow*, void*, Dictionary*) {
    g_ended++;
    return 1;
}

Workflow* MakeWorkflow(const std::string& document) {
    Workflow* workflow = nullptr;
    Workflow_Create(&workflow);
    Workflow_SetPrintCallback(workflow, nullptr, Quiet);
    Workflow_RegisterDefaultTasks(workflow);
    Workflow_RegisterTaskHandler(workflow, &kStep);
    Workflow_LoadBuffer(workflow, document.c_str(), (int32_t)document.size());
    return workflow;
}

// Runs `name` to its end; the passes it took.
int RunPasses(Workflow* workflow, const char* name) {
    const int target = g_ended + 1;
    Workflow_RunTask(workflow, name, nullptr, nullptr, OnEnd);
    int passes = 0;
    while (g_ended < target && passes < 1000000) {
        NotificationCenter_Process();
        passes++;
    }
    return passes;
}

void Report(benchmark::State& state, const char* what, int n, int passes, int runs) {
    const double perAction = (double)passes / runs / n;
    state.counters["passes"] = (double)passes / runs;
    state.counters["passes_per_action"] = perAction;
    std::printf("%s of %d: %.0f passes, %.2f per action\n", what, n, (double)passes / runs, perAction);
}

void BM_Queue(benchmark::State& state) {
    Init();
    const int n = (int)state.range(0);
    std::string document = R"({"s": {"type": "Step"}, "q": {"type": "Queue", "actions": [)";
    for (int i = 0; i < n; i++) document += std::string(i ? "," : "") + "\"s\"";
    document += "]}}";
    Workflow* workflow = MakeWorkflow(document);
    int passes = 0, runs = 0;
    for (auto _ : state) {
        passes += RunPasses(workflow, "q");
        runs++;
    }
    Report(state, "queue", n, passes, runs);
    Workflow_Release(&workflow);
}
BENCHMARK(BM_Queue)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_Aggregate(benchmark::State& state) {
    Init();
    const int n = (int)state.range(0);
    std::string content = "[";
    for (int i = 0; i < n; i++) content += std::string(i ? "," : "") + "{\"id\": " + std::to_string(i) + "}";
    content += "]";
    const std::string document = R"({"s": {"type": "Step"}, "g": {"type": "Aggregate", "target": "s.item", "content": )" +
                                 content + "}}";
    Workflow* workflow = MakeWorkflow(document);
    int passes = 0, runs = 0;
    for (auto _ : state) {
        passes += RunPasses(workflow, "g");
        runs++;
    }
    Report(state, "aggregate", n, passes, runs);
    Workflow_Release(&workflow);
}
BENCHMARK(BM_Aggregate)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

} // namespace
