// The receiving half of a request: the response header decoded into its state, then the body
// unchunked, inflated, held to its size limit and handed to memory, a file or nothing.
#include <cerrno>
#include <cstring>

#include "core/linux/platform_file.h"
#include "core/linux/platform_output_file.h"
#include "core/platform/async_file.h"
#include "core/platform/memory_stream.h"
#include "core/platform/path.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"
#include "core/web/web_get.h"
#include "core/web/web_get_cache.h"
#include "core/web/web_get_header.h"
#include "core/web/web_get_request.h"
#include "core/web/web_get_request_internal.h"

namespace {

constexpr uint32_t kWriteBlockData = 32768;
constexpr int32_t kInflateRoom = 1048576;
constexpr uint32_t kMiB = 1048576;
// A Content-Length is trusted for the memory body's first allocation only up to this size; past
// it the body grows with what actually arrives, so that a claimed length costs nothing.
constexpr int64_t kUpfrontLimit = 64 * (int64_t)kMiB;
// Memory bodies are counted in 32 bits and allocated with a signed size.
constexpr int64_t kMemoryBodyMax = 0x7FF00000;
// A memory body whose owner set no limit: the documents, pages and answers kept in memory are far
// smaller (the largest, content manifests, stay within a few MiB); a server that sends more would
// otherwise make the process hold whatever it chooses. Owners that expect more set a limit.
constexpr int64_t kMemoryBodyDefaultLimit = 128 * (int64_t)kMiB;
// gzip reaches about 1030:1 on runs of one byte; text and documents compress 3:1 to 20:1, rarely
// past 100:1. Past the floor a body that grows beyond this ratio is a decompression bomb, not a
// document: it is refused while it goes to memory (a file keeps streaming to disk).
constexpr uint64_t kInflateRatioLimit = 200;
constexpr uint64_t kInflateRatioFloor = 16 * (uint64_t)kMiB;
// A chunk size line with extensions may be long, but not endless.
constexpr uint32_t kChunkLineLimit = 4096;
constexpr uint32_t kChunkSizeMax = 0x7FFFFFFD;
constexpr uint32_t kNoChunkYet = 0xFFFFFFFF;
constexpr int32_t kValueSize = 1024;

struct WriteBlock {
    WebGetRequest* Request;
    uint32_t Length;
    uint32_t Reserved;
    uint8_t Data[kWriteBlockData];
};
static_assert(sizeof(WriteBlock) == kWriteBlockData + 16, "a write block is its data and 16 bytes");

int64_t Fail(WebGetRequest* request, int32_t code, int32_t extended) {
    return WebGetRequest_SetLastError(request, code, extended);
}

// An owner's callback that fails records why first; a failure without an error would end the
// request as if it had succeeded.
int64_t Answered(WebGetRequest* request, int64_t result) {
    if (result) return result;
    const int32_t recorded = request->ErrorCode.load();
    ASSERT_MSG(recorded != 0, "Callback answered 0 without recording an error");
    return 0;
}

const uint8_t* Find(const uint8_t* bytes, uint32_t length, const char* needle) {
    return static_cast<const uint8_t*>(memmem(bytes, length, needle, strlen(needle)));
}

// Digits only (after "0x" hexadecimal), blanks around allowed; no sign, no overflow.
bool ParseLength(const char* text, int64_t* value) {
    while (*text == ' ' || *text == '\t') text++;
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (hex) text += 2;
    uint64_t result = 0;
    int32_t digits = 0;
    for (;; text++, digits++) {
        int32_t digit;
        const char c = *text;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        const uint64_t base = hex ? 16 : 10;
        if (result > ((uint64_t)INT64_MAX - (uint64_t)digit) / base) return false;
        result = result * base + (uint64_t)digit;
    }
    while (*text == ' ' || *text == '\t') text++;
    if (digits == 0 || *text) return false;
    *value = (int64_t)result;
    return true;
}

// Whether a later Content-Length line of the block states another length than the first: the
// body's end would then be a guess, and a wrong one makes the rest of it the next answer.
bool LengthsConflict(const char* block, int64_t first) {
    char name[64];
    char value[1024];
    for (const char* line = block; line && *line;) {
        if (WebGet_HeaderGet(line, name, sizeof(name), value, sizeof(value)) &&
            String_CompareWithoutCase(name, "Content-Length")) {
            int64_t other = 0;
            if (!ParseLength(value, &other) || other != first) return true;
        }
        const char* next = nullptr;
        if (!WebGet_HeaderEnum(line, &next)) break;
        line = next;
    }
    return false;
}

// "bytes first-last..." as the answer states it; 0 for any missing piece.
bool ParseContentRange(const char* value, int64_t* first, int64_t* last) {
    const char* p = nullptr;
    if (!String_FindStringWithoutCase(value, "bytes", &p)) return false;
    p += 5;
    while (*p == ' ' || *p == '\t') p++;
    auto number = [&p](int64_t* out) {
        int64_t result = 0;
        int32_t digits = 0;
        for (; *p >= '0' && *p <= '9'; p++, digits++) {
            if (result > (INT64_MAX - 9) / 10) return false;
            result = result * 10 + (*p - '0');
        }
        *out = result;
        return digits > 0;
    };
    if (!number(first)) return false;
    while (*p && *p != '-') p++;
    if (*p != '-') return false;
    p++;
    return number(last);
}

// A file name offered by the server names a file in the output folder and nothing else: only its
// last component is kept, and ".", ".." and nothing are refused (empty result).
void SanitiseFilename(char* name) {
    const char* last = name;
    for (const char* p = name; *p; p++)
        if (*p == '/' || *p == '\\') last = p + 1;
    memmove(name, last, strlen(last) + 1);
    if (String_Compare(name, ".") || String_Compare(name, "..")) name[0] = 0;
}

bool HasInnerDot(const char* domain) {
    const size_t length = strlen(domain);
    for (size_t i = 1; i + 1 < length; i++)
        if (domain[i] == '.') return true;
    return false;
}

void DecodeCookies(WebGetRequest* request) {
    char host[WEBGET_COOKIE_DOMAIN_SIZE];
    WebGetRequest_HostWithoutPort(request, host, sizeof(host));
    char* line = request->ResponseHeader;
    char header[64];
    char* value = static_cast<char*>(Memory_Alloc(WEBGET_REQUEST_HEADER_SIZE));
    char name[WEBGET_COOKIE_NAME_SIZE], text[WEBGET_COOKIE_VALUE_SIZE];
    char path[WEBGET_COOKIE_PATH_SIZE], domain[WEBGET_COOKIE_DOMAIN_SIZE], flag[8];
    while (line && *line) {
        const char* next = nullptr;
        if (WebGet_HeaderGet(line, header, sizeof(header), value, WEBGET_REQUEST_HEADER_SIZE) &&
            String_CompareWithoutCase(header, "Set-Cookie")) {
            const char* cursor = value;
            if (WebGet_HeaderValueExtractNextParameter(&cursor, name, sizeof(name), text, sizeof(text)) && name[0]) {
                const uint32_t secure = WebGet_HeaderValueFindParameter(value, "secure", flag, sizeof(flag)) ? 1 : 0;
                WebGet_HeaderValueFindParameter(value, "path", path, sizeof(path));
                WebGet_HeaderValueFindParameter(value, "domain", domain, sizeof(domain));
                // A server may widen a cookie to a parent of its own host, never to another host or
                // to a top-level name.
                const char* bare = domain[0] == '.' ? domain + 1 : domain;
                if (!domain[0]) {
                    String_CopyLength(domain, host, sizeof(domain));
                    WebGetRequest_CookieSet(request, name, text, path, domain, secure);
                } else if (String_CompareWithoutCase(bare, host) ||
                           (HasInnerDot(bare) && WebGetRequest_CookieDomainMatches(host, bare))) {
                    WebGetRequest_CookieSet(request, name, text, path, bare, secure);
                } else {
                    WebGetRequest_Print(request, "Cookie domain refused [%s][%s](%s)", name, domain, host);
                }
            }
        }
        if (!WebGet_HeaderEnum(line, &next)) break;
        line = const_cast<char*>(next);
    }
    Memory_Free(value, WEBGET_REQUEST_HEADER_SIZE);
}

// The blank-separated word `index` of text.
void Word(const char* text, int32_t index, char* out, int32_t capacity) {
    out[0] = 0;
    const char* p = text;
    for (int32_t i = 0;; i++) {
        while (*p == ' ' || *p == '\t') p++;
        if (!*p) return;
        const char* start = p;
        while (*p && *p != ' ' && *p != '\t') p++;
        if (i == index) {
            String_CopyLengthSafe(out, capacity, start, (int32_t)(p - start));
            return;
        }
    }
}

void TrackXCache(WebGetRequest* request) {
    if (!WebGet_IsStarted() || !request->Host[0]) return;
    char servedBy[512];
    WebGet_HeaderGetByName(request->ResponseHeader, "X-ServedBy", servedBy, sizeof(servedBy));
    char header[64];
    char* value = static_cast<char*>(Memory_Alloc(WEBGET_REQUEST_HEADER_SIZE));
    char member[512], verdict[128], second[128], server[512];
    const char* line = request->ResponseHeader;
    while (line && *line) {
        if (WebGet_HeaderGet(line, header, sizeof(header), value, WEBGET_REQUEST_HEADER_SIZE) &&
            String_CompareWithoutCase(header, "X-Cache")) {
            for (int32_t i = 0; String_ListGetMember(value, ',', 1, i, member, sizeof(member)) || member[0]; i++) {
                Word(member, 0, verdict, sizeof(verdict));
                Word(member, 1, second, sizeof(second));
                if (String_CompareWithoutCase(second, "from"))
                    Word(member, 2, server, sizeof(server));
                else
                    String_ListGetMember(servedBy, ',', 1, i, server, sizeof(server));
                if (!server[0]) String_Copy(server, "undefined");
                if (verdict[0]) WebGet_XCacheTrack(request->Host, server, verdict);
            }
        }
        const char* next = nullptr;
        if (!WebGet_HeaderEnum(line, &next)) break;
        line = next;
    }
    Memory_Free(value, WEBGET_REQUEST_HEADER_SIZE);
}

} // namespace

// Inflation is prepared only when it is wanted: automatic decompression on, and the answer said
// gzip or the owner forces it. A state left from an earlier member is ended first.
int64_t WebGetRequest_BodyProcessCompressedBegin(WebGetRequest* request) {
    if (request->AutoDecompressContent != 1 || !(request->CompressedResponse || request->ForceCompressedContent == 1))
        return 1;
    if (request->InflateReady) {
        inflateEnd(&request->Inflate);
        request->InflateReady = 0;
    }
    memset(&request->Inflate, 0, sizeof(request->Inflate));
    const int rc = inflateInit2(&request->Inflate, 15 + 32);
    if (rc != Z_OK) return Fail(request, WEBGET_ERROR_COMPRESSION, rc);
    request->InflateReady = 1;
    request->InflateMemberOpen = 0;
    return 1;
}

// Bytes up to the limit are delivered; the delivery after the limit was reached, even of no
// decoded bytes, fails.
int64_t WebGetRequest_BodyProcessLimit(WebGetRequest* request, const uint8_t* bytes, uint32_t length, uint32_t* used) {
    const uint32_t limit = request->LimitBodySize;
    if (limit > 0) {
        if (request->BodyLength + length > (int64_t)limit) length = (uint32_t)(limit - request->BodyLength);
        if (request->BodyLength >= (int64_t)limit) return Fail(request, WEBGET_ERROR_SIZE_LIMIT, 0);
    }
    return WebGetRequest_FillBody(request, bytes, length, used);
}

// Whether delivered bytes end in the memory body: every answer that is not a success, and a
// success while the memory handler is installed.
static bool DeliversToMemory(WebGetRequest* request) {
    if (request->HTTPCode < 200 || request->HTTPCode > 299) return true;
    if (request->ByteRangeMismatched) return false;
    void* user = nullptr;
    WebGetRequestFillBodyCallback fn = nullptr;
    return !CallbackBase_Get(&request->FillBodyCallback.Pointers, &user, &fn) || !fn ||
           fn == WebGetRequest_FillBodyDefaultCallback;
}

// Hands what the inflater produced to the limit step, dropping from the front what was taken.
static int64_t FlushInflated(WebGetRequest* request) {
    MemoryStream* out = request->InflateOutput;
    while (MemoryStream_GetUsed(out) > 0) {
        uint8_t* pointer = nullptr;
        MemoryStream_GetPointer(out, &pointer);
        uint32_t took = 0;
        const int64_t ok = WebGetRequest_BodyProcessLimit(request, pointer, (uint32_t)MemoryStream_GetUsed(out), &took);
        MemoryStream_ReleasePointer(out, &pointer);
        if (!ok) return 0;
        if (took == 0) break;
        MemoryStream_DiscardBegin(out, (int32_t)took);
    }
    return 1;
}

int64_t WebGetRequest_BodyProcessCompressed(WebGetRequest* request, const uint8_t* bytes, uint32_t length, uint32_t* used) {
    *used = 0;
    // Without a prepared inflater (automatic decompression off) the body is delivered as sent.
    if (!(request->CompressedResponse || request->ForceCompressedContent) || !request->InflateReady)
        return WebGetRequest_BodyProcessLimit(request, bytes, length, used);
    MemoryStream* out = request->InflateOutput;
    if (MemoryStream_GetSize(out) < kInflateRoom && !MemoryStream_Size(out, kInflateRoom, 1, 0))
        return Fail(request, WEBGET_ERROR_COMPRESSION, Z_MEM_ERROR);
    while (*used < length) {
        const int32_t room = MemoryStream_GetSize(out) - MemoryStream_GetUsed(out);
        if (room <= 0) {
            if (!FlushInflated(request)) return 0;
            if (MemoryStream_GetSize(out) - MemoryStream_GetUsed(out) <= 0) break;
            continue;
        }
        uint8_t* space = nullptr;
        MemoryStream_GetAvailablePointer(out, &space);
        z_stream& z = request->Inflate;
        z.next_in = const_cast<Bytef*>(bytes + *used);
        z.avail_in = length - *used;
        z.next_out = space;
        z.avail_out = (uInt)room;
        const int rc = inflate(&z, Z_SYNC_FLUSH);
        MemoryStream_ReleasePointer(out, &space);
        const uint32_t consumed = (length - *used) - z.avail_in;
        const uint32_t produced = (uint32_t)room - z.avail_out;
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return Fail(request, WEBGET_ERROR_COMPRESSION, rc);
        *used += consumed;
        if (consumed) request->InflateMemberOpen = 1;
        MemoryStream_Claim(out, (int32_t)produced);
        request->InflateIn += consumed;
        request->InflateOut += produced;
        if (request->InflateOut > kInflateRatioFloor &&
            request->InflateOut > kInflateRatioLimit * request->InflateIn && DeliversToMemory(request)) {
            WebGetRequest_Print(request, "Decompressed body outgrows its compressed size [%I64d from %I64d]",
                                (int64_t)request->InflateOut, (int64_t)request->InflateIn);
            return Fail(request, WEBGET_ERROR_SIZE_LIMIT, 0);
        }
        if (produced && !FlushInflated(request)) return 0;
        if (rc == Z_STREAM_END) {
            request->InflateMemberOpen = 0;
            if (!WebGetRequest_BodyProcessCompressedEnd(request)) return 0;
            // The next member starts afresh with the rest of the input, in this same call: a body
            // of many small members must not take one pass each.
            if (!WebGetRequest_BodyProcessCompressedBegin(request)) return 0;
            continue;
        }
        if (consumed == 0 && produced == 0) break;
    }
    return 1;
}

namespace {

// The size of the next chunk; 0 with no line complete yet (need more), -1 for a bad line.
int32_t ReadChunkLine(const uint8_t* bytes, uint32_t length, uint32_t* size, uint32_t* lineLength) {
    const uint8_t* lf = static_cast<const uint8_t*>(memchr(bytes, '\n', length));
    if (!lf) return length > kChunkLineLimit ? -1 : 0;
    *lineLength = (uint32_t)(lf - bytes) + 1;
    const uint8_t* p = bytes;
    while (p < lf && (*p == ' ' || *p == '\t')) p++;
    uint64_t value = 0;
    int32_t digits = 0;
    for (; p < lf; p++, digits++) {
        int32_t digit;
        if (*p >= '0' && *p <= '9')
            digit = *p - '0';
        else if (*p >= 'a' && *p <= 'f')
            digit = *p - 'a' + 10;
        else if (*p >= 'A' && *p <= 'F')
            digit = *p - 'A' + 10;
        else
            break;
        value = value * 16 + (uint64_t)digit;
        if (value > kChunkSizeMax) return -1;
    }
    // What follows the digits (extensions) is not ours to read, but there must be digits.
    if (digits == 0) return -1;
    *size = (uint32_t)value;
    return 1;
}

int64_t ProcessChunked(WebGetRequest* request, const uint8_t* bytes, uint32_t length, uint32_t* used) {
    uint32_t at = 0;
    for (;;) {
        while (request->ChunkRemaining > 0) {
            if (request->ChunkRemaining > 2) {
                const uint32_t want = request->ChunkRemaining - 2, left = length - at;
                const uint32_t n = want < left ? want : left;
                if (n == 0) break;
                uint32_t took = 0;
                if (!WebGetRequest_BodyProcessCompressed(request, bytes + at, n, &took)) return 0;
                at += took;
                request->ChunkRemaining -= took;
                if (took == 0) break;
                continue;
            }
            if (length - at < request->ChunkRemaining) break;
            for (uint32_t i = 0; i < request->ChunkRemaining; i++) {
                const uint8_t c = bytes[at + i];
                if (c != '\r' && c != '\n') {
                    WebGetRequest_Print(request, "Invalid chunk terminator %d = (%02x)", (int32_t)request->ChunkRemaining,
                                        (uint32_t)bytes[at]);
                    return Fail(request, WEBGET_ERROR_CHUNKED, 0);
                }
            }
            at += request->ChunkRemaining;
            request->ChunkRemaining = 0;
        }
        if (request->ChunkRemaining > 0 || at == length) {
            if (request->ChunkRemaining == 0 && request->ChunkSize == 0) request->ChunkedComplete = 1;
            break;
        }
        if (request->ChunkSize == 0) {
            // The last chunk has been read: what follows is not this body.
            request->ChunkedComplete = 1;
            break;
        }
        uint32_t size = 0, lineLength = 0;
        const int32_t line = ReadChunkLine(bytes + at, length - at, &size, &lineLength);
        if (line == 0) break;
        if (line < 0) {
            char shown[80];
            const uint32_t n = length - at < sizeof(shown) - 1 ? length - at : (uint32_t)sizeof(shown) - 1;
            String_CopyLengthSafe(shown, sizeof(shown), reinterpret_cast<const char*>(bytes + at), (int32_t)n);
            WebGetRequest_Print(request, "Invalid chunk size %d = (%s)", -1, shown);
            return Fail(request, WEBGET_ERROR_CHUNKED_SIZE, 0);
        }
        request->ChunkSize = size;
        request->ChunkRemaining = size + 2;
        at += lineLength;
    }
    *used = at;
    return 1;
}

// ---- File output ----------------------------------------------------------------------------

// Under the hook's lock, so that a connection clearing it knows no call is still running.
void RunWritesDoneHook(WebGetRequest* request) {
    CallbackSync* slot = &request->WritesDoneHook;
    if (CallbackBase_IsEmpty(&slot->Pointers)) return;
    CriticalSection* lock = __atomic_load_n(&slot->Lock, __ATOMIC_ACQUIRE);
    if (!lock) return;
    CriticalSectionGuard guard(lock);
    void* user = nullptr;
    WebGetRequestCallback fn = nullptr;
    if (CallbackBase_Get(&slot->Pointers, &user, &fn) && fn) fn(request, user);
}

} // namespace

int64_t WebGetRequest_FileWriteCallbackInt(AsyncFile*, void* user, uint64_t, void*, uint32_t transferred,
                                           int32_t error) {
    WriteBlock* block = static_cast<WriteBlock*>(user);
    WebGetRequest* request = block->Request;
    const uint32_t length = block->Length;
    // Once the count drops the connection may reuse the block: it is not touched after that.
    block->Request = nullptr;
    // Recorded before the count drops, so that a connection that sees no write pending also sees
    // the failure.
    if (error != 0 || transferred != length)
        WebGetRequest_SetLastError(request, WEBGET_ERROR_OS, error ? error : PLATFORM_ERROR_ERRNO_BASE + EIO);
    const bool last = request->PendingWrites.fetch_sub(1) == 1;
    if (last && request->ErrorCode.load() != 0) WebGetRequest_CloseOutputFile(request, 0);
    if (last) RunWritesDoneHook(request);
    void* fileWriteUser = nullptr;
    WebGetRequestCallback fn = nullptr;
    if (CallbackBase_Get(&request->FileWriteCallback.Pointers, &fileWriteUser, &fn) && fn) fn(request, fileWriteUser);
    WebGetRequest_Release(&request);
    return 1;
}

namespace {

// Where the answer's bytes start in the entity, for writing them into a resumed file.
bool ResumeStart(WebGetRequest* request, int64_t* start) {
    if (request->ByteRangeStart != 0 || request->ByteRangeEnd != 0) {
        *start = request->ReceivedRangeFirst;
        return true;
    }
    char value[512];
    int64_t last = 0;
    return WebGet_HeaderGetByName(request->ResponseHeader, "Content-Range", value, sizeof(value)) &&
           ParseContentRange(value, start, &last);
}

int64_t OpenOutput(WebGetRequest* request) {
    char path[WEBGET_REQUEST_FILENAME_SIZE];
    String_CopyLength(path, request->OutputFilename, sizeof(path));
    const size_t given = strlen(path);
    if (given == 0)
        String_CopyLength(path, request->Filename, sizeof(path));
    else if (path[given - 1] == '/' || path[given - 1] == '\\')
        String_CatLength(path, request->Filename, sizeof(path));
    // The file is named by its folder and one component within it.
    char folder[WEBGET_REQUEST_FILENAME_SIZE];
    const char* slash = nullptr;
    const char* name = path;
    folder[0] = 0;
    if (String_FindCharReverse(path, '/', &slash)) {
        name = slash + 1;
        String_CopyLengthSafe(folder, sizeof(folder), path, slash == path ? 1 : (int32_t)(slash - path));
    }
    PlatformErrorCode error = 0;
    int32_t fd = -1;
    int64_t start = 0;
    const bool resume = request->AllowResume == 1 && request->ByteRangeUsed == 1;
    if (!name[0] || String_Compare(name, ".") || String_Compare(name, "..")) {
        error = PLATFORM_ERROR_ERRNO_BASE + EINVAL;
    } else {
        if (folder[0] && !Path_Exists(folder)) Path_CreateDirectory(path, 1, nullptr);
        if (resume) {
            if (!ResumeStart(request, &start) || start < 0) {
                WebGetRequest_Print(request, "Resume offset unknown [%s]", path);
                return Fail(request, WEBGET_ERROR_INVALID_OFFSET, 0);
            }
            uint64_t size = 0;
            fd = Platform_OpenOutputFile(folder, name, 0, 0, &size, &error);
            if (fd < 0 && error == PLATFORM_ERROR_ERRNO_BASE + ENOENT && start == 0)
                fd = Platform_OpenOutputFile(folder, name, 1, 0, &size, &error);
            if (fd >= 0 && start > (int64_t)size) {
                // Writing there would leave a hole of bytes never received: the file stays as it is.
                Platform_Close(fd);
                WebGetRequest_Print(request, "Resume offset past the end of file [%s][%I64d > %I64d]", path, start,
                                    (int64_t)size);
                return Fail(request, WEBGET_ERROR_INVALID_OFFSET, 0);
            }
            if (fd < 0 && error == PLATFORM_ERROR_ERRNO_BASE + ENOENT) {
                WebGetRequest_Print(request, "Resume offset past the end of file [%s][%I64d > %I64d]", path, start,
                                    (int64_t)0);
                return Fail(request, WEBGET_ERROR_INVALID_OFFSET, 0);
            }
            request->ExistingFilePosition = (int64_t)size;
            if (fd >= 0 && size > 0)
                WebGetRequest_Print(request, "Existing file being resumed [%s][%I64d]", path, (int64_t)size);
            else if (fd >= 0)
                WebGetRequest_Print(request, "New file being created [%s][%I64d]", path, start);
        } else {
            WebGetRequest_Print(request, "New file being created [%s][%I64d]", path, (int64_t)0);
            uint64_t size = 0;
            fd = Platform_OpenOutputFile(folder, name, 1, 1, &size, &error);
            request->ExistingFilePosition = 0;
        }
    }
    request->FilePosition = start;
    WebGetRequest_Print(request, "Start file [%s] [S:%I64dk] [E:%I64dk] [P:%I64dk]", path, start / 1024, start / 1024,
                        start / 1024);
    if (fd >= 0) __atomic_store_n(&request->OutputStampDescriptor, Platform_DuplicateDescriptor(fd), __ATOMIC_SEQ_CST);
    const FileOpenFlags flags = resume ? (FILE_READ | FILE_WRITE | FILE_APPEND) : FILE_WRITE;
    if (fd < 0 || !AsyncFile_OpenDescriptor(request->OutputFile, fd, path, flags)) {
        WebGetRequest_Print(request, "Unable to open file [%s]", path);
        if (!error) error = AsyncFile_GetLastError(request->OutputFile);
        return Fail(request, WEBGET_ERROR_OS, error);
    }
    return 1;
}

} // namespace

// ---- Header ----------------------------------------------------------------------------------

int64_t WebGetRequest_HeaderDecode(WebGetRequest* request, int32_t strict, const uint8_t* bytes, uint32_t length) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    if (!bytes) length = 0;
    const uint8_t* end = length ? Find(bytes, length, "\r\n\r\n") : nullptr;
    uint32_t headerLength = 0;
    if (end) {
        headerLength = (uint32_t)(end - bytes) + 4;
    } else if (length && (end = Find(bytes, length, "\n\n"))) {
        headerLength = (uint32_t)(end - bytes) + 2;
    } else {
        // What arrived cannot end within the limit any more: no later byte makes it a header.
        if (length > (uint32_t)WEBGET_REQUEST_HEADER_LIMIT) return Fail(request, WEBGET_ERROR_HEADER_LIMIT, 0);
        return Fail(request, WEBGET_ERROR_HEADER_INCOMPLETE, 0);
    }
    if (headerLength > (uint32_t)WEBGET_REQUEST_HEADER_LIMIT) return Fail(request, WEBGET_ERROR_HEADER_LIMIT, 0);
    memcpy(request->ResponseHeader, bytes, headerLength);
    request->ResponseHeader[headerLength] = 0;
    double version = 0;
    int32_t code = 0;
    if (!WebGet_HeaderGetHTTPVersion(request->ResponseHeader, (int32_t)headerLength, &version) ||
        !WebGet_HeaderGetHTTPCode(request->ResponseHeader, (int32_t)headerLength, &code))
        return Fail(request, WEBGET_ERROR_HEADER_CORRUPT, 0);
    request->HTTPVersion = version;
    request->HTTPCode = code;
    WebGetRequest_Print(request, "HTTP Return value [%d][v%.1f]", code, version);
    if (request->AllowCookies == 1) DecodeCookies(request);

    request->ChunkedResponse = 0;
    request->ChunkedComplete = 0;
    request->ChunkRemaining = 0;
    request->ChunkSize = kNoChunkYet;
    request->ByteRangeUsed = 0;
    request->ByteRangeMismatched = 0;
    request->LastModifiedTime = 0;
    request->CacheDirective = WEBGET_CACHE_DIRECTIVE_STORE;
    request->CacheMaxAge = 0;
    request->ContentLength = 0;
    request->ContentLengthKnown = 0;
    // Each answer states its own coding: an earlier gzip answer says nothing about this one.
    request->CompressedResponse = 0;

    const char* block = request->ResponseHeader;
    char value[kValueSize];
    if (WebGet_HeaderGetByName(block, "Content-Length", value, sizeof(value))) {
        int64_t contentLength = 0;
        if (!ParseLength(value, &contentLength)) {
            WebGetRequest_Print(request, "Invalid content length [%s]", value);
            return Fail(request, WEBGET_ERROR_UNEXPECTED_LENGTH, 0);
        }
        if (LengthsConflict(block, contentLength)) {
            WebGetRequest_Print(request, "Conflicting content lengths");
            return Fail(request, WEBGET_ERROR_UNEXPECTED_LENGTH, 0);
        }
        request->ContentLength = contentLength;
        request->ContentLengthKnown = 1;
    }
    if (WebGet_HeaderGetByName(block, "Transfer-Encoding", value, sizeof(value))) {
        String_TrimWhitespace(value);
        request->ChunkedResponse = String_CompareWithoutCase(value, "chunked") ? 1 : 0;
    }
    // A chunked body ends with its last chunk; a length sent beside it would cut it short.
    if (request->ChunkedResponse) {
        request->ContentLength = 0;
        request->ContentLengthKnown = 0;
    }
    if (WebGet_HeaderGetByName(block, "Content-Encoding", value, sizeof(value))) {
        String_TrimWhitespace(value);
        if (value[0]) {
            if (String_ContainsStringWithoutCase(value, "gzip"))
                request->CompressedResponse = 1;
            else if (!String_CompareWithoutCase(value, "identity"))
                return Fail(request, WEBGET_ERROR_CONTENT_ENCODING, 0);
        }
    }
    if (WebGet_HeaderGetByName(block, "Last-Modified", value, sizeof(value))) {
        double time = 0;
        if (Time_ParseStringEncoded(value, &time)) request->LastModifiedTime = time;
    }
    if (WebGet_HeaderGetByName(block, "Cache-Control", value, sizeof(value))) {
        char age[64];
        if (WebGet_HeaderValueExtractParameter(value, "max-age", age, sizeof(age))) {
            const int64_t seconds = String_AtoI64(age);
            request->CacheMaxAge = seconds > 0 ? seconds : 0;
        }
        if (String_ContainsStringWithoutCase(value, "no-cache"))
            request->CacheDirective = WEBGET_CACHE_DIRECTIVE_VALIDATE;
        else if (String_ContainsStringWithoutCase(value, "no-store"))
            request->CacheDirective = WEBGET_CACHE_DIRECTIVE_NO_STORE;
    }
    if (request->CacheDirective == WEBGET_CACHE_DIRECTIVE_STORE &&
        WebGet_HeaderGetByName(block, "Pragma", value, sizeof(value)) &&
        String_ContainsStringWithoutCase(value, "no-cache"))
        request->CacheDirective = WEBGET_CACHE_DIRECTIVE_VALIDATE;
    if (WebGet_HeaderGetByName(block, "Content-Disposition", value, sizeof(value))) {
        request->Filename[0] = 0;
        char name[WEBGET_REQUEST_FILENAME_SIZE];
        if (WebGet_HeaderValueExtractParameter(value, "filename", name, sizeof(name))) {
            SanitiseFilename(name);
            String_CopyLength(request->Filename, name, WEBGET_REQUEST_FILENAME_SIZE);
        }
    }

    const int64_t start = request->ByteRangeStart, stop = request->ByteRangeEnd;
    const bool ranged = start != 0 || stop != 0;
    bool mismatch = false;
    if (code == 206 && ranged) {
        int64_t first = 0, last = 0;
        const bool read = WebGet_HeaderGetByName(block, "Content-Range", value, 512) &&
                          ParseContentRange(value, &first, &last);
        request->ReceivedRangeFirst = read ? first : 0;
        request->ReceivedRangeLast = read ? last : 0;
        mismatch = !(read && first <= last && first == start && (stop == 0 || last == stop));
    } else if (code == 200 && ranged) {
        mismatch = !(request->ContentLengthKnown && stop - start + 1 == request->ContentLength);
        if (!mismatch) request->ReceivedRangeFirst = request->ReceivedRangeLast = 0;
    } else if (code == 416) {
        mismatch = true;
    }
    if (mismatch && strict == 1) {
        WebGetRequest_Print(request, "Byterange mismatch %d:[%I64d-%I64d]", code, request->ReceivedRangeFirst,
                            request->ReceivedRangeLast);
        request->ReceivedRangeFirst = request->ReceivedRangeLast = 0;
        request->ByteRangeMismatched = 1;
        if (code == 200) return Fail(request, WEBGET_ERROR_RANGE_NOT_SUPPORTED, 0);
    } else if (code == 206) {
        request->ByteRangeUsed = 1;
        if (WebGet_HeaderGetByName(block, "Accept-Ranges", value, sizeof(value)))
            request->ByteRangeUsed = String_ContainsString(value, "bytes") ? 1 : 0;
    }

    // An HTTP/1.0 server keeps the connection only when it says so; later versions keep it unless
    // they say "close".
    const bool legacy = request->HTTPVersion < 1.05;
    request->Persistent = request->ContentLengthKnown && !legacy;
    if (request->ContentLengthKnown && WebGet_HeaderGetByName(block, "Connection", value, sizeof(value))) {
        String_TrimWhitespace(value);
        request->Persistent = legacy ? (String_CompareWithoutCase(value, "keep-alive") ? 1 : 0)
                                     : (String_CompareWithoutCase(value, "close") ? 0 : 1);
    }
    TrackXCache(request);
    return 1;
}

// ---- Body -------------------------------------------------------------------------------------

int64_t WebGetRequest_BodyStart(WebGetRequest* request, int32_t discard) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    request->TransferLength = 0;
    request->BodyLength = 0;
    request->MemoryLength = 0;
    request->ChunkRemaining = 0;
    request->ChunkSize = kNoChunkYet;
    request->InflateIn = 0;
    request->InflateOut = 0;
    if (!discard) {
        void* user = nullptr;
        WebGetRequestCallback fn = nullptr;
        if (CallbackBase_Get(&request->HeaderDoneCallback.Pointers, &user, &fn) && fn &&
            !Answered(request, fn(request, user)))
            return 0;
    }
    return WebGetRequest_BodyProcessCompressedBegin(request);
}

int64_t WebGetRequest_BodyProcess(WebGetRequest* request, const uint8_t* bytes, uint32_t length, uint32_t* used) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(used);
    *used = 0;
    ASSERT_MSG(request->PendingWrites.load() == 0, "Data still in write pool");
    if (!bytes) length = 0;
    if (request->ContentLengthKnown && request->ContentLength > 0 &&
        request->TransferLength + (int64_t)length > request->ContentLength) {
        const int64_t left = request->ContentLength - request->TransferLength;
        length = left <= 0 ? 0 : (left > (int64_t)UINT32_MAX ? UINT32_MAX : (uint32_t)left);
    }
    if (request->WriteBlockPool) Pool_Reset(request->WriteBlockPool);
    int64_t ok;
    if (!request->ChunkedResponse)
        ok = WebGetRequest_BodyProcessCompressed(request, bytes, length, used);
    else
        ok = ProcessChunked(request, bytes, length, used);
    request->TransferLength += *used;
    return ok;
}

int64_t WebGetRequest_BodyProcessCompressedEnd(WebGetRequest* request) {
    if (!request->InflateReady) return 1;
    request->InflateReady = 0;
    const int rc = inflateEnd(&request->Inflate);
    if (rc != Z_OK) return Fail(request, WEBGET_ERROR_COMPRESSION, rc);
    return 1;
}

int64_t WebGetRequest_BodyComplete(WebGetRequest* request, int32_t discard) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    int64_t ok = WebGetRequest_CloseOutputFile(request, 1);
    if (request->InflateReady && request->InflateMemberOpen && !discard) {
        WebGetRequest_Print(request, "Compressed body ended inside a member");
        ok = Fail(request, WEBGET_ERROR_COMPRESSION, Z_BUF_ERROR);
    }
    request->InflateMemberOpen = 0;
    if (!WebGetRequest_BodyProcessCompressedEnd(request)) ok = 0;
    if (!ok) return 0;
    if (!discard) {
        void* user = nullptr;
        WebGetRequestCallback fn = nullptr;
        if (CallbackBase_Get(&request->BodyCompleteCallback.Pointers, &user, &fn) && fn &&
            !Answered(request, fn(request, user)))
            return 0;
    }
    return 1;
}

int64_t WebGetRequest_CloseOutputFile(WebGetRequest* request, int32_t stamp) {
    if (request->OutputFile && AsyncFile_IsOpen(request->OutputFile)) AsyncFile_Close(request->OutputFile);
    int32_t fd = __atomic_exchange_n(&request->OutputStampDescriptor, -1, __ATOMIC_SEQ_CST);
    if (fd < 0) return 1;
    int64_t ok = 1;
    // Stamped once every write has landed, so that no later write moves the time again; a failed
    // download keeps the time of the moment it stopped.
    if (stamp && !request->SkipTimestamp && request->LastModifiedTime > 0 && request->ErrorCode.load() == 0) {
        PlatformErrorCode error = 0;
        if (!Platform_SetDescriptorModifiedTime(fd, request->LastModifiedTime, &error))
            ok = Fail(request, WEBGET_ERROR_OS, error);
    }
    Platform_Close(fd);
    return ok;
}

// ---- Delivery ---------------------------------------------------------------------------------

int64_t WebGetRequest_FillBody(WebGetRequest* request, const uint8_t* bytes, uint32_t length, uint32_t* used) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(used);
    request->BodyLength += length;
    if (request->HTTPCode < 200 || request->HTTPCode > 299)
        return WebGetRequest_FillBodyDefaultCallback(request, nullptr, bytes, length, used);
    // The answer is not the part that was asked for: it goes nowhere, least of all into the file
    // being resumed.
    if (request->ByteRangeMismatched) return WebGetRequest_FillBodyNullCallback(request, nullptr, bytes, length, used);
    void* user = nullptr;
    WebGetRequestFillBodyCallback fn = nullptr;
    if (!CallbackBase_Get(&request->FillBodyCallback.Pointers, &user, &fn) || !fn)
        fn = WebGetRequest_FillBodyDefaultCallback;
    return Answered(request, fn(request, user, bytes, length, used));
}

int64_t WebGetRequest_FillBodyNullCallback(WebGetRequest* request, void*, const uint8_t*, uint32_t length,
                                           uint32_t* used) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(used);
    *used += length;
    return 1;
}

int64_t WebGetRequest_FillBodyDefaultCallback(WebGetRequest* request, void*, const uint8_t* bytes, uint32_t length,
                                              uint32_t* used) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(used);
    if (length == 0) return 1;
    ASSERT_POINTER(bytes);
    const int64_t needed = (int64_t)request->MemoryLength + length;
    const int64_t ceiling = request->LimitBodySize > 0
                                ? ((int64_t)request->LimitBodySize < kMemoryBodyMax ? (int64_t)request->LimitBodySize
                                                                                    : kMemoryBodyMax)
                                : kMemoryBodyDefaultLimit;
    if (needed > ceiling) {
        WebGetRequest_Print(request, "Memory body limit reached [%I64d > %I64d]", needed, ceiling);
        return Fail(request, WEBGET_ERROR_SIZE_LIMIT, 0);
    }
    if (needed > (int64_t)request->MemoryCapacity) {
        int64_t capacity;
        if (request->ContentLengthKnown && request->ContentLength > 0 && request->ContentLength >= needed &&
            request->ContentLength <= kUpfrontLimit) {
            capacity = request->ContentLength;
        } else {
            const int64_t mib = (needed + kMiB - 1) / kMiB;
            capacity = mib * 3 / 2 * kMiB;
            if (capacity < needed) capacity = needed;
        }
        if (capacity > ceiling) capacity = ceiling;
        uint8_t* grown = static_cast<uint8_t*>(Memory_Alloc(capacity));
        if (request->MemoryBody) {
            memcpy(grown, request->MemoryBody, request->MemoryLength);
            Memory_Free(request->MemoryBody, request->MemoryCapacity);
        }
        request->MemoryBody = grown;
        request->MemoryCapacity = (uint32_t)capacity;
    }
    memcpy(request->MemoryBody + request->MemoryLength, bytes, length);
    request->MemoryLength += length;
    *used += length;
    return 1;
}

int64_t WebGetRequest_FillBodyFileOutputCallback(WebGetRequest* request, void*, const uint8_t* bytes,
                                                 uint32_t length, uint32_t* used) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(used);
    // After a failure the file stays closed: reopening it would start it over.
    if (request->ErrorCode.load() != 0) return 0;
    if (!AsyncFile_IsOpen(request->OutputFile) && !OpenOutput(request)) return 0;
    if (!request->WriteBlockPool) {
        Pool_Create(&request->WriteBlockPool);
        Pool_SetMemorySize(request->WriteBlockPool, sizeof(WriteBlock));
        Pool_SetChunkSize(request->WriteBlockPool, 1);
        Pool_SetAllowLock(request->WriteBlockPool, 1);
    } else if (request->PendingWrites.load() == 0) {
        Pool_Reset(request->WriteBlockPool);
    }
    if (request->PendingWrites.fetch_add(1) == 0 && request->ErrorCode.load() != 0) {
        WebGetRequest_CloseOutputFile(request, 0);
        request->PendingWrites.fetch_sub(1);
        return 0;
    }
    for (uint32_t offset = 0; offset < length;) {
        const uint32_t piece = length - offset < kWriteBlockData ? length - offset : kWriteBlockData;
        WriteBlock* block = static_cast<WriteBlock*>(Pool_Alloc(request->WriteBlockPool, sizeof(WriteBlock)));
        block->Request = WebGetRequest_AddRef(request);
        block->Length = piece;
        memcpy(block->Data, bytes + offset, piece);
        request->PendingWrites.fetch_add(1);
        AsyncFile_Write(request->OutputFile, (uint64_t)request->FilePosition, block->Data, piece, block,
                        WebGetRequest_FileWriteCallbackInt);
        *used += piece;
        offset += piece;
        request->FilePosition += piece;
    }
    const bool last = request->PendingWrites.fetch_sub(1) == 1;
    if (last && request->ErrorCode.load() != 0) WebGetRequest_CloseOutputFile(request, 0);
    // Every block may have landed while the guard was held: then dropping it ends the writes,
    // and the hook runs here, once, as it would have for the last completion.
    if (last && length > 0) RunWritesDoneHook(request);
    return 1;
}

// ---- Memory body ------------------------------------------------------------------------------

int64_t WebGetRequest_GetBufferPtr(WebGetRequest* request, uint8_t** buffer, uint32_t* length) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    if (!request->MemoryBody) {
        request->MemoryBody = static_cast<uint8_t*>(Memory_AllocZero(1));
        request->MemoryCapacity = 1;
        request->MemoryLength = 0;
    }
    *buffer = request->MemoryBody;
    *length = request->MemoryLength;
    return 1;
}

int64_t WebGetRequest_MoveBuffer(WebGetRequest* request, uint8_t** buffer, uint32_t* capacity, uint32_t* length) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(capacity);
    ASSERT_POINTER(length);
    uint8_t* pointer = nullptr;
    uint32_t used = 0;
    WebGetRequest_GetBufferPtr(request, &pointer, &used);
    *buffer = request->MemoryBody;
    *capacity = request->MemoryCapacity;
    *length = request->MemoryLength;
    request->MemoryBody = nullptr;
    request->MemoryCapacity = 0;
    request->MemoryLength = 0;
    return 1;
}
