// A host stand-in for the crash reporting tests. Run as
//   crash_host_program <segv|abort|lock|busy|off|full|start> [--skin=... --verbose=... ...]
// it starts the engine context with analytics crash dumps on (off: turned off), queues one
// analytics event, installs crash reporting and crashes: a bad write, abort(), a bad write while
// holding the lock its log callback needs ("lock"), a bad write while another thread is inside a
// log line and so holds the log's own lock ("busy"), or a bad write under a file size limit that
// the dump outgrows ("full", as a disk that fills up); "start" installs crash reporting and ends
// without a fault. Started with --crashreport it is the reporter: it writes its arguments, one per
// line, to "$TMPDIR/reporter-args" (whole, by a rename); with CRASH_HOST_SEND set it then sends
// the crash as the host's reporter does and writes the events it queued for the server, as JSON,
// to "$TMPDIR/reporter-sent" (whole, by a rename).
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

#include <unistd.h>

#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/web/analytics.h"
#include "host/crash_report.h"
#include "host/linux/crash_handler.h"
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
    WorkflowApp_Init("crash_host.log", getenv("CRASH_HOST_CONSOLE") ? DEBUG_FLAG_CONSOLE : DEBUG_FLAG_EXTERNAL_PRINT);
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByPath(config, "analytics.endPoint", "http://127.0.0.1:9/");
    Dictionary_SetStringByPath(config, "analytics.key", "test-key");
    Dictionary_SetBooleanByPath(config, "analytics.enabled", 1);
    Dictionary_SetBooleanByPath(config, "analytics.crashDump", crashDumps ? 1 : 0);
    Analytics_LoadConfigFromDictionary(config);
    Dictionary_Release(&config);
}

// Written whole under a name of its own, then renamed: the test reads the file as soon as it sees
// it.
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
    CrashReport_SendDump(id, session);
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

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--crashreport") != 0) continue;
        std::string lines;
        for (int j = 1; j < argc; j++) lines += std::string(argv[j]) + "\n";
        if (!WriteWhole("reporter-args", lines)) return 1;
        return getenv("CRASH_HOST_SEND") ? SendAsTheReporter(argc, argv) : 0;
    }
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
    if (mode == "start") {
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
    if (mode == "abort") abort();
    // An unmapped address that is not null, which the undefined-behaviour checks would catch first.
    volatile int* nowhere = reinterpret_cast<volatile int*>(uintptr_t{16});
    *nowhere = 1;
    return 3;
}
