// Which of this executable's switches go on to the browser engine's child processes.
#pragma once

#include <cstdint>

// 1 for the switches a child process is started with: the debugging and tracing switches, the
// debug output folder and file only for a child outside the sandbox.
int64_t Host_ShouldPassToChild(const char* name, uint32_t sandboxed);
