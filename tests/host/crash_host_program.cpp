// A host stand-in for the crash reporting tests. Run as
//   crash_host_program <segv|abort|lock|off|full> [--skin=... --verbose=... ...]
// it starts the engine context with analytics crash dumps on (off: turned off), queues one
// analytics event, installs crash reporting and crashes: a bad write, abort(), or a bad write
// while holding the lock its log callback needs ("lock"), so that the crash callback blocks, or a
// bad write under a file size limit that the dump outgrows ("full", as a disk that fills up).
// Started with --crashreport it is the reporter: it writes its arguments, one per line, to
// "$TMPDIR/reporter-args" (whole, by a rename) and exits 0.
#include <csignal>
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
#include "core/runtime/dictionary.h"
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

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--crashreport") != 0) continue;
        // Written whole under a name of its own, then renamed: the test reads the file as soon as
        // it sees it.
        const std::string temp = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
        const std::string part = temp + "/reporter-args." + std::to_string(getpid());
        FILE* out = fopen(part.c_str(), "wx");
        if (!out) return 1;
        for (int j = 1; j < argc; j++) fprintf(out, "%s\n", argv[j]);
        const bool written = fflush(out) == 0 && !ferror(out);
        if (fclose(out) != 0 || !written || rename(part.c_str(), (temp + "/reporter-args").c_str()) != 0) {
            unlink(part.c_str());
            return 1;
        }
        return 0;
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    Arguments_Init(argc, argv);
    WorkflowApp_Init("crash_host.log", getenv("CRASH_HOST_CONSOLE") ? DEBUG_FLAG_CONSOLE : DEBUG_FLAG_EXTERNAL_PRINT);
    // An end point nobody listens on: the events stay queued, as in a process about to crash.
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByPath(config, "analytics.endPoint", "http://127.0.0.1:9/");
    Dictionary_SetStringByPath(config, "analytics.key", "test-key");
    Dictionary_SetBooleanByPath(config, "analytics.enabled", 1);
    Dictionary_SetBooleanByPath(config, "analytics.crashDump", mode == "off" ? 0 : 1);
    Analytics_LoadConfigFromDictionary(config);
    Dictionary_Release(&config);
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
