// Where the system tools that task types run are found. They are fixed paths, never searched
// for; only tests point them at stand-ins.
#pragma once

enum ProcessTool {
    PROCESS_TOOL_DISK_IMAGE = 0, // "/usr/bin/hdiutil"
    PROCESS_TOOL_INSTALLER = 1,  // "/usr/sbin/installer"
};

const char* ProcessTools_GetPath(ProcessTool tool);
// For tests only: a null path restores the fixed one.
void ProcessTools_SetPathForTesting(ProcessTool tool, const char* path);
