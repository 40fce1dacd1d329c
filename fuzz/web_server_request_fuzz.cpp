// Feeds arbitrary bytes to a web server connection's read buffer and runs its request header
// step over them, request after request, then renders an answer for each parsed one: no read
// past a buffer, no text past its field, every refused request is answered with a code HTTP/1.1
// has for it, and every accepted one has a token for its method, visible characters for its URL,
// a version 1.x and a file name. The first request is read again from the same bytes arriving in
// pieces of sizes the input chooses: the outcome must be the one of the whole, and the header's
// bytes must be gone over once however they came.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/web_server_fuzz_setup.h"

using web_server_fuzz::Check;
using web_server_fuzz::g_server;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    web_server_fuzz::StartServer();
    return 0;
}

namespace {

// The first request's reading, from the bytes whole and in pieces: the same answer, the same
// request, the same bytes left.
void CheckPieces(const uint8_t* data, size_t size) {
    DuplexStream* whole = nullptr;
    WebServerConnection* a = web_server_fuzz::NewConnection(data, size, &whole);
    const int64_t okWhole = WebServer_ConnectionReadRequestHeader(a);
    int32_t leftWhole = 0;
    DuplexStream_ReadGetBufferUsed(whole, &leftWhole);
    DuplexStream* pieces = nullptr;
    WebServerConnection* b = web_server_fuzz::NewConnection(nullptr, 0, &pieces);
    int64_t okPieces = 1;
    size_t at = 0;
    for (size_t turn = 0; at < size && okPieces && b->Phase == WEBSERVER_PHASE_REQUEST_HEADER; turn++) {
        // Mostly single bytes, now and then a longer run.
        const uint8_t pick = data[(turn * 7) % size];
        const size_t piece = std::min(size - at, (size_t)(pick % 4 == 0 ? 1 + pick % 61 : 1));
        DuplexStream_ReadPut(pieces, data + at, (uint32_t)piece);
        at += piece;
        okPieces = WebServer_ConnectionReadRequestHeader(b);
    }
    int32_t leftPieces = 0;
    DuplexStream_ReadGetBufferUsed(pieces, &leftPieces);
    Check(okWhole == okPieces && a->Phase == b->Phase && a->ResponseCode == b->ResponseCode);
    Check(leftWhole == leftPieces + (int32_t)(size - at));
    Check(strcmp(a->Method, b->Method) == 0 && strcmp(a->URL, b->URL) == 0 && strcmp(a->Version, b->Version) == 0);
    Check(a->RequestLength == b->RequestLength && a->Persistent == b->Persistent && a->Chunked == b->Chunked);
    if (okWhole && a->Phase != WEBSERVER_PHASE_REQUEST_HEADER && a->Phase != WEBSERVER_PHASE_RESPONSE_FINISH)
        Check(a->HeaderScanned == b->HeaderScanned && a->HeaderScanned <= (uint64_t)kWebServerMaxHeader);
    WebServer_ConnectionFreeDetached(&a);
    WebServer_ConnectionFreeDetached(&b);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1 << 16)) return 0;
    if (size > 0 && size <= 3 * (size_t)kWebServerMaxHeader) CheckPieces(data, size);
    DuplexStream* stream = nullptr;
    WebServerConnection* c = web_server_fuzz::NewConnection(data, size, &stream);
    for (int32_t round = 0; round < 64; round++) {
        int32_t before = 0, after = 0;
        DuplexStream_ReadGetBufferUsed(stream, &before);
        if (!WebServer_ConnectionReadRequestHeader(c)) break;
        DuplexStream_ReadGetBufferUsed(stream, &after);
        if (c->Phase == WEBSERVER_PHASE_REQUEST_HEADER) {
            // Waiting: nothing taken but the one empty line a request line may follow.
            Check(after == before || (before - after == 2 && c->HeaderSkipped));
            break;
        }
        // The block, and the one empty line that may come before it.
        Check(before - after < kWebServerMaxHeader + 2);
        if (c->Phase == WEBSERVER_PHASE_RESPONSE_FINISH) {
            // A refused request: answered, then the end.
            const int32_t code = c->ResponseCode;
            Check(!c->Persistent && (code == 400 || code == 411 || code == 413 || code == 414 || code == 431 ||
                                     code == 501 || code == 505));
            break;
        }
        Check(c->Method[0] && c->URL[0] && c->FileName[0]);
        for (const char* p = c->Method; *p; p++) Check(*p > 32 && *p < 127 && !strchr("\"(),/:;<=>?@[\\]{}", *p));
        for (const char* p = c->URL; *p; p++) Check(*p > 32 && *p < 127);
        Check(strlen(c->Version) == 3 && c->Version[0] == '1' && c->Version[1] == '.');
        Check(strlen(c->Method) < sizeof(c->Method) && strlen(c->Version) < sizeof(c->Version));
        Check(strlen(c->Referer) < sizeof(c->Referer) && strlen(c->UserAgent) < sizeof(c->UserAgent));
        char value[64];
        WebServer_ConnectionGetRequestHeader(g_server, c, "Host", value, (int32_t)sizeof(value));
        Check(strlen(value) < sizeof(value));
        WebServer_ConnectionSetResponse(g_server, c, (int32_t)(size % 600), (int64_t)(before - after) - 1);
        WebServer_ConnectionSetResponseHeader(g_server, c, "X-URL", "%s", c->URL);
        WebServer_ConnectionResponseBegin(g_server, c);
        if (c->RequestLength > 0) break;
        // The next request on the same connection, as a persistent one goes on.
        WebServer_ConnectionReset(c);
        c->Phase = WEBSERVER_PHASE_REQUEST_HEADER;
        DuplexStream_Reset(stream);
        if (after > 0) DuplexStream_ReadPut(stream, data + (size - (size_t)after), (uint32_t)after);
    }
    WebServer_ConnectionFreeDetached(&c);
    return 0;
}
