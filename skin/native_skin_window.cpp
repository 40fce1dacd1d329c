// The installed native window table and the platform-independent name translations.
#include "skin/native_skin_window.h"

#include "core/runtime/debug.h"
#include "core/runtime/string.h"

namespace {

const NativeSkinWindowInterface* g_table = nullptr;
bool g_cursorGate = false;
bool g_allowCursorChange = false;

constexpr const char* kCursorNames[] = {
    "auto",      "default",   "crosshair",   "allscroll", "help",      "move",      "nodrop",   "not-allowed",
    "pointer",   "progress",  "text",        "wait",      "n-resize",  "ne-resize", "nesw-resize", "ns-resize",
    "nw-resize", "nwse-resize", "e-resize",  "ew-resize", "s-resize",  "se-resize", "sw-resize", "w-resize",
};

} // namespace

int64_t NativeSkinWindow_SetInterface(const NativeSkinWindowInterface* table) {
    g_table = table;
    return 1;
}

const NativeSkinWindowInterface* NativeSkinWindow_GetInterface() { return g_table; }

int64_t NativeWindow_SetCursor(NativeSkinWindow* window, int32_t cursor) {
    ASSERT_POINTER(g_table);
    if (g_cursorGate && !g_allowCursorChange) return 1;
    return g_table->SetCursor(window, cursor);
}

int64_t NativeWindow_SetCursorGate(int32_t on) {
    g_cursorGate = on != 0;
    return 1;
}

int64_t NativeWindow_AllowCursorChange(int32_t allow) {
    g_allowCursorChange = allow != 0;
    return 1;
}

int32_t NativeWindow_TranslateCursorString(const char* name) {
    if (name == nullptr) return 0;
    for (int32_t id = 0; id < (int32_t)(sizeof(kCursorNames) / sizeof(kCursorNames[0])); id++)
        if (String_CompareWithoutCase(name, kCursorNames[id]) == 1) return id;
    return 0;
}

int32_t NativeWindow_TranslateFrameString(const char* name) {
    if (name == nullptr) return NATIVEWINDOW_FRAME_NORMAL;
    if (String_CompareWithoutCase(name, "Borderless") == 1) return NATIVEWINDOW_FRAME_BORDERLESS;
    if (String_CompareWithoutCase(name, "Popup") == 1) return NATIVEWINDOW_FRAME_POPUP;
    if (String_CompareWithoutCase(name, "Resizable") == 1) return NATIVEWINDOW_FRAME_RESIZABLE;
    return NATIVEWINDOW_FRAME_NORMAL;
}
