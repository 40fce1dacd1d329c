// The HTTP client's process-wide state: user agent, time-out, trust store, the connection-error
// report filter, X-Cache counters, and the names and texts of every web error code.
#pragma once

#include <cstdint>

struct CertStoreInterface;
struct Dictionary;

enum : uint32_t { WEBGET_CLASS_ID = 0x189f2056 };

// Error codes of the web client, stored and reported by requests, connections, loaders, the web
// server, tasks and script classes. HTTP status codes (100..505) share the text table.
enum : int32_t {
    WEBGET_ERROR_UNKNOWN = 0,
    WEBGET_ERROR_CUSTOM = 900,
    WEBGET_ERROR_CONNECT = 950,
    WEBGET_ERROR_DNS = 951,
    WEBGET_ERROR_BAD_TRANSPORT = 952,
    WEBGET_ERROR_SOCKET = 953,
    WEBGET_ERROR_BAD_BYTE_RANGE = 954,
    WEBGET_ERROR_CHUNKED_SIZE = 955,
    WEBGET_ERROR_USER_ABORT = 956,
    WEBGET_ERROR_BLOCKED_REDIRECT = 957,
    WEBGET_ERROR_SIZE_LIMIT = 959,
    WEBGET_ERROR_COMPRESSION = 960,
    WEBGET_ERROR_TIMEOUT = 961,
    WEBGET_ERROR_UNDERFLOW = 962,
    WEBGET_ERROR_VALIDATION = 963,
    WEBGET_ERROR_OS = 964,
    WEBGET_ERROR_PROXY_DISABLED = 965,
    WEBGET_ERROR_HEADER_LIMIT = 966,
    WEBGET_ERROR_HEADER_INCOMPLETE = 967,
    WEBGET_ERROR_CONTENT_ENCODING = 968,
    WEBGET_ERROR_CHUNKED = 969,
    WEBGET_ERROR_BIND = 970,
    WEBGET_ERROR_TLS1 = 971,
    WEBGET_ERROR_AUTH_REQUEST_CANCEL = 972,
    WEBGET_ERROR_CERT_REQUEST_CANCEL = 973,
    WEBGET_ERROR_RECONFIGURE = 974,
    WEBGET_ERROR_INVALID_OFFSET = 975,
    WEBGET_ERROR_INVALID_CONTENT = 976,
    WEBGET_ERROR_UNEXPECTED_LENGTH = 977,
    WEBGET_ERROR_RANGE_NOT_SUPPORTED = 978,
    WEBGET_ERROR_HASH_FAILURE = 979,
    WEBGET_ERROR_CONTENT_LENGTH_LIMIT = 980,
    WEBGET_ERROR_AUTH_HEADER_NOT_FOUND = 981,
    WEBGET_ERROR_AUTH_NOT_SUPPORTED = 982,
    WEBGET_ERROR_REDIRECT_HEADER_NOT_FOUND = 983,
    WEBGET_ERROR_REDIRECT_LOOP_DETECTED = 984,
    WEBGET_ERROR_REDIRECT_LIMIT = 985,
    WEBGET_ERROR_HEADER_CORRUPT = 986,
    WEBGET_ERROR_JSON = 987,
    WEBGET_ERROR_VCDIFF = 988,
    WEBGET_ERROR_STORAGE = 989,
    WEBGET_ERROR_REQUEST_INCOMPLETE = 990,
    WEBGET_ERROR_RETRY = 991,
    WEBGET_ERROR_XML = 992,
    WEBGET_ERROR_YAML = 993,
};

// Request types; the request line prints the name in upper case ("GET").
enum : int32_t {
    WEBGET_REQUEST_TYPE_UNKNOWN = 0,
    WEBGET_REQUEST_TYPE_GET = 1,
    WEBGET_REQUEST_TYPE_POST = 2,
    WEBGET_REQUEST_TYPE_PUT = 3,
    WEBGET_REQUEST_TYPE_DELETE = 4,
    WEBGET_REQUEST_TYPE_HEAD = 5,
    WEBGET_REQUEST_TYPE_OPTIONS = 6,
    WEBGET_REQUEST_TYPE_TRACE = 7,
    WEBGET_REQUEST_TYPE_CONNECT = 8,
};

// Phases of a request on a connection. Start has no name of its own (it reads as "Idle").
enum : int32_t {
    WEBGET_PHASE_IDLE = 0,
    WEBGET_PHASE_START = 1,
    WEBGET_PHASE_LOOKUP = 2,
    WEBGET_PHASE_LOOKUP_NEXT_PROXY = 3,
    WEBGET_PHASE_CONNECT = 4,
    WEBGET_PHASE_METHOD_CONNECT = 5,
    WEBGET_PHASE_REQUEST = 6,
    WEBGET_PHASE_POST_BUFFER = 7,
    WEBGET_PHASE_HANDSHAKE = 8,
    WEBGET_PHASE_CLIENT_CERTIFICATE_REQUEST = 9,
    WEBGET_PHASE_HEADER = 10,
    WEBGET_PHASE_AUTHENTICATE = 11,
    WEBGET_PHASE_BODY = 12,
    WEBGET_PHASE_CLEANUP = 13,
    WEBGET_PHASE_DONE = 14,
};

// Authentication flag bits; the proxy bit has an empty name.
enum : uint32_t {
    WEBGET_AUTH_PROXY = 0x1000,
    WEBGET_AUTH_BASIC = 0x2000,
    WEBGET_AUTH_DIGEST = 0x4000,
    WEBGET_AUTH_NTLM = 0x8000,
    WEBGET_AUTH_NEGOTIATE = 0x10000,
};

enum : int32_t {
    WEBGET_AGENT_SIZE = 320,        // user agent and system agent, terminator included
    WEBGET_DEFAULT_TIMEOUT = 15,    // seconds, when none (or 0 or less) is set
};

// ---- Life cycle ------------------------------------------------------------------------------
// Init creates the state (a second Init stops the process); Remove tears it down (without state
// it stops the process). The notification centre must be running: Init observes
// "WebGet"/"RedirectChanged".
int64_t WebGet_Init();
int64_t WebGet_Remove();
// 1 between WebGet_Init and WebGet_Remove.
int64_t WebGet_IsStarted();

// ---- Settings (state required unless stated) -----------------------------------------------
int64_t WebGet_SetUserAgent(const char* text);
int64_t WebGet_GetUserAgent(char* buffer, int32_t capacity);
int64_t WebGet_GetSystemAgent(char* buffer, int32_t capacity);
int64_t WebGet_SetDefaultTimeout(int32_t seconds);
// The stored time-out when above 0, else 15; 15 also without state.
int64_t WebGet_GetDefaultTimeout(int32_t* seconds);
int64_t WebGet_SetAllowAuthentication(uint32_t flag);
// 0 without state.
int64_t WebGet_GetAllowAuthentication(uint32_t* flag);

// The default trust store ("app" after WebGet_Init). Set releases the held store and holds a new
// reference to the given one (null leaves none); 0 without state. Get answers a new reference to
// the held store, or while none is held (or without state) to the authentication service's "app"
// store, so that a connection never verifies against nothing. The caller gives the reference back
// with CertStoreInterface_Release.
int64_t WebGet_CertStoreSetDefaultHandle(CertStoreInterface* store);
CertStoreInterface* WebGet_CertStoreGetDefaultHandle();

// 1 when a connection error to this endpoint may be reported now: once per endpoint per hour,
// whatever the error. 0 without state.
int64_t WebGet_ErrorFilter(const uint32_t* address, uint32_t port);

// X-Cache counters: host / server / verdict -> count. Lock hands out a new reference to the tree
// and holds the X-Cache lock until Unlock releases both.
int64_t WebGet_XCacheTrack(const char* host, const char* server, const char* verdict);
int64_t WebGet_XCacheLockDictionaryHandle(Dictionary** tree);
int64_t WebGet_XCacheUnlockDictionaryHandle(Dictionary** tree);

// ---- Names and texts (constant texts; "Unknown" when not found, "Idle" for a phase) --------
const char* WebGet_TranslateError(int32_t code);
const char* WebGet_TranslateHTTPCode(int32_t code);
const char* WebGet_TranslateRequestType(int32_t type);
const char* WebGet_TranslatePhase(int32_t phase);
// The names of the set bits joined by ", " (empty when none); 1.
int64_t WebGet_GetAuthenticationFlagString(uint32_t flags, char* buffer, int32_t capacity);

// ---- URL authorisation -----------------------------------------------------------------------
// Answers WebGet_Authorize in place of the whitelist test: (url) -> 1 or 0.
typedef int64_t (*WebGetAuthorizeFunc)(const char* url);

// 1 when the URL may be fetched: an installed override decides alone; otherwise a URL without
// "//" fails, a host on the whitelist passes, and any other host passes only while the
// authentication switch is off.
int64_t WebGet_Authorize(const char* url);
// Installs (or with null removes) the function that replaces the whitelist test.
int64_t WebGet_AuthorizeOverride(WebGetAuthorizeFunc fn);
