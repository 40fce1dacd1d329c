// Workflow costs counted in main-loop passes: a chain of tasks linked by "success" (passes per
// link, with and without 1,000 live tasks beside it), queued events on one workflow (passes per
// event), and the time of a pass with nothing due while 1,000 tasks are live. There is no peer
// to run beside: the budgets are passes, and the counters print them.
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

// Waiting queued events poll once a second; counted in passes, each delay is one pass.
int64_t Collapse(const char* type, const char* name, const char* instance, int32_t, Dictionary* info) {
    NotificationCenter_FireAfterDelayOverride(nullptr);
    NotificationCenter_FireAfterDelay(type, name, instance, 0, info);
    NotificationCenter_FireAfterDelayOverride(Collapse);
    return 1;
}

// A workflow with a chain t0 -> t1 -> ... of `links` links and a task "hold" that never ends.
Workflow* MakeWorkflow(int links) {
    Workflow* workflow = nullptr;
    Workflow_Create(&workflow);
    Workflow_SetPrintCallback(workflow, nullptr, Quiet);
    Workflow_RegisterTaskHandler(workflow, &kStep);
    std::string document = R"({"hold": {"type": "Step", "hold": true}, "idle": {"type": "Step"})";
    for (int i = 0; i <= links; i++) {
        document += ",\"t" + std::to_string(i) + "\": {\"type\": \"Step\"";
        if (i < links) document += ", \"success\": \"t" + std::to_string(i + 1) + "\"";
        document += "}";
    }
    document += "}";
    Workflow_LoadBuffer(workflow, document.c_str(), (int32_t)document.size());
    return workflow;
}

// Runs `live` held tasks and pumps until they have all started.
void Hold(Workflow* workflow, int live) {
    for (int i = 0; i < live; i++) Workflow_RunTask(workflow, "hold", nullptr, nullptr, nullptr);
    for (int i = 0; i < 6; i++) NotificationCenter_Process();
}

void Finish(Workflow* workflow) {
    Workflow_CancelTasks(workflow);
    for (int i = 0; i < 20 && Workflow_IsActivated(workflow); i++) NotificationCenter_Process();
    for (int i = 0; i < 4; i++) NotificationCenter_Process();
    Workflow_Release(&workflow);
}

// Passes until `events` more events have ended.
int PassesUntil(int events) {
    const int target = g_ended + events;
    int passes = 0;
    while (g_ended < target && passes < 100000) {
        NotificationCenter_Process();
        passes++;
    }
    return passes;
}

void BM_Chain(benchmark::State& state) {
    Init();
    const int links = (int)state.range(0);
    const int live = (int)state.range(1);
    Workflow* workflow = MakeWorkflow(links);
    Hold(workflow, live);
    int passes = 0;
    int runs = 0;
    for (auto _ : state) {
        Workflow_RunTask(workflow, "t0", nullptr, nullptr, OnEnd);
        passes += PassesUntil(1);
        runs++;
    }
    state.counters["passes_per_link"] = (double)passes / runs / links;
    state.counters["passes"] = (double)passes / runs;
    std::printf("chain of %d links beside %d live tasks: %.2f passes per link\n", links, live,
                (double)passes / runs / links);
    Finish(workflow);
}
BENCHMARK(BM_Chain)->Args({10, 0})->Args({100, 0})->Args({10, 1000})->Args({100, 1000})->Unit(benchmark::kMillisecond);

void BM_QueuedEvents(benchmark::State& state) {
    Init();
    const int events = (int)state.range(0);
    Workflow* workflow = MakeWorkflow(1);
    NotificationCenter_FireAfterDelayOverride(Collapse);
    int passes = 0;
    int runs = 0;
    for (auto _ : state) {
        for (int i = 0; i < events; i++) Workflow_QueueTask(workflow, "idle", nullptr, nullptr, OnEnd);
        passes += PassesUntil(events);
        runs++;
    }
    NotificationCenter_FireAfterDelayOverride(nullptr);
    state.counters["passes_per_event"] = (double)passes / runs / events;
    std::printf("%d queued events: %.2f passes per event (each wait poll counted as one pass)\n", events,
                (double)passes / runs / events);
    Finish(workflow);
}
BENCHMARK(BM_QueuedEvents)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

// One pass with nothing due while `live` tasks are running.
void BM_IdlePass(benchmark::State& state) {
    Init();
    Workflow* workflow = MakeWorkflow(1);
    Hold(workflow, (int)state.range(0));
    for (auto _ : state) NotificationCenter_Process();
    Finish(workflow);
}
BENCHMARK(BM_IdlePass)->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond);

} // namespace
