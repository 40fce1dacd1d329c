// A host stand-in for the crash reporting tests. Run as
//   crash_host_program <segv|abort|trap|lock|busy|off|full|threads|overflow|fdfull|glib|nofolder|start> [--skin=...]
// it starts the engine context with analytics crash dumps on (off: turned off), queues one
// analytics event, installs crash reporting and crashes: a bad write, abort(), a breakpoint
// signal, a bad write while holding the lock its log callback needs ("lock"), a bad write while
// another thread is inside a log line and so holds the log's own lock ("busy"), a bad write under
// a file size limit that the dump outgrows ("full", as a disk that fills up), bad writes on
// sixteen threads at once ("threads"), a stack overflow on a second thread ("overflow"), or a bad
// write with the descriptor table full ("fdfull"), GLib's fatal error on a thread that blocks every
// signal, as GLib's own threads do ("glib"), or a bad write with the crash folder removed
// ("nofolder"); a real breakpoint instruction ("breakpoint"); a bad write with the dump file held
// since installation given up ("unheld"); on threads it did not start through the platform layer:
// a bad write on a thread that blocked every signal ("blocked"), an illegal instruction on one
// that blocked the crash signals as graphics drivers' threads do ("blockedill"), a bad write on a
// thread started with every signal blocked by its attributes ("attrmask"), a bad write on a
// GLib thread ("gthread"), a stack overflow on a plain POSIX thread ("pthread") and in a work item
// of a platform queue ("queueoverflow"); a forked child that crashes before any exec, then a bad
// write in the parent, which prints "child ended by signal <n>" first ("forkchild"; with a
// breakpoint in the child, "forkchildtrap");
// "start" installs crash reporting and ends without a fault; "hold" does the same once
// "$TMPDIR/release" exists (for at most 60 s), after printing "installed".
// It ignores SIGPIPE, as libraries the host loads make it do. Started with --crashreport it is the
// reporter: it writes its arguments, one per line, then "signals <blocked> <ignored>" as the
// kernel shows its own masks, to "$TMPDIR/reporter-args" (whole, by a rename); with
// CRASH_HOST_SEND set it then offers the crash as the host's reporter does (to the collector at
// CRASH_HOST_ENDPOINT) and writes what it still holds queued, as JSON, to "$TMPDIR/reporter-sent"
// (whole, by a rename). CRASH_HOST_FILELOG adds the file log to the stand-in's debug flags. With
// CRASH_HOST_DISMISS the reporter offers the crash once the dialogs are being dismissed (as after
// a signal).
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <sys/resource.h>
#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <glib.h>
#include <pthread.h>
#include <unistd.h>
#include <vector>

#include "core/linux/gui/native_ui.h"
#include "core/linux/platform_queue.h"
#include "core/linux/platform_thread.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/web/analytics.h"
#include "core/web/web_get_redirect.h"
#include "host/crash_report.h"
#include "host/linux/crash_handler.h"
#include "host/linux/crash_handler_threads.h"
#include "workflow/workflow_app.h"

namespace {

std::mutex g_logLock;
// Room for the log lines, not for a dump (its stack slice and memory map alone are larger).
constexpr rlim_t kFullLimit = 1024;

void LockedPrint(const char*) {
    std::lock_guard<std::mutex> guard(g_logLock);
}

// "busy": the line that stops inside the log (its lock held) until the process ends.
std::mutex g_insideLock;
std::condition_variable g_inside;
bool g_isInside = false;

void StoppingPrint(const char* text) {
    if (!strstr(text, "stop inside the log")) return;
    std::unique_lock<std::mutex> lock(g_insideLock);
    g_isInside = true;
    g_inside.notify_all();
    g_inside.wait(lock, [] { return false; });
}

// The engine with analytics on, its events held: an end point nobody listens on.
void StartEngine(bool crashDumps) {
    const uint32_t flags = (getenv("CRASH_HOST_CONSOLE") ? (uint32_t)DEBUG_FLAG_CONSOLE : (uint32_t)DEBUG_FLAG_EXTERNAL_PRINT) |
                           (getenv("CRASH_HOST_FILELOG") ? (uint32_t)DEBUG_FLAG_FILE : 0u);
    WorkflowApp_Init("crash_host.log", flags);
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    const char* endPoint = getenv("CRASH_HOST_ENDPOINT");
    Dictionary_SetStringByPath(config, "analytics.endPoint", endPoint ? endPoint : "http://127.0.0.1:9/");
    Dictionary_SetStringByPath(config, "analytics.key", "test-key");
    Dictionary_SetBooleanByPath(config, "analytics.enabled", 1);
    Dictionary_SetBooleanByPath(config, "analytics.crashDump", crashDumps ? 1 : 0);
    Analytics_LoadConfigFromDictionary(config);
    Dictionary_Release(&config);
    // The collector of the tests listens on the loopback address.
    WebGet_WhitelistAdd("127.0.0.1");
}

// Written whole under a name of its own, then renamed: the test reads the file as soon as it sees
// it.
// A field of this process's status as the kernel shows it ("" when missing).
std::string StatusField(const char* name) {
    FILE* status = fopen("/proc/self/status", "re");
    char line[256];
    std::string value;
    const size_t length = strlen(name);
    while (status && fgets(line, sizeof(line), status))
        if (strncmp(line, name, length) == 0 && line[length] == ':') {
            value = line + length + 1;
            value.erase(0, value.find_first_not_of(" \t"));
            value.erase(value.find_last_not_of("\n") + 1);
        }
    if (status) fclose(status);
    return value;
}

bool WriteWhole(const std::string& name, const std::string& text) {
    const std::string temp = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
    const std::string part = temp + "/" + name + "." + std::to_string(getpid());
    FILE* out = fopen(part.c_str(), "wx");
    if (!out) return false;
    fwrite(text.data(), 1, text.size(), out);
    const bool written = fflush(out) == 0 && !ferror(out);
    if (fclose(out) != 0 || !written || rename(part.c_str(), (temp + "/" + name).c_str()) != 0) {
        unlink(part.c_str());
        return false;
    }
    return true;
}

// The reporter's part with CRASH_HOST_SEND: the host's own sending, then what it queued.
int SendAsTheReporter(int argc, char** argv) {
    Arguments_Init(argc, argv);
    StartEngine(true);
    char id[128] = "", session[128] = "";
    CommandLine_GetFieldByName(nullptr, "crashid", id, sizeof(id));
    CommandLine_GetFieldByName(nullptr, "crashsession", session, sizeof(session));
    if (getenv("CRASH_HOST_DISMISS")) NativeUI_DismissDialogs();
    CrashReport_Offer(id, session, CommandLine_IsFieldSet(nullptr, "crashautosend") ? 1 : 0);
    Dictionary* root = nullptr;
    Dictionary* list = nullptr;
    Dictionary_Create(&root);
    Dictionary_AddList(root, nullptr, &list, nullptr);
    Analytics_Dump(list);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, root);
    uint32_t estimate = 0;
    JSON_SaveBufferEstimate(json, &estimate);
    std::string text(estimate, '\0');
    uint32_t length = 0;
    const bool saved = JSON_SaveBuffer(json, text.data(), (uint32_t)text.size(), &length) == 1;
    text.resize(saved ? length : 0);
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    Dictionary_Release(&root);
    WorkflowApp_Remove(nullptr);
    return saved && WriteWhole("reporter-sent", text) ? 0 : 1;
}

// "overflow": recursion that each frame keeps alive, on a thread of the platform layer's.
// (The end that never comes keeps the compiler from calling it endless.)
volatile uintptr_t g_bottom = UINTPTR_MAX;

uint32_t Recurse(void* depth) {
    volatile char frame[512];
    frame[0] = (char)(uintptr_t)depth;
    if ((uintptr_t)depth == g_bottom) return 0;
    const uint32_t deeper = Recurse(reinterpret_cast<void*>((uintptr_t)depth + 1));
    return deeper + (uint32_t)frame[0];
}

void BadWrite() {
    // An unmapped address that is not null, which the undefined-behaviour checks would catch first.
    volatile int* nowhere = reinterpret_cast<volatile int*>(uintptr_t{16});
    *nowhere = 1;
}

void* RecurseOnThread(void*) {
    Recurse(nullptr);
    return nullptr;
}

void RecurseInWork(void*, void*) { Recurse(nullptr); }

// A breakpoint, as the toolkit's fatal errors end with: the program goes on after it unless the
// signal ends it.
void Breakpoint() {
#if defined(__x86_64__)
    asm volatile("int3");
#elif defined(__aarch64__)
    asm volatile("brk #0");
#endif
}

} // namespace

int main(int argc, char** argv) {
    // As the host's own start-up does. "mask" prints the crash signals still blocked after it
    // ("crash signals blocked: <numbers>", "none" for none) and ends.
    const int64_t covered = Breakpad_CoverEveryThread();
    if (argc > 1 && strcmp(argv[1], "mask") == 0) {
        sigset_t blocked;
        pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
        std::string numbers;
        for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT})
            if (sigismember(&blocked, signal)) numbers += " " + std::to_string(signal);
        printf("crash signals blocked:%s\ncovered %d\n", numbers.empty() ? " none" : numbers.c_str(), (int)covered);
        return 0;
    }
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--crashreport") != 0) continue;
        std::string lines;
        for (int j = 1; j < argc; j++) lines += std::string(argv[j]) + "\n";
        lines += "signals " + StatusField("SigBlk") + " " + StatusField("SigIgn") + "\n";
        if (!WriteWhole("reporter-args", lines)) return 1;
        return getenv("CRASH_HOST_SEND") ? SendAsTheReporter(argc, argv) : 0;
    }
    signal(SIGPIPE, SIG_IGN);
    const std::string mode = argc > 1 ? argv[1] : "";
    Arguments_Init(argc, argv);
    // The events stay queued, as in a process about to crash.
    StartEngine(mode != "off");
    Analytics_SendEventWithJSON("BeforeCrash", "{\"n\": 1}");
    // Leaving without a fault, it shuts down as the host does: a helper thread still starting (the
    // proxy settings load modules) must not outlive the libraries it uses.
    if (!CrashReport_Init()) {
        WorkflowApp_Remove(nullptr);
        return 2;
    }
    if (mode == "lock") {
        Debug_PrintCallback(LockedPrint);
        Breakpad_SetCallbackWaitForTesting(1500);
        g_logLock.lock();
    }
    if (mode == "hold") {
        printf("installed\n");
        fflush(stdout);
        const std::string release = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/release";
        for (int i = 0; i < 6000 && access(release.c_str(), F_OK) != 0; i++) usleep(10000);
    }
    if (mode == "start" || mode == "hold") {
        CrashReport_Remove();
        WorkflowApp_Remove(nullptr);
        return 0;
    }
    if (mode == "busy") {
        // Another thread is inside a log line, and so holds the log's lock, when the fault comes.
        Debug_PrintCallback(StoppingPrint);
        std::thread([] { Log_Info("stop inside the log\n"); }).detach();
        std::unique_lock<std::mutex> lock(g_insideLock);
        g_inside.wait(lock, [] { return g_isInside; });
    }
    // (The log's lock stays with the stopped thread; the test's own lock is let go.)
    if (mode == "full") {
        // A write past the limit fails with EFBIG instead of ending the process.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {kFullLimit, kFullLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (mode == "unheld") Breakpad_ReleaseHeldDumpForTesting();
    if (mode == "abort") abort();
    if (mode == "breakpoint") {
        Breakpoint();
        return 3;
    }
    if (mode == "blocked" || mode == "blockedill") {
        std::thread([&mode] {
            sigset_t blocked;
            if (mode == "blocked") {
                sigfillset(&blocked);
                pthread_sigmask(SIG_SETMASK, &blocked, nullptr);
                BadWrite();
            } else {
                sigemptyset(&blocked);
                for (const int signal : {SIGILL, SIGBUS, SIGFPE, SIGTRAP, SIGABRT}) sigaddset(&blocked, signal);
                sigprocmask(SIG_BLOCK, &blocked, nullptr);
                __builtin_trap();
            }
        }).join();
        return 3;
    }
    if (mode == "attrmask") {
        pthread_attr_t attributes;
        sigset_t all;
        sigfillset(&all);
        pthread_t thread;
        if (pthread_attr_init(&attributes) != 0 || pthread_attr_setsigmask_np(&attributes, &all) != 0 ||
            pthread_create(&thread, &attributes, [](void*) -> void* {
                BadWrite();
                return nullptr;
            }, nullptr) != 0)
            return 4;
        pthread_join(thread, nullptr);
        return 3;
    }
    if (mode == "gthread") {
        g_thread_join(g_thread_new("crashing", [](gpointer) -> gpointer {
            BadWrite();
            return nullptr;
        }, nullptr));
        return 3;
    }
    if (mode == "pthread") {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, RecurseOnThread, nullptr) != 0) return 4;
        pthread_join(thread, nullptr);
        return 3;
    }
    if (mode == "queueoverflow") {
        PlatformQueue* queue = nullptr;
        if (!Platform_QueueCreate(&queue, "crashing", 1)) return 4;
        Platform_QueueAsync(queue, RecurseInWork, nullptr, nullptr);
        Platform_QueueDelete(&queue);
        return 3;
    }
    if (mode == "forkchild" || mode == "forkchildtrap") {
        const pid_t child = fork();
        if (child == 0) {
            if (mode == "forkchildtrap")
                Breakpoint();
            else
                BadWrite();
            _exit(0);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child) return 4;
        printf("child ended by signal %d\n", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        fflush(stdout);
    }
    if (mode == "trap") raise(SIGTRAP);
    if (mode == "overflow") {
        uint32_t id = 0;
        void* thread = nullptr;
        if (!Platform_ThreadBegin(Recurse, nullptr, &id, &thread)) return 4;
        Platform_ThreadJoin(thread);
        return 3;
    }
    if (mode == "glib") {
        std::thread([] {
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_SETMASK, &all, nullptr);
            g_error("fatal on a thread that blocks signals");
        }).join();
        return 3;
    }
    if (mode == "threads") {
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < 16; i++)
            threads.emplace_back([&go] {
                while (!go.load()) {
                }
                volatile int* nowhere = reinterpret_cast<volatile int*>(uintptr_t{16});
                *nowhere = 1;
            });
        go.store(true);
        for (std::thread& thread : threads) thread.join();
        return 3;
    }
    if (mode == "nofolder") {
        // The crash folder (empty yet) goes away under the installed handler.
        char path[1024] = "";
        CrashReport_BuildFilename("x", "", path, sizeof(path));
        if (char* slash = strrchr(path, '/')) *slash = 0;
        if (rmdir(path) != 0) return 4;
    }
    if (mode == "fdfull") {
        // Threads that take any number freed meanwhile, as other threads of a busy process would;
        // started first, since a thread is not made with the table full.
        static std::atomic<bool> full{false};
        for (int i = 0; i < 6; i++)
            std::thread([] {
                while (!full.load()) {
                }
                for (;;) dup(0);
            }).detach();
        // Every number below 256 taken, then the table cut to 256 right before the fault: nothing
        // is left for the dump but what its handler kept aside, and the process's other threads
        // (the toolkit's) meet the full table no sooner.
        int fd = -1;
        while ((fd = open("/dev/null", O_RDONLY)) >= 0 && fd < 255) {
        }
        rlimit limit = {};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 256;
        setrlimit(RLIMIT_NOFILE, &limit);
        full.store(true);
    }
    BadWrite();
    return 3;
}
