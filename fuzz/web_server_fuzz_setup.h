// What the web server's fuzz targets share: one quiet server with kept-alive connections, and a
// detached connection whose read buffer holds the input, waiting for a request header.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "core/platform/duplex_stream.h"
#include "core/runtime/debug.h"
#include "core/web/web_server.h"
#include "core/web/web_server_internal.h"

namespace web_server_fuzz {

inline WebServer* g_server = nullptr;

inline int64_t Quiet(void*, const char*, ...) {
    return 1;
}

inline void Check(bool ok) {
    if (!ok) abort();
}

inline void StartServer() {
    Debug_Init(nullptr, nullptr, 0);
    WebServer_Create(&g_server);
    WebServer_SetPersistentConnections(g_server, 1);
    WebServer_SetPrintCallback(g_server, nullptr, Quiet);
}

inline WebServerConnection* NewConnection(const uint8_t* data, size_t size, DuplexStream** stream) {
    WebServerConnection* c = nullptr;
    WebServer_ConnectionCreateDetached(g_server, &c);
    *stream = nullptr;
    WebServer_ConnectionGetDuplexStreamHandle(g_server, c, stream);
    if (size) DuplexStream_ReadPut(*stream, data, (uint32_t)size);
    c->Phase = WEBSERVER_PHASE_REQUEST_HEADER;
    return c;
}

} // namespace web_server_fuzz
