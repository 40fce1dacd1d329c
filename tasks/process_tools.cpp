// The fixed paths of the system tools, with the override tests use for their stand-ins.
#include "tasks/process_tools.h"

#include <string>

namespace {

const char* const kFixed[] = {"/usr/bin/hdiutil", "/usr/sbin/installer"};
std::string g_override[2];

} // namespace

const char* ProcessTools_GetPath(ProcessTool tool) {
    const int index = tool == PROCESS_TOOL_INSTALLER ? 1 : 0;
    return g_override[index].empty() ? kFixed[index] : g_override[index].c_str();
}

void ProcessTools_SetPathForTesting(ProcessTool tool, const char* path) {
    g_override[tool == PROCESS_TOOL_INSTALLER ? 1 : 0] = path ? path : "";
}
