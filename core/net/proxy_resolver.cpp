// Proxy discovery and lookup: the auto-config thread looks once for a PAC script (switches, the
// system's URL, DHCP, DNS "wpad" names); lookups answer from the switch, the script or the system.
#include "core/net/proxy_resolver.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "core/formats/url.h"
#include "core/linux/platform_network.h"
#include "core/net/dns.h"
#include "core/net/socket.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/class.h"
#include "core/runtime/command_line.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_request.h"

struct ProxyResolver {
    Class Header;
    Thread* AutoConfigThread;
    std::atomic<uint32_t> Done;
    MemoryStream* Script;
    // Set by Remove before it joins: every wait of the thread checks it.
    std::atomic<uint32_t> Exit;
};

namespace {

constexpr uint32_t kDnsPort = 53;
constexpr uint32_t kDnsReadTimeoutMs = 500;
constexpr uint32_t kDnsConnectTimeoutMs = 2000;
constexpr uint16_t kQueryAny = 255;
// Datagrams read while waiting for the answer to one query: the server's socket cannot keep a
// query open with a stream of wrong answers.
constexpr int32_t kDnsReadsMax = 16;
// A script fetch that has not finished in this time has failed.
constexpr double kFetchLimitSeconds = 30.0;
constexpr int32_t kHostNameMax = 120;

std::atomic<ProxyResolver*> GlobalProxyResolver{nullptr};

std::mutex g_overrideLock;
bool g_hasOverride = false;
ProxyResolverDiscovery g_override{};

bool ExitAsked() {
    ProxyResolver* resolver = GlobalProxyResolver.load();
    return resolver && resolver->Exit.load();
}

bool Discovery(ProxyResolverDiscovery* out) {
    std::lock_guard<std::mutex> hold(g_overrideLock);
    if (g_hasOverride) *out = g_override;
    return g_hasOverride;
}

void StoreScript(const uint8_t* body, uint32_t length) {
    ProxyResolver* resolver = GlobalProxyResolver.load();
    if (!resolver || !resolver->Script) return;
    MemoryStream_DiscardAll(resolver->Script);
    MemoryStream_Seek(resolver->Script, 0, SEEK_ORIGIN_BEGIN);
    MemoryStream_Size(resolver->Script, (int32_t)length + 1, 0, 0);
    uint32_t written = 0;
    MemoryStream_Write(resolver->Script, body, length, &written);
    const uint8_t end = 0;
    MemoryStream_Write(resolver->Script, &end, 1, &written);
}

// Drives the connection on this thread until the request is done, the exit is asked or the time
// runs out; a blocking wait would hold the thread past Remove.
bool WaitForFetch(WebGetConnection* connection, WebGetRequest* request) {
    WebGetConnection_SetThreadId(connection, Thread_GetCurrentId());
    const double deadline = Time_GetCurrent() + kFetchLimitSeconds;
    WebGetConnection_Process(connection);
    while (!WebGetRequest_IsDone(request)) {
        if (ExitAsked() || Time_GetCurrent() > deadline) return false;
        if (EventQueue* queue = Thread_GetCurrentEventQueueHandle()) {
            EventQueue_Flush(queue);
            EventQueue_Release(&queue);
        }
        if (WebGetRequest_IsDone(request)) break;
        Thread_Wait(10);
        WebGetConnection_Process(connection);
    }
    return WebGetRequest_IsOk(request) != 0;
}

int64_t FetchForWalk(void*, const char* url, const char* label) {
    return ProxyResolver_RetrieveWPadFromURL(url, label);
}

bool HasDot(const char* text) {
    return strchr(text, '.') != nullptr;
}

// The thread's steps; each returns when the thread should finish.
void AutoConfig() {
    char value[PROXY_RESOLVER_URL_SIZE] = "";
    if (CommandLine_GetFieldByName(nullptr, "proxy", value, PROXY_RESOLVER_SWITCH_SIZE)) {
        Log_Debug("Internet proxy set using the command line\n");
        return;
    }
    if (CommandLine_GetFieldByName(nullptr, "proxy-wpad", value, sizeof(value))) {
        ProxyResolver_RetrieveWPadFromURL(value, "Command Line");
        return;
    }
    if (Platform_ProxyGetWpadURL(value, sizeof(value)) && value[0] && ProxyResolver_RetrieveWPadFromURL(value, "System"))
        return;
    uint32_t autoDetect = 0;
    Platform_ProxyGetAutoDetect(&autoDetect);
    if (!autoDetect) return;
    Log_Debug("Internet proxy set to auto-detect\n");

    ProxyResolverDiscovery discovery{};
    const bool overridden = Discovery(&discovery);
    // DHCP: the first adapter that gives a URL decides; a failed fetch ends the walk.
    for (int32_t index = 0; !ExitAsked(); index++) {
        PlatformAdapterInfo adapter;
        if (!Socket_AdapterGetByIndex(index, &adapter)) break;
        const bool eligible = (overridden && discovery.AnyAdapter) || (adapter.Up && adapter.Valid && adapter.TypeBit);
        if (!eligible) continue;
        if (Platform_ProxyGetWpadURLFromDHCP(&adapter, value, sizeof(value)) && value[0]) {
            if (ProxyResolver_RetrieveWPadFromURL(value, "DHCP")) return;
            break;
        }
    }
    if (ExitAsked()) return;

    // DNS: wpad.<host name>, then shorter by one label while a dot is left.
    uint32_t servers[2] = {0, 0};
    char first[64] = "", second[64] = "";
    char host[SOCKET_MACHINE_NAME_SIZE] = "";
    if (overridden) {
        String_CopyLength(first, discovery.FirstServer, sizeof(first));
        String_CopyLength(second, discovery.SecondServer, sizeof(second));
        String_CopyLength(host, discovery.HostName, sizeof(host));
    } else {
        Platform_GetDNS(first, sizeof(first), second, sizeof(second));
        Socket_GetLocalMachineName(host, sizeof(host));
    }
    if (first[0]) String_ConvertToIP(first, &servers[0], nullptr);
    if (second[0]) String_ConvertToIP(second, &servers[1], nullptr);
    if (!host[0] || !HasDot(host)) return;
    const char* rest = host;
    for (;;) {
        char name[kHostNameMax + 1];
        String_Print(name, sizeof(name), "wpad.%s", rest);
        if (ProxyResolver_RetrieveWPadFromDNS(&servers[0], name)) return;
        if (ExitAsked()) return;
        if (ProxyResolver_RetrieveWPadFromDNS(&servers[1], name)) return;
        if (ExitAsked() || !HasDot(rest)) return;
        rest = strchr(rest, '.') + 1;
        if (!HasDot(rest)) return;
    }
}

} // namespace

uint32_t ProxyResolver_AutoConfigThread(void* parameter) {
    ProxyResolver* resolver = static_cast<ProxyResolver*>(parameter);
    AutoConfig();
    resolver->Done.store(1);
    return 0;
}

int64_t ProxyResolver_SetDiscoveryOverride(const ProxyResolverDiscovery* discovery) {
    std::lock_guard<std::mutex> hold(g_overrideLock);
    g_hasOverride = discovery != nullptr;
    if (discovery) g_override = *discovery;
    return 1;
}

int64_t ProxyResolver_Init() {
    if (GlobalProxyResolver.load()) return 1;
    ProxyResolver* resolver = static_cast<ProxyResolver*>(Memory_AllocZero(sizeof(ProxyResolver)));
    resolver->Header.ClassId = PROXY_RESOLVER_CLASS_ID;
    resolver->Header.RefCount = 1;
    if (!MemoryStream_Create(&resolver->Script)) {
        Memory_Free(resolver, sizeof(ProxyResolver));
        return 0;
    }
    GlobalProxyResolver.store(resolver);
    if (!Thread_Begin(&resolver->AutoConfigThread, resolver, ProxyResolver_AutoConfigThread)) {
        GlobalProxyResolver.store(nullptr);
        MemoryStream_Release(&resolver->Script);
        Memory_Free(resolver, sizeof(ProxyResolver));
        return 0;
    }
    Platform_ProxyGetForURLOverride(ProxyResolver_GetProxyForURL);
    return 1;
}

int64_t ProxyResolver_Remove() {
    ProxyResolver* resolver = GlobalProxyResolver.load();
    if (!resolver) return 1;
    CLASS_CHECK(resolver, PROXY_RESOLVER_CLASS_ID);
    Platform_ProxyGetForURLOverride(nullptr);
    resolver->Exit.store(1);
    if (resolver->AutoConfigThread) {
        Thread_SignalExit(Thread_GetId(resolver->AutoConfigThread));
        Thread_Join(-1, &resolver->AutoConfigThread);
    }
    GlobalProxyResolver.store(nullptr);
    MemoryStream_Release(&resolver->Script);
    Memory_Free(resolver, sizeof(ProxyResolver));
    return 1;
}

int64_t ProxyResolver_GetProxyForURL(const char* url, char* list, int32_t size, int32_t* pending) {
    ASSERT_POINTER(pending);
    *pending = 0;
    ASSERT_POINTER(list);
    if (size > 0) list[0] = 0;
    ProxyResolver* resolver = GlobalProxyResolver.load();
    if (!resolver || !url || size < 1) return 1;
    CLASS_CHECK(resolver, PROXY_RESOLVER_CLASS_ID);
    uint32_t finished = 1;
    if (!resolver->Done.compare_exchange_strong(finished, 1)) {
        *pending = 1;
        return 1;
    }
    char value[PROXY_RESOLVER_SWITCH_SIZE] = "";
    if (CommandLine_GetFieldByName(nullptr, "proxy", value, sizeof(value))) {
        String_CopyLength(list, value, size);
        for (char* at = list; *at; at++)
            if (*at == ',') *at = ';';
        return 1;
    }
    if (MemoryStream_GetUsed(resolver->Script) > 0) {
        uint8_t* script = nullptr;
        if (MemoryStream_GetPointer(resolver->Script, &script) && script) {
            const int64_t answered = Platform_ProxyGetForURLWithScript(
                reinterpret_cast<const char*>(script), MemoryStream_GetUsed(resolver->Script), url, list, size);
            MemoryStream_ReleasePointer(resolver->Script, &script);
            if (answered) return 1;
        }
    }
    Platform_ProxyGetByProtocol(URL_CompareProtocol(url, "https") ? "https" : "http", list, size);
    return 1;
}

int64_t ProxyResolver_RetrieveWPadFromURL(const char* url, const char* label) {
    if (!url || !url[0]) return 0;
    WebGetRequest* request = nullptr;
    WebGetConnection* connection = nullptr;
    if (!WebGetRequest_Create(&request)) return 0;
    if (!WebGetConnection_Create(&connection)) {
        WebGetRequest_Release(&request);
        return 0;
    }
    WebGetRequest_SetURL(request, url);
    WebGetRequest_SetRequireAuthorization(request, 0);
    WebGetRequest_SetLimitBodySize(request, PROXY_RESOLVER_SCRIPT_MAX);
    WebGetConnection_SetAllowProxy(connection, 0);
    WebGetConnection_SetAllowProxyLoopback(connection, 0);
    WebGetConnection_SetAllowAuthentication(connection, 0);
    WebGetConnection_RequestAdd(connection, request);
    Log_Debug("Retrieving wpad script from url - %s (%s)\n", url, label ? label : "");
    int64_t result = 0;
    if (WaitForFetch(connection, request)) {
        uint8_t* body = nullptr;
        uint32_t length = 0;
        if (WebGetRequest_GetBufferPtr(request, &body, &length) && length <= PROXY_RESOLVER_SCRIPT_MAX) {
            Log_Debug("Internet proxy retrieved wpad from url (%s)\n", url);
            StoreScript(body, length);
            int32_t level = 0;
            if (Log_GetVerboseLevel("ProxyResolver", &level) && level >= 7) Log_PrintBinary(1, 1, body, (int32_t)length);
            result = 1;
        }
    }
    WebGetConnection_Close(connection);
    WebGetRequest_Release(&request);
    WebGetConnection_Release(&connection);
    return result;
}

int64_t ProxyResolver_WalkWPadAnswer(const uint8_t* message, int32_t length, const char* name,
                                     ProxyResolverFetchFunc fetch, void* user) {
    if (!message || length < 1 || !name || !fetch) return 0;
    DNS* dns = nullptr;
    if (!DNS_Create(&dns)) return 0;
    int64_t result = 0;
    DNSResource* record = nullptr;
    if (DNS_Decode(dns, message, length) && DNS_HeaderGetANCount(dns) > 0) {
        for (DNS_AnswerGetFirst(dns, &record); record && !ExitAsked(); DNS_AnswerGetNext(dns, record, &record)) {
            const uint16_t type = DNS_ResourceGetType(dns, record);
            char text[PROXY_RESOLVER_DNS_TEXT_MAX + 1] = "";
            DNS_ResourceGetString(dns, record, text, sizeof(text));
            char url[PROXY_RESOLVER_URL_SIZE] = "";
            if (type == DNS_TYPE_A || type == DNS_TYPE_CNAME) {
                // The record's own address is not used: the script lives at the name asked for.
                String_Print(url, sizeof(url), "http://%s/wpad.dat", name);
            } else if (type == DNS_TYPE_TXT) {
                const char* service = nullptr;
                const char* wpad = nullptr;
                if (String_FindStringWithoutCase(text, "service:", &service) && service &&
                    String_FindStringWithoutCase(service + 8, "wpad:", &wpad) && wpad) {
                    const char* at = wpad + 5;
                    while (*at == '!') at++;
                    String_CopyLength(url, at, sizeof(url));
                }
            }
            if (!url[0]) continue;
            result = fetch(user, url, "DNS");
            if (result) break;
        }
    }
    DNS_Release(&dns);
    return result;
}

int64_t ProxyResolver_RetrieveWPadFromDNS(const uint32_t* server, const char* name) {
    if (!server || !*server || !name || !name[0]) return 0;
    ProxyResolverDiscovery discovery{};
    const uint32_t port = Discovery(&discovery) && discovery.Port ? discovery.Port : kDnsPort;
    Socket* socket = nullptr;
    if (!Socket_Create(&socket)) return 0;
    uint8_t buffer[PROXY_RESOLVER_DNS_BUFFER] = {};
    int32_t received = 0;
    bool answered = false;
    if (Socket_Open(socket, SOCKET_PROTOCOL_UDP)) {
        Socket_SetBlocking(socket, 1);
        Socket_SetTimeout(socket, kDnsReadTimeoutMs, kDnsConnectTimeoutMs, kDnsConnectTimeoutMs);
        DNS* dns = nullptr;
        int32_t length = 0;
        DNSQuestion* question = nullptr;
        const bool built = Socket_Connect(socket, server, port) && DNS_Create(&dns) && DNS_HeaderSetRD(dns, 1) &&
                           DNS_QuestionAdd(dns, &question) && DNS_QuestionSetName(dns, question, name) &&
                           DNS_QuestionSetType(dns, question, kQueryAny) &&
                           DNS_QuestionSetClass(dns, question, kQueryAny) &&
                           DNS_Encode(dns, buffer, sizeof(buffer), &length);
        if (dns) DNS_Release(&dns);
        uint32_t count = 0;
        const uint8_t id[2] = {buffer[0], buffer[1]};
        if (built && !ExitAsked() && Socket_Write(socket, buffer, (uint32_t)length, &count) &&
            count == (uint32_t)length) {
            // Only a response under the query's ID answers it; any other datagram (another ID, a
            // query) is dropped and the wait goes on, within the one read time-out.
            const double deadline = Time_GetCurrent() + kDnsReadTimeoutMs / 1000.0;
            for (int32_t tries = 0; tries < kDnsReadsMax && !ExitAsked(); tries++) {
                uint32_t got = 0;
                if (!Socket_Read(socket, buffer, sizeof(buffer), &got)) break;
                if (got >= 3 && buffer[0] == id[0] && buffer[1] == id[1] && (buffer[2] & 0x80)) {
                    received = (int32_t)got;
                    answered = true;
                    break;
                }
                if (Time_GetCurrent() >= deadline) break;
            }
        }
        Socket_Close(socket);
    }
    Socket_Release(&socket);
    if (!answered) return 0;
    return ProxyResolver_WalkWPadAnswer(buffer, received, name, FetchForWalk, nullptr);
}
