// Feeds arbitrary bytes to a web server connection's read buffer and runs its request header
// step over them, request after request, then renders an answer for each parsed one: no read
// past a buffer, no text past its field, and every accepted request has a method, URL and file.
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1 << 16)) return 0;
    DuplexStream* stream = nullptr;
    WebServerConnection* c = web_server_fuzz::NewConnection(data, size, &stream);
    for (int32_t round = 0; round < 64; round++) {
        int32_t before = 0, after = 0;
        DuplexStream_ReadGetBufferUsed(stream, &before);
        if (!WebServer_ConnectionReadRequestHeader(c)) break;
        DuplexStream_ReadGetBufferUsed(stream, &after);
        if (c->Phase == WEBSERVER_PHASE_REQUEST_HEADER) {
            Check(after == before); // waiting: nothing taken
            break;
        }
        Check(before - after < kWebServerMaxHeader);
        if (c->ResponseCode == 400) {
            // A block refused before its request line was taken: answered, then the end.
            Check(!c->Persistent && c->Phase == WEBSERVER_PHASE_RESPONSE_FINISH);
            break;
        }
        Check(c->Method[0] && c->URL[0] && c->FileName[0]);
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
