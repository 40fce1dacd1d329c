// The notification endpoint: a loopback web server whose accepted requests become one-way record
// streams of this process's notifications, and client requests to peers whose records are re-fired
// here as remote notifications.
#include "workflow/notification_endpoint.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "core/crypto/rc4.h"
#include "core/formats/json.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_header.h"
#include "core/web/web_get_request.h"
#include "core/web/web_server.h"
#include "core/web/web_server_internal.h"

namespace {

constexpr int32_t kIdSize = 40;
constexpr int32_t kUrlSize = 8192;
constexpr const char* kTypeName = "NotificationEndPoint";

std::atomic<NotificationEndPointIsElevatedFunc> g_isElevated{nullptr};

template <typename T> struct List {
    T* First = nullptr;
    T* Last = nullptr;
    uint32_t Count = 0;
    void Append(T* item) {
        item->Prev = Last;
        item->Next = nullptr;
        (Last ? Last->Next : First) = item;
        Last = item;
        Count++;
    }
    void Unlink(T* item) {
        (item->Prev ? item->Prev->Next : First) = item->Next;
        (item->Next ? item->Next->Prev : Last) = item->Prev;
        item->Next = item->Prev = nullptr;
        Count--;
    }
};

template <typename T> T* NewObject() {
    return new (Memory_AllocZero(sizeof(T))) T();
}
template <typename T> void FreeObject(T* object) {
    object->~T();
    Memory_Free(object, sizeof(T));
}

} // namespace

struct NotificationEndPointRecordReader {
    Class Header{};
    RC4* Cipher = nullptr;
    JSON* Parser = nullptr;
    Dictionary* Record = nullptr;
    std::string Text; // deciphered bytes of the record being read
    int32_t Depth = 0;
    bool InString = false;
    bool Escape = false;
    bool Failed = false;
};

struct TrackedPeer {
    uint32_t ClassId = NOTIFICATIONENDPOINT_PEER_CLASS_ID;
    char PeerId[kIdSize] = {};
    int32_t Outgoing = -1;
    int32_t Incoming = -1;
    TrackedPeer* Next = nullptr;
    TrackedPeer* Prev = nullptr;
};

struct ServedConnection {
    uint32_t ClassId = NOTIFICATIONENDPOINT_SERVED_CLASS_ID;
    char PeerId[kIdSize] = {};
    WebServer* Server = nullptr;
    WebServerConnection* Connection = nullptr;
    RC4* Cipher = nullptr;
    MemoryStream* Output = nullptr;
    Dictionary* Record = nullptr;
    NotificationEndPoint* Owner = nullptr;
    uint32_t NextRecord = 0;
    bool Ended = false; // over the output limit: closing, takes no more records
    ServedConnection* Next = nullptr;
    ServedConnection* Prev = nullptr;
};

struct RemoteEndPoint {
    uint32_t ClassId = NOTIFICATIONENDPOINT_REMOTE_CLASS_ID;
    char PeerId[kIdSize] = {};
    char Url[kUrlSize] = {};
    uint32_t UrlSent = 0;
    uint32_t Queued = 0;
    WebGetConnection* Connection = nullptr;
    WebGetRequest* Request = nullptr;
    NotificationEndPointRecordReader* Reader = nullptr;
    Dictionary* Arguments = nullptr;
    NotificationEndPoint* Owner = nullptr;
    RemoteEndPoint* Next = nullptr;
    RemoteEndPoint* Prev = nullptr;
};

struct NotificationEndPoint {
    Class Header{};
    ClassPrint Print{};
    WebServer* Server = nullptr;
    Dictionary* PendingTokens = nullptr;
    uint32_t IsElevated = 0;
    List<ServedConnection> Served;
    List<RemoteEndPoint> Remotes;
    List<TrackedPeer> Peers;
};

namespace {

NotificationEndPoint* Checked(NotificationEndPoint* endpoint) {
    CLASS_CHECK(endpoint, NOTIFICATIONENDPOINT_CLASS_ID);
    return endpoint;
}

void PreparePrint(NotificationEndPoint* e) {
    ClassPrint_Prepare(&e->Print, e, kTypeName, NotificationEndPoint_PrintInternal);
    if (!e->Print.Identifier) e->Print.Identifier = kTypeName;
}

void CopyText(char* dst, int32_t capacity, const char* src) {
    if (!src) src = "";
    size_t n = strlen(src);
    if (n > (size_t)capacity - 1) n = (size_t)capacity - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
}

// Compares without revealing where two tokens differ.
bool SameToken(const char* a, const char* b) {
    if (strlen(a) != (size_t)kNotificationEndPointTokenLength || strlen(b) != (size_t)kNotificationEndPointTokenLength)
        return false;
    uint8_t diff = 0;
    for (int32_t i = 0; i < kNotificationEndPointTokenLength; i++) diff |= (uint8_t)(a[i] ^ b[i]);
    return diff == 0;
}

// Host and port of "scheme://host[:port]/..."; 0 when there is no host.
bool SplitHost(const char* url, std::string* host, std::string* port) {
    const char* p = strstr(url, "://");
    if (!p) return false;
    p += 3;
    const char* end = p + strcspn(p, "/?#");
    std::string authority(p, end);
    if (authority.find('@') != std::string::npos) return false; // no credentials on a loopback link
    const size_t colon = authority.rfind(':');
    *host = authority.substr(0, colon);
    *port = colon == std::string::npos ? std::string() : authority.substr(colon + 1);
    return !host->empty();
}

bool IsLoopbackHost(const std::string& host) {
    return String_CompareWithoutCase(host.c_str(), "127.0.0.1") || String_CompareWithoutCase(host.c_str(), "localhost");
}

// The last path segment without query or fragment, cut to the token's length.
std::string TokenOfUrl(const char* url) {
    std::string text(url, strcspn(url, "?#"));
    const size_t slash = text.rfind('/');
    std::string token = slash == std::string::npos ? std::string() : text.substr(slash + 1);
    if (token.size() > (size_t)kNotificationEndPointTokenLength) token.resize(kNotificationEndPointTokenLength);
    return token;
}

// The URL up to its last "/": the token after it is the link's key and stays out of the log.
std::string WithoutToken(const char* url) {
    const char* slash = strrchr(url, '/');
    return slash ? std::string(url, (size_t)(slash - url + 1)) : std::string(url);
}

int64_t QuietPrint(void*, const char*, ...) {
    return 1;
}

int64_t FireSelf(NotificationEndPoint* e, const char* name) {
    return NotificationCenter_FireAfterDelay(kTypeName, name, e->Header.InstanceId, 0, nullptr);
}

// ---- Served connections (this process writes) ---------------------------------------------------

int64_t OutgoingNotification(void* user, const char* type, const char* name, const char* instance,
                             Dictionary* info) {
    ServedConnection* sc = static_cast<ServedConnection*>(user);
    if (sc->Ended) return 1;
    if (info) {
        uint32_t flag = 1;
        if (Dictionary_GetBooleanByKey(info, "canRemote", &flag) && flag == 0) return 1;
        flag = 0;
        if (Dictionary_GetBooleanByKey(info, "isRemote", &flag) && flag == 1) return 1;
    }
    NotificationEndPoint_WriteRecord(sc->Cipher, sc->Record, sc->NextRecord++, type, name, instance, info,
                                     sc->Output);
    uint64_t waiting = 0;
    MemoryStream_Length(sc->Output, &waiting);
    if (waiting > kNotificationEndPointMaxOutput) {
        NotificationEndPoint_Print(sc->Owner, "Peer not reading, link ended - %s", sc->PeerId);
        sc->Ended = true;
        MemoryStream_DiscardAll(sc->Output);
        WebServer_ConnectionRequestClose(sc->Server, sc->Connection);
    }
    return 1;
}

void FreeServed(ServedConnection* sc) {
    if (sc->Cipher) {
        NotificationCenter_RemoveInstanceObserver(nullptr, nullptr, nullptr, sc, OutgoingNotification);
        RC4_Release(&sc->Cipher);
    }
    if (sc->Output) MemoryStream_Release(&sc->Output);
    if (sc->Record) Dictionary_Release(&sc->Record);
    sc->ClassId = 0;
    FreeObject(sc);
}

int64_t ServerConnectionClose(WebServer* server, void* user, WebServerConnection* connection) {
    NotificationEndPoint* e = static_cast<NotificationEndPoint*>(user);
    void* handle = nullptr;
    WebServer_ConnectionGetUserHandle(server, connection, &handle);
    ServedConnection* sc = static_cast<ServedConnection*>(handle);
    if (!sc || sc->ClassId != NOTIFICATIONENDPOINT_SERVED_CLASS_ID) return 1;
    WebServer_ConnectionSetUserHandle(server, connection, nullptr);
    e->Served.Unlink(sc);
    char peer[kIdSize];
    CopyText(peer, kIdSize, sc->PeerId);
    FreeServed(sc);
    NotificationEndPoint_TrackEndPoint(e, peer, 0, 0);
    return 1;
}

int64_t Refuse(WebServer* server, WebServerConnection* connection) {
    WebServer_ConnectionSetResponse(server, connection, 403, 0);
    return 0;
}

// Everything a request carries is taken only after its token was found pending: a caller without
// the token learns nothing and steers nothing.
int64_t ServerResponseHeader(WebServer* server, void* user, WebServerConnection* connection) {
    NotificationEndPoint* e = static_cast<NotificationEndPoint*>(user);
    void* handle = nullptr;
    WebServer_ConnectionGetUserHandle(server, connection, &handle);
    if (handle) return Refuse(server, connection); // one stream per connection
    const char* path = nullptr;
    WebServer_ConnectionGetURLPtr(server, connection, &path);
    if (!path) return Refuse(server, connection);
    if (*path == '/') path++;
    char token[kNotificationEndPointTokenLength + 1];
    CopyText(token, (int32_t)sizeof(token), path);
    char pending[kNotificationEndPointTokenLength + 1] = {};
    if (strlen(token) != (size_t)kNotificationEndPointTokenLength ||
        !Dictionary_GetStringByKey(e->PendingTokens, token, pending, (int32_t)sizeof(pending)) ||
        !SameToken(pending, token)) {
        NotificationEndPoint_VerboseLog(e, 1, "Refused connection");
        return Refuse(server, connection);
    }
    Dictionary_RemoveByKey(e->PendingTokens, token);

    ServedConnection* sc = NewObject<ServedConnection>();
    sc->Server = server;
    sc->Connection = connection;
    sc->Owner = e;
    RC4_Create(&sc->Cipher);
    RC4_SetEncryptKey(sc->Cipher, token, (uint32_t)kNotificationEndPointTokenLength);
    MemoryStream_Create(&sc->Output);
    MemoryStream_SetAutoGrow(sc->Output, 1);
    Dictionary_Create(&sc->Record);
    WebServer_ConnectionGetRequestHeader(server, connection, "EndPoint-ID", sc->PeerId, kIdSize);

    // The peer's own URL is taken once, from this accepted request, and only from a loopback peer.
    char* url = static_cast<char*>(Memory_AllocZero(kUrlSize));
    uint32_t address = 0;
    WebServer_ConnectionGetIP(server, connection, &address);
    if (WebServer_ConnectionGetRequestHeader(server, connection, "EndPoint-URL", url, kUrlSize) && url[0] &&
        reinterpret_cast<const uint8_t*>(&address)[0] == 127)
        NotificationEndPoint_AddEndPoint(e, url);
    Memory_Free(url, kUrlSize);

    WebServer_ConnectionSetUserHandle(server, connection, sc);
    WebServer_ConnectionSetResponse(server, connection, 200, -1);
    WebServer_ConnectionSetResponseHeader(server, connection, "Content-Type", "%s", "application/json");
    WebServer_ConnectionSetResponseHeader(server, connection, "Transfer-Encoding", "%s", "chunked");
    WebServer_ConnectionSetResponseHeader(server, connection, "EndPoint-ID", "%s", e->Header.InstanceId);
    NotificationCenter_AddInstanceObserver(nullptr, nullptr, nullptr, sc, OutgoingNotification);
    e->Served.Append(sc);
    NotificationEndPoint_TrackEndPoint(e, sc->PeerId, 0, 1);
    return 1;
}

int64_t ServerResponseBody(WebServer* server, void*, WebServerConnection* connection, int64_t space) {
    void* handle = nullptr;
    WebServer_ConnectionGetUserHandle(server, connection, &handle);
    ServedConnection* sc = static_cast<ServedConnection*>(handle);
    if (!sc || sc->ClassId != NOTIFICATIONENDPOINT_SERVED_CLASS_ID) return 0;
    uint64_t length = 0;
    MemoryStream_Length(sc->Output, &length);
    int64_t n = (int64_t)length < space ? (int64_t)length : space;
    if (n <= 0) return 1;
    uint8_t* data = nullptr;
    MemoryStream_GetPointer(sc->Output, &data);
    int32_t taken = 0;
    WebServer_ConnectionResponseWrite(server, connection, data, (int32_t)n, &taken);
    MemoryStream_ReleasePointer(sc->Output, &data);
    if (taken > 0) MemoryStream_DiscardBegin(sc->Output, taken);
    return 1;
}

int64_t ServerListenChanged(WebServer*, void* user, const uint32_t*, uint32_t) {
    FireSelf(static_cast<NotificationEndPoint*>(user), "Running");
    return 1;
}

int64_t ServerPrint(void* user, const char* format, ...) {
    NotificationEndPoint* e = static_cast<NotificationEndPoint*>(user);
    va_list args;
    va_start(args, format);
    int64_t result = NotificationEndPoint_VPrint(e, 0, format, args);
    va_end(args);
    return result;
}

// ---- Remote endpoints (this process reads) -------------------------------------------------------

int64_t IncomingRecord(void* user, Dictionary* record) {
    RemoteEndPoint* r = static_cast<RemoteEndPoint*>(user);
    NotificationEndPoint* e = r->Owner;
    char type[kIdSize] = {}, name[kIdSize] = {}, sender[kIdSize] = {};
    Dictionary_GetStringByKey(record, "type", type, kIdSize);
    Dictionary_GetStringByKey(record, "notification", name, kIdSize);
    Dictionary_GetStringByKey(record, "sender", sender, kIdSize);
    if (!NotificationEndPoint_IsAllowed(e->IsElevated, type, name)) {
        if (e->Print.Verbose == 1)
            NotificationEndPoint_Print(e, "Not allowed - %s.%s", type, name);
        return 1;
    }
    Dictionary_Reset(r->Arguments);
    Dictionary* arguments = nullptr;
    if (Dictionary_GetDictionaryByKey(record, "arguments", &arguments) && arguments)
        Dictionary_Merge(r->Arguments, arguments, DICTIONARY_MERGE_OVERWRITE);
    Dictionary_SetBooleanByKey(r->Arguments, "isRemote", 1);
    NotificationCenter_FireAfterDelay(type, name, sender[0] ? sender : nullptr, 0, r->Arguments);
    return 1;
}

int64_t IncomingHeaderDone(WebGetRequest* request, void* user) {
    RemoteEndPoint* r = static_cast<RemoteEndPoint*>(user);
    char* block = nullptr;
    int32_t capacity = 0;
    WebGetRequest_GetResponseHeader(request, &block, &capacity);
    char id[kIdSize] = {};
    if (block && WebGet_HeaderGetByName(block, "EndPoint-ID", id, kIdSize) && id[0]) {
        CopyText(r->PeerId, kIdSize, id);
        NotificationEndPoint_TrackEndPoint(r->Owner, r->PeerId, 1, 1);
    }
    return 1;
}

int64_t IncomingFillBody(WebGetRequest* request, void* user, const uint8_t* bytes, uint32_t length,
                         uint32_t* used) {
    RemoteEndPoint* r = static_cast<RemoteEndPoint*>(user);
    if (used) *used = length;
    if (!NotificationEndPointRecordReader_Feed(r->Reader, bytes, length, r, IncomingRecord)) {
        NotificationEndPoint_Print(r->Owner, "Bad record - %s", WithoutToken(r->Url).c_str());
        return WebGetRequest_SetLastError(request, 400, 0);
    }
    return 1;
}

void RemoveRemote(NotificationEndPoint* e, RemoteEndPoint* r) {
    WebGetConnection_Close(r->Connection);
    WebGetRequest_SetHeaderDoneCallback(r->Request, nullptr, nullptr, nullptr);
    WebGetRequest_SetFillBodyCallback(r->Request, nullptr, nullptr, nullptr);
    WebGetRequest_Release(&r->Request);
    WebGetConnection_Release(&r->Connection);
    NotificationEndPointRecordReader_Delete(&r->Reader);
    Dictionary_Release(&r->Arguments);
    NotificationEndPoint_Print(e, "Removed endpoint - %s", WithoutToken(r->Url).c_str());
    e->Remotes.Unlink(r);
    r->ClassId = 0;
    FreeObject(r);
}

int64_t KeepAlive(void* user, const char* type, const char* name, const char* instance, Dictionary*) {
    NotificationEndPoint* e = static_cast<NotificationEndPoint*>(user);
    if (WebServer_IsRunning(e->Server))
        NotificationCenter_FireAfterDelay(type, name, instance, kNotificationEndPointKeepAliveMs, nullptr);
    return 1;
}

bool AnyUp(NotificationEndPoint* e) {
    for (TrackedPeer* p = e->Peers.First; p; p = p->Next)
        if (p->Incoming == 1 || p->Outgoing == 1) return true;
    return false;
}

} // namespace

// ---- Record writer ------------------------------------------------------------------------------

int64_t NotificationEndPoint_WriteRecord(RC4* cipher, Dictionary* record, uint32_t number, const char* type,
                                         const char* name, const char* sender, Dictionary* info,
                                         MemoryStream* out) {
    // The JSON writer prints the bound dictionary's one top-level item: the record object.
    Dictionary_Reset(record);
    Dictionary* object = nullptr;
    Dictionary_AddDictionary(record, nullptr, &object, nullptr);
    char id[16];
    snprintf(id, sizeof(id), "%u", number);
    Dictionary_AddString(object, "id", id, nullptr);
    Dictionary_AddString(object, "type", type ? type : "", nullptr);
    Dictionary_AddString(object, "notification", name ? name : "", nullptr);
    Dictionary_AddString(object, "sender", sender ? sender : "Global", nullptr);
    if (info) {
        Dictionary* arguments = nullptr;
        Dictionary_AddDictionary(object, "arguments", &arguments, nullptr);
        Dictionary_Merge(arguments, info, DICTIONARY_MERGE_OVERWRITE);
        Dictionary_RemoveByKey(arguments, "canLocal");
    }
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, record);
    uint32_t estimate = 0;
    JSON_SaveBufferEstimate(json, &estimate);
    const uint32_t capacity = estimate + 16;
    uint8_t* text = static_cast<uint8_t*>(Memory_AllocZero(capacity));
    uint32_t length = 0;
    int64_t ok = JSON_SaveBuffer(json, text, capacity, &length);
    JSON_Release(&json);
    if (ok) {
        char head[16];
        const int n = snprintf(head, sizeof(head), "%x\r\n", length);
        RC4_Encrypt(cipher, text, text, length);
        uint32_t written = 0;
        MemoryStream_Write(out, head, (uint32_t)n, &written);
        MemoryStream_Write(out, text, length, &written);
        MemoryStream_Write(out, "\r\n", 2, &written);
    }
    Memory_Free(text, capacity);
    return ok ? 1 : 0;
}

// ---- Record reader ------------------------------------------------------------------------------

int64_t NotificationEndPointRecordReader_Create(NotificationEndPointRecordReader** handle, const void* key,
                                                uint32_t keyLength) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    NotificationEndPointRecordReader* reader = NewObject<NotificationEndPointRecordReader>();
    reader->Header.ClassId = NOTIFICATIONENDPOINT_READER_CLASS_ID;
    reader->Header.RefCount = 1;
    RC4_Create(&reader->Cipher);
    if (!RC4_SetDecryptKey(reader->Cipher, key, keyLength)) reader->Failed = true;
    Dictionary_Create(&reader->Record);
    JSON_Create(&reader->Parser);
    JSON_SetDictionaryHandle(reader->Parser, reader->Record);
    // A bad record is reported once by the owner; the parser's own lines would repeat it.
    JSON_SetPrintCallback(reader->Parser, nullptr, QuietPrint);
    Dictionary_SetPrintCallback(reader->Record, nullptr, QuietPrint);
    *handle = reader;
    return 1;
}

int64_t NotificationEndPointRecordReader_Delete(NotificationEndPointRecordReader** handle) {
    ASSERT_POINTER(handle);
    NotificationEndPointRecordReader* reader = *handle;
    if (!reader) return 1;
    CLASS_CHECK(reader, NOTIFICATIONENDPOINT_READER_CLASS_ID);
    JSON_Release(&reader->Parser);
    Dictionary_Release(&reader->Record);
    RC4_Release(&reader->Cipher);
    reader->Header.ClassId = 0;
    FreeObject(reader);
    *handle = nullptr;
    return 1;
}

// A record is one JSON object; its end is found by counting brackets outside strings, so that the
// parser only ever sees whole texts and anything that is not an object ends the link at once.
int64_t NotificationEndPointRecordReader_Feed(NotificationEndPointRecordReader* reader, const uint8_t* bytes,
                                              uint32_t length, void* user, NotificationEndPointRecordFunc fn) {
    CLASS_CHECK(reader, NOTIFICATIONENDPOINT_READER_CLASS_ID);
    if (reader->Failed) return 0;
    if (length == 0) return 1;
    ASSERT_POINTER(bytes);
    uint8_t piece[4096];
    for (uint32_t offset = 0; offset < length;) {
        const uint32_t n = length - offset < sizeof(piece) ? length - offset : (uint32_t)sizeof(piece);
        RC4_Decrypt(reader->Cipher, bytes + offset, piece, n);
        offset += n;
        for (uint32_t i = 0; i < n; i++) {
            const char c = (char)piece[i];
            if (reader->Text.empty()) {
                if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
                if (c != '{') {
                    reader->Failed = true;
                    return 0;
                }
            }
            reader->Text.push_back(c);
            if (reader->Text.size() > kNotificationEndPointMaxRecord) {
                reader->Failed = true;
                return 0;
            }
            if (reader->InString) {
                if (reader->Escape)
                    reader->Escape = false;
                else if (c == '\\')
                    reader->Escape = true;
                else if (c == '"')
                    reader->InString = false;
                continue;
            }
            if (c == '"')
                reader->InString = true;
            else if (c == '{' || c == '[')
                reader->Depth++;
            else if (c == '}' || c == ']') {
                if (--reader->Depth > 0) continue;
                const bool loaded =
                    JSON_LoadBuffer(reader->Parser, reader->Text.data(), (uint32_t)reader->Text.size()) == 1;
                reader->Text.clear();
                reader->Depth = 0;
                // The loaded object is the child of the dictionary's one top-level item.
                DictionaryItem* item = nullptr;
                Dictionary* object = nullptr;
                if (loaded) Dictionary_ItemGetFirst(reader->Record, &item);
                if (item) Dictionary_ItemGetDictionaryHandle(reader->Record, item, &object);
                if (!object || (fn && fn(user, object) == 0)) {
                    reader->Failed = true;
                    return 0;
                }
            }
        }
    }
    return 1;
}

// ---- Relay rules --------------------------------------------------------------------------------

int64_t NotificationEndPoint_IsAllowed(uint32_t elevated, const char* type, const char* name) {
    if (!type) type = "";
    if (!name) name = "";
    if (!elevated)
        return !(String_CompareWithoutCase(type, kTypeName) && String_CompareWithoutCase(name, "KeepAlive"));
    // What an elevated worker takes from the other side: requests to run, answer, limit or stop
    // work, and nothing that would let the peer impersonate the worker's own events.
    static constexpr const char* kAccepted[][2] = {
        {"WorkflowRun", "Start"},  {"Challenge", "Response"},     {"WorkflowApp", "RemoteLimit"},
        {"WorkflowApp", "LocalLimit"}, {"WebGet", "RedirectChanged"}, {"Workflow", "Cancel"},
        {"Task", "Pause"},         {"Task", "Resume"},            {"Repository", "ChallengeResponse"},
    };
    for (const auto& pair : kAccepted)
        if (String_CompareWithoutCase(type, pair[0]) && String_CompareWithoutCase(name, pair[1])) return 1;
    return 0;
}

// ---- Life cycle ---------------------------------------------------------------------------------

int64_t NotificationEndPoint_SetIsElevatedHook(NotificationEndPointIsElevatedFunc fn) {
    g_isElevated.store(fn);
    return 1;
}

namespace {
int64_t DeleteHandle(void** handle) {
    return NotificationEndPoint_Delete(reinterpret_cast<NotificationEndPoint**>(handle));
}
} // namespace

int64_t NotificationEndPoint_Create(NotificationEndPoint** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    NotificationEndPoint* e = NewObject<NotificationEndPoint>();
    e->Header.ClassId = NOTIFICATIONENDPOINT_CLASS_ID;
    e->Header.RefCount = 1;
    e->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(e);
    Dictionary_Create(&e->PendingTokens);
    if (NotificationEndPointIsElevatedFunc fn = g_isElevated.load()) e->IsElevated = fn() ? 1 : 0;
    WebServer_Create(&e->Server);
    const uint8_t address[4] = {127, 0, 0, 1}; // network order
    uint32_t network = 0;
    memcpy(&network, address, 4);
    WebServer_SetListenIP(e->Server, &network);
    WebServer_SetListenPort(e->Server, 0);
    WebServer_SetUseThread(e->Server, 0);
    WebServer_SetPersistentConnections(e->Server, 1);
    WebServer_SetPrintCallback(e->Server, e, ServerPrint);
    WebServer_SetConnectionResponseHeaderCallback(e->Server, e, ServerResponseHeader);
    WebServer_SetConnectionResponseBodyCallback(e->Server, e, ServerResponseBody);
    WebServer_SetConnectionCloseCallback(e->Server, e, ServerConnectionClose);
    WebServer_SetListenChangedCallback(e->Server, e, ServerListenChanged);
    *handle = e;
    return 1;
}

int64_t NotificationEndPoint_AddRef(NotificationEndPoint* endpoint) {
    Class_AddRef(Checked(endpoint));
    return 1;
}

int64_t NotificationEndPoint_Release(NotificationEndPoint** handle) {
    ASSERT_POINTER(handle);
    Checked(*handle);
    Class_Release(handle);
    *handle = nullptr;
    return 1;
}

int64_t NotificationEndPoint_Delete(NotificationEndPoint** handle) {
    ASSERT_POINTER(handle);
    NotificationEndPoint* e = Checked(*handle);
    NotificationEndPoint_Reset(e);
    WebServer_Stop(e->Server);
    // Stopping closes the served connections through the close callback; any left are freed here.
    while (ServedConnection* sc = e->Served.First) {
        WebServer_ConnectionSetUserHandle(sc->Server, sc->Connection, nullptr);
        e->Served.Unlink(sc);
        FreeServed(sc);
    }
    while (TrackedPeer* p = e->Peers.First) {
        e->Peers.Unlink(p);
        FreeObject(p);
    }
    NotificationCenter_RemoveInstanceObserver(kTypeName, "KeepAlive", e->Header.InstanceId, e, KeepAlive);
    WebServer_SetConnectionResponseHeaderCallback(e->Server, nullptr, nullptr);
    WebServer_SetConnectionResponseBodyCallback(e->Server, nullptr, nullptr);
    WebServer_SetConnectionCloseCallback(e->Server, nullptr, nullptr);
    WebServer_SetListenChangedCallback(e->Server, nullptr, nullptr);
    WebServer_SetPrintCallback(e->Server, nullptr, nullptr);
    WebServer_Release(&e->Server);
    Dictionary_Release(&e->PendingTokens);
    e->Header.ClassId = 0;
    FreeObject(e);
    *handle = nullptr;
    return 1;
}

int64_t NotificationEndPoint_GetInstanceId(NotificationEndPoint* endpoint, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) CopyText(buffer, size, Checked(endpoint)->Header.InstanceId);
    return 1;
}

int64_t NotificationEndPoint_Start(NotificationEndPoint* endpoint) {
    WebServer_Start(Checked(endpoint)->Server);
    return 1;
}

int64_t NotificationEndPoint_Stop(NotificationEndPoint* endpoint) {
    WebServer_Stop(Checked(endpoint)->Server);
    return 1;
}

int64_t NotificationEndPoint_IsRunning(NotificationEndPoint* endpoint) {
    return WebServer_IsRunning(Checked(endpoint)->Server) ? 1 : 0;
}

int64_t NotificationEndPoint_IsConnected(NotificationEndPoint* endpoint) {
    NotificationEndPoint* e = Checked(endpoint);
    return WebServer_IsRunning(e->Server) && e->Served.Count > 0 ? 1 : 0;
}

int64_t NotificationEndPoint_GetIsElevated(NotificationEndPoint* endpoint, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = Checked(endpoint)->IsElevated;
    return 1;
}

int64_t NotificationEndPoint_GetWebServerURL(NotificationEndPoint* endpoint, uint32_t withToken, char* buffer,
                                             int32_t capacity) {
    NotificationEndPoint* e = Checked(endpoint);
    ASSERT_POINTER(buffer);
    if (capacity <= 0) return 0;
    buffer[0] = 0;
    uint32_t port = 0;
    WebServer_GetActiveListenPort(e->Server, &port);
    char token[kNotificationEndPointTokenLength + 1] = {};
    if (withToken == 1) {
        if (!String_Random(token, (int32_t)sizeof(token))) return 0;
        Dictionary_SetStringByKey(e->PendingTokens, token, token);
    }
    snprintf(buffer, (size_t)capacity, "http://127.0.0.1:%u/%s", port, token);
    return 1;
}

int64_t NotificationEndPoint_RemoveWebServerURL(NotificationEndPoint* endpoint, const char* url) {
    NotificationEndPoint* e = Checked(endpoint);
    ASSERT_POINTER(url);
    const char* slash = strrchr(url, '/');
    if (!slash) return 0;
    Dictionary_RemoveByKey(e->PendingTokens, slash + 1);
    return 1;
}

int64_t NotificationEndPoint_AddEndPoint(NotificationEndPoint* endpoint, const char* url) {
    NotificationEndPoint* e = Checked(endpoint);
    ASSERT_POINTER(url);
    std::string host, port;
    if (!SplitHost(url, &host, &port) || !IsLoopbackHost(host)) return 0;
    for (RemoteEndPoint* r = e->Remotes.First; r; r = r->Next) {
        std::string otherHost, otherPort;
        if (SplitHost(r->Url, &otherHost, &otherPort) && String_CompareWithoutCase(otherHost.c_str(), host.c_str()) &&
            otherPort == port)
            return 1;
    }
    RemoteEndPoint* r = NewObject<RemoteEndPoint>();
    r->Owner = e;
    CopyText(r->Url, kUrlSize, url);
    Dictionary_Create(&r->Arguments);
    const std::string key = TokenOfUrl(url);
    NotificationEndPointRecordReader_Create(&r->Reader, key.data(), (uint32_t)key.size());
    WebGetConnection_Create(&r->Connection);
    WebGetConnection_SetPersistent(r->Connection, 1);
    WebGetConnection_SetTimeout(r->Connection, 45);
    WebGetConnection_SetPersistentTimeout(r->Connection, 0);
    WebGetConnection_SetAllowProxy(r->Connection, 0);
    WebGetConnection_SetAllowProxyLoopback(r->Connection, 0);
    WebGetConnection_SetReportError(r->Connection, 0);
    WebGetRequest_Create(&r->Request);
    WebGetRequest_SetRequireAuthorization(r->Request, 0);
    WebGetRequest_SetAllowProxy(r->Request, 0);
    WebGetRequest_SetReportError(r->Request, 0);
    WebGetRequest_SetHeaderDoneCallback(r->Request, nullptr, r, IncomingHeaderDone);
    WebGetRequest_SetFillBodyCallback(r->Request, nullptr, r, IncomingFillBody);
    e->Remotes.Append(r);
    // The key is the token itself: it is never written to the log.
    NotificationEndPoint_Print(e, "Added endpoint - %s:%s", host.c_str(), port.c_str());
    return 1;
}

int64_t NotificationEndPoint_RemoveEndPoint(NotificationEndPoint* endpoint, const char* url) {
    NotificationEndPoint* e = Checked(endpoint);
    ASSERT_POINTER(url);
    for (RemoteEndPoint* r = e->Remotes.First; r; r = r->Next) {
        if (String_CompareWithoutCase(r->Url, url)) {
            RemoveRemote(e, r);
            break;
        }
    }
    return 1;
}

int64_t NotificationEndPoint_HasRemoteEndPoint(NotificationEndPoint* endpoint) {
    NotificationEndPoint* e = Checked(endpoint);
    for (RemoteEndPoint* r = e->Remotes.First; r; r = r->Next)
        if (!String_CompareWithoutCase(std::string(r->Url, strnlen(r->Url, 5)).c_str(), "file:")) return 1;
    return 0;
}

int64_t NotificationEndPoint_Process(NotificationEndPoint* endpoint) {
    NotificationEndPoint* e = Checked(endpoint);
    WebServer_Process(e->Server);
    if (!WebServer_IsRunning(e->Server)) return 1;
    for (RemoteEndPoint* r = e->Remotes.First; r; r = r->Next) {
        WebGetConnection_Process(r->Connection);
        if (r->Queued && WebGetRequest_IsDone(r->Request)) {
            char peer[kIdSize];
            CopyText(peer, kIdSize, r->PeerId);
            RemoveRemote(e, r);
            NotificationEndPoint_TrackEndPoint(e, peer, 1, 0);
            break;
        }
        if (!r->Queued) {
            WebGetRequest_Reset(r->Request);
            WebGetRequest_SetURLEx(r->Request, r->Url, 0);
            char* block = nullptr;
            int32_t capacity = 0;
            WebGetRequest_GetHeader(r->Request, &block, &capacity);
            WebGet_HeaderSet(block, capacity, "EndPoint-ID", e->Header.InstanceId, 1);
            if (!r->UrlSent) {
                char own[kUrlSize];
                NotificationEndPoint_GetWebServerURL(e, 1, own, kUrlSize);
                WebGet_HeaderSet(block, capacity, "EndPoint-URL", own, 1);
                r->UrlSent = 1;
            }
            WebGetConnection_RequestAdd(r->Connection, r->Request);
            r->Queued = 1;
        }
    }
    return e->Remotes.Count > 0 ? 1 : 0;
}

int64_t NotificationEndPoint_Reset(NotificationEndPoint* endpoint) {
    NotificationEndPoint* e = Checked(endpoint);
    while (e->Remotes.First) RemoveRemote(e, e->Remotes.First);
    while (TrackedPeer* p = e->Peers.First) {
        e->Peers.Unlink(p);
        FreeObject(p);
    }
    return 1;
}

int64_t NotificationEndPoint_GetWebServerHandle(NotificationEndPoint* endpoint, WebServer** server) {
    ASSERT_POINTER(server);
    *server = Checked(endpoint)->Server;
    return *server ? 1 : 0;
}

int64_t NotificationEndPoint_TrackEndPoint(NotificationEndPoint* endpoint, const char* peerId, uint32_t incoming,
                                           uint32_t up) {
    NotificationEndPoint* e = Checked(endpoint);
    if (!peerId || !peerId[0]) return 1;
    const bool wasUp = AnyUp(e);
    TrackedPeer* peer = e->Peers.First;
    while (peer && !String_CompareWithoutCase(peer->PeerId, peerId)) peer = peer->Next;
    if (!peer) {
        peer = NewObject<TrackedPeer>();
        CopyText(peer->PeerId, kIdSize, peerId);
        e->Peers.Append(peer);
    }
    (incoming ? peer->Incoming : peer->Outgoing) = up ? 1 : 0;
    if (up && !wasUp) {
        NotificationCenter_AddInstanceObserver(kTypeName, "KeepAlive", e->Header.InstanceId, e, KeepAlive);
        NotificationCenter_FireAfterDelay(kTypeName, "KeepAlive", e->Header.InstanceId,
                                          kNotificationEndPointKeepAliveMs, nullptr);
    } else if (!up && wasUp) {
        NotificationCenter_RemoveInstanceObserver(kTypeName, "KeepAlive", e->Header.InstanceId, e, KeepAlive);
    }
    NotificationEndPoint_Print(e, "Connection Changed - %s - %s - %s", peer->PeerId,
                               incoming ? "Incoming" : "Outgoing", up ? "Connected" : "Disconnected");
    if (peer->Incoming == 1 && peer->Outgoing == 1)
        FireSelf(e, "Connected");
    else if (peer->Incoming == 0 || peer->Outgoing == 0)
        FireSelf(e, "Disconnected");
    return 1;
}

// ---- Reporting ----------------------------------------------------------------------------------

int64_t NotificationEndPoint_VPrint(NotificationEndPoint* endpoint, int32_t indent, const char* format,
                                    va_list args) {
    NotificationEndPoint* e = Checked(endpoint);
    ASSERT_POINTER(format);
    PreparePrint(e);
    return ClassPrint_VPrint(&e->Print, indent, format, args);
}

int64_t NotificationEndPoint_Print(NotificationEndPoint* endpoint, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = NotificationEndPoint_VPrint(endpoint, 0, format, args);
    va_end(args);
    return result;
}

int64_t NotificationEndPoint_PrintTabbed(NotificationEndPoint* endpoint, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = NotificationEndPoint_VPrint(endpoint, indent, format, args);
    va_end(args);
    return result;
}

int64_t NotificationEndPoint_IsVerboseLevel(NotificationEndPoint* endpoint, int32_t level) {
    NotificationEndPoint* e = Checked(endpoint);
    PreparePrint(e);
    return ClassPrint_IsVerboseLevel(&e->Print, level);
}

int64_t NotificationEndPoint_VerboseLog(NotificationEndPoint* endpoint, int32_t level, const char* format, ...) {
    if (!NotificationEndPoint_IsVerboseLevel(endpoint, level)) return 1;
    va_list args;
    va_start(args, format);
    const int64_t result = NotificationEndPoint_VPrint(endpoint, 0, format, args);
    va_end(args);
    return result;
}

int64_t NotificationEndPoint_SetPrintCallback(NotificationEndPoint* endpoint, void* user,
                                              ClassPrintCallback callback) {
    NotificationEndPoint* e = Checked(endpoint);
    PreparePrint(e);
    e->Print.PrintUser = callback ? user : e;
    e->Print.PrintCallback = callback ? callback : NotificationEndPoint_PrintInternal;
    return 1;
}

int64_t NotificationEndPoint_GetPrintCallback(NotificationEndPoint* endpoint, void** user,
                                              ClassPrintCallback* callback) {
    ASSERT_POINTER(user);
    ASSERT_POINTER(callback);
    NotificationEndPoint* e = Checked(endpoint);
    PreparePrint(e);
    *user = e->Print.PrintUser;
    *callback = e->Print.PrintCallback;
    return 1;
}

int64_t NotificationEndPoint_SetPrintIdentifier(NotificationEndPoint* endpoint, const char* text) {
    Checked(endpoint)->Print.Identifier = text;
    return 1;
}

int64_t NotificationEndPoint_SetVerbose(NotificationEndPoint* endpoint, uint32_t verbose) {
    NotificationEndPoint* e = Checked(endpoint);
    PreparePrint(e);
    e->Print.Verbose = (int32_t)verbose;
    return 1;
}

int64_t NotificationEndPoint_GetVerbose(NotificationEndPoint* endpoint, uint32_t* verbose) {
    ASSERT_POINTER(verbose);
    NotificationEndPoint* e = Checked(endpoint);
    PreparePrint(e);
    *verbose = (uint32_t)e->Print.Verbose;
    return 1;
}

int64_t NotificationEndPoint_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}
