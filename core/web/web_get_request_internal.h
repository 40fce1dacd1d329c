// The request record and the pieces its files (set-up, cookies, response side) share.
#pragma once

#include <zlib.h>

#include <atomic>
#include <cstdint>

#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/web/web_get_request.h"

struct AsyncFile;
struct MemoryStream;
struct Pool;

struct WebGetCookie {
    uint32_t ClassId;
    uint32_t Secure;
    char Name[WEBGET_COOKIE_NAME_SIZE];
    char Value[WEBGET_COOKIE_VALUE_SIZE];
    char Path[WEBGET_COOKIE_PATH_SIZE];
    char Domain[WEBGET_COOKIE_DOMAIN_SIZE];
    WebGetCookie* Next;
    WebGetCookie* Prev;
};

struct WebGetRequest {
    Class Header;
    ClassPrint Print;
    CallbackRef HeaderDoneCallback;
    CallbackRef BodyCompleteCallback;
    CallbackRef FillBodyCallback;
    CallbackRef RedirectCallback;
    CallbackRef FileWriteCallback;
    CallbackRef DoneCallback;
    CallbackRef StartCallback;
    // The connection's wake-up once the last pending body write is done (writer's thread).
    CallbackSync WritesDoneHook;
    z_stream Inflate;
    // The phase moves on the connection's thread and, for a client certificate question, on the
    // socket's: its time and the changed mark are atomics too.
    std::atomic<double> PhaseTime;
    std::atomic<int32_t> PendingWrites;
    std::atomic<int32_t> Phase;
    std::atomic<uint32_t> PhaseChanged;
    std::atomic<int32_t> ErrorCode;
    int32_t ExtendedCode;
    uint32_t CookiesCrossDomains;
    uint32_t RedirectionDepth;
    uint32_t RedirectionLimit;
    uint32_t AllowCookies;
    uint32_t RequireAuthorization;
    uint32_t SkipTimestamp;
    uint32_t Timeout;
    uint32_t AllowProxy;
    uint32_t ReportError;
    uint32_t LimitBodySize;
    char RequestHeader[WEBGET_REQUEST_HEADER_SIZE];
    char ResponseHeader[WEBGET_REQUEST_HEADER_SIZE];
    uint32_t Type;
    char URL[WEBGET_REQUEST_URL_SIZE];
    char URI[WEBGET_REQUEST_URL_SIZE];
    char Host[WEBGET_REQUEST_HOST_SIZE];
    char Filename[WEBGET_REQUEST_FILENAME_SIZE];
    char ProxyURL[WEBGET_REQUEST_PROXY_SIZE];
    uint8_t* MemoryBody;
    uint32_t MemoryCapacity;
    uint32_t MemoryLength;
    int64_t BodyLength;
    const void* PostData;
    uint32_t PostLength;
    // The post data is the URL's query (a Post without data of its own): taken afresh from the
    // URL each time the headers are prepared, since the URL may have changed.
    uint32_t PostFromURL;
    MemoryStream* InflateOutput;
    Pool* WriteBlockPool;
    uint32_t AllowCompressedContent;
    uint32_t ForceCompressedContent;
    uint32_t AutoDecompressContent;
    AsyncFile* OutputFile;
    // A second descriptor of the open output file: its time is stamped through it once every
    // write has landed, never through the path, which may by then name something else.
    int32_t OutputStampDescriptor;
    void* Connection;
    WebGetCacheStore* CacheStore;
    uint32_t AllowResume;
    int64_t ExistingFilePosition;
    int64_t FilePosition;
    char OutputFilename[WEBGET_REQUEST_FILENAME_SIZE];
    uint32_t Persistent;
    int64_t TransferLength;
    int64_t ContentLength;
    uint32_t ContentLengthKnown;
    uint32_t CompressedResponse;
    uint32_t InflateReady;
    // The current gzip member has taken input but not reached its end: a body that stops here
    // was cut short.
    uint32_t InflateMemberOpen;
    // Compressed bytes taken and decoded bytes made over all members of this body: their ratio is
    // held to a bound while the body goes to memory.
    uint64_t InflateIn;
    uint64_t InflateOut;
    int32_t HTTPCode;
    double HTTPVersion;
    uint32_t ByteRangeUsed;
    uint32_t ByteRangeMismatched;
    int64_t ByteRangeStart;
    int64_t ByteRangeEnd;
    int64_t ReceivedRangeFirst;
    int64_t ReceivedRangeLast;
    double LastModifiedTime;
    int64_t CacheMaxAge;
    uint32_t CacheDirective;
    uint32_t CachedResponse;
    uint32_t ChunkRemaining;
    uint32_t ChunkSize;
    uint32_t ChunkedResponse;
    uint32_t ChunkedComplete;
    WebGetCookie* CookieFirst;
    WebGetCookie* CookieLast;
    uint32_t CookieCount;
    Pool* CookiePool;
};

// The print block's defaults (class name, fallback sink).
void WebGetRequest_PreparePrint(WebGetRequest* request);
// Closes the output file (waiting for its writes) and stamps its time when asked.
int64_t WebGetRequest_CloseOutputFile(WebGetRequest* request, int32_t stamp);
// Prepares inflation at body start (and for each following gzip member) when automatic
// decompression is on and the answer is compressed or compression is forced; 0 with 960 recorded
// when zlib refuses.
int64_t WebGetRequest_BodyProcessCompressedBegin(WebGetRequest* request);
// Hands body bytes through the inflater (or straight on when the body is not compressed or no
// inflater was prepared) to the size limit; `used` is the input consumed.
int64_t WebGetRequest_BodyProcessCompressed(WebGetRequest* request, const uint8_t* bytes, uint32_t length,
                                            uint32_t* used);
// Holds delivery to the limit body size (959 once it is reached), then delivers.
int64_t WebGetRequest_BodyProcessLimit(WebGetRequest* request, const uint8_t* bytes, uint32_t length, uint32_t* used);
// Ends an initialised inflate state; 0 with 960 recorded when zlib refuses.
int64_t WebGetRequest_BodyProcessCompressedEnd(WebGetRequest* request);
// Completion of one file write block, on the file I/O queue.
int64_t WebGetRequest_FileWriteCallbackInt(AsyncFile* file, void* user, uint64_t offset, void* buffer,
                                           uint32_t transferred, int32_t error);
// Frees every cookie.
void WebGetRequest_CookieFreeAll(WebGetRequest* request);
// The URL's host without its port.
void WebGetRequest_HostWithoutPort(WebGetRequest* request, char* host, int32_t capacity);
// 1 when the host is the domain (a leading dot ignored) or a name under it at a label boundary.
int64_t WebGetRequest_CookieDomainMatches(const char* host, const char* domain);
