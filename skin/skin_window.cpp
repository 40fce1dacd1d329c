// A skin window: configuration, state machine, load time-out, close protocol and notifications.
// Main thread only.
#include "skin/skin_window.h"

#include <climits>
#include <cstring>

#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"
#include "core/runtime/unicode.h"
#include "skin/native_skin_window.h"
#include "skin/skin_window_dialog.h"
#include "skin/skin_window_internal.h"
#include "skin/web_browser.h"

namespace {

const SkinWindowAppInterface* g_app = nullptr;

constexpr int32_t kTextSize = 320;
constexpr int32_t kUrlSize = 8192;

const NativeSkinWindowInterface* Native() {
    const NativeSkinWindowInterface* table = NativeSkinWindow_GetInterface();
    ASSERT_POINTER(table);
    return table;
}

const char* Id(SkinWindow* window) { return window->Header.InstanceId; }

int64_t DeleteHandle(void** handle) { return SkinWindow_Delete(reinterpret_cast<SkinWindow**>(handle)); }

// Macros expanded by the owning application; the text as it is without one.
void Expand(const char* text, char* out, int32_t capacity) {
    if (g_app == nullptr || g_app->ExpandString == nullptr || g_app->ExpandString(text, out, capacity) != 1)
        String_CopyLength(out, text, capacity);
}

// A text setting; a missing key or one of another type gives the default.
void ReadText(SkinWindow* window, const char* key, const char* fallback, char* out, int32_t capacity) {
    if (Dictionary_GetStringByKey(window->Config, key, out, capacity) != 1) String_CopyLength(out, fallback, capacity);
}

// An integer setting within 32 bits; a missing key or one of another type gives the default.
int32_t ReadInteger(SkinWindow* window, const char* key, int32_t fallback) {
    int64_t value = 0;
    if (Dictionary_GetInt64ByKey(window->Config, key, &value) != 1) return fallback;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return (int32_t)value;
}

void SetDefaults(Dictionary* config) {
    Dictionary_SetStringByKey(config, kWindowConfigTitle, "Host");
    Dictionary_SetStringByKey(config, kWindowConfigUrl, "");
    Dictionary_SetStringByKey(config, kWindowConfigSpriteSheet, "");
    Dictionary_SetInt32ByKey(config, kWindowConfigMinWidth, 600);
    Dictionary_SetInt32ByKey(config, kWindowConfigMinHeight, 400);
    Dictionary_SetInt32ByKey(config, kWindowConfigLoadTimeout, 30);
    Dictionary_SetStringByKey(config, kWindowConfigWindowFrame, "Normal");
    Dictionary_SetBooleanByPath(config, kWindowConfigWindowsUseNotificationArea, 0);
    Dictionary_SetBooleanByPath(config, kWindowConfigWindowsMinimizeToNotificationArea, 0);
    Dictionary_SetBooleanByPath(config, kWindowConfigIeDebug, 0);
    Dictionary_SetBooleanByPath(config, kWindowConfigCefWebSecurity, 1);
    Dictionary_SetBooleanByPath(config, kWindowConfigCefWebGl, 0);
    Dictionary_SetBooleanByPath(config, kWindowConfigCefJava, 0);
    Dictionary_SetBooleanByPath(config, kWindowConfigCefPlugins, 0);
    Dictionary_SetBooleanByPath(config, kWindowConfigCefLocalStorage, 0);
    Dictionary_SetBooleanByPath(config, kWindowConfigCefPageCache, 0);
    Dictionary_SetBooleanByPath(config, kWindowConfigCefDatabases, 0);
    Dictionary_SetBooleanByPath(config, kWindowConfigCefDeveloperTools, 0);
}

void LoadSpriteSheet(SkinWindow* window) {
    char setting[kTextSize];
    char path[kTextSize];
    ReadText(window, kWindowConfigSpriteSheet, "", setting, kTextSize);
    Expand(setting, path, kTextSize);
    if (path[0] == 0) return;
    void* data = nullptr;
    uint32_t length = 0;
    const int64_t read = (g_app && g_app->ReadSkinFile) ? g_app->ReadSkinFile(path, &data, &length) : 0;
    if (read != 1) {
        Log_Debug("Unable to %s sprite sheet (%s)\n", read == 0 ? "open" : "copy", path);
        return;
    }
    NativeImage* image = nullptr;
    const int64_t made = Native()->ImageCreate(&image, data, length);
    if (g_app->FreeSkinFile) g_app->FreeSkinFile(data, length);
    if (made != 1 || image == nullptr) {
        Log_Debug("Unable to %s sprite sheet (%s)\n", "read", path);
        return;
    }
    if (window->SpriteSheet) Native()->ImageRelease(&window->SpriteSheet);
    window->SpriteSheet = image;
}

// ---- Frame notifications ------------------------------------------------------------------------

// Runs on the notification centre's next pass, once, and lets go of its registration.
int64_t ResetFrameNotification(void* user, const char*, const char*, const char*, Dictionary*) {
    SkinWindow* window = static_cast<SkinWindow*>(user);
    window->FrameNotification = 1;
    window->FrameResetDue = 0;
    NotificationCenter_RemoveProcessObserver(window->Header.InstanceId, window, ResetFrameNotification);
    return 1;
}

// A frame change the page ordered: its notifications carry frameNotification false until the
// next pass of the main loop.
void BeginScriptFrameChange(SkinWindow* window) { window->FrameNotification = 0; }

// The reset waits for the centre's pass rather than for an event: the page's calls are served
// while the main queue is flushed, and an event added there for every call the page makes would
// grow the queue under its own flush.
void EndScriptFrameChange(SkinWindow* window) {
    if (window->FrameResetDue) return;
    if (NotificationCenter_AddProcessObserver(window->Header.InstanceId, window, ResetFrameNotification) != 1) {
        window->FrameNotification = 1;
        return;
    }
    window->FrameResetDue = 1;
}

const char* Flag(uint32_t value) { return value ? "true" : "false"; }

// ---- Close protocol -----------------------------------------------------------------------------

void CloseTimerFire(void* instance, void*);

void ScheduleCloseTimer(SkinWindow* window, double seconds) {
    EventQueue_AddDelay(nullptr, &window->CloseTimer, &window, sizeof(window), CloseTimerFire, seconds);
}

void StopCloseTimer(SkinWindow* window) {
    if (!window->CloseTimerRunning) return;
    window->CloseTimerRunning = 0;
    EventQueue_RemoveInstance(nullptr, &window->CloseTimer);
}

void CloseTimerFire(void*, void* payload) {
    SkinWindow* window = *static_cast<SkinWindow**>(payload);
    if (!window->CloseTimerRunning) return;
    // Re-armed first: the close below may stop the timer for good.
    ScheduleCloseTimer(window, 0.001);
    SkinWindow_PerformClose(window);
}

} // namespace

// A page callback waiting for the answer of one dialog of its window.
struct SkinWindowDialogWait {
    SkinWindow* Window;
    InteropCallback* Callback;
    char Name[NOTIFICATIONCENTER_TEXT_SIZE];
    SkinWindowDialogWait* Next;
};

namespace {

int64_t DialogAnswered(void* user, const char*, const char*, const char* instance, Dictionary* info);

void DropDialogWait(SkinWindowDialogWait* wait) {
    for (SkinWindowDialogWait** link = &wait->Window->DialogWaits; *link; link = &(*link)->Next) {
        if (*link == wait) {
            *link = wait->Next;
            break;
        }
    }
    NotificationCenter_RemoveInstanceObserver("SkinWindow", wait->Name, Id(wait->Window), wait, DialogAnswered);
    Interop_ReleaseCallback(&wait->Callback);
    Memory_Free(wait, sizeof(SkinWindowDialogWait));
}

// The first answer goes to the page's callback, which is then let go.
int64_t DialogAnswered(void* user, const char*, const char*, const char* instance, Dictionary* info) {
    SkinWindowDialogWait* wait = static_cast<SkinWindowDialogWait*>(user);
    Dictionary* record = nullptr;
    Dictionary_Create(&record);
    Dictionary_SetStringByKey(record, "callbackId", Interop_GetCallbackId(wait->Callback));
    Dictionary_SetStringByKey(record, "type", "SkinWindow");
    Dictionary_SetStringByKey(record, "sender", instance);
    Dictionary* child = nullptr;
    Dictionary_AddDictionary(record, "info", &child, nullptr);
    if (info && child) Dictionary_Merge(child, info, 1);
    InteropCallback* callback = Interop_AddRefCallback(wait->Callback);
    DropDialogWait(wait);
    Interop_RaiseCallback(callback, record);
    Interop_ReleaseCallback(&callback);
    Dictionary_Release(&record);
    return 1;
}

void AwaitDialog(SkinWindow* window, const char* name, const char* callbackId) {
    ASSERT_POINTER(callbackId);
    SkinWindowDialogWait* wait = static_cast<SkinWindowDialogWait*>(Memory_AllocZero(sizeof(SkinWindowDialogWait)));
    wait->Window = window;
    String_CopyLength(wait->Name, name, (int32_t)sizeof(wait->Name));
    if (Interop_AddCallback(callbackId, nullptr, Interop_Execute, &wait->Callback) != 1 || !wait->Callback) {
        Memory_Free(wait, sizeof(SkinWindowDialogWait));
        return;
    }
    wait->Next = window->DialogWaits;
    window->DialogWaits = wait;
    NotificationCenter_AddInstanceObserver("SkinWindow", name, Id(window), wait, DialogAnswered);
}

} // namespace

// ---- Object life and module ------------------------------------------------------------------------

CLASS_BASICS(SkinWindow, SkinWindow, SKINWINDOW_CLASS_ID)

int64_t SkinWindow_SetAppInterface(const SkinWindowAppInterface* table) {
    g_app = table;
    return 1;
}

int64_t SkinWindow_Create(SkinWindow** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    SkinWindow* window = static_cast<SkinWindow*>(Memory_AllocZero(sizeof(SkinWindow)));
    window->Header.ClassId = SKINWINDOW_CLASS_ID;
    window->Header.RefCount = 1;
    window->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(window);
    Class_TrackInstance(window, window->Header.InstanceId, nullptr);
    Dictionary_Create(&window->Config);
    Dictionary_SetCaseSensitive(window->Config, 0);
    SetDefaults(window->Config);
    WebBrowser_Create(&window->Browser);
    // The page's dialogs run at once on the main thread and stand on their own.
    SkinWindowDialog_Create(&window->Dialog);
    SkinWindowDialog_SetUseThread(window->Dialog, 0);
    SkinWindowDialog_SetUseNativeHandle(window->Dialog, 0);
    SkinWindowDialog_SetSkinWindowHandle(window->Dialog, window);
    window->CanMove = window->CanShow = window->CanHide = 1;
    window->CanMaximize = window->CanMinimize = window->CanRestore = 1;
    window->FrameNotification = 1;
    window->MinWidth = 600;
    window->MinHeight = 400;
    *handle = window;
    return 1;
}

int64_t SkinWindow_Delete(SkinWindow** handle) {
    ASSERT_POINTER(handle);
    SkinWindow* window = *handle;
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    StopCloseTimer(window);
    EventQueue_RemoveInstance(nullptr, window);
    if (window->FrameResetDue)
        NotificationCenter_RemoveProcessObserver(window->Header.InstanceId, window, ResetFrameNotification);
    if (window->Native) {
        Native()->ClearDockItems(window->Native);
        Native()->Release(&window->Native);
    }
    if (window->SpriteSheet) Native()->ImageRelease(&window->SpriteSheet);
    if (window->Browser) WebBrowser_Release(&window->Browser);
    while (window->DialogWaits) DropDialogWait(window->DialogWaits);
    if (window->Dialog) SkinWindowDialog_Delete(&window->Dialog);
    Dictionary_Release(&window->Config);
    Class_UntrackInstance(window);
    window->Header.ClassId = 0;
    Memory_Free(window, sizeof(SkinWindow));
    *handle = nullptr;
    return 1;
}

// The cursor gate: a window's cursor changes only while SkinWindow_SetCursor applies one, so
// that changes the browser engine makes on its own are ignored.
int64_t SkinWindow_Init(const char*) { return NativeWindow_SetCursorGate(1); }

int64_t SkinWindow_Remove() {
    NativeWindow_SetCursorGate(0);
    return 1;
}

int64_t SkinWindow_Locate(const char*) { return 0; }

// ---- Configuration --------------------------------------------------------------------------------

int64_t SkinWindow_LoadConfig(SkinWindow* window, Dictionary* config) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    window->LoadStart = Time_GetCurrent();
    if (config != nullptr) {
        Dictionary* root = nullptr;
        if (Dictionary_SkipRoot(config, &root) == 1 && root != nullptr) Dictionary_Merge(window->Config, root, 1);
    }
    LoadSpriteSheet(window);

    int32_t minWidth = ReadInteger(window, kWindowConfigMinWidth, 600);
    int32_t minHeight = ReadInteger(window, kWindowConfigMinHeight, 400);
    window->MinWidth = minWidth < 1 ? 1 : minWidth;
    window->MinHeight = minHeight < 1 ? 1 : minHeight;
    char title[kTextSize];
    char frame[kTextSize];
    ReadText(window, kWindowConfigTitle, "Host", title, kTextSize);
    ReadText(window, kWindowConfigWindowFrame, "Normal", frame, kTextSize);
    uint32_t appIcon = 0;
    Dictionary_GetBooleanByKey(window->Config, kWindowConfigMacMinimizeAsAppIcon, &appIcon);

    // A second configuration builds the window afresh.
    if (window->Native) Native()->Release(&window->Native);
    window->NativeClosed = 0;
    Native()->Create(&window->Native, window, window->MinWidth, window->MinHeight);
    ASSERT_POINTER(window->Native);
    window->Frame = NativeWindow_TranslateFrameString(frame);
    Native()->SetFrame(window->Native, window->Frame);
    if (g_app && g_app->LocalizeString) g_app->LocalizeString(title, kTextSize);
    char expanded[kTextSize];
    Expand(title, expanded, kTextSize);
    SkinWindow_SetTitle(window, expanded);
    if (appIcon) Native()->SetMiniaturizedAppIcon(window->Native);

    WebBrowser_Embed(window->Browser, window, window->Config);
    SkinWindow_Center(window);
    window->State = SKINWINDOW_STATE_EMBEDDING;
    return 1;
}

int64_t SkinWindow_GetConfig(SkinWindow* window, const char* path, const char* defaultValue, char* buffer,
                             int32_t capacity) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(path);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 1;
    // Plain values answer as text (a flag as "true" or "false"); containers give the default.
    Dictionary* holder = nullptr;
    DictionaryItem* item = nullptr;
    uint32_t type = 0;
    const char* value = nullptr;
    if (Dictionary_ItemFindByPath(window->Config, path, &holder, &item) == 1 && item != nullptr &&
        Dictionary_ItemGetType(holder, item, &type) == 1) {
        if (type == DICTIONARY_TYPE_BOOLEAN) {
            uint32_t flag = 0;
            Dictionary_ItemGetBoolean(holder, item, &flag);
            value = flag ? "true" : "false";
        } else if (type == DICTIONARY_TYPE_INT64 || type == DICTIONARY_TYPE_FLOAT64 || type == DICTIONARY_TYPE_STRING) {
            int32_t length = 0;
            if (Dictionary_ItemGetBufferPtr(holder, item, &value, &length) != 1 || value == nullptr) value = "";
        }
    }
    if (value != nullptr)
        StringUtf8_DecodeString(value, buffer, capacity);
    else
        String_CopyLength(buffer, defaultValue ? defaultValue : "", capacity);
    return 1;
}

int64_t SkinWindow_GetConfigHandle(SkinWindow* window, Dictionary** config) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(config);
    *config = window->Config;
    return *config != nullptr;
}

int64_t SkinWindow_GetPopupFrame(SkinWindow* window, char* buffer, int32_t capacity) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(buffer);
    char value[kTextSize];
    ReadText(window, kWindowConfigPopupFrame, "", value, kTextSize);
    String_CopyLength(buffer, String_CompareWithoutCase(value, "Resizable") == 1 ? value : "Normal", capacity);
    return 1;
}

// ---- State machine ----------------------------------------------------------------------------------

int64_t SkinWindow_CheckLoadTimeout(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    const int32_t timeout = ReadInteger(window, kWindowConfigLoadTimeout, 30);
    if (timeout < 1) return 1;
    if (window->Native && Native()->IsVisible(window->Native) == 1) return 1;
    if (Time_GetCurrent() - window->LoadStart <= (double)timeout) return 1;
    Log_Error("Timeout waiting for window to load\n");
    if (window->Native) Native()->MessageBox(window->Native, "Timeout waiting for window to load", "Host", 16);
    return 0;
}

int64_t SkinWindow_Process(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    if (NativeSkinWindow_GetInterface()) Native()->RefreshTaskbar();
    switch (window->State) {
    case SKINWINDOW_STATE_EMBEDDING:
    case SKINWINDOW_STATE_NAVIGATED: {
        if (window->State == SKINWINDOW_STATE_EMBEDDING) {
            if (WebBrowser_CheckEmbed(window->Browser) == 1) {
                char url[kUrlSize] = "";
                if (g_app && g_app->GetWindowUrl) g_app->GetWindowUrl(Id(window), window->Config, url, kUrlSize);
                WebBrowser_Navigate(window->Browser, url);
                window->State = SKINWINDOW_STATE_NAVIGATED;
            }
        } else if (window->Loaded || (g_app && g_app->IsMainWindow && g_app->IsMainWindow(Id(window)) != 1)) {
            return 1;
        }
        if (SkinWindow_CheckLoadTimeout(window) != 1) {
            WebBrowser_Unembed(window->Browser);
            window->State = SKINWINDOW_STATE_UNEMBEDDING;
        }
        return 1;
    }
    case SKINWINDOW_STATE_UNEMBEDDING:
        if (WebBrowser_CheckEmbed(window->Browser) != 1) window->State = SKINWINDOW_STATE_CLOSED;
        return 1;
    case SKINWINDOW_STATE_CLOSED:
        Interop_RemoveInstancesActiveInRequester(window);
        return 0;
    default:
        Log_Error("Unknown state in SkinWindow (%d)", window->State);
        return 1;
    }
}

int64_t SkinWindow_GetState(SkinWindow* window, int32_t* state) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(state);
    *state = window->State;
    return 1;
}

// ---- Close protocol ---------------------------------------------------------------------------------

int64_t SkinWindow_PerformClose(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    if (window->NativeClosed || window->State != SKINWINDOW_STATE_NAVIGATED) return 1;
    // The page decides: it closes again once it has set can-close.
    if (!window->CanClose && window->Loaded) return SkinWindow_NotifyFrame(window, "Close");
    const int32_t count = Interop_InstancesActiveInRequester(window);
    if (count > 0) {
        const double now = Time_GetCurrent();
        if (window->CloseWaitStart == 0) window->CloseWaitStart = now;
        if (now - window->CloseWaitStart <= SKINWINDOW_CLOSE_WAIT) {
            if (!window->CloseTimerRunning) {
                window->CloseTimerRunning = 1;
                ScheduleCloseTimer(window, 0);
            }
            return 1;
        }
        StopCloseTimer(window);
        window->CloseWaitStart = now;
        Log_Warning("%d native instance(s) leaked\n", count);
    }
    window->NativeClosed = 1;
    StopCloseTimer(window);
    if (window->State < SKINWINDOW_STATE_CLOSED) {
        WebBrowser_Unembed(window->Browser);
        window->State = SKINWINDOW_STATE_UNEMBEDDING;
    }
    if (window->Native) Native()->Close(window->Native);
    return 1;
}

int64_t SkinWindow_SetReadyEmergencyClose(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    window->CanClose = 1;
    window->Frame = NATIVEWINDOW_FRAME_NORMAL;
    if (window->Native) Native()->SetFrame(window->Native, NATIVEWINDOW_FRAME_NORMAL);
    Interop_RemoveInstancesActiveInRequester(window);
    return 1;
}

// ---- Notifications -----------------------------------------------------------------------------------

int64_t SkinWindow_NotifyFrame(SkinWindow* window, const char* name) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    return NotificationCenter_FireWithJSON("SkinWindow", name, Id(window), "{\"frameNotification\": %s}",
                                           Flag(window->FrameNotification));
}

int64_t SkinWindow_NotifyMove(SkinWindow* window, int32_t x, int32_t y) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    return NotificationCenter_FireAfterDelayWithJSON("SkinWindow", "Move", Id(window), 0,
                                                     "{\"frameNotification\": %s, \"x\": %d, \"y\": %d}",
                                                     Flag(window->FrameNotification), x, y);
}

int64_t SkinWindow_NotifySize(SkinWindow* window, int32_t width, int32_t height) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    return NotificationCenter_FireAfterDelayWithJSON("SkinWindow", "Size", Id(window), 0,
                                                     "{\"frameNotification\": %s, \"width\": %d, \"height\": %d}",
                                                     Flag(window->FrameNotification), width, height);
}

// ---- Frame changes ordered by the page -------------------------------------------------------------

int64_t SkinWindow_Show(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(window->Native);
    BeginScriptFrameChange(window);
    Native()->Show(window->Native);
    EndScriptFrameChange(window);
    return 1;
}

int64_t SkinWindow_Hide(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(window->Native);
    BeginScriptFrameChange(window);
    Native()->Hide(window->Native);
    EndScriptFrameChange(window);
    return 1;
}

int64_t SkinWindow_Close(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    BeginScriptFrameChange(window);
    SkinWindow_PerformClose(window);
    EndScriptFrameChange(window);
    return 1;
}

int64_t SkinWindow_SetSize(SkinWindow* window, int32_t width, int32_t height) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(window->Native);
    if (width < 0 || height < 0) return 0;
    BeginScriptFrameChange(window);
    Native()->Size(window->Native, width, height);
    EndScriptFrameChange(window);
    return 1;
}

int64_t SkinWindow_SetOrigin(SkinWindow* window, int32_t x, int32_t y) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(window->Native);
    BeginScriptFrameChange(window);
    if (window->CanMove == 1) Native()->Move(window->Native, x, y);
    EndScriptFrameChange(window);
    return 1;
}

int64_t SkinWindow_Center(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(window->Native);
    int32_t areaWidth = 0, areaHeight = 0;
    SkinWindowViewportSizeFunc viewport = nullptr;
    void* user = nullptr;
    if (CallbackBase_Get(&window->ViewportSizeCallback, &user, &viewport) > 0 && viewport != nullptr) {
        if (viewport(user, window, &areaWidth, &areaHeight) != 1) return 0;
    } else if (Native()->GetScreenWidth(window->Native, &areaWidth) != 1 ||
               Native()->GetScreenHeight(window->Native, &areaHeight) != 1) {
        return 0;
    }
    if (window->CanMove != 1) return 1;
    int32_t width = 0, height = 0;
    Native()->GetWidth(window->Native, &width);
    Native()->GetHeight(window->Native, &height);
    const int64_t x = ((int64_t)areaWidth - width) / 2;
    const int64_t y = ((int64_t)areaHeight - height) / 2;
    return Native()->Move(window->Native, x < 0 ? 0 : (int32_t)x, y < 0 ? 0 : (int32_t)y);
}

int64_t SkinWindow_SetTitle(SkinWindow* window, const char* title) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(title);
    ASSERT_POINTER(window->Native);
    char decoded[kTextSize];
    StringUtf8_DecodeHtml(title, decoded, kTextSize);
    return Native()->SetTitleUtf8(window->Native, decoded);
}

int64_t SkinWindow_SetCursor(SkinWindow* window, const char* cursor) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(cursor);
    SkinWindowCursorChangeFunc change = nullptr;
    void* user = nullptr;
    if (CallbackBase_Get(&window->CursorChangeCallback, &user, &change) > 0 && change != nullptr)
        return change(user, window, cursor);
    if (window->Native && Native()->IsVisible(window->Native) == 1) {
        const int32_t id = NativeWindow_TranslateCursorString(cursor);
        NativeWindow_AllowCursorChange(1);
        NativeWindow_SetCursor(window->Native, id);
        NativeWindow_AllowCursorChange(0);
    }
    return 1;
}

int64_t SkinWindow_Loaded(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    window->Loaded = 1;
    return 1;
}

int64_t SkinWindow_GetCanClose(SkinWindow* window, uint32_t* canClose) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(canClose);
    *canClose = window->CanClose;
    return 1;
}

int64_t SkinWindow_SetCanClose(SkinWindow* window, uint32_t canClose) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    window->CanClose = canClose ? 1 : 0;
    return 1;
}

int64_t SkinWindow_GetCanMove(SkinWindow* window, uint32_t* canMove) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(canMove);
    *canMove = window->CanMove;
    return 1;
}

int64_t SkinWindow_SetCanMove(SkinWindow* window, uint32_t canMove) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    window->CanMove = canMove ? 1 : 0;
    return 1;
}

// ---- Script callbacks -------------------------------------------------------------------------------

int64_t SkinWindow_ExecuteScript(SkinWindow* window, const char* first, const char* second, Stream* reply) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(first);
    ASSERT_POINTER(second);
    const double start = Time_GetCurrent();
    const int64_t result = WebBrowser_ExecuteScript(window->Browser, first, second, reply);
    if (Time_GetCurrent() - start >= 1.0)
        Log_Debug("One of the javascript callbacks is stalling the ui thread (%s) (%s)\n", first, second);
    return result;
}

// ---- Native window queries ------------------------------------------------------------------------

void* SkinWindow_GetNativeHandle(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    return window->Native ? Native()->GetContentView(window->Native) : nullptr;
}

void* SkinWindow_GetBasicWindowHandle(SkinWindow* window) { return SkinWindow_GetNativeHandle(window); }

int64_t SkinWindow_SetViewportSizeCallback(SkinWindow* window, SkinWindowViewportSizeFunc function, void* user) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    return CallbackBase_Set(&window->ViewportSizeCallback, 0, user, function);
}

int64_t SkinWindow_SetCursorChangeCallback(SkinWindow* window, SkinWindowCursorChangeFunc function, void* user) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    return CallbackBase_Set(&window->CursorChangeCallback, 0, user, function);
}

namespace {

int64_t Query(SkinWindow* window, int32_t* value, int64_t (*NativeSkinWindowInterface::*slot)(NativeSkinWindow*, int32_t*)) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(value);
    *value = 0;
    if (window->Native == nullptr) return 0;
    return (Native()->*slot)(window->Native, value);
}

} // namespace

int64_t SkinWindow_GetWidth(SkinWindow* window, int32_t* width) {
    return Query(window, width, &NativeSkinWindowInterface::GetWidth);
}
int64_t SkinWindow_GetHeight(SkinWindow* window, int32_t* height) {
    return Query(window, height, &NativeSkinWindowInterface::GetHeight);
}
int64_t SkinWindow_GetX(SkinWindow* window, int32_t* x) { return Query(window, x, &NativeSkinWindowInterface::GetX); }
int64_t SkinWindow_GetY(SkinWindow* window, int32_t* y) { return Query(window, y, &NativeSkinWindowInterface::GetY); }
int64_t SkinWindow_GetScreenWidth(SkinWindow* window, int32_t* width) {
    return Query(window, width, &NativeSkinWindowInterface::GetScreenWidth);
}
int64_t SkinWindow_GetScreenHeight(SkinWindow* window, int32_t* height) {
    return Query(window, height, &NativeSkinWindowInterface::GetScreenHeight);
}

int64_t SkinWindow_GetTitle(SkinWindow* window, char* buffer, int32_t capacity) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    if (window->Native == nullptr) return 0;
    return Native()->GetTitleUtf8(window->Native, buffer, capacity);
}

int64_t SkinWindow_GetDefaultIcon(SkinWindow* window, NativeImage** icon) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(icon);
    *icon = window->Native ? Native()->GetDefaultIcon(window->Native) : nullptr;
    return *icon != nullptr;
}

int64_t SkinWindow_GetBigIcon(SkinWindow* window, NativeImage** icon) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(icon);
    *icon = window->Native ? Native()->GetBigIcon(window->Native) : nullptr;
    return *icon != nullptr;
}

int64_t SkinWindow_GetSmallIcon(SkinWindow* window, NativeImage** icon) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(icon);
    *icon = nullptr;
    return 0;
}

int64_t SkinWindow_GetWindowResizable(SkinWindow* window) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    return window->Native ? Native()->GetResizable(window->Native) : 0;
}

// ---- Sprite sheet pictures ------------------------------------------------------------------------

namespace {

enum class IconTarget { Big, Overlay };

int64_t IconAllowed(SkinWindow* window, int32_t x, int32_t y, int32_t width, int32_t height) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    return x >= 0 && y >= 0 && width >= 0 && height >= 0 && window->SpriteSheet != nullptr ? 1 : 0;
}

int64_t SetIcon(SkinWindow* window, IconTarget target, int32_t x, int32_t y, int32_t width, int32_t height) {
    if (IconAllowed(window, x, y, width, height) != 1 || window->Native == nullptr) return 0;
    auto set = target == IconTarget::Big ? Native()->SetBigIcon : Native()->SetOverlayIcon;
    if (width < 1 || height < 1) {
        set(window->Native, nullptr);
        return 1;
    }
    int32_t sheetWidth = 0, sheetHeight = 0;
    if (Native()->ImageGetSize(window->SpriteSheet, &sheetWidth, &sheetHeight) != 1) return 0;
    if ((int64_t)x + width > sheetWidth || (int64_t)y + height > sheetHeight) return 0;
    NativeImage* picture = nullptr;
    if (Native()->ImageCrop(window->SpriteSheet, x, y, width, height, &picture) != 1 || picture == nullptr) return 0;
    set(window->Native, picture);
    return 1;
}

} // namespace

int64_t SkinWindow_SetBigIcon(SkinWindow* window, int32_t x, int32_t y, int32_t width, int32_t height) {
    return SetIcon(window, IconTarget::Big, x, y, width, height);
}

int64_t SkinWindow_SetTaskbarOverlay(SkinWindow* window, int32_t x, int32_t y, int32_t width, int32_t height) {
    return SetIcon(window, IconTarget::Overlay, x, y, width, height);
}

int64_t SkinWindow_SetSmallIcon(SkinWindow* window, int32_t x, int32_t y, int32_t width, int32_t height) {
    return IconAllowed(window, x, y, width, height);
}

int64_t SkinWindow_SetNotificationAreaIcon(SkinWindow* window, int32_t x, int32_t y, int32_t width, int32_t height) {
    return IconAllowed(window, x, y, width, height);
}

// ---- Dock menu --------------------------------------------------------------------------------------

int64_t SkinWindow_SetContextMenu(SkinWindow* window, const char* json) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    ASSERT_POINTER(json);
    ASSERT_POINTER(window->Native);
    Native()->ClearDockItems(window->Native);
    window->DockMenu = nullptr;
    Dictionary* items = nullptr;
    JSON* parser = nullptr;
    Dictionary_Create(&items);
    JSON_Create(&parser);
    JSON_SetDictionaryHandle(parser, items);
    const int64_t parsed = JSON_LoadBuffer(parser, json, (uint32_t)strlen(json));
    JSON_Release(&parser);
    int64_t result = 0;
    if (parsed != 1) {
        Log_Debug("Unable to parse json %s\n", "ContextMenu");
    } else {
        result = Native()->CreateMenuFromDictionary(window->Native, items, &window->DockMenu) == 1 ? 1 : 0;
    }
    Dictionary_Release(&items);
    return result;
}

int64_t SkinWindow_SetContextMenuSelect(SkinWindow* window, int32_t id, uint32_t select) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    if (window->DockMenu == nullptr) return 0;
    return Native()->SetMenuSelected(window->DockMenu, id, select ? 1 : 0);
}

int64_t SkinWindow_ContextMenuSelect(SkinWindow* window, int32_t id) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    return NotificationCenter_FireWithJSON("SkinWindow", "ContextMenuSelect", Id(window), "{\"id\": %d}", id);
}

// ---- Dialogs -----------------------------------------------------------------------------------------

int64_t SkinWindow_MessageBox(SkinWindow* window, const char* text, const char* caption, uint32_t type,
                              const char* callbackId) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    AwaitDialog(window, "MessageBoxResponse", callbackId);
    return SkinWindowDialog_MessageBox(window->Dialog, text, caption, type);
}

int64_t SkinWindow_BrowseForFile(SkinWindow* window, const char* text, const char* fileTypeDesc,
                                 const char* fileTypeExt, const char* startPath, const char* startFile,
                                 const char* callbackId) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    AwaitDialog(window, "BrowseForFileResponse", callbackId);
    return SkinWindowDialog_BrowseForFile(window->Dialog, text, fileTypeDesc, fileTypeExt, startPath, startFile);
}

int64_t SkinWindow_BrowseForFolder(SkinWindow* window, const char* text, const char* startPath,
                                   const char* callbackId) {
    CLASS_CHECK(window, SKINWINDOW_CLASS_ID);
    AwaitDialog(window, "BrowseForFolderResponse", callbackId);
    return SkinWindowDialog_BrowseForFolder(window->Dialog, text, startPath);
}

void SkinWindow_BeginScriptFrameChange(SkinWindow* window) { BeginScriptFrameChange(window); }
void SkinWindow_EndScriptFrameChange(SkinWindow* window) { EndScriptFrameChange(window); }
