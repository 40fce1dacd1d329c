// A small HTTP/1.1 server on the asynchronous sockets: it listens on one IPv4 address and a list
// of candidate ports and hands each request to its owner through per-phase callbacks.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct WebServer;
struct WebServerConnection;
struct AsyncSocket;
struct DuplexStream;

enum : uint32_t {
    WEBSERVER_CLASS_ID = 0x50f92784,
    WEBSERVER_CONNECTION_CLASS_ID = 0xf311eb07,
};

enum : uint32_t {
    WEBSERVER_PHASE_UNKNOWN = 0,
    WEBSERVER_PHASE_OPEN = 1,
    WEBSERVER_PHASE_REQUEST_HEADER = 2,
    WEBSERVER_PHASE_REQUEST_BODY = 3,
    WEBSERVER_PHASE_RESPONSE_HEADER = 4,
    WEBSERVER_PHASE_RESPONSE_BODY = 5,
    WEBSERVER_PHASE_RESPONSE_FINISH = 6,
    WEBSERVER_PHASE_LINGER = 7,
    WEBSERVER_PHASE_CLOSE = 8,
    WEBSERVER_PHASE_DONE = 9,
};

// A header block (up to and including the blank line) must be shorter than this.
constexpr int32_t kWebServerMaxHeader = 8191;

typedef int64_t (*WebServerConnectionFunc)(WebServer* server, void* user, WebServerConnection* connection);
typedef int64_t (*WebServerConnectionSizeFunc)(WebServer* server, void* user, WebServerConnection* connection,
                                               int64_t size);
typedef int64_t (*WebServerListenChangedFunc)(WebServer* server, void* user, const uint32_t* address,
                                              uint32_t port);
typedef const char* (*WebServerCodeTranslatorFunc)(int32_t code);

// ---- Life cycle ------------------------------------------------------------------------------
int64_t WebServer_Create(WebServer** handle);
int64_t WebServer_AddRef(WebServer* server);
int64_t WebServer_Release(WebServer** handle);
// Stops the server, drops its queued events and frees everything it holds.
int64_t WebServer_Delete(WebServer** handle);
int64_t WebServer_ValidHandle(WebServer* server);
int64_t WebServer_GetInstanceId(WebServer* server, char* buffer, int32_t size);

int64_t WebServer_Start(WebServer* server);
int64_t WebServer_Stop(WebServer* server);
// One pass for an inline server; nothing for a threaded one.
int64_t WebServer_Process(WebServer* server);

// ---- Listening (addresses in network order, ports in host order) -------------------------------
int64_t WebServer_SetListenPort(WebServer* server, uint32_t port);
int64_t WebServer_AddListenPort(WebServer* server, uint32_t port);
int64_t WebServer_ResetListenPort(WebServer* server);
int64_t WebServer_SetListenIP(WebServer* server, const uint32_t* address);
int64_t WebServer_GetListenIP(WebServer* server, uint32_t* address);
int64_t WebServer_GetListenPort(WebServer* server, uint32_t* port);
int64_t WebServer_SetListenAttemptWait(WebServer* server, uint32_t seconds);
int64_t WebServer_GetActiveListenIP(WebServer* server, uint32_t* address);
int64_t WebServer_GetActiveListenPort(WebServer* server, uint32_t* port);
int64_t WebServer_IsRunning(WebServer* server);
int64_t WebServer_GetActive(WebServer* server);
int64_t WebServer_IsOn(WebServer* server, uint32_t threadId);

// ---- Settings --------------------------------------------------------------------------------
int64_t WebServer_SetUseThread(WebServer* server, uint32_t flag);
int64_t WebServer_SetPersistentConnections(WebServer* server, uint32_t flag);
int64_t WebServer_GetPersistentConnections(WebServer* server, uint32_t* flag);
int64_t WebServer_SetTimeout(WebServer* server, int32_t seconds);
int64_t WebServer_GetTimeout(WebServer* server, int32_t* seconds);
// The longest request body a request may announce (not positive: the default of 16 MiB). A longer
// one is answered 413 before any of it is read, and its connection ends.
int64_t WebServer_SetMaxRequestBody(WebServer* server, int64_t bytes);
// How long a request's header block may take to arrive whole, counted from the accept (from its
// first byte for a later request on a kept connection); the connection is closed after it. Not
// positive: the default of 60 s.
int64_t WebServer_SetHeaderTimeout(WebServer* server, double seconds);
// The most connections open at once (0: the default of 10,000). At the bound the server accepts
// no more until one ends: new clients wait in the listen queue.
int64_t WebServer_SetMaxConnections(WebServer* server, uint32_t count);
int64_t WebServer_SetDefaultDocument(WebServer* server, const char* name);
int64_t WebServer_GetDefaultDocument(WebServer* server, char* buffer, int32_t size);
int64_t WebServer_SetHostName(WebServer* server, const char* name);
int64_t WebServer_GetHostName(WebServer* server, char* buffer, int32_t size);

// ---- Callbacks -------------------------------------------------------------------------------
int64_t WebServer_SetConnectionOpenCallback(WebServer* server, void* user, WebServerConnectionFunc fn);
int64_t WebServer_SetConnectionRequestHeaderCallback(WebServer* server, void* user, WebServerConnectionFunc fn);
int64_t WebServer_SetConnectionRequestBodyCallback(WebServer* server, void* user, WebServerConnectionSizeFunc fn);
int64_t WebServer_SetConnectionResponseHeaderCallback(WebServer* server, void* user, WebServerConnectionFunc fn);
int64_t WebServer_SetConnectionResponseBodyCallback(WebServer* server, void* user,
                                                    WebServerConnectionSizeFunc fn);
int64_t WebServer_SetConnectionCloseCallback(WebServer* server, void* user, WebServerConnectionFunc fn);
int64_t WebServer_SetListenChangedCallback(WebServer* server, void* user, WebServerListenChangedFunc fn);

// ---- Reporting -------------------------------------------------------------------------------
int64_t WebServer_VPrint(WebServer* server, int32_t indent, const char* format, va_list args);
int64_t WebServer_Print(WebServer* server, const char* format, ...);
// The server's print as a print callback (ClassPrintCallback) whose user is the server.
int64_t WebServer_PrintCallback(void* server, const char* format, ...);
int64_t WebServer_PrintTabbed(WebServer* server, int32_t indent, const char* format, ...);
int64_t WebServer_IsVerboseLevel(WebServer* server, int32_t level);
int64_t WebServer_VerboseLog(WebServer* server, int32_t level, const char* format, ...);
int64_t WebServer_SetPrintCallback(WebServer* server, void* user, ClassPrintCallback callback);
int64_t WebServer_GetPrintCallback(WebServer* server, void** user, ClassPrintCallback* callback);
int64_t WebServer_SetPrintIdentifier(WebServer* server, const char* text);
int64_t WebServer_SetVerbose(WebServer* server, uint32_t verbose);
int64_t WebServer_GetVerbose(WebServer* server, uint32_t* verbose);
// The fallback sink: the log at level 3.
int64_t WebServer_PrintInternal(void* user, const char* format, ...);

int64_t WebServer_ConnectionVPrint(WebServerConnection* connection, int32_t indent, const char* format,
                                   va_list args);
int64_t WebServer_ConnectionPrint(WebServerConnection* connection, const char* format, ...);
int64_t WebServer_ConnectionVerboseLog(WebServerConnection* connection, int32_t level, const char* format, ...);
int64_t WebServer_ConnectionIsVerboseLevel(WebServerConnection* connection, int32_t level);
int64_t WebServer_ConnectionSetPrintIdentifier(WebServerConnection* connection, const char* text);
int64_t WebServer_ConnectionGetVerbose(WebServerConnection* connection, uint32_t* verbose);
// The connection's sink: the server's print.
int64_t WebServer_ConnectionPrintInternal(void* user, const char* format, ...);

const char* WebServer_TranslateConnectionPhase(uint32_t phase);

// ---- Request side (the server argument is not used) ----------------------------------------
int64_t WebServer_ConnectionGetRequestHeader(WebServer* server, WebServerConnection* connection, const char* name,
                                             char* buffer, int32_t size);
int64_t WebServer_ConnectionHasContentRange(WebServer* server, WebServerConnection* connection);
// Takes up to `size` body bytes (never past the request's length) out of the read buffer.
int64_t WebServer_ConnectionRequestRead(WebServer* server, WebServerConnection* connection, void* buffer,
                                        int32_t size, int32_t* count);
int64_t WebServer_ConnectionGetIP(WebServer* server, WebServerConnection* connection, uint32_t* address);
int64_t WebServer_ConnectionGetPort(WebServer* server, WebServerConnection* connection, uint32_t* port);
// Pointers into the connection, valid until it is reset for the next request.
int64_t WebServer_ConnectionGetMethodPtr(WebServer* server, WebServerConnection* connection, const char** text);
int64_t WebServer_ConnectionGetURLPtr(WebServer* server, WebServerConnection* connection, const char** text);
int64_t WebServer_ConnectionGetFilenamePtr(WebServer* server, WebServerConnection* connection, const char** text);
int64_t WebServer_ConnectionGetVersionPtr(WebServer* server, WebServerConnection* connection, const char** text);
int64_t WebServer_ConnectionGetConnectTime(WebServer* server, WebServerConnection* connection, double* time);
int64_t WebServer_ConnectionGetLastTouch(WebServer* server, WebServerConnection* connection, double* time);
int64_t WebServer_ConnectionGetResponseCode(WebServer* server, WebServerConnection* connection, int32_t* code);
int64_t WebServer_ConnectionGetDuplexStreamHandle(WebServer* server, WebServerConnection* connection,
                                                  DuplexStream** stream);
int64_t WebServer_ConnectionGetAsyncSocketHandle(WebServer* server, WebServerConnection* connection,
                                                 AsyncSocket** socket);
int64_t WebServer_ConnectionGetUserHandle(WebServer* server, WebServerConnection* connection, void** handle);
int64_t WebServer_ConnectionSetUserHandle(WebServer* server, WebServerConnection* connection, void* handle);

// ---- Response side ---------------------------------------------------------------------------
// length -1: the body ends with the closing of the connection.
int64_t WebServer_ConnectionSetResponse(WebServer* server, WebServerConnection* connection, int32_t code,
                                        int64_t length);
int64_t WebServer_ConnectionSetResponseHeader(WebServer* server, WebServerConnection* connection, const char* name,
                                              const char* format, ...);
// Wall-clock encoded times, written in the HTTP date form.
int64_t WebServer_ConnectionSetExpires(WebServer* server, WebServerConnection* connection, double time);
int64_t WebServer_ConnectionSetDateEncoded(WebServer* server, WebServerConnection* connection, double time);
int64_t WebServer_ConnectionSetResponseCodeTranslator(WebServer* server, WebServerConnection* connection,
                                                      WebServerCodeTranslatorFunc function);
// Queues the status line and header once per response; 0 when they do not fit.
int64_t WebServer_ConnectionResponseBegin(WebServer* server, WebServerConnection* connection);
// Queues what fits of the buffer; the count says how much.
int64_t WebServer_ConnectionResponseWrite(WebServer* server, WebServerConnection* connection, const void* buffer,
                                          int32_t size, int32_t* count);
int64_t WebServer_ConnectionResponseEnd(WebServer* server, WebServerConnection* connection);
const char* WebServer_TranslateResponseCode(int32_t code);
