// The connection record and the pieces its two files (phase machine, request exchange) share.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/net/socket.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/io_worker.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_request.h"

struct AsyncFile;
struct AsyncSocket;
struct DuplexStream;
struct TLS1;
struct WebGetAuthenticate;
struct WebGetCacheItem;
struct WebGetClientCert;

enum : int32_t {
    WEBGET_CONNECTION_URL_SIZE = 8192,
    WEBGET_CONNECTION_HOST_SIZE = 512,
    WEBGET_CONNECTION_PROXY_SIZE = 512,
    WEBGET_CONNECTION_FILE_BUFFER_SIZE = 16387,
};

// A name lookup on the I/O worker. It holds a reference to its connection and writes only its
// own fields, then sets Done.
struct WebGetDnsLookup {
    IOWorkerItem Item;
    uint32_t ClassId;
    std::atomic<uint32_t> Refs; // the connection's and the worker's
    WebGetConnection* Connection;
    uint32_t ViaProxy;
    char Target[WEBGET_CONNECTION_URL_SIZE];
    char Host[WEBGET_CONNECTION_HOST_SIZE];
    SocketMachine Machine;
    int32_t Error;
    std::atomic<uint32_t> Done;
};

struct WebGetQueueNode {
    WebGetRequest* Request;
    WebGetQueueNode* Next;
    WebGetQueueNode* Prev;
};

struct WebGetConnection {
    Class Header;
    ClassPrint Print;
    CallbackBase SignalCallback;
    CallbackBase DoneCallback;
    CallbackBase RedirectCallback;
    uint32_t PrintHeaders;
    TLS1* Tls;
    // The TLS client is driven from the socket's read and write passes and from the owner's
    // pass, which may run at once on different threads: every call into it holds this lock.
    std::mutex TlsLock;
    DuplexStream* Transport;
    DuplexStream* Message;
    AsyncSocket* Socket;
    AsyncFile* File;
    WebGetQueueNode* QueueFirst;
    WebGetQueueNode* QueueLast;
    uint32_t QueueCount;
    WebGetRequest* Active;
    WebGetRequest* Credential;
    // Credentials towards the proxy and the server, and the TLS client certificate; the broker's
    // answers reach them by their instance ids.
    WebGetAuthenticate* ProxyAuth;
    WebGetAuthenticate* ServerAuth;
    WebGetClientCert* ClientCert;
    WebGetCacheItem* CacheItem;
    uint32_t CacheOffset;
    SocketMachine Remote;
    WebGetDnsLookup* Lookup;
    double ConnectTime;
    double LastActivity;
    char CurrentURL[WEBGET_CONNECTION_URL_SIZE];
    char ResolvedHost[WEBGET_CONNECTION_HOST_SIZE];
    char ProxyListURL[WEBGET_CONNECTION_PROXY_SIZE];
    char FixedProxy[WEBGET_CONNECTION_PROXY_SIZE];
    char CurrentProxy[WEBGET_CONNECTION_PROXY_SIZE];
    int32_t ProxyIndex;
    char ProxyList[WEBGET_CONNECTION_PROXY_SIZE];
    uint32_t PostCursor;
    uint8_t* FileBuffer;
    std::atomic<int64_t> FileOffset;
    int64_t FileSize;
    int64_t FileEnd; // last byte to deliver for a range
    std::atomic<uint32_t> FileReads;
    std::atomic<int32_t> FileError;
    uint32_t BindAddress;
    uint32_t BindPort;
    uint32_t LocalAddress;
    uint32_t LocalPort;
    uint32_t OwnerThread;
    uint32_t AllowProxy;
    uint32_t AllowProxyLoopback;
    uint32_t AllowAuthentication;
    uint32_t Persistent;
    uint32_t PersistentTimeout;
    uint32_t ViaProxy;
    uint32_t TunnelNeeded;
    std::atomic<uint32_t> TlsOn;
    uint32_t TunnelEstablished;
    // Bytes arrived past the end of an answer: the socket cannot be trusted for the next one.
    uint32_t StrayBytes;
    // Interim (1xx) answers read before the final one of the request being answered.
    uint32_t InterimAnswers;
    uint32_t CloseNotifySent;
    int32_t LastError;
    int32_t LastErrorEx;
    int32_t SavedPhase;
    int32_t SavedError;
    int32_t SavedErrorEx;
    uint32_t Timeout;
    uint32_t ReportError;
    // A delayed pass is queued: while a request runs, passes never stop for want of a wake-up,
    // and its time-out is noticed even when nothing arrives.
    std::atomic<uint32_t> TickQueued;
};

// Sizes of a side as plain numbers (the stream reads them under the side's lock).
int32_t WebGetConnection_ReadUsed(DuplexStream* ds);
int32_t WebGetConnection_ReadLeft(DuplexStream* ds);
int32_t WebGetConnection_WriteUsed(DuplexStream* ds);
int32_t WebGetConnection_WriteLeft(DuplexStream* ds);

// Wakes the owner for another pass (the Signal callback, else a process event).
void WebGetConnection_Signal(WebGetConnection* connection);
void WebGetConnection_StampActivity(WebGetConnection* connection);
// Sets a request's phase through the connection: Done and Redirected detach it and run the Done
// callbacks.
void WebGetConnection_SetRequestPhase(WebGetConnection* connection, WebGetRequest* request, int32_t phase);
int64_t WebGetConnection_CheckPersistentTimeout(WebGetConnection* connection);
// Forgets the credentials of both authentications and the client certificate (new URL, failure).
void WebGetConnection_ResetAuthentication(WebGetConnection* connection);
// A 403: the TLS client drops its certificate, and the broker's cached answers of the client
// certificate and both authentications are marked failed.
void WebGetConnection_InvalidateCredentials(WebGetConnection* connection);
// The header value of an authentication for the request about to be written, empty when none.
void WebGetConnection_AuthorizationFor(WebGetConnection* c, WebGetRequest* r, WebGetAuthenticate* auth,
                                       const char* method, char* buffer, int32_t capacity);
// The phases of the exchange; 1 to go on, 0 failed with the pair set.
int64_t WebGetConnection_PhaseMethodConnect(WebGetConnection* c, WebGetRequest* r, uint32_t first, int32_t* code,
                                            int32_t* codeEx);
int64_t WebGetConnection_PhaseRequest(WebGetConnection* c, WebGetRequest* r, uint32_t first, int32_t* code,
                                      int32_t* codeEx);
int64_t WebGetConnection_PhasePostBuffer(WebGetConnection* c, WebGetRequest* r, uint32_t first, int32_t* code,
                                         int32_t* codeEx);
int64_t WebGetConnection_PhaseHeader(WebGetConnection* c, WebGetRequest* r, uint32_t first, int32_t* code,
                                     int32_t* codeEx);
int64_t WebGetConnection_PhaseAuthenticate(WebGetConnection* c, WebGetRequest* r, uint32_t first, int32_t* code,
                                           int32_t* codeEx);
int64_t WebGetConnection_PhaseBody(WebGetConnection* c, WebGetRequest* r, uint32_t first, int32_t* code,
                                   int32_t* codeEx);
int64_t WebGetConnection_Cleanup(WebGetConnection* c, WebGetRequest* r, int32_t failed);
// "file" URLs: Connect's set-up.
int64_t WebGetConnection_FileConnect(WebGetConnection* c, WebGetRequest* r);
// 1 for a URL of the "file" protocol.
int64_t WebGetConnection_IsFileURL(const char* url);
// 1 when the URL's protocol is https.
int64_t WebGetConnection_IsSecureURL(const char* url);
