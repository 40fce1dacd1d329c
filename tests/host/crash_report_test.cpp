// Crash reporting with real signals: a host stand-in crashes, leaves its dump and event file in
// the user's private crash folder and starts itself as the reporter with the stated switches; a
// crash whose callback blocks on a lock still ends the process within the wait's bound. Names
// that another user plants are neither written through nor sent.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <signal.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/web/analytics.h"
#include "core/web/web_get_redirect.h"
#include "host/crash_report.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/log_capture.h"
#include "tests/support/platform_sandbox.h"
#include "tests/support/scoped_env.h"
#include "tests/skin/gtk_display.h"
#include "workflow/workflow_app.h"

namespace {

const bool g_bounded = BoundEveryTest();

// From here on the calling process and what it starts get EOPNOTSUPP for every open of a nameless
// file (O_TMPFILE), as on file systems that have none (many network ones). False when the filter
// could not be installed.
bool RefuseNamelessFiles() {
#if defined(__x86_64__)
    constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr uint32_t kArch = AUDIT_ARCH_AARCH64;
#endif
    // The kernel's own bit; the C library's O_TMPFILE adds O_DIRECTORY to it.
    constexpr uint32_t kTmpFile = 020000000;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        // The flags' low word (the machines this is built for are little-endian).
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, kTmpFile),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kTmpFile, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {(unsigned short)(sizeof(filter) / sizeof(filter[0])), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

std::string Read(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

struct Crash {
    int Signal = 0;
    std::string Dump, Events, Id, Reporter;
    std::string Folder; // where the dump was found
    std::string Log;    // what the crashed process logged
    std::string Sent;   // the events the reporter queued for the server, as JSON
    double Seconds = 0;
    bool ArgsCreatedInPlace = false; // reporter-args appeared before it was written whole
    bool ArgsRenamedIn = false;
};

// The names in a directory, "." and ".." left out.
std::vector<std::string> Names(const std::string& path) {
    std::vector<std::string> names;
    DIR* listing = opendir(path.c_str());
    while (dirent* entry = listing ? readdir(listing) : nullptr)
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
    if (listing) closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

int32_t Mode(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? (int32_t)(info.st_mode & 07777) : -1;
}

// The analytics collector on a free loopback port: it keeps the body of every post and answers
// each with an empty 200. Refusing() names a port where nothing listens (held, so that no other
// listener takes it).
class Collector {
  public:
    Collector() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~Collector() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        close(listener_);
    }
    void Listen() {
        listen(listener_, 16);
        thread_ = std::thread([this] { Serve(); });
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/events"; }
    // The bodies posted since the last call.
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::string> taken;
        taken.swap(bodies_);
        return taken;
    }

  private:
    void Serve() {
        while (!stop_) {
            pollfd p = {listener_, POLLIN, 0};
            if (poll(&p, 1, 20) != 1) continue;
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::string request;
            char buffer[65536];
            size_t head = std::string::npos, length = 0;
            for (;;) {
                if (head == std::string::npos && (head = request.find("\r\n\r\n")) != std::string::npos) {
                    head += 4;
                    std::string lower = request.substr(0, head);
                    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
                    const size_t at = lower.find("content-length:");
                    length = at == std::string::npos ? 0 : std::stoul(lower.substr(at + 15));
                }
                if (head != std::string::npos && request.size() >= head + length) break;
                pollfd r = {fd, POLLIN, 0};
                if (poll(&r, 1, 10000) != 1) break;
                const ssize_t n = read(fd, buffer, sizeof(buffer));
                if (n <= 0) break;
                request.append(buffer, (size_t)n);
            }
            if (head != std::string::npos) {
                std::lock_guard<std::mutex> guard(lock_);
                bodies_.push_back(request.substr(head));
            }
            const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            if (write(fd, answer.data(), answer.size()) < 0) {
            }
            close(fd);
        }
    }
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex lock_;
    std::vector<std::string> bodies_;
};

class CrashReportTest : public ::testing::Test {
  protected:
    std::string dir;
    std::string temp;  // the processes' TMPDIR: shared with every user, as /tmp is
    std::string state; // their XDG_STATE_HOME
    std::string stateHome; // what the processes are given as XDG_STATE_HOME (state unless a test says)
    std::string cache; // their XDG_CACHE_HOME, the fallback when the state folder is unusable
    std::string runtime;      // their XDG_RUNTIME_DIR, unset when empty
    bool asOtherUser = false; // the stand-in runs as the second user
    std::string program = CRASH_HOST_PROGRAM; // what runs: the build's, or a copy the second user can reach
    bool console = false;     // it logs to the console, which Crash::Log keeps (and tells its reporter --window)
    bool send = false;        // its reporter offers the crash as the host's does
    bool fileLog = false;     // it logs to a file too (and tells its reporter --debug)
    Collector* collector = nullptr; // where its analytics posts go: the bodies are in Crash::Sent
    bool noNameless = false;  // it runs where nameless files are refused
    std::string display;      // the display it may ask on ("" none)
    bool dismiss = false;     // its reporter offers the crash once dialogs are being dismissed
    // It starts with the crash signals (and SIGTERM) blocked, as a launcher may leave them.
    bool startBlocked = false;
    void SetUp() override {
        char pattern[] = "/tmp/crash-report-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        temp = dir + "/tmp";
        state = dir + "/state";
        stateHome = state;
        cache = dir + "/cache";
        ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
        ASSERT_EQ(chmod(temp.c_str(), 01777), 0);
    }
    // The crash folder below the state directory ("<state>/<product>/crash"), "" when none.
    std::string CrashFolder() {
        for (const std::string& product : Names(state))
            if (Mode(state + "/" + product + "/crash") >= 0) return state + "/" + product + "/crash";
        return "";
    }
    // The fallback crash folder below the cache directory, "" when none.
    std::string CacheFolder() {
        for (const std::string& product : Names(cache))
            if (Mode(cache + "/" + product + "/crash") >= 0) return cache + "/" + product + "/crash";
        return "";
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0); }

    // The stand-in where the second user can run it: the checkout may lie in a private folder
    // (a home of mode 0700, a fresh temporary clone) that only its owner can enter. A second name
    // in the test's own 0755 folder, or a copy where that is another file system.
    bool StageProgramForOtherUser() {
        const std::string staged = dir + "/bin";
        if (mkdir(staged.c_str(), 0755) != 0 && errno != EEXIST) return false;
        if (chmod(staged.c_str(), 0755) != 0) return false;
        program = staged + "/crash_host_program";
        if (access(program.c_str(), X_OK) == 0) return true;
        if (link(CRASH_HOST_PROGRAM, program.c_str()) != 0) {
            std::ifstream in(CRASH_HOST_PROGRAM, std::ios::binary);
            std::ofstream out(program, std::ios::binary);
            out << in.rdbuf();
            out.close();
            if (!out || chmod(program.c_str(), 0755) != 0) return false;
        }
        return true;
    }

    // Starts the stand-in with its output into `output`.
    // Starts a crash of `mode` with its output thrown away, and stops it (SIGSTOP) once a dump is
    // named in `folder` or 20 s have passed: the dump's name (empty when none came in time), and
    // whether the process was stopped before it ended. The process id, -1 when no watch was made.
    pid_t StartStoppedAtDump(const char* mode, const std::string& folder, std::string* named, bool* stopped) {
        named->clear();
        *stopped = false;
        const int watch = inotify_init1(IN_CLOEXEC);
        if (watch < 0 || inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
            if (watch >= 0) close(watch);
            return -1;
        }
        const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
        const pid_t pid = Start({mode}, quiet);
        close(quiet);
        alignas(inotify_event) char events[4096];
        for (pollfd p = {watch, POLLIN, 0}; named->empty() && poll(&p, 1, 20000) == 1;) {
            const ssize_t got = read(watch, events, sizeof(events));
            for (ssize_t at = 0; at < got;) {
                const inotify_event* event = reinterpret_cast<const inotify_event*>(events + at);
                const std::string name = event->len ? event->name : "";
                if (name.size() > 4 && name.substr(name.size() - 4) == ".dmp") *named = name;
                at += (ssize_t)(sizeof(inotify_event) + event->len);
            }
        }
        kill(pid, SIGSTOP);
        close(watch);
        int status = 0;
        *stopped = waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status);
        return pid;
    }

    pid_t Start(const std::vector<std::string>& arguments, int output) {
        const pid_t pid = fork();
        if (pid != 0) return pid;
        setenv("TMPDIR", temp.c_str(), 1);
        setenv("XDG_STATE_HOME", stateHome.c_str(), 1);
        setenv("XDG_CACHE_HOME", cache.c_str(), 1);
        if (runtime.empty())
            unsetenv("XDG_RUNTIME_DIR");
        else
            setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        if (console) setenv("CRASH_HOST_CONSOLE", "1", 1);
        if (send) setenv("CRASH_HOST_SEND", "1", 1);
        if (fileLog) setenv("CRASH_HOST_FILELOG", "1", 1);
        if (collector) setenv("CRASH_HOST_ENDPOINT", collector->Url().c_str(), 1);
        // Nobody can be asked here, unless the test gives a display.
        if (display.empty())
            unsetenv("DISPLAY");
        else
            setenv("DISPLAY", display.c_str(), 1);
        if (dismiss) setenv("CRASH_HOST_DISMISS", "1", 1);
        setenv("GSETTINGS_BACKEND", "memory", 1);
        unsetenv("WAYLAND_DISPLAY");
        if (noNameless && !RefuseNamelessFiles()) _exit(124);
        if (startBlocked) {
            // A blocked mask survives the exec.
            sigset_t crashSignals;
            sigemptyset(&crashSignals);
            for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT, SIGTERM})
                sigaddset(&crashSignals, signal);
            sigprocmask(SIG_BLOCK, &crashSignals, nullptr);
        }
        if (chdir(dir.c_str()) != 0) _exit(125);
        dup2(output, 1);
        dup2(output, 2);
        if (asOtherUser && !BecomeOtherUser()) _exit(126);
        // The sanitizer's own fault handlers stay out of the way of the handler under test, and so
        // do the signal stacks it gives its threads: each thread has what the program gives it.
        setenv("ASAN_OPTIONS", "handle_segv=0:handle_abort=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:use_sigaltstack=0",
               1);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }

    // Runs the stand-in and collects what the crash left; waits for the reporter when asked.
    Crash Run(const std::vector<std::string>& arguments, bool reporter) {
        Crash crash;
        // The reporter's file is watched: it must arrive whole, by a rename, never be created
        // under its own name and filled afterwards.
        const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        EXPECT_GE(watch, 0);
        EXPECT_GE(inotify_add_watch(watch, temp.c_str(), IN_CREATE | IN_MOVED_TO), 0);
        const auto start = std::chrono::steady_clock::now();
        if (collector) collector->Take();
        // Its log, on the console, read through a pipe: no file size limit of the child cuts it.
        int output[2];
        if (pipe2(output, O_CLOEXEC) != 0) return crash;
        const pid_t pid = Start(arguments, output[1]);
        close(output[1]);
        char buffer[4096];
        for (ssize_t n; (n = read(output[0], buffer, sizeof(buffer))) != 0;)
            if (n > 0) crash.Log.append(buffer, (size_t)n);
            else if (errno != EINTR) break;
        close(output[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        crash.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        crash.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status);
        for (int i = 0; reporter && i < 1000 && access((temp + "/reporter-args").c_str(), F_OK) != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        crash.Reporter = Read(temp + "/reporter-args");
        // The reporter waits for the crashed process to let go of its dump, then sends.
        for (int i = 0; reporter && send && i < 2000 && access((temp + "/reporter-sent").c_str(), F_OK) != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        // The post that carried the crash (the stand-in's own events go in a post of their own).
        if (collector)
            for (const std::string& body : collector->Take())
                if (body.find("\"CrashDump\"") != std::string::npos) crash.Sent = body;
        alignas(inotify_event) char events[8192];
        for (ssize_t got; (got = read(watch, events, sizeof(events))) > 0;)
            for (ssize_t at = 0; at < got;) {
                const inotify_event* event = reinterpret_cast<const inotify_event*>(events + at);
                if (event->len && strcmp(event->name, "reporter-args") == 0) {
                    crash.ArgsCreatedInPlace = crash.ArgsCreatedInPlace || (event->mask & IN_CREATE);
                    crash.ArgsRenamedIn = crash.ArgsRenamedIn || (event->mask & IN_MOVED_TO);
                }
                at += (ssize_t)(sizeof(inotify_event) + event->len);
            }
        close(watch);
        for (const std::string& folder : {temp, CrashFolder(), CacheFolder()})
            for (const std::string& name : Names(folder)) {
                if (name.size() <= 4 || name.substr(name.size() - 4) != ".dmp") continue;
                crash.Folder = folder;
                crash.Id = name.substr(0, name.size() - 4);
                crash.Dump = Read(folder + "/" + name);
                crash.Events = Read(folder + "/" + crash.Id + ".json");
            }
        return crash;
    }
};

// A list of events checked by Python: how many, the first one's name, the last one's name, and
// whether the last carries the dump in Base64 ("-" where it carries none; "start" where it carries
// a dump that begins as `dump` does and `dump` ends in "...").
// What a Python script prints, given a list of events and a dump (as files in `dir`).
std::string Python(const std::string& script, const std::string& events, const std::string& dump, const std::string& dir) {
    std::ofstream(dir + "/events.json") << events;
    std::ofstream(dir + "/dump.bin") << dump;
    std::ofstream(dir + "/check.py") << "import json,base64,sys\ne=json.load(open(sys.argv[1]))\nd=open(sys.argv[2],'rb').read()\n"
                                     << script;
    FILE* pipe = popen(("/usr/bin/python3 " + dir + "/check.py " + dir + "/events.json " + dir + "/dump.bin").c_str(), "r");
    char out[256] = {};
    if (pipe) {
        if (!fgets(out, sizeof(out), pipe)) out[0] = 0;
        pclose(pipe);
    }
    return out;
}

std::string CheckEvents(const std::string& events, const std::string& dump, const std::string& dir) {
    return Python("m=e[-1].get('minidump')\n"
                  "m='-' if m is None else ('start' if d.endswith(b'...') and base64.b64decode(m).startswith(d[:-3]) "
                  "else base64.b64decode(m)==d)\n"
                  "print(len(e), e[0].get('event'), e[-1].get('event'), m, end='')\n",
                  events, dump, dir);
}

TEST_F(CrashReportTest, FaultLeavesDumpEventsAndStartsTheReporter) {
    fileLog = true;
    Crash crash = Run({"segv", "--skin=my skin", "--verbose=3", "--crashautosend", "--debugdir=logs"}, true);
    EXPECT_EQ(crash.Signal, SIGSEGV);
    ASSERT_EQ(crash.Id.size(), 32u);
    EXPECT_EQ(crash.Dump.rfind("crash dump 1\nsignal 11\ncode 1\naddress 0000000000000010\n", 0), 0u) << crash.Dump.substr(0, 80);
    EXPECT_NE(crash.Dump.find("\nmaps\n"), std::string::npos);
    // The crashed process writes its queued events and the crash event; the dump is the reporter's
    // to add.
    EXPECT_EQ(CheckEvents(crash.Events, crash.Dump, dir), "2 BeforeCrash CrashDump -");
    // Nothing in the shared temporary directory but what the reporter stand-in wrote: the files
    // are private, in a private folder.
    EXPECT_EQ(Names(temp), std::vector<std::string>{"reporter-args"});
    EXPECT_FALSE(crash.ArgsCreatedInPlace) << "reporter-args could be read before it was written";
    EXPECT_TRUE(crash.ArgsRenamedIn);
    EXPECT_EQ(crash.Folder, CrashFolder());
    EXPECT_EQ(Mode(crash.Folder), 0700);
    EXPECT_EQ(Mode(crash.Folder + "/" + crash.Id + ".dmp"), 0600);
    EXPECT_EQ(Mode(crash.Folder + "/" + crash.Id + ".json"), 0600);
    // One argument per line; the session is the crashed process's (its text is not fixed here).
    const std::string reporter = crash.Reporter;
    const size_t session = reporter.find("--crashsession=");
    ASSERT_NE(session, std::string::npos) << reporter;
    const std::string rest = reporter.substr(reporter.find('\n', session) + 1);
    EXPECT_EQ(reporter.substr(0, session), "--crashreport\n--crashid=" + crash.Id + "\n");
    // The reporter runs in another folder: what was named relative to ours reaches it in full. It
    // starts with no signal blocked or ignored, whatever the crashed process blocked and ignored.
    EXPECT_EQ(rest, "--crashautosend\n--skin=" + dir +
                        "/my skin\n--verbose=3\n--debugfileid=crash\n--debug\n--debugdir=" + dir +
                        "/logs\nsignals 0000000000000000 0000000000000000\n");
}

// The reporter is handed the folder the log took, once expanded, as text: never the switch to be
// expanded again in a folder of its own; a folder its command line would read as macros is not
// handed over, and the reporter then keeps no log file.
TEST_F(CrashReportTest, TheReporterIsHandedTheLogFolderTheLogTook) {
    fileLog = true;
    const std::string logs = dir + "/expanded logs";
    const struct {
        std::string Value, Handed;
    } rows[] = {
        {logs, "--debug\n--debugdir=" + logs + "\n"},
        {dir + "/{PathJoin:..,x}", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Value);
        setenv("QVR_CRASH_LOG_FOLDER", row.Value.c_str(), 1);
        Crash crash = Run({"segv", "--debugdir={Env:QVR_CRASH_LOG_FOLDER}"}, true);
        unsetenv("QVR_CRASH_LOG_FOLDER");
        EXPECT_EQ(crash.Signal, SIGSEGV);
        const size_t from = crash.Reporter.find("--debugfileid=crash\n");
        ASSERT_NE(from, std::string::npos) << crash.Reporter;
        const std::string rest = crash.Reporter.substr(from + 20);
        EXPECT_EQ(rest.substr(0, rest.find("signals ")), row.Handed) << crash.Reporter;
        ASSERT_EQ(system(("rm -rf '" + crash.Folder + "' '" + temp + "/reporter-args'").c_str()), 0);
    }
}

// An abort, a breakpoint signal, a breakpoint instruction (which does not repeat when the handler
// returns: the signal is raised again), and the toolkit's fatal error on a thread of its own.
TEST_F(CrashReportTest, AbortIsReportedToo) {
    // GLib's fatal error on a thread that blocks every signal (as GLib's own threads do) would
    // end the process with a breakpoint no handler sees: it is reported as an abort.
    for (const auto& [mode, signal] :
         {std::pair<const char*, int>{"abort", SIGABRT}, {"trap", SIGTRAP}, {"breakpoint", SIGTRAP}, {"glib", SIGABRT}}) {
        SCOPED_TRACE(mode);
        Crash crash = Run({mode}, true);
        EXPECT_EQ(crash.Signal, signal);
        EXPECT_EQ(crash.Dump.rfind("crash dump 1\nsignal " + std::to_string(signal) + "\n", 0), 0u);
        EXPECT_NE(crash.Reporter.find("--crashreport\n"), std::string::npos);
        if (strcmp(mode, "glib") == 0) {
            EXPECT_NE(crash.Log.find("\n(process:"), std::string::npos) << crash.Log;
            EXPECT_NE(crash.Log.find("): ERROR **: fatal on a thread that blocks signals\n"), std::string::npos) << crash.Log;
        }
        ASSERT_EQ(system(("rm -rf '" + crash.Folder + "' '" + temp + "/reporter-args'").c_str()), 0);
    }
}

// The crashed thread holds the lock of the log's print callback: the crash path neither logs
// through the callback nor waits, so the reporter starts and the process ends.
TEST_F(CrashReportTest, CallbackBlockedOnAHeldLockStillEndsTheProcess) {
    Crash crash = Run({"lock"}, true);
    EXPECT_EQ(crash.Signal, SIGSEGV);
    EXPECT_EQ(crash.Id.size(), 32u);
    EXPECT_LT(crash.Seconds, 20.0);
    EXPECT_NE(crash.Reporter.find("--crashid=" + crash.Id + "\n"), std::string::npos) << crash.Reporter;
}

// Another thread is inside a log line (the log's lock held) when the fault comes: the reporter is
// started all the same, and once the crashed process has ended it sends the crash, the dump added
// to the crashed process's events, and removes the files.
TEST_F(CrashReportTest, LogLockHeldByAnotherThreadStillReportsTheCrash) {
    console = true;
    send = true;
    Collector server;
    server.Listen();
    collector = &server;
    const Crash crash = Run({"busy", "--crashautosend"}, true);
    EXPECT_EQ(crash.Signal, SIGSEGV);
    EXPECT_NE(crash.Reporter.find("--crashreport\n"), std::string::npos) << crash.Log;
    EXPECT_NE(crash.Log.find("DEBUG - Running crash dump reporting process (--crashreport --crashid="), std::string::npos)
        << crash.Log;
    EXPECT_EQ(CheckEvents(crash.Sent, "crash dump 1\nsignal 11\ncode 1\n...", dir), "2 BeforeCrash CrashDump start")
        << crash.Sent.substr(0, 200);
    const std::string folder = CrashFolder();
    ASSERT_NE(folder, "");
    EXPECT_EQ(Names(folder), std::vector<std::string>{});
}

// A dump that a crashed run could not hand over (its reporter never ran, or was ended before it
// sent) is handed over by the next start, once: with its event file, or from the dump alone when
// that is missing. A start finds nothing left to hand over after that.
TEST_F(CrashReportTest, LeftoverDumpIsHandedOverOnceByTheNextStart) {
    console = true;
    Collector server;
    server.Listen();
    collector = &server;
    for (const bool events : {true, false}) {
        SCOPED_TRACE(events ? "dump and event file" : "dump alone");
        send = false;
        const Crash crash = Run({"segv"}, true);
        ASSERT_EQ(crash.Id.size(), 32u);
        const std::string folder = crash.Folder;
        if (!events) {
            ASSERT_EQ(unlink((folder + "/" + crash.Id + ".json").c_str()), 0);
        }
        // What a process killed while writing its dump leaves: no report, and gone once nothing
        // holds it.
        std::ofstream(folder + "/" + std::string(32, 'c') + ".part") << "crash dump 1\nsig";
        unlink((temp + "/reporter-args").c_str());
        send = true;
        const Crash next = Run({"start", "--crashautosend"}, true);
        EXPECT_EQ(next.Signal, 0) << next.Log;
        EXPECT_NE(next.Log.find("Handing over the crash dump of an earlier run [" + folder + "/" + crash.Id + ".dmp]"),
                  std::string::npos)
            << next.Log;
        EXPECT_NE(next.Reporter.find("--crashid=" + crash.Id + "\n"), std::string::npos) << next.Reporter;
        EXPECT_EQ(CheckEvents(next.Sent, crash.Dump, dir),
                  events ? "2 BeforeCrash CrashDump True" : "1 CrashDump CrashDump True");
        EXPECT_EQ(Names(folder), std::vector<std::string>{});
        unlink((temp + "/reporter-args").c_str());
        unlink((temp + "/reporter-sent").c_str());
        const Crash again = Run({"start"}, false);
        EXPECT_EQ(again.Log.find("Handing over"), std::string::npos) << again.Log;
        EXPECT_EQ(Names(temp), std::vector<std::string>{});
    }
}

// One report per crash, whatever the crash: sixteen threads faulting at once, a stack overflow on
// a thread that is not the one that installed reporting, a full descriptor table. Each leaves one
// whole dump, the events and a reporter.
TEST_F(CrashReportTest, EveryKindOfCrashLeavesOneReport) {
    console = true;
    for (const char* mode : {"threads", "overflow", "fdfull"}) {
        SCOPED_TRACE(mode);
        const bool full = strcmp(mode, "fdfull") == 0;
        const Crash crash = Run({mode}, true);
        // With the table full, a toolkit call on another thread may meet it first and end the
        // process with its fatal error: then that crash (an abort) is the one reported, as whole
        // as any.
        if (!full || crash.Signal != SIGABRT) {
            EXPECT_EQ(crash.Signal, SIGSEGV) << crash.Log;
        }
        ASSERT_EQ(crash.Id.size(), 32u) << crash.Log;
        EXPECT_EQ(crash.Dump.rfind("crash dump 1\nsignal " + std::to_string(crash.Signal) + "\n", 0), 0u)
            << crash.Dump.substr(0, 80);
        // The memory map itself, not only its heading.
        const size_t maps = crash.Dump.find("\nmaps\n");
        ASSERT_NE(maps, std::string::npos);
        EXPECT_NE(crash.Dump.find("/crash_host_program\n", maps), std::string::npos);
        EXPECT_EQ(CheckEvents(crash.Events, crash.Dump, dir), "2 BeforeCrash CrashDump -") << crash.Log;
        EXPECT_EQ(crash.Log.find("Unable to save crash json"), std::string::npos) << crash.Log;
        EXPECT_EQ(Names(crash.Folder), (std::vector<std::string>{crash.Id + ".dmp", crash.Id + ".json"}));
        EXPECT_NE(crash.Reporter.find("--crashid=" + crash.Id + "\n"), std::string::npos) << crash.Log;
        ASSERT_EQ(system(("rm -rf '" + crash.Folder + "' '" + temp + "/reporter-args'").c_str()), 0);
    }
}

// A report that cannot be sent (nothing listens at the collector's address; no display to ask on)
// stays whole, with an ERROR line; the next start that can send hands it over and sends it once.
TEST_F(CrashReportTest, UnsentReportIsKeptForTheNextStart) {
    console = true;
    send = true;
    Collector refusing;
    collector = &refusing;
    const Crash crash = Run({"segv", "--crashautosend"}, true);
    ASSERT_EQ(crash.Id.size(), 32u) << crash.Log;
    const std::string dump = crash.Folder + "/" + crash.Id + ".dmp";
    EXPECT_NE(crash.Log.find("ERROR - Unable to send crash dump to server; it is kept for a later start [" + dump + "]"),
              std::string::npos)
        << crash.Log;
    EXPECT_EQ(crash.Log.find("Deleting crash"), std::string::npos) << crash.Log;
    EXPECT_EQ(Names(crash.Folder), (std::vector<std::string>{crash.Id + ".dmp", crash.Id + ".json"}));
    unlink((temp + "/reporter-args").c_str());
    unlink((temp + "/reporter-sent").c_str());

    // Without a display nobody is asked, and nobody declined.
    const Crash unasked = Run({"start"}, true);
    EXPECT_NE(unasked.Log.find("Crash dump kept for a later start: there is no display to ask whether to send it [" +
                               dump + "]"),
              std::string::npos)
        << unasked.Log;
    EXPECT_EQ(Names(crash.Folder), (std::vector<std::string>{crash.Id + ".dmp", crash.Id + ".json"}));
    unlink((temp + "/reporter-args").c_str());
    unlink((temp + "/reporter-sent").c_str());

    Collector server;
    server.Listen();
    collector = &server;
    const Crash next = Run({"start", "--crashautosend"}, true);
    EXPECT_EQ(CheckEvents(next.Sent, crash.Dump, dir), "2 BeforeCrash CrashDump True") << next.Log;
    EXPECT_EQ(Names(crash.Folder), std::vector<std::string>{});
}

// A dump is locked from before it has a name until the crashed process ends: a start while the
// crashed process is still at work (here: stopped once the dump is named) hands nothing over, and
// a ".part" another process holds survives a start.
TEST_F(CrashReportTest, DumpsInUseAreNotHandedOver) {
    console = true;
    Run({"start"}, false);
    const std::string folder = CrashFolder();
    ASSERT_NE(folder, "");
    const std::string part = folder + "/" + std::string(32, 'd') + ".part";
    const int held = open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    bool stoppedInTime = false;
    for (int attempt = 0; attempt < 5 && !stoppedInTime; attempt++) {
        std::string named;
        const pid_t pid = StartStoppedAtDump("segv", folder, &named, &stoppedInTime);
        ASSERT_GT(pid, 0);
        int status = 0;
        if (stoppedInTime) {
            const Crash start = Run({"start"}, false);
            EXPECT_EQ(start.Log.find("Handing over"), std::string::npos) << start.Log;
            EXPECT_EQ(Mode(folder + "/" + named), 0600);
            EXPECT_EQ(Mode(part), 0600) << "a .part in use was removed";
            kill(pid, SIGCONT);
            waitpid(pid, &status, 0);
        }
        ASSERT_EQ(system(("find '" + folder + "' -name '*.dmp' -delete -o -name '*.json' -delete").c_str()), 0);
        unlink((temp + "/reporter-args").c_str());
    }
    EXPECT_TRUE(stoppedInTime) << "the crashed process always ended before it could be stopped";
    // A leftover a reporter has marked as its own (the mark held here) is that reporter's to offer.
    const std::string marked = folder + "/" + std::string(32, 'e') + ".dmp";
    std::ofstream(marked) << "crash dump 1\n";
    ASSERT_EQ(chmod(marked.c_str(), 0600), 0);
    const int offered = open(marked.c_str(), O_RDWR | O_CLOEXEC);
    struct flock mark = {};
    mark.l_type = F_WRLCK;
    mark.l_len = 1;
    ASSERT_EQ(fcntl(offered, F_OFD_SETLK, &mark), 0);
    const Crash start = Run({"start"}, false);
    EXPECT_EQ(start.Log.find("Handing over"), std::string::npos) << start.Log;
    EXPECT_EQ(Mode(marked), 0600);
    close(offered);
    unlink(marked.c_str());
    close(held);
    // Once nobody holds it, it is litter.
    Run({"start"}, false);
    EXPECT_EQ(Mode(part), -1);
}

// Six starts at once with three leftovers: each crash is offered by one reporter and sent once.
// Entries named like dumps that cannot be claimed (folders, another user's files) take none of a
// start's slots.
TEST_F(CrashReportTest, EachLeftoverIsOfferedOnceByConcurrentStarts) {
    Run({"start"}, false);
    const std::string folder = CrashFolder();
    ASSERT_NE(folder, "");
    for (int i = 0; i < 40; i++) {
        char id[33];
        snprintf(id, sizeof(id), "%032x", i);
        const std::string name = folder + "/" + id + ".dmp";
        if (i % 2) {
            ASSERT_EQ(mkdir(name.c_str(), 0700), 0);
        } else {
            std::ofstream(name) << "crash dump 1\n";
            ASSERT_EQ(chown(name.c_str(), kOtherUser, kOtherUser), 0);
        }
    }
    std::vector<std::string> dumps;
    for (const char* id : {"ffffffffffffffffffffffffffffff01", "ffffffffffffffffffffffffffffff02", "ffffffffffffffffffffffffffffff03"}) {
        dumps.push_back(std::string("crash dump 1\nleftover ") + id + "\n");
        std::ofstream(folder + "/" + id + ".dmp") << dumps.back();
        ASSERT_EQ(chmod((folder + "/" + id + ".dmp").c_str(), 0600), 0);
    }
    send = true;
    Collector server;
    server.Listen();
    collector = &server;
    console = true;
    const int logs = open((dir + "/starts.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    std::vector<pid_t> starts;
    for (int i = 0; i < 6; i++) starts.push_back(Start({"start", "--crashautosend"}, logs));
    close(logs);
    for (const pid_t pid : starts) waitpid(pid, nullptr, 0);
    auto left = [&] {
        int count = 0;
        for (const std::string& name : Names(folder)) count += name.rfind("ffff", 0) == 0;
        return count;
    };
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (left() > 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(left(), 0);
    // A reporter removes the files only once its post was taken.
    const std::vector<std::string> bodies = server.Take();
    for (const std::string& dump : dumps) {
        int sent = 0;
        for (const std::string& body : bodies)
            sent += atoi(Python("print(sum(1 for x in e if x.get('minidump') and base64.b64decode(x['minidump'])==d), end='')\n",
                                body, dump, dir)
                             .c_str());
        EXPECT_EQ(sent, 1) << dump;
    }
    // And each was handed to one reporter: a start keeps a dump locked until its reporter took it.
    const std::string log = Read(dir + "/starts.log");
    for (const char* id : {"ffffffffffffffffffffffffffffff01", "ffffffffffffffffffffffffffffff02", "ffffffffffffffffffffffffffffff03"}) {
        const std::string line = "Handing over the crash dump of an earlier run [" + folder + "/" + id + ".dmp]";
        size_t count = 0;
        for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) count++;
        EXPECT_EQ(count, 1u) << id;
    }
}

// With no dump possible (the crash folder is gone by the time of the crash), the log says so.
TEST_F(CrashReportTest, CrashWithoutADumpIsLogged) {
    console = true;
    const Crash crash = Run({"nofolder"}, false);
    EXPECT_EQ(crash.Signal, SIGSEGV);
    const size_t at = crash.Log.find("ERROR - Unable to write a crash dump into [" + state + "/");
    EXPECT_NE(at, std::string::npos) << crash.Log;
    const size_t end = crash.Log.find("\n", at);
    const std::string line = crash.Log.substr(at, end - at);
    EXPECT_NE(line.find("/crash] [LE: "), std::string::npos) << line;
    EXPECT_EQ(line.substr(line.size() - 29), "]; this crash is not reported") << line;
}

TEST_F(CrashReportTest, DisabledDumpsInstallNothing) {
    Crash crash = Run({"off"}, false);
    // Without our handler the fault ends the process (a sanitizer's handler may turn that into
    // its own exit code).
    EXPECT_NE(crash.Signal, 0);
    EXPECT_EQ(crash.Id, "");
    EXPECT_EQ(crash.Reporter, "");
}

// A crash folder that is not the user's own (a link to the shared directory, another user's
// folder) takes no dump: the dumps go to the private folder below the cache directory instead,
// and the log says why.
TEST_F(CrashReportTest, AFolderThatIsNotOursTakesNoDump) {
    console = true;
    const std::string folder = Run({"segv"}, true).Folder;
    ASSERT_NE(folder, "");
    unlink((temp + "/reporter-args").c_str());
    for (const bool link : {true, false}) {
        SCOPED_TRACE(link ? "link" : "another user's folder");
        ASSERT_EQ(system(("rm -rf '" + folder + "' '" + cache + "'").c_str()), 0);
        if (link) {
            ASSERT_EQ(symlink(temp.c_str(), folder.c_str()), 0);
        } else {
            ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
            ASSERT_EQ(chown(folder.c_str(), kOtherUser, kOtherUser), 0);
        }
        const Crash crash = Run({"segv"}, true);
        EXPECT_EQ(crash.Signal, SIGSEGV);
        EXPECT_EQ(crash.Id.size(), 32u);
        EXPECT_EQ(crash.Folder, CacheFolder());
        EXPECT_EQ(Mode(crash.Folder), 0700);
        EXPECT_NE(crash.Reporter.find("--crashid=" + crash.Id + "\n"), std::string::npos) << crash.Reporter;
        EXPECT_NE(crash.Log.find("Crash dump directory is unusable [" + folder + "]: " +
                                 (link ? "a folder other users can change" : "a folder of another user")),
                  std::string::npos)
            << crash.Log;
        // Then the folder that failed and what would let it pass.
        const struct passwd* them = getpwuid(kOtherUser);
        const std::string failed =
            link ? "The folder " + temp +
                       " is refused: every user may write into it (mode 1777); it passes when closed to "
                       "others' writes (chmod o-w)\n"
                 : "The folder " + folder + " is refused: it belongs to " + (them ? them->pw_name : "?") +
                       " (uid " + std::to_string(kOtherUser) + "); it passes once it belongs to you\n";
        EXPECT_NE(crash.Log.find(failed), std::string::npos) << crash.Log;
        EXPECT_NE(crash.Log.find("Crash dumps go to [" + CacheFolder() + "] instead"), std::string::npos) << crash.Log;
        EXPECT_EQ(Names(temp), std::vector<std::string>{"reporter-args"});
        unlink((temp + "/reporter-args").c_str());
        unlink(folder.c_str());
        rmdir(folder.c_str());
    }
}

// An unusable state folder (another user's; root's, for a plain user) no longer leaves the crash
// unreported: the dump and the reporter come from the cache folder.
TEST_F(CrashReportTest, UnusableStateFolderFallsBackToTheCacheFolder) {
    console = true;
    if (geteuid() != 0) GTEST_SKIP() << "another user's folder needs root";
    for (const bool other : {false, true}) {
        SCOPED_TRACE(other ? "run as the second user, state folder root's" : "state folder of another user");
        ASSERT_EQ(system(("rm -rf '" + cache + "' '" + dir + "/foreign'").c_str()), 0);
        stateHome = dir + "/foreign";
        ASSERT_EQ(mkdir(stateHome.c_str(), 0755), 0);
        asOtherUser = other;
        if (other) {
            ASSERT_TRUE(StageProgramForOtherUser());
            ASSERT_EQ(mkdir(cache.c_str(), 0700), 0);
            ASSERT_EQ(chown(cache.c_str(), kOtherUser, kOtherUser), 0);
        } else {
            ASSERT_EQ(chown(stateHome.c_str(), kOtherUser, kOtherUser), 0);
        }
        const Crash crash = Run({"segv"}, true);
        EXPECT_EQ(crash.Signal, SIGSEGV) << crash.Log;
        EXPECT_EQ(crash.Id.size(), 32u);
        EXPECT_EQ(crash.Folder, CacheFolder());
        EXPECT_NE(crash.Reporter.find("--crashid=" + crash.Id + "\n"), std::string::npos) << crash.Reporter;
        EXPECT_NE(crash.Log.find("Crash dump directory is unusable [" + stateHome + "/"), std::string::npos) << crash.Log;
        // Nothing was made in the foreign folder.
        EXPECT_EQ(Names(stateHome), std::vector<std::string>{});
        unlink((temp + "/reporter-args").c_str());
    }
}

// With the cache folder unusable too, the session's runtime folder takes the dumps.
TEST_F(CrashReportTest, RuntimeFolderIsTheLastFallback) {
    if (geteuid() != 0) GTEST_SKIP() << "another user's folder needs root";
    console = true;
    runtime = dir + "/run";
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    for (const std::string& folder : {state, cache}) {
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chown(folder.c_str(), kOtherUser, kOtherUser), 0);
    }
    const Crash crash = Run({"segv"}, true);
    EXPECT_EQ(crash.Signal, SIGSEGV);
    ASSERT_EQ(crash.Id.size(), 0u) << "found outside the runtime folder: " << crash.Folder;
    std::string folder;
    for (const std::string& product : Names(runtime))
        if (Mode(runtime + "/" + product + "/crash") >= 0) folder = runtime + "/" + product + "/crash";
    ASSERT_NE(folder, "");
    EXPECT_EQ(Mode(folder), 0700);
    EXPECT_NE(crash.Reporter.find("--crashreport\n"), std::string::npos) << crash.Log;
    EXPECT_NE(crash.Log.find("Crash dumps go to [" + folder + "] instead"), std::string::npos) << crash.Log;
    const std::vector<std::string> files = Names(folder);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].substr(32), ".dmp");
    EXPECT_EQ(files[1].substr(32), ".json");
    EXPECT_EQ(Names(state), std::vector<std::string>{});
    EXPECT_EQ(Names(cache), std::vector<std::string>{});
}

// A folder on the way to the crash folder that another user turned into a link in a shared
// (sticky) folder is not followed: the user's files never land where the link points.
TEST_F(CrashReportTest, AnotherUsersLinkOnTheWayIsNotFollowed) {
    console = true;
    if (geteuid() != 0) GTEST_SKIP() << "another user's link needs root";
    const std::string documents = dir + "/documents";
    ASSERT_EQ(mkdir(documents.c_str(), 0700), 0);
    ASSERT_EQ(symlink(documents.c_str(), (temp + "/gone").c_str()), 0);
    ASSERT_EQ(lchown((temp + "/gone").c_str(), kOtherUser, kOtherUser), 0);
    stateHome = temp + "/gone/state";
    const Crash crash = Run({"segv"}, true);
    EXPECT_EQ(crash.Signal, SIGSEGV);
    EXPECT_EQ(Names(documents), std::vector<std::string>{});
    EXPECT_EQ(crash.Folder, CacheFolder());
    EXPECT_NE(crash.Log.find("Crash dump directory is unusable [" + stateHome + "/"), std::string::npos) << crash.Log;
    EXPECT_NE(crash.Log.find("a link another user made"), std::string::npos) << crash.Log;
}

// A dump that cannot be written whole (the disk fills up; here a file size limit) is removed and
// starts no reporter: a cut dump is never sent as the crash.
TEST_F(CrashReportTest, CutDumpIsRemovedAndStartsNoReporter) {
    console = true;
    const Crash crash = Run({"full"}, false);
    EXPECT_EQ(crash.Signal, SIGSEGV);
    EXPECT_EQ(crash.Id, "");
    const std::string folder = CrashFolder();
    ASSERT_NE(folder, "");
    EXPECT_EQ(Names(folder), std::vector<std::string>{});
    // A reporter would have written its arguments by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Names(temp), std::vector<std::string>{});
    EXPECT_NE(crash.Log.find("Crash dump incomplete, removed [" + folder + "/"), std::string::npos) << crash.Log;
}

// The value of a dump's line "<name> <value>", "" when there is none.
std::string Field(const std::string& dump, const std::string& name) {
    const size_t at = dump.find("\n" + name + " ");
    if (at == std::string::npos) return "";
    const size_t start = at + name.size() + 2;
    return dump.substr(start, dump.find('\n', start) - start);
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) count++;
    return count;
}

// A crash on a thread the program did not start through its platform layer is reported like any
// other: one that blocked every signal (as GLib's threads do), one that blocked the crash signals
// (as graphics drivers' threads do), GLib's own, and a stack overflow on a plain POSIX thread and
// in a platform queue's work item. Each leaves one whole dump made on that thread, the events and
// a reporter. So does a fault on the main thread of a program started with the crash signals
// blocked.
TEST_F(CrashReportTest, CrashOnAnyThreadIsReported) {
    console = true;
    for (const auto& [mode, signal] :
         {std::pair<const char*, int>{"blocked", SIGSEGV}, {"blockedill", SIGILL}, {"attrmask", SIGSEGV},
          {"gthread", SIGSEGV}, {"pthread", SIGSEGV}, {"queueoverflow", SIGSEGV}}) {
        SCOPED_TRACE(mode);
        const Crash crash = Run({mode}, true);
        EXPECT_EQ(crash.Signal, signal) << crash.Log;
        ASSERT_EQ(crash.Id.size(), 32u) << crash.Log;
        EXPECT_EQ(crash.Dump.rfind("crash dump 1\nsignal " + std::to_string(signal) + "\n", 0), 0u)
            << crash.Dump.substr(0, 80);
        EXPECT_NE(Field(crash.Dump, "thread"), Field(crash.Dump, "process")) << "not made on the crashed thread";
        EXPECT_EQ(CheckEvents(crash.Events, crash.Dump, dir), "2 BeforeCrash CrashDump -") << crash.Log;
        EXPECT_NE(crash.Reporter.find("--crashid=" + crash.Id + "\n"), std::string::npos) << crash.Log;
        // Whatever the crashed thread blocked, the reporter blocks nothing.
        EXPECT_NE(crash.Reporter.find("\nsignals 0000000000000000 0000000000000000\n"), std::string::npos)
            << crash.Reporter;
        ASSERT_EQ(system(("rm -rf '" + crash.Folder + "' '" + temp + "/reporter-args'").c_str()), 0);
    }
    startBlocked = true;
    // Opened first thing, before anything else could; and the executable's own functions are what
    // the libraries reach.
    EXPECT_EQ(Run({"mask"}, false).Log, "crash signals blocked: none\ncovered 1\n");
    const Crash crash = Run({"segv"}, true);
    EXPECT_EQ(crash.Signal, SIGSEGV) << crash.Log;
    ASSERT_EQ(crash.Id.size(), 32u) << crash.Log;
    EXPECT_EQ(Field(crash.Dump, "thread"), Field(crash.Dump, "process"));
    EXPECT_NE(crash.Reporter.find("--crashid=" + crash.Id + "\n"), std::string::npos) << crash.Log;
    // What the process was started with blocked is no business of its reporter.
    EXPECT_NE(crash.Reporter.find("\nsignals 0000000000000000 0000000000000000\n"), std::string::npos)
        << crash.Reporter;
}

// A forked child that crashes before any exec dies of its signal and touches nothing of the
// parent's reporting: the parent's own crash afterwards is reported whole, once. A breakpoint,
// which execution would step past, ends the child too.
TEST_F(CrashReportTest, ForkedChildCrashLeavesTheParentsReportingAlone) {
    console = true;
    for (const auto& [mode, signal] :
         {std::pair<const char*, int>{"forkchild", SIGSEGV}, {"forkchildtrap", SIGTRAP}}) {
        SCOPED_TRACE(mode);
        const Crash crash = Run({mode}, true);
        EXPECT_NE(crash.Log.find("child ended by signal " + std::to_string(signal) + "\n"), std::string::npos)
            << crash.Log;
        EXPECT_EQ(crash.Signal, SIGSEGV) << crash.Log;
        ASSERT_EQ(crash.Id.size(), 32u) << crash.Log;
        EXPECT_EQ(Names(crash.Folder), (std::vector<std::string>{crash.Id + ".dmp", crash.Id + ".json"}));
        EXPECT_EQ(CheckEvents(crash.Events, crash.Dump, dir), "2 BeforeCrash CrashDump -") << crash.Log;
        EXPECT_EQ(crash.Log.find("Unable to"), std::string::npos) << crash.Log;
        EXPECT_EQ(Count(crash.Log, "Running crash dump reporting process"), 1u) << crash.Log;
        EXPECT_NE(crash.Reporter.find("--crashid=" + crash.Id + "\n"), std::string::npos) << crash.Reporter;
        ASSERT_EQ(system(("rm -rf '" + crash.Folder + "' '" + temp + "/reporter-args'").c_str()), 0);
    }
}

// Where nameless files are refused (many network file systems), the dump's file and the
// callback's are made and held from installation all the same: a crash with the descriptor table
// full still leaves its whole report, and a run that ends without a crash leaves nothing behind.
TEST_F(CrashReportTest, WithoutNamelessFilesTheFilesAreHeldFromInstallation) {
    console = true;
    noNameless = true;
    for (const char* mode : {"segv", "fdfull"}) {
        SCOPED_TRACE(mode);
        const Crash crash = Run({mode}, true);
        // As in EveryKindOfCrashLeavesOneReport, a toolkit call meeting the full table first is
        // reported as its abort.
        if (strcmp(mode, "fdfull") != 0 || crash.Signal != SIGABRT) {
            EXPECT_EQ(crash.Signal, SIGSEGV) << crash.Log;
        }
        ASSERT_EQ(crash.Id.size(), 32u) << crash.Log;
        EXPECT_EQ(crash.Dump.rfind("crash dump 1\nsignal " + std::to_string(crash.Signal) + "\n", 0), 0u)
            << crash.Dump.substr(0, 80);
        EXPECT_NE(crash.Dump.find("/crash_host_program\n", crash.Dump.find("\nmaps\n")), std::string::npos);
        EXPECT_EQ(CheckEvents(crash.Events, crash.Dump, dir), "2 BeforeCrash CrashDump -") << crash.Log;
        EXPECT_EQ(crash.Log.find("Unable to"), std::string::npos) << crash.Log;
        EXPECT_EQ(Names(crash.Folder), (std::vector<std::string>{crash.Id + ".dmp", crash.Id + ".json"}));
        EXPECT_NE(crash.Reporter.find("--crashid=" + crash.Id + "\n"), std::string::npos) << crash.Log;
        ASSERT_EQ(system(("rm -rf '" + crash.Folder + "' '" + temp + "/reporter-args'").c_str()), 0);
    }
    // While it runs, the two files are there, each a locked ".part"; a run that ends without a
    // crash removes them.
    int output[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    const pid_t pid = Start({"hold"}, output[1]);
    close(output[1]);
    std::string said;
    char buffer[4096];
    for (pollfd p = {output[0], POLLIN, 0}; said.find("installed\n") == std::string::npos && poll(&p, 1, 20000) == 1;) {
        const ssize_t n = read(output[0], buffer, sizeof(buffer));
        if (n <= 0) break;
        said.append(buffer, (size_t)n);
    }
    ASSERT_NE(said.find("installed\n"), std::string::npos) << said;
    const std::vector<std::string> held = Names(CrashFolder());
    EXPECT_EQ(held.size(), 2u);
    for (const std::string& name : held) {
        EXPECT_EQ(name.size(), 37u) << name;
        EXPECT_EQ(name.substr(name.size() - 5), ".part") << name;
        const int fd = open((CrashFolder() + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), -1) << name << " is not locked";
        close(fd);
    }
    std::ofstream(temp + "/release") << "";
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(output[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Names(CrashFolder()), std::vector<std::string>{});
}

// A dump is locked from before it has a name until the crashed process ends: one held since
// installation, one made at the crash because none was held, each with and without nameless
// files. The crashed process, stopped once its dump is named, still holds the lock.
TEST_F(CrashReportTest, DumpIsLockedUntilTheCrashedProcessEnds) {
    Run({"start"}, false);
    const std::string folder = CrashFolder();
    ASSERT_NE(folder, "");
    for (const bool refused : {false, true})
        for (const char* mode : {"segv", "unheld"}) {
            SCOPED_TRACE(std::string(mode) + (refused ? ", no nameless files" : ""));
            noNameless = refused;
            bool probed = false;
            for (int attempt = 0; attempt < 5 && !probed; attempt++) {
                std::string named;
                bool stopped = false;
                const pid_t pid = StartStoppedAtDump(mode, folder, &named, &stopped);
                ASSERT_GT(pid, 0);
                int status = 0;
                if (stopped && !named.empty()) {
                    probed = true;
                    const int dump = open((folder + "/" + named).c_str(), O_RDONLY | O_CLOEXEC);
                    EXPECT_GE(dump, 0);
                    EXPECT_EQ(flock(dump, LOCK_EX | LOCK_NB), -1) << "the dump was not locked";
                    EXPECT_EQ(errno, EWOULDBLOCK);
                    close(dump);
                    kill(pid, SIGCONT);
                }
                waitpid(pid, &status, 0);
                ASSERT_EQ(system(("find '" + folder + "' -name '*.dmp' -delete -o -name '*.json' -delete").c_str()), 0);
                unlink((temp + "/reporter-args").c_str());
            }
            EXPECT_TRUE(probed) << "the crashed process always ended before it could be stopped";
        }
}

// Once the dialogs are being dismissed (the process was asked to end), the reporter asks nothing,
// even with a display to ask on: nobody declined, so the dump is kept for a later start.
TEST_F(CrashReportTest, ReporterAsksNothingWhileDialogsAreDismissed) {
    const char* given = getenv("DISPLAY");
    // The other tests run without a display: one started here goes with this test.
    struct OwnDisplay {
        bool Own;
        ~OwnDisplay() {
            if (!Own) return;
            TestDisplayStop();
            unsetenv("DISPLAY");
        }
    } own{!given || !*given};
    ASSERT_EQ(TestDisplayStart(), "");
    display = getenv("DISPLAY");
    console = true;
    send = true;
    dismiss = true;
    const Crash crash = Run({"segv"}, true);
    ASSERT_EQ(crash.Id.size(), 32u) << crash.Log;
    EXPECT_NE(crash.Log.find("Crash dump kept for a later start: there is no display to ask whether to send it [" +
                             crash.Folder + "/" + crash.Id + ".dmp]"),
              std::string::npos)
        << crash.Log;
    EXPECT_EQ(Names(crash.Folder), (std::vector<std::string>{crash.Id + ".dmp", crash.Id + ".json"}));
}

TEST_F(CrashReportTest, ReporterSendsAndDeletesOnlyItsOwnFiles) {
    ScopedEnv env({{"TMPDIR", temp.c_str()},
                   {"XDG_STATE_HOME", state.c_str()},
                   {"XDG_CACHE_HOME", cache.c_str()},
                   {"XDG_RUNTIME_DIR", nullptr}});
    ASSERT_EQ(WorkflowApp_Init("crash_report_test.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
    Collector server;
    server.Listen();
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByPath(config, "analytics.endPoint", server.Url().c_str());
    Dictionary_SetStringByPath(config, "analytics.key", "test-key");
    Analytics_LoadConfigFromDictionary(config);
    Dictionary_Release(&config);
    // The collector of the tests listens on the loopback address.
    WebGet_WhitelistAdd("127.0.0.1");
    char path[512];
    ASSERT_EQ(CrashReport_BuildFilename("abc", ".dmp", path, sizeof(path)), 1);
    const std::string folder = std::string(path).substr(0, strlen(path) - 8);
    ASSERT_EQ(system(("mkdir -p -m 0700 '" + folder + "'").c_str()), 0);
    std::ofstream(folder + "/abc.dmp") << "crash dump 1\n";
    std::ofstream(folder + "/abc.json") << "[{\"event\": \"X\"}]";
    std::ofstream(folder + "/keep.dmp") << "x";
    Debug_PrintOverride(CaptureLog);
    TakeLog();
    EXPECT_EQ(CrashReport_SendDump("abc", "session-1"), 1);
    const std::string sent = TakeLog();
    EXPECT_NE(sent.find("Sending crash dump to server"), std::string::npos) << sent;
    EXPECT_EQ(Names(folder), std::vector<std::string>{"keep.dmp"});
    // An id from a command line names no other file.
    EXPECT_EQ(CrashReport_BuildFilename("../keep", ".dmp", path, sizeof(path)), 0);
    CrashReport_DeleteDump("../keep");
    EXPECT_EQ(Names(folder), std::vector<std::string>{"keep.dmp"});

    // What stands under an event file's name and is not a file of ours (a link to a file of the
    // user's, a file another user made) is never read and sent: the crash goes from its dump alone.
    // Deleting it removes the name only.
    const std::string secret = dir + "/secret.json";
    std::ofstream(secret) << "[{\"event\": \"Secret\"}]";
    for (const bool link : {true, false}) {
        SCOPED_TRACE(link ? "link" : "another user's file");
        std::ofstream(folder + "/abc.dmp") << "crash dump 1\n";
        if (link) {
            ASSERT_EQ(symlink(secret.c_str(), (folder + "/abc.json").c_str()), 0);
        } else {
            std::ofstream(folder + "/abc.json") << "[{\"event\": \"Theirs\"}]";
            ASSERT_EQ(chown((folder + "/abc.json").c_str(), kOtherUser, kOtherUser), 0);
        }
        TakeLog();
        EXPECT_EQ(CrashReport_SendDump("abc", "session-2"), 1);
        const std::string log = TakeLog();
        EXPECT_NE(log.find("Unable to open crash json [" + folder + "/abc.json]: the crash dump is sent alone"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("Sending crash dump to server"), std::string::npos) << log;
        EXPECT_EQ(Names(folder), std::vector<std::string>{"keep.dmp"});
        EXPECT_EQ(Read(secret), "[{\"event\": \"Secret\"}]");
    }

    // A dump of another user's under the name is neither read nor sent nor removed.
    server.Take();
    std::ofstream(folder + "/abc.dmp") << "crash dump 1\n";
    ASSERT_EQ(chown((folder + "/abc.dmp").c_str(), kOtherUser, kOtherUser), 0);
    TakeLog();
    EXPECT_EQ(CrashReport_SendDump("abc", "session-3"), 1);
    EXPECT_NE(TakeLog().find("Unable to open crash dump [" + folder + "/abc.dmp]: not a file of this user"),
              std::string::npos);
    EXPECT_EQ(server.Take(), std::vector<std::string>{});
    EXPECT_EQ(Names(folder), (std::vector<std::string>{"abc.dmp", "keep.dmp"}));
    ASSERT_EQ(unlink((folder + "/abc.dmp").c_str()), 0);

    // A post that fails (nothing listens) keeps the dump and its events for a later start.
    Collector refusing;
    Dictionary_Create(&config);
    Dictionary_SetStringByPath(config, "analytics.endPoint", refusing.Url().c_str());
    Analytics_LoadConfigFromDictionary(config);
    Dictionary_Release(&config);
    std::ofstream(folder + "/abc.dmp") << "crash dump 1\n";
    std::ofstream(folder + "/abc.json") << "[{\"event\": \"X\"}]";
    TakeLog();
    EXPECT_EQ(CrashReport_SendDump("abc", "session-4"), 1);
    const std::string log = TakeLog();
    EXPECT_NE(log.find("ERROR - Unable to send crash dump to server; it is kept for a later start [" + folder + "/abc.dmp]"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Deleting crash"), std::string::npos) << log;
    EXPECT_EQ(Names(folder), (std::vector<std::string>{"abc.dmp", "abc.json", "keep.dmp"}));
    Debug_PrintOverride(nullptr);
    uint32_t code = 0;
    WorkflowApp_Remove(&code);
}

} // namespace
