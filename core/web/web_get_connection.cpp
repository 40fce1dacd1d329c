// The HTTP connection object and its phase machine: queue, passes, name lookup, proxy choice and
// fail-over, connecting, the TLS handshake, closing, time-outs and the error report.
#include "core/web/web_get_connection.h"

#include <cstring>
#include <new>

#include "core/formats/url.h"
#include "core/linux/platform.h"
#include "core/net/async_socket.h"
#include "core/net/tls1.h"
#include "core/platform/async_file.h"
#include "core/platform/duplex_stream.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/challenge.h"
#include "core/web/web_get.h"
#include "core/web/web_get_authenticate.h"
#include "core/web/web_get_cache.h"
#include "core/web/web_get_client_cert.h"
#include "core/web/web_get_connection_internal.h"
#include "core/web/web_get_header.h"
#include "core/web/web_get_request_internal.h"

namespace {

WebGetConnection* Checked(WebGetConnection* connection) {
    CLASS_CHECK(connection, WEBGET_CONNECTION_CLASS_ID);
    return connection;
}

void PreparePrint(WebGetConnection* connection) {
    ClassPrint_Prepare(&connection->Print, connection, "WebGetConnection", nullptr);
}

int64_t DeleteHandle(void** handle) {
    return WebGetConnection_Delete(reinterpret_cast<WebGetConnection**>(handle));
}

// Phases in which the time-out applies while nothing is connected.
constexpr uint32_t kTimedPhases = 0x15F0;

void ProcessEvent(void* instance) {
    WebGetConnection_Process(static_cast<WebGetConnection*>(instance));
}

// The active request's last body write is done: the pass that hands it more bytes runs now.
int64_t WritesDone(WebGetRequest*, void* user) {
    WebGetConnection_Signal(static_cast<WebGetConnection*>(user));
    return 1;
}

// How long a running request may go without a pass.
constexpr double kTickSeconds = 0.02;

void TickEvent(void* instance, void*) {
    WebGetConnection* c = static_cast<WebGetConnection*>(instance);
    c->TickQueued.store(0);
    WebGetConnection_Signal(c);
}

void QueueDelayed(WebGetConnection* c, std::atomic<uint32_t>* flag, EventQueueCallback fn, double seconds) {
    uint32_t idle = 0;
    if (!flag->compare_exchange_strong(idle, 1)) return;
    EventQueue* queue = Thread_GetEventQueueHandle(c->OwnerThread);
    if (!queue && c->OwnerThread != Thread_GetMainId()) {
        flag->store(0);
        return;
    }
    EventQueue_AddDelay(queue, c, nullptr, 0, fn, seconds);
    if (queue) EventQueue_Release(&queue);
}

void QueueTick(WebGetConnection* c) {
    QueueDelayed(c, &c->TickQueued, TickEvent, kTickSeconds);
}


void LookupRelease(WebGetDnsLookup** handle) {
    WebGetDnsLookup* lookup = *handle;
    *handle = nullptr;
    if (!lookup) return;
    if (lookup->Refs.fetch_sub(1) == 1) Memory_Free(lookup, sizeof(WebGetDnsLookup));
}

void LookupRun(void* object, IOWorkerItem* item) {
    WebGetConnection* connection = static_cast<WebGetConnection*>(object);
    WebGetDnsLookup* lookup = reinterpret_cast<WebGetDnsLookup*>(item);
    if (!Socket_GetMachineByURL(&lookup->Machine, lookup->Target)) {
        WebGetConnection_Print(connection, "Unable to get machine for %sURL '%s'", lookup->ViaProxy ? "proxy " : "",
                               lookup->Target);
        lookup->Error = WEBGET_ERROR_DNS;
    }
    lookup->Done.store(1);
    WebGetConnection_Signal(connection);
    LookupRelease(&lookup);
    WebGetConnection_Release(&connection);
}

uint32_t IsConnectedSocket(WebGetConnection* c) {
    return AsyncSocket_IsConnected(c->Socket) ? 1 : 0;
}

// ---- Socket callbacks (socket's queue) ----------------------------------------------------------

int32_t SocketReadSize(AsyncSocket*, void* user) {
    WebGetConnection* c = static_cast<WebGetConnection*>(user);
    int32_t left = 0;
    if (c->TlsOn.load()) {
        std::lock_guard<std::mutex> guard(c->TlsLock);
        TLS1_ReadPackets(c->Tls);
        TLS1_ReadGetBufferLeft(c->Tls, &left);
    } else {
        left = WebGetConnection_ReadLeft(c->Transport);
    }
    // The socket stops reading until told again: a pass must follow to drain and restart it.
    if (left <= 0) WebGetConnection_Signal(c);
    return left;
}

void SocketRead(AsyncSocket*, void* user, const uint8_t* data, int32_t length) {
    WebGetConnection* c = static_cast<WebGetConnection*>(user);
    if (c->TlsOn.load()) {
        std::lock_guard<std::mutex> guard(c->TlsLock);
        TLS1_ReadPut(c->Tls, data, (uint32_t)length);
        TLS1_ReadPackets(c->Tls);
    } else {
        DuplexStream_ReadPut(c->Transport, data, (uint32_t)length);
    }
    WebGetConnection_Signal(c);
}

int32_t SocketWriteSize(AsyncSocket*, void* user) {
    WebGetConnection* c = static_cast<WebGetConnection*>(user);
    int32_t used = 0;
    if (c->TlsOn.load()) {
        std::lock_guard<std::mutex> guard(c->TlsLock);
        TLS1_WriteFill(c->Tls, c->Transport);
        TLS1_WriteGetBufferUsed(c->Tls, &used);
    } else {
        used = WebGetConnection_WriteUsed(c->Transport);
    }
    return used;
}

int32_t SocketWrite(AsyncSocket*, void* user, uint8_t* buffer, int32_t capacity) {
    WebGetConnection* c = static_cast<WebGetConnection*>(user);
    uint32_t got = 0;
    if (c->TlsOn.load()) {
        std::lock_guard<std::mutex> guard(c->TlsLock);
        TLS1_WriteGet(c->Tls, buffer, (uint32_t)capacity, &got);
    } else {
        DuplexStream_WriteGet(c->Transport, buffer, (uint32_t)capacity, &got);
    }
    WebGetConnection_Signal(c);
    return (int32_t)got;
}

void SocketClose(AsyncSocket*, void* user) {
    WebGetConnection_Signal(static_cast<WebGetConnection*>(user));
}

void SocketConnect(AsyncSocket*, void* user, uint32_t) {
    WebGetConnection_Signal(static_cast<WebGetConnection*>(user));
}

void SetSocketCallbacks(WebGetConnection* c, bool on) {
    void* user = on ? c : nullptr;
    AsyncSocket_SetReadSizeCallback(c->Socket, user, on ? SocketReadSize : nullptr);
    AsyncSocket_SetReadCallback(c->Socket, user, on ? SocketRead : nullptr);
    AsyncSocket_SetWriteSizeCallback(c->Socket, user, on ? SocketWriteSize : nullptr);
    AsyncSocket_SetWriteCallback(c->Socket, user, on ? SocketWrite : nullptr);
    AsyncSocket_SetCloseCallback(c->Socket, user, on ? SocketClose : nullptr);
    AsyncSocket_SetConnectCallback(c->Socket, user, on ? SocketConnect : nullptr);
}

void ClientCertRequest(TLS1*, void* user) {
    WebGetConnection* c = static_cast<WebGetConnection*>(user);
    if (c->Active) {
        WebGetRequest_SetPhase(c->Active, WEBGET_PHASE_CLIENT_CERTIFICATE_REQUEST);
        WebGetRequest_SetPhaseChanged(c->Active, 1);
    }
    WebGetConnection_Signal(c);
}

// ---- Queue -------------------------------------------------------------------------------------

WebGetRequest* QueuePopFront(WebGetConnection* c) {
    WebGetQueueNode* node = c->QueueFirst;
    if (!node) return nullptr;
    c->QueueFirst = node->Next;
    if (c->QueueFirst)
        c->QueueFirst->Prev = nullptr;
    else
        c->QueueLast = nullptr;
    c->QueueCount--;
    WebGetRequest* request = node->Request;
    Memory_Free(node, sizeof(WebGetQueueNode));
    return request;
}

void QueuePush(WebGetConnection* c, WebGetRequest* request, bool front) {
    WebGetQueueNode* node = static_cast<WebGetQueueNode*>(Memory_AllocZero(sizeof(WebGetQueueNode)));
    node->Request = request;
    if (front) {
        node->Next = c->QueueFirst;
        if (c->QueueFirst) c->QueueFirst->Prev = node;
        c->QueueFirst = node;
        if (!c->QueueLast) c->QueueLast = node;
    } else {
        node->Prev = c->QueueLast;
        if (c->QueueLast) c->QueueLast->Next = node;
        c->QueueLast = node;
        if (!c->QueueFirst) c->QueueFirst = node;
    }
    c->QueueCount++;
}

bool QueueHolds(WebGetConnection* c, WebGetRequest* request) {
    for (WebGetQueueNode* node = c->QueueFirst; node; node = node->Next)
        if (node->Request == request) return true;
    return false;
}

void RunDoneCallback(WebGetConnection* c, WebGetRequest* request) {
    void* user = nullptr;
    WebGetConnectionRequestFunc fn = nullptr;
    if (CallbackBase_Get(&c->DoneCallback, &user, &fn) && fn) fn(c, user, request);
}

void ResetAuthentication(WebGetConnection* c) {
    WebGetConnection_ResetAuthentication(c);
}

// The observer's registrations: one per credential object, keyed by its instance id.
void ObserveCredentials(WebGetConnection* c, bool on) {
    char ids[3][40];
    WebGetAuthenticate_GetInstanceId(c->ProxyAuth, ids[0], sizeof(ids[0]));
    WebGetAuthenticate_GetInstanceId(c->ServerAuth, ids[1], sizeof(ids[1]));
    WebGetClientCert_GetInstanceId(c->ClientCert, ids[2], sizeof(ids[2]));
    for (const char* id : ids) {
        if (on)
            NotificationCenter_AddInstanceObserver("Challenge", "Response", id, c,
                                                   WebGetConnection_Notification_ChallengeResponse);
        else
            NotificationCenter_RemoveInstanceObserver("Challenge", "Response", id, c,
                                                      WebGetConnection_Notification_ChallengeResponse);
    }
}

// ---- Proxy choice ------------------------------------------------------------------------------

int64_t GetNextProxy(WebGetConnection* c, const char* url, int32_t next, int32_t* pending) {
    *pending = 0;
    if (!next && c->ProxyIndex != -1) return 1;
    if (c->FixedProxy[0]) {
        if (c->ProxyIndex != 0) {
            c->ProxyIndex = 0;
            String_CopyLength(c->CurrentProxy, c->FixedProxy, sizeof(c->CurrentProxy));
            return 1;
        }
        c->ProxyIndex = -1;
        return 0;
    }
    if (c->ProxyList[0] && String_CompareWithoutCase(url, c->ProxyListURL)) {
        c->ProxyIndex++;
    } else {
        // The system's settings are read once per URL, not again on each fail-over step.
        char bypass[WEBGET_CONNECTION_PROXY_SIZE] = "";
        const int64_t hasBypass = Platform_ProxyGetBypass(bypass, sizeof(bypass));
        if (hasBypass && bypass[0]) WebGetConnection_Print(c, "Proxy bypass list retrieved: %s\n", bypass);
        if (hasBypass && WebGet_BypassProxy(url, bypass)) {
            WebGetConnection_Print(c, "Proxy bypassed for %s\n", url);
            return next ? 0 : 1;
        }
        int32_t state = 0;
        const int64_t answer = Platform_ProxyGetForURL(url, c->ProxyList, sizeof(c->ProxyList), &state);
        if (state) {
            *pending = 1;
            return answer;
        }
        c->ProxyIndex = 0;
        c->CurrentProxy[0] = 0;
        String_CopyLength(c->ProxyListURL, url, sizeof(c->ProxyListURL));
        if (!c->ProxyList[0]) return next ? 0 : 1;
        WebGetConnection_Print(c, "Proxy list retrieved: %s\n", c->ProxyList);
    }
    if (!WebGet_GetNextProxy(c->ProxyList, c->ProxyIndex, c->CurrentProxy, sizeof(c->CurrentProxy))) {
        c->ProxyList[0] = 0;
        c->ProxyIndex = -1;
        return 0;
    }
    if (c->CurrentProxy[0])
        WebGetConnection_Print(c, "Next proxy %s\n", c->CurrentProxy);
    else
        WebGetConnection_Print(c, "Next proxy is DIRECT\n");
    return 1;
}

// ---- Phases of this file -----------------------------------------------------------------------

bool HostOf(const char* url, char* host, int32_t capacity) {
    host[0] = 0;
    return URL_ParseHostWithPort(url, host, capacity) != 0;
}

int64_t PhaseLookup(WebGetConnection* c, WebGetRequest* r, uint32_t first, int32_t* code, int32_t* codeEx) {
    if (!first && c->Lookup) {
        if (!c->Lookup->Done.load()) return 1;
        WebGetDnsLookup* lookup = c->Lookup;
        String_CopyLength(c->ResolvedHost, lookup->Host, sizeof(c->ResolvedHost));
        if (lookup->Error) {
            *code = lookup->Error;
            *codeEx = 0;
            LookupRelease(&c->Lookup);
            // The failed host must be looked up again next time.
            c->ResolvedHost[0] = 0;
            return 0;
        }
        if (c->Persistent && IsConnectedSocket(c) &&
            (lookup->Machine.Address != c->Remote.Address || lookup->Machine.Port != c->Remote.Port)) {
            WebGetConnection_Print(c, "URL does not resolve to current machine '%s' (%ipv4:%d) (%ipv4:%d)",
                                   lookup->Machine.Name, &lookup->Machine.Address, (int32_t)lookup->Machine.Port,
                                   &c->Remote.Address, (int32_t)c->Remote.Port);
            WebGetConnection_CloseEx(c, WEBGET_CLOSE_FORGET | WEBGET_CLOSE_REQUEUE);
            c->ResolvedHost[0] = 0;
            LookupRelease(&c->Lookup);
            return 1;
        }
        WebGetConnection_CheckPersistentTimeout(c);
        c->Remote = lookup->Machine;
        LookupRelease(&c->Lookup);
        WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_CONNECT);
        return 1;
    }
    LookupRelease(&c->Lookup);
    c->TunnelNeeded = 0;
    c->CacheOffset = 0;
    const char* url = r->URL;
    if (WebGetConnection_IsFileURL(url)) {
        c->CurrentURL[0] = 0;
        c->ResolvedHost[0] = 0;
        ResetAuthentication(c);
        WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_CONNECT);
        return 1;
    }
    if (r->CacheStore && !c->CacheItem) {
        WebGetCacheItem* item = nullptr;
        if (WebGetCacheStore_WaitOne(r->CacheStore, url, &item) && !item) {
            // Another request fills the item: ask again at a later pass.
            WebGetRequest_SetPhaseChanged(r, 1);
            return 1;
        }
        if (item && WebGetCacheItem_ShouldStore(item)) {
            c->CacheItem = item;
            if (WebGetCacheItem_IsCommitted(item) && !WebGetCacheItem_ShouldValidate(item)) {
                WebGetConnection_StampActivity(c);
                WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_HEADER);
                return 1;
            }
        } else if (item) {
            WebGetCacheItem_Invalidate(item);
            WebGetCacheItem_Release(&item);
        }
    }
    if (r->RequireAuthorization && !WebGet_Authorize(url)) {
        *code = WEBGET_ERROR_VALIDATION;
        *codeEx = 0;
        return 0;
    }
    if (c->AllowProxy) {
        int32_t pending = 0;
        if (!GetNextProxy(c, url, 0, &pending)) {
            *code = c->LastError ? c->LastError : WEBGET_ERROR_CONNECT;
            *codeEx = c->LastError ? c->LastErrorEx : 0;
            return 0;
        }
        if (pending) {
            WebGetRequest_SetPhaseChanged(r, 1);
            return 1;
        }
    }
    const uint32_t useProxy = c->AllowProxy && c->CurrentProxy[0] ? 1 : 0;
    const bool sameURL = String_CompareWithoutCase(url, c->CurrentURL) != 0;
    if (!sameURL) String_CopyLength(c->CurrentURL, url, sizeof(c->CurrentURL));
    const char* target = useProxy ? c->CurrentProxy : c->CurrentURL;
    char host[WEBGET_CONNECTION_HOST_SIZE];
    HostOf(target, host, sizeof(host));
    const bool sameHost = c->ResolvedHost[0] && String_CompareWithoutCase(host, c->ResolvedHost);
    if (sameURL && sameHost && useProxy == c->ViaProxy) {
        WebGetConnection_CheckPersistentTimeout(c);
        WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_CONNECT);
        return 1;
    }
    ResetAuthentication(c);
    if (!sameHost || useProxy != c->ViaProxy) {
        c->ViaProxy = useProxy;
        WebGetDnsLookup* lookup = static_cast<WebGetDnsLookup*>(Memory_AllocZero(sizeof(WebGetDnsLookup)));
        new (lookup) WebGetDnsLookup();
        lookup->ClassId = WEBGET_DNS_LOOKUP_CLASS_ID;
        lookup->Item.Function = LookupRun;
        lookup->Refs.store(2);
        lookup->Connection = c;
        lookup->ViaProxy = useProxy;
        String_CopyLength(lookup->Target, target, sizeof(lookup->Target));
        String_CopyLength(lookup->Host, host, sizeof(lookup->Host));
        c->Lookup = lookup;
        WebGetConnection_AddRef(c);
        IOWorker_Post(nullptr, c, &lookup->Item);
        return 1;
    }
    WebGetConnection_CheckPersistentTimeout(c);
    WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_CONNECT);
    return 1;
}

int64_t PhaseLookupNextProxy(WebGetConnection* c, WebGetRequest* r, int32_t* code, int32_t* codeEx) {
    int32_t pending = 0;
    if (!GetNextProxy(c, c->CurrentURL, 1, &pending)) {
        *code = WEBGET_ERROR_CONNECT;
        *codeEx = 0;
        return 0;
    }
    if (pending) {
        WebGetRequest_SetPhaseChanged(r, 1);
        return 1;
    }
    WebGetConnection_StampActivity(c);
    WebGetRequest* held = WebGetRequest_AddRef(r);
    WebGetConnection_CloseEx(c, WEBGET_CLOSE_REQUEUE);
    WebGetRequest_SetPhase(held, WEBGET_PHASE_LOOKUP);
    WebGetRequest_Release(&held);
    return 1;
}

int64_t PhaseConnect(WebGetConnection* c, WebGetRequest* r, uint32_t first, int32_t* code, int32_t* codeEx) {
    if (WebGetConnection_IsFileURL(r->URL)) return WebGetConnection_FileConnect(c, r);
    if (first) {
        if (IsConnectedSocket(c) && !c->TunnelEstablished && (!r->Persistent || c->StrayBytes)) {
            AsyncSocket_Close(c->Socket);
        }
        // Bytes waiting on an idle socket belong to no request: never read them as an answer.
        if (IsConnectedSocket(c) && !c->TunnelEstablished && WebGetConnection_HasBufferedData(c))
            AsyncSocket_Close(c->Socket);
        if (!IsConnectedSocket(c)) {
            if (AsyncSocket_IsWriting(c->Socket) || AsyncSocket_IsReading(c->Socket)) {
                WebGetRequest_SetPhaseChanged(r, 1);
                WebGetConnection_Signal(c);
                return 1;
            }
            {
                std::lock_guard<std::mutex> guard(c->TlsLock);
                c->TlsOn.store(0);
                TLS1_Close(c->Tls);
                TLS1_ClearLastError(c->Tls);
            }
            DuplexStream_Reset(c->Transport);
            DuplexStream_Reset(c->Message);
            // A new socket starts the answer afresh, but the redirects already followed still
            // count: a loop across sockets must still reach its limit.
            const uint32_t depth = r->RedirectionDepth;
            WebGetRequest_ResetInternals(r);
            r->RedirectionDepth = depth;
            // A fresh socket object for every connection: a pass of the old one still running
            // on the reactor can then never close or mark the new one.
            SetSocketCallbacks(c, false);
            AsyncSocket_Close(c->Socket);
            AsyncSocket_Release(&c->Socket);
            AsyncSocket_Create(&c->Socket);
            SetSocketCallbacks(c, true);
            c->StrayBytes = 0;
            c->CloseNotifySent = 0;
            WebGetConnection_StampActivity(c);
            c->TunnelEstablished = 0;
            WebGetConnection_Print(c, "Connecting to %ipv4:%d", &c->Remote.Address, (int32_t)c->Remote.Port);
            AsyncSocket_Open(c->Socket, 1);
            const int32_t interval = c->Timeout < 15 ? 4 : (int32_t)(c->Timeout / 3);
            AsyncSocket_SetKeepAlive(c->Socket, 1, interval);
            AsyncSocket_SetNagel(c->Socket, 0);
            if (c->BindAddress || c->BindPort) {
                if (!AsyncSocket_Bind(c->Socket, &c->BindAddress, c->BindPort)) {
                    WebGetConnection_Print(c, "Failed on bind callback (%ipv4:%d)", &c->BindAddress,
                                           (int32_t)c->BindPort);
                    *code = WEBGET_ERROR_BIND;
                    *codeEx = (int32_t)AsyncSocket_GetLastError(c->Socket);
                    return 0;
                }
            }
            if (!AsyncSocket_Connect(c->Socket, &c->Remote.Address, c->Remote.Port)) {
                WebGetConnection_Print(c, "Failed on connect for (%ipv4:%d)", &c->Remote.Address,
                                       (int32_t)c->Remote.Port);
                *code = WEBGET_ERROR_CONNECT;
                *codeEx = (int32_t)AsyncSocket_GetLastError(c->Socket);
                return 0;
            }
            c->ConnectTime = Time_GetCurrent();
        }
        if (!c->TunnelEstablished && c->ViaProxy && WebGetConnection_IsSecureURL(r->URL))
            c->TunnelNeeded = 1;
        else
            c->TlsOn.store(WebGetConnection_IsSecureURL(r->URL) ? 1 : 0);
    }
    if (!IsConnectedSocket(c)) {
        if (!AsyncSocket_IsOpen(c->Socket)) {
            // Refused or reset while connecting.
            *code = WEBGET_ERROR_CONNECT;
            *codeEx = (int32_t)AsyncSocket_GetLastError(c->Socket);
            return 0;
        }
        return 1;
    }
    uint32_t address = 0, port = 0;
    AsyncSocket_GetLocalIP(c->Socket, &address, &port);
    c->LocalAddress = address;
    c->LocalPort = port;
    WebGetConnection_StampActivity(c);
    if (c->TlsOn.load())
        WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_HANDSHAKE);
    else if (c->TunnelNeeded && !c->TunnelEstablished)
        WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_METHOD_CONNECT);
    else
        WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_REQUEST);
    return 1;
}

int64_t PhaseHandshake(WebGetConnection* c, WebGetRequest* r, uint32_t first, int32_t* code, int32_t* codeEx) {
    std::unique_lock<std::mutex> guard(c->TlsLock);
    if (first) {
        if (!TLS1_IsConnected(c->Tls)) {
            char host[WEBGET_CONNECTION_HOST_SIZE];
            URL_ParseHostWithoutPort(r->URL, host, sizeof(host));
            uint32_t error = 0;
            if (!TLS1_Connect(c->Tls, host, &error)) {
                *code = WEBGET_ERROR_TLS1;
                *codeEx = (int32_t)error;
                return 0;
            }
        }
        return 1;
    }
    if (TLS1_IsHandshakeComplete(c->Tls)) {
        guard.unlock();
        WebGetConnection_StampActivity(c);
        WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_REQUEST);
    }
    return 1;
}

int64_t PhaseClientCertificateRequest(WebGetConnection* c, WebGetRequest* r, int32_t* code, int32_t* codeEx) {
    if (!WebGetConnection_GetAllowAuthentication(c)) {
        *code = WEBGET_ERROR_CERT_REQUEST_CANCEL;
        *codeEx = 0;
        return 0;
    }
    if (!Challenge_IsStarted()) {
        // Nobody could ever answer: waiting would hold the connection for good.
        WebGetConnection_Print(c, "Client certificate requested by (%ipv4:%d) but no credential broker runs",
                               &c->Remote.Address, (int32_t)c->Remote.Port);
        *code = WEBGET_ERROR_CERT_REQUEST_CANCEL;
        *codeEx = 0;
        return 0;
    }
    char address[320];
    String_Print(address, sizeof(address), "%ipv4:%d", &c->Remote.Address, (int32_t)c->Remote.Port);
    char types[80];
    types[0] = 0;
    {
        std::lock_guard<std::mutex> guard(c->TlsLock);
        TLS1_GetRequestedCertificateTypes(c->Tls, types, sizeof(types));
    }
    Challenge_Lock();
    WebGetClientCert_SetAddress(c->ClientCert, address);
    WebGetClientCert_Prompt(c->ClientCert, types, code, codeEx);
    if (*code != 0 || *codeEx != 0) {
        Challenge_Unlock();
        if (*code == 0) *code = WEBGET_ERROR_CERT_REQUEST_CANCEL;
        return 0;
    }
    c->Credential = WebGetRequest_AddRef(r);
    WebGetConnection_CloseEx(c, WEBGET_CLOSE_REQUEUE);
    Challenge_Unlock();
    return 1;
}

// One step of the active request.
int64_t RequestProcess(WebGetConnection* c, WebGetRequest* r, int32_t* code, int32_t* codeEx) {
    const int32_t phase = r->Phase.load();
    uint32_t first = 0;
    WebGetRequest_GetPhaseChanged(r, &first);
    WebGetRequest_SetPhaseChanged(r, 0);
    WebGetRequest_GetLastError(r, code, codeEx);
    int64_t ok = 1;
    uint32_t serverCancel = 0, proxyCancel = 0, certCancel = 0;
    WebGetAuthenticate_GetCancel(c->ServerAuth, &serverCancel);
    WebGetAuthenticate_GetCancel(c->ProxyAuth, &proxyCancel);
    WebGetClientCert_GetCancel(c->ClientCert, &certCancel);
    if (serverCancel || proxyCancel) {
        *code = WEBGET_ERROR_AUTH_REQUEST_CANCEL;
        *codeEx = 0;
        ok = 0;
    } else if (certCancel) {
        *code = WEBGET_ERROR_CERT_REQUEST_CANCEL;
        *codeEx = 0;
        ok = 0;
    } else if (!c->Credential && phase >= WEBGET_PHASE_LOOKUP && phase <= WEBGET_PHASE_CLEANUP) {
        switch (phase) {
        case WEBGET_PHASE_LOOKUP: ok = PhaseLookup(c, r, first, code, codeEx); break;
        case WEBGET_PHASE_LOOKUP_NEXT_PROXY: ok = PhaseLookupNextProxy(c, r, code, codeEx); break;
        case WEBGET_PHASE_CONNECT: ok = PhaseConnect(c, r, first, code, codeEx); break;
        case WEBGET_PHASE_METHOD_CONNECT: ok = WebGetConnection_PhaseMethodConnect(c, r, first, code, codeEx); break;
        case WEBGET_PHASE_REQUEST: ok = WebGetConnection_PhaseRequest(c, r, first, code, codeEx); break;
        case WEBGET_PHASE_POST_BUFFER: ok = WebGetConnection_PhasePostBuffer(c, r, first, code, codeEx); break;
        case WEBGET_PHASE_HANDSHAKE: ok = PhaseHandshake(c, r, first, code, codeEx); break;
        case WEBGET_PHASE_CLIENT_CERTIFICATE_REQUEST: ok = PhaseClientCertificateRequest(c, r, code, codeEx); break;
        case WEBGET_PHASE_HEADER: ok = WebGetConnection_PhaseHeader(c, r, first, code, codeEx); break;
        case WEBGET_PHASE_AUTHENTICATE: ok = WebGetConnection_PhaseAuthenticate(c, r, first, code, codeEx); break;
        case WEBGET_PHASE_BODY: ok = WebGetConnection_PhaseBody(c, r, first, code, codeEx); break;
        case WEBGET_PHASE_CLEANUP: ok = WebGetConnection_Cleanup(c, r, 0); break;
        default: break;
        }
    }
    if (ok && r->Connection == c && c->Active == r) {
        // Until Connect has run, the socket is still the one a proxy fail-over gave up (Connect
        // makes a fresh one): its error is not this attempt's.
        const uint32_t socketError = phase >= WEBGET_PHASE_CONNECT ? AsyncSocket_GetLastError(c->Socket) : 0;
        uint32_t tlsError = 0;
        if (c->TlsOn.load()) {
            std::lock_guard<std::mutex> guard(c->TlsLock);
            TLS1_GetLastError(c->Tls, &tlsError);
        }
        if (socketError && !(phase == WEBGET_PHASE_BODY || phase == WEBGET_PHASE_CLEANUP) ) {
            *code = WEBGET_ERROR_SOCKET;
            *codeEx = (int32_t)socketError;
            ok = 0;
        } else if (socketError && !WebGetConnection_HasBufferedData(c)) {
            // A reset once the answer is under way still ends the exchange, but only after the
            // bytes that did arrive have been looked at (their length decides the error).
            *code = WEBGET_ERROR_SOCKET;
            *codeEx = (int32_t)socketError;
            ok = 0;
        } else if (tlsError && r->Phase.load() != WEBGET_PHASE_CLIENT_CERTIFICATE_REQUEST) {
            // (A handshake that stopped for a client certificate is answered by that phase.)
            *code = WEBGET_ERROR_TLS1;
            *codeEx = (int32_t)tlsError;
            ok = 0;
        } else {
            uint32_t changed = 0;
            WebGetRequest_GetPhaseChanged(r, &changed);
            if (changed) {
                WebGetConnection_Signal(c);
                return 1;
            }
            const int32_t now = r->Phase.load();
            const bool applies = WebGetConnection_IsConnected(c) || (now >= 0 && now < 32 && ((kTimedPhases >> now) & 1));
            if (c->Timeout > 0 && applies && Time_GetCurrent() - c->LastActivity >= (double)c->Timeout) {
                *code = WEBGET_ERROR_TIMEOUT;
                *codeEx = now;
                ok = 0;
            }
        }
    }
    if (ok) return 1;
    // Proxy fail-over for failures before the answer.
    const bool early = phase <= WEBGET_PHASE_CONNECT;
    const bool socketLate = phase >= WEBGET_PHASE_METHOD_CONNECT && phase <= WEBGET_PHASE_HEADER &&
                            *code == WEBGET_ERROR_SOCKET;
    if (!(early || socketLate) || !c->AllowProxy || WebGetConnection_IsFileURL(r->URL) || proxyCancel) return 0;
    if (phase == WEBGET_PHASE_LOOKUP_NEXT_PROXY) {
        WebGetRequest_SetPhase(r, c->SavedPhase);
        *code = c->SavedError;
        *codeEx = c->SavedErrorEx;
        return 0;
    }
    c->SavedPhase = phase;
    c->SavedError = *code;
    c->SavedErrorEx = *codeEx;
    WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_LOOKUP_NEXT_PROXY);
    WebGetConnection_Signal(c);
    return 1;
}

// Received bytes up to the message buffer.
void MoveIn(WebGetConnection* c) {
    if (c->TlsOn.load()) {
        // Records that waited for room are decrypted as the consumer makes it, before and after
        // the move: the socket stays stopped while they fill the raw buffer, and only this pass
        // frees it.
        std::lock_guard<std::mutex> guard(c->TlsLock);
        TLS1_ReadPackets(c->Tls);
        TLS1_ReadFillTarget(c->Tls, c->Message);
        TLS1_ReadPackets(c->Tls);
    } else {
        DuplexStream_ReadFill(c->Message, c->Transport);
    }
}

// Bytes to send down to the transport, and the socket told to write and read.
void MoveOut(WebGetConnection* c) {
    DuplexStream_WriteFill(c->Transport, c->Message);
    if (IsConnectedSocket(c)) {
        int32_t used = 0;
        used = WebGetConnection_WriteUsed(c->Transport);
        if (!used && c->TlsOn.load()) {
            std::lock_guard<std::mutex> guard(c->TlsLock);
            TLS1_WriteGetBufferUsed(c->Tls, &used);
        }
        // Sent from here when no pass is under way (one under way runs once more and takes
        // them): the bytes leave without waiting for a worker.
        if (used) AsyncSocket_WriteNow(c->Socket);
        int32_t left = 0;
        if (c->TlsOn.load()) {
            std::lock_guard<std::mutex> guard(c->TlsLock);
            TLS1_ReadGetBufferLeft(c->Tls, &left);
        } else {
            left = WebGetConnection_ReadLeft(c->Transport);
        }
        if (left > 0) AsyncSocket_StartReading(c->Socket);
    }
}

constexpr int32_t kStepsPerPass = 6;

void RaiseError(WebGetConnection* c, WebGetRequest* r, int32_t code, int32_t codeEx) {
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_AddString(info, "url", r->URL, nullptr);
    char address[32];
    String_Print(address, sizeof(address), "%ipv4", &c->Remote.Address);
    Dictionary_AddString(info, "remoteIp", address, nullptr);
    Dictionary_AddInt32(info, "remotePort", (int32_t)c->Remote.Port, nullptr);
    Dictionary_AddInt32(info, "errorCode", code, nullptr);
    Dictionary_AddInt32(info, "errorCodeEx", codeEx, nullptr);
    Dictionary_AddBoolean(info, "reportError", c->ReportError, nullptr);
    if (c->ReportError)
        WebGetConnection_Print(c, "WebGet error '%s' (%ipv4:%d): (%d) (%d) (%s)\n", r->URL, &c->Remote.Address,
                               (int32_t)c->Remote.Port, code, codeEx, WebGet_TranslateHTTPCode(code));
    NotificationCenter_FireAfterDelay("WebGetConnection", "Error", c->Header.InstanceId, 0, info);
    Dictionary_Release(&info);
}

} // namespace

CLASS_PRINT_FAMILY(WebGetConnection, WebGetConnection, WEBGET_CONNECTION_CLASS_ID, PreparePrint)

int64_t WebGetConnection_PrintCallback(void* connection, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = WebGetConnection_VPrint(static_cast<WebGetConnection*>(connection), 0, format, args);
    va_end(args);
    return result;
}

int32_t WebGetConnection_ReadUsed(DuplexStream* ds) {
    int32_t n = 0;
    DuplexStream_ReadGetBufferUsed(ds, &n);
    return n;
}

int32_t WebGetConnection_ReadLeft(DuplexStream* ds) {
    int32_t n = 0;
    DuplexStream_ReadGetBufferLeft(ds, &n);
    return n;
}

int32_t WebGetConnection_WriteUsed(DuplexStream* ds) {
    int32_t n = 0;
    DuplexStream_WriteGetBufferUsed(ds, &n);
    return n;
}

int32_t WebGetConnection_WriteLeft(DuplexStream* ds) {
    int32_t n = 0;
    DuplexStream_WriteGetBufferLeft(ds, &n);
    return n;
}

// ---- Shared with the exchange ------------------------------------------------------------------

void WebGetConnection_Signal(WebGetConnection* c) {
    void* user = nullptr;
    WebGetConnectionSignalFunc fn = nullptr;
    if (CallbackBase_Get(&c->SignalCallback, &user, &fn) && fn) {
        fn(c, user);
        return;
    }
    EventQueue_AddProcessByThreadId(c->OwnerThread, c, ProcessEvent);
}

void WebGetConnection_StampActivity(WebGetConnection* c) {
    c->LastActivity = Time_GetCurrent();
}

void WebGetConnection_SetRequestPhase(WebGetConnection* c, WebGetRequest* r, int32_t phase) {
    if (phase != WEBGET_PHASE_DONE && phase != WEBGET_PHASE_REDIRECTED) {
        WebGetRequest_SetPhase(r, phase);
        return;
    }
    WebGetRequest* held = WebGetRequest_AddRef(r);
    if (c->Active == r) {
        WebGetRequest_SetPrintCallback(r, nullptr, nullptr);
        WebGetRequest_SetConnectionHandle(r, nullptr);
        WebGetRequest_SetWritesDoneHook(r, nullptr, nullptr);
        c->Active = nullptr;
        WebGetRequest_Release(&r);
    }
    if (WebGetRequest_SetPhase(held, phase)) {
        RunDoneCallback(c, held);
        if (phase == WEBGET_PHASE_DONE) WebGetRequest_Done(held);
    }
    WebGetRequest_Release(&held);
}

int64_t WebGetConnection_CheckPersistentTimeout(WebGetConnection* c) {
    if (!c->Persistent || !IsConnectedSocket(c) || c->PersistentTimeout < 1) return 1;
    if (Time_GetCurrent() - c->ConnectTime >= (double)c->PersistentTimeout) {
        WebGetConnection_Print(c, "Persistent connection restart (timeout: %d) (%ipv4:%d)", (int32_t)c->PersistentTimeout,
                               &c->Remote.Address, (int32_t)c->Remote.Port);
        WebGetConnection_CloseEx(c, WEBGET_CLOSE_FORGET | WEBGET_CLOSE_REQUEUE);
    }
    return 1;
}

void WebGetConnection_ResetAuthentication(WebGetConnection* c) {
    WebGetAuthenticate_Reset(c->ProxyAuth);
    WebGetAuthenticate_Reset(c->ServerAuth);
    WebGetClientCert_Reset(c->ClientCert);
}

void WebGetConnection_InvalidateCredentials(WebGetConnection* c) {
    {
        std::lock_guard<std::mutex> guard(c->TlsLock);
        TLS1_SetClientCert(c->Tls, nullptr, "");
    }
    WebGetClientCert_InvalidateCredentials(c->ClientCert);
    WebGetAuthenticate_InvalidateCredentials(c->ProxyAuth);
    WebGetAuthenticate_InvalidateCredentials(c->ServerAuth);
}

int64_t WebGetConnection_Notification_ChallengeResponse(void* user, const char*, const char*, const char* instance,
                                                        Dictionary* info) {
    WebGetConnection* c = Checked(static_cast<WebGetConnection*>(user));
    char filter[320];
    if (!info || !instance || !Dictionary_GetStringByKey(info, "filter", filter, sizeof(filter))) return 0;
    uint32_t cancel = 0;
    Dictionary_GetBooleanByKey(info, "cancel", &cancel);
    Challenge_Lock();
    char id[40];
    if (String_CompareWithoutCase(filter, "WebGetServer") || String_CompareWithoutCase(filter, "WebGetProxy")) {
        WebGetAuthenticate* auth = nullptr;
        WebGetAuthenticate_GetInstanceId(c->ServerAuth, id, sizeof(id));
        if (String_Compare(id, instance)) auth = c->ServerAuth;
        WebGetAuthenticate_GetInstanceId(c->ProxyAuth, id, sizeof(id));
        if (String_Compare(id, instance)) auth = c->ProxyAuth;
        if (!auth) {
            Challenge_Unlock();
            return 0;
        }
        char* username = static_cast<char*>(Memory_AllocZero(512));
        char* password = static_cast<char*>(Memory_AllocZero(512));
        if (!cancel && Dictionary_GetStringByKey(info, "username", username, 512) &&
            Dictionary_GetStringByKey(info, "password", password, 512))
            WebGetAuthenticate_SetCredentials(auth, username, password);
        else
            WebGetAuthenticate_SetCancel(auth, 1);
        memset(password, 0, 512);
        Memory_Free(username, 512);
        Memory_Free(password, 512);
    } else if (String_CompareWithoutCase(filter, "ClientCert")) {
        WebGetClientCert_GetInstanceId(c->ClientCert, id, sizeof(id));
        if (!String_Compare(id, instance)) {
            Challenge_Unlock();
            return 0;
        }
        char path[320];
        char* password = static_cast<char*>(Memory_AllocZero(512));
        if (!cancel && Dictionary_GetStringByKey(info, "certificatePath", path, sizeof(path)) &&
            Dictionary_GetStringByKey(info, "password", password, 512)) {
            std::lock_guard<std::mutex> guard(c->TlsLock);
            if (!WebGetClientCert_SetCredentials(c->ClientCert, c->Tls, path, password))
                WebGetConnection_Print(c, "Client certificate not usable '%s'", path);
        } else {
            WebGetClientCert_SetCancel(c->ClientCert, 1);
        }
        memset(password, 0, 512);
        Memory_Free(password, 512);
    } else {
        Challenge_Unlock();
        return 0;
    }
    if (c->Credential) {
        WebGetRequest_SetPrintCallback(c->Credential, nullptr, nullptr);
        WebGetRequest_Release(&c->Credential);
    }
    WebGetConnection_Signal(c);
    Challenge_Unlock();
    return 1;
}

int64_t WebGetConnection_IsFileURL(const char* url) {
    return URL_CompareProtocol(url, "file");
}

int64_t WebGetConnection_IsSecureURL(const char* url) {
    return URL_CompareProtocol(url, "https");
}

// ---- Life cycle --------------------------------------------------------------------------------

int64_t WebGetConnection_Create(WebGetConnection** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    void* block = Memory_AllocZero(sizeof(WebGetConnection));
    WebGetConnection* c = new (block) WebGetConnection();
    c->Header.ClassId = WEBGET_CONNECTION_CLASS_ID;
    c->Header.RefCount = 1;
    c->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(c);
    TLS1_Create(&c->Tls);
    TLS1_SetClientCertRequestCallback(c->Tls, ClientCertRequest, c);
    TLS1_SetPrintCallback(c->Tls, c, WebGetConnection_PrintCallback);
    CertStoreInterface* store = WebGet_CertStoreGetDefaultHandle();
    if (store) {
        TLS1_SetCertStoreHandle(c->Tls, store);
        CertStoreInterface_Release(&store);
    }
    DuplexStream_Create(&c->Transport);
    DuplexStream_Create(&c->Message);
    AsyncSocket_Create(&c->Socket);
    AsyncFile_Create(&c->File);
    SetSocketCallbacks(c, true);
    WebGetAuthenticate_Create(&c->ProxyAuth);
    WebGetAuthenticate_SetProxy(c->ProxyAuth, 1);
    WebGetAuthenticate_Create(&c->ServerAuth);
    WebGetClientCert_Create(&c->ClientCert);
    ObserveCredentials(c, true);
    c->ProxyIndex = -1;
    c->FileOffset.store(-1);
    c->OwnerThread = Thread_GetCurrentId();
    c->AllowProxy = 1;
    c->AllowAuthentication = 1;
    c->Persistent = 1;
    c->ReportError = 1;
    int32_t timeout = WEBGET_DEFAULT_TIMEOUT;
    WebGet_GetDefaultTimeout(&timeout);
    c->Timeout = (uint32_t)timeout;
    *handle = c;
    return 1;
}

int64_t WebGetConnection_Delete(WebGetConnection** handle) {
    ASSERT_POINTER(handle);
    WebGetConnection* c = Checked(*handle);
    *handle = nullptr;
    ObserveCredentials(c, false);
    SetSocketCallbacks(c, false);
    TLS1_SetClientCertRequestCallback(c->Tls, nullptr, nullptr);
    // A write finishing now must not queue a pass after the queue was cleared of this connection.
    if (c->Active) WebGetRequest_SetWritesDoneHook(c->Active, nullptr, nullptr);
    EventQueue_RemoveInstanceByThreadId(c->OwnerThread, c);
    AsyncSocket_Close(c->Socket);
    AsyncFile_Close(c->File);
    // Nothing may call back into the connection now: end every request it holds.
    CallbackBase_Reset(&c->SignalCallback);
    if (c->Active) {
        WebGetRequest* active = c->Active;
        c->Active = nullptr;
        WebGetRequest_SetConnectionHandle(active, nullptr);
        WebGetRequest_SetWritesDoneHook(active, nullptr, nullptr);
        WebGetRequest_SetPrintCallback(active, nullptr, nullptr);
        WebGetRequest_SetPhase(active, WEBGET_PHASE_IDLE);
        WebGetRequest_Release(&active);
    }
    while (WebGetRequest* request = QueuePopFront(c)) {
        WebGetRequest_SetPrintCallback(request, nullptr, nullptr);
        WebGetConnection_SetRequestPhase(c, request, WEBGET_PHASE_DONE);
        WebGetRequest_Release(&request);
    }
    if (c->Credential) WebGetRequest_Release(&c->Credential);
    if (c->CacheItem) WebGetCacheItem_Release(&c->CacheItem);
    LookupRelease(&c->Lookup);
    if (c->FileBuffer) Memory_Free(c->FileBuffer, WEBGET_CONNECTION_FILE_BUFFER_SIZE);
    CallbackBase_Reset(&c->DoneCallback);
    CallbackBase_Reset(&c->RedirectCallback);
    WebGetClientCert_Release(&c->ClientCert);
    WebGetAuthenticate_Release(&c->ServerAuth);
    WebGetAuthenticate_Release(&c->ProxyAuth);
    TLS1_Release(&c->Tls);
    DuplexStream_Release(&c->Transport);
    DuplexStream_Release(&c->Message);
    AsyncSocket_Release(&c->Socket);
    AsyncFile_Release(&c->File);
    // A tick queued on the owner's queue must not run after the connection is gone.
    EventQueue_RemoveInstanceByThreadId(c->OwnerThread, c);
    c->Header.ClassId = 0;
    c->~WebGetConnection();
    Memory_Free(c, sizeof(WebGetConnection));
    return 1;
}

WebGetConnection* WebGetConnection_AddRef(WebGetConnection* connection) {
    Class_AddRef(Checked(connection));
    return connection;
}

int64_t WebGetConnection_Release(WebGetConnection** handle) {
    ASSERT_POINTER(handle);
    Checked(*handle);
    Class_Release(handle);
    *handle = nullptr;
    return 1;
}

int64_t WebGetConnection_GetInstanceId(WebGetConnection* connection, char* buffer, int32_t capacity) {
    Checked(connection);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, capacity, connection->Header.InstanceId, (int32_t)sizeof(connection->Header.InstanceId));
    return 1;
}

// ---- Settings ----------------------------------------------------------------------------------

#define WEBGET_CONNECTION_FLAG(Name, Field)                                                  \
    int64_t WebGetConnection_Set##Name(WebGetConnection* connection, uint32_t value) {       \
        Checked(connection)->Field = value;                                                  \
        return 1;                                                                            \
    }                                                                                        \
    int64_t WebGetConnection_Get##Name(WebGetConnection* connection, uint32_t* value) {      \
        ASSERT_POINTER(value);                                                               \
        *value = Checked(connection)->Field;                                                 \
        return 1;                                                                            \
    }

WEBGET_CONNECTION_FLAG(AllowProxy, AllowProxy)
WEBGET_CONNECTION_FLAG(AllowProxyLoopback, AllowProxyLoopback)
WEBGET_CONNECTION_FLAG(Persistent, Persistent)
WEBGET_CONNECTION_FLAG(PersistentTimeout, PersistentTimeout)
WEBGET_CONNECTION_FLAG(ReportError, ReportError)
WEBGET_CONNECTION_FLAG(Timeout, Timeout)
WEBGET_CONNECTION_FLAG(PrintHeaders, PrintHeaders)
WEBGET_CONNECTION_FLAG(BindIP, BindAddress)
WEBGET_CONNECTION_FLAG(BindPort, BindPort)

int64_t WebGetConnection_SetAllowAuthentication(WebGetConnection* connection, uint32_t flag) {
    Checked(connection)->AllowAuthentication = flag;
    return 1;
}

int64_t WebGetConnection_GetAllowAuthentication(WebGetConnection* connection) {
    Checked(connection);
    uint32_t global = 0;
    WebGet_GetAllowAuthentication(&global);
    return global ? connection->AllowAuthentication : 0;
}

int64_t WebGetConnection_SetProxyURL(WebGetConnection* connection, const char* url) {
    Checked(connection);
    const char* text = url ? url : "";
    if (!String_Compare(connection->FixedProxy, text)) {
        String_CopyLength(connection->FixedProxy, text, sizeof(connection->FixedProxy));
        // A new proxy setting needs a new choice.
        connection->ProxyIndex = -1;
        connection->CurrentProxy[0] = 0;
    }
    return 1;
}

int64_t WebGetConnection_GetProxyURL(WebGetConnection* connection, char* buffer, int32_t capacity) {
    Checked(connection);
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, connection->FixedProxy, capacity);
    return 1;
}

int64_t WebGetConnection_GetProxy(WebGetConnection* connection, char* buffer, int32_t capacity) {
    Checked(connection);
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, connection->CurrentProxy, capacity);
    return 1;
}

#define WEBGET_CONNECTION_GETTER(Name, Expr)                                                 \
    int64_t WebGetConnection_Get##Name(WebGetConnection* connection, uint32_t* value) {      \
        ASSERT_POINTER(value);                                                               \
        Checked(connection);                                                                 \
        *value = (Expr);                                                                     \
        return 1;                                                                            \
    }

WEBGET_CONNECTION_GETTER(LocalIP, connection->LocalAddress)
WEBGET_CONNECTION_GETTER(LocalPort, connection->LocalPort)
WEBGET_CONNECTION_GETTER(RemoteIP, connection->Remote.Address)
WEBGET_CONNECTION_GETTER(RemotePort, connection->Remote.Port)
WEBGET_CONNECTION_GETTER(ThreadId, connection->OwnerThread)

int64_t WebGetConnection_SetThreadId(WebGetConnection* connection, uint32_t threadId) {
    Checked(connection);
    if (connection->OwnerThread != threadId) {
        EventQueue_RemoveInstanceByThreadId(connection->OwnerThread, connection);
        connection->OwnerThread = threadId;
        connection->TickQueued.store(0);
    }
    return 1;
}

int64_t WebGetConnection_GetLastError(WebGetConnection* connection, int32_t* code, int32_t* extended) {
    Checked(connection);
    if (code) *code = connection->LastError;
    if (extended) *extended = connection->LastErrorEx;
    return 1;
}

int64_t WebGetConnection_SetCertStoreHandle(WebGetConnection* connection, CertStoreInterface* store) {
    Checked(connection);
    std::lock_guard<std::mutex> guard(connection->TlsLock);
    return TLS1_SetCertStoreHandle(connection->Tls, store);
}

int64_t WebGetConnection_SetSignalCallback(WebGetConnection* connection, void* user, WebGetConnectionSignalFunc fn) {
    Checked(connection);
    if (!fn) return CallbackBase_Reset(&connection->SignalCallback);
    return CallbackBase_Set(&connection->SignalCallback, 0, user, fn);
}

int64_t WebGetConnection_SetDoneCallback(WebGetConnection* connection, void* user, WebGetConnectionRequestFunc fn) {
    Checked(connection);
    if (!fn) return CallbackBase_Reset(&connection->DoneCallback);
    return CallbackBase_Set(&connection->DoneCallback, 0, user, fn);
}

int64_t WebGetConnection_SetRedirectCallback(WebGetConnection* connection, void* user,
                                             WebGetConnectionRequestFunc fn) {
    Checked(connection);
    if (!fn) return CallbackBase_Reset(&connection->RedirectCallback);
    return CallbackBase_Set(&connection->RedirectCallback, 0, user, fn);
}

// ---- Bandwidth ---------------------------------------------------------------------------------

int64_t WebGetConnection_GetMeterRWHandle(WebGetConnection* connection, MeterRW** meter) {
    return AsyncSocket_GetMeterRWHandle(Checked(connection)->Socket, meter);
}
int64_t WebGetConnection_GetOverallUsage(WebGetConnection* connection, uint64_t* read, uint64_t* write) {
    return AsyncSocket_GetOverallUsage(Checked(connection)->Socket, read, write);
}
int64_t WebGetConnection_GetMaxBandwidth(WebGetConnection* connection, double* read, double* write) {
    return AsyncSocket_GetMaxBandwidth(Checked(connection)->Socket, read, write);
}
int64_t WebGetConnection_GetCurrentBandwidth(WebGetConnection* connection, double* read, double* write) {
    return AsyncSocket_GetCurrentBandwidth(Checked(connection)->Socket, read, write);
}
int64_t WebGetConnection_GetLimitBandwidth(WebGetConnection* connection, int32_t* read, int32_t* write) {
    return AsyncSocket_GetLimitBandwidth(Checked(connection)->Socket, read, write);
}
int64_t WebGetConnection_SetLimitBandwidth(WebGetConnection* connection, int32_t read, int32_t write) {
    return AsyncSocket_SetLimitBandwidth(Checked(connection)->Socket, read, write);
}

// ---- Requests ----------------------------------------------------------------------------------

int64_t WebGetConnection_RequestAdd(WebGetConnection* connection, WebGetRequest* request) {
    return WebGetConnection_RequestAddEx(connection, request, 0, 1);
}

int64_t WebGetConnection_RequestAddEx(WebGetConnection* connection, WebGetRequest* request, int32_t front,
                                      int32_t check) {
    WebGetConnection* c = Checked(connection);
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    if (check) {
        if (request == c->Active)
            Debug_Abort("Assertion failed (WebGetRequestHandle != WebGetConnection->WebGetRequestHandle || "
                        "WebGetConnection->WebGetRequestHandle == NULL)\nCannot add in-use request in queue");
        if (request == c->Credential)
            Debug_Abort("Assertion failed (WebGetRequestHandle != WebGetConnection->WebGetCredentialHandle)\n"
                        "Cannot add in-use request in queue");
        if (QueueHolds(c, request)) Debug_Abort("Cannot add in-use request in queue");
    }
    uint32_t verbose = 0;
    WebGetConnection_GetVerbose(c, &verbose);
    if (verbose == 1) WebGetRequest_SetVerbose(request, 1);
    WebGetRequest_SetPrintCallback(request, c, WebGetConnection_PrintCallback);
    WebGetRequest_SetPhase(request, WEBGET_PHASE_IDLE);
    QueuePush(c, WebGetRequest_AddRef(request), front != 0);
    WebGetConnection_Signal(c);
    return 1;
}

int64_t WebGetConnection_RequestStart(WebGetConnection* connection, WebGetRequest* request) {
    WebGetConnection* c = Checked(connection);
    if (c->Active != request)
        Debug_Abort("Assertion failed (WebGetConnection->WebGetRequestHandle == WebGetRequestHandle)\n"
                    "Unexpected request handle");
    WebGetRequest_SetPhase(request, WEBGET_PHASE_LOOKUP);
    WebGetRequest_SetPhaseChanged(request, 1);
    WebGetConnection_Signal(c);
    return 1;
}

int64_t WebGetConnection_RequestPending(WebGetConnection* connection) {
    Checked(connection);
    return connection->Active != nullptr || connection->QueueCount > 0;
}

int64_t WebGetConnection_RequestPendingCount(WebGetConnection* connection, uint32_t* count) {
    Checked(connection);
    ASSERT_POINTER(count);
    *count = connection->QueueCount + (connection->Active ? 1 : 0);
    return 1;
}

int64_t WebGetConnection_IsCredentialPending(WebGetConnection* connection) {
    return Checked(connection)->Credential != nullptr;
}

int64_t WebGetConnection_HasBufferedData(WebGetConnection* connection) {
    WebGetConnection* c = Checked(connection);
    int32_t used = 0;
    used = WebGetConnection_ReadUsed(c->Message);
    if (used) return 1;
    used = WebGetConnection_WriteUsed(c->Message);
    if (used) return 1;
    used = WebGetConnection_ReadUsed(c->Transport);
    if (used) return 1;
    used = WebGetConnection_WriteUsed(c->Transport);
    if (used) return 1;
    if (c->TlsOn.load()) {
        std::lock_guard<std::mutex> guard(c->TlsLock);
        TLS1_ReadGetBufferUsed(c->Tls, &used);
        if (used) return 1;
        TLS1_WriteGetBufferUsed(c->Tls, &used);
        if (used) return 1;
    }
    return 0;
}

int64_t WebGetConnection_IsConnected(WebGetConnection* connection) {
    WebGetConnection* c = Checked(connection);
    if (IsConnectedSocket(c) || AsyncFile_IsOpen(c->File)) return 1;
    return WebGetConnection_HasBufferedData(c);
}

int64_t WebGetConnection_IsOk(WebGetConnection* connection) {
    return Checked(connection)->LastError == 0;
}

int64_t WebGetConnection_Process(WebGetConnection* connection) {
    WebGetConnection* c = Checked(connection);
    WebGetConnection_AddRef(c);
    MoveIn(c);
    if (c->Active && WebGetRequest_HasOneRef(c->Active)) {
        WebGetConnection_CloseEx(c, WEBGET_CLOSE_FORGET);
    }
    if (!c->Active && !c->Credential) {
        while (WebGetRequest* request = QueuePopFront(c)) {
            if (WebGetRequest_HasOneRef(request)) {
                WebGetRequest_SetPhase(request, WEBGET_PHASE_IDLE);
                WebGetRequest_Release(&request);
                continue;
            }
            c->Active = request;
            WebGetRequest_SetConnectionHandle(request, c);
            WebGetRequest_SetWritesDoneHook(request, c, WritesDone);
            if (WebGetRequest_RaiseStart(request)) {
                WebGetConnection_RequestStart(c, request);
            } else {
                WebGetRequest_SetPhase(request, WEBGET_PHASE_START);
            }
            break;
        }
    }
    int64_t result = 1;
    if (c->Active) {
        WebGetRequest* r = WebGetRequest_AddRef(c->Active);
        WebGetRequest_SetPrintCallback(r, c, WebGetConnection_PrintCallback);
        int32_t code = 0, codeEx = 0;
        bool ok = true;
        // A step that only moved the request to its next phase is followed at once by that
        // phase's step (a few at most), instead of waiting for the queued pass.
        for (int32_t step = 0; step < kStepsPerPass; step++) {
            ok = RequestProcess(c, r, &code, &codeEx) != 0;
            uint32_t changed = 0;
            WebGetRequest_GetPhaseChanged(r, &changed);
            if (!ok || c->Active != r || !changed) break;
            MoveOut(c);
            MoveIn(c);
        }
        if (!ok) {
            if (code == 0)
                Debug_Abort("Assertion failed (ErrorCode != 0)\nError code not set during request process failure (%d)",
                            r->Phase.load());
            c->LastError = code;
            c->LastErrorEx = codeEx;
            if (c->CacheItem) WebGetCacheItem_Invalidate(c->CacheItem);
            WebGetRequest_SetLastError(r, code, codeEx);
            RaiseError(c, r, code, codeEx);
            WebGetConnection_Cleanup(c, r, 1);
            WebGetConnection_CloseEx(c, WEBGET_CLOSE_FORGET);
            result = 0;
        }
        WebGetRequest_Release(&r);
    }
    // What the step consumed made room: received bytes move up now, so that the transport has
    // room and the socket reads on while the body's file writes are pending.
    MoveIn(c);
    MoveOut(c);
    if (c->Active || WebGetConnection_HasBufferedData(c)) QueueTick(c);
    WebGetConnection_Release(&c);
    return result;
}

int64_t WebGetConnection_WaitForRequest(WebGetConnection* connection, WebGetRequest* request) {
    WebGetConnection* c = Checked(connection);
    WebGetConnection_SetThreadId(c, Thread_GetCurrentId());
    if (WebGetRequest_IsDone(request)) return 0;
    if (!WebGetConnection_Process(c)) return 0;
    for (;;) {
        if (WebGetRequest_IsDone(request)) return 1;
        if (EventQueue* queue = Thread_GetCurrentEventQueueHandle()) {
            EventQueue_Flush(queue);
            EventQueue_Release(&queue);
        } else {
            // The main thread: its queue is the global one, and notifications are delivered here.
            EventQueue_Flush(nullptr);
            NotificationCenter_Process();
        }
        if (WebGetRequest_IsDone(request)) return 1;
        Thread_Wait(1);
        if (!WebGetConnection_Process(c)) return 0;
    }
}

int64_t WebGetConnection_Close(WebGetConnection* connection) {
    return WebGetConnection_CloseEx(connection, 7);
}

int64_t WebGetConnection_CloseEx(WebGetConnection* connection, uint32_t flags) {
    WebGetConnection* c = Checked(connection);
    WebGetConnection_Print(c, "Closing connection (flags %02x)\n", flags);
    if (WebGetRequest* active = c->Active) {
        c->Active = nullptr;
        if (flags & WEBGET_CLOSE_REQUEUE) {
            WebGetRequest_SetPrintCallback(active, nullptr, nullptr);
            WebGetRequest_SetConnectionHandle(active, nullptr);
            WebGetRequest_SetWritesDoneHook(active, nullptr, nullptr);
            QueuePush(c, WebGetRequest_AddRef(active), true);
            WebGetRequest_SetPhase(active, WEBGET_PHASE_IDLE);
        } else {
            WebGetRequest_SetPhase(active, WEBGET_PHASE_IDLE);
            WebGetRequest_SetPrintCallback(active, nullptr, nullptr);
            WebGetRequest_SetConnectionHandle(active, nullptr);
            WebGetRequest_SetWritesDoneHook(active, nullptr, nullptr);
        }
        WebGetRequest_Release(&active);
        WebGetConnection_Signal(c);
    }
    if (flags & WEBGET_CLOSE_QUEUE) {
        if (c->Credential) WebGetRequest_Release(&c->Credential);
        while (WebGetRequest* request = QueuePopFront(c)) {
            WebGetRequest_SetPrintCallback(request, nullptr, nullptr);
            WebGetConnection_SetRequestPhase(c, request, WEBGET_PHASE_DONE);
            WebGetRequest_Release(&request);
        }
    }
    if (!(flags & WEBGET_CLOSE_KEEP)) {
        AsyncSocket_Close(c->Socket);
        AsyncSocket_ClearLastError(c->Socket);
        std::lock_guard<std::mutex> guard(c->TlsLock);
        c->TlsOn.store(0);
        TLS1_Close(c->Tls);
        TLS1_ClearLastError(c->Tls);
        c->TunnelEstablished = 0;
    }
    AsyncFile_Close(c->File);
    c->FileOffset.store(-1);
    DuplexStream_Reset(c->Transport);
    DuplexStream_Reset(c->Message);
    if (c->CacheItem) WebGetCacheItem_Release(&c->CacheItem);
    if (flags & WEBGET_CLOSE_FORGET) {
        c->CurrentURL[0] = 0;
        ResetAuthentication(c);
    }
    return 1;
}
