// The host as real processes: a second start hands its command line to the running one, SIGTERM
// ends a running host cleanly, and the example workflow runs headless in the self-update role.
#include <gtest/gtest.h>

#include "tests/host/host_child.h"
#include "tests/support/bounded_wait.h"
#include "tests/skin/gtk_display.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int kWaitMs = 30000;

struct Child {
    pid_t Pid = -1;
    int Out = -1;
    std::string Text;
};

Child Start(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    Child child;
    child.Pid = SpawnWithOutput(args, env, &child.Out);
    return child;
}

// Reads until the output holds `marker` or the wait ends; false on timeout or end of output.
bool ReadUntil(Child& child, const std::string& marker, int waitMs = kWaitMs) {
    // Bounded by the clock: a read that returns at once (a chatty child) takes no time of the wait.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (child.Text.find(marker) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end) return false;
        pollfd p = {child.Out, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(child.Out, buffer, sizeof(buffer));
        if (n <= 0) return child.Text.find(marker) != std::string::npos;
        child.Text.append(buffer, (size_t)n);
    }
    return true;
}

// Takes what the child wrote so far without waiting (a process it started may hold the pipe open).
void Drain(Child& child) {
    pollfd p = {child.Out, POLLIN, 0};
    char buffer[4096];
    ssize_t n = 0;
    while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN) && (n = read(child.Out, buffer, sizeof(buffer))) > 0)
        child.Text.append(buffer, (size_t)n);
}

// The exit code, or -1 when the child did not end in time (it is killed then).
// With keepOpen the output stays readable for what a process it started writes later.
int Finish(Child& child, int waitMs = kWaitMs, bool keepOpen = false) {
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (std::chrono::steady_clock::now() < end) {
        Drain(child);
        if (waitpid(child.Pid, &status, WNOHANG) == child.Pid) {
            Drain(child);
            if (!keepOpen) close(child.Out);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        usleep(20000);
    }
    kill(child.Pid, SIGKILL);
    waitpid(child.Pid, &status, 0);
    close(child.Out);
    return -1;
}

class HostProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/host-process-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        skin_ = dir_ + "/skin";
        mkdir(skin_.c_str(), 0700);
        Write(skin_ + "/app.yaml", "name: \"host-test-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name() + "\"\n");
        Write(skin_ + "/main.json", "{\"url\": \"{contentUrl}index.html\"}\n");
        Write(skin_ + "/index.html", "<html></html>\n");
        env_ = {"HOME=" + dir_, "XDG_DATA_HOME=" + dir_ + "/data", "XDG_STATE_HOME=" + dir_ + "/state",
                "XDG_CONFIG_HOME=" + dir_ + "/config"};
    }
    void TearDown() override {
        // A restarted copy is not our child: it is ended here when the test did not end it.
        if (stray_ > 0 && ReadAll("/proc/" + std::to_string(stray_) + "/cmdline").find(HOST_TEST_PROGRAM) == 0)
            kill(stray_, SIGKILL);
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    static void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
    static std::string ReadAll(const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    Child Host(std::vector<std::string> extra, const char* program = HOST_TEST_PROGRAM) {
        std::vector<std::string> args = {program, "--skin=" + skin_, "--window"};
        args.insert(args.end(), extra.begin(), extra.end());
        return Start(args, env_);
    }

    std::string dir_, skin_;
    pid_t stray_ = -1;
    std::vector<std::string> env_;
};

TEST_F(HostProcess, SecondStartHandsItsCommandLineOver) {
    Child first = Host({});
    ASSERT_TRUE(ReadUntil(first, "running\n")) << first.Text;
    Child second = Host({"--open=demo://item?id=7", "--verbose=Workflow:3", "--devtools", "--custom=1"});
    EXPECT_EQ(Finish(second), 0) << second.Text;
    EXPECT_TRUE(ReadUntil(first, "stopped\n")) << first.Text;
    EXPECT_EQ(Finish(first), 0);
    EXPECT_NE(first.Text.find("NewCommandLine {\"args\":[\"--open=demo://item?id=7\",\"--custom=1\"]}\n"),
              std::string::npos)
        << first.Text;
}

TEST_F(HostProcess, InterruptAndTerminateAskForAnOrderlyEnd) {
    for (int signal : {SIGINT, SIGTERM}) {
        Child host = Host({});
        ASSERT_TRUE(ReadUntil(host, "running\n")) << host.Text;
        kill(host.Pid, signal);
        EXPECT_EQ(Finish(host), 0) << signal << host.Text;
        EXPECT_NE(host.Text.find("stopped\n"), std::string::npos) << signal << host.Text;
    }
}

// Roles without a window end their loop on the request, rather than running on until killed; a
// workflow the signal cut short ends with 128 + the signal, an idle worker with 0.
TEST_F(HostProcess, TerminateEndsTheWorkerAndSelfUpdateRoles) {
    Write(skin_ + "/app.yaml", ReadAll(skin_ + "/app.yaml") + "selfUpdateWorkflow: \"wait.yaml\"\n");
    Write(skin_ + "/wait.yaml", "apply: {type: Sleep, seconds: 60}\n");
    struct Case {
        const char* role;
        const char* ready;
        int code;
    } const cases[] = {{"--wfselfupdate", "Waiting 60.00 seconds", 143}, {"--wfworker", "Crash reporting", 0}};
    for (const Case& c : cases) {
        Child host = Start({HOST_PROGRAM, "--skin=" + skin_, "--window", c.role}, env_);
        ASSERT_TRUE(ReadUntil(host, c.ready)) << host.Text;
        kill(host.Pid, SIGTERM);
        EXPECT_EQ(Finish(host, 10000), c.code) << c.role << host.Text;
        EXPECT_NE(host.Text.find("Shutdown requested"), std::string::npos) << c.role << host.Text;
    }
}

// The threads of a process, as (name, blocked signals as the kernel shows them).
std::vector<std::pair<std::string, uint64_t>> Threads(pid_t pid) {
    std::vector<std::pair<std::string, uint64_t>> threads;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* listing = opendir(tasks.c_str());
    while (dirent* entry = listing ? readdir(listing) : nullptr) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream status(tasks + "/" + entry->d_name + "/status");
        std::string line, name;
        uint64_t blocked = 0;
        bool read = false;
        while (std::getline(status, line)) {
            if (line.rfind("Name:\t", 0) == 0) name = line.substr(6);
            if (line.rfind("SigBlk:\t", 0) == 0) {
                blocked = std::stoull(line.substr(8), nullptr, 16);
                read = true;
            }
        }
        if (read) threads.emplace_back(name, blocked);
    }
    if (listing) closedir(listing);
    return threads;
}

// Every thread of the real executable keeps the synchronous crash signals open, also those that
// libraries start and that block every other signal (GLib's worker "gmain"): a fault on any of
// them reaches the crash handler.
TEST_F(HostProcess, NoThreadBlocksTheCrashSignals) {
    Write(skin_ + "/app.yaml", ReadAll(skin_ + "/app.yaml") + "selfUpdateWorkflow: \"wait.yaml\"\n");
    Write(skin_ + "/wait.yaml", "apply: {type: Sleep, seconds: 60}\n");
    Child host = Start({HOST_PROGRAM, "--skin=" + skin_, "--window", "--wfselfupdate"}, env_);
    ASSERT_TRUE(ReadUntil(host, "Waiting 60.00 seconds")) << host.Text;
    // GLib starts its worker when it first needs it.
    auto hasWorker = [&] {
        for (const auto& [name, blocked] : Threads(host.Pid))
            if (name == "gmain") return true;
        return false;
    };
    StepUntil(hasWorker, [] { usleep(20000); }, 10);
    uint64_t crashSignals = 0;
    for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT}) crashSignals |= 1ull << (signal - 1);
    const auto threads = Threads(host.Pid);
    EXPECT_GT(threads.size(), 1u);
    for (const auto& [name, blocked] : threads) EXPECT_EQ(blocked & crashSignals, 0u) << name;
    kill(host.Pid, SIGTERM);
    EXPECT_EQ(Finish(host, 10000), 143) << host.Text;
}

// Starts the program as a starter that ignores `ignored` and blocks `blocked` would: both survive
// an exec. Its output and error go to one pipe, as with Start.
Child StartInheriting(const std::vector<std::string>& args, const std::vector<std::string>& env,
                      const std::vector<int>& ignored, const std::vector<int>& blocked) {
    Child child;
    const ChildArrays arrays(args, env);
    sigset_t mask;
    sigemptyset(&mask);
    for (const int signal : blocked) sigaddset(&mask, signal);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return child;
    // Only async-signal-safe calls between the fork and the exec.
    child.Pid = fork();
    if (child.Pid == 0) {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        for (const int signal : ignored) sigaction(signal, &ignore, nullptr);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        execve(arrays.Argv[0], arrays.Argv.data(), arrays.Envp.data());
        _exit(127);
    }
    close(fds[1]);
    child.Out = fds[0];
    return child;
}

// A line of a process's status, as the kernel shows it ("SigIgn", "SigBlk"); empty when absent.
std::string StatusLine(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name + ":\t", 0) == 0) return line.substr(name.size() + 2);
    return "";
}

// What a starter may leave: a launcher that ignores SIGCHLD, a script that blocks SIGTERM, or
// everything ignored and blocked at once.
std::vector<int> EverySignal() {
    std::vector<int> all;
    for (int signal = 1; signal < 32; signal++)
        if (signal != SIGKILL && signal != SIGSTOP) all.push_back(signal);
    return all;
}

// Whatever signal state it was started with, the host waits for the programs it launches and ends
// on SIGTERM as it documents, in every role: every signal it does not handle itself at its
// default, SIGPIPE never (a closed reader never ends it unasked), and none blocked on its main
// thread.
TEST_F(HostProcess, StartsFromItsOwnSignalStateWhateverItInherited) {
    Write(skin_ + "/launch.yaml", "apply: {type: Launch, path: /bin/sh, arguments: [\"-c\", \"echo waited-for\"], "
                                  "waitForExit: true, verbose: true}\n");
    Write(skin_ + "/wait.yaml", "apply: {type: Sleep, seconds: 60}\n");
    const std::string app = ReadAll(skin_ + "/app.yaml");
    const struct {
        const char* name;
        std::vector<int> ignored, blocked;
    } inherited[] = {
        {"SIGCHLD ignored, SIGTERM blocked", {SIGCHLD}, {SIGTERM}},
        {"all ignored and blocked", EverySignal(), EverySignal()},
    };
    const uint64_t pipeBit = 1ull << (SIGPIPE - 1);
    for (const auto& state : inherited) {
        // A launch that waits for its program's end returns once it has ended.
        Write(skin_ + "/app.yaml", app + "selfUpdateWorkflow: \"launch.yaml\"\n");
        Child launch = StartInheriting({HOST_PROGRAM, "--skin=" + skin_, "--window", "--wfselfupdate"}, env_,
                                       state.ignored, state.blocked);
        EXPECT_EQ(Finish(launch, 20000), 0) << state.name << launch.Text;
        EXPECT_NE(launch.Text.find("waited-for"), std::string::npos) << state.name << launch.Text;
        // Each role, once it runs, shows the state it set itself, and SIGTERM ends it as it says.
        Write(skin_ + "/app.yaml", app + "selfUpdateWorkflow: \"wait.yaml\"\n");
        const struct {
            const char* program;
            std::vector<std::string> role;
            const char* ready;
            int code;
            const char* says;
        } roles[] = {
            {HOST_PROGRAM, {"--window", "--wfselfupdate"}, "Waiting 60.00 seconds", 143, "Shutdown requested"},
            {HOST_PROGRAM, {"--window", "--wfworker"}, "Crash reporting", 0, "Shutdown requested"},
            {HOST_TEST_PROGRAM, {"--window"}, "running\n", 0, "stopped\n"},
            // Without a console it says nothing: it is ready once it takes SIGTERM as a request.
            {HOST_PROGRAM, {"--wfselfupdate"}, "", 143, ""},
        };
        const uint64_t termBit = 1ull << (SIGTERM - 1);
        // An ignored SIGHUP is the starter's wish (nohup) and is kept; nothing else stays ignored.
        const uint64_t hupBit = 1ull << (SIGHUP - 1);
        const bool hupIgnored = std::find(state.ignored.begin(), state.ignored.end(), SIGHUP) != state.ignored.end();
        for (const auto& role : roles) {
            std::vector<std::string> args = {role.program, "--skin=" + skin_};
            args.insert(args.end(), role.role.begin(), role.role.end());
            Child host = StartInheriting(args, env_, state.ignored, state.blocked);
            const std::string what = std::string(state.name) + " " + role.program + " " + role.role.back();
            auto mask = [&](const char* name) { return std::stoull("0" + StatusLine(host.Pid, name), nullptr, 16); };
            if (role.ready[0]) {
                ASSERT_TRUE(ReadUntil(host, role.ready)) << what << host.Text;
            } else {
                ASSERT_TRUE(StepUntil([&] { return (mask("SigCgt") & termBit) != 0; }, [] { usleep(5000); }, 20))
                    << what;
            }
            // SIGPIPE is the host's own: ignored, or with a console a request to stop.
            EXPECT_EQ(mask("SigIgn") & ~(pipeBit | hupBit), 0u) << what;
            if (!role.ready[0]) {
                EXPECT_EQ(mask("SigIgn"), pipeBit | (hupIgnored ? hupBit : 0)) << what;
            }
            EXPECT_NE((mask("SigIgn") | mask("SigCgt")) & pipeBit, 0u) << what;
            // Nothing stays blocked (a thread start blocks everything for a moment).
            EXPECT_TRUE(StepUntil([&] { return StatusLine(host.Pid, "SigBlk") == "0000000000000000"; },
                                  [] { usleep(1000); }, 10))
                << what << " " << StatusLine(host.Pid, "SigBlk");
            kill(host.Pid, SIGTERM);
            EXPECT_EQ(Finish(host, 15000), role.code) << what << host.Text;
            EXPECT_NE(host.Text.find(role.says), std::string::npos) << what << host.Text;
        }
    }
}

// A reader that left makes the host's writes fail, never ends it by a signal, even from its first
// moment: the help and the version, written to a pipe nobody reads, end with 1.
TEST_F(HostProcess, AReaderThatLeftFailsTheWriteAndSignalsNothing) {
    for (const char* asked : {"--help", "--version"}) {
        const std::vector<std::string> args = {HOST_PROGRAM, asked};
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        close(fds[0]);
        const pid_t pid = fork();
        if (pid == 0) {
            // As most starters leave it.
            signal(SIGPIPE, SIG_DFL);
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            execve(argv[0], argv.data(), environ);
            _exit(127);
        }
        close(fds[1]);
        int status = 0;
        ASSERT_TRUE(StepUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, [] { usleep(5000); }, 30))
            << asked;
        EXPECT_TRUE(WIFEXITED(status)) << asked << " ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1) << asked;
    }
}

// A main thread held where no request is seen still ends within the deadline after the signal:
// 128 + the signal and one ERROR line saying so. A window is given 20 s, the roles without one
// promise 10 (held in the first pass over GLib's default context, which their loop makes too).
TEST_F(HostProcess, SigtermEndsAHostWhoseMainThreadIsHeld) {
    Write(skin_ + "/app.yaml", ReadAll(skin_ + "/app.yaml") + "selfUpdateWorkflow: \"wait.yaml\"\n");
    Write(skin_ + "/wait.yaml", "apply: {type: Sleep, seconds: 60}\n");
    const struct {
        const char* hold;
        std::vector<std::string> role;
        const char* says;
    } cases[] = {
        {"HOST_TEST_HOLD_MAIN_THREAD=1", {}, "ERROR - Still running 20 s after SIGTERM: ended before its work could stop\n"},
        {"HOST_TEST_HOLD_IN_PASS=1", {"--wfselfupdate"},
         "ERROR - Still running 10 s after SIGTERM: ended before its work could stop\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> env = env_;
        env.push_back(c.hold);
        std::vector<std::string> args = {HOST_TEST_PROGRAM, "--skin=" + skin_, "--window"};
        args.insert(args.end(), c.role.begin(), c.role.end());
        Child host = Start(args, env);
        ASSERT_TRUE(ReadUntil(host, "held\n")) << c.hold << host.Text;
        kill(host.Pid, SIGTERM);
        EXPECT_EQ(Finish(host, 40000), 143) << c.hold << host.Text;
        EXPECT_NE(host.Text.find(c.says), std::string::npos) << c.hold << host.Text;
    }
}

TEST_F(HostProcess, FilteredStartSendsNothingAndSigtermEndsTheHost) {
    Child first = Host({}, HOST_TEST_PROGRAM);
    ASSERT_TRUE(ReadUntil(first, "running\n")) << first.Text;
    Child second = Host({"--devtools", "--verbose=1", "--wfendpoint=x"});
    EXPECT_EQ(Finish(second), 0) << second.Text;
    EXPECT_FALSE(ReadUntil(first, "NewCommandLine", 1000));
    kill(first.Pid, SIGTERM);
    EXPECT_EQ(Finish(first), 0) << first.Text;
    EXPECT_NE(first.Text.find("stopped\n"), std::string::npos) << first.Text;
    EXPECT_NE(first.Text.find("Exit Code - 0"), std::string::npos) << first.Text;
}

// A page that never agrees to close keeps its window through the close request a signal makes,
// but not for ever: after the stop time its window closes without asking and the host ends.
TEST_F(HostProcess, SigtermEndsTheWindowOfAPageThatNeverAgreesToClose) {
    const char* given = getenv("DISPLAY");
    const bool ownDisplay = !given || !*given;
    ASSERT_EQ(TestDisplayStart(), "");
    Write(skin_ + "/index.html", R"(<html><body><script>
function crc32(t) { var c = -1; for (var i = 0; i < t.length; i++) { c ^= t.charCodeAt(i);
  for (var b = 0; b < 8; b++) c = (c >>> 1) ^ (0xedb88320 & -(c & 1)); } return (c ^ -1) | 0; }
var w = NativeInterop.createInstance("QVR.SkinWindow", "");
function call(id, m, extra) { var b = {method: m, methodHash: crc32(m)}; for (var k in extra) b[k] = extra[k];
  NativeInterop.invoke(id, JSON.stringify(b)); }
call(w, "loaded", {});
call(w, "show", {});
call(NativeInterop.createInstance("QVR.WorkflowApp", ""), "debugPrint", {message: "page shown"});
</script></body></html>)");
    std::vector<std::string> env = env_;
    // Without a session bus the desktop settings would start one tied to this display.
    env.push_back("GSETTINGS_BACKEND=memory");
    Child host = Start({HOST_PROGRAM, "--skin=" + skin_, "--window", "--verbose=SkinWindow:1"}, env);
    ASSERT_TRUE(ReadUntil(host, "page shown")) << host.Text;
    kill(host.Pid, SIGTERM);
    EXPECT_EQ(Finish(host, 40000), 0) << host.Text;
    EXPECT_NE(host.Text.find("Windows still open 10 s after the shutdown request: closing them"), std::string::npos)
        << host.Text;
    // The other tests run their hosts without a display.
    if (ownDisplay) {
        TestDisplayStop();
        unsetenv("DISPLAY");
    }
}

// A workflow asks for a restart: the restarted copy drops the role and the link to its starter and
// keeps the other switches; it runs until a later start hands it a command line.
TEST_F(HostProcess, RestartKeepsOnlyWhatACopyMayInherit) {
    Write(skin_ + "/app.yaml", ReadAll(skin_ + "/app.yaml") + "selfUpdateWorkflow: \"restart.yaml\"\n");
    Write(skin_ + "/restart.yaml", "apply: {type: Shutdown, force: true, restart: true}\n");
    Child first = Host({"--wfselfupdate", "--debugfileid=update", "--verbose=Workflow:1"});
    // The copy writes to the same output: its log header shows the command line it was given.
    ASSERT_TRUE(ReadUntil(first, "running\n")) << first.Text;
    const size_t pid = first.Text.find("\npid ");
    if (pid != std::string::npos) stray_ = (pid_t)atoi(first.Text.c_str() + pid + 5);
    EXPECT_EQ(Finish(first, kWaitMs, true), 0) << first.Text;
    EXPECT_NE(first.Text.find("Restart as invoker"), std::string::npos) << first.Text;
    const std::string expected = std::string("Command Line: ") + HOST_TEST_PROGRAM + " --skin=" + skin_ +
                                 " --window --verbose=Workflow:1\n";
    EXPECT_NE(first.Text.find(expected), std::string::npos) << first.Text;
    // The copy ends once a later start has handed it a command line.
    Child last = Host({"--custom=end"});
    EXPECT_EQ(Finish(last), 0) << last.Text;
    EXPECT_NE(last.Text.find("Another instance of this application is open"), std::string::npos) << last.Text;
    if (ReadUntil(first, "\nstopped\n")) stray_ = -1;
    EXPECT_EQ(stray_, -1) << first.Text;
    EXPECT_NE(first.Text.find("NewCommandLine {\"args\":[\"--custom=end\"]}\n"), std::string::npos) << first.Text;
    close(first.Out);
}

TEST_F(HostProcess, StartUpFailuresEndTheProcessWithTheirMessage) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } const cases[] = {
        {{"--skin=" + dir_ + "/none"}, "Failed to load the embedded skin resources"},
        {{"--skin=" + skin_, "--crashreport"}, "Crash report id not specified"},
        {{"--skin=" + skin_, "--wfselfupdate", "--wfworker"}, "Misconfigured self-update process"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {HOST_PROGRAM, "--window"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Child host = Start(args, env_);
        EXPECT_EQ(Finish(host), 1) << c.message;
        EXPECT_NE(host.Text.find(c.message), std::string::npos) << host.Text;
    }
}

TEST_F(HostProcess, ExampleWorkflowRunsHeadlessInTheSelfUpdateRole) {
    Child host = Start({HOST_PROGRAM, std::string("--skin=") + HOST_SOURCE_DIR + "/examples/demo", "--wfselfupdate",
                        "--window"},
                       env_);
    ASSERT_EQ(Finish(host), 0) << host.Text;
    EXPECT_EQ(host.Text.find("ERROR"), std::string::npos) << host.Text;
    const std::string report = dir_ + "/data/Quarvelon/demo-report.json";
    const size_t at = host.Text.find("Demo SHA-256 - ");
    ASSERT_NE(at, std::string::npos) << host.Text;
    const std::string digest = host.Text.substr(at + 15, 64);
    // sha256sum is the oracle for the digest the workflow computed.
    FILE* pipe = popen(("sha256sum '" + report + "'").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char expected[65] = "";
    ASSERT_EQ(fread(expected, 1, 64, pipe), 64u);
    pclose(pipe);
    EXPECT_EQ(digest, expected);
    EXPECT_NE(host.Text.find("Compare version 6.2.42 to 6.10.0 = -1"), std::string::npos);
    EXPECT_NE(host.Text.find("Demo outcome - " + report), std::string::npos) << host.Text;
}

} // namespace
