// The crash reporter reads an event file that a crashed process wrote: whatever the file holds
// (truncated JSON, other shapes, huge texts), sending it must end cleanly and delete the files.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "core/runtime/debug.h"
#include "host/crash_report.h"
#include "workflow/workflow_app.h"

namespace {
std::string g_dir;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/crash-event-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    g_dir = pattern;
    setenv("TMPDIR", g_dir.c_str(), 1);
    WorkflowApp_Init("crash_event_fuzz.log", DEBUG_FLAG_EXTERNAL_PRINT);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = g_dir + "/fuzzcase.json";
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return 0;
    fwrite(data, 1, size, file);
    fclose(file);
    CrashReport_SendDump("fuzzcase", "session");
    if (access(path.c_str(), F_OK) == 0) abort(); // the reporter never leaves a report behind
    return 0;
}
