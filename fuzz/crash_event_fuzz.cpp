// The crash reporter reads an event file that a crashed process wrote, beside the dump: whatever
// the file holds (truncated JSON, other shapes, huge texts), sending it must end cleanly, and a
// report whose post did not go out (here the collector is never reachable) keeps its dump.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/web/analytics.h"
#include "host/crash_report.h"
#include "tests/support/scoped_env.h"
#include "workflow/workflow_app.h"

namespace {
std::string g_dump;   // the dump of the id "fuzzcase" in the private crash folder
std::string g_events; // its event file
constexpr char kDump[] = "crash dump 1\nsignal 11\ncode 1\naddress 0000000000000010\nprocess 1\nthread 1\nmaps\n";

bool WriteFile(const std::string& path, const void* data, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && written;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/crash-event-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    const std::string dir = pattern;
    SetBothEnv("XDG_STATE_HOME", dir.c_str());
    // The fallback folders stay inside the case's folder too, whatever this machine's user has.
    SetBothEnv("XDG_CACHE_HOME", (dir + "/cache").c_str());
    SetBothEnv("XDG_RUNTIME_DIR", nullptr);
    WorkflowApp_Init("crash_event_fuzz.log", DEBUG_FLAG_EXTERNAL_PRINT);
    // Analytics configured, so that the events are queued and posted; the end point is not on the
    // host list, so no post leaves the process and none succeeds.
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByPath(config, "analytics.endPoint", "http://127.0.0.1:9/");
    Dictionary_SetStringByPath(config, "analytics.key", "fuzz-key");
    Analytics_LoadConfigFromDictionary(config);
    Dictionary_Release(&config);
    char path[1024];
    if (!CrashReport_BuildFilename("fuzzcase", ".dmp", path, sizeof(path))) abort();
    g_dump = path;
    if (!CrashReport_BuildFilename("fuzzcase", ".json", path, sizeof(path))) abort();
    g_events = path;
    const std::string folder = g_dump.substr(0, g_dump.rfind('/'));
    if (system(("mkdir -p -m 0700 '" + folder + "'").c_str()) != 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!WriteFile(g_dump, kDump, sizeof(kDump) - 1) || !WriteFile(g_events, data, size)) return 0;
    CrashReport_SendDump("fuzzcase", "session");
    // A report that was not sent is never lost.
    if (access(g_dump.c_str(), F_OK) != 0) abort();
    unlink(g_dump.c_str());
    unlink(g_events.c_str());
    return 0;
}
