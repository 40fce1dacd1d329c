// Feeds arbitrary bodies to the skin web server's "instances/" routes (creating an instance, and
// calling one of the skin application's methods) through its connection callbacks, and checks
// that each is answered with a status and that what a create answers is a live instance.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/formats/url.h"
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
char g_window[64];
char g_app[64];

bool Setup() {
    skin_web_fuzz::Start("skin_instances_body_fuzz.log", &g_server, &g_core);
    Require(SkinApp_OpenWindowWithUrl("http://127.0.0.1/index.html", g_window, sizeof(g_window)) == 1);
    SkinApp_GetInstanceId(g_app, sizeof(g_app));
    return true;
}

// One request through the callbacks; the answer's status and body.
int32_t Exchange(const std::string& header, const std::string& body, std::string* answer) {
    WebServerConnection* c = nullptr;
    WebServer_ConnectionCreateDetached(g_core, &c);
    c->RemoteAddress = 0x0100007f;
    c->RemotePort = g_port;
    g_port = g_port >= 65535 ? 1024 : g_port + 1;
    Require(SkinWebServer_OnConnectionOpen(g_core, g_server, c) == 1);
    Require(WebServer_ConnectionParseRequestHeader(c, header.c_str()) == 1);
    SkinWebServer_OnRequestHeader(g_core, g_server, c);
    DuplexStream_ReadPut(c->Stream, body.data(), (uint32_t)body.size());
    SkinWebServer_OnRequestBody(g_core, g_server, c, (int64_t)body.size());
    if (SkinWebServer_OnResponseHeader(g_core, g_server, c) == 1) {
        for (int i = 0; i < 1000 && SkinWebServer_OnResponseBody(g_core, g_server, c, 15360); i++) {
        }
    }
    const int32_t code = c->ResponseCode;
    Require(c->ResponseLength < 0 || c->BodyWritten <= c->ResponseLength);
    // The header block first, then the body.
    std::string sent;
    char buffer[16384];
    uint32_t got = 0;
    do {
        DuplexStream_WriteGet(c->Stream, buffer, sizeof(buffer), &got);
        sent.append(buffer, got);
    } while (got > 0);
    const size_t split = sent.find("\r\n\r\n");
    *answer = split == std::string::npos ? "" : sent.substr(split + 4);
    SkinWebServer_OnConnectionClose(g_core, g_server, c);
    WebServer_ConnectionFreeDetached(&c);
    return code;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = Setup();
    (void)ready;
    if (size < 1 || size > 65536) return 0;
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    const bool create = (data[0] & 1) == 0;
    // The application's instance is made again whenever an earlier input released it.
    if (!create && !Interop_DispatchHasInstance(g_app)) {
        char id[INTEROP_INSTANCE_ID_SIZE] = "";
        Require(Interop_DispatchCreateInstance("QVR.SkinApp", id, sizeof(id), nullptr, nullptr, nullptr) == 1);
    }
    const std::string path = create ? "/instances/" : std::string("/instances/") + g_app;
    // Mostly a call of the skin's own origin; now and then one from elsewhere, which is refused.
    static std::string origin;
    if (origin.empty()) {
        char text[320];
        Require(URL_ParseOrigin(SkinApp_GetContentUrl(), text, sizeof(text)) == 1);
        origin = text;
    }
    const bool foreign = (data[0] & 6) == 6;
    const std::string header = "POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                               "\r\nOrigin: " + (foreign ? "http://127.0.0.1:1" : origin) +
                               "\r\nContent-Type: application/json\r\n\r\n";
    std::string answer;
    const int32_t code = Exchange(header, body, &answer);
    Require(foreign ? code == 403 : (code == 200 || code == 201 || code == 400));
    if (create && code == 201) {
        // What was made is alive and goes again, so that instances do not pile up.
        Require(Interop_DispatchHasInstance(answer.c_str()) == 1);
        Interop_DispatchReleaseInstance(answer.c_str());
    }
    Interop_Process();
    EventQueue_Flush(nullptr);
    return 0;
}
