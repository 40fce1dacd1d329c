// The crash reporter reads an event file that a crashed process wrote: whatever the file holds
// (truncated JSON, other shapes, huge texts), sending it must end cleanly and delete the files.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "core/runtime/debug.h"
#include "host/crash_report.h"
#include "tests/support/scoped_env.h"
#include "workflow/workflow_app.h"

namespace {
std::string g_dir;
std::string g_path; // the event file of the id "fuzzcase" in the private crash folder
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/crash-event-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    g_dir = pattern;
    SetBothEnv("XDG_STATE_HOME", g_dir.c_str());
    // The fallback folders stay inside the case's folder too, whatever this machine's user has.
    SetBothEnv("XDG_CACHE_HOME", (g_dir + "/cache").c_str());
    SetBothEnv("XDG_RUNTIME_DIR", nullptr);
    WorkflowApp_Init("crash_event_fuzz.log", DEBUG_FLAG_EXTERNAL_PRINT);
    char path[1024];
    if (!CrashReport_BuildFilename("fuzzcase", ".json", path, sizeof(path))) abort();
    g_path = path;
    const std::string folder = g_path.substr(0, g_path.rfind('/'));
    if (system(("mkdir -p -m 0700 '" + folder + "'").c_str()) != 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = g_path;
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return 0;
    fwrite(data, 1, size, file);
    fclose(file);
    CrashReport_SendDump("fuzzcase", "session");
    if (access(path.c_str(), F_OK) == 0) abort(); // the reporter never leaves a report behind
    return 0;
}
