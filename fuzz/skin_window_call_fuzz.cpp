// Feeds arbitrary invoke requests (JSON texts) to the script class "QVR.SkinWindow" through the
// bridge, for a window over the headless browser, native window, controls and dialogs; drags,
// dialogs and their page callbacks run their course each time.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "skin/script_invoker.h"
#include "skin/skin_window.h"
#include "tests/skin/test_browser.h"
#include "tests/skin/test_window_controls.h"

namespace {

void RequireAt(bool condition, int line) {
    if (condition) return;
    fprintf(stderr, "requirement at line %d failed\n", line);
    std::abort();
}
#define Require(condition) RequireAt((condition), __LINE__)

SkinWindow* Window = nullptr;
char WindowId[INTEROP_INSTANCE_ID_SIZE] = "";
InteropExecuteCallback* Script = nullptr;

bool Setup() {
    Require(Debug_Init("/tmp/skin_window_call_fuzz.log", nullptr, DEBUG_FLAG_FILE) == 1);
    Require(Thread_Init() == 1);
    Require(EventQueue_Init() == 1);
    Require(Interop_Init() == 1);
    Require(NotificationCenter_Init() == 1);
    Require(Interop_Add("skin", SkinInterop_Init, SkinInterop_Remove, SkinInterop_CreateInstance,
                        SkinInterop_SetOverride, SkinInterop_SetOption) != nullptr);
    Require(WebBrowser_Init(TestBrowser_GetInterface(), "lib") == 1);
    NativeSkinWindow_SetInterface(TestNative_GetInterface());
    SkinWindowControls_SetInterface(TestControls_GetInterface());
    SkinWindowDialog_SetNativeInterface(TestDialogs_GetInterface());
    Interop_AddExecuteCallback(&Script, nullptr, [](void*, InteropExecuteCallback*, const char*, void*) -> int64_t {
        return 1;
    });
    Require(SkinWindow_Create(&Window) == 1);
    Dictionary* config = nullptr;
    JSON* parser = nullptr;
    Dictionary_Create(&config);
    JSON_Create(&parser);
    JSON_SetDictionaryHandle(parser, config);
    Require(JSON_LoadString(parser, "%s", R"({"title":"T","deep":{"list":[1,"a",{"b":true}]},"popupFrame":"Resizable"})") == 1);
    JSON_Release(&parser);
    SkinWindow_LoadConfig(Window, config);
    Dictionary_Release(&config);
    return true;
}

void Pump() {
    for (int i = 0; i < 3; i++) {
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
    }
    Interop_Process();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = Setup();
    (void)ready;
    if (size > 1 << 16) return 0;
    if (!WindowId[0])
        Require(Interop_DispatchCreateInstance("QVR.SkinWindow", WindowId, sizeof(WindowId), Window, Window, nullptr) == 1);
    // The stand-ins answer differently from one input to the next.
    TestControls().MessageBoxAnswer = size % 9;
    TestControls().ChooserAnswer = size & 1;
    TestControls().Calls.clear();
    TestControls().Dialogs.clear();
    TestBrowser().Calls.clear();
    TestNative().MessageBoxes.clear();
    TestNative().Cursors.clear();
    const std::string request(reinterpret_cast<const char*>(data), size);
    MemoryStream* out = nullptr;
    MemoryStream_Create(&out);
    MemoryStream_SetAutoGrow(out, 1);
    Interop_DispatchInvokeJSON(WindowId, request.c_str(), out);
    MemoryStream_Release(&out);
    Pump();
    return 0;
}
