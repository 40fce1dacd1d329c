// Start to first paint: the host started with a one-window skin, set beside a bare WebKitGTK window
// loading the same page from disk. Both run on one Xvfb and one session bus of the benchmark's own;
// the time of a run is from the fork to the page's report of its first frame, an image request to a
// loopback port the benchmark listens on (see bench/first_paint_skin/index.html). A second pair
// takes the CPU time the same two spend once the page is shown and nothing happens.
#include <benchmark/benchmark.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/peer_ratio.h"
#include "tests/skin/gtk_display.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRunLimitMs = 30000;
constexpr int kStopLimitMs = 10000;
constexpr double kSettleSeconds = 1.0;
constexpr double kIdleSeconds = 3.0;

struct Setup {
    std::string Dir;
    std::string Why;
    int Listener = -1;
    int Port = 0;
    pid_t Bus = 0;
    int Run = 0;
};

Setup& S() {
    static Setup setup;
    return setup;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Copies the skin with the benchmark's port written into its files.
bool CopySkin(const std::string& from, const std::string& to) {
    if (mkdir(to.c_str(), 0700) != 0) return false;
    DIR* dir = opendir(from.c_str());
    if (!dir) return false;
    bool ok = true;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream in(from + "/" + entry->d_name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string body = text.str();
        for (size_t at; (at = body.find("@PORT@")) != std::string::npos;)
            body.replace(at, 6, std::to_string(S().Port));
        std::ofstream out(to + "/" + entry->d_name, std::ios::binary);
        out << body;
        ok = ok && in.good() && out.good();
    }
    closedir(dir);
    return ok;
}

void RemoveDir() {
    if (S().Dir.empty()) return;
    nftw(S().Dir.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path); }, 16,
         FTW_DEPTH | FTW_PHYS);
}

void StopBus() {
    if (S().Bus > 0) {
        kill(S().Bus, SIGTERM);
        waitpid(S().Bus, nullptr, 0);
        S().Bus = 0;
        // The services it started (the accessibility bus) end on their own once it is gone, and
        // before the display goes they do so quietly.
        usleep(300000);
    }
}

// A session bus of our own, as a desktop session has one: without it the toolkit would launch
// one on the display that outlives the runs.
bool StartBus() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const std::string print = "--print-address=" + std::to_string(fds[1]);
        execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", print.c_str(),
               (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) return close(fds[0]), false;
    S().Bus = pid;
    atexit(StopBus);
    std::string address;
    pollfd p = {fds[0], POLLIN, 0};
    char c = 0;
    while (poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') address += c;
    close(fds[0]);
    if (address.empty()) return false;
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    return true;
}

bool Listen() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd < 0 || bind(fd, (sockaddr*)&address, sizeof(address)) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, (sockaddr*)&address, &length) != 0) {
        if (fd >= 0) close(fd);
        return false;
    }
    fcntl(fd, F_SETFL, O_NONBLOCK);
    S().Listener = fd;
    S().Port = ntohs(address.sin_port);
    return true;
}

// Answers whether the connection asks for the paint marker; it is answered and closed either way.
bool IsPaintReport(int fd) {
    std::string request;
    pollfd p = {fd, POLLIN, 0};
    char buffer[512];
    while (request.find("\r\n") == std::string::npos && request.size() < 4096 && poll(&p, 1, 2000) > 0) {
        const ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got <= 0) break;
        request.append(buffer, (size_t)got);
    }
    static const char kNoContent[] = "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n";
    if (write(fd, kNoContent, sizeof(kNoContent) - 1) < 0) {
        // The page does not wait for the answer.
    }
    close(fd);
    return request.rfind("GET /painted", 0) == 0;
}

// Closes connections left over from an earlier run.
void Drain() {
    for (int fd; (fd = accept4(S().Listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) close(fd);
}

// Ends the process and whatever it started in its group (the web engine's helpers), bounded.
void Stop(pid_t pid, const std::string& label) {
    kill(pid, SIGTERM);
    bool ended = false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStopLimitMs);
    while (!ended && Clock::now() < deadline) {
        ended = waitpid(pid, nullptr, WNOHANG) == pid;
        if (!ended) usleep(10000);
    }
    if (!ended) {
        fprintf(stderr, "%s did not end within %d ms of SIGTERM\n", label.c_str(), kStopLimitMs);
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    // The web engine's helpers share the group; the next run starts only once they are gone.
    kill(-pid, SIGKILL);
    const auto groupDeadline = Clock::now() + std::chrono::seconds(10);
    while (kill(-pid, 0) == 0 && Clock::now() < groupDeadline) usleep(10000);
}

// CPU time of every thread of every process in the group (the web engine's helpers included), in
// seconds: the scheduler's nanosecond counts, fine enough for an idle loop.
double GroupCpuSeconds(pid_t group) {
    DIR* proc = opendir("/proc");
    if (!proc) return -1;
    unsigned long long total = 0;
    while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        const std::string base = std::string("/proc/") + entry->d_name;
        std::ifstream stat(base + "/stat");
        std::string line;
        std::getline(stat, line);
        // The process group is the third field after the command's closing parenthesis.
        const size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(line.substr(close + 1));
        std::string state;
        long parent = 0, pgrp = 0;
        if (!(fields >> state >> parent >> pgrp) || pgrp != group) continue;
        DIR* tasks = opendir((base + "/task").c_str());
        if (!tasks) continue;
        while (dirent* task = readdir(tasks)) {
            if (task->d_name[0] == '.') continue;
            std::ifstream schedstat(base + "/task/" + task->d_name + "/schedstat");
            unsigned long long ns = 0;
            if (schedstat >> ns) total += ns;
        }
        closedir(tasks);
    }
    closedir(proc);
    return (double)total / 1e9;
}

void PrintLog(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string log = text.str();
    fprintf(stderr, "---- %s (end)\n%s\n----\n", path.c_str(), log.substr(log.size() > 3000 ? log.size() - 3000 : 0).c_str());
}

// Starts the program and answers the seconds until the page reported its first frame, or -1. With
// idle set, answers instead the CPU seconds the program spends in a quiet window after that.
double TimeToFirstPaint(std::vector<std::string> args, const char* label, bool idle = false) {
    Drain();
    const std::string log = S().Dir + "/" + label + "-" + std::to_string(++S().Run) + ".log";
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (out >= 0) dup2(out, 1), dup2(out, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) return -1;
    setpgid(pid, pid);
    double seconds = -1;
    bool exited = false;
    const auto deadline = start + std::chrono::milliseconds(kRunLimitMs);
    while (seconds < 0 && !exited && Clock::now() < deadline) {
        pollfd p = {S().Listener, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            const auto seen = Clock::now();
            const int fd = accept4(S().Listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0 && IsPaintReport(fd)) seconds = std::chrono::duration<double>(seen - start).count();
        }
        exited = seconds < 0 && waitpid(pid, nullptr, WNOHANG) == pid;
    }
    if (idle && seconds >= 0) {
        usleep((useconds_t)(kSettleSeconds * 1e6));
        const double before = GroupCpuSeconds(pid);
        usleep((useconds_t)(kIdleSeconds * 1e6));
        const double used = GroupCpuSeconds(pid) - before;
        seconds = before >= 0 && used > 0 ? used : 1e-6;
    }
    if (exited) {
        fprintf(stderr, "%s ended before its page reported a frame\n", label);
        kill(-pid, SIGKILL);
    } else {
        Stop(pid, label);
    }
    if (seconds < 0) PrintLog(log);
    unlink(log.c_str());
    return seconds;
}

std::vector<std::string> HostCommand() { return {HOST_PAINT_PROGRAM, "--skin=" + S().Dir + "/skin"}; }

std::vector<std::string> PeerCommand() { return {BARE_WEBKIT_PROGRAM, "file://" + S().Dir + "/skin/index.html"}; }

bool Start() {
    static bool tried = false;
    if (tried) return S().Why.empty();
    tried = true;
    std::string program = HOST_PAINT_PROGRAM;
    // A skin beside the executable would be started instead of the benchmark's.
    if (Exists(program.substr(0, program.rfind('/')) + "/app.bundle"))
        return S().Why = "remove app.bundle beside " + program + " first", false;
    char dir[] = "/tmp/host-first-paint-XXXXXX";
    if (!mkdtemp(dir)) return S().Why = "no temporary folder", false;
    S().Dir = dir;
    atexit(RemoveDir);
    // Both sides start with the same empty home, caches and settings.
    const std::string home = S().Dir + "/home";
    mkdir(home.c_str(), 0700);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home + "/.cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    // One display of our own, whatever session the benchmark was started from.
    unsetenv("DISPLAY");
    if (std::string why = TestDisplayStart(); !why.empty()) return S().Why = why, false;
    if (!StartBus()) return S().Why = "dbus-daemon could not be started", false;
    if (!Listen()) return S().Why = "no loopback port", false;
    if (!CopySkin(FIRST_PAINT_SKIN, S().Dir + "/skin")) return S().Why = "the skin could not be copied", false;
    // One unmeasured start of each fills the system's file cache and the home's caches.
    if (TimeToFirstPaint(HostCommand(), "host") < 0) return S().Why = "the host's page reported no frame", false;
    if (TimeToFirstPaint(PeerCommand(), "peer") < 0) return S().Why = "the bare window's page reported no frame", false;
    return true;
}

void Measure(benchmark::State& state, std::vector<std::string> (*command)(), const char* label, bool idle = false) {
    if (!Start()) {
        state.SkipWithError(S().Why.c_str());
        return;
    }
    for (auto _ : state) {
        const double seconds = TimeToFirstPaint(command(), label, idle);
        if (seconds < 0) {
            state.SkipWithError("the page reported no frame");
            break;
        }
        state.SetIterationTime(seconds);
        if (idle) state.counters["cpu_percent"] = 100.0 * seconds / kIdleSeconds;
    }
}

void BM_FirstPaintHost(benchmark::State& state) { Measure(state, HostCommand, "host"); }

void BM_FirstPaintBareWebKit(benchmark::State& state) { Measure(state, PeerCommand, "peer"); }

BENCHMARK(BM_FirstPaintHost)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstPaintBareWebKit)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
PEER_RATIO("start to first paint, host / bare WebKitGTK window", "BM_FirstPaintHost", "BM_FirstPaintBareWebKit");

void BM_IdleShownHost(benchmark::State& state) { Measure(state, HostCommand, "host", true); }

void BM_IdleShownBareWebKit(benchmark::State& state) { Measure(state, PeerCommand, "peer", true); }

BENCHMARK(BM_IdleShownHost)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleShownBareWebKit)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
PEER_RATIO("idle CPU with the page shown, host / bare WebKitGTK window", "BM_IdleShownHost", "BM_IdleShownBareWebKit");

} // namespace

// Start-up times scatter: ten repetitions of every case unless the command line asks otherwise.
PEER_RATIO_MAIN_REPEATING(10)
