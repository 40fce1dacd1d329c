// Window configurations from arbitrary JSON or YAML text, parsed or not, through a skin window's
// configuration loading and the readers of its settings, against headless stand-ins: every
// window ends with sane sizes, bounded texts, and nothing leaked.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/formats/yaml.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "skin/skin_window_internal.h"
#include "tests/skin/test_browser.h"

namespace {

int64_t Quiet(void*, const char*, ...) { return 1; }

// The skin holds one picture under any name that starts with "s".
const SkinWindowAppInterface kApp = {
    nullptr,
    nullptr,
    [](const char*) -> int64_t { return 1; },
    nullptr,
    [](const char* path, void** data, uint32_t* length) -> int64_t {
        if (path[0] != 's') return path[0] == 'c' ? -1 : 0;
        static const char kPicture[] = "IMG 16 16";
        *length = sizeof(kPicture) - 1;
        *data = Memory_Alloc(*length);
        memcpy(*data, kPicture, *length);
        return 1;
    },
    [](void* data, uint32_t length) -> int64_t { return Memory_Free(data, length), 1; },
};

void Check(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Debug_Init(nullptr, nullptr, 0);
    Thread_Init();
    EventQueue_Init();
    Interop_Init();
    NotificationCenter_Init();
    WebBrowser_Init(TestBrowser_GetInterface(), "");
    NativeSkinWindow_SetInterface(TestNative_GetInterface());
    SkinWindow_SetAppInterface(&kApp);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 16)) return 0;
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetPrintCallback(config, nullptr, Quiet);
    // The first byte picks the reader; a text that does not parse still hands over what was read.
    if (data[0] & 1) {
        YAML* yaml = nullptr;
        YAML_Create(&yaml);
        YAML_SetPrintCallback(yaml, nullptr, Quiet);
        YAML_SetDictionaryHandle(yaml, config);
        YAML_LoadBuffer(yaml, data + 1, (uint32_t)(size - 1));
        YAML_Release(&yaml);
    } else {
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetDictionaryHandle(json, config);
        JSON_LoadBuffer(json, data + 1, (uint32_t)(size - 1));
        JSON_Release(&json);
    }

    SkinWindow* window = nullptr;
    SkinWindow_Create(&window);
    Check(SkinWindow_LoadConfig(window, config) == 1);
    Dictionary_Release(&config);
    Check(window->MinWidth >= 1 && window->MinHeight >= 1);
    int32_t width = 0, height = 0;
    SkinWindow_GetWidth(window, &width);
    SkinWindow_GetHeight(window, &height);
    Check(width == window->MinWidth && height == window->MinHeight);
    char text[64];
    for (const char* path : {"title", "url", "minWidth", "cef.webGl", "windows", "a.b.c", "[0]", "..", ""}) {
        memset(text, 'x', sizeof(text));
        SkinWindow_GetConfig(window, path, "default", text, sizeof(text));
        Check(memchr(text, 0, sizeof(text)) != nullptr);
    }
    SkinWindow_GetTitle(window, text, sizeof(text));
    Check(memchr(text, 0, sizeof(text)) != nullptr);
    SkinWindow_GetPopupFrame(window, text, sizeof(text));
    Check(strcmp(text, "Normal") == 0 || strcasecmp(text, "Resizable") == 0);
    Check(SkinWindow_Process(window) == 1);
    Check(SkinWindow_CheckLoadTimeout(window) == 1);
    SkinWindow_SetCanClose(window, 1);
    SkinWindow_Close(window);
    while (SkinWindow_Process(window) == 1) {
    }
    EventQueue_Flush(nullptr);
    NotificationCenter_Process();
    SkinWindow_Release(&window);
    return 0;
}
