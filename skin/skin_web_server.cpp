// The skin web server: the core HTTP server on 127.0.0.1 with callbacks that admit clients,
// answer through the skin request handler and the script invoker, and keep the port blocks.
#include "skin/skin_web_server.h"

#include <arpa/inet.h>

#include <cstring>
#include <new>

#include "core/certs/authenticate.h"
#include "core/formats/url.h"
#include "core/linux/platform.h"
#include "core/platform/duplex_stream.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/callback.h"
#include "core/runtime/class_family.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "core/web/web_server.h"
#include "core/web/web_server_internal.h"
#include "skin/linux/skin_web_peer.h"
#include "skin/script_invoker.h"
#include "skin/skin_app.h"
#include "skin/skin_file.h"
#include "skin/skin_request_handler.h"

namespace {

constexpr int32_t kPeriodDefault = 60;
constexpr int32_t kBodyChunk = 15360;
constexpr int32_t kRequestReadChunk = 8192;
// A request body is held whole in memory (script calls, create requests): one larger than a
// script call's bound is not a call page script makes. The core server answers a longer
// announced body with 413 before reading it; this holds whatever reaches the body callback.
constexpr uint32_t kMaxRequestBody = SCRIPTINVOKER_MAX_BODY;
constexpr uint32_t kPathSize = 320;
// How long a request header may stay begun but unfinished. Clients are local (this process and
// its descendants) and a header is a few hundred bytes written at once, so a real one arrives in
// milliseconds; ten seconds still leave room for a page process that is paused or starved for a
// while, and a client that stalls mid-header no longer holds its connection for ever.
constexpr double kHeaderTimeout = 10.0;
// How often the unfinished headers are looked at, at most.
constexpr double kHeaderCheckPeriod = 0.1;

} // namespace

struct SkinWebServer {
    Class Header;
    ClassPrint Print;
    CallbackBase ListenChanged;
    WebServer* Server;
    Dictionary* ExternalPaths;
    ScriptInvoker* Invoker;
    char Address[SKINWEBSERVER_ADDRESS_SIZE];
    int8_t ChildAccess;
    uint8_t Permanent[SKINWEBSERVER_MAP_SIZE];
    uint8_t Slots[4][SKINWEBSERVER_MAP_SIZE];
    int32_t Current;
    double NextRotation;
    int32_t Period;
    // Per port, the process whose refusal at connection set the port's block (made on first
    // refusal). A later connection from that port by another process that passes the checks
    // starts clean: the block is held against the process, not against whoever next gets the
    // ephemeral port.
    SkinWebPeer* Refused;
    double HeaderTimeout;
    // When the unfinished headers are looked at next: not on every pass, which would take every
    // connection's read lock from under the socket threads once per request served.
    double NextHeaderCheck;
};

namespace {

struct Record {
    SkinWebServer* Owner;
    WebServer* Server;
    WebServerConnection* Connection;
    MemoryStream* RequestBody;
    MemoryStream* ResponseBody;
    char Path[kPathSize];
    SkinFile* File;
    int64_t Length;
    int64_t Offset;
    int64_t End;
    int64_t Position;
    uint8_t* DataStore;
    int64_t DataStoreLength;
    uint32_t SendResponseBody;
    // When a pass first saw bytes of a request header that was not yet whole; 0 when none.
    double HeaderSince;
};

SkinWebServer* Checked(SkinWebServer* server) {
    CLASS_CHECK(server, SKINWEBSERVER_CLASS_ID);
    return server;
}

void PreparePrint(SkinWebServer* server) {
    ClassPrint_Prepare(&server->Print, server, "SkinWebServer", ClassPrint_DefaultCallback);
}

int64_t DeleteHandle(void** handle) {
    return SkinWebServer_Delete(reinterpret_cast<SkinWebServer**>(handle));
}

int64_t CorePrint(void* user, const char* format, ...) {
    char text[16384];
    va_list args;
    va_start(args, format);
    String_VPrint(text, (int32_t)sizeof(text), format, args);
    va_end(args);
    return SkinWebServer_Print(static_cast<SkinWebServer*>(user), "%s", text);
}

// ---- Block maps --------------------------------------------------------------------------------

bool InRange(uint32_t port) {
    return port >= SKINWEBSERVER_FIRST_PORT && port <= 65535;
}

uint32_t ByteOf(uint32_t port) {
    return (port - SKINWEBSERVER_FIRST_PORT) / 8;
}

uint8_t MaskOf(uint32_t port) {
    return (uint8_t)(0x80u >> (port % 8));
}

bool Has(const uint8_t* map, uint32_t port) {
    return (map[ByteOf(port)] & MaskOf(port)) != 0;
}

void Set(uint8_t* map, uint32_t port) {
    map[ByteOf(port)] |= MaskOf(port);
}

void Clear(uint8_t* map, uint32_t port) {
    map[ByteOf(port)] &= (uint8_t)~MaskOf(port);
}

void Rotate(SkinWebServer* s, double now) {
    if (s->NextRotation > now) return;
    double behind = now - s->NextRotation;
    int32_t steps = 1;
    while (steps < 4 && behind >= s->Period) {
        behind -= s->Period;
        steps++;
    }
    s->NextRotation = now + s->Period;
    for (int32_t i = 0; i < steps; i++) {
        s->Current = (s->Current + 1) % 4;
        memset(s->Slots[s->Current], 0, sizeof(s->Slots[s->Current]));
    }
}

void ForgetRefused(SkinWebServer* s, uint32_t port) {
    if (s->Refused && InRange(port)) s->Refused[port - SKINWEBSERVER_FIRST_PORT] = SkinWebPeer{};
}

void RememberRefused(SkinWebServer* s, uint32_t port, const SkinWebPeer& peer) {
    if (!InRange(port)) return;
    if (!s->Refused) {
        if (peer.Pid == 0) return;
        const size_t bytes = sizeof(SkinWebPeer) * (65536 - SKINWEBSERVER_FIRST_PORT);
        s->Refused = static_cast<SkinWebPeer*>(Memory_AllocZero(bytes));
    }
    s->Refused[port - SKINWEBSERVER_FIRST_PORT] = peer;
}

void Unblock(SkinWebServer* s, uint32_t port) {
    Clear(s->Permanent, port);
    for (auto& slot : s->Slots) Clear(slot, port);
    ForgetRefused(s, port);
}

// ---- Records -----------------------------------------------------------------------------------

Record* RecordOf(WebServer* core, WebServerConnection* connection) {
    void* handle = nullptr;
    WebServer_ConnectionGetUserHandle(core, connection, &handle);
    return static_cast<Record*>(handle);
}

void FreeDataStore(Record* r) {
    if (r->DataStore) Memory_Free(r->DataStore, (uint32_t)r->DataStoreLength + 1);
    r->DataStore = nullptr;
    r->DataStoreLength = 0;
}

void CloseFile(Record* r) {
    if (r->File) SkinFile_Release(&r->File);
}

// ---- The sink the request handler answers through ----------------------------------------------

int64_t SinkGetRequestHeader(void* context, const char* name, char* buffer, int32_t capacity) {
    Record* r = static_cast<Record*>(context);
    return WebServer_ConnectionGetRequestHeader(r->Server, r->Connection, name, buffer, capacity);
}

int64_t SinkSetResponse(void* context, const char*, int32_t code, int64_t offset, int64_t length) {
    Record* r = static_cast<Record*>(context);
    WebServer_ConnectionSetResponse(r->Server, r->Connection, code, length);
    r->Length = length;
    r->Offset = offset;
    r->End = offset + length - 1;
    return code >= 200 && code <= 299 ? 1 : 0;
}

int64_t SinkSetResponseHeader(void* context, const char* name, const char* value) {
    Record* r = static_cast<Record*>(context);
    return WebServer_ConnectionSetResponseHeader(r->Server, r->Connection, name, "%s", value);
}

int64_t SinkPutDataStore(void* context, uint8_t* buffer) {
    Record* r = static_cast<Record*>(context);
    FreeDataStore(r);
    r->DataStore = buffer;
    r->DataStoreLength = r->Length;
    return 1;
}

const SkinHandler kConnectionHandler = {SinkGetRequestHeader, SinkSetResponse, SinkSetResponseHeader,
                                        SinkPutDataStore};

// ---- Answers of the "instances/" routes ---------------------------------------------------------

int64_t AnswerWithBody(Record* r, int32_t code) {
    const int32_t used = MemoryStream_GetUsed(r->ResponseBody);
    WebServer_ConnectionSetResponse(r->Server, r->Connection, code, used);
    r->Length = used;
    r->Offset = 0;
    r->End = used - 1;
    r->SendResponseBody = 1;
    return used > 0 ? 1 : 0;
}

int64_t AnswerEmpty(Record* r, int32_t code) {
    WebServer_ConnectionSetResponse(r->Server, r->Connection, code, 0);
    return 0;
}

// Ends the request body with a zero byte so that it reads as text.
const char* BodyText(Record* r) {
    uint32_t written = 0;
    MemoryStream_Seek(r->RequestBody, 0, SEEK_ORIGIN_END);
    MemoryStream_Write(r->RequestBody, "", 1, &written);
    uint8_t* text = nullptr;
    MemoryStream_GetPointer(r->RequestBody, &text);
    // The stream is not changed again before the text is used.
    const char* result = reinterpret_cast<const char*>(text);
    if (text) MemoryStream_ReleasePointer(r->RequestBody, &text);
    return written == 1 ? result : nullptr;
}

int64_t CreateInstance(SkinWebServer* s, Record* r) {
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(r->RequestBody, &stream);
    char typeName[SKINWEBSERVER_TYPE_NAME_SIZE];
    char window[SKINWEBSERVER_ID_SIZE];
    char instance[SKINWEBSERVER_ID_SIZE];
    if (!stream || !SkinWebServer_ParseCreateInstance(stream, typeName, window, instance)) return AnswerEmpty(r, 400);
    if (!ScriptInvoker_CreateInstance(s->Invoker, window, typeName, instance, (int32_t)sizeof(instance)) ||
        !instance[0])
        return AnswerEmpty(r, 400);
    uint32_t written = 0;
    MemoryStream_Write(r->ResponseBody, instance, (uint32_t)strlen(instance), &written);
    return AnswerWithBody(r, 201);
}

int64_t InstanceCall(SkinWebServer* s, Record* r, const char* rest) {
    const size_t length = strlen(rest);
    if (length == 0) return AnswerEmpty(r, 400);
    if (length >= SKINWEBSERVER_ID_SIZE || !ScriptInvoker_HasInstance(s->Invoker, rest)) return AnswerEmpty(r, 404);
    char id[SKINWEBSERVER_ID_SIZE];
    String_CopyLength(id, rest, (int32_t)sizeof(id));
    const char* method = nullptr;
    WebServer_ConnectionGetMethodPtr(r->Server, r->Connection, &method);
    if (!method) return 0;
    if (strcmp(method, "HEAD") == 0) return AnswerEmpty(r, 200);
    if (strcmp(method, "POST") == 0) {
        const char* request = BodyText(r);
        if (!request || !ScriptInvoker_Invoke(s->Invoker, id, request, r->ResponseBody)) {
            MemoryStream_DiscardAll(r->ResponseBody);
            return AnswerEmpty(r, 400);
        }
        return AnswerWithBody(r, 200);
    }
    if (strcmp(method, "DELETE") == 0) return AnswerEmpty(r, ScriptInvoker_ReleaseInstance(s->Invoker, id) ? 200 : 400);
    return 0; // other methods: the core server answers that no status was set
}

// A call of the "instances/" routes comes from a page of the skin's own origin (the Origin header
// is the content server's or the development server's exactly), and a POST carries JSON: a type
// that no page of another origin may send without a preflight, which this server never grants
// it. A blind cross-origin POST (text/plain, a form) is refused before its body is looked at.
bool InstanceCallAllowed(SkinWebServer* s, Record* r, const char* method) {
    char origin[SKINWEBSERVER_ORIGIN_SIZE];
    if (!WebServer_ConnectionGetRequestHeader(r->Server, r->Connection, "Origin", origin, (int32_t)sizeof(origin)) ||
        strlen(origin) >= sizeof(origin) - 1 || !SkinApp_IsSkinOrigin(origin)) {
        SkinWebServer_VerboseLog(s, 1, "Script call refused: origin \"%s\"\n", origin);
        return false;
    }
    if (strcmp(method, "POST") != 0) return true;
    char type[SKINWEBSERVER_ORIGIN_SIZE];
    WebServer_ConnectionGetRequestHeader(r->Server, r->Connection, "Content-Type", type, (int32_t)sizeof(type));
    const size_t end = strcspn(type, "; \t");
    if (end == strlen("application/json") && String_CompareBeginningWithoutCase(type, "application/json")) return true;
    SkinWebServer_VerboseLog(s, 1, "Script call refused: content type \"%s\"\n", type);
    return false;
}

bool MatchesExternalPath(SkinWebServer* s, const char* name) {
    uint32_t count = 0;
    Dictionary_ItemGetCount(s->ExternalPaths, &count);
    for (uint32_t i = 0; i < count; i++) {
        DictionaryItem* item = nullptr;
        uint32_t type = 0;
        const char* text = nullptr;
        if (!Dictionary_ItemFindByIndex(s->ExternalPaths, (int32_t)i, nullptr, &item) || !item) continue;
        Dictionary_ItemGetType(s->ExternalPaths, item, &type);
        if (type != DICTIONARY_TYPE_STRING || !Dictionary_ItemGetStringPtr(s->ExternalPaths, item, &text) || !text)
            continue;
        char pattern[kPathSize];
        SkinApp_ExpandString(text, pattern, (int32_t)sizeof(pattern));
        if (String_CompareWildcard(name, pattern)) return true;
        const size_t n = strlen(pattern);
        if (n >= 2 && strcmp(pattern + n - 2, "/*") == 0) {
            pattern[n - 2] = 0;
            if (String_CompareWildcard(name, pattern)) return true;
        }
    }
    return false;
}

// Closes the connections whose request header has stayed unfinished past the time-out. The time
// runs from the first pass that saw the header's bytes, so a main loop that was held up never
// counts against a client.
void ExpireHeaders(SkinWebServer* s) {
    WebServer* core = s->Server;
    const double now = Time_GetCurrent();
    if (now < s->NextHeaderCheck) return;
    s->NextHeaderCheck = now + (s->HeaderTimeout / 10 < kHeaderCheckPeriod ? s->HeaderTimeout / 10 : kHeaderCheckPeriod);
    CriticalSectionGuard guard(core->Lock);
    for (WebServerConnection* c = core->Head; c; c = c->Next) {
        Record* r = static_cast<Record*>(c->UserHandle);
        if (!r) continue;
        int32_t used = 0;
        if (c->Phase == WEBSERVER_PHASE_REQUEST_HEADER && c->Stream) DuplexStream_ReadGetBufferUsed(c->Stream, &used);
        if (used <= 0) {
            r->HeaderSince = 0;
        } else if (r->HeaderSince <= 0) {
            r->HeaderSince = now;
        } else if (now - r->HeaderSince >= s->HeaderTimeout && !c->CloseWanted.load()) {
            SkinWebServer_VerboseLog(s, 1, "Request header unfinished after %.1f s (%ipv4:%d)\n", now - r->HeaderSince,
                                     &c->RemoteAddress, (int32_t)c->RemotePort);
            WebServer_ConnectionRequestClose(core, c);
        }
    }
}

bool EndsWithoutCase(const char* text, const char* suffix) {
    const size_t a = strlen(text), b = strlen(suffix);
    return a >= b && String_CompareWithoutCase(text + a - b, suffix);
}

// Misses a browser makes by itself (the page's icon, source maps of its scripts) are no sign of
// a client probing for files.
bool HarmlessMiss(const char* url) {
    char path[kPathSize];
    URL_ParsePath(url, path, (int32_t)sizeof(path));
    return String_CompareWithoutCase(path, "/favicon.ico") || EndsWithoutCase(path, ".map");
}

} // namespace

// ---- Life --------------------------------------------------------------------------------------

int64_t SkinWebServer_Create(SkinWebServer** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    void* block = Memory_AllocZero(sizeof(SkinWebServer));
    SkinWebServer* s = new (block) SkinWebServer();
    s->Header.ClassId = SKINWEBSERVER_CLASS_ID;
    s->Header.RefCount = 1;
    s->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(s);
    s->Period = kPeriodDefault;
    s->HeaderTimeout = kHeaderTimeout;
    s->NextRotation = Time_GetCurrent() + kPeriodDefault;
    WebServer_Create(&s->Server);
    WebServer_SetUseThread(s->Server, 0);
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    WebServer_SetListenIP(s->Server, &loopback);
    WebServer_SetListenPort(s->Server, 0);
    WebServer_SetListenAttemptWait(s->Server, 2);
    WebServer_SetTimeout(s->Server, 0);
    WebServer_SetPersistentConnections(s->Server, 1);
    WebServer_SetMaxRequestBody(s->Server, kMaxRequestBody);
    WebServer_SetPrintCallback(s->Server, s, CorePrint);
    WebServer_SetListenChangedCallback(
        s->Server, s, [](WebServer*, void* user, const uint32_t*, uint32_t port) -> int64_t {
            SkinWebServer* server = static_cast<SkinWebServer*>(user);
            server->Address[0] = 0;
            void* fnUser = nullptr;
            void* fn = nullptr;
            if (CallbackBase_GetReal(&server->ListenChanged, &fnUser, &fn) && fn)
                reinterpret_cast<SkinWebServerListenChangedFunc>(fn)(fnUser, (int32_t)port);
            return 1;
        });
    WebServer_SetConnectionOpenCallback(s->Server, s, SkinWebServer_OnConnectionOpen);
    WebServer_SetConnectionRequestHeaderCallback(s->Server, s, SkinWebServer_OnRequestHeader);
    WebServer_SetConnectionRequestBodyCallback(s->Server, s, SkinWebServer_OnRequestBody);
    WebServer_SetConnectionResponseHeaderCallback(s->Server, s, SkinWebServer_OnResponseHeader);
    WebServer_SetConnectionResponseBodyCallback(s->Server, s, SkinWebServer_OnResponseBody);
    WebServer_SetConnectionCloseCallback(s->Server, s, SkinWebServer_OnConnectionClose);
    *handle = s;
    return 1;
}

int64_t SkinWebServer_Delete(SkinWebServer** handle) {
    ASSERT_POINTER(handle);
    SkinWebServer* s = Checked(*handle);
    *handle = nullptr;
    // Stopping closes every connection through the close callback, which frees its record.
    WebServer_Stop(s->Server);
    WebServer_SetConnectionOpenCallback(s->Server, nullptr, nullptr);
    WebServer_SetConnectionRequestHeaderCallback(s->Server, nullptr, nullptr);
    WebServer_SetConnectionRequestBodyCallback(s->Server, nullptr, nullptr);
    WebServer_SetConnectionResponseHeaderCallback(s->Server, nullptr, nullptr);
    WebServer_SetConnectionResponseBodyCallback(s->Server, nullptr, nullptr);
    WebServer_SetConnectionCloseCallback(s->Server, nullptr, nullptr);
    WebServer_SetListenChangedCallback(s->Server, nullptr, nullptr);
    WebServer_Delete(&s->Server);
    if (s->Invoker) ScriptInvoker_Release(&s->Invoker);
    if (s->ExternalPaths) Dictionary_Release(&s->ExternalPaths);
    if (s->Refused) Memory_Free(s->Refused, sizeof(SkinWebPeer) * (65536 - SKINWEBSERVER_FIRST_PORT));
    CallbackBase_ResetReal(&s->ListenChanged);
    s->~SkinWebServer();
    Memory_Free(s, sizeof(SkinWebServer));
    return 1;
}

CLASS_BASICS(SkinWebServer, SkinWebServer, SKINWEBSERVER_CLASS_ID)
CLASS_PRINT_FAMILY(SkinWebServer, SkinWebServer, SKINWEBSERVER_CLASS_ID, PreparePrint)

int64_t SkinWebServer_Start(SkinWebServer* server) {
    return WebServer_Start(Checked(server)->Server);
}

int64_t SkinWebServer_Stop(SkinWebServer* server) {
    SkinWebServer* s = Checked(server);
    s->Address[0] = 0;
    return WebServer_Stop(s->Server);
}

int64_t SkinWebServer_Process(SkinWebServer* server) {
    SkinWebServer* s = Checked(server);
    const int64_t result = WebServer_Process(s->Server);
    ExpireHeaders(s);
    return result;
}

int64_t SkinWebServer_SetHeaderTimeout(SkinWebServer* server, double seconds) {
    Checked(server)->HeaderTimeout = seconds > 0 ? seconds : kHeaderTimeout;
    return 1;
}

int64_t SkinWebServer_IsRunning(SkinWebServer* server) {
    return WebServer_IsRunning(Checked(server)->Server);
}

int64_t SkinWebServer_IsOn(SkinWebServer* server, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = WebServer_GetActive(Checked(server)->Server) ? 1 : 0;
    return 1;
}

int64_t SkinWebServer_SetUseThread(SkinWebServer* server, uint32_t flag) {
    return WebServer_SetUseThread(Checked(server)->Server, flag);
}

int64_t SkinWebServer_GetWebServerHandle(SkinWebServer* server, WebServer** core) {
    ASSERT_POINTER(core);
    *core = Checked(server)->Server;
    return 1;
}

int64_t SkinWebServer_SetListenPort(SkinWebServer* server, uint32_t port) {
    return WebServer_SetListenPort(Checked(server)->Server, port);
}

int64_t SkinWebServer_AddListenPort(SkinWebServer* server, uint32_t port) {
    return WebServer_AddListenPort(Checked(server)->Server, port);
}

int64_t SkinWebServer_ResetListenPort(SkinWebServer* server) {
    return WebServer_ResetListenPort(Checked(server)->Server);
}

uint32_t SkinWebServer_GetListenPort(SkinWebServer* server) {
    uint32_t port = 0;
    WebServer_GetActiveListenPort(Checked(server)->Server, &port);
    return port;
}

const char* SkinWebServer_GetAddressPath(SkinWebServer* server) {
    SkinWebServer* s = Checked(server);
    if (!s->Address[0]) {
        uint32_t address = 0, port = 0;
        if (WebServer_GetActiveListenIP(s->Server, &address) && WebServer_GetActiveListenPort(s->Server, &port))
            String_Print(s->Address, (int32_t)sizeof(s->Address), "http://%ipv4:%d/", &address, (int32_t)port);
    }
    return s->Address;
}

int64_t SkinWebServer_SetListenChangedCallback(SkinWebServer* server, void* user, SkinWebServerListenChangedFunc fn) {
    SkinWebServer* s = Checked(server);
    return CallbackBase_SetReal(&s->ListenChanged, 0, fn ? user : nullptr, reinterpret_cast<void*>(fn));
}

int64_t SkinWebServer_SetEnableChildAccess(SkinWebServer* server, int32_t steps) {
    Checked(server)->ChildAccess = (int8_t)(uint8_t)(steps & 0xff);
    return 1;
}

int64_t SkinWebServer_SetExternalPaths(SkinWebServer* server, Dictionary* paths) {
    SkinWebServer* s = Checked(server);
    if (s->ExternalPaths) Dictionary_Release(&s->ExternalPaths);
    if (paths) {
        Dictionary_AddRef(paths);
        s->ExternalPaths = paths;
    }
    return 1;
}

// ---- Port blocks -------------------------------------------------------------------------------

int64_t SkinWebServer_BlockSetQuarterTime(SkinWebServer* server, int32_t seconds) {
    SkinWebServer* s = Checked(server);
    s->Period = seconds > 0 ? seconds : kPeriodDefault;
    s->NextRotation = Time_GetCurrent() + s->Period;
    return 1;
}

int64_t SkinWebServer_BlockValidatePort(SkinWebServer* server, uint32_t port, double time) {
    SkinWebServer* s = Checked(server);
    if (!InRange(port)) return 0;
    Rotate(s, time);
    if (!Has(s->Permanent, port)) return 1;
    if (Has(s->Slots[s->Current], port)) return 0;
    Clear(s->Permanent, port);
    ForgetRefused(s, port);
    return 1;
}

int64_t SkinWebServer_BlockPortNumber(SkinWebServer* server, uint32_t port, double time, uint32_t all) {
    SkinWebServer* s = Checked(server);
    if (!InRange(port)) return 0;
    Rotate(s, time);
    // A block of a client that passed the checks is held against the port alone.
    ForgetRefused(s, port);
    if (all) {
        for (auto& slot : s->Slots) Set(slot, port);
        Set(s->Permanent, port);
        return 1;
    }
    for (int32_t k = 3; k >= 0; k--) {
        uint8_t* slot = s->Slots[(s->Current + k) % 4];
        if (!Has(slot, port)) {
            Set(slot, port);
            return 1;
        }
    }
    Set(s->Permanent, port);
    return 1;
}

int64_t SkinWebServer_GetBlockStateForTest(SkinWebServer* server, int32_t port, uint32_t* flags) {
    ASSERT_POINTER(flags);
    SkinWebServer* s = Checked(server);
    for (int32_t k = 0; k < 4; k++)
        flags[k] = port >= 0 && InRange((uint32_t)port) && Has(s->Slots[(s->Current + k) % 4], (uint32_t)port) ? 1 : 0;
    if (port < 0) return 0;
    // Judged as of just before the next rotation: no slot moves.
    const double time = s->NextRotation - 0.001;
    return SkinWebServer_BlockValidatePort(s, (uint32_t)port, time);
}

int64_t SkinWebServer_ParseCreateInstance(Stream* stream, char* typeName, char* windowId, char* instanceId) {
    return SkinApp_ParseCreateInstance(stream, typeName, windowId, instanceId);
}

// ---- Connection callbacks ------------------------------------------------------------------------

int64_t SkinWebServer_OnConnectionOpen(WebServer* core, void* user, WebServerConnection* connection) {
    SkinWebServer* s = Checked(static_cast<SkinWebServer*>(user));
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    if (Authenticate_Enabled() && !s->ExternalPaths) {
        uint32_t address = 0, port = 0;
        double touch = 0;
        WebServer_ConnectionGetIP(core, connection, &address);
        WebServer_ConnectionGetPort(core, connection, &port);
        WebServer_ConnectionGetLastTouch(core, connection, &touch);
        SkinWebPeer peer{};
        bool looked = false;
        auto lookUp = [&]() {
            if (!looked)
                SkinWebPeer_FromConnection(address, port, SkinWebServer_GetListenPort(s), s->ChildAccess, &peer);
            looked = true;
            return peer.Pid != 0;
        };
        const char* refusal = nullptr;
        if (!SkinWebServer_BlockValidatePort(s, port, touch)) {
            const SkinWebPeer* earner = s->Refused && InRange(port) ? &s->Refused[port - SKINWEBSERVER_FIRST_PORT] : nullptr;
            if (earner && earner->Pid != 0 && address == loopback && lookUp() && !SkinWebPeer_Same(&peer, earner) &&
                SkinWebPeer_IsPeerWithin(&peer, s->ChildAccess)) {
                SkinWebServer_VerboseLog(s, 1, "Port block earned by process %d lifted for process %d (%ipv4:%d)\n",
                                         (int32_t)earner->Pid, (int32_t)peer.Pid, &address, (int32_t)port);
                Unblock(s, port);
            } else {
                refusal = "TCP connection is being blocked (%ipv4:%d)\n";
            }
        } else if (address != loopback) {
            refusal = "Remote TCP connection has been blocked (%ipv4:%d)\n";
        } else if (!lookUp()) {
            refusal = "Unable to get client PID (%ipv4:%d)\n";
        }
        if (refusal) {
            SkinWebServer_VerboseLog(s, 1, refusal, &address, (int32_t)port);
        } else if (!SkinWebPeer_IsPeerWithin(&peer, s->ChildAccess)) {
            SkinWebServer_VerboseLog(s, 1, "Process %d is not valid child for my PID %d (%ipv4:%d)\n",
                                     (int32_t)peer.Pid, (int32_t)Platform_GetCurrentProcessId(), &address,
                                     (int32_t)port);
            refusal = "";
        }
        if (refusal) {
            SkinWebServer_BlockPortNumber(s, port, touch, 1);
            RememberRefused(s, port, peer);
            return 0;
        }
    }
    Record* r = static_cast<Record*>(Memory_AllocZero(sizeof(Record)));
    r->Owner = s;
    r->Server = core;
    r->Connection = connection;
    MemoryStream_Create(&r->RequestBody);
    MemoryStream_SetAutoGrow(r->RequestBody, 1);
    MemoryStream_Create(&r->ResponseBody);
    MemoryStream_SetAutoGrow(r->ResponseBody, 1);
    WebServer_ConnectionSetUserHandle(core, connection, r);
    if (!s->Invoker) ScriptInvoker_Create(&s->Invoker);
    return 1;
}

int64_t SkinWebServer_OnRequestHeader(WebServer* core, void*, WebServerConnection* connection) {
    Record* r = RecordOf(core, connection);
    if (!r) return 0;
    const char* name = nullptr;
    const char* url = nullptr;
    WebServer_ConnectionGetFilenamePtr(core, connection, &name);
    WebServer_ConnectionGetURLPtr(core, connection, &url);
    const char* path = nullptr;
    if (url) URL_ParsePathPtr(url, &path);
    // Decoded and with its relative segments resolved, but never macro-expanded: a client's
    // "{...}" is a name, not an instruction. A path that does not fit whole is refused rather
    // than cut (the core server keeps only its start), so that a shortened name never answers
    // for it; decoding never lengthens it.
    r->Path[0] = 0;
    if (name && path && strcspn(path, "?#") < sizeof(r->Path)) {
        URL_DecodeString(name, r->Path, (int32_t)sizeof(r->Path));
        URL_FixRelativePath(r->Path, (int32_t)sizeof(r->Path));
    }
    MemoryStream_DiscardAll(r->RequestBody);
    MemoryStream_Seek(r->RequestBody, 0, SEEK_ORIGIN_BEGIN);
    r->Server = core;
    r->Connection = connection;
    // This header is whole: the next one's wait starts when a look finds it begun.
    r->HeaderSince = 0;
    return 1;
}

int64_t SkinWebServer_OnRequestBody(WebServer* core, void*, WebServerConnection* connection, int64_t size) {
    Record* r = RecordOf(core, connection);
    if (!r) return 0;
    uint8_t buffer[kRequestReadChunk];
    while (size > 0) {
        const int32_t want = size < kRequestReadChunk ? (int32_t)size : kRequestReadChunk;
        int32_t count = 0;
        if (!WebServer_ConnectionRequestRead(core, connection, buffer, want, &count)) {
            WebServer_ConnectionRequestClose(core, connection);
            return 0;
        }
        if (count <= 0) break;
        uint32_t written = 0;
        if ((uint32_t)MemoryStream_GetUsed(r->RequestBody) + (uint32_t)count > kMaxRequestBody ||
            !MemoryStream_Write(r->RequestBody, buffer, (uint32_t)count, &written) || written != (uint32_t)count) {
            SkinWebServer_Print(r->Owner, "Request body too large");
            WebServer_ConnectionRequestClose(core, connection);
            return 0;
        }
        size -= count;
    }
    return 1;
}

int64_t SkinWebServer_OnResponseHeader(WebServer* core, void* user, WebServerConnection* connection) {
    SkinWebServer* s = Checked(static_cast<SkinWebServer*>(user));
    Record* r = RecordOf(core, connection);
    if (!r) return 0;
    FreeDataStore(r);
    r->Length = r->Offset = r->End = r->Position = 0;
    r->SendResponseBody = 0;
    MemoryStream_DiscardAll(r->ResponseBody);
    MemoryStream_Seek(r->ResponseBody, 0, SEEK_ORIGIN_BEGIN);

    uint32_t address = 0, port = 0;
    double touch = 0;
    WebServer_ConnectionGetIP(core, connection, &address);
    WebServer_ConnectionGetPort(core, connection, &port);
    WebServer_ConnectionGetLastTouch(core, connection, &touch);
    if (!SkinWebServer_BlockValidatePort(s, port, touch)) {
        WebServer_ConnectionSetResponse(core, connection, 403, 0);
        SkinWebServer_VerboseLog(s, 1, "Request blocked (%ipv4:%d)\n", &address, (int32_t)port);
        return 0;
    }
    const char* url = nullptr;
    WebServer_ConnectionGetURLPtr(core, connection, &url);
    if (!url) url = "";
    if (s->ExternalPaths && !MatchesExternalPath(s, r->Path)) {
        SkinWebServer_BlockPortNumber(s, port, touch, 1);
        return 0;
    }
    if (strlen(r->Path) < 2) return AnswerEmpty(r, 404);

    const char* devServer = SkinApp_GetDevServer();
    const char* method = nullptr;
    WebServer_ConnectionGetMethodPtr(core, connection, &method);
    if (!method) method = "";
    if (devServer[0]) {
        WebServer_ConnectionSetResponseHeader(core, connection, "Access-Control-Allow-Origin", "%s", devServer);
        WebServer_ConnectionSetResponseHeader(core, connection, "Access-Control-Allow-Methods", "%s",
                                              "HEAD, POST, DELETE, OPTIONS");
        // Script calls carry JSON, whose type the development server's pages must be let to send.
        WebServer_ConnectionSetResponseHeader(core, connection, "Access-Control-Allow-Headers", "%s", "Content-Type");
        if (strcmp(method, "OPTIONS") == 0) return AnswerEmpty(r, 200);
    }
    const char* name = r->Path + 1;
    CloseFile(r);
    if (strncmp(name, "instances/", 10) == 0) {
        // Under a browser back end whose view answers the page object itself nothing uses the
        // routes: they are not there.
        uint32_t cef = 0;
        SkinApp_GetCEFEnabled(&cef);
        if (cef || !SkinApp_GetInstanceRoutes()) return AnswerEmpty(r, 404);
        if (!InstanceCallAllowed(s, r, method)) return AnswerEmpty(r, 403);
        if (name[10] == 0) return CreateInstance(s, r);
        return InstanceCall(s, r, name + 10);
    }
    if (MemoryStream_GetUsed(r->RequestBody) > 0) {
        BodyText(r);
        const int64_t result = SkinHandler_GetResponse(r->Path, 1, r, &kConnectionHandler, &r->File);
        if (result != 1) CloseFile(r);
        return result == 1 ? 1 : 0;
    }
    const int64_t result = SkinHandler_GetResponse(url, 1, r, &kConnectionHandler, &r->File);
    if (result == 1) return 1;
    CloseFile(r);
    int32_t code = 0;
    WebServer_ConnectionGetResponseCode(core, connection, &code);
    if (code != 0 && code < 400) return 0;
    if (code == 404 && HarmlessMiss(url)) return 0;
    SkinWebServer_BlockPortNumber(s, port, touch, 0);
    return 0;
}

int64_t SkinWebServer_OnResponseBody(WebServer* core, void*, WebServerConnection* connection, int64_t size) {
    Record* r = RecordOf(core, connection);
    if (!r) return 0;
    int64_t chunk = size < kBodyChunk ? size : kBodyChunk;
    // Never past the declared length, whatever the source still holds: the peer counts on it.
    if (r->Position < r->Offset) r->Position = r->Offset;
    const int64_t left = r->Offset + r->Length - r->Position;
    if (chunk > left) chunk = left;
    uint8_t buffer[kBodyChunk];
    const uint8_t* source = buffer;
    int64_t n = 0;
    bool more = false;
    bool kept = false;
    if (r->File) {
        // The handler has already put the entry at the range's start.
        if (chunk < 1) {
            CloseFile(r);
            return 0;
        }
        uint64_t available = 0;
        if (SkinFile_PeekKept(r->File, &source, &available)) {
            // Content kept in memory goes to the connection as it is; the entry moves on below.
            kept = true;
            n = chunk < (int64_t)available ? chunk : (int64_t)available;
            more = n > 0;
        } else {
            source = buffer;
            uint32_t got = 0;
            more = SkinFile_Read(r->File, buffer, (uint32_t)chunk, &got) != 0;
            n = got;
            if (got == 0 && more) return 1;
        }
    } else if (r->DataStore) {
        n = chunk < r->DataStoreLength - r->Position ? chunk : r->DataStoreLength - r->Position;
        if (n > 0) memcpy(buffer, r->DataStore + r->Position, (size_t)n);
        more = n > 0 && r->Position + n < r->DataStoreLength;
    } else if (r->SendResponseBody) {
        uint8_t* data = nullptr;
        const int64_t used = MemoryStream_GetUsed(r->ResponseBody);
        n = chunk < used - r->Position ? chunk : used - r->Position;
        MemoryStream_GetPointer(r->ResponseBody, &data);
        if (data && n > 0) memcpy(buffer, data + r->Position, (size_t)n);
        if (data) MemoryStream_ReleasePointer(r->ResponseBody, &data);
        more = n > 0 && r->Position + n < used;
    } else {
        return 0;
    }
    if (n > 0) {
        int32_t count = 0;
        if (!WebServer_ConnectionResponseWrite(core, connection, source, (int32_t)n, &count) || count != (int32_t)n) {
            CloseFile(r);
            return 0;
        }
        if (kept) SkinFile_Seek(r->File, count, SEEK_ORIGIN_CURRENT);
        r->Position += count;
    }
    if (r->Position >= r->Offset + r->Length) more = false;
    if (!more) {
        CloseFile(r);
        return 0;
    }
    return 1;
}

int64_t SkinWebServer_OnConnectionClose(WebServer* core, void*, WebServerConnection* connection) {
    Record* r = RecordOf(core, connection);
    if (!r) return 1;
    MemoryStream_Release(&r->RequestBody);
    MemoryStream_Release(&r->ResponseBody);
    FreeDataStore(r);
    CloseFile(r);
    Memory_Free(r, sizeof(Record));
    WebServer_ConnectionSetUserHandle(core, connection, nullptr);
    return 1;
}
