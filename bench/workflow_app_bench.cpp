// The engine pump's own cost: one pass with nothing due while 0 or 1,000 tasks are tracked as
// running, and the busy question a waiting shutdown asks after every pass. There is no peer to
// run beside; the times are the budget.
#include <benchmark/benchmark.h>

#include <string>

#include "core/runtime/debug.h"
#include "core/runtime/notification_center.h"
#include "workflow/workflow_app.h"

namespace {

void Start() {
    static bool done = false;
    if (done) return;
    done = true;
    WorkflowApp_Init("workflow_app_bench.log", DEBUG_FLAG_EXTERNAL_PRINT);
}

void Track(int tasks) {
    for (int i = 0; i < tasks; i++) {
        const std::string id = "task" + std::to_string(i);
        NotificationCenter_FireWithJSON("Task", "Start", id.c_str(), "{\"name\": \"global\", \"workflow\": \"W%d\"}",
                                        i % 10);
    }
}

void Untrack(int tasks) {
    for (int i = 0; i < tasks; i++) {
        const std::string id = "task" + std::to_string(i);
        NotificationCenter_FireWithJSON("Task", "Complete", id.c_str(), "{\"isRemote\": true}");
    }
    for (int w = 0; w < 10; w++)
        NotificationCenter_FireWithJSON("WorkflowEvent", "Complete", "e", "{\"name\": \"unload\", \"workflow\": \"W%d\"}",
                                        w);
}

void BM_PumpPassIdle(benchmark::State& state) {
    Start();
    const int tasks = static_cast<int>(state.range(0));
    Track(tasks);
    WorkflowApp_Process();
    for (auto _ : state) WorkflowApp_Process();
    Untrack(tasks);
}
BENCHMARK(BM_PumpPassIdle)->Arg(0)->Arg(1000);

// Every tracked task is a "global" one, so the whole list is read each time.
void BM_IsBusy(benchmark::State& state) {
    Start();
    const int tasks = static_cast<int>(state.range(0));
    Track(tasks);
    for (auto _ : state) benchmark::DoNotOptimize(WorkflowApp_IsBusy());
    Untrack(tasks);
}
BENCHMARK(BM_IsBusy)->Arg(1000);

} // namespace
