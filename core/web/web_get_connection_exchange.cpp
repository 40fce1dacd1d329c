// What a connection puts on the wire and how it reads the answer: the CONNECT request, the
// request line and headers, the post body, the response header and body, redirects, the
// response cache, the end of a request and the emulation of "file" URLs.
#include <cstring>
#include <ctime>

#include "core/formats/mime.h"
#include "core/formats/url.h"
#include "core/net/async_socket.h"
#include "core/net/tls1.h"
#include "core/platform/async_file.h"
#include "core/platform/duplex_stream.h"
#include "core/platform/file.h"
#include "core/platform/memory_stream.h"
#include "core/platform/path.h"
#include "core/runtime/callback.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "core/web/challenge.h"
#include "core/web/web_get.h"
#include "core/web/web_get_authenticate.h"
#include "core/web/web_get_cache.h"
#include "core/web/web_get_connection_internal.h"
#include "core/web/web_get_header.h"
#include "core/web/web_get_redirect.h"
#include "core/web/web_get_request_internal.h"

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Day of the week (0 Sunday) of a civil date, from its day count since 1970-01-01 (a Thursday).
int32_t WeekDay(int32_t year, int32_t month, int32_t day) {
    year -= month <= 2;
    const int32_t era = (year >= 0 ? year : year - 399) / 400;
    const int32_t yoe = year - era * 400;
    const int32_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int32_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = (int64_t)era * 146097 + doe - 719468;
    return (int32_t)(((days % 7) + 11) % 7);
}

void FormatHttpTime(double encoded, char* buffer, int32_t capacity) {
    struct tm t {};
    Time_ConvertEncodedToTm(&t, encoded);
    const int32_t weekday = WeekDay(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    String_Print(buffer, capacity, "%s, %.2d %s %d %.2d:%.2d:%.2d GMT", kDays[weekday], t.tm_mday,
                 kMonths[t.tm_mon % 12], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
}

bool LogHeaders(WebGetConnection* c, WebGetRequest* r) {
    return c->PrintHeaders || WebGetRequest_IsVerboseLevel(r, 7);
}

// While a tunnel is wanted and not yet there, every request is the CONNECT for it.
bool IsTunnelRequest(WebGetConnection* c) {
    return c->TunnelNeeded && !c->TunnelEstablished;
}

// Interim answers (100 Continue, 102 Processing, 103 Early Hints) precede the final one; a server
// sends one or a few. More than this is a peer that never answers.
constexpr uint32_t kInterimAnswerLimit = 20;

// Finds the blank line ending a header: its length with the blank line, 0 when not there yet.
uint32_t HeaderLength(const uint8_t* bytes, uint32_t length) {
    const void* found = memmem(bytes, length, "\r\n\r\n", 4);
    if (found) return (uint32_t)(static_cast<const uint8_t*>(found) - bytes) + 4;
    found = memmem(bytes, length, "\n\n", 2);
    if (found) return (uint32_t)(static_cast<const uint8_t*>(found) - bytes) + 2;
    return 0;
}

void LogHeaderOut(WebGetConnection* c, WebGetRequest* r, const char* method, const char* block) {
    WebGetConnection_Print(c, "---- [0x%p] Header Out Begin --", r);
    WebGetConnection_Print(c, "%S %s HTTP/1.1", method, r->URI);
    WebGetConnection_Print(c, "%s", block);
    WebGetConnection_Print(c, "---- [0x%p] Header Out End ----", r);
}

int64_t FailWithRequest(WebGetRequest* r, int32_t* code, int32_t* codeEx, int32_t fallback) {
    WebGetRequest_GetLastError(r, code, codeEx);
    if (*code == 0) *code = fallback;
    return 0;
}

// Whether the socket can still deliver bytes: once it is closed and nothing waits below the
// message buffer, no more will come.
bool MoreMayArrive(WebGetConnection* c) {
    if (AsyncSocket_IsConnected(c->Socket) || AsyncFile_IsOpen(c->File)) return true;
    int32_t used = 0;
    used = WebGetConnection_ReadUsed(c->Transport);
    if (used) return true;
    if (c->TlsOn.load()) {
        std::lock_guard<std::mutex> guard(c->TlsLock);
        TLS1_ReadGetBufferUsed(c->Tls, &used);
        if (used) return true;
    }
    return false;
}

// ---- "file" URLs ---------------------------------------------------------------------------------

int64_t FileReadDone(AsyncFile*, void* user, uint64_t, void*, uint32_t transferred, int32_t error) {
    WebGetConnection* c = static_cast<WebGetConnection*>(user);
    if (error) {
        c->FileError.store(error);
    } else {
        DuplexStream_ReadPut(c->Transport, c->FileBuffer, transferred);
        c->FileOffset.fetch_add((int64_t)transferred);
    }
    c->FileReads.fetch_sub(1);
    WebGetConnection_Signal(c);
    WebGetConnection_Release(&c);
    return 1;
}

int64_t FileHeader(WebGetConnection* c, WebGetRequest* r, int32_t* code, int32_t* codeEx) {
    const int64_t start = r->ByteRangeStart, end = r->ByteRangeEnd;
    char path[320], decoded[320];
    if (!Path_ConvertFromURL(r->URL, path, sizeof(path))) {
        WebGetConnection_Print(c, "Invalid file URL (%s)", r->URL);
        *code = 400;
        *codeEx = 0;
        return 0;
    }
    URL_DecodeString(path, decoded, sizeof(decoded));
    Path_FixSlash(decoded, sizeof(decoded), 0);
    AsyncFile_Close(c->File);
    uint32_t flags = FILE_READ | FILE_SHARED;
    if (!r->ReportError) flags |= FILE_QUIET;
    uint64_t size = 0;
    EncodedTime modified = 0;
    if (!AsyncFile_Open(c->File, decoded, (FileOpenFlags)flags) || !AsyncFile_GetFilesizeBytes(c->File, &size) ||
        !AsyncFile_GetModifiedTime(c->File, &modified)) {
        *code = WEBGET_ERROR_OS;
        *codeEx = AsyncFile_GetLastError(c->File);
        AsyncFile_Close(c->File);
        return 0;
    }
    const int64_t total = (int64_t)size;
    const bool ranged = start > 0 || end > 0;
    const int32_t status = !ranged ? 200 : (start <= total ? 206 : 416);
    const int64_t last = (end >= 1 && end < total - 1) ? end : total - 1;
    c->FileSize = total;
    c->FileEnd = status == 206 ? last : total - 1;
    char time[64];
    FormatHttpTime(modified, time, sizeof(time));
    const char* type = "application";
    const char* subtype = "octet-stream";
    if (!MIME_Find(decoded, &type, &subtype) || !type || !subtype) {
        type = "application";
        subtype = "octet-stream";
    }
    DuplexStream* m = c->Message;
    DuplexStream_ReadTransactionStart(m);
    bool ok = DuplexStream_ReadPutFormat(m, "HTTP/1.1 %d %s\r\n", status, WebGet_TranslateHTTPCode(status)) &&
              DuplexStream_ReadPutFormat(m, "Server: FileSystem\r\n") &&
              DuplexStream_ReadPutFormat(m, "Connection: Close\r\n") &&
              DuplexStream_ReadPutFormat(m, "Last-Modified: %s\r\n", time) &&
              DuplexStream_ReadPutFormat(m, "Accepts-Ranges: bytes\r\n") &&
              DuplexStream_ReadPutFormat(m, "Content-Type: %s/%s\r\n", type, subtype);
    if (ok && status == 206)
        ok = DuplexStream_ReadPutFormat(m, "Content-Range: bytes %I64d-%I64d/%I64d\r\n", start, last, total) &&
             DuplexStream_ReadPutFormat(m, "Content-Length: %I64d\r\n", last - start + 1);
    else if (ok && status == 200)
        ok = DuplexStream_ReadPutFormat(m, "Content-Length: %I64d\r\n", total);
    else if (ok)
        ok = DuplexStream_ReadPutFormat(m, "Content-Length: 0\r\n");
    ok = ok && DuplexStream_ReadPutFormat(m, "\r\n");
    DuplexStream_ReadTransactionEnd(m, ok ? 0 : 1);
    if (!ok) WebGetRequest_SetPhaseChanged(r, 1); // the buffer was full: try again as if just entered
    return ok ? 1 : 2;
}

void FileReadNext(WebGetConnection* c) {
    if (!AsyncFile_IsOpen(c->File) || c->FileReads.load() || c->FileOffset.load() < 0) return;
    const int64_t remaining = c->FileEnd - c->FileOffset.load() + 1;
    if (remaining <= 0) {
        // Everything is delivered: the file no longer counts as connected.
        AsyncFile_Close(c->File);
        return;
    }
    int32_t room = 0;
    room = WebGetConnection_ReadLeft(c->Transport);
    int64_t n = remaining;
    if (n > WEBGET_CONNECTION_FILE_BUFFER_SIZE) n = WEBGET_CONNECTION_FILE_BUFFER_SIZE;
    if (n > room) n = room;
    if (n <= 0) return;
    c->FileReads.fetch_add(1);
    WebGetConnection_AddRef(c);
    AsyncFile_Read(c->File, (uint64_t)c->FileOffset.load(), c->FileBuffer, (uint32_t)n, c, FileReadDone);
}

// ---- Reading the answer's source -----------------------------------------------------------------

// The bytes of the answer: the cache item's stream when the answer comes from it, else the
// message buffer's read side. Release with ReleaseSource.
struct Source {
    MemoryStream* Cache;
    uint8_t* Pointer;
    int32_t Used;
};

bool FromCache(WebGetConnection* c) {
    return c->CacheItem && WebGetCacheItem_IsCommitted(c->CacheItem) && !WebGetCacheItem_ShouldValidate(c->CacheItem);
}

// Once the header is read: whether the answer comes from the cache item, fresh or confirmed by a
// 304 (the socket then holds nothing more of it).
bool AnswerFromCache(WebGetConnection* c, WebGetRequest* r) {
    return c->CacheItem && WebGetCacheItem_IsCommitted(c->CacheItem) && WebGetRequest_IsCachedResponse(r);
}

void TakeSource(WebGetConnection* c, bool cache, Source* s) {
    s->Cache = nullptr;
    s->Pointer = nullptr;
    s->Used = 0;
    if (cache) {
        WebGetCacheItem_GetMemoryStreamHandle(c->CacheItem, &s->Cache);
        s->Used = MemoryStream_GetUsed(s->Cache);
        MemoryStream_GetPointer(s->Cache, &s->Pointer);
    } else {
        DuplexStream_ReadGetPointer(c->Message, &s->Pointer, &s->Used);
    }
}

void ReleaseSource(WebGetConnection* c, Source* s) {
    if (!s->Pointer) return;
    if (s->Cache)
        MemoryStream_ReleasePointer(s->Cache, &s->Pointer);
    else
        DuplexStream_ReadReleasePointer(c->Message, &s->Pointer);
}

} // namespace

// ---- Phase 5: CONNECT ----------------------------------------------------------------------------

int64_t WebGetConnection_PhaseMethodConnect(WebGetConnection* c, WebGetRequest* r, uint32_t, int32_t*, int32_t*) {
    c->LastError = 0;
    c->LastErrorEx = 0;
    c->InterimAnswers = 0;
    char authority[WEBGET_CONNECTION_HOST_SIZE];
    URL_ParseHostWithPort(r->URL, authority, sizeof(authority));
    WebGetRequest_SetURI(r, authority);
    char block[WEBGET_REQUEST_HEADER_SIZE];
    block[0] = 0;
    WebGet_HeaderSet(block, sizeof(block), "Host", authority, 1);
    if (!c->Persistent && !WebGetAuthenticate_IsNTLM(c->ProxyAuth))
        WebGet_HeaderSet(block, sizeof(block), "Proxy-Connection", "close", 1);
    char* value = static_cast<char*>(Memory_Alloc(WEBGET_AUTHENTICATE_HEADER_SIZE));
    WebGetConnection_AuthorizationFor(c, r, c->ProxyAuth, "Connect", value, WEBGET_AUTHENTICATE_HEADER_SIZE);
    if (value[0]) WebGet_HeaderSet(block, sizeof(block), "Proxy-Authorization", value, 1);
    Memory_Free(value, WEBGET_AUTHENTICATE_HEADER_SIZE);
    DuplexStream_WriteTransactionStart(c->Message);
    const bool ok = DuplexStream_WritePutFormat(c->Message, "%S %s HTTP/1.1\r\n", "Connect", authority) &&
                    DuplexStream_WritePutFormat(c->Message, "%s\r\n", block);
    DuplexStream_WriteTransactionEnd(c->Message, ok ? 0 : 1);
    // A write that does not fit is tried again at the next pass, as for any request.
    if (!ok) {
        WebGetRequest_SetPhaseChanged(r, 1);
        return 1;
    }
    if (LogHeaders(c, r)) LogHeaderOut(c, r, "Connect", block);
    WebGetConnection_StampActivity(c);
    WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_HEADER);
    return 1;
}

// ---- Phase 6: request line and headers -----------------------------------------------------------

int64_t WebGetConnection_PhaseRequest(WebGetConnection* c, WebGetRequest* r, uint32_t, int32_t* code,
                                      int32_t* codeEx) {
    c->LastError = 0;
    c->LastErrorEx = 0;
    c->InterimAnswers = 0;
    if (c->TunnelEstablished && WebGetConnection_ReadUsed(c->Transport)) {
        // Plain bytes that reached the socket after the tunnel was checked and before TLS took it
        // over: only the proxy can have sent them.
        WebGetConnection_Print(c, "Proxy sent bytes into the tunnel before the handshake: tunnel refused");
        *code = WEBGET_ERROR_BAD_TRANSPORT;
        *codeEx = 0;
        return 0;
    }
    char* url = static_cast<char*>(Memory_Alloc(WEBGET_REQUEST_URL_SIZE));
    String_CopyLength(url, r->URL, WEBGET_REQUEST_URL_SIZE);
    // Path: the first '/' after the host.
    char* path = url + strlen(url);
    if (char* scheme = strstr(url, "://")) {
        char* slash = strchr(scheme + 3, '/');
        if (slash) path = slash;
    }
    if (r->Type == WEBGET_REQUEST_TYPE_POST && (!r->PostData || r->PostFromURL)) {
        if (char* query = strchr(url, '?')) {
            *query = 0;
            if (path > query) path = query;
        }
    }
    const bool proxied = c->ViaProxy && !c->TunnelEstablished;
    WebGetRequest_SetURI(r, proxied ? url : (path[0] ? path : "/"));
    char* block = r->RequestHeader;
    const int32_t capacity = WEBGET_REQUEST_HEADER_SIZE;
    char host[WEBGET_CONNECTION_HOST_SIZE];
    if (URL_IsDefaultPort(r->URL))
        URL_ParseHostWithoutPort(r->URL, host, sizeof(host));
    else
        URL_ParseHostWithPort(r->URL, host, sizeof(host));
    WebGet_HeaderSet(block, capacity, "Host", host, 1);
    char agent[WEBGET_AGENT_SIZE];
    WebGet_GetUserAgent(agent, sizeof(agent));
    WebGet_ExpandString(agent, url, WEBGET_REQUEST_URL_SIZE);
    WebGet_HeaderSet(block, capacity, "User-Agent", url, 0);
    if (!URL_IsLocalhost(r->URL)) {
        WebGet_HeaderSet(block, capacity, "Pragma", "akamai-x-cache-on, akamai-x-get-request-id", 0);
        WebGet_HeaderSet(block, capacity, "X-LDebug", "1", 0);
    }
    if ((r->Type == WEBGET_REQUEST_TYPE_GET || r->Type == WEBGET_REQUEST_TYPE_HEAD) && r->CacheStore) {
        WebGetCacheItem* item = nullptr;
        double modified = 0;
        if (WebGetCacheStore_FindItem(r->CacheStore, r->URL, &item) && item) {
            if (WebGetCacheItem_ShouldStore(item) && WebGetCacheItem_GetLastModifiedTime(item, &modified) &&
                modified > 0) {
                char time[64];
                FormatHttpTime(modified, time, sizeof(time));
                WebGet_HeaderSet(block, capacity, "If-Modified-Since", time, 1);
            }
            WebGetCacheItem_Release(&item);
        }
    }
    WebGetRequest_HeaderPrepare(r);
    const char* method = WebGet_TranslateRequestType((int32_t)r->Type);
    // (The URL copy serves as the buffer of the header values from here on.)
    WebGetConnection_AuthorizationFor(c, r, c->ServerAuth, method, url, WEBGET_REQUEST_URL_SIZE);
    if (url[0]) WebGet_HeaderSet(block, capacity, "Authorization", url, 1);
    if (!c->TunnelEstablished) {
        WebGetConnection_AuthorizationFor(c, r, c->ProxyAuth, method, url, WEBGET_REQUEST_URL_SIZE);
        if (url[0]) WebGet_HeaderSet(block, capacity, "Proxy-Authorization", url, 1);
    }
    if (!c->Persistent) {
        const bool proxyNtlm = proxied && WebGetAuthenticate_IsNTLM(c->ProxyAuth);
        if (proxied && !proxyNtlm) WebGet_HeaderSet(block, capacity, "Proxy-Connection", "close", 1);
        if (!proxyNtlm && !WebGetAuthenticate_IsNTLM(c->ServerAuth))
            WebGet_HeaderSet(block, capacity, "Connection", "close", 1);
    }
    Memory_Free(url, WEBGET_REQUEST_URL_SIZE);
    DuplexStream_WriteTransactionStart(c->Message);
    const bool ok = DuplexStream_WritePutFormat(c->Message, "%S %s HTTP/1.1\r\n", method, r->URI) &&
                    DuplexStream_WritePutFormat(c->Message, "%s\r\n", block);
    DuplexStream_WriteTransactionEnd(c->Message, ok ? 0 : 1);
    WebGetConnection_StampActivity(c);
    if (!ok) {
        WebGetRequest_SetPhaseChanged(r, 1);
        return 1;
    }
    if (LogHeaders(c, r)) LogHeaderOut(c, r, method, block);
    WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_POST_BUFFER);
    return 1;
}

// ---- Phase 7: post body --------------------------------------------------------------------------

int64_t WebGetConnection_PhasePostBuffer(WebGetConnection* c, WebGetRequest* r, uint32_t first, int32_t*, int32_t*) {
    if (first) {
        c->PostCursor = 0;
        if (r->PostData && LogHeaders(c, r))
            WebGetConnection_Print(c, "---- [0x%p] POST information size (%d) ----", r, (int32_t)r->PostLength);
    }
    if (r->PostData && c->PostCursor < r->PostLength) {
        int32_t room = 0;
        room = WebGetConnection_WriteLeft(c->Message);
        uint32_t n = r->PostLength - c->PostCursor;
        if ((int64_t)n > room) n = room > 0 ? (uint32_t)room : 0;
        if (n) {
            DuplexStream_WritePut(c->Message, static_cast<const uint8_t*>(r->PostData) + c->PostCursor, n);
            c->PostCursor += n;
            WebGetConnection_StampActivity(c);
        }
        return 1;
    }
    WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_HEADER);
    return 1;
}

// ---- Phase 10: response header -------------------------------------------------------------------

namespace {

// A 2xx opens the tunnel and carries no body whatever its header says; TLS takes the socket over
// at once, so that nothing the proxy sends later can be read as plain text. Bytes already there
// past the answer, and every other status, end the request: a proxy that redirects, fails or
// answers in the site's place has not given us the site.
int64_t TunnelAnswer(WebGetConnection* c, WebGetRequest* r, int32_t* code, int32_t* codeEx) {
    const int32_t status = r->HTTPCode;
    bool refused = status < 200 || status > 299;
    if (refused) {
        WebGetConnection_Print(c, "Proxy refused the tunnel (%d) [%s]", status, r->URL);
    } else {
        if (!WebGetConnection_ReadUsed(c->Message) && !WebGetConnection_ReadUsed(c->Transport)) {
            c->TlsOn.store(1);
            refused = WebGetConnection_ReadUsed(c->Transport) != 0;
        } else {
            refused = true;
        }
        if (refused) WebGetConnection_Print(c, "Proxy sent bytes after its answer to CONNECT: tunnel refused");
    }
    // The proxy's status is not the site's answer, whether the tunnel opens or not: a request that
    // fails later in the tunnel (its TLS handshake) must not report the proxy's 200.
    WebGetRequest_SetHTTPCode(r, 0);
    if (refused) {
        *code = WEBGET_ERROR_BAD_TRANSPORT;
        *codeEx = status;
        return 0;
    }
    c->TunnelEstablished = 1;
    WebGetConnection_StampActivity(c);
    WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_CONNECT);
    return 1;
}

} // namespace

int64_t WebGetConnection_PhaseHeader(WebGetConnection* c, WebGetRequest* r, uint32_t first, int32_t* code,
                                     int32_t* codeEx) {
    if (first && WebGetConnection_IsFileURL(r->URL) && !FromCache(c)) {
        const int64_t made = FileHeader(c, r, code, codeEx);
        if (made == 0) return 0;
        if (made == 2) return 1;
    }
    bool cache = FromCache(c);
    Source s;
    TakeSource(c, cache, &s);
    uint32_t offset = cache ? c->CacheOffset : 0;
    uint32_t avail = s.Used > (int32_t)offset ? (uint32_t)s.Used - offset : 0;
    uint32_t length = avail ? HeaderLength(s.Pointer + offset, avail) : 0;
    // Interim answers are read away; the final one follows them (101 is final: nothing here asks
    // for another protocol, so it ends the request as any other status does).
    while (!cache && length) {
        int32_t status = 0;
        WebGet_HeaderGetHTTPCode(reinterpret_cast<const char*>(s.Pointer), (int32_t)length, &status);
        if (status < 100 || status > 199 || status == 101 || length > (uint32_t)WEBGET_REQUEST_HEADER_LIMIT) break;
        ReleaseSource(c, &s);
        DuplexStream_ReadDiscard(c->Message, (int32_t)length);
        WebGetConnection_StampActivity(c);
        if (++c->InterimAnswers > kInterimAnswerLimit) {
            WebGetConnection_Print(c, "Too many interim answers (%d) [%s]", (int32_t)c->InterimAnswers, r->URL);
            *code = WEBGET_ERROR_HEADER_LIMIT;
            *codeEx = 0;
            return 0;
        }
        TakeSource(c, false, &s);
        avail = s.Used > 0 ? (uint32_t)s.Used : 0;
        length = avail ? HeaderLength(s.Pointer, avail) : 0;
    }
    if (!length) {
        const bool stalled = cache || !MoreMayArrive(c);
        const bool tooLong = avail > (uint32_t)WEBGET_REQUEST_HEADER_LIMIT;
        if (stalled || tooLong) {
            // A peer that closes before the blank line has ended its answer: waiting for the
            // time-out would only delay the same failure.
            WebGetRequest_HeaderDecode(r, 1, s.Pointer ? s.Pointer + offset : nullptr, avail);
            ReleaseSource(c, &s);
            return FailWithRequest(r, code, codeEx, WEBGET_ERROR_HEADER_INCOMPLETE);
        }
        ReleaseSource(c, &s);
        return 1;
    }
    if (!cache && c->CacheItem && WebGetCacheItem_IsCommitted(c->CacheItem)) {
        int32_t status = 0;
        WebGet_HeaderGetHTTPCode(reinterpret_cast<const char*>(s.Pointer), (int32_t)length, &status);
        if (status != 304) {
            // The stored entry is stale: this answer replaces it and is read like any other, so
            // that nothing of it is left to be taken for the answer to a later request.
            WebGetCacheItem_Invalidate(c->CacheItem);
            WebGetCacheItem_Release(&c->CacheItem);
        } else {
            ReleaseSource(c, &s);
            DuplexStream_ReadDiscard(c->Message, (int32_t)length);
            cache = true;
            c->CacheOffset = 0;
            TakeSource(c, true, &s);
            offset = 0;
            avail = (uint32_t)s.Used;
            length = avail ? HeaderLength(s.Pointer, avail) : 0;
            if (!length) {
                ReleaseSource(c, &s);
                *code = WEBGET_ERROR_HEADER_CORRUPT;
                *codeEx = 0;
                return 0;
            }
        }
    }
    const int32_t strict = IsTunnelRequest(c) ? 0 : 1;
    if (!WebGetRequest_HeaderDecode(r, strict, s.Pointer + offset, length)) {
        ReleaseSource(c, &s);
        return FailWithRequest(r, code, codeEx, WEBGET_ERROR_HEADER_CORRUPT);
    }
    if (LogHeaders(c, r)) {
        char format[32];
        String_Print(format, sizeof(format), "%%.%ds\n", (int32_t)length - 4 > 0 ? (int32_t)length - 4 : 0);
        WebGetConnection_Print(c, "---- [0x%p] Header In Begin --\n", r);
        WebGetConnection_Print(c, format, reinterpret_cast<const char*>(s.Pointer + offset));
        WebGetConnection_Print(c, "---- [0x%p] Header In End ----\n", r);
    }
    // The proxy's own answer to CONNECT: a 407 is read and authenticated as any challenge; any
    // other answer is never the site's.
    if (IsTunnelRequest(c) && r->HTTPCode != 407) {
        ReleaseSource(c, &s);
        DuplexStream_ReadDiscard(c->Message, (int32_t)length);
        return TunnelAnswer(c, r, code, codeEx);
    }
    if (c->CacheItem) {
        if (cache) {
            c->CacheOffset = offset + length;
            WebGetRequest_SetCachedResponse(r, 1);
        } else if (r->HTTPCode == 407) {
            WebGetCacheItem_Invalidate(c->CacheItem);
            WebGetCacheItem_Release(&c->CacheItem);
        } else {
            WebGetCacheItem_SetLastModifiedTime(c->CacheItem, r->LastModifiedTime);
            WebGetCacheItem_SetMaxAge(c->CacheItem, r->CacheMaxAge);
            WebGetCacheItem_SetDirective(c->CacheItem, r->CacheDirective);
            WebGetCacheItem_DiscardAll(c->CacheItem);
            if (WebGetCacheItem_ShouldStore(c->CacheItem)) {
                uint32_t written = 0;
                WebGetCacheItem_Write(c->CacheItem, s.Pointer, length, &written);
            }
            WebGetRequest_SetCachedResponse(r, 0);
        }
    }
    ReleaseSource(c, &s);
    if (!cache) DuplexStream_ReadDiscard(c->Message, (int32_t)length);
    WebGetConnection_StampActivity(c);
    WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_BODY);
    return 1;
}

// ---- Phase 11: authentication --------------------------------------------------------------------

int64_t WebGetConnection_PhaseAuthenticate(WebGetConnection* c, WebGetRequest* r, uint32_t, int32_t* code,
                                           int32_t* codeEx) {
    *codeEx = 0;
    if (!WebGetConnection_GetAllowAuthentication(c)) {
        *code = WEBGET_ERROR_AUTH_REQUEST_CANCEL;
        return 0;
    }
    int32_t status = 0;
    if (!WebGet_HeaderGetHTTPCode(r->ResponseHeader, WEBGET_REQUEST_HEADER_SIZE, &status)) {
        *code = WEBGET_ERROR_HEADER_CORRUPT;
        return 0;
    }
    if (status == 407 && !c->AllowProxy) {
        WebGetConnection_Print(c, "HTTP content blocked due to proxy [%s]", r->URL);
        *code = WEBGET_ERROR_PROXY_DISABLED;
        return 0;
    }
    WebGetAuthenticate* auth = status == 407 ? c->ProxyAuth : c->ServerAuth;
    char host[WEBGET_CONNECTION_HOST_SIZE];
    host[0] = 0;
    URL_ParseHostWithPort(status == 407 ? c->CurrentProxy : r->URL, host, sizeof(host));
    uint32_t verbose = 0;
    WebGetConnection_GetVerbose(c, &verbose);
    if (verbose == 1) WebGetAuthenticate_SetVerbose(auth, 1);
    WebGetAuthenticate_SetHost(auth, host);
    WebGetAuthenticate_SetRequestType(auth, IsTunnelRequest(c) ? (uint32_t)WEBGET_REQUEST_TYPE_CONNECT : r->Type);
    WebGetAuthenticate_SetRequestURI(auth, r->URI);
    WebGetAuthenticate_SetRequestBody(auth, IsTunnelRequest(c) ? nullptr : r->PostData, r->PostLength);
    Challenge_Lock();
    const int64_t answered = WebGetAuthenticate_Authenticate(auth, r->ResponseHeader, code, codeEx);
    if (answered) {
        Challenge_Unlock();
        WebGetRequest_SetPhase(r, WEBGET_PHASE_LOOKUP);
        WebGetRequest_SetPhaseChanged(r, 1);
        return 1;
    }
    if (*code) {
        Challenge_Unlock();
        return 0;
    }
    if (!Challenge_IsStarted()) {
        // Nobody could ever answer: waiting would hold the connection for good.
        Challenge_Unlock();
        WebGetConnection_Print(c, "Authentication requested (%d) but no credential broker runs [%s]", status, r->URL);
        *code = WEBGET_ERROR_AUTH_REQUEST_CANCEL;
        return 0;
    }
    c->Credential = WebGetRequest_AddRef(r);
    WebGetConnection_CloseEx(c, WEBGET_CLOSE_REQUEUE);
    Challenge_Unlock();
    return 1;
}

void WebGetConnection_AuthorizationFor(WebGetConnection*, WebGetRequest* r, WebGetAuthenticate* auth,
                                       const char* method, char* buffer, int32_t capacity) {
    // A Digest answer covers the method, URI and body of the request it goes out with.
    int32_t type = WEBGET_REQUEST_TYPE_UNKNOWN;
    for (int32_t t = WEBGET_REQUEST_TYPE_GET; t <= WEBGET_REQUEST_TYPE_CONNECT; t++)
        if (String_CompareWithoutCase(WebGet_TranslateRequestType(t), method)) type = t;
    WebGetAuthenticate_SetRequestType(auth, (uint32_t)type);
    WebGetAuthenticate_SetRequestURI(auth, r->URI);
    WebGetAuthenticate_SetRequestBody(auth, type == WEBGET_REQUEST_TYPE_CONNECT ? nullptr : r->PostData,
                                      r->PostLength);
    WebGetAuthenticate_GetHeader(auth, buffer, capacity);
}

// ---- Phase 12: body ------------------------------------------------------------------------------

namespace {

int32_t NextPhaseFor(WebGetConnection* c, int32_t status) {
    if (status == 301 || status == 302 || status == 307) return WEBGET_PHASE_REDIRECTED;
    if (status == 401 || status == 407) return WEBGET_PHASE_AUTHENTICATE;
    if (IsTunnelRequest(c) && status >= 200 && status < 300) return WEBGET_PHASE_CONNECT;
    return WEBGET_PHASE_CLEANUP;
}

bool Discards(WebGetConnection* c, int32_t status) {
    return status == 301 || status == 302 || status == 307 || status == 401 || status == 407 || IsTunnelRequest(c);
}

// Moves the request on once its body is complete.
void EnterNext(WebGetConnection* c, WebGetRequest* r) {
    const int32_t next = NextPhaseFor(c, r->HTTPCode);
    if (next == WEBGET_PHASE_CONNECT) {
        c->TunnelEstablished = 1;
        WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_CONNECT);
        return;
    }
    if (r->HTTPCode == 403) WebGetConnection_InvalidateCredentials(c);
    if (next == WEBGET_PHASE_REDIRECTED && CallbackBase_IsEmpty(&c->RedirectCallback)) {
        // Nobody files the request again: it goes on with its new URL on this connection,
        // which keeps its socket when the new URL reaches the same place.
        WebGetRequest_SetPhase(r, WEBGET_PHASE_LOOKUP);
        WebGetRequest_SetPhaseChanged(r, 1);
        return;
    }
    WebGetConnection_SetRequestPhase(c, r, next);
}

} // namespace

int64_t WebGetConnection_PhaseBody(WebGetConnection* c, WebGetRequest* r, uint32_t first, int32_t* code,
                                   int32_t* codeEx) {
    const int32_t status = r->HTTPCode;
    const int32_t discard = Discards(c, status) ? 1 : 0;
    const bool isFile = WebGetConnection_IsFileURL(r->URL) != 0;
    if (first) {
        if (NextPhaseFor(c, status) == WEBGET_PHASE_REDIRECTED) {
            if (!WebGetRequest_Redirect(r)) return FailWithRequest(r, code, codeEx, WEBGET_ERROR_REDIRECT_HEADER_NOT_FOUND);
            void* user = nullptr;
            WebGetConnectionRequestFunc fn = nullptr;
            const bool hasCallback = CallbackBase_Get(&c->RedirectCallback, &user, &fn) && fn;
            if (hasCallback) fn(c, user, r);
            if (!c->Persistent || !WebGetRequest_Persistent(r)) {
                // With a Redirect callback its owner files the request again under the new URL;
                // without one the request starts over at the head of this connection's queue.
                WebGetConnection_CloseEx(c, hasCallback ? WEBGET_CLOSE_FORGET : WEBGET_CLOSE_FORGET | WEBGET_CLOSE_REQUEUE);
                return 1;
            }
        }
        if (!WebGetRequest_BodyStart(r, discard)) return FailWithRequest(r, code, codeEx, WEBGET_ERROR_CUSTOM);
        const bool tunnel = IsTunnelRequest(c);
        // A 1xx that ends the request (101) has no body, and after a switch the socket speaks
        // another protocol: nothing more of it is read or used for another request.
        const bool informational = status >= 100 && status < 200;
        if (informational) c->StrayBytes = 1;
        if (r->Type == WEBGET_REQUEST_TYPE_HEAD || status == 304 || status == 204 || informational ||
            (r->ContentLengthKnown && r->ContentLength == 0) || (tunnel && !r->ContentLengthKnown)) {
            if (!WebGetRequest_BodyComplete(r, discard)) return FailWithRequest(r, code, codeEx, WEBGET_ERROR_CUSTOM);
            EnterNext(c, r);
            return 1;
        }
        if (isFile) {
            if (status == 200)
                c->FileOffset.store(0);
            else if (status == 206)
                c->FileOffset.store(r->ByteRangeStart);
            else {
                *code = 416;
                *codeEx = 0;
                return 0;
            }
        }
    }
    // The last write's completion wakes the connection (the request's writes-done hook).
    if (WebGetRequest_ShouldWait(r)) return 1;
    if (c->FileReads.load()) return 1;
    if (int32_t error = c->FileError.exchange(0)) {
        *code = WEBGET_ERROR_OS;
        *codeEx = error;
        return 0;
    }
    const bool cache = AnswerFromCache(c, r);
    Source s;
    TakeSource(c, cache, &s);
    const uint32_t offset = cache ? c->CacheOffset : 0;
    const uint32_t avail = s.Used > (int32_t)offset ? (uint32_t)s.Used - offset : 0;
    uint32_t used = 0;
    if (avail) {
        if (!WebGetRequest_BodyProcess(r, s.Pointer + offset, avail, &used)) {
            ReleaseSource(c, &s);
            return FailWithRequest(r, code, codeEx, WEBGET_ERROR_CUSTOM);
        }
        if (used) {
            if (cache) {
                c->CacheOffset += used;
            } else if (c->CacheItem && !WebGetCacheItem_IsCommitted(c->CacheItem) &&
                       WebGetCacheItem_ShouldStore(c->CacheItem)) {
                uint32_t written = 0;
                WebGetCacheItem_Write(c->CacheItem, s.Pointer + offset, used, &written);
            }
            WebGetConnection_StampActivity(c);
        }
        if ((used == 0) || (cache && used < avail)) WebGetConnection_Signal(c);
    }
    ReleaseSource(c, &s);
    if (used && !cache) DuplexStream_ReadDiscard(c->Message, (int32_t)used);
    if (isFile) FileReadNext(c);
    // The last write's completion wakes the connection (the request's writes-done hook).
    if (WebGetRequest_ShouldWait(r)) return 1;
    if (c->FileReads.load()) return 1;
    bool complete = false;
    if (!r->ContentLengthKnown) {
        if (cache)
            complete = c->CacheOffset >= (uint32_t)s.Used;
        else if (WebGetRequest_IsChunkedComplete(r))
            complete = true;
        else if (WebGetConnection_IsConnected(c))
            return 1;
        else if (WebGetRequest_IsChunkedResponse(r)) {
            // The end of the connection before the last chunk is a cut body, not a whole one.
            WebGetConnection_Print(c, "Chunked body was not completed [%I64d]", r->TransferLength);
            WebGetRequest_BodyComplete(r, discard);
            const uint32_t socketError = AsyncSocket_GetLastError(c->Socket);
            *code = socketError ? WEBGET_ERROR_SOCKET : WEBGET_ERROR_UNDERFLOW;
            *codeEx = (int32_t)socketError;
            return 0;
        } else
            complete = true;
    } else if (r->TransferLength == r->ContentLength) {
        complete = true;
    } else if (r->TransferLength > r->ContentLength) {
        WebGetConnection_Print(c, "Body exceeded content length [%I64d/%I64d]", r->TransferLength, r->ContentLength);
        WebGetRequest_BodyComplete(r, discard);
        *code = WEBGET_ERROR_CONTENT_LENGTH_LIMIT;
        *codeEx = 0;
        return 0;
    } else if (WebGetConnection_IsConnected(c)) {
        return 1;
    } else {
        WebGetConnection_Print(c, "Read was not completed [%I64d/%I64d]", r->TransferLength, r->ContentLength);
        WebGetRequest_BodyComplete(r, discard);
        // A reset says more than the missing bytes do.
        const uint32_t socketError = AsyncSocket_GetLastError(c->Socket);
        *code = socketError ? WEBGET_ERROR_SOCKET : WEBGET_ERROR_UNDERFLOW;
        *codeEx = (int32_t)socketError;
        return 0;
    }
    if (!complete) return 1;
    if (!cache && !isFile) {
        int32_t left = 0;
        left = WebGetConnection_ReadUsed(c->Message);
        if (left) {
            // Bytes past the end of this answer answer nothing we asked: the socket is not
            // used for another request.
            WebGetConnection_Print(c, "Bytes past the end of the answer (%d): connection not reused", left);
            c->StrayBytes = 1;
        }
    }
    if (!WebGetRequest_BodyComplete(r, discard)) return FailWithRequest(r, code, codeEx, WEBGET_ERROR_CUSTOM);
    if (c->CacheItem && !cache && !WebGetCacheItem_IsCommitted(c->CacheItem)) WebGetCacheItem_Commit(c->CacheItem);
    EnterNext(c, r);
    return 1;
}

// ---- Phase 13: clean-up --------------------------------------------------------------------------

int64_t WebGetConnection_Cleanup(WebGetConnection* c, WebGetRequest* r, int32_t failed) {
    const bool fromCache = c->CacheItem && WebGetRequest_IsCachedResponse(r);
    if (!failed && c->Persistent && WebGetRequest_Persistent(r) && !c->StrayBytes &&
        (AsyncSocket_IsConnected(c->Socket) || fromCache)) {
        if (c->CacheItem) WebGetCacheItem_Release(&c->CacheItem);
        WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_DONE);
        if (fromCache) WebGetConnection_CloseEx(c, WEBGET_CLOSE_FORGET | WEBGET_CLOSE_REQUEUE | WEBGET_CLOSE_KEEP);
        return 1;
    }
    if (!failed && AsyncSocket_IsConnected(c->Socket)) {
        if (c->TlsOn.load() && !c->CloseNotifySent) {
            std::lock_guard<std::mutex> guard(c->TlsLock);
            if (TLS1_IsHandshakeComplete(c->Tls)) TLS1_SendCloseNotify(c->Tls);
            c->CloseNotifySent = 1;
        }
        int32_t waiting = 0, used = 0;
        used = WebGetConnection_WriteUsed(c->Message);
        waiting += used;
        used = WebGetConnection_WriteUsed(c->Transport);
        waiting += used;
        if (c->TlsOn.load()) {
            std::lock_guard<std::mutex> guard(c->TlsLock);
            TLS1_WriteGetBufferUsed(c->Tls, &used);
            waiting += used;
        }
        if (waiting || AsyncSocket_IsWriting(c->Socket)) return 1;
    }
    if (c->CacheItem) WebGetCacheItem_Release(&c->CacheItem);
    WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_DONE);
    WebGetConnection_CloseEx(c, WEBGET_CLOSE_FORGET | WEBGET_CLOSE_REQUEUE);
    return 1;
}

// ---- "file" URLs: connect ------------------------------------------------------------------------

int64_t WebGetConnection_FileConnect(WebGetConnection* c, WebGetRequest* r) {
    WebGetConnection_StampActivity(c);
    DuplexStream_Reset(c->Transport);
    DuplexStream_Reset(c->Message);
    if (!c->FileBuffer) c->FileBuffer = static_cast<uint8_t*>(Memory_Alloc(WEBGET_CONNECTION_FILE_BUFFER_SIZE));
    c->FileOffset.store(-1);
    c->FileError.store(0);
    const uint32_t depth = r->RedirectionDepth;
    WebGetRequest_ResetInternals(r);
    r->RedirectionDepth = depth;
    WebGetConnection_SetRequestPhase(c, r, WEBGET_PHASE_HEADER);
    return 1;
}
