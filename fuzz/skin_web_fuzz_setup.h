// What the skin web server's fuzzers share: a small directory skin (with a file beside it that no
// request may reach), the engine, the skin application with a stand-in browser and windows, and
// its web server with short block slots and authentication off (the client checks need a real
// peer; the callbacks behind them are what is fuzzed).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/web/web_server.h"
#include "skin/native_skin_window.h"
#include "skin/script_invoker.h"
#include "skin/skin_app.h"
#include "skin/skin_file.h"
#include "skin/skin_web_server.h"
#include "skin/web_browser.h"
#include "tests/skin/test_browser.h"
#include "workflow/workflow_app.h"

namespace skin_web_fuzz {

inline void RequireAt(bool condition, int line) {
    if (condition) return;
    fprintf(stderr, "requirement at line %d failed\n", line);
    std::abort();
}
#define Require(condition) skin_web_fuzz::RequireAt((condition), __LINE__)

inline void Put(const std::string& path, const std::string& text) {
    FILE* file = fopen(path.c_str(), "w");
    Require(file != nullptr);
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
}

// Starts everything once; the server and its core server come back through the pointers.
inline void Start(const char* logName, SkinWebServer** server, WebServer** core) {
    char pattern[] = "/tmp/skin-web-fuzz-XXXXXX";
    Require(mkdtemp(pattern) != nullptr);
    const std::string root = std::string(pattern) + "/skin";
    Require(mkdir(root.c_str(), 0700) == 0);
    std::string text;
    for (int i = 0; i < 2000; i++) text += "line " + std::to_string(i % 13) + "\n";
    Put(root + "/index.html", text);
    Put(root + "/app.yaml", "name: fuzz\n");
    Put(root + "/{Skin}.txt", "braces");
    Put(std::string(pattern) + "/outside.txt", "outside");
    Require(WorkflowApp_Init(logName, 0) == 1);
    WorkflowApp_InitInterop();
    Require(Interop_Add("skin", SkinInterop_Init, SkinInterop_Remove, SkinInterop_CreateInstance,
                        SkinInterop_SetOverride, SkinInterop_SetOption));
    GlobalWebBrowserInterface = nullptr;
    Require(WebBrowser_Init(TestBrowser_GetInterface(), "lib") == 1);
    NativeSkinWindow_SetInterface(TestNative_GetInterface());
    SkinFile_Init();
    Require(SkinFile_Attach(root.c_str()) == 1);
    Require(SkinApp_Init() == 1);
    Authenticate_SetEnabled(0);
    *server = SkinApp_GetWebServerHandle();
    SkinWebServer_BlockSetQuarterTime(*server, 1);
    SkinWebServer_GetWebServerHandle(*server, core);
}

} // namespace skin_web_fuzz
