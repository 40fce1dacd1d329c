// Joins a page in a render process to the native script instances of the browser process: the
// page's native functions become synchronous requests to the pseudo-host "interop", which the
// browser process answers through the script bridge; callbacks travel back as a process message.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "core/runtime/class.h"
#include "host/cef/cef_engine_bridge.h"

struct CEF5414CEFScriptInvoker;

enum : uint32_t { CEFSCRIPTINVOKER_CLASS_ID = 0x3e4c57d1, CEFINTEROP_CLASS_ID = 0x1e4e4028 };
enum : int32_t {
    // Room of the instance id and type name fields a request fills on the browser side, their
    // terminators included; longer values are refused, never cut.
    CEFINTEROP_ID_SIZE = 40,
    CEFINTEROP_TYPE_NAME_SIZE = 280,
    // A create request's body: the create buffer holds the instance id, then the type name.
    CEFINTEROP_CREATE_SIZE = 320,
};
// Request kinds of the browser side.
enum : int32_t { CEFINTEROP_CREATE = 0, CEFINTEROP_HAS = 1, CEFINTEROP_INVOKE = 2, CEFINTEROP_RELEASE = 3 };

// ---- Render process ------------------------------------------------------------------------------
int64_t CEF5414CEFScriptInvoker_Create(CEF5414CEFScriptInvoker** handle);
int64_t CEF5414CEFScriptInvoker_AddRef(CEF5414CEFScriptInvoker* invoker);
int64_t CEF5414CEFScriptInvoker_Release(CEF5414CEFScriptInvoker** handle);
int64_t CEF5414CEFScriptInvoker_Delete(CEF5414CEFScriptInvoker** handle);
int64_t CEF5414CEFScriptInvoker_GetInstanceId(CEF5414CEFScriptInvoker* invoker, char* buffer, int32_t size);
// The invoker's native function handler, with a reference for the caller.
CEFV8Handler* CEF5414CEFScriptInvoker_GetV8Handler(CEF5414CEFScriptInvoker* invoker);

int64_t CEF5414CEFScriptInvoker_VPrint(CEF5414CEFScriptInvoker* invoker, int32_t indent, const char* format,
                                      va_list args);
int64_t CEF5414CEFScriptInvoker_Print(CEF5414CEFScriptInvoker* invoker, const char* format, ...);
int64_t CEF5414CEFScriptInvoker_PrintTabbed(CEF5414CEFScriptInvoker* invoker, int32_t indent, const char* format,
                                           ...);
int64_t CEF5414CEFScriptInvoker_IsVerboseLevel(CEF5414CEFScriptInvoker* invoker, int32_t level);
int64_t CEF5414CEFScriptInvoker_VerboseLog(CEF5414CEFScriptInvoker* invoker, int32_t level, const char* format, ...);
int64_t CEF5414CEFScriptInvoker_SetPrintCallback(CEF5414CEFScriptInvoker* invoker, void* user,
                                                ClassPrintCallback callback);
int64_t CEF5414CEFScriptInvoker_GetPrintCallback(CEF5414CEFScriptInvoker* invoker, void** user,
                                                ClassPrintCallback* callback);
int64_t CEF5414CEFScriptInvoker_SetPrintIdentifier(CEF5414CEFScriptInvoker* invoker, const char* text);
int64_t CEF5414CEFScriptInvoker_SetVerbose(CEF5414CEFScriptInvoker* invoker, uint32_t verbose);
int64_t CEF5414CEFScriptInvoker_GetVerbose(CEF5414CEFScriptInvoker* invoker, uint32_t* verbose);

// The page's native functions "createInstance", "hasInstance", "releaseInstance", "invoke" and
// "hash": 1 when the name is one of them (a refused call sets *exception), else 0.
int64_t CEFScriptInvoker_Execute(CEFV8Handler* handler, const char* name, CEFV8Value* object, int32_t count,
                                 CEFV8Value* const* arguments, CEFV8Value** result, std::string* exception);

// The script one request runs in the page: a synchronous XMLHttpRequest answering
// [status, responseText]. a, b and c go into the query, the body (the page's JSON text, null for
// none) is sent as its normalised JSON; every value travels inside a string literal, so that no
// input is ever run as code. 0 when a value is too long for the browser side (the query's
// values, a and c as ids, b as a type name).
int64_t CEFScriptInvoker_BuildScript(const char* method, const std::string& a, const std::string& b,
                                     const std::string& c, const std::string* body, std::string* script);

// ---- Browser process -----------------------------------------------------------------------------
// The handler for a request to the pseudo-host "interop" or under "/instances/" of the content
// URL (a new reference for the engine), or null: an unknown method or a malformed body.
CEFResourceHandler* CEFInterop_Start(const char* url, CEFRequest* request);

// Sends the page callback message "CEFScriptTask_Run" with the two strings to the browser's main
// frame; 0 without a main frame or an engine.
int64_t CEF5414CEFScriptTask_Run(CEFBrowser* browser, const char* first, const char* second);
