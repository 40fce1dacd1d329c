// Which of this executable's switches go on to the browser engine's child processes.
#include "host/host_switches.h"

#include <cstddef>

#include "core/runtime/debug.h"
#include "core/runtime/string.h"

namespace {

constexpr const char* kChildSwitches[] = {"perday",    "perthread",      "cefversion", "memoryreport",
                                          "append",    "cmdline",        "memorytest", "debugfileid",
                                          "memorytracking", "commit",    "verbose",    "perprocess"};
// A sandboxed child cannot write where these point.
constexpr const char* kUnsandboxedSwitches[] = {"debugdir", "debugfile"};

bool InList(const char* name, const char* const* list, size_t count) {
    for (size_t i = 0; i < count; i++)
        if (String_Compare(name, list[i])) return true;
    return false;
}

} // namespace

int64_t Host_ShouldPassToChild(const char* name, uint32_t sandboxed) {
    ASSERT_POINTER(name);
    if (String_Compare(name, "debug")) return 1;
    if (InList(name, kChildSwitches, sizeof(kChildSwitches) / sizeof(kChildSwitches[0]))) return 1;
    if (!sandboxed && InList(name, kUnsandboxedSwitches, 2)) return 1;
    return 0;
}
