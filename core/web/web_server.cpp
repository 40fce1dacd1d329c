// The web server: listening with fall-back over a port list, accepting, and each connection's
// phase machine from the request header to the response and the close, run in short passes.
#include "core/web/web_server.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

#include "core/formats/mime.h"
#include "core/formats/url.h"
#include "core/net/async_socket.h"
#include "core/platform/duplex_stream.h"
#include "core/runtime/class_family.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/web_get_header.h"
#include "core/web/web_server_internal.h"

namespace {

// How long a connection whose sending side is shut may wait for its peer to close.
constexpr double kLingerSeconds = 5.0;
// The owners of this server take small bodies (script calls, form posts); one larger than this
// is refused before it is read, so that no client makes the server read without end.
constexpr int64_t kDefaultMaxRequestBody = 16 << 20;
constexpr int32_t kListenBacklog = 1000;
// A request header is a few hundred bytes sent at once; a client that takes a minute for one is
// holding a connection, not making a request.
constexpr double kDefaultHeaderTimeout = 60.0;
// The owners' clients are a browser and a few local processes, with tens of connections; the
// bound is for a client that opens them without end.
constexpr uint32_t kDefaultMaxConnections = 10000;
// How long the server's thread sleeps between passes unless woken.
constexpr int32_t kThreadWaitMs = 20;
// How often a threaded server's pass looks at connections that did not ask for it.
constexpr double kFullPassSeconds = 0.02;
// How often, and up to how many queued bytes, one pass asks a connection's owner for more of its
// answer's body.
constexpr int32_t kBodyCallsPerPass = 8;
constexpr int32_t kBodyPassBytes = 64 * 1024;

constexpr const char* kPhaseNames[] = {"Unknown",        "Open",         "RequestHeader", "RequestBody",
                                       "ResponseHeader", "ResponseBody", "ResponseFinish", "Linger",
                                       "Close",          "Done"};

WebServer* Checked(WebServer* server) {
    CLASS_CHECK(server, WEBSERVER_CLASS_ID);
    return server;
}

void PreparePrint(WebServer* server) {
    ClassPrint_Prepare(&server->Print, server, "WebServer", WebServer_PrintInternal);
}

void PrepareConnectionPrint(WebServerConnection* connection) {
    ClassPrint_Prepare(&connection->Print, connection, "Connection", WebServer_ConnectionPrintInternal);
}

int64_t DeleteHandle(void** handle) {
    return WebServer_Delete(reinterpret_cast<WebServer**>(handle));
}

template <typename F> F CallbackFunction(CallbackBase* slot, void** user) {
    void* function = nullptr;
    *user = nullptr;
    if (!CallbackBase_GetReal(slot, user, &function)) return nullptr;
    return reinterpret_cast<F>(function);
}

uint32_t IsListening(WebServer* s) {
    return s->ListenSocket && AsyncSocket_IsOpen(s->ListenSocket) && s->ActiveListenPort != 0;
}

void ProcessServerEvent(void* instance) {
    WebServer_Process(static_cast<WebServer*>(instance));
}

void ConnectionProcessEvent(void* instance);

// Wakes a threaded server's thread, unless it is awake and will look again by itself.
void WakeServerThread(WebServer* s) {
    s->Wakes.fetch_add(1);
    if (s->Sleeping.load()) Thread_Signal(s->ThreadId);
}

// Wakes the thread that runs the server for a pass over the connections that asked for one.
void WakeThread(WebServer* s) {
    if (s->ServerThread)
        WakeServerThread(s);
    else if (s->Running.load())
        EventQueue_AddProcessByThreadId(s->ThreadId, s, ProcessServerEvent);
}

// Wakes it for a pass that looks at every connection.
void WakeServer(WebServer* s) {
    s->FullPassDue.store(1);
    WakeThread(s);
}

// ---- Socket handlers (the socket's queue) ------------------------------------------------------

int32_t OnSocketReadSize(AsyncSocket*, void* user) {
    WebServerConnection* c = static_cast<WebServerConnection*>(user);
    int32_t left = 0;
    DuplexStream_ReadGetBufferLeft(c->Stream, &left);
    return left;
}

// The calling thread's id, asked of the system once per thread.
uint32_t CurrentThreadId() {
    thread_local uint32_t id = 0;
    if (id == 0) id = Thread_GetCurrentId();
    return id;
}

void OnSocketRead(AsyncSocket*, void* user, const uint8_t* data, int32_t length) {
    WebServerConnection* c = static_cast<WebServerConnection*>(user);
    if (length <= 0 || !DuplexStream_ReadPut(c->Stream, data, (uint32_t)length)) return;
    // A read the connection's own pass made (Busy is only written on that thread) is looked at by
    // that pass's next step.
    if (CurrentThreadId() == c->Server->ThreadId.load() && c->Busy) return;
    WebServer_ConnectionSignal(c);
}

int32_t OnSocketWriteSize(AsyncSocket*, void* user) {
    WebServerConnection* c = static_cast<WebServerConnection*>(user);
    int32_t used = 0;
    DuplexStream_WriteGetBufferUsed(c->Stream, &used);
    // An empty write buffer ends the socket's writing; the pass that waits for it must run. A
    // write pass on the server's own thread runs inside a pass, which looks again itself.
    if (used == 0 && CurrentThreadId() != c->Server->ThreadId.load()) WebServer_ConnectionSignal(c);
    return used;
}

int32_t OnSocketWrite(AsyncSocket*, void* user, uint8_t* buffer, int32_t capacity) {
    WebServerConnection* c = static_cast<WebServerConnection*>(user);
    uint32_t got = 0;
    if (capacity <= 0) return 0;
    DuplexStream_WriteGet(c->Stream, buffer, (uint32_t)capacity, &got);
    return (int32_t)got;
}

void OnSocketClose(AsyncSocket*, void* user) {
    WebServerConnection* c = static_cast<WebServerConnection*>(user);
    uint32_t open = 0;
    c->SocketClosed.compare_exchange_strong(open, 1);
    c->Pending.store(1);
    WakeThread(c->Server);
}

// Clearing waits for a running handler, so after the first clearing no handler can run: a
// connection's later clearings (its close, its removal, its freeing) are skipped.
void SetSocketHandlers(WebServerConnection* c, bool on) {
    if ((c->HandlersOn != 0) == on) return;
    c->HandlersOn = on ? 1 : 0;
    AsyncSocket_SetReadSizeCallback(c->Socket, on ? c : nullptr, on ? OnSocketReadSize : nullptr);
    AsyncSocket_SetReadCallback(c->Socket, on ? c : nullptr, on ? OnSocketRead : nullptr);
    AsyncSocket_SetWriteSizeCallback(c->Socket, on ? c : nullptr, on ? OnSocketWriteSize : nullptr);
    AsyncSocket_SetWriteCallback(c->Socket, on ? c : nullptr, on ? OnSocketWrite : nullptr);
    AsyncSocket_SetCloseCallback(c->Socket, on ? c : nullptr, on ? OnSocketClose : nullptr);
}

// ---- Connection records ----------------------------------------------------------------------

int64_t ConnectionDeleteHandle(void**) {
    return 0; // connections are freed by their server's pass only
}

void ResetFields(WebServerConnection* c);

static_assert(std::is_standard_layout_v<WebServerConnection>);
static_assert(offsetof(WebServerConnection, URL) < offsetof(WebServerConnection, ContentType) &&
              offsetof(WebServerConnection, ContentType) + sizeof(WebServerConnection::ContentType) <=
                  offsetof(WebServerConnection, RequestLength));

// A record with every field zero but the text fields from URL to ContentType (25 KB of its 26),
// which are empty strings: zeroing them whole on every accept cost more than the rest of it.
WebServerConnection* ConnectionRecord() {
    void* block = Memory_Alloc(sizeof(WebServerConnection));
    WebServerConnection* c = new (block) WebServerConnection;
    constexpr size_t textStart = offsetof(WebServerConnection, URL);
    constexpr size_t textEnd = offsetof(WebServerConnection, RequestLength);
    memset(reinterpret_cast<char*>(c), 0, textStart);
    memset(reinterpret_cast<char*>(c) + textEnd, 0, sizeof(WebServerConnection) - textEnd);
    for (char* text : {c->URL, c->Referer, c->UserAgent, c->FileName, c->ContentTypeFor, c->ContentType}) text[0] = 0;
    return c;
}

WebServerConnection* ConnectionNew(WebServer* s) {
    WebServerConnection* c = ConnectionRecord();
    c->Header.ClassId = WEBSERVER_CONNECTION_CLASS_ID;
    c->Header.RefCount = 1;
    c->Header.Delete = ConnectionDeleteHandle;
    Class_GenerateInstanceIdReal(c);
    c->Server = s;
    Dictionary_Create(&c->RequestHeader);
    Dictionary_Create(&c->ResponseHeader);
    Dictionary_SetCaseSensitive(c->RequestHeader, 0);
    Dictionary_SetCaseSensitive(c->ResponseHeader, 0);
    Dictionary_SetPrintCallback(c->RequestHeader, s, WebServer_PrintCallback);
    Dictionary_SetPrintCallback(c->ResponseHeader, s, WebServer_PrintCallback);
    DuplexStream_Create(&c->Stream);
    uint32_t verbose = 0;
    WebServer_GetVerbose(s, &verbose);
    c->Print.Verbose = (int32_t)verbose;
    // The times are the caller's: the pass's time is read under the server's lock.
    ResetFields(c);
    return c;
}

void ConnectionFree(WebServerConnection* c) {
    if (c->Socket) {
        SetSocketHandlers(c, false);
        AsyncSocket_Close(c->Socket);
        AsyncSocket_Release(&c->Socket);
    }
    DuplexStream_Release(&c->Stream);
    Dictionary_Release(&c->RequestHeader);
    Dictionary_Release(&c->ResponseHeader);
    c->~WebServerConnection();
    Memory_Free(c, sizeof(WebServerConnection));
}

void ConnectionLink(WebServer* s, WebServerConnection* c) {
    c->Previous = nullptr;
    c->Next = s->Head;
    if (s->Head)
        s->Head->Previous = c;
    else
        s->Tail = c;
    s->Head = c;
    s->Count++;
}

// Links the connections accepted since the last look, in the order they came; under the server's
// lock. Their times are the pass's.
void AdoptIncoming(WebServer* s) {
    WebServerConnection* c = s->Incoming.exchange(nullptr, std::memory_order_acquire);
    WebServerConnection* ordered = nullptr;
    while (c) {
        WebServerConnection* next = c->Next;
        c->Next = ordered;
        ordered = c;
        c = next;
    }
    while (ordered) {
        WebServerConnection* next = ordered->Next;
        ordered->ConnectTime = s->Now;
        ordered->LastTouch = s->Now;
        ordered->HeaderStart = s->Now;
        ConnectionLink(s, ordered);
        ordered = next;
    }
}

// Unlinks and frees a finished connection; under the server's lock.
void WebServer_ConnectionRemove(WebServerConnection* c) {
    WebServer* s = c->Server;
    if (c->Previous)
        c->Previous->Next = c->Next;
    else
        s->Head = c->Next;
    if (c->Next)
        c->Next->Previous = c->Previous;
    else
        s->Tail = c->Previous;
    s->Count--;
    // Handlers first: after this no socket thread can queue an event for the connection. Only an
    // inline server's connections have events: a threaded one's thread is signalled instead.
    if (c->Socket) SetSocketHandlers(c, false);
    if (!s->ServerThread) EventQueue_RemoveInstanceByThreadId(s->ThreadId, c);
    ConnectionFree(c);
    s->Live.fetch_sub(1);
    s->Freed = 1;
}

void WebServer_ConnectionClose(WebServerConnection* c, int32_t forced) {
    if (c->Phase == WEBSERVER_PHASE_DONE) return;
    if (!forced && c->Socket && AsyncSocket_IsConnected(c->Socket)) {
        int32_t used = 0;
        DuplexStream_WriteGetBufferUsed(c->Stream, &used);
        if (used > 0 || AsyncSocket_IsWriting(c->Socket)) return;
    }
    WebServer* s = c->Server;
    WebServer_ConnectionVerboseLog(c, 1, "Close connection [Phase %s Elapsed %.1fs]",
                                   WebServer_TranslateConnectionPhase(c->Phase), s->Now - c->LastTouch);
    WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_DONE);
    c->Closed = 1;
    if (c->Socket) SetSocketHandlers(c, false);
    void* user = nullptr;
    if (auto fn = CallbackFunction<WebServerConnectionFunc>(&s->CloseCallback, &user)) fn(s, user, c);
    if (c->Socket) AsyncSocket_Close(c->Socket);
}

// ---- Phase steps -----------------------------------------------------------------------------

int64_t StepOpen(WebServerConnection* c) {
    WebServer* s = c->Server;
    WebServer_ConnectionVerboseLog(c, 1, "Open connection [%ipv4:%d]", &c->RemoteAddress, (int32_t)c->RemotePort);
    void* user = nullptr;
    auto fn = CallbackFunction<WebServerConnectionFunc>(&s->OpenCallback, &user);
    if (fn && fn(s, user, c) == 0) {
        WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_CLOSE);
        return 1;
    }
    WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_REQUEST_HEADER);
    // A client sends its request as soon as it is connected, so it is mostly here by now: taken
    // in this pass, it costs no round through the reactor's thread and no second wake-up.
    if (c->Socket) AsyncSocket_ReadNow(c->Socket);
    return 1;
}

} // namespace

namespace {

// An answer without a body from the server itself, and the connection's end after it.
int64_t AnswerAndEnd(WebServerConnection* c, int32_t code) {
    c->ResponseCode = code;
    c->ResponseLength = 0;
    c->Persistent = 0;
    WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_RESPONSE_FINISH);
    return 1;
}

} // namespace

int64_t WebServer_ConnectionReadRequestHeader(WebServerConnection* c) {
    WebServer* s = c->Server;
    uint8_t* data = nullptr;
    int32_t used = 0;
    int32_t end = 0;
    int64_t read = 0;
    uint32_t got = 0;
    // The socket thread appends to the read side (and may move its buffer) under the side's lock.
    DuplexStream_ReadLock(c->Stream);
    DuplexStream_ReadGetPointer(c->Stream, &data, &used);
    // A later request on a kept connection has its time from its first byte.
    if (used > 0 && c->HeaderStart <= 0) c->HeaderStart = s->Now;
    // One empty line before a request line is passed over: a client may end a body with an extra
    // CR LF. It leaves the buffer at once, so that a kept connection waiting for its next request
    // holds nothing of one.
    if (data && !c->HeaderSkipped && c->HeaderRead == 0 && used >= 2 && data[0] == '\r' && data[1] == '\n') {
        DuplexStream_ReadReleasePointer(c->Stream, &data);
        DuplexStream_ReadGet(c->Stream, nullptr, 2, &got);
        c->HeaderSkipped = 1;
        DuplexStream_ReadGetPointer(c->Stream, &data, &used);
    }
    const bool lone = used == 1 && data && data[0] == '\r' && !c->HeaderSkipped && c->HeaderRead == 0;
    if (data && used > 0 && !lone) read = WebServer_ConnectionReadHeaderBytes(c, data, used, &end);
    if (data) DuplexStream_ReadReleasePointer(c->Stream, &data);
    if (read == 1) DuplexStream_ReadGet(c->Stream, nullptr, (uint32_t)end, &got);
    DuplexStream_ReadUnlock(c->Stream);
    if (read == 0) return 1;
    // A request that is not read whole is answered, and where its body would end is not
    // guessed: nothing after its header is read as a request.
    if (read < 0) {
        WebServer_ConnectionPrint(c, "Malformed request headers");
        return AnswerAndEnd(c, c->ResponseCode);
    }
    if (got != (uint32_t)end) {
        WebServer_ConnectionPrint(c, "Bad stream reading request headers");
        return 0;
    }
    if (!WebServer_ConnectionTakeRequest(c)) return AnswerAndEnd(c, c->ResponseCode);
    c->LastTouch = s->Now;
    if (c->RequestLength > s->MaxRequestBody) {
        WebServer_ConnectionPrint(c, "Request body too large (%lld bytes)", (long long)c->RequestLength);
        return AnswerAndEnd(c, 413);
    }
    void* user = nullptr;
    if (auto fn = CallbackFunction<WebServerConnectionFunc>(&s->RequestHeaderCallback, &user)) fn(s, user, c);
    WebServer_ConnectionSetPhase(c, c->RequestLength > 0 || c->Chunked ? WEBSERVER_PHASE_REQUEST_BODY
                                                                       : WEBSERVER_PHASE_RESPONSE_HEADER);
    return 1;
}

namespace {

// The body step of a chunked body: the owner is offered the data of the chunk under way; without
// an owner that reads, the body is decoded and dropped, then answered 405 as a counted one is.
int64_t ReadChunkedBody(WebServerConnection* c) {
    WebServer* s = c->Server;
    int64_t available = 0;
    DuplexStream_ReadLock(c->Stream);
    bool ok = WebServer_ConnectionChunkFraming(c);
    if (ok && c->ChunkStep == WEBSERVER_CHUNK_DATA) {
        int32_t used = 0;
        DuplexStream_ReadGetBufferUsed(c->Stream, &used);
        available = c->ChunkLeft < used ? c->ChunkLeft : used;
    }
    void* user = nullptr;
    auto fn = CallbackFunction<WebServerConnectionSizeFunc>(&s->RequestBodyCallback, &user);
    if (ok && !fn) {
        uint32_t got = 0;
        ok = WebServer_ConnectionTakeBody(c, nullptr, s->MaxRequestBody, &got) && !c->ChunkRefusal;
        if (got > 0) c->LastTouch = s->Now;
    }
    DuplexStream_ReadUnlock(c->Stream);
    if (ok && fn && available > 0) {
        fn(s, user, c, available);
        if (c->Phase != WEBSERVER_PHASE_REQUEST_BODY) return 1;
        ok = !c->ChunkRefusal;
    }
    if (!ok) return AnswerAndEnd(c, c->ChunkRefusal ? c->ChunkRefusal : 400);
    if (c->ChunkStep != WEBSERVER_CHUNK_DONE) return 1;
    if (fn) {
        WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_RESPONSE_HEADER);
        return 1;
    }
    c->ResponseCode = 405;
    c->ResponseLength = 0;
    WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_RESPONSE_FINISH);
    return 1;
}

} // namespace

int64_t WebServer_ConnectionReadRequestBody(WebServerConnection* c) {
    WebServer* s = c->Server;
    if (c->Chunked) return ReadChunkedBody(c);
    int32_t used = 0;
    DuplexStream_ReadGetBufferUsed(c->Stream, &used);
    int64_t available = c->RequestLength - c->BodyRead;
    if (available > used) available = used;
    if (available <= 0) {
        if (c->BodyRead >= c->RequestLength) WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_RESPONSE_HEADER);
        return 1;
    }
    void* user = nullptr;
    if (auto fn = CallbackFunction<WebServerConnectionSizeFunc>(&s->RequestBodyCallback, &user)) {
        fn(s, user, c, available);
        if (c->Phase == WEBSERVER_PHASE_REQUEST_BODY && c->BodyRead >= c->RequestLength)
            WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_RESPONSE_HEADER);
        return 1;
    }
    uint32_t got = 0;
    DuplexStream_ReadLock(c->Stream);
    DuplexStream_ReadGet(c->Stream, nullptr, (uint32_t)available, &got);
    DuplexStream_ReadUnlock(c->Stream);
    c->BodyRead += got;
    c->LastTouch = s->Now;
    if (c->BodyRead >= c->RequestLength) {
        c->ResponseCode = 405;
        c->ResponseLength = 0;
        WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_RESPONSE_FINISH);
    }
    return 1;
}

namespace {

int64_t StepResponseHeader(WebServerConnection* c) {
    WebServer* s = c->Server;
    Dictionary_Reset(c->ResponseHeader);
    // The texts of "%s (%s)" and "%s/%s", put together without the formatter on every answer.
    Dictionary_SetStringByKey(c->ResponseHeader, "Server", "Radi-Dod (0.84)");
    // The date text changes once a second: formatted then, not for every answer.
    const double now = Time_GetCurrentEncoded();
    if (now != s->DateFor || !s->DateText[0]) {
        Time_EncodedString(TIME_FIELD_RFC1123, s->DateText, (int32_t)sizeof(s->DateText), now);
        s->DateFor = now;
    }
    Dictionary_SetStringByKey(c->ResponseHeader, "Date", s->DateText);
    // A client on a kept connection mostly asks for the same file again: the table is searched
    // once per file name.
    if (!c->ContentTypeFor[0] || strcmp(c->ContentTypeFor, c->FileName) != 0) {
        const char* type = nullptr;
        const char* subtype = nullptr;
        MIME_Find(c->FileName, &type, &subtype);
        String_CopyLength(c->ContentType, type ? type : "application", (int32_t)sizeof(c->ContentType));
        String_CatLength(c->ContentType, "/", (int32_t)sizeof(c->ContentType));
        String_CatLength(c->ContentType, subtype ? subtype : "octet-stream", (int32_t)sizeof(c->ContentType));
        String_CopyLength(c->ContentTypeFor, c->FileName, (int32_t)sizeof(c->ContentTypeFor));
    }
    Dictionary_SetStringByKey(c->ResponseHeader, "Content-Type", c->ContentType);
    void* user = nullptr;
    int64_t result = 1;
    if (auto fn = CallbackFunction<WebServerConnectionFunc>(&s->ResponseHeaderCallback, &user)) result = fn(s, user, c);
    if (c->Phase != WEBSERVER_PHASE_RESPONSE_HEADER) return 1; // the owner ended the response
    // The answer to a HEAD is the header alone, whatever body the owner has ready: bytes after
    // it would be read as the start of the next answer.
    const bool body = result == 1 && strcmp(c->Method, "HEAD") != 0;
    WebServer_ConnectionSetPhase(c, body ? WEBSERVER_PHASE_RESPONSE_BODY : WEBSERVER_PHASE_RESPONSE_FINISH);
    return 1;
}

int64_t StepResponseBody(WebServerConnection* c) {
    WebServer* s = c->Server;
    if (!WebServer_ConnectionResponseBegin(s, c)) return 0;
    void* user = nullptr;
    auto fn = CallbackFunction<WebServerConnectionSizeFunc>(&s->ResponseBodyCallback, &user);
    // An owner that hands its body over in small pieces is asked again while the write buffer
    // holds little, a bounded number of times: one piece per pass would cost a wake-up per piece,
    // while filling the whole buffer would let one large body hold up the owner's thread.
    for (int32_t call = 0; call < kBodyCallsPerPass; call++) {
        int32_t left = 0, used = 0;
        DuplexStream_WriteGetBufferLeft(c->Stream, &left);
        DuplexStream_WriteGetBufferUsed(c->Stream, &used);
        if (left <= 0 || (call > 0 && used >= kBodyPassBytes)) return 1;
        if (!fn || fn(s, user, c, left) == 0) {
            WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_RESPONSE_FINISH);
            return 1;
        }
        if (c->Phase != WEBSERVER_PHASE_RESPONSE_BODY) return 1;
    }
    return 1;
}

int64_t StepResponseFinish(WebServerConnection* c) {
    WebServer* s = c->Server;
    if (c->ResponseLength > 0 && c->BodyWritten != c->ResponseLength && strcmp(c->Method, "HEAD") != 0) return 0;
    if (!WebServer_ConnectionResponseBegin(s, c)) return 0;
    if (c->Persistent) {
        WebServer_ConnectionReset(c);
        WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_REQUEST_HEADER);
        return 1;
    }
    int32_t used = 0;
    DuplexStream_WriteGetBufferUsed(c->Stream, &used);
    if (used > 0 || AsyncSocket_IsWriting(c->Socket)) return 1;
    AsyncSocket_Shutdown(c->Socket, 1);
    if (!AsyncSocket_IsConnected(c->Socket)) return 0;
    WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_LINGER);
    return 1;
}

int64_t StepLinger(WebServerConnection* c) {
    if (c->Server->Now - c->LingerStart >= kLingerSeconds) {
        WebServer_ConnectionVerboseLog(c, 1, "Forcing connection close");
        AsyncSocket_Close(c->Socket);
    }
    return 1;
}

int64_t RunStep(WebServerConnection* c, bool* known) {
    *known = true;
    switch (c->Phase) {
    case WEBSERVER_PHASE_OPEN: return StepOpen(c);
    case WEBSERVER_PHASE_REQUEST_HEADER: return WebServer_ConnectionReadRequestHeader(c);
    case WEBSERVER_PHASE_REQUEST_BODY: return WebServer_ConnectionReadRequestBody(c);
    case WEBSERVER_PHASE_RESPONSE_HEADER: return StepResponseHeader(c);
    case WEBSERVER_PHASE_RESPONSE_BODY: return StepResponseBody(c);
    case WEBSERVER_PHASE_RESPONSE_FINISH: return StepResponseFinish(c);
    case WEBSERVER_PHASE_LINGER: return StepLinger(c);
    case WEBSERVER_PHASE_CLOSE: WebServer_ConnectionClose(c, 0); return 1;
    case WEBSERVER_PHASE_DONE: return 1;
    default: *known = false; return 0;
    }
}

// Starts sending what the write buffer holds; true when there were bytes. The thread that runs
// the server sends them itself, unless a socket thread's pass is under way (that one runs again
// and takes them): the write handlers take only the stream's lock, and a send that does not
// block costs far less than handing the bytes to another thread and waking it. What the socket
// cannot take yet is sent by a socket thread once it has room.
bool WriteQueued(WebServerConnection* c) {
    int32_t used = 0;
    DuplexStream_WriteGetBufferUsed(c->Stream, &used);
    if (used <= 0) return false;
    AsyncSocket_WriteNow(c->Socket);
    return true;
}

void ReadWhileRoom(WebServerConnection* c) {
    int32_t left = 0;
    DuplexStream_ReadGetBufferLeft(c->Stream, &left);
    if (left > 0) AsyncSocket_StartReading(c->Socket);
}

// One pass of a connection, under the server's lock.
void WebServer_ConnectionProcessInt(WebServerConnection* c) {
    WebServer* s = c->Server;
    if (c->Closed) {
        WebServer_ConnectionRemove(c);
        return;
    }
    if (c->Busy) return;
    if (c->CloseWanted.load() && c->Phase != WEBSERVER_PHASE_DONE) {
        WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_CLOSE);
        WebServer_ConnectionClose(c, 1);
        return;
    }
    c->Busy = 1;
    bool known = true;
    int64_t ok = 1;
    bool sentForFinish = false;
    // Reading goes on while the read buffer has room: looked at once before the steps and once
    // after them (only they take bytes out), not before every step.
    if (c->Phase < WEBSERVER_PHASE_CLOSE && c->Socket) ReadWhileRoom(c);
    for (;;) {
        if (c->Phase < WEBSERVER_PHASE_CLOSE && c->Socket) WriteQueued(c);
        const uint32_t before = c->Phase;
        ok = RunStep(c, &known);
        if (!ok) break;
        if (c->Phase != before) continue;
        // A finish that waits for its bytes to leave runs once more after they were sent here.
        if (c->Phase != WEBSERVER_PHASE_RESPONSE_FINISH || sentForFinish || !c->Socket || !WriteQueued(c))
            break;
        sentForFinish = true;
    }
    if (ok && c->Phase < WEBSERVER_PHASE_CLOSE && c->Socket) {
        WriteQueued(c);
        ReadWhileRoom(c);
    }
    // The owner took body bytes or queued answer bytes: it is asked again on a pass of its own.
    if (c->SignalDue) {
        c->SignalDue = 0;
        if (ok && (c->Phase == WEBSERVER_PHASE_REQUEST_BODY || c->Phase == WEBSERVER_PHASE_RESPONSE_BODY))
            WebServer_ConnectionSignal(c);
    }
    if (!ok) {
        if (!known) WebServer_ConnectionPrint(c, "Unknown state (%d)", (int32_t)c->Phase);
        WebServer_ConnectionClose(c, 1);
        WebServer_ConnectionRemove(c);
        return;
    }
    if (c->SocketClosed.load()) {
        c->SocketClosed.store(0);
        WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_CLOSE);
        WebServer_ConnectionClose(c, 0);
    } else if (s->Timeout > 0 && c->Phase < WEBSERVER_PHASE_CLOSE && s->Now - c->LastTouch > s->Timeout) {
        WebServer_ConnectionPrint(c, "Timeout [%.1f]", s->Now - c->LastTouch);
        WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_CLOSE);
        // An idle peer may never read again: waiting for its write buffer to drain would keep
        // the connection for good.
        WebServer_ConnectionClose(c, 1);
    } else if (c->Phase == WEBSERVER_PHASE_REQUEST_HEADER && c->HeaderStart > 0 &&
               s->Now - c->HeaderStart > s->HeaderTimeout) {
        // Bytes that trickle in keep no connection: the whole header has its time, idle or not.
        WebServer_ConnectionPrint(c, "Request header timeout [%.1f]", s->Now - c->HeaderStart);
        WebServer_ConnectionSetPhase(c, WEBSERVER_PHASE_CLOSE);
        WebServer_ConnectionClose(c, 1);
    }
    c->Busy = 0;
}

// A listener held at the bound goes on as soon as a connection was freed; under the lock.
void AcceptAfterFree(WebServer* s) {
    if (!s->Freed) return;
    s->Freed = 0;
    if (IsListening(s) && s->Live.load() < s->MaxConnections) AsyncSocket_StartAccepting(s->ListenSocket);
}

// Enters a pass under the server's lock; false (and the pass is owed) when one is already under
// way below this one on the same thread.
bool EnterPass(WebServer* s) {
    if (s->PassDepth > 0) {
        s->PassDeferred = 1;
        return false;
    }
    s->PassDepth++;
    return true;
}

// Leaves a pass; a pass put off meanwhile is asked for again.
void LeavePass(WebServer* s) {
    s->PassDepth--;
    if (s->PassDeferred) {
        // The pass put off may have been any connection's.
        s->PassDeferred = 0;
        WakeServer(s);
    }
}

void WebServer_ConnectionProcessQueued(WebServerConnection* c) {
    WebServer* s = c->Server;
    CriticalSectionGuard guard(s->Lock);
    if (!EnterPass(s)) return;
    s->Now = Time_GetCurrent();
    // The connection may have been accepted after the last pass: it is linked before its steps,
    // which may end and unlink it.
    AdoptIncoming(s);
    WebServer_ConnectionProcessInt(c);
    AcceptAfterFree(s);
    LeavePass(s);
}

void ConnectionProcessEvent(void* instance) {
    WebServer_ConnectionProcessQueued(static_cast<WebServerConnection*>(instance));
}

// ---- Listener --------------------------------------------------------------------------------

void WebServer_Connection_OnSocketAccept(AsyncSocket* listener, void* user, AsyncSocket* accepted) {
    WebServer* s = static_cast<WebServer*>(user);
    // At the bound the listener stops: the next clients wait in its queue until a connection is
    // freed (the pass that frees one starts it again). One that came in the meantime is refused:
    // without a reference the socket is closed as this handler returns.
    const uint32_t live = s->Live.fetch_add(1) + 1;
    if (live >= s->MaxConnections) AsyncSocket_StopAccepting(listener);
    if (live > s->MaxConnections) {
        s->Live.fetch_sub(1);
        return;
    }
    AsyncSocket_AddRef(accepted);
    // Built outside the lock, which a pass holds for all its connections: an accept waits only
    // for the link.
    WebServerConnection* c = ConnectionNew(s);
    c->Socket = accepted;
    // An accepted socket's address is its peer's, taken from the accept itself.
    AsyncSocket_GetIP(accepted, &c->RemoteAddress, &c->RemotePort);
    c->Phase = WEBSERVER_PHASE_OPEN;
    c->Pending.store(1);
    AsyncSocket_SetNagel(accepted, 0);
    AsyncSocket_SetLinger(accepted, 1, 5);
    // The socket's handlers only touch the stream under its own locks and wake the server: they
    // may run on the reactor's polling thread.
    AsyncSocket_SetReadInline(accepted, 1);
    // Handlers before the hand-over: no pass may start reading a socket that has none. The
    // connection is handed over without the server's lock (a pass holds it throughout), and the
    // next pass links it and gives it its times.
    SetSocketHandlers(c, true);
    AsyncSocket_StartReading(accepted);
    WebServerConnection* head = s->Incoming.load(std::memory_order_relaxed);
    do {
        c->Next = head;
    } while (!s->Incoming.compare_exchange_weak(head, c, std::memory_order_release, std::memory_order_relaxed));
    WakeThread(s);
}

void CloseListener(WebServer* s) {
    if (s->ListenSocket) {
        AsyncSocket_SetAcceptCallback(s->ListenSocket, nullptr, nullptr);
        AsyncSocket_Close(s->ListenSocket);
    }
    s->ActiveListenAddress = 0;
    s->ActiveListenPort = 0;
}

uint32_t ListPort(WebServer* s, int32_t index) {
    int32_t value = 0;
    DictionaryItem* item = nullptr;
    if (Dictionary_ItemFindByIndex(s->PortList, index, nullptr, &item)) Dictionary_ItemGetInt32(s->PortList, item, &value);
    return (uint32_t)value;
}

// Returns 1 after an attempt that made the server listen.
int64_t TryListen(WebServer* s) {
    uint32_t count = 0;
    Dictionary_ItemGetCount(s->PortList, &count);
    uint32_t tryPort = 0;
    bool settled = false;
    const bool listening = IsListening(s) && s->ActiveListenAddress == s->ListenAddress;
    if (count > 0) {
        if (s->PortIndex < 0 || (uint32_t)s->PortIndex >= count) s->PortIndex = 0;
        for (uint32_t i = 0; i < count; i++) {
            const uint32_t port = ListPort(s, (int32_t)i);
            if ((int32_t)i == s->PortIndex) tryPort = port;
            if (port == s->ActiveListenPort || port == 0) {
                settled = listening;
                break;
            }
        }
    } else {
        settled = listening;
    }
    if (settled) return 0;
    if (s->LastAttemptTime != 0 && s->Now - s->LastAttemptTime <= s->ListenAttemptWait) return 0;

    CloseListener(s);
    int64_t ok = 0;
    const uint32_t address = (s->ListenAddress & 0xff) == 0 ? 0 : s->ListenAddress;
    // A restart takes its port again at once, though the connections it closed still hold it.
    if (AsyncSocket_Open(s->ListenSocket, 1) && AsyncSocket_SetReuseAddress(s->ListenSocket, 1) &&
        AsyncSocket_Bind(s->ListenSocket, &address, (int32_t)tryPort < 0 ? 0 : tryPort)) {
        if (AsyncSocket_Listen(s->ListenSocket, kListenBacklog)) {
            uint32_t activeAddress = 0, activePort = 0;
            AsyncSocket_GetLocalIP(s->ListenSocket, &activeAddress, &activePort);
            s->ActiveListenAddress.store(activeAddress);
            s->ActiveListenPort.store(activePort);
            WebServer_Print(s, "Listening for incoming connections (%ipv4:%d)", &activeAddress, (int32_t)activePort);
            AsyncSocket_SetAcceptCallback(s->ListenSocket, s, WebServer_Connection_OnSocketAccept);
            // The accept handler waits for no lock of the server: it runs on the reactor's
            // polling thread, which wakes no worker per connection.
            AsyncSocket_SetReadInline(s->ListenSocket, 1);
            ok = 1;
        } else {
            WebServer_Print(s, "Unable to listen (%ipv4:%d) [%d]", &address, (int32_t)tryPort,
                            (int32_t)AsyncSocket_GetLastError(s->ListenSocket));
            AsyncSocket_Close(s->ListenSocket);
        }
    } else {
        WebServer_Print(s, "Unable to bind for listen (%ipv4:%d) [%d]", &address, (int32_t)tryPort,
                        (int32_t)AsyncSocket_GetLastError(s->ListenSocket));
        AsyncSocket_Close(s->ListenSocket);
    }
    s->PortIndex++;
    s->ListenAttempts++;
    s->LastAttemptTime = s->Now;
    return ok;
}

void WebServer_ProcessInternal(WebServer* s) {
    if (!s->Running.load()) return;
    {
        CriticalSectionGuard guard(s->Lock);
        if (s->PassDepth > 0) {
            s->PassDeferred = 1;
            return;
        }
        s->Now = Time_GetCurrent();
    }
    const int64_t listened = TryListen(s);
    if (IsListening(s) && s->Live.load() < s->MaxConnections) AsyncSocket_StartAccepting(s->ListenSocket);
    if (listened) {
        void* user = nullptr;
        const uint32_t activeAddress = s->ActiveListenAddress.load();
        if (auto fn = CallbackFunction<WebServerListenChangedFunc>(&s->ListenChangedCallback, &user))
            fn(s, user, &activeAddress, s->ActiveListenPort.load());
    }
    CriticalSectionGuard guard(s->Lock);
    if (!EnterPass(s)) return;
    AdoptIncoming(s);
    // An inline server's owner drives its passes and expects each to look at everything.
    const bool full = !s->ServerThread || s->FullPassDue.exchange(0) != 0 ||
                      s->Now - s->LastFullPass >= kFullPassSeconds || s->Now < s->LastFullPass;
    if (full) s->LastFullPass = s->Now;
    for (WebServerConnection* c = s->Head; c;) {
        WebServerConnection* next = c->Next;
        // Cleared before the pass, so that a wish made during it brings another.
        if (full ? (c->Pending.store(0), true) : (c->Pending.load(std::memory_order_relaxed) && c->Pending.exchange(0)))
            WebServer_ConnectionProcessInt(c);
        c = next;
    }
    AcceptAfterFree(s);
    LeavePass(s);
}

void WebServer_StartInternal(WebServer* s) {
    s->ThreadId = Thread_GetCurrentId();
    s->StartTime = Time_GetCurrent();
    s->StopTime = 0;
    s->LastAttemptTime = 0;
    s->Running.store(1);
    WebServer_Print(s, "Running [%d]", (int32_t)s->ThreadId.load());
}

void WebServer_StopInternal(WebServer* s) {
    CloseListener(s);
    {
        CriticalSectionGuard guard(s->Lock);
        // No accept runs any more (the listener's handler is gone): the last ones are closed too.
        AdoptIncoming(s);
        while (s->Head) {
            WebServerConnection* c = s->Head;
            WebServer_ConnectionClose(c, 1);
            WebServer_ConnectionRemove(c);
        }
    }
    EventQueue_RemoveInstanceByThreadId(s->ThreadId, s);
    s->StopTime = Time_GetCurrent();
    s->Running.store(0);
    char uptime[128];
    Time_DurationString(TIME_DURATION_SHORT_LABELS, uptime, (int32_t)sizeof(uptime), s->StopTime - s->StartTime);
    WebServer_Print(s, "Uptime - %s", uptime);
}

uint32_t WebServer_ProcessThread(void* parameter) {
    WebServer* s = static_cast<WebServer*>(parameter);
    WebServer_StartInternal(s);
    while (!Thread_WaitForExit(0)) {
        const uint32_t seen = s->Wakes.load();
        Thread_Tick();
        WebServer_ProcessInternal(s);
        s->Sleeping.store(1);
        if (s->Wakes.load() == seen) Thread_Wait(kThreadWaitMs);
        s->Sleeping.store(0);
    }
    WebServer_StopInternal(s);
    return 0;
}

} // namespace

WebServerConnection* WebServer_CheckedConnection(WebServerConnection* connection) {
    CLASS_CHECK(connection, WEBSERVER_CONNECTION_CLASS_ID);
    return connection;
}

// ---- Life cycle ------------------------------------------------------------------------------

int64_t WebServer_Create(WebServer** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    void* block = Memory_AllocZero(sizeof(WebServer));
    WebServer* s = new (block) WebServer();
    s->Header.ClassId = WEBSERVER_CLASS_ID;
    s->Header.RefCount = 1;
    s->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(s);
    CriticalSection_Create(&s->Lock);
    Dictionary_Create(&s->PortList);
    Dictionary_AddInt32(s->PortList, nullptr, 80, nullptr);
    AsyncSocket_Create(&s->ListenSocket);
    String_CopyLength(s->DefaultDocument, "default.htm", (int32_t)sizeof(s->DefaultDocument));
    s->ListenAttemptWait = 30;
    s->Timeout = 60;
    s->MaxRequestBody = kDefaultMaxRequestBody;
    s->HeaderTimeout = kDefaultHeaderTimeout;
    s->MaxConnections = kDefaultMaxConnections;
    *handle = s;
    return 1;
}

int64_t WebServer_Delete(WebServer** handle) {
    ASSERT_POINTER(handle);
    WebServer* s = Checked(*handle);
    *handle = nullptr;
    WebServer_Stop(s);
    EventQueue_RemoveInstanceByThreadId(s->ThreadId, s);
    CallbackBase* slots[] = {&s->OpenCallback,         &s->RequestHeaderCallback, &s->RequestBodyCallback,
                             &s->ResponseHeaderCallback, &s->ResponseBodyCallback, &s->CloseCallback,
                             &s->ListenChangedCallback};
    for (CallbackBase* slot : slots) CallbackBase_ResetReal(slot);
    Dictionary_Release(&s->PortList);
    AsyncSocket_Release(&s->ListenSocket);
    CriticalSection_Delete(&s->Lock);
    s->~WebServer();
    Memory_Free(s, sizeof(WebServer));
    return 1;
}

CLASS_BASICS(WebServer, WebServer, WEBSERVER_CLASS_ID)
CLASS_PRINT_FAMILY(WebServer, WebServer, WEBSERVER_CLASS_ID, PreparePrint)

int64_t WebServer_PrintCallback(void* server, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = WebServer_VPrint(static_cast<WebServer*>(server), 0, format, args);
    va_end(args);
    return result;
}

int64_t WebServer_ValidHandle(WebServer* server) {
    return server && reinterpret_cast<Class*>(server)->ClassId == WEBSERVER_CLASS_ID;
}

int64_t WebServer_Start(WebServer* server) {
    WebServer* s = Checked(server);
    if (s->Running.load()) return 1;
    if (s->UseThread) {
        if (s->ServerThread) return 0;
        if (!Thread_Begin(&s->ServerThread, s, WebServer_ProcessThread)) return 0;
        s->ThreadId = Thread_GetId(s->ServerThread);
        return 1;
    }
    WebServer_StartInternal(s);
    return 1;
}

int64_t WebServer_Stop(WebServer* server) {
    WebServer* s = Checked(server);
    if (s->ServerThread) {
        Thread_SignalExit(Thread_GetId(s->ServerThread));
        Thread_Join(-1, &s->ServerThread);
        return 1;
    }
    if (!s->Running.load()) return 1;
    WebServer_StopInternal(s);
    return 1;
}

int64_t WebServer_Process(WebServer* server) {
    WebServer* s = Checked(server);
    if (!s->UseThread) WebServer_ProcessInternal(s);
    return 1;
}

// ---- Listening -------------------------------------------------------------------------------

int64_t WebServer_SetListenPort(WebServer* server, uint32_t port) {
    WebServer* s = Checked(server);
    Dictionary_Reset(s->PortList);
    Dictionary_AddInt32(s->PortList, nullptr, (int32_t)port, nullptr);
    return 1;
}

int64_t WebServer_AddListenPort(WebServer* server, uint32_t port) {
    WebServer* s = Checked(server);
    Dictionary_AddInt32(s->PortList, nullptr, (int32_t)port, nullptr);
    return 1;
}

int64_t WebServer_ResetListenPort(WebServer* server) {
    return Dictionary_Reset(Checked(server)->PortList);
}

int64_t WebServer_SetListenIP(WebServer* server, const uint32_t* address) {
    ASSERT_POINTER(address);
    Checked(server)->ListenAddress = *address;
    return 1;
}

int64_t WebServer_GetListenIP(WebServer* server, uint32_t* address) {
    ASSERT_POINTER(address);
    *address = Checked(server)->ActiveListenAddress;
    return 1;
}

int64_t WebServer_GetListenPort(WebServer* server, uint32_t* port) {
    ASSERT_POINTER(port);
    *port = Checked(server)->ActiveListenPort;
    return 1;
}

int64_t WebServer_SetListenAttemptWait(WebServer* server, uint32_t seconds) {
    Checked(server)->ListenAttemptWait = seconds;
    return 1;
}

int64_t WebServer_GetActiveListenIP(WebServer* server, uint32_t* address) {
    ASSERT_POINTER(address);
    *address = 0;
    WebServer* s = Checked(server);
    if (!s->Running.load() || !s->ListenSocket || !s->ActiveListenPort) return 0;
    *address = s->ActiveListenAddress;
    return 1;
}

int64_t WebServer_GetActiveListenPort(WebServer* server, uint32_t* port) {
    ASSERT_POINTER(port);
    *port = 0;
    WebServer* s = Checked(server);
    if (!s->Running.load() || !s->ListenSocket || !s->ActiveListenPort) return 0;
    *port = s->ActiveListenPort;
    return 1;
}

int64_t WebServer_IsRunning(WebServer* server) {
    return Checked(server)->ActiveListenAddress != 0;
}

int64_t WebServer_GetActive(WebServer* server) {
    return Checked(server)->Running.load();
}

int64_t WebServer_IsOn(WebServer* server, uint32_t threadId) {
    WebServer* s = Checked(server);
    return s->Running.load() && s->ThreadId == threadId;
}

// ---- Settings --------------------------------------------------------------------------------

int64_t WebServer_SetUseThread(WebServer* server, uint32_t flag) {
    Checked(server)->UseThread = flag ? 1 : 0;
    return 1;
}

int64_t WebServer_SetPersistentConnections(WebServer* server, uint32_t flag) {
    Checked(server)->PersistentConnections = flag ? 1 : 0;
    return 1;
}

int64_t WebServer_GetPersistentConnections(WebServer* server, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = Checked(server)->PersistentConnections;
    return 1;
}

int64_t WebServer_SetTimeout(WebServer* server, int32_t seconds) {
    Checked(server)->Timeout = seconds;
    return 1;
}

int64_t WebServer_SetMaxRequestBody(WebServer* server, int64_t bytes) {
    Checked(server)->MaxRequestBody = bytes > 0 ? bytes : kDefaultMaxRequestBody;
    return 1;
}

int64_t WebServer_SetHeaderTimeout(WebServer* server, double seconds) {
    Checked(server)->HeaderTimeout = seconds > 0 ? seconds : kDefaultHeaderTimeout;
    return 1;
}

int64_t WebServer_SetMaxConnections(WebServer* server, uint32_t count) {
    Checked(server)->MaxConnections = count > 0 ? count : kDefaultMaxConnections;
    return 1;
}

int64_t WebServer_GetTimeout(WebServer* server, int32_t* seconds) {
    ASSERT_POINTER(seconds);
    *seconds = Checked(server)->Timeout;
    return 1;
}

int64_t WebServer_SetDefaultDocument(WebServer* server, const char* name) {
    ASSERT_POINTER(name);
    WebServer* s = Checked(server);
    String_CopyLength(s->DefaultDocument, name, (int32_t)sizeof(s->DefaultDocument));
    return 1;
}

int64_t WebServer_GetDefaultDocument(WebServer* server, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, Checked(server)->DefaultDocument, size);
    return 1;
}

int64_t WebServer_SetHostName(WebServer* server, const char* name) {
    ASSERT_POINTER(name);
    WebServer* s = Checked(server);
    String_CopyLength(s->HostName, name, (int32_t)sizeof(s->HostName));
    return 1;
}

int64_t WebServer_GetHostName(WebServer* server, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, Checked(server)->HostName, size);
    return 1;
}

// ---- Callbacks -------------------------------------------------------------------------------

#define WEBSERVER_CALLBACK(Name, Slot, Type)                                                   \
    int64_t WebServer_Set##Name##Callback(WebServer* server, void* user, Type fn) {            \
        WebServer* s = Checked(server);                                                        \
        return CallbackBase_SetReal(&s->Slot, 0, fn ? user : nullptr, reinterpret_cast<void*>(fn)); \
    }

WEBSERVER_CALLBACK(ConnectionOpen, OpenCallback, WebServerConnectionFunc)
WEBSERVER_CALLBACK(ConnectionRequestHeader, RequestHeaderCallback, WebServerConnectionFunc)
WEBSERVER_CALLBACK(ConnectionRequestBody, RequestBodyCallback, WebServerConnectionSizeFunc)
WEBSERVER_CALLBACK(ConnectionResponseHeader, ResponseHeaderCallback, WebServerConnectionFunc)
WEBSERVER_CALLBACK(ConnectionResponseBody, ResponseBodyCallback, WebServerConnectionSizeFunc)
WEBSERVER_CALLBACK(ConnectionClose, CloseCallback, WebServerConnectionFunc)
WEBSERVER_CALLBACK(ListenChanged, ListenChangedCallback, WebServerListenChangedFunc)

// ---- Reporting -------------------------------------------------------------------------------

int64_t WebServer_PrintInternal(void* user, const char* format, ...) {
    char text[16384];
    va_list args;
    va_start(args, format);
    String_VPrint(text, (int32_t)sizeof(text), format, args);
    va_end(args);
    return ClassPrint_DefaultCallback(user, "%s", text);
}

int64_t WebServer_ConnectionPrintInternal(void* user, const char* format, ...) {
    WebServerConnection* c = static_cast<WebServerConnection*>(user);
    char text[16384];
    va_list args;
    va_start(args, format);
    String_VPrint(text, (int32_t)sizeof(text), format, args);
    va_end(args);
    return WebServer_Print(c->Server, "%s", text);
}

int64_t WebServer_ConnectionVPrint(WebServerConnection* connection, int32_t indent, const char* format,
                                   va_list args) {
    WebServerConnection* c = WebServer_CheckedConnection(connection);
    PrepareConnectionPrint(c);
    return ClassPrint_VPrint(&c->Print, indent, format, args);
}

int64_t WebServer_ConnectionPrint(WebServerConnection* connection, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = WebServer_ConnectionVPrint(connection, 0, format, args);
    va_end(args);
    return result;
}

int64_t WebServer_ConnectionIsVerboseLevel(WebServerConnection* connection, int32_t level) {
    WebServerConnection* c = WebServer_CheckedConnection(connection);
    PrepareConnectionPrint(c);
    return ClassPrint_IsVerboseLevel(&c->Print, level);
}

int64_t WebServer_ConnectionVerboseLog(WebServerConnection* connection, int32_t level, const char* format, ...) {
    if (!WebServer_ConnectionIsVerboseLevel(connection, level)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = WebServer_ConnectionVPrint(connection, 0, format, args);
    va_end(args);
    return result;
}

int64_t WebServer_ConnectionSetPrintIdentifier(WebServerConnection* connection, const char* text) {
    WebServer_CheckedConnection(connection)->Print.Identifier = text;
    return 1;
}

int64_t WebServer_ConnectionGetVerbose(WebServerConnection* connection, uint32_t* verbose) {
    ASSERT_POINTER(verbose);
    *verbose = (uint32_t)WebServer_CheckedConnection(connection)->Print.Verbose;
    return 1;
}

const char* WebServer_TranslateConnectionPhase(uint32_t phase) {
    return phase < sizeof(kPhaseNames) / sizeof(kPhaseNames[0]) ? kPhaseNames[phase] : "Unknown";
}

// ---- Connection phase machine helpers --------------------------------------------------------

int64_t WebServer_ConnectionSignal(WebServerConnection* connection) {
    WebServerConnection* c = connection;
    WebServer* s = c->Server;
    c->Pending.store(1);
    if (!s->Running.load()) return 1;
    if (s->ServerThread)
        WakeServerThread(s);
    else
        EventQueue_AddProcessByThreadId(s->ThreadId, c, ConnectionProcessEvent);
    return 1;
}

int64_t WebServer_ConnectionRequestClose(WebServer*, WebServerConnection* connection) {
    WebServerConnection* c = WebServer_CheckedConnection(connection);
    c->CloseWanted.store(1);
    return WebServer_ConnectionSignal(c);
}

int64_t WebServer_ConnectionSetPhase(WebServerConnection* c, uint32_t phase) {
    if (phase == c->Phase || c->Phase == WEBSERVER_PHASE_DONE) return 1;
    WebServer_ConnectionVerboseLog(c, 2, "Phase change - %s > %s", WebServer_TranslateConnectionPhase(c->Phase),
                                   WebServer_TranslateConnectionPhase(phase));
    c->Phase = phase;
    c->LastTouch = c->Server->Now;
    if (phase == WEBSERVER_PHASE_LINGER) {
        c->Server->LingerStart = c->Server->Now;
        c->LingerStart = c->Server->Now;
    }
    return 1;
}

int64_t WebServer_ConnectionReset(WebServerConnection* c) {
    ResetFields(c);
    c->LastTouch = c->Server->Now;
    return 1;
}

namespace {

void ResetFields(WebServerConnection* c) {
    c->Method[0] = 0;
    c->Version[0] = 0;
    c->URL[0] = 0;
    c->Referer[0] = 0;
    c->UserAgent[0] = 0;
    c->FileName[0] = 0;
    Dictionary_Reset(c->RequestHeader);
    Dictionary_Reset(c->ResponseHeader);
    c->ResponseCode = 0;
    c->RequestLength = -1;
    c->ResponseLength = -1;
    c->BodyRead = 0;
    c->BodyWritten = 0;
    c->Persistent = 0;
    c->ResponseBegun = 0;
    c->HeaderStart = 0;
    WebServer_ConnectionResetReading(c);
}

} // namespace

int64_t WebServer_ConnectionCreateDetached(WebServer* server, WebServerConnection** connection) {
    ASSERT_POINTER(connection);
    WebServer* s = Checked(server);
    *connection = ConnectionNew(s);
    (*connection)->ConnectTime = s->Now;
    (*connection)->LastTouch = s->Now;
    return 1;
}

int64_t WebServer_ConnectionFreeDetached(WebServerConnection** connection) {
    ASSERT_POINTER(connection);
    if (*connection) ConnectionFree(WebServer_CheckedConnection(*connection));
    *connection = nullptr;
    return 1;
}
