// "QVR.SkinWindow": each method of the page's window object, selected by the CRC-32 of its name,
// reads its named arguments and answers under "returnValue".
#include "skin/skin_window_interop.h"

#include <cmath>

#include "core/formats/interop_request.h"
#include "core/platform/path.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "skin/native_skin_window.h"
#include "skin/script_object.h"
#include "skin/skin_window.h"
#include "skin/skin_window_internal.h"
#include "skin/web_browser.h"

namespace {

const SkinWindowControlsInterface* g_controls = nullptr;

constexpr const char* kClass = "SkinWindow";
constexpr int32_t kConfigSize = 8192;
constexpr int32_t kPathSize = 320;

constexpr auto H = ApiGen_MethodHash;

// Truncates toward zero into 32 bits; values beyond saturate.
int32_t Truncate(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return INT32_MAX;
    if (value <= -2147483648.0) return INT32_MIN;
    return (int32_t)value;
}

// One call: after the first missing or mistyped argument no more are read, nothing is performed
// and the answer is false with 0.
struct Call {
    Dictionary* Request;
    Dictionary* Result;
    const char* Method;
    bool Ok = true;

    const char* String(const char* name) {
        const char* value = nullptr;
        if (Ok && !(ApiGen_GetStringPtr(Request, kClass, Method, name, &value) && value)) Ok = false;
        return Ok ? value : "";
    }
    int32_t Integer(const char* name) {
        int32_t value = 0;
        if (Ok && !ApiGen_GetInt32(Request, kClass, Method, name, &value)) Ok = false;
        return Ok ? value : 0;
    }
    uint32_t Boolean(const char* name) {
        uint32_t value = 0;
        if (Ok && !ApiGen_GetBoolean(Request, kClass, Method, name, &value)) Ok = false;
        return Ok && value ? 1 : 0;
    }
    int64_t ReturnBoolean(int64_t answer) {
        Dictionary_AddBoolean(Result, "returnValue", Ok && answer == 1 ? 1 : 0, nullptr);
        return Ok ? 1 : 0;
    }
    int64_t ReturnInteger(int32_t value) {
        Dictionary_AddInt64(Result, "returnValue", value, nullptr);
        return 1;
    }
    int64_t ReturnString(const char* text) {
        Dictionary_AddString(Result, "returnValue", text, nullptr);
        return 1;
    }
};

int64_t Query(Call& c, SkinWindow* window, int64_t (*get)(SkinWindow*, int32_t*)) {
    int32_t value = 0;
    get(window, &value);
    return c.ReturnInteger(value);
}

int64_t Answer(Call& c, SkinWindow* window, int64_t (*get)(SkinWindow*)) { return c.ReturnBoolean(get(window)); }

// A flag of the window: the getter answers it, the setter stores the argument once read.
int64_t GetFlag(Call& c, SkinWindow* window, int64_t (*get)(SkinWindow*, uint32_t*)) {
    uint32_t value = 0;
    get(window, &value);
    return c.ReturnBoolean(value);
}

int64_t SetFlag(Call& c, SkinWindow* window, int64_t (*set)(SkinWindow*, uint32_t), const char* name) {
    const uint32_t value = c.Boolean(name);
    if (c.Ok) set(window, value);
    return c.ReturnBoolean(1);
}

const char* FrameName(int32_t frame) {
    switch (frame) {
    case NATIVEWINDOW_FRAME_BORDERLESS:
    case NATIVEWINDOW_FRAME_POPUP:
        return "Borderless";
    case NATIVEWINDOW_FRAME_RESIZABLE:
        return "Resizable";
    default:
        return "Normal";
    }
}

int64_t GetConfig(Call& c, SkinWindow* window) {
    const char* key = c.String("key");
    const char* fallback = c.String("defaultValue");
    if (!c.Ok) return c.ReturnBoolean(0);
    char* value = new char[kConfigSize];
    SkinWindow_GetConfig(window, key, fallback, value, kConfigSize);
    const int64_t result = c.ReturnString(value);
    delete[] value;
    return result;
}

int64_t Icon(Call& c, SkinWindow* window, int64_t (*set)(SkinWindow*, int32_t, int32_t, int32_t, int32_t)) {
    const int32_t x = c.Integer("x");
    const int32_t y = c.Integer("y");
    const int32_t width = c.Integer("width");
    const int32_t height = c.Integer("height");
    return c.ReturnBoolean(c.Ok && set(window, x, y, width, height));
}

int64_t Dialog(Call& c, SkinWindow* window, uint32_t hash) {
    const char* text = c.String("text");
    if (hash == H("messageBox")) {
        const char* caption = c.String("caption");
        const int32_t type = c.Integer("type");
        const char* callbackId = c.String("callbackId");
        if (c.Ok) SkinWindow_MessageBox(window, text, caption, (uint32_t)type, callbackId);
    } else if (hash == H("browseForFile")) {
        const char* description = c.String("fileTypeDesc");
        const char* extension = c.String("fileTypeExt");
        const char* startPath = c.String("startPath");
        const char* startFile = c.String("startFile");
        const char* callbackId = c.String("callbackId");
        if (c.Ok) SkinWindow_BrowseForFile(window, text, description, extension, startPath, startFile, callbackId);
    } else {
        const char* startPath = c.String("startPath");
        const char* callbackId = c.String("callbackId");
        if (c.Ok) SkinWindow_BrowseForFolder(window, text, startPath, callbackId);
    }
    return c.ReturnBoolean(1);
}

int64_t Mouse(Call& c, SkinWindow* window, uint32_t hash) {
    const int32_t x = c.Integer("x");
    const int32_t y = c.Integer("y");
    if (hash == H("simulateMouseWheel")) {
        const int32_t delta = c.Integer("delta");
        if (c.Ok) SkinWindow_SimulateMouseWheel(window, x, y, delta);
        return c.ReturnBoolean(1);
    }
    const uint32_t modifiers = (uint32_t)c.Integer("modifiers");
    if (hash == H("simulateMouseMove")) {
        const uint32_t leave = c.Boolean("leave");
        if (c.Ok) SkinWindow_SimulateMouseMove(window, x, y, modifiers, leave);
    } else if (c.Ok) {
        if (hash == H("simulateMouseDown"))
            SkinWindow_SimulateMouseDown(window, x, y, modifiers);
        else
            SkinWindow_SimulateMouseUp(window, x, y, modifiers);
    }
    return c.ReturnBoolean(1);
}

int64_t Key(Call& c, SkinWindow* window, uint32_t hash) {
    const int32_t virtualKey = c.Integer("virtualKey");
    const int32_t character = c.Integer("character");
    const int32_t extended = c.Integer("extended");
    const uint32_t modifier = (uint32_t)c.Integer("modifier");
    if (!c.Ok) return c.ReturnBoolean(0);
    if (hash == H("simulateKeyDown"))
        SkinWindow_SimulateKeyDown(window, virtualKey, character, extended, modifier);
    else if (hash == H("simulateKeyUp"))
        SkinWindow_SimulateKeyUp(window, virtualKey, character, extended, modifier);
    else
        SkinWindow_SimulateCharacter(window, virtualKey, character, extended, modifier);
    return c.ReturnBoolean(1);
}

int64_t Edit(Call& c, SkinWindow* window, int64_t (*edit)(SkinWindow*)) {
    edit(window);
    return c.ReturnBoolean(1);
}

void FrameChange(SkinWindow* window, int64_t (*SkinWindowControlsInterface::*slot)(NativeSkinWindow*)) {
    if (!g_controls || !window->Native) return;
    SkinWindow_BeginScriptFrameChange(window);
    (g_controls->*slot)(window->Native);
    SkinWindow_EndScriptFrameChange(window);
}

int64_t State(SkinWindow* window, int64_t (*SkinWindowControlsInterface::*slot)(NativeSkinWindow*)) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    return g_controls && window->Native && (g_controls->*slot)(window->Native) == 1 ? 1 : 0;
}

int64_t BeginDrag(SkinWindow* window, int32_t resize) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    double x = 0, y = 0;
    if (!g_controls || !window->Native || g_controls->BeginDrag(window->Native, resize, &x, &y) != 1) return 1;
    window->StartX = x;
    window->StartY = y;
    if (resize) {
        window->Resizing = 1;
    } else {
        window->Moving = 1;
        NotificationCenter_FireWithJSON(kClass, "BeginMove", window->Header.InstanceId, "{\"x\": %d, \"y\": %d}",
                                        Truncate(x), Truncate(y));
    }
    return 1;
}

WebBrowser* Browser(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    return window->Browser;
}

} // namespace

int64_t SkinWindowControls_SetInterface(const SkinWindowControlsInterface* table) {
    g_controls = table;
    return 1;
}

// ---- Window operations ---------------------------------------------------------------------------

int64_t SkinWindow_Maximize(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    FrameChange(window, &SkinWindowControlsInterface::Maximize);
    return 1;
}

int64_t SkinWindow_Minimize(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    FrameChange(window, &SkinWindowControlsInterface::Minimize);
    return 1;
}

int64_t SkinWindow_Restore(SkinWindow* window) {
    if (SkinWindow_IsMinimized(window) != 1 && SkinWindow_IsMaximized(window) != 1) return 0;
    FrameChange(window, &SkinWindowControlsInterface::Restore);
    return 1;
}

int64_t SkinWindow_IsVisible(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    return window->Native && NativeSkinWindow_GetInterface()->IsVisible(window->Native) == 1 ? 1 : 0;
}

int64_t SkinWindow_IsMinimized(SkinWindow* window) { return State(window, &SkinWindowControlsInterface::IsMinimized); }
int64_t SkinWindow_IsMaximized(SkinWindow* window) { return State(window, &SkinWindowControlsInterface::IsMaximized); }

int64_t SkinWindow_SetWindowFrame(SkinWindow* window, const char* frame) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(frame);
    if (window->Native == nullptr) return 0;
    window->Frame = NativeWindow_TranslateFrameString(frame);
    return NativeSkinWindow_GetInterface()->SetFrame(window->Native, window->Frame) == 1 ? 1 : 0;
}

int64_t SkinWindow_GetWindowFrame(SkinWindow* window, char* buffer, int32_t capacity) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, FrameName(window->Frame), capacity);
    return 1;
}

int64_t SkinWindow_GetMinWidth(SkinWindow* window, int32_t* width) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(width);
    *width = window->MinWidth;
    return 1;
}

int64_t SkinWindow_GetMinHeight(SkinWindow* window, int32_t* height) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(height);
    *height = window->MinHeight;
    return 1;
}

int64_t SkinWindow_SetMinSize(SkinWindow* window, int32_t width, int32_t height) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    window->MinWidth = width < 0 ? 0 : width;
    window->MinHeight = height < 0 ? 0 : height;
    if (window->Native)
        NativeSkinWindow_GetInterface()->SetMinimumSize(window->Native, window->MinWidth, window->MinHeight);
    return 1;
}

int64_t SkinWindow_SendMessage(SkinWindow* window, const char* message) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(message);
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_SetStringByKey(info, "message", message);
    NotificationCenter_Fire(kClass, "Message", window->Header.InstanceId, info);
    Dictionary_Release(&info);
    return 1;
}

#define SKINWINDOW_FLAG(Name)                                                                      \
    int64_t SkinWindow_Get##Name(SkinWindow* window, uint32_t* value) {                            \
        CLASS_CHECK(window, SKINWINDOW_CLASS_ID);                                                  \
        ASSERT_POINTER(value);                                                                     \
        *value = window->Name;                                                                     \
        return 1;                                                                                  \
    }                                                                                              \
    int64_t SkinWindow_Set##Name(SkinWindow* window, uint32_t value) {                             \
        CLASS_CHECK(window, SKINWINDOW_CLASS_ID);                                                  \
        window->Name = value ? 1 : 0;                                                              \
        return 1;                                                                                  \
    }
SKINWINDOW_FLAG(CanHide)
SKINWINDOW_FLAG(CanShow)
SKINWINDOW_FLAG(CanMaximize)
SKINWINDOW_FLAG(CanMinimize)
SKINWINDOW_FLAG(CanRestore)
SKINWINDOW_FLAG(UseNotificationArea)
SKINWINDOW_FLAG(MinimizeToNotificationArea)
#undef SKINWINDOW_FLAG

// Whether the window can be activated is not kept on this platform.
int64_t SkinWindow_SetCanActivate(SkinWindow* window, uint32_t) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    return 1;
}

int64_t SkinWindow_BeginMove(SkinWindow* window) { return BeginDrag(window, 0); }
int64_t SkinWindow_BeginSize(SkinWindow* window) { return BeginDrag(window, 1); }

int64_t NativeTaskbar_SetProgress(int32_t value) { return g_controls ? g_controls->SetTaskbarProgress(value) : 0; }

int64_t NativeNotify_Update(NativeSkinWindow* window, int32_t type, const char* caption, const char* message) {
    ASSERT_POINTER(caption);
    ASSERT_POINTER(message);
    return g_controls && window ? g_controls->Notify(window, type, caption, message) == 1 : 0;
}

int64_t SkinWindow_SetTaskbarProgress(SkinWindow* window, int32_t value) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    NativeTaskbar_SetProgress(value);
    return 1;
}

int64_t SkinWindow_Notify(SkinWindow* window, int32_t type, const char* caption, const char* message) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    return NativeNotify_Update(window->Native, type, caption, message);
}

int64_t SkinWindow_SaveImage(SkinWindow* window, const char* path) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(path);
    if (!g_controls || !window->Native || ScriptObject_RefusesLocation(path)) return 0;
    // A path that cannot be resolved whole is refused: cut or left relative, it would name
    // another file.
    char resolved[1024];
    if (Path_Resolve(path, resolved, (int32_t)sizeof(resolved)) != 1) return 0;
    return g_controls->SaveImage(window->Native, resolved) == 1 ? 1 : 0;
}

// ---- Simulated input --------------------------------------------------------------------------------

int64_t SkinWindow_SimulateMouseDown(SkinWindow* window, int32_t x, int32_t y, uint32_t modifiers) {
    WebBrowser_SimulateMouseDown(Browser(window), x, y, modifiers);
    return 1;
}

int64_t SkinWindow_SimulateMouseMove(SkinWindow* window, int32_t x, int32_t y, uint32_t modifiers, uint32_t leave) {
    WebBrowser_SimulateMouseMove(Browser(window), x, y, modifiers, leave ? 1 : 0);
    if (g_controls && window->Native && (window->Moving || window->Resizing))
        g_controls->ContinueDrag(window->Native, window->Moving ? 0 : 1);
    return 1;
}

int64_t SkinWindow_SimulateMouseUp(SkinWindow* window, int32_t x, int32_t y, uint32_t modifiers) {
    WebBrowser_SimulateMouseUp(Browser(window), x, y, modifiers);
    if (!(modifiers & WEBBROWSER_MODIFIER_LEFT_BUTTON)) return 1;
    if (window->Resizing && g_controls && window->Native) g_controls->EndLiveResize(window->Native);
    if (window->Moving)
        NotificationCenter_FireWithJSON(kClass, "EndMove", window->Header.InstanceId,
                                        "{\"x\": %d, \"y\": %d, \"deltaX\": %d, \"deltaY\": %d}",
                                        Truncate(window->StartX), Truncate(window->StartY),
                                        Truncate(x - window->StartX), Truncate(y - window->StartY));
    window->Moving = window->Resizing = 0;
    return 1;
}

int64_t SkinWindow_SimulateMouseWheel(SkinWindow* window, int32_t x, int32_t y, int32_t delta) {
    WebBrowser_SimulateMouseWheel(Browser(window), x, y, delta);
    return 1;
}

int64_t SkinWindow_SimulateKeyDown(SkinWindow* window, int32_t virtualKey, int32_t character, int32_t extended,
                                   uint32_t modifier) {
    WebBrowser_SimulateKeyDown(Browser(window), virtualKey, character, extended, modifier);
    return 1;
}

int64_t SkinWindow_SimulateKeyUp(SkinWindow* window, int32_t virtualKey, int32_t character, int32_t extended,
                                 uint32_t modifier) {
    WebBrowser_SimulateKeyUp(Browser(window), virtualKey, character, extended, modifier);
    return 1;
}

int64_t SkinWindow_SimulateCharacter(SkinWindow* window, int32_t virtualKey, int32_t character, int32_t extended,
                                     uint32_t modifier) {
    WebBrowser_SimulateCharacter(Browser(window), virtualKey, character, extended, modifier);
    return 1;
}

#define SKINWINDOW_EDIT(Name)                                                                      \
    int64_t SkinWindow_Simulate##Name(SkinWindow* window) {                                        \
        WebBrowser_Simulate##Name(Browser(window));                                                \
        return 1;                                                                                  \
    }
SKINWINDOW_EDIT(Undo)
SKINWINDOW_EDIT(Redo)
SKINWINDOW_EDIT(Cut)
SKINWINDOW_EDIT(Copy)
SKINWINDOW_EDIT(Paste)
SKINWINDOW_EDIT(Delete)
SKINWINDOW_EDIT(SelectAll)
#undef SKINWINDOW_EDIT

// ---- Script class -----------------------------------------------------------------------------------

int64_t SkinWindow_Invoke(void* instance, Dictionary* request, Dictionary* result) {
    SkinWindow* window = static_cast<SkinWindow*>(instance);
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, kClass, &method, &hash)) return 0;
    Call c{request, result, method};
    char text[kPathSize];
    switch (hash) {
    case H("show"):
        if (window->Native) SkinWindow_Show(window);
        return c.ReturnBoolean(1);
    case H("hide"):
        if (window->Native) SkinWindow_Hide(window);
        return c.ReturnBoolean(1);
    case H("close"):
        SkinWindow_Close(window);
        return c.ReturnBoolean(1);
    case H("maximize"):
        return Answer(c, window, SkinWindow_Maximize);
    case H("minimize"):
        return Answer(c, window, SkinWindow_Minimize);
    case H("restore"):
        return Answer(c, window, SkinWindow_Restore);
    case H("center"):
        return c.ReturnBoolean(window->Native && SkinWindow_Center(window));
    case H("isVisible"):
        return Answer(c, window, SkinWindow_IsVisible);
    case H("isMinimized"):
        return Answer(c, window, SkinWindow_IsMinimized);
    case H("isMaximized"):
        return Answer(c, window, SkinWindow_IsMaximized);
    case H("setWindowFrame"): {
        const char* frame = c.String("windowFrame");
        return c.ReturnBoolean(c.Ok && SkinWindow_SetWindowFrame(window, frame));
    }
    case H("getWindowFrame"):
        SkinWindow_GetWindowFrame(window, text, kPathSize);
        return c.ReturnString(text);
    case H("getPopupFrame"):
        SkinWindow_GetPopupFrame(window, text, kPathSize);
        return c.ReturnString(text);
    case H("getX"):
        return Query(c, window, SkinWindow_GetX);
    case H("getY"):
        return Query(c, window, SkinWindow_GetY);
    case H("getWidth"):
        return Query(c, window, SkinWindow_GetWidth);
    case H("getHeight"):
        return Query(c, window, SkinWindow_GetHeight);
    case H("getScreenWidth"):
        return Query(c, window, SkinWindow_GetScreenWidth);
    case H("getScreenHeight"):
        return Query(c, window, SkinWindow_GetScreenHeight);
    case H("getMinWidth"):
        return Query(c, window, SkinWindow_GetMinWidth);
    case H("getMinHeight"):
        return Query(c, window, SkinWindow_GetMinHeight);
    case H("setSize"): {
        const int32_t width = c.Integer("width");
        const int32_t height = c.Integer("height");
        return c.ReturnBoolean(c.Ok && window->Native && SkinWindow_SetSize(window, width, height));
    }
    case H("setOrigin"): {
        const int32_t x = c.Integer("x");
        const int32_t y = c.Integer("y");
        if (c.Ok && window->Native) SkinWindow_SetOrigin(window, x, y);
        return c.ReturnBoolean(1);
    }
    case H("setMinSize"): {
        const int32_t width = c.Integer("width");
        const int32_t height = c.Integer("height");
        if (c.Ok) SkinWindow_SetMinSize(window, width, height);
        return c.ReturnBoolean(1);
    }
    case H("setTitle"): {
        const char* title = c.String("title");
        if (c.Ok && window->Native) SkinWindow_SetTitle(window, title);
        return c.ReturnBoolean(1);
    }
    case H("getTitle"):
        SkinWindow_GetTitle(window, text, kPathSize);
        return c.ReturnString(text);
    case H("getConfig"):
        return GetConfig(c, window);
    case H("sendMessage"): {
        const char* message = c.String("message");
        if (c.Ok) SkinWindow_SendMessage(window, message);
        return c.ReturnBoolean(1);
    }
    case H("loaded"):
        SkinWindow_Loaded(window);
        return c.ReturnBoolean(1);
    case H("getCanMove"): return GetFlag(c, window, SkinWindow_GetCanMove);
    case H("setCanMove"): return SetFlag(c, window, SkinWindow_SetCanMove, "canMove");
    case H("getCanClose"): return GetFlag(c, window, SkinWindow_GetCanClose);
    case H("setCanClose"): return SetFlag(c, window, SkinWindow_SetCanClose, "canClose");
    case H("getCanHide"): return GetFlag(c, window, SkinWindow_GetCanHide);
    case H("setCanHide"): return SetFlag(c, window, SkinWindow_SetCanHide, "canHide");
    case H("getCanShow"): return GetFlag(c, window, SkinWindow_GetCanShow);
    case H("setCanShow"): return SetFlag(c, window, SkinWindow_SetCanShow, "canShow");
    case H("getCanMaximize"): return GetFlag(c, window, SkinWindow_GetCanMaximize);
    case H("setCanMaximize"): return SetFlag(c, window, SkinWindow_SetCanMaximize, "canMaximize");
    case H("getCanMinimize"): return GetFlag(c, window, SkinWindow_GetCanMinimize);
    case H("setCanMinimize"): return SetFlag(c, window, SkinWindow_SetCanMinimize, "canMinimize");
    case H("getCanRestore"): return GetFlag(c, window, SkinWindow_GetCanRestore);
    case H("setCanRestore"): return SetFlag(c, window, SkinWindow_SetCanRestore, "canRestore");
    case H("getUseNotificationArea"): return GetFlag(c, window, SkinWindow_GetUseNotificationArea);
    case H("setUseNotificationArea"): return SetFlag(c, window, SkinWindow_SetUseNotificationArea, "useNotificationArea");
    case H("getMinimizeToNotificationArea"): return GetFlag(c, window, SkinWindow_GetMinimizeToNotificationArea);
    case H("setMinimizeToNotificationArea"):
        return SetFlag(c, window, SkinWindow_SetMinimizeToNotificationArea, "minimizeToNotificationArea");
    case H("getCanActivate"):
        return c.ReturnBoolean(1);
    case H("setCanActivate"):
        return SetFlag(c, window, SkinWindow_SetCanActivate, "canActivate");
    case H("beginMove"):
        return Answer(c, window, SkinWindow_BeginMove);
    case H("beginSize"):
        return Answer(c, window, SkinWindow_BeginSize);
    case H("setBigIcon"):
        return Icon(c, window, SkinWindow_SetBigIcon);
    case H("setTaskbarOverlay"):
        return Icon(c, window, SkinWindow_SetTaskbarOverlay);
    case H("setSmallIcon"):
        return Icon(c, window, SkinWindow_SetSmallIcon);
    case H("setNotificationAreaIcon"):
        return Icon(c, window, SkinWindow_SetNotificationAreaIcon);
    case H("setTaskbarProgress"): {
        const int32_t value = c.Integer("value");
        if (c.Ok) SkinWindow_SetTaskbarProgress(window, value);
        return c.ReturnBoolean(1);
    }
    case H("messageBox"):
    case H("browseForFile"):
    case H("browseForFolder"):
        return Dialog(c, window, hash);
    case H("notify"): {
        const int32_t type = c.Integer("type");
        const char* caption = c.String("caption");
        const char* message = c.String("message");
        return c.ReturnBoolean(c.Ok && SkinWindow_Notify(window, type, caption, message));
    }
    case H("setContextMenu"): {
        const char* menu = c.String("menu");
        return c.ReturnBoolean(c.Ok && window->Native && SkinWindow_SetContextMenu(window, menu));
    }
    case H("setContextMenuSelect"): {
        const int32_t id = c.Integer("id");
        const uint32_t select = c.Boolean("select");
        return c.ReturnBoolean(c.Ok && SkinWindow_SetContextMenuSelect(window, id, select));
    }
    case H("setCursor"): {
        const char* cursor = c.String("cursor");
        return c.ReturnBoolean(c.Ok && SkinWindow_SetCursor(window, cursor));
    }
    case H("saveImage"): {
        const char* path = c.String("path");
        return c.ReturnBoolean(c.Ok && SkinWindow_SaveImage(window, path));
    }
    case H("simulateMouseDown"):
    case H("simulateMouseUp"):
    case H("simulateMouseMove"):
    case H("simulateMouseWheel"):
        return Mouse(c, window, hash);
    case H("simulateKeyDown"):
    case H("simulateKeyUp"):
    case H("simulateCharacter"):
        return Key(c, window, hash);
    case H("simulateUndo"): return Edit(c, window, SkinWindow_SimulateUndo);
    case H("simulateRedo"): return Edit(c, window, SkinWindow_SimulateRedo);
    case H("simulateCut"): return Edit(c, window, SkinWindow_SimulateCut);
    case H("simulateCopy"): return Edit(c, window, SkinWindow_SimulateCopy);
    case H("simulatePaste"): return Edit(c, window, SkinWindow_SimulatePaste);
    case H("simulateDelete"): return Edit(c, window, SkinWindow_SimulateDelete);
    case H("simulateSelectAll"): return Edit(c, window, SkinWindow_SimulateSelectAll);
    default:
        return 0;
    }
}
