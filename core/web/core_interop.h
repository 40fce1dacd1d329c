// The core script classes: files and paths, pipes, processes, the registry store, platform facts,
// notifications, the HTTP client's redirect rules and analytics, offered to page scripts through
// the script bridge as the in-process library "CoreInterop".
#pragma once

#include <cstdint>

#include "core/formats/interop.h"

struct Dictionary;

// The library's entry points, for Interop_Add. Init, Remove, SetOverride and SetOption do nothing
// and answer 1. CreateInstance clears its four outputs, then fills them for a class it serves
// ("QVR.Process", "QVR.Pipe", "QVR.NotificationCenter", "QVR.Registry", "QVR.FileSystem",
// "QVR.Platform", "QVR.Analytics", "QVR.WebGet") and answers 1; 0 for any other name.
int64_t CoreInterop_Init();
int64_t CoreInterop_Remove();
int64_t CoreInterop_CreateInstance(const char* className, char* id, int32_t idSize, void* executeUser,
                                   InteropExecuteFunc executeFunction, InteropInvokeFunc* invoke,
                                   InteropReleaseFunc* release, InteropProcessFunc* process,
                                   void** userContext);
int64_t CoreInterop_SetOverride(const char* name, void* function);
int64_t CoreInterop_SetOption(const char* name, const char* value);

// The classes' invoke functions: the method is chosen by the request's CRC-32 of its name. 1 when
// the method is known and every argument was read; the response then holds "returnValue" (a known
// method with a missing or mistyped argument answers 0 with false, 0 or an empty text there; an
// unknown method answers 0 and writes nothing).
int64_t Path_Invoke(void* userContext, Dictionary* request, Dictionary* response);
int64_t Pipe_Invoke(void* userContext, Dictionary* request, Dictionary* response);
int64_t Process_Invoke(void* userContext, Dictionary* request, Dictionary* response);
int64_t Registry_Invoke(void* userContext, Dictionary* request, Dictionary* response);
int64_t Platform_Invoke(void* userContext, Dictionary* request, Dictionary* response);
int64_t NotificationCenter_Invoke(void* userContext, Dictionary* request, Dictionary* response);
int64_t WebGet_Invoke(void* userContext, Dictionary* request, Dictionary* response);
int64_t Analytics_Invoke(void* userContext, Dictionary* request, Dictionary* response);
