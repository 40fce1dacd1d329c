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
#include "skin/skin_window.h"
#include "skin/skin_window_internal.h"
#include "skin/web_browser.h"

namespace {

const SkinWindowControlsInterface* g_controls = nullptr;

constexpr const char* kClass = "SkinWindow";
constexpr int32_t kConfigSize = 8192;
constexpr int32_t kPathSize = 320;

// CRC-32 (reflected, polynomial 0xedb88320) of a method name, as the bridge computes it.
constexpr uint32_t H(const char* text) {
    uint32_t crc = 0xffffffffu;
    for (; *text; text++) {
        crc ^= (uint8_t)*text;
        for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

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

// A flag of the window: the getter answers it, the setter stores the argument once read.
int64_t Flag(Call& c, uint32_t* flag, const char* setter) {
    if (setter == nullptr) return c.ReturnBoolean(*flag);
    const uint32_t value = c.Boolean(setter);
    if (c.Ok) *flag = value;
    return c.ReturnBoolean(1);
}

int64_t FrameChange(Call& c, SkinWindow* window, int64_t (*SkinWindowControlsInterface::*slot)(NativeSkinWindow*)) {
    if (g_controls && window->Native) {
        SkinWindow_BeginScriptFrameChange(window);
        (g_controls->*slot)(window->Native);
        SkinWindow_EndScriptFrameChange(window);
    }
    return c.ReturnBoolean(1);
}

int64_t Restore(Call& c, SkinWindow* window) {
    if (!g_controls || !window->Native) return c.ReturnBoolean(0);
    if (g_controls->IsMinimized(window->Native) != 1 && g_controls->IsMaximized(window->Native) != 1)
        return c.ReturnBoolean(0);
    return FrameChange(c, window, &SkinWindowControlsInterface::Restore);
}

int64_t State(Call& c, SkinWindow* window, int64_t (*SkinWindowControlsInterface::*slot)(NativeSkinWindow*)) {
    return c.ReturnBoolean(g_controls && window->Native ? (g_controls->*slot)(window->Native) : 0);
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

int64_t SetWindowFrame(Call& c, SkinWindow* window) {
    const char* name = c.String("windowFrame");
    if (!c.Ok || window->Native == nullptr) return c.ReturnBoolean(0);
    window->Frame = NativeWindow_TranslateFrameString(name);
    return c.ReturnBoolean(NativeSkinWindow_GetInterface()->SetFrame(window->Native, window->Frame));
}

int64_t SetMinSize(Call& c, SkinWindow* window) {
    const int32_t width = c.Integer("width");
    const int32_t height = c.Integer("height");
    if (c.Ok) {
        window->MinWidth = width < 0 ? 0 : width;
        window->MinHeight = height < 0 ? 0 : height;
        if (window->Native)
            NativeSkinWindow_GetInterface()->SetMinimumSize(window->Native, window->MinWidth, window->MinHeight);
    }
    return c.ReturnBoolean(1);
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

int64_t SendMessage(Call& c, SkinWindow* window) {
    const char* message = c.String("message");
    if (c.Ok) {
        Dictionary* info = nullptr;
        Dictionary_Create(&info);
        Dictionary_SetStringByKey(info, "message", message);
        NotificationCenter_Fire(kClass, "Message", window->Header.InstanceId, info);
        Dictionary_Release(&info);
    }
    return c.ReturnBoolean(1);
}

int64_t BeginDrag(Call& c, SkinWindow* window, int32_t resize) {
    double x = 0, y = 0;
    if (!g_controls || !window->Native || g_controls->BeginDrag(window->Native, resize, &x, &y) != 1)
        return c.ReturnBoolean(1);
    window->StartX = x;
    window->StartY = y;
    if (resize) {
        window->Resizing = 1;
    } else {
        window->Moving = 1;
        NotificationCenter_FireWithJSON(kClass, "BeginMove", window->Header.InstanceId, "{\"x\": %d, \"y\": %d}",
                                        Truncate(x), Truncate(y));
    }
    return c.ReturnBoolean(1);
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

int64_t Notify(Call& c, SkinWindow* window) {
    const int32_t type = c.Integer("type");
    const char* caption = c.String("caption");
    const char* message = c.String("message");
    if (!c.Ok || !g_controls || !window->Native) return c.ReturnBoolean(0);
    return c.ReturnBoolean(g_controls->Notify(window->Native, type, caption, message));
}

int64_t SaveImage(Call& c, SkinWindow* window) {
    const char* path = c.String("path");
    if (!c.Ok || !g_controls || !window->Native) return c.ReturnBoolean(0);
    char resolved[kPathSize];
    if (Path_Resolve(path, resolved, kPathSize) != 1) String_CopyLength(resolved, path, kPathSize);
    return c.ReturnBoolean(g_controls->SaveImage(window->Native, resolved));
}

int64_t Mouse(Call& c, SkinWindow* window, uint32_t hash) {
    const int32_t x = c.Integer("x");
    const int32_t y = c.Integer("y");
    if (hash == H("simulateMouseWheel")) {
        const int32_t delta = c.Integer("delta");
        if (c.Ok) WebBrowser_SimulateMouseWheel(window->Browser, x, y, delta);
        return c.ReturnBoolean(1);
    }
    const uint32_t modifiers = (uint32_t)c.Integer("modifiers");
    if (hash == H("simulateMouseMove")) {
        const uint32_t leave = c.Boolean("leave");
        if (!c.Ok) return c.ReturnBoolean(0);
        WebBrowser_SimulateMouseMove(window->Browser, x, y, modifiers, (int32_t)leave);
        if (g_controls && window->Native && (window->Moving || window->Resizing))
            g_controls->ContinueDrag(window->Native, window->Moving ? 0 : 1);
        return c.ReturnBoolean(1);
    }
    if (!c.Ok) return c.ReturnBoolean(0);
    if (hash == H("simulateMouseDown")) {
        WebBrowser_SimulateMouseDown(window->Browser, x, y, modifiers);
        return c.ReturnBoolean(1);
    }
    WebBrowser_SimulateMouseUp(window->Browser, x, y, modifiers);
    if (modifiers & WEBBROWSER_MODIFIER_LEFT_BUTTON) {
        if (window->Resizing && g_controls && window->Native) g_controls->EndLiveResize(window->Native);
        if (window->Moving)
            NotificationCenter_FireWithJSON(kClass, "EndMove", window->Header.InstanceId,
                                            "{\"x\": %d, \"y\": %d, \"deltaX\": %d, \"deltaY\": %d}",
                                            Truncate(window->StartX), Truncate(window->StartY),
                                            Truncate(x - window->StartX), Truncate(y - window->StartY));
        window->Moving = window->Resizing = 0;
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
        WebBrowser_SimulateKeyDown(window->Browser, virtualKey, character, extended, modifier);
    else if (hash == H("simulateKeyUp"))
        WebBrowser_SimulateKeyUp(window->Browser, virtualKey, character, extended, modifier);
    else
        WebBrowser_SimulateCharacter(window->Browser, virtualKey, character, extended, modifier);
    return c.ReturnBoolean(1);
}

int64_t Edit(Call& c, SkinWindow* window, int64_t (*edit)(WebBrowser*)) {
    edit(window->Browser);
    return c.ReturnBoolean(1);
}

} // namespace

int64_t SkinWindowControls_SetInterface(const SkinWindowControlsInterface* table) {
    g_controls = table;
    return 1;
}

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
        return FrameChange(c, window, &SkinWindowControlsInterface::Maximize);
    case H("minimize"):
        return FrameChange(c, window, &SkinWindowControlsInterface::Minimize);
    case H("restore"):
        return Restore(c, window);
    case H("center"):
        return c.ReturnBoolean(window->Native && SkinWindow_Center(window));
    case H("isVisible"):
        return c.ReturnBoolean(window->Native ? NativeSkinWindow_GetInterface()->IsVisible(window->Native) : 0);
    case H("isMinimized"):
        return State(c, window, &SkinWindowControlsInterface::IsMinimized);
    case H("isMaximized"):
        return State(c, window, &SkinWindowControlsInterface::IsMaximized);
    case H("setWindowFrame"):
        return SetWindowFrame(c, window);
    case H("getWindowFrame"):
        return c.ReturnString(FrameName(window->Frame));
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
        return c.ReturnInteger(window->MinWidth);
    case H("getMinHeight"):
        return c.ReturnInteger(window->MinHeight);
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
    case H("setMinSize"):
        return SetMinSize(c, window);
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
    case H("sendMessage"):
        return SendMessage(c, window);
    case H("loaded"):
        SkinWindow_Loaded(window);
        return c.ReturnBoolean(1);
    case H("getCanMove"): return Flag(c, &window->CanMove, nullptr);
    case H("setCanMove"): return Flag(c, &window->CanMove, "canMove");
    case H("getCanClose"): return Flag(c, &window->CanClose, nullptr);
    case H("setCanClose"): return Flag(c, &window->CanClose, "canClose");
    case H("getCanHide"): return Flag(c, &window->CanHide, nullptr);
    case H("setCanHide"): return Flag(c, &window->CanHide, "canHide");
    case H("getCanShow"): return Flag(c, &window->CanShow, nullptr);
    case H("setCanShow"): return Flag(c, &window->CanShow, "canShow");
    case H("getCanMaximize"): return Flag(c, &window->CanMaximize, nullptr);
    case H("setCanMaximize"): return Flag(c, &window->CanMaximize, "canMaximize");
    case H("getCanMinimize"): return Flag(c, &window->CanMinimize, nullptr);
    case H("setCanMinimize"): return Flag(c, &window->CanMinimize, "canMinimize");
    case H("getCanRestore"): return Flag(c, &window->CanRestore, nullptr);
    case H("setCanRestore"): return Flag(c, &window->CanRestore, "canRestore");
    case H("getUseNotificationArea"): return Flag(c, &window->UseNotificationArea, nullptr);
    case H("setUseNotificationArea"): return Flag(c, &window->UseNotificationArea, "useNotificationArea");
    case H("getMinimizeToNotificationArea"): return Flag(c, &window->MinimizeToNotificationArea, nullptr);
    case H("setMinimizeToNotificationArea"):
        return Flag(c, &window->MinimizeToNotificationArea, "minimizeToNotificationArea");
    case H("getCanActivate"):
        return c.ReturnBoolean(1);
    case H("setCanActivate"):
        c.Boolean("canActivate");
        return c.ReturnBoolean(1);
    case H("beginMove"):
        return BeginDrag(c, window, 0);
    case H("beginSize"):
        return BeginDrag(c, window, 1);
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
        if (c.Ok && g_controls) g_controls->SetTaskbarProgress(value);
        return c.ReturnBoolean(1);
    }
    case H("messageBox"):
    case H("browseForFile"):
    case H("browseForFolder"):
        return Dialog(c, window, hash);
    case H("notify"):
        return Notify(c, window);
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
    case H("saveImage"):
        return SaveImage(c, window);
    case H("simulateMouseDown"):
    case H("simulateMouseUp"):
    case H("simulateMouseMove"):
    case H("simulateMouseWheel"):
        return Mouse(c, window, hash);
    case H("simulateKeyDown"):
    case H("simulateKeyUp"):
    case H("simulateCharacter"):
        return Key(c, window, hash);
    case H("simulateUndo"): return Edit(c, window, WebBrowser_SimulateUndo);
    case H("simulateRedo"): return Edit(c, window, WebBrowser_SimulateRedo);
    case H("simulateCut"): return Edit(c, window, WebBrowser_SimulateCut);
    case H("simulateCopy"): return Edit(c, window, WebBrowser_SimulateCopy);
    case H("simulatePaste"): return Edit(c, window, WebBrowser_SimulatePaste);
    case H("simulateDelete"): return Edit(c, window, WebBrowser_SimulateDelete);
    case H("simulateSelectAll"): return Edit(c, window, WebBrowser_SimulateSelectAll);
    default:
        return 0;
    }
}
