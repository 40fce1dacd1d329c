// Feeds arbitrary request header blocks (request line, Range, If-Modified-Since, Accept-Encoding
// and whatever else) and bodies through the skin web server's connection callbacks over a small
// directory skin, and checks that no answer sends more than it declared and that every request
// is answered or refused without touching memory it does not own.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/platform/duplex_stream.h"
#include "core/runtime/event_queue.h"
#include "core/web/web_server.h"
#include "core/web/web_server_internal.h"
#include "skin/native_skin_window.h"
#include "skin/script_invoker.h"
#include "skin/skin_app.h"
#include "skin/skin_app_internal.h"
#include "skin/skin_file.h"
#include "skin/skin_web_server.h"
#include "skin/web_browser.h"
#include "tests/skin/test_browser.h"
#include "fuzz/skin_web_fuzz_setup.h"
#include "workflow/workflow_app.h"

namespace {

SkinWebServer* g_server = nullptr;
WebServer* g_core = nullptr;
uint32_t g_port = 1024;

bool Setup() {
    skin_web_fuzz::Start("skin_web_request_fuzz.log", &g_server, &g_core);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = Setup();
    (void)ready;
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t end = input.find("\r\n\r\n");
    std::string header = end == std::string::npos ? input + "\r\n\r\n" : input.substr(0, end + 4);
    const std::string body = end == std::string::npos ? "" : input.substr(end + 4);
    if (header.size() >= (size_t)kWebServerMaxHeader) return 0;

    WebServerConnection* c = nullptr;
    WebServer_ConnectionCreateDetached(g_core, &c);
    // Every input from a port of its own, so that earlier inputs' blocks decide little.
    c->RemoteAddress = 0x0100007f;
    c->RemotePort = g_port;
    g_port = g_port >= 65535 ? 1024 : g_port + 1;
    Require(SkinWebServer_OnConnectionOpen(g_core, g_server, c) == 1);
    if (WebServer_ConnectionParseRequestHeader(c, header.c_str())) {
        SkinWebServer_OnRequestHeader(g_core, g_server, c);
        if (c->RequestLength > 0 && !body.empty()) {
            DuplexStream_ReadPut(c->Stream, body.data(), (uint32_t)body.size());
            int32_t used = 0;
            DuplexStream_ReadGetBufferUsed(c->Stream, &used);
            int64_t available = c->RequestLength < used ? c->RequestLength : used;
            SkinWebServer_OnRequestBody(g_core, g_server, c, available);
        } else if (c->Chunked && !body.empty()) {
            // A chunked body goes through the server's own body step, which decodes it for the
            // skin's body callback.
            DuplexStream_ReadPut(c->Stream, body.data(), (uint32_t)body.size());
            c->Phase = WEBSERVER_PHASE_REQUEST_BODY;
            for (int i = 0; i < 64 && c->Phase == WEBSERVER_PHASE_REQUEST_BODY; i++) {
                const int64_t before = c->BodyRead;
                WebServer_ConnectionReadRequestBody(c);
                if (c->BodyRead == before) break;
            }
            // Never more decoded than the bytes given.
            Require((size_t)c->BodyRead <= body.size());
        }
        if (SkinWebServer_OnResponseHeader(g_core, g_server, c) == 1) {
            char sink[16384];
            for (int i = 0; i < 4000; i++) {
                const int64_t more = SkinWebServer_OnResponseBody(g_core, g_server, c, 15360);
                // The declared length is a promise: never a byte past it.
                Require(c->ResponseLength < 0 || c->BodyWritten <= c->ResponseLength);
                uint32_t got = 0;
                do {
                    DuplexStream_WriteGet(c->Stream, sink, sizeof(sink), &got);
                } while (got > 0);
                if (!more) break;
            }
        }
    }
    SkinWebServer_OnConnectionClose(g_core, g_server, c);
    WebServer_ConnectionFreeDetached(&c);
    return 0;
}
