// One HTTP/1.1 client connection: a socket (with TLS for https), its buffers and a queue of
// requests carried one at a time through lookup, connect, tunnel, handshake, request, header, body
// and clean-up in short passes on the owner thread.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

struct WebGetConnection;
struct WebGetRequest;
struct CertStoreInterface;
struct MeterRW;
struct Dictionary;

enum : uint32_t {
    WEBGET_CONNECTION_CLASS_ID = 0xbc7a6fca,
    WEBGET_DNS_LOOKUP_CLASS_ID = 0x57abae8b,
};

// A request whose redirect took it away from its connection: its Done callback does not run.
enum : int32_t { WEBGET_PHASE_REDIRECTED = 15 };

// Flags of WebGetConnection_CloseEx.
enum : uint32_t {
    WEBGET_CLOSE_QUEUE = 0x01,   // release the credential request, end every queued request
    WEBGET_CLOSE_FORGET = 0x02,  // forget the URL, reset authentication and the client certificate
    WEBGET_CLOSE_REQUEUE = 0x04, // the active request goes back to the head of the queue
    WEBGET_CLOSE_KEEP = 0x08,    // keep the socket and the TLS client
};

typedef int64_t (*WebGetConnectionSignalFunc)(WebGetConnection* connection, void* user);
typedef int64_t (*WebGetConnectionRequestFunc)(WebGetConnection* connection, void* user, WebGetRequest* request);

// ---- Life cycle ------------------------------------------------------------------------------
int64_t WebGetConnection_Create(WebGetConnection** handle);
int64_t WebGetConnection_Delete(WebGetConnection** handle);
WebGetConnection* WebGetConnection_AddRef(WebGetConnection* connection);
int64_t WebGetConnection_Release(WebGetConnection** handle);
int64_t WebGetConnection_GetInstanceId(WebGetConnection* connection, char* buffer, int32_t capacity);

// ---- Settings --------------------------------------------------------------------------------
int64_t WebGetConnection_SetAllowProxy(WebGetConnection* connection, uint32_t flag);
int64_t WebGetConnection_GetAllowProxy(WebGetConnection* connection, uint32_t* flag);
int64_t WebGetConnection_SetAllowProxyLoopback(WebGetConnection* connection, uint32_t flag);
int64_t WebGetConnection_GetAllowProxyLoopback(WebGetConnection* connection, uint32_t* flag);
int64_t WebGetConnection_SetAllowAuthentication(WebGetConnection* connection, uint32_t flag);
// 0 while the client's global setting forbids authentication, else the connection's flag.
int64_t WebGetConnection_GetAllowAuthentication(WebGetConnection* connection);
int64_t WebGetConnection_SetPersistent(WebGetConnection* connection, uint32_t flag);
int64_t WebGetConnection_GetPersistent(WebGetConnection* connection, uint32_t* flag);
int64_t WebGetConnection_SetPersistentTimeout(WebGetConnection* connection, uint32_t seconds);
int64_t WebGetConnection_GetPersistentTimeout(WebGetConnection* connection, uint32_t* seconds);
int64_t WebGetConnection_SetReportError(WebGetConnection* connection, uint32_t flag);
int64_t WebGetConnection_GetReportError(WebGetConnection* connection, uint32_t* flag);
int64_t WebGetConnection_SetTimeout(WebGetConnection* connection, uint32_t seconds);
int64_t WebGetConnection_GetTimeout(WebGetConnection* connection, uint32_t* seconds);
int64_t WebGetConnection_SetPrintHeaders(WebGetConnection* connection, uint32_t flag);
int64_t WebGetConnection_GetPrintHeaders(WebGetConnection* connection, uint32_t* flag);
// IPv4 address in network order.
int64_t WebGetConnection_SetBindIP(WebGetConnection* connection, uint32_t address);
int64_t WebGetConnection_GetBindIP(WebGetConnection* connection, uint32_t* address);
int64_t WebGetConnection_SetBindPort(WebGetConnection* connection, uint32_t port);
int64_t WebGetConnection_GetBindPort(WebGetConnection* connection, uint32_t* port);
// A fixed proxy ("http://host:port/"); empty for the automatic choice.
int64_t WebGetConnection_SetProxyURL(WebGetConnection* connection, const char* url);
int64_t WebGetConnection_GetProxyURL(WebGetConnection* connection, char* buffer, int32_t capacity);
// The proxy in use, empty for a direct connection.
int64_t WebGetConnection_GetProxy(WebGetConnection* connection, char* buffer, int32_t capacity);
int64_t WebGetConnection_GetLocalIP(WebGetConnection* connection, uint32_t* address);
int64_t WebGetConnection_GetLocalPort(WebGetConnection* connection, uint32_t* port);
int64_t WebGetConnection_GetRemoteIP(WebGetConnection* connection, uint32_t* address);
int64_t WebGetConnection_GetRemotePort(WebGetConnection* connection, uint32_t* port);
int64_t WebGetConnection_SetThreadId(WebGetConnection* connection, uint32_t threadId);
int64_t WebGetConnection_GetThreadId(WebGetConnection* connection, uint32_t* threadId);
int64_t WebGetConnection_GetLastError(WebGetConnection* connection, int32_t* code, int32_t* extended);
int64_t WebGetConnection_SetCertStoreHandle(WebGetConnection* connection, CertStoreInterface* store);

// Callbacks (user object, function); a null function clears the slot.
int64_t WebGetConnection_SetSignalCallback(WebGetConnection* connection, void* user, WebGetConnectionSignalFunc fn);
int64_t WebGetConnection_SetDoneCallback(WebGetConnection* connection, void* user, WebGetConnectionRequestFunc fn);
int64_t WebGetConnection_SetRedirectCallback(WebGetConnection* connection, void* user,
                                             WebGetConnectionRequestFunc fn);

// ---- Bandwidth (the socket's meter) ------------------------------------------------------------
int64_t WebGetConnection_GetMeterRWHandle(WebGetConnection* connection, MeterRW** meter);
int64_t WebGetConnection_GetOverallUsage(WebGetConnection* connection, uint64_t* read, uint64_t* write);
int64_t WebGetConnection_GetMaxBandwidth(WebGetConnection* connection, double* read, double* write);
int64_t WebGetConnection_GetCurrentBandwidth(WebGetConnection* connection, double* read, double* write);
int64_t WebGetConnection_GetLimitBandwidth(WebGetConnection* connection, int32_t* read, int32_t* write);
int64_t WebGetConnection_SetLimitBandwidth(WebGetConnection* connection, int32_t read, int32_t write);

// ---- Requests --------------------------------------------------------------------------------
int64_t WebGetConnection_RequestAdd(WebGetConnection* connection, WebGetRequest* request);
int64_t WebGetConnection_RequestAddEx(WebGetConnection* connection, WebGetRequest* request, int32_t front,
                                      int32_t check);
// Lets a request held in Start (its Start callback answered 0) go on to Lookup.
int64_t WebGetConnection_RequestStart(WebGetConnection* connection, WebGetRequest* request);
int64_t WebGetConnection_RequestPending(WebGetConnection* connection);
int64_t WebGetConnection_RequestPendingCount(WebGetConnection* connection, uint32_t* count);
int64_t WebGetConnection_IsCredentialPending(WebGetConnection* connection);
// Observer of "Challenge"/"Response" for the connection's authentications and client certificate:
// hands the answer to the object it is addressed to and lets the waiting request go on.
int64_t WebGetConnection_Notification_ChallengeResponse(void* user, const char* type, const char* name,
                                                        const char* instance, Dictionary* info);
// One pass; 0 when the active request failed in it.
int64_t WebGetConnection_Process(WebGetConnection* connection);
// Runs passes on the calling thread until the request is Done: 1, or 0 when a pass failed.
int64_t WebGetConnection_WaitForRequest(WebGetConnection* connection, WebGetRequest* request);
int64_t WebGetConnection_Close(WebGetConnection* connection);
int64_t WebGetConnection_CloseEx(WebGetConnection* connection, uint32_t flags);
// The socket is connected, a file is open, or a buffer still holds bytes.
int64_t WebGetConnection_IsConnected(WebGetConnection* connection);
int64_t WebGetConnection_HasBufferedData(WebGetConnection* connection);
int64_t WebGetConnection_IsOk(WebGetConnection* connection);

// ---- Reporting -------------------------------------------------------------------------------
int64_t WebGetConnection_VPrint(WebGetConnection* connection, int32_t indent, const char* format, va_list args);
int64_t WebGetConnection_Print(WebGetConnection* connection, const char* format, ...);
// The connection's print as a print callback (ClassPrintCallback) whose user is the connection:
// the objects it drives (its requests, its TLS client) log through it.
int64_t WebGetConnection_PrintCallback(void* connection, const char* format, ...);
int64_t WebGetConnection_PrintTabbed(WebGetConnection* connection, int32_t indent, const char* format, ...);
int64_t WebGetConnection_IsVerboseLevel(WebGetConnection* connection, int32_t level);
int64_t WebGetConnection_VerboseLog(WebGetConnection* connection, int32_t level, const char* format, ...);
int64_t WebGetConnection_SetPrintCallback(WebGetConnection* connection, void* user, ClassPrintCallback callback);
int64_t WebGetConnection_GetPrintCallback(WebGetConnection* connection, void** user, ClassPrintCallback* callback);
int64_t WebGetConnection_SetPrintIdentifier(WebGetConnection* connection, const char* text);
int64_t WebGetConnection_SetVerbose(WebGetConnection* connection, uint32_t verbose);
int64_t WebGetConnection_GetVerbose(WebGetConnection* connection, uint32_t* verbose);
