// CPU that an idle host spends: the host with a headless browser and window layer runs its 15 ms
// tick on the GLib loop for a few seconds, set beside a bare GLib loop with the same empty 15 ms
// timeout. The time of each run is the CPU time the process took in the window, read from /proc;
// "cpu_percent" is that time over the window.
#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <dirent.h>
#include <glib.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/peer_ratio.h"

namespace {

constexpr double kWindowSeconds = 3.0;

// CPU time of every thread of the process, in seconds: the scheduler's nanosecond counts, fine
// enough for an idle loop that the clock-tick counts of /proc/<pid>/stat would show as zero.
double CpuSeconds(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return -1;
    unsigned long long total = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        FILE* file = fopen((tasks + "/" + entry->d_name + "/schedstat").c_str(), "r");
        if (!file) continue;
        unsigned long long ns = 0;
        if (fscanf(file, "%llu", &ns) == 1) total += ns;
        fclose(file);
    }
    closedir(dir);
    return (double)total / 1e9;
}

// Waits (bounded) until the child writes a line to the pipe: it is up and idle from then on.
bool WaitReady(int fd) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) return false;
    char buffer[256];
    return read(fd, buffer, sizeof(buffer)) > 0;
}

void Measure(benchmark::State& state, pid_t pid, int fd) {
    if (pid <= 0 || !WaitReady(fd)) {
        state.SkipWithError("the idle process did not start");
    } else {
        const double before = CpuSeconds(pid);
        usleep((useconds_t)(kWindowSeconds * 1e6));
        const double used = CpuSeconds(pid) - before;
        state.SetIterationTime(used > 0 ? used : 1e-6);
        state.counters["cpu_percent"] = 100.0 * used / kWindowSeconds;
    }
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
    }
    close(fd);
}

pid_t StartHost(int* fd) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    char skin[] = "/tmp/host-idle-XXXXXX";
    if (!mkdtemp(skin)) return -1;
    std::string dir = skin;
    FILE* f = fopen((dir + "/app.yaml").c_str(), "w");
    if (f) fprintf(f, "name: \"host-idle-%d\"\n", (int)getpid()), fclose(f);
    f = fopen((dir + "/main.json").c_str(), "w");
    if (f) fprintf(f, "{\"url\": \"{contentUrl}index.html\"}\n"), fclose(f);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        setenv("HOST_TEST_KEEP_RUNNING", "1", 1);
        setenv("HOME", dir.c_str(), 1);
        const std::string skinArg = "--skin=" + dir;
        execl(HOST_BENCH_PROGRAM, HOST_BENCH_PROGRAM, skinArg.c_str(), (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    *fd = fds[0];
    return pid;
}

gboolean Nothing(gpointer) { return G_SOURCE_CONTINUE; }

pid_t StartBareLoop(int* fd) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
        g_timeout_add(15, Nothing, nullptr);
        if (write(fds[1], "running\n", 8) != 8) _exit(1);
        g_main_loop_run(loop);
        _exit(0);
    }
    close(fds[1]);
    *fd = fds[0];
    return pid;
}

void BM_IdleHost(benchmark::State& state) {
    for (auto _ : state) {
        int fd = -1;
        const pid_t pid = StartHost(&fd);
        Measure(state, pid, fd);
    }
}

void BM_IdleBareGLibLoop(benchmark::State& state) {
    for (auto _ : state) {
        int fd = -1;
        const pid_t pid = StartBareLoop(&fd);
        Measure(state, pid, fd);
    }
}

BENCHMARK(BM_IdleHost)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleBareGLibLoop)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
PEER_RATIO("idle CPU, host / bare GLib loop", "BM_IdleHost",
           "BM_IdleBareGLibLoop");

} // namespace

PEER_RATIO_MAIN();
