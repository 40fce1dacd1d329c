// The skin's loopback web server: serves skin files through the skin request handler, offers the
// script bridge under "instances/", admits only this process and its descendants while
// authentication is on, and blocks the source ports of clients that misbehave for a while.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct Dictionary;
struct Stream;
struct SkinWebServer;
struct WebServer;
struct WebServerConnection;

enum : uint32_t {
    SKINWEBSERVER_CLASS_ID = 0xb1b2af46,
    SKINWEBSERVER_ADDRESS_SIZE = 60,
    SKINWEBSERVER_TYPE_NAME_SIZE = 320,
    SKINWEBSERVER_ID_SIZE = 40,
    // Room for an Origin or Content-Type header of a script call; a longer one is refused.
    SKINWEBSERVER_ORIGIN_SIZE = 320,
    // Ports below this have no bit in the block maps.
    SKINWEBSERVER_FIRST_PORT = 1024,
    SKINWEBSERVER_MAP_SIZE = (65536 - 1024) / 8,
};

// fn(user, the new listen port; 0 when the server stopped listening).
typedef int64_t (*SkinWebServerListenChangedFunc)(void* user, int32_t port);

int64_t SkinWebServer_Create(SkinWebServer** handle);
// Stops the server and frees it with its connections and script invoker.
int64_t SkinWebServer_Delete(SkinWebServer** handle);
int64_t SkinWebServer_AddRef(SkinWebServer* server);
int64_t SkinWebServer_Release(SkinWebServer** handle);
int64_t SkinWebServer_GetInstanceId(SkinWebServer* server, char* buffer, int32_t size);

int64_t SkinWebServer_Start(SkinWebServer* server);
// Also forgets the address text.
int64_t SkinWebServer_Stop(SkinWebServer* server);
// One pass of the core server (connections are answered on the calling thread).
int64_t SkinWebServer_Process(SkinWebServer* server);
int64_t SkinWebServer_IsRunning(SkinWebServer* server);
int64_t SkinWebServer_IsOn(SkinWebServer* server, uint32_t* flag);
int64_t SkinWebServer_SetUseThread(SkinWebServer* server, uint32_t flag);
int64_t SkinWebServer_GetWebServerHandle(SkinWebServer* server, WebServer** core);

int64_t SkinWebServer_SetListenPort(SkinWebServer* server, uint32_t port);
int64_t SkinWebServer_AddListenPort(SkinWebServer* server, uint32_t port);
int64_t SkinWebServer_ResetListenPort(SkinWebServer* server);
// The active port, 0 when not listening.
uint32_t SkinWebServer_GetListenPort(SkinWebServer* server);
// "http://127.0.0.1:<port>/" once listening, else "".
const char* SkinWebServer_GetAddressPath(SkinWebServer* server);
int64_t SkinWebServer_SetListenChangedCallback(SkinWebServer* server, void* user, SkinWebServerListenChangedFunc fn);
// How many parent steps below this process a client may lie (the low 8 bits are kept).
int64_t SkinWebServer_SetEnableChildAccess(SkinWebServer* server, int32_t steps);
// Not handed over by the host: when set, connections skip the client checks and every request's
// file name must match one of its string items (wildcards, macros expanded).
int64_t SkinWebServer_SetExternalPaths(SkinWebServer* server, Dictionary* paths);

// How long a begun request header may stay unfinished before its connection is closed (0 or
// less: the default of ten seconds); serves tests.
int64_t SkinWebServer_SetHeaderTimeout(SkinWebServer* server, double seconds);

// ---- Port blocks -------------------------------------------------------------------------------
// The rotation period (60 when not positive); the next rotation is that far from now.
int64_t SkinWebServer_BlockSetQuarterTime(SkinWebServer* server, int32_t seconds);
// flags[k]: the port's bit in slot (current + k) mod 4; the result is the port's validity just
// before the next rotation.
int64_t SkinWebServer_GetBlockStateForTest(SkinWebServer* server, int32_t port, uint32_t* flags);
int64_t SkinWebServer_BlockValidatePort(SkinWebServer* server, uint32_t port, double time);
// all 0: one soft block (the fifth within the slots' life blocks); all 1: blocked at once.
int64_t SkinWebServer_BlockPortNumber(SkinWebServer* server, uint32_t port, double time, uint32_t all);

// A create request's body, read from the stream's start as JSON: "typename" (320 bytes) and
// "window" (40) are needed, "instanceId" (40) is taken when present.
int64_t SkinWebServer_ParseCreateInstance(Stream* stream, char* typeName, char* windowId, char* instanceId);

// The core server's connection callbacks, exposed for driving them without sockets.
int64_t SkinWebServer_OnConnectionOpen(WebServer* core, void* user, WebServerConnection* connection);
int64_t SkinWebServer_OnRequestHeader(WebServer* core, void* user, WebServerConnection* connection);
int64_t SkinWebServer_OnRequestBody(WebServer* core, void* user, WebServerConnection* connection, int64_t size);
int64_t SkinWebServer_OnResponseHeader(WebServer* core, void* user, WebServerConnection* connection);
int64_t SkinWebServer_OnResponseBody(WebServer* core, void* user, WebServerConnection* connection, int64_t size);
int64_t SkinWebServer_OnConnectionClose(WebServer* core, void* user, WebServerConnection* connection);

int64_t SkinWebServer_VPrint(SkinWebServer* server, int32_t indent, const char* format, va_list args);
int64_t SkinWebServer_Print(SkinWebServer* server, const char* format, ...);
int64_t SkinWebServer_PrintTabbed(SkinWebServer* server, int32_t indent, const char* format, ...);
int64_t SkinWebServer_IsVerboseLevel(SkinWebServer* server, int32_t level);
int64_t SkinWebServer_VerboseLog(SkinWebServer* server, int32_t level, const char* format, ...);
int64_t SkinWebServer_SetPrintCallback(SkinWebServer* server, void* user, ClassPrintCallback callback);
int64_t SkinWebServer_GetPrintCallback(SkinWebServer* server, void** user, ClassPrintCallback* callback);
int64_t SkinWebServer_SetPrintIdentifier(SkinWebServer* server, const char* text);
int64_t SkinWebServer_SetVerbose(SkinWebServer* server, uint32_t verbose);
int64_t SkinWebServer_GetVerbose(SkinWebServer* server, uint32_t* verbose);
