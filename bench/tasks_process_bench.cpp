// Speed of the process-facing task types run end to end through the engine beside the tools a
// script would use: ProcessList over every process of the machine (its sub-action names no task)
// beside `ps -e -o pid,ppid,args`, ProcessIsOpen looking for a program that does not run (every
// process examined) beside `pgrep -f`, and 50 Launch runs of /bin/true, each waited for, beside a
// shell loop running /bin/true as often, also from inside this process holding 1 GiB of touched
// memory (a host with a browser engine and large dictionaries holds that much: a launch that
// copied the address space would pay for every page of it). The Launch pairs also count CPU
// seconds per iteration, the programs they started included, since the shell's work is all in its
// children.
//
// A tool's start-up (about 1.5 ms for pgrep or ps) would outweigh a scan of the couple of hundred
// processes an idle machine has, so the process lists run with 1,500 idle processes added: each
// tool's start-up is then under 5 % of its time.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/peer_ratio.h"
#include "bench/task_run.h"
#include "core/runtime/debug.h"
#include "tasks/task_library.h"
#include "workflow/workflow_app.h"

namespace {

constexpr int kLaunches = 50;
constexpr int kIdle = 1500;

// Processes that only wait, for the lists to walk; they die with this process however it ends.
struct IdleProcesses {
    std::vector<pid_t> Pids;
    IdleProcesses() {
        for (int i = 0; i < kIdle; i++) {
            const pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                for (;;) pause();
            }
            if (pid < 0) break;
            Pids.push_back(pid);
        }
    }
    ~IdleProcesses() {
        for (pid_t pid : Pids) kill(pid, SIGKILL);
        for (pid_t pid : Pids) waitpid(pid, nullptr, 0);
    }
};

bool Idle() {
    static IdleProcesses idle;
    return idle.Pids.size() == (size_t)kIdle;
}

bool Engine() {
    static const bool ready = [] {
        TaskLibrary_Register();
        return WorkflowApp_Init("tasks_process_bench.log", DEBUG_FLAG_EXTERNAL_PRINT) == 1;
    }();
    return ready;
}

// The list's sub-action names no task, so its run counts as failed: only its time matters.
void Task(benchmark::State& state, const std::string& document, int runs = 1, bool mustSucceed = true) {
    if (!Idle()) return state.SkipWithError("the idle processes could not be started");
    if (!Engine()) return state.SkipWithError("no engine");
    for (auto _ : state)
        for (int i = 0; i < runs; i++)
            if (!task_run::RunTask(document) && mustSucceed) return state.SkipWithError("task failed");
}

void Tool(benchmark::State& state, const std::string& command, int expected = 0) {
    if (!Idle()) return state.SkipWithError("the idle processes could not be started");
    for (auto _ : state) {
        const int status = system(command.c_str());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != expected) return state.SkipWithError("tool failed");
    }
}

void BM_ProcessList_Task(benchmark::State& state) {
    Task(state, R"({"t": {"type": "ProcessList", "forEach": "nothing"}})", 1, false);
}
void BM_ProcessList_ps(benchmark::State& state) {
    Tool(state, "ps -e -o pid,ppid,args > /dev/null");
}
void BM_ProcessIsOpen_Task(benchmark::State& state) {
    Task(state, R"({"t": {"type": "ProcessIsOpen", "path": "no-such-program-*"}})");
}
void BM_ProcessIsOpen_pgrep(benchmark::State& state) {
    // The bracket keeps the pattern from matching the shell that runs pgrep.
    Tool(state, "pgrep -f 'no-such-progra[m]-' > /dev/null", 1);
}
double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// This process and its reaped children, whose CPU time is where a shell loop spends it.
double CpuWithChildren() {
    return CpuSeconds(RUSAGE_SELF) + CpuSeconds(RUSAGE_CHILDREN);
}

void CountCpu(benchmark::State& state, double before) {
    state.counters["cpu_s"] = benchmark::Counter((CpuWithChildren() - before) / (double)state.iterations());
}

void BM_Launch_Task(benchmark::State& state) {
    const double before = CpuWithChildren();
    Task(state, R"({"t": {"type": "Launch", "path": "/bin/true", "waitForExit": true}})", kLaunches);
    CountCpu(state, before);
}
// 1 GiB mapped and written for the run of one benchmark, every page of it resident.
struct HeldMemory {
    static constexpr size_t kSize = size_t{1} << 30;
    void* Base = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    HeldMemory() {
        if (Base != MAP_FAILED) memset(Base, 0x5a, kSize);
    }
    ~HeldMemory() {
        if (Base != MAP_FAILED) munmap(Base, kSize);
    }
};

void BM_Launch_Task_Holding1GiB(benchmark::State& state) {
    // The idle processes are forked first: forked while the memory is held, each would copy its
    // page tables.
    if (!Idle()) return state.SkipWithError("the idle processes could not be started");
    HeldMemory held;
    if (held.Base == MAP_FAILED) return state.SkipWithError("1 GiB could not be mapped");
    const double before = CpuWithChildren();
    Task(state, R"({"t": {"type": "Launch", "path": "/bin/true", "waitForExit": true}})", kLaunches);
    CountCpu(state, before);
    benchmark::DoNotOptimize(static_cast<volatile char*>(held.Base)[12345]);
}
void BM_Launch_sh(benchmark::State& state) {
    const double before = CpuWithChildren();
    Tool(state, "i=0; while [ $i -lt " + std::to_string(kLaunches) + " ]; do /bin/true; i=$((i+1)); done");
    CountCpu(state, before);
}

} // namespace

BENCHMARK(BM_ProcessList_Task)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProcessList_ps)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProcessIsOpen_Task)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProcessIsOpen_pgrep)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Launch_Task)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Launch_Task_Holding1GiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Launch_sh)->Unit(benchmark::kMillisecond)->UseRealTime();

PEER_RATIO("ProcessList vs ps -e", "BM_ProcessList_Task", "BM_ProcessList_ps");
PEER_RATIO("ProcessIsOpen vs pgrep -f", "BM_ProcessIsOpen_Task", "BM_ProcessIsOpen_pgrep");
PEER_RATIO("Launch /bin/true x50 vs sh loop", "BM_Launch_Task", "BM_Launch_sh");
PEER_RATIO("Launch /bin/true x50 holding 1 GiB vs sh loop", "BM_Launch_Task_Holding1GiB", "BM_Launch_sh");
PEER_RATIO_MAIN();
