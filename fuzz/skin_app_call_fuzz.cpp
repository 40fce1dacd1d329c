// Feeds arbitrary invoke requests (JSON texts) to the script class "QVR.SkinApp" through the
// bridge, over a directory skin with a window configuration and a locale file, windows made
// against a headless browser; the windows script opens are closed and run to their end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/formats/interop.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "skin/localisation.h"
#include "skin/native_skin_window.h"
#include "skin/script_invoker.h"
#include "skin/skin_app.h"
#include "skin/skin_file.h"
#include "skin/web_browser.h"
#include "tests/skin/test_browser.h"
#include "workflow/workflow_app.h"

namespace {

void RequireAt(bool condition, int line) {
    if (condition) return;
    fprintf(stderr, "requirement at line %d failed\n", line);
    std::abort();
}
#define Require(condition) RequireAt((condition), __LINE__)

char AppId[INTEROP_INSTANCE_ID_SIZE] = "";

void Put(const std::string& path, const char* text) {
    FILE* file = fopen(path.c_str(), "w");
    Require(file != nullptr);
    fputs(text, file);
    fclose(file);
}

bool Setup() {
    char pattern[] = "/tmp/skin-app-fuzz-XXXXXX";
    Require(mkdtemp(pattern) != nullptr);
    const std::string root = pattern;
    Require(mkdir((root + "/locale").c_str(), 0700) == 0);
    Put(root + "/app.yaml", "name: fuzz\n");
    Put(root + "/main.json", "{\"url\":\"http://x/{Lower:A}\",\"title\":\"T\"}");
    Put(root + "/second.yaml", "url: http://x/second\n");
    Put(root + "/locale/en.json", "{\"Key\":\"Text &amp; \\u00e9\"}");
    Require(WorkflowApp_Init("skin_app_call_fuzz.log", 0) == 1);
    WorkflowApp_InitInterop();
    Require(Interop_Add("skin", SkinInterop_Init, SkinInterop_Remove, SkinInterop_CreateInstance,
                        SkinInterop_SetOverride, SkinInterop_SetOption) != nullptr);
    Require(WebBrowser_Init(TestBrowser_GetInterface(), "lib") == 1);
    NativeSkinWindow_SetInterface(TestNative_GetInterface());
    SkinFile_Init();
    L10N_Init();
    Require(SkinFile_Attach(root.c_str()) == 1);
    return true;
}

// A running application with its script instance; a finished one (its last window gone) is
// replaced, since it takes no more windows through its ticks.
void EnsureRunning() {
    if (SkinApp_IsRunning() && AppId[0]) return;
    if (AppId[0]) Interop_DispatchReleaseInstance(AppId);
    SkinApp_Remove();
    Require(SkinApp_Init() == 1);
    AppId[0] = 0;
    Require(Interop_DispatchCreateInstance("QVR.SkinApp", AppId, sizeof(AppId), nullptr, nullptr, nullptr) == 1);
    char id[INTEROP_INSTANCE_ID_SIZE];
    Require(SkinApp_OpenWindow("main.json", id, sizeof(id)) == 1);
    SkinApp_Start(0);
}

void Pump() {
    for (int i = 0; i < 4; i++) {
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
        SkinApp_Process();
    }
    Interop_Process();
}

int32_t Windows() {
    int32_t count = 0;
    SkinApp_EnumerateWindows(&count, [](void* user, SkinWindow*) -> int64_t {
        ++*static_cast<int32_t*>(user);
        return 1;
    });
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = Setup();
    (void)ready;
    if (size > 1 << 16) return 0;
    EnsureRunning();
    const std::string request(reinterpret_cast<const char*>(data), size);
    MemoryStream* out = nullptr;
    MemoryStream_Create(&out);
    MemoryStream_SetAutoGrow(out, 1);
    Interop_DispatchInvokeJSON(AppId, request.c_str(), out);
    MemoryStream_Release(&out);
    // Windows script opened are closed again so that they never pile up.
    if (Windows() > 4) SkinApp_CloseAllWindows();
    Pump();
    SkinApp_SetRemoveLocalStorage(0);
    return 0;
}
