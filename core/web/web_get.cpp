// The HTTP client's process-wide state: its life cycle, settings, trust store, error-report
// filter, X-Cache counters and the name tables of error codes, statuses, phases and schemes.
#include "core/web/web_get.h"

#include <cstring>
#include <mutex>

#include "core/certs/authenticate.h"
#include "core/certs/cert_store.h"
#include "core/formats/mime.h"
#include "core/net/tls1.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "core/web/web_get_internal.h"

namespace {

WebGet* GlobalWebGet = nullptr;

// One report per endpoint per hour, whatever the error.
constexpr double kErrorFilterSeconds = 3600.0;

// Keeps a reader of the default store from taking a reference to a store that a concurrent Set
// is releasing.
std::mutex DefaultStoreLock;

struct CodeName {
    int32_t Code;
    const char* Name;
};

constexpr CodeName WebGet_ErrorStringTable[] = {
    {0, "Unknown"},
    {900, "Custom"},
    {950, "Connect"},
    {951, "DNS"},
    {952, "BadTransport"},
    {953, "Socket"},
    {954, "BadByteRange"},
    {955, "ChunkedSize"},
    {956, "UserAbort"},
    {957, "BlockedRedirect"},
    {959, "SizeLimit"},
    {960, "Compression"},
    {961, "Timeout"},
    {962, "Underflow"},
    {963, "Validation"},
    {964, "OS"},
    {965, "ProxyDisabled"},
    {966, "HeaderLimit"},
    {967, "HeaderIncomplete"},
    {968, "ContentEncoding"},
    {969, "Chunked"},
    {970, "Bind"},
    {971, "TLS1"},
    {972, "AuthRequestCancel"},
    {973, "CertRequestCancel"},
    {974, "Reconfigure"},
    {975, "InvalidOffset"},
    {976, "InvalidContent"},
    {977, "UnexpectedLength"},
    {978, "RangeNotSupported"},
    {979, "HashFailure"},
    {980, "ContentLengthLimit"},
    {981, "AuthHeaderNotFound"},
    {982, "AuthNotSupported"},
    {983, "RedirectHeaderNotFound"},
    {984, "RedirectLoopDetected"},
    {985, "RedirectLimit"},
    {986, "HeaderCorrupt"},
    {987, "JSON"},
    {988, "VCDiff"},
    {989, "Storage"},
};

constexpr CodeName WebGet_HTTPCodeStringTable[] = {
    {100, "Continue"},
    {101, "Switching protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-authoritative information"},
    {204, "No content"},
    {205, "Reset content"},
    {206, "Partial content"},
    {300, "Multiple choices"},
    {301, "Moved permanently"},
    {302, "Moved temporarily"},
    {303, "See other"},
    {304, "Not modified"},
    {305, "Use proxy"},
    {306, "Unused"},
    {307, "Temporary redirect"},
    {400, "Bad request"},
    {401, "Authorization required"},
    {402, "Payment required"},
    {403, "Forbidden"},
    {404, "Object not found"},
    {405, "Method not allowed"},
    {406, "Not acceptable"},
    {407, "Proxy authorization required"},
    {408, "Request timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length required"},
    {412, "Precondition failed"},
    {413, "Request entity too large"},
    {414, "Request-URI too long"},
    {415, "Unsupported media type"},
    {416, "Requested range not satisfiable"},
    {417, "Expectation failed"},
    {500, "Internal server error"},
    {501, "Not implemented"},
    {502, "Bad gateway"},
    {503, "Service unavailable"},
    {504, "Gateway timeout"},
    {505, "HTTP version not supported"},
    {950, "Unable to connect"},
    {951, "No DNS entry found for host"},
    {952, "Unable to establish transport"},
    {953, "Socket error"},
    {954, "Byte range failure"},
    {955, "Invalid chunk size"},
    {956, "User abort"},
    {957, "Blocked redirection"},
    {959, "Exceeded size limit"},
    {960, "Error decompressing content"},
    {961, "Timeout on I/O"},
    {962, "Underflow"},
    {963, "Failed validation"},
    {964, "OS error"},
    {965, "Proxy disabled"},
    {966, "Exceeded header size limit"},
    {967, "Incomplete header"},
    {968, "Unsupported content encoding"},
    {969, "Error unchunking content"},
    {970, "Binding error"},
    {971, "TLS1 error"},
    {972, "Authentication request cancelled"},
    {973, "Client certificate request cancelled"},
    {974, "Reconfigure request"},
    {975, "Invalid offset/length"},
    {976, "Invalid content"},
    {977, "Unexpected content length"},
    {978, "Range requests not supported"},
    {979, "Hash failure"},
    {980, "Exceeded content length limit"},
    {981, "Authentication header not found"},
    {982, "Unsupported authentication scheme"},
    {983, "Redirection header not found"},
    {984, "Redirection loop detected"},
    {985, "Exceeded redirection limit"},
    {986, "Header corrupt"},
    {987, "JSON error"},
    {988, "Error deflating vcdiff content"},
    {989, "Storage"},
    {990, "Request incomplete"},
    {991, "Retry"},
    {992, "XML error"},
    {993, "YAML error"},
    {0, "Unknown"},
};

constexpr CodeName WebGet_RequestTypeStringTable[] = {
    {0, "Unknown"}, {1, "Get"},     {2, "Post"},  {3, "Put"},     {4, "Delete"},
    {5, "Head"},    {6, "Options"}, {7, "Trace"}, {8, "Connect"},
};

constexpr CodeName WebGet_PhaseStringTable[] = {
    {0, "Idle"},       {2, "Lookup"},       {3, "LookupNextProxy"},
    {4, "Connect"},    {5, "MethodConnect"}, {6, "Request"},
    {7, "PostBuffer"}, {8, "Handshake"},    {9, "ClientCertificateRequest"},
    {10, "Header"},    {11, "Authenticate"}, {12, "Body"},
    {13, "Cleanup"},   {14, "Done"},
};

struct FlagName {
    uint32_t Bit;
    const char* Name;
};

constexpr FlagName WebGet_AuthenticationFlagStringTable[] = {
    {0x1000, ""}, {0x2000, "Basic"}, {0x4000, "Digest"}, {0x8000, "NTLM"}, {0x10000, "Negotiate"},
};

template <size_t N> const char* Find(const CodeName (&table)[N], int32_t code, const char* missing) {
    for (const CodeName& row : table)
        if (row.Code == code) return row.Name;
    return missing;
}

WebGet* Checked() {
    WEBGET_CHECK(GlobalWebGet);
    return GlobalWebGet;
}

} // namespace

WebGet* WebGet_State() { return GlobalWebGet; }

int64_t WebGet_IsStarted() { return GlobalWebGet != nullptr; }

int64_t WebGet_Init() {
    ASSERT_MSG(GlobalWebGet == NULL, "WebGet already initialized");
    WebGet* state = new (Memory_AllocZero(sizeof(WebGet))) WebGet();
    state->ClassId = WEBGET_CLASS_ID;
    int32_t level = 0;
    Log_GetVerboseLevel("WebGet", &level);
    state->Verbose = level > 0;

    CertStoreInterface* app = Authenticate_CertStoreGet("app");
    {
        std::lock_guard<std::mutex> guard(DefaultStoreLock);
        state->DefaultStore = app;
    }

    CriticalSection_Create(&state->RuleLock);
    CriticalSection_Create(&state->ErrorFilterLock);
    CriticalSection_Create(&state->XCacheLock);
    Pool_Create(&state->ErrorFilterPool);
    Pool_SetMemorySize(state->ErrorFilterPool, sizeof(WebGetErrorFilterEntry));
    Pool_SetChunkSize(state->ErrorFilterPool, 10);
    WebGet_RedirectInitState(state);

    Dictionary_Create(&state->Macros);
    Dictionary_SetAllowDuplicates(state->Macros, 0);
    // Macro names and host patterns are taken as written: a leading "#" or "." is no private mark.
    Dictionary_SetPrivateKeys(state->Macros, 0);
    Dictionary_Create(&state->Whitelist);
    Dictionary_SetAllowDuplicates(state->Whitelist, 0);
    Dictionary_SetPrivateKeys(state->Whitelist, 0);
    Dictionary_Create(&state->XCache);
    Dictionary_SetPrintIdentifier(state->XCache, "XCache");
    Dictionary_SetAllowDuplicates(state->XCache, 0);

    state->AllowAuthentication = 1;
    GlobalWebGet = state;

    TLS1_Init();
    MIME_Init();

    String_CopyLength(state->SystemAgent,
                      "(compatible; {SystemName} {SystemVersion}; {UserISO639LangName}-{UserISO3166CountryName})",
                      WEBGET_AGENT_SIZE);
    String_Expand(state->SystemAgent, WEBGET_AGENT_SIZE, nullptr, nullptr);
    String_Print(state->UserAgent, WEBGET_AGENT_SIZE, "Mozilla/4.0 %s", state->SystemAgent);

    NotificationCenter_AddObserver("WebGet", "RedirectChanged", state, Notification_OnWebGetRedirectChanged);
    return 1;
}

int64_t WebGet_Remove() {
    WebGet* state = Checked();
    NotificationCenter_RemoveObserver("WebGet", "RedirectChanged", state, Notification_OnWebGetRedirectChanged);
    CertStoreInterface* store = nullptr;
    {
        std::lock_guard<std::mutex> guard(DefaultStoreLock);
        store = state->DefaultStore;
        state->DefaultStore = nullptr;
    }
    if (store) CertStoreInterface_Release(&store);
    MIME_Remove();
    TLS1_Remove();
    WebGet_RedirectClearAll();
    {
        CriticalSectionGuard guard(state->ErrorFilterLock);
        while (WebGetErrorFilterEntry* entry = state->ErrorFilter.First) {
            state->ErrorFilter.First = entry->Next;
            Pool_Free(state->ErrorFilterPool, &entry, sizeof(WebGetErrorFilterEntry));
        }
        state->ErrorFilter = {};
    }
    CriticalSection_Delete(&state->ErrorFilterLock);
    CriticalSection_Delete(&state->XCacheLock);
    Dictionary_Release(&state->Whitelist);
    Dictionary_Release(&state->XCache);
    // The rule pool is empty by now: WebGet_RedirectClearAll returned every rule to it.
    WebGet_RedirectRemoveState(state);
    Dictionary_Release(&state->Macros);
    CriticalSection_Delete(&state->RuleLock);
    Pool_Delete(&state->ErrorFilterPool);
    GlobalWebGet = nullptr;
    state->~WebGet();
    Memory_Free(state, sizeof(WebGet));
    return 1;
}

// ---- Settings -------------------------------------------------------------------------------

int64_t WebGet_SetUserAgent(const char* text) {
    WebGet* state = Checked();
    ASSERT_POINTER(text);
    String_CopyLength(state->UserAgent, text, WEBGET_AGENT_SIZE);
    return 1;
}

int64_t WebGet_GetUserAgent(char* buffer, int32_t capacity) {
    WebGet* state = Checked();
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, state->UserAgent, capacity);
    return 1;
}

int64_t WebGet_GetSystemAgent(char* buffer, int32_t capacity) {
    WebGet* state = Checked();
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, state->SystemAgent, capacity);
    return 1;
}

int64_t WebGet_SetDefaultTimeout(int32_t seconds) {
    Checked()->DefaultTimeout = seconds;
    return 1;
}

int64_t WebGet_GetDefaultTimeout(int32_t* seconds) {
    ASSERT_POINTER(seconds);
    const WebGet* state = GlobalWebGet;
    *seconds = state && state->DefaultTimeout > 0 ? state->DefaultTimeout : WEBGET_DEFAULT_TIMEOUT;
    return 1;
}

int64_t WebGet_SetAllowAuthentication(uint32_t flag) {
    Checked()->AllowAuthentication = flag;
    return 1;
}

int64_t WebGet_GetAllowAuthentication(uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = GlobalWebGet ? GlobalWebGet->AllowAuthentication : 0;
    return 1;
}

int64_t WebGet_CertStoreSetDefaultHandle(CertStoreInterface* store) {
    WebGet* state = GlobalWebGet;
    if (!state) return 0;
    CertStoreInterface* added = store ? CertStoreInterface_AddRef(store) : nullptr;
    CertStoreInterface* old = nullptr;
    {
        std::lock_guard<std::mutex> guard(DefaultStoreLock);
        old = state->DefaultStore;
        state->DefaultStore = added;
    }
    if (old) CertStoreInterface_Release(&old);
    return 1;
}

// While no store is held (no state, or the store was dropped) connections verify against the
// "app" store rather than against nothing.
CertStoreInterface* WebGet_CertStoreGetDefaultHandle() {
    {
        std::lock_guard<std::mutex> guard(DefaultStoreLock);
        if (GlobalWebGet && GlobalWebGet->DefaultStore) return CertStoreInterface_AddRef(GlobalWebGet->DefaultStore);
    }
    return Authenticate_CertStoreGet("app");
}

// ---- Error filter ---------------------------------------------------------------------------

int64_t WebGet_ErrorFilterAt(const uint32_t* address, uint32_t port, double now) {
    WebGet* state = GlobalWebGet;
    if (!state || !address) return 0;
    CriticalSectionGuard guard(state->ErrorFilterLock);
    for (WebGetErrorFilterEntry* entry = state->ErrorFilter.First; entry; entry = entry->Next) {
        if (entry->Address != *address || entry->Port != port) continue;
        if (now < entry->NextAllowed) return 0;
        entry->NextAllowed = now + kErrorFilterSeconds;
        return 1;
    }
    auto* entry = static_cast<WebGetErrorFilterEntry*>(Pool_Alloc(state->ErrorFilterPool, sizeof(WebGetErrorFilterEntry)));
    memset(entry, 0, sizeof(*entry));
    entry->Address = *address;
    entry->Port = port;
    entry->NextAllowed = now + kErrorFilterSeconds;
    entry->Prev = state->ErrorFilter.Last;
    if (state->ErrorFilter.Last)
        state->ErrorFilter.Last->Next = entry;
    else
        state->ErrorFilter.First = entry;
    state->ErrorFilter.Last = entry;
    state->ErrorFilter.Count++;
    return 1;
}

int64_t WebGet_ErrorFilter(const uint32_t* address, uint32_t port) {
    return WebGet_ErrorFilterAt(address, port, Time_GetCurrent());
}

// ---- X-Cache --------------------------------------------------------------------------------

int64_t WebGet_XCacheTrack(const char* host, const char* server, const char* verdict) {
    WebGet* state = Checked();
    ASSERT_POINTER(host);
    ASSERT_POINTER(server);
    ASSERT_POINTER(verdict);
    CriticalSectionGuard guard(state->XCacheLock);
    Dictionary* hostDict = nullptr;
    Dictionary* serverDict = nullptr;
    if (!Dictionary_EnsureDictionary(state->XCache, host, nullptr, &hostDict) || !hostDict) return 1;
    if (!Dictionary_EnsureDictionary(hostDict, server, nullptr, &serverDict) || !serverDict) return 1;
    int32_t count = 0;
    Dictionary_GetInt32ByKey(serverDict, verdict, &count);
    Dictionary_SetInt32ByKey(serverDict, verdict, count + 1);
    return 1;
}

int64_t WebGet_XCacheLockDictionaryHandle(Dictionary** tree) {
    ASSERT_POINTER(tree);
    *tree = nullptr;
    WebGet* state = Checked();
    CriticalSection_Lock(state->XCacheLock);
    Dictionary_AddRef(state->XCache);
    *tree = state->XCache;
    return 1;
}

int64_t WebGet_XCacheUnlockDictionaryHandle(Dictionary** tree) {
    ASSERT_POINTER(tree);
    WebGet* state = Checked();
    Dictionary_Release(tree);
    CriticalSection_Unlock(state->XCacheLock);
    return 1;
}

// ---- Names and texts ------------------------------------------------------------------------

const char* WebGet_TranslateError(int32_t code) { return Find(WebGet_ErrorStringTable, code, "Unknown"); }

const char* WebGet_TranslateHTTPCode(int32_t code) { return Find(WebGet_HTTPCodeStringTable, code, "Unknown"); }

const char* WebGet_TranslateRequestType(int32_t type) {
    return Find(WebGet_RequestTypeStringTable, type, "Unknown");
}

const char* WebGet_TranslatePhase(int32_t phase) { return Find(WebGet_PhaseStringTable, phase, "Idle"); }

int64_t WebGet_GetAuthenticationFlagString(uint32_t flags, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 1;
    buffer[0] = 0;
    bool first = true;
    for (const FlagName& row : WebGet_AuthenticationFlagStringTable) {
        if (!(flags & row.Bit)) continue;
        if (!first) String_CatLength(buffer, ", ", capacity);
        String_CatLength(buffer, row.Name, capacity);
        first = false;
    }
    return 1;
}
