// The script invoker: what page script asks of native objects (create, invoke, release, ask for
// an instance, hash a string) handed to the script bridge on behalf of one skin window, and the
// skin's own interop library that makes the skin's script classes.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/formats/interop.h"
#include "core/runtime/class.h"

struct Dictionary;
struct MemoryStream;
struct ScriptInvoker;

enum : uint32_t {
    SCRIPTINVOKER_CLASS_ID = 0x08c3101a,
    SCRIPTINVOKER_ERROR_SIZE = 2048,
    SCRIPTINVOKER_WINDOW_ID_SIZE = 40,
    // The largest body of one script call (a binding, a create request, a text to hash) that any
    // route takes. A page's calls are a method and its arguments, kilobytes even when a text file
    // goes with them. The call is answered on the window's thread: at this size the heaviest
    // binding for the reader (a list of a million numbers) still holds it for tens of
    // milliseconds, a text of this size for about one.
    SCRIPTINVOKER_MAX_BODY = 2u << 20,
};

int64_t ScriptInvoker_Create(ScriptInvoker** handle);
int64_t ScriptInvoker_Delete(ScriptInvoker** handle);
int64_t ScriptInvoker_AddRef(ScriptInvoker* invoker);
int64_t ScriptInvoker_Release(ScriptInvoker** handle);
int64_t ScriptInvoker_GetInstanceId(ScriptInvoker* invoker, char* buffer, int32_t size);

// The skin window on whose behalf calls are made when a call names none (up to 39 characters).
int64_t ScriptInvoker_SetWindowInstanceId(ScriptInvoker* invoker, const char* windowId);
// Creates an instance of the class for the window with that instance id (null: the invoker's
// window); 0 without asking the bridge when no such window lives. Messages for the instance are
// delivered to the window's page.
int64_t ScriptInvoker_CreateInstance(ScriptInvoker* invoker, const char* windowId, const char* className,
                                     char* instanceId, int32_t capacity);
// The request JSON carries "method" and the arguments; the reply JSON goes into the stream.
int64_t ScriptInvoker_Invoke(ScriptInvoker* invoker, const char* instanceId, const char* request,
                             MemoryStream* output);
int64_t ScriptInvoker_ReleaseInstance(ScriptInvoker* invoker, const char* instanceId);
int64_t ScriptInvoker_HasInstance(ScriptInvoker* invoker, const char* instanceId);
// Lower-case hexadecimal digest of the data by the named algorithm (any case); an unknown name
// keeps "Unsupported hash algorithm" as the last error and answers 0. The UTF-16 form hashes the
// code units (length counts units) as little-endian bytes, as a page's string is hashed.
int64_t ScriptInvoker_Hash(ScriptInvoker* invoker, const char* algorithm, const char* data, int32_t length,
                           char* output, int32_t capacity);
int64_t ScriptInvoker_HashUtf16(ScriptInvoker* invoker, const char* algorithm, const uint16_t* data,
                                int32_t length, char* output, int32_t capacity);
const char* ScriptInvoker_GetErrorString(ScriptInvoker* invoker);

int64_t ScriptInvoker_VPrint(ScriptInvoker* invoker, int32_t indent, const char* format, va_list args);
int64_t ScriptInvoker_Print(ScriptInvoker* invoker, const char* format, ...);
int64_t ScriptInvoker_PrintTabbed(ScriptInvoker* invoker, int32_t indent, const char* format, ...);
int64_t ScriptInvoker_IsVerboseLevel(ScriptInvoker* invoker, int32_t level);
int64_t ScriptInvoker_VerboseLog(ScriptInvoker* invoker, int32_t level, const char* format, ...);
int64_t ScriptInvoker_SetPrintCallback(ScriptInvoker* invoker, void* user, ClassPrintCallback callback);
int64_t ScriptInvoker_GetPrintCallback(ScriptInvoker* invoker, void** user, ClassPrintCallback* callback);
int64_t ScriptInvoker_SetPrintIdentifier(ScriptInvoker* invoker, const char* text);
int64_t ScriptInvoker_SetVerbose(ScriptInvoker* invoker, uint32_t verbose);
int64_t ScriptInvoker_GetVerbose(ScriptInvoker* invoker, uint32_t* verbose);

// ---- The skin's interop library (registered with Interop_Add by the host) ----------------------
// Init observes "Workflow"/"RegisterTaskHandlers" and "UnregisterTaskHandlers" and gives each
// announcing workflow the task type "SkinFileExtract" (or takes it away); Remove stops observing.
int64_t SkinInterop_Init();
int64_t SkinInterop_Remove();
// "QVR.SkinApp" names the skin application (its id is written); "QVR.SkinWindow" the requesting
// window itself (executeUser), whose reference is added; "QVR.TextFileReader",
// "QVR.TextFileWriter" and "QVR.SkinFileExtract" make a new object. 0 for any other class name.
int64_t SkinInterop_CreateInstance(const char* className, char* id, int32_t idSize, void* executeUser,
                                   InteropExecuteFunc executeFunction, InteropInvokeFunc* invoke,
                                   InteropReleaseFunc* release, InteropProcessFunc* process,
                                   void** userContext);
int64_t SkinInterop_SetOverride(const char* name, void* function);
int64_t SkinInterop_SetOption(const char* name, const char* value);
