// The CEF back end's browser object and its table of browser operations, and the task table that
// posts work to the engine's user-interface thread.
#include "host/cef/cef_web_browser.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>

#include "core/runtime/app_config_keys.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "host/cef/cef_app.h"
#include "host/cef/cef_client_handler.h"
#include "skin/skin_window.h"
#include "workflow/workflow_app.h"

namespace {

std::atomic<CEFBrowserEngine*> GlobalCEFBrowserEngine{nullptr};

// The table's browser object: the engine's browser is reached through the client handler.
struct CEFWebBrowser {
    Class Base;
    ClientHandler* Handler;
    char Url[CEFWEBBROWSER_URL_SIZE];
    CEFBrowserSettings Settings;
    uint32_t OffScreen;
    int32_t Width;
    int32_t Height;
    uint32_t Hidden;
    CallbackBase ViewChange;
};

CEFWebBrowser* Own(WebBrowser* browser) {
    CLASS_CHECK(browser, CEFWEBBROWSER_CLASS_ID);
    return reinterpret_cast<CEFWebBrowser*>(browser);
}

template <typename T> void Drop(T*& object) {
    if (object) object->Release();
    object = nullptr;
}

// Runs fn with the engine's browser host when there is one; 1 in every case.
template <typename F> int64_t WithHost(CEFWebBrowser* self, F fn) {
    if (!self->Handler) return 1;
    CEFBrowserHost* host = CEF5414ClientHandler_GetBrowserHost(self->Handler);
    if (host) fn(host);
    Drop(host);
    return 1;
}

template <typename F> int64_t WithFocusedFrame(WebBrowser* browser, F fn) {
    CEFWebBrowser* self = Own(browser);
    if (!self->Handler) return 1;
    CEFHostBrowser* engineBrowser = CEF5414ClientHandler_GetBrowser(self->Handler);
    CEFPageFrame* frame = engineBrowser ? engineBrowser->GetFocusedFrame() : nullptr;
    if (frame) fn(frame);
    Drop(frame);
    Drop(engineBrowser);
    return 1;
}

int64_t SendKey(WebBrowser* browser, int32_t type, int32_t virtualKey, int32_t character, int32_t unmodified,
                uint32_t modifiers) {
    CEFKeyEvent event{type, CEFWebBrowser_GetKeyModifiers(modifiers), virtualKey, character, unmodified};
    return WithHost(Own(browser), [&](CEFBrowserHost* host) { host->SendKeyEvent(event); });
}

CEFMouseEvent MouseEvent(CEFWebBrowser* self, int32_t x, int32_t y, uint32_t modifiers) {
    CEF5414ClientHandler_DeviceToLogical(self->Handler, &x);
    CEF5414ClientHandler_DeviceToLogical(self->Handler, &y);
    return CEFMouseEvent{x, y, modifiers};
}

int64_t SendClick(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers, int32_t up) {
    CEFWebBrowser* self = Own(browser);
    if (!self->Handler) return 1;
    int32_t button;
    if (modifiers & WEBBROWSER_MODIFIER_LEFT_BUTTON)
        button = MBT_LEFT;
    else if (modifiers & WEBBROWSER_MODIFIER_RIGHT_BUTTON)
        button = MBT_RIGHT;
    else if (modifiers & WEBBROWSER_MODIFIER_MIDDLE_BUTTON)
        button = MBT_MIDDLE;
    else
        return 0;
    const CEFMouseEvent event = MouseEvent(self, x, y, CEFWebBrowser_GetEventModifiers(modifiers));
    return WithHost(self, [&](CEFBrowserHost* host) { host->SendMouseClickEvent(event, button, up, 1); });
}

// Feature states from the window configuration: the first key of the pair that is present wins.
void ApplySetting(Dictionary* config, const char* key, const char* fallback, int32_t* state) {
    uint32_t value = 0;
    if (!config) return;
    if (Dictionary_GetBooleanByPath(config, key, &value) || Dictionary_GetBooleanByPath(config, fallback, &value))
        *state = value ? STATE_ENABLED : STATE_DISABLED;
}

int64_t DeleteHandle(void** handle) { return CEF5414CEFWebBrowser_Delete(reinterpret_cast<WebBrowser**>(handle)); }

} // namespace

int64_t CEFBrowserEngine_Set(CEFBrowserEngine* engine) {
    GlobalCEFBrowserEngine.store(engine);
    return 1;
}

CEFBrowserEngine* CEFBrowserEngine_Get() { return GlobalCEFBrowserEngine.load(); }

// ---- Object --------------------------------------------------------------------------------------------

int64_t CEF5414CEFWebBrowser_Create(WebBrowser** browser) {
    ASSERT_POINTER(browser);
    *browser = nullptr;
    void* memory = Memory_AllocZero(sizeof(CEFWebBrowser));
    auto* self = new (memory) CEFWebBrowser();
    self->Base.ClassId = CEFWEBBROWSER_CLASS_ID;
    self->Base.RefCount = 1;
    self->Base.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(self);
    WorkflowApp_GetConfigBoolean(kAppConfigCefOffscreenRender, 0, &self->OffScreen);
    *browser = reinterpret_cast<WebBrowser*>(self);
    return 1;
}

int64_t CEF5414CEFWebBrowser_Release(WebBrowser** browser) {
    ASSERT_POINTER(browser);
    if (!*browser) return 0;
    Own(*browser);
    Class_Release(browser);
    return 1;
}

int64_t CEF5414CEFWebBrowser_Delete(WebBrowser** browser) {
    ASSERT_POINTER(browser);
    CEFWebBrowser* self = Own(*browser);
    if (self->Handler) CEF5414ClientHandler_Release(&self->Handler);
    CallbackBase_ResetReal(&self->ViewChange);
    self->Base.ClassId = 0;
    self->~CEFWebBrowser();
    Memory_Free(self, sizeof(CEFWebBrowser));
    *browser = nullptr;
    return 1;
}

int64_t CEF5414CEFWebBrowser_GetInstanceId(WebBrowser* browser, char* buffer, int32_t capacity) {
    CEFWebBrowser* self = Own(browser);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    const int32_t length = capacity - 1 < 36 ? capacity - 1 : 36;
    memcpy(buffer, self->Base.InstanceId, (size_t)length);
    buffer[length] = 0;
    return 1;
}

// ---- Embedding -----------------------------------------------------------------------------------------

int64_t CEFWebBrowser_UnembedCallback(void* browser) {
    CEFWebBrowser* self = Own(static_cast<WebBrowser*>(browser));
    if (self->Handler) CEF5414ClientHandler_Release(&self->Handler);
    return 1;
}

int64_t CEFWebBrowser_DispatchWebBrowserViewChange(ClientHandler*, void* browser, const void* pixels, int32_t size,
                                                   int32_t width, int32_t height) {
    CEFWebBrowser* self = Own(static_cast<WebBrowser*>(browser));
    if (width < 1 || height < 1) return 1;
    void* user = nullptr;
    void* function = nullptr;
    if (!CallbackBase_GetReal(&self->ViewChange, &user, &function)) return 1;
    return reinterpret_cast<WebBrowserViewChangeFunc>(function)(static_cast<WebBrowser*>(browser), user, pixels, size,
                                                                width, height);
}

int64_t CEF5414CEFWebBrowser_Embed(WebBrowser* browser, SkinWindow* window, Dictionary* config) {
    CEFWebBrowser* self = Own(browser);
    if (!self->Handler && !CEF5414ClientHandler_Create(&self->Handler)) return 0;
    ClientHandler* handler = self->Handler;
    CEF5414ClientHandler_SetUnembedCallback(handler, CEFWebBrowser_UnembedCallback, self);
    CEF5414ClientHandler_SetSkinWindowHandle(handler, window);
    CEF5414ClientHandler_SetViewChangeCallback(handler, CEFWebBrowser_DispatchWebBrowserViewChange, self);

    CEFBrowserSettings& settings = self->Settings;
    settings = CEFBrowserSettings{};
    settings.Size = 288;
    settings.JavascriptCloseWindows = STATE_ENABLED;
    settings.JavascriptDomPaste = STATE_DISABLED;
    settings.TextAreaResize = STATE_DISABLED;
    settings.LocalStorage = STATE_DISABLED;
    settings.Databases = STATE_DISABLED;
    ApplySetting(config, kWindowConfigCefEnableWebGl, kWindowConfigCefWebGl, &settings.WebGl);
    ApplySetting(config, kWindowConfigCefEnableLocalStorage, kWindowConfigCefLocalStorage,
                 &settings.LocalStorage);
    ApplySetting(config, kWindowConfigCefEnableDatabases, kWindowConfigCefDatabases, &settings.Databases);

    uint32_t developerTools = 0;
    WorkflowApp_GetConfigBoolean(kAppConfigEnableDeveloperTools, 0, &developerTools);
    CEF5414ClientHandler_SetEnableDeveloperTools(handler, developerTools);

    WorkflowApp_GetConfigBoolean(kAppConfigCefOffscreenRender, 0, &self->OffScreen);
    int32_t width = 0;
    int32_t height = 0;
    if (window) {
        SkinWindow_GetWidth(window, &width);
        SkinWindow_GetHeight(window, &height);
    }
    CEFWindowInfo info;
    CEF5414CEFApp_WindowInfoInit(&info, window ? SkinWindow_GetBasicWindowHandle(window) : nullptr, width, height,
                                 self->OffScreen ? 1 : 2, "CefBrowserWindow");
    CEFBrowserEngine* engine = CEFBrowserEngine_Get();
    if (engine) {
        CEFClient* client = CEF5414ClientHandler_GetClient(handler);
        CEFHostBrowser* created = engine->CreateBrowserSync(info, client, "about:blank", settings);
        if (created) CEF5414ClientHandler_SetBrowser(handler, created);
        Drop(created);
        Drop(client);
    }
    CEF5414CEFApp_WindowInfoFree(&info);
    return 1;
}

int64_t CEF5414CEFWebBrowser_CheckEmbed(WebBrowser* browser) {
    CEFWebBrowser* self = Own(browser);
    if (!self->Handler) return 0;
    CEFHostBrowser* engineBrowser = CEF5414ClientHandler_GetBrowser(self->Handler);
    const int64_t embedded = engineBrowser ? 1 : 0;
    Drop(engineBrowser);
    return embedded;
}

int64_t CEF5414CEFWebBrowser_Unembed(WebBrowser* browser) {
    CEFWebBrowser* self = Own(browser);
    if (!self->Handler) return 0;
    CEFBrowserHost* host = CEF5414ClientHandler_GetBrowserHost(self->Handler);
    if (!host) {
        CEF5414ClientHandler_Release(&self->Handler);
        return 0;
    }
    CEF5414ClientHandler_SetViewChangeCallback(self->Handler, nullptr, nullptr);
    host->CloseDevTools();
    host->CloseBrowser(1);
    Drop(host);
    return 1;
}

int64_t CEF5414CEFWebBrowser_CEFWebBrowser(WebBrowser* browser, const char* url) {
    CEFWebBrowser* self = Own(browser);
    if (!self->Handler || !url) return 0;
    CEFHostBrowser* engineBrowser = CEF5414ClientHandler_GetBrowser(self->Handler);
    CEFPageFrame* main = engineBrowser ? engineBrowser->GetMainPageFrame() : nullptr;
    Drop(engineBrowser);
    if (!main) return 0;
    String_CopyLength(self->Url, url, sizeof(self->Url));
    main->LoadURL(url);
    Drop(main);
    return 1;
}

// ---- View ----------------------------------------------------------------------------------------------

int64_t CEF5414CEFWebBrowser_NotifyMoveOrResizeStarted(WebBrowser* browser) {
    return WithHost(Own(browser), [](CEFBrowserHost* host) { host->NotifyMoveOrResizeStarted(); });
}

int64_t CEF5414CEFWebBrowser_Hide(WebBrowser* browser) {
    CEFWebBrowser* self = Own(browser);
    // The next SetSize resizes whatever size it brings.
    self->Width = 0;
    if (!self->OffScreen) return 1;
    return WithHost(self, [self](CEFBrowserHost* host) {
        host->SetFocus(0);
        if (!self->Hidden) {
            self->Hidden = 1;
            host->WasHidden(1);
        }
    });
}

int64_t CEF5414CEFWebBrowser_Show(WebBrowser* browser) {
    CEFWebBrowser* self = Own(browser);
    if (!self->OffScreen) return 1;
    return WithHost(self, [self](CEFBrowserHost* host) {
        if (self->Hidden) {
            host->WasHidden(0);
            self->Hidden = 0;
        }
        host->SetFocus(1);
    });
}

int64_t CEF5414CEFWebBrowser_SetSize(WebBrowser* browser, int32_t width, int32_t height) {
    CEFWebBrowser* self = Own(browser);
    if (width == self->Width && height == self->Height && width != 0 && height != 0) return 1;
    self->Width = width;
    self->Height = height;
    if (!self->OffScreen) return 1;
    return WithHost(self, [](CEFBrowserHost* host) { host->WasResized(); });
}

int64_t CEF5414CEFWebBrowser_SetDPI(WebBrowser* browser, int32_t dpi, int32_t) {
    CEFWebBrowser* self = Own(browser);
    if (!self->Handler) return 1;
    CEF5414ClientHandler_SetDeviceScaleFactor(self->Handler, (float)dpi / 96.0f);
    if (!self->OffScreen) return 1;
    return WithHost(self, [](CEFBrowserHost* host) { host->NotifyScreenInfoChanged(); });
}

int64_t CEF5414CEFWebBrowser_WasHidden(WebBrowser* browser, int32_t hidden) {
    CEFWebBrowser* self = Own(browser);
    if (!self->OffScreen) return 1;
    return WithHost(self, [hidden](CEFBrowserHost* host) { host->WasHidden(hidden); });
}

int64_t CEF5414CEFWebBrowser_Invalidate(WebBrowser* browser) {
    CEFWebBrowser* self = Own(browser);
    if (!self->OffScreen) return 1;
    return WithHost(self, [](CEFBrowserHost* host) { host->Invalidate(PET_VIEW); });
}

int64_t CEF5414CEFWebBrowser_SetMouseCursorChangeEnabled(WebBrowser* browser, int32_t enabled) {
    CEFWebBrowser* self = Own(browser);
    if (self->Handler) CEF5414ClientHandler_SetIsMouseCursorChangeDisabled(self->Handler, enabled ? 0 : 1);
    return 1;
}

int64_t CEF5414CEFWebBrowser_IsMouseCursorChangeEnabled(WebBrowser* browser, int32_t* enabled) {
    CEFWebBrowser* self = Own(browser);
    ASSERT_POINTER(enabled);
    *enabled = 0;
    if (!self->Handler) return 1;
    uint32_t disabled = 0;
    CEF5414ClientHandler_GetIsMouseCursorChangeDisabled(self->Handler, &disabled);
    *enabled = disabled ? 0 : 1;
    return 1;
}

int64_t CEF5414CEFWebBrowser_SetCursor(WebBrowser* browser, int32_t) {
    Own(browser);
    return 1;
}

// ---- Input ---------------------------------------------------------------------------------------------

uint32_t CEFWebBrowser_GetKeyModifiers(uint32_t modifiers) {
    uint32_t flags = 0;
    if (modifiers & WEBBROWSER_MODIFIER_SHIFT) flags |= EVENTFLAG_SHIFT_DOWN;
    if (modifiers & WEBBROWSER_MODIFIER_CONTROL) flags |= EVENTFLAG_CONTROL_DOWN;
    if (modifiers & WEBBROWSER_MODIFIER_ALT) flags |= EVENTFLAG_ALT_DOWN;
    if (modifiers & WEBBROWSER_MODIFIER_COMMAND) flags |= EVENTFLAG_COMMAND_DOWN;
    if (modifiers & WEBBROWSER_MODIFIER_CAPS_LOCK) flags |= EVENTFLAG_CAPS_LOCK_ON;
    return flags;
}

uint32_t CEFWebBrowser_GetEventModifiers(uint32_t modifiers) {
    uint32_t flags = CEFWebBrowser_GetKeyModifiers(modifiers) & ~(uint32_t)EVENTFLAG_CAPS_LOCK_ON;
    if (modifiers & WEBBROWSER_MODIFIER_LEFT_BUTTON)
        flags |= EVENTFLAG_LEFT_MOUSE_BUTTON;
    else if (modifiers & WEBBROWSER_MODIFIER_RIGHT_BUTTON)
        flags |= EVENTFLAG_RIGHT_MOUSE_BUTTON;
    else if (modifiers & WEBBROWSER_MODIFIER_MIDDLE_BUTTON)
        flags |= EVENTFLAG_MIDDLE_MOUSE_BUTTON;
    return flags;
}

int64_t CEF5414CEFWebBrowser_SimulateFocus(WebBrowser* browser, int32_t focus) {
    CEFWebBrowser* self = Own(browser);
    if (!self->OffScreen || self->Hidden) return 1;
    return WithHost(self, [focus](CEFBrowserHost* host) { host->SetFocus(focus); });
}

int64_t CEF5414CEFWebBrowser_SimulateCaptureLost(WebBrowser* browser) {
    return WithHost(Own(browser), [](CEFBrowserHost* host) { host->SendCaptureLostEvent(); });
}

int64_t CEF5414CEFWebBrowser_SimulateKeyDown(WebBrowser* browser, int32_t virtualKey, int32_t character,
                                             int32_t unmodified, uint32_t modifiers) {
    return SendKey(browser, KEYEVENT_KEYDOWN, virtualKey, character, unmodified, modifiers);
}

int64_t CEF5414CEFWebBrowser_SimulateKeyUp(WebBrowser* browser, int32_t virtualKey, int32_t character,
                                           int32_t unmodified, uint32_t modifiers) {
    return SendKey(browser, KEYEVENT_KEYUP, virtualKey, character, unmodified, modifiers);
}

int64_t CEF5414CEFWebBrowser_SimulateCharacter(WebBrowser* browser, int32_t virtualKey, int32_t character,
                                               int32_t unmodified, uint32_t modifiers) {
    return SendKey(browser, KEYEVENT_CHAR, virtualKey, character, unmodified, modifiers);
}

int64_t CEF5414CEFWebBrowser_SimulateMouseMove(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers,
                                               int32_t leave) {
    CEFWebBrowser* self = Own(browser);
    if (!self->Handler) return 1;
    const CEFMouseEvent event = MouseEvent(self, x, y, CEFWebBrowser_GetEventModifiers(modifiers));
    return WithHost(self, [&](CEFBrowserHost* host) { host->SendMouseMoveEvent(event, leave); });
}

int64_t CEF5414CEFWebBrowser_SimulateMouseDown(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers) {
    return SendClick(browser, x, y, modifiers, 0);
}

int64_t CEF5414CEFWebBrowser_SimulateMouseUp(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers) {
    return SendClick(browser, x, y, modifiers, 1);
}

int64_t CEF5414CEFWebBrowser_SimulateMouseWheel(WebBrowser* browser, int32_t x, int32_t y, int32_t delta) {
    CEFWebBrowser* self = Own(browser);
    if (!self->Handler) return 1;
    const CEFMouseEvent event = MouseEvent(self, x, y, 0);
    return WithHost(self, [&](CEFBrowserHost* host) { host->SendMouseWheelEvent(event, 0, delta); });
}

int64_t CEF5414CEFWebBrowser_SimulateUndo(WebBrowser* browser) {
    return WithFocusedFrame(browser, [](CEFPageFrame* frame) { frame->Undo(); });
}
int64_t CEF5414CEFWebBrowser_SimulateRedo(WebBrowser* browser) {
    return WithFocusedFrame(browser, [](CEFPageFrame* frame) { frame->Redo(); });
}
int64_t CEF5414CEFWebBrowser_SimulateCut(WebBrowser* browser) {
    return WithFocusedFrame(browser, [](CEFPageFrame* frame) { frame->Cut(); });
}
int64_t CEF5414CEFWebBrowser_SimulateCopy(WebBrowser* browser) {
    return WithFocusedFrame(browser, [](CEFPageFrame* frame) { frame->Copy(); });
}
int64_t CEF5414CEFWebBrowser_SimulatePaste(WebBrowser* browser) {
    return WithFocusedFrame(browser, [](CEFPageFrame* frame) { frame->Paste(); });
}
int64_t CEF5414CEFWebBrowser_SimulateDelete(WebBrowser* browser) {
    return WithFocusedFrame(browser, [](CEFPageFrame* frame) { frame->Delete(); });
}
int64_t CEF5414CEFWebBrowser_SimulateSelectAll(WebBrowser* browser) {
    return WithFocusedFrame(browser, [](CEFPageFrame* frame) { frame->SelectAll(); });
}

// ---- Script, callbacks and the loop --------------------------------------------------------------------

int64_t CEF5414CEFWebBrowser_ExecuteScript(WebBrowser* browser, const char* first, const char* second, Stream*) {
    CEFWebBrowser* self = Own(browser);
    if (!self->Handler) return 0;
    return CEF5414ClientHandler_ExecuteScript(self->Handler, first, second);
}

int64_t CEF5414CEFWebBrowser_SetViewChangeCallback(WebBrowser* browser, void* user, WebBrowserViewChangeFunc function) {
    CEFWebBrowser* self = Own(browser);
    CallbackBase_ResetReal(&self->ViewChange);
    if (function) CallbackBase_SetReal(&self->ViewChange, 0, user, reinterpret_cast<void*>(function));
    return 1;
}

int64_t CEF5414CEFWebBrowser_RunMessagePump() {
    CEFBrowserEngine* engine = CEFBrowserEngine_Get();
    if (engine) engine->RunMessageLoop();
    return 1;
}

int64_t CEF5414CEFWebBrowser_QuitMessagePump() {
    CEFBrowserEngine* engine = CEFBrowserEngine_Get();
    if (engine) engine->QuitMessageLoop();
    return 1;
}

const WebBrowserInterface* CEF5414CEFWebBrowser_GetInterface() {
    static const WebBrowserInterface table = {
        CEF5414CEFWebBrowser_Embed,
        CEF5414CEFWebBrowser_CheckEmbed,
        CEF5414CEFWebBrowser_Unembed,
        CEF5414CEFWebBrowser_CEFWebBrowser,
        CEF5414CEFWebBrowser_NotifyMoveOrResizeStarted,
        CEF5414CEFWebBrowser_Hide,
        CEF5414CEFWebBrowser_Show,
        CEF5414CEFWebBrowser_SetSize,
        CEF5414CEFWebBrowser_SetDPI,
        CEF5414CEFWebBrowser_WasHidden,
        CEF5414CEFWebBrowser_Invalidate,
        CEF5414CEFWebBrowser_SetMouseCursorChangeEnabled,
        CEF5414CEFWebBrowser_IsMouseCursorChangeEnabled,
        CEF5414CEFWebBrowser_SetCursor,
        CEF5414CEFWebBrowser_SimulateFocus,
        CEF5414CEFWebBrowser_SimulateCaptureLost,
        CEF5414CEFWebBrowser_SimulateKeyDown,
        CEF5414CEFWebBrowser_SimulateKeyUp,
        CEF5414CEFWebBrowser_SimulateCharacter,
        CEF5414CEFWebBrowser_SimulateMouseMove,
        CEF5414CEFWebBrowser_SimulateMouseDown,
        CEF5414CEFWebBrowser_SimulateMouseUp,
        CEF5414CEFWebBrowser_SimulateMouseWheel,
        CEF5414CEFWebBrowser_SimulateUndo,
        CEF5414CEFWebBrowser_SimulateRedo,
        CEF5414CEFWebBrowser_SimulateCut,
        CEF5414CEFWebBrowser_SimulateCopy,
        CEF5414CEFWebBrowser_SimulatePaste,
        CEF5414CEFWebBrowser_SimulateDelete,
        CEF5414CEFWebBrowser_SimulateSelectAll,
        CEF5414CEFWebBrowser_ExecuteScript,
        CEF5414CEFWebBrowser_SetViewChangeCallback,
        CEF5414CEFWebBrowser_Create,
        CEF5414CEFWebBrowser_Release,
        CEF5414CEFWebBrowser_RunMessagePump,
        CEF5414CEFWebBrowser_QuitMessagePump,
        CEF5414CEFWebBrowser_Init,
        CEF5414CEFWebBrowser_Remove,
    };
    return &table;
}

// ---- Tasks ---------------------------------------------------------------------------------------------

namespace {

struct CEFWebBrowserTask;

// The engine's view of a task; its reference count is the task's.
struct TaskRecord final : CEFTask {
    CEFWebBrowserTask* Owner = nullptr;
    uint32_t Size = CEFWEBBROWSER_TASK_RECORD_SIZE;
    void AddRef() override;
    void Release() override;
    void Execute() override;
};

struct CEFWebBrowserTask {
    Class Base;
    TaskRecord Task;
    WebBrowserTaskFunc Execute;
    std::atomic<WebBrowserTaskFunc> Delete;
    uint32_t TotalSize;
    // The caller's data area follows, 16-byte aligned.
    unsigned char* Data() { return reinterpret_cast<unsigned char*>(this) + kDataOffset; }
    static const size_t kDataOffset;
};

const size_t CEFWebBrowserTask::kDataOffset = (sizeof(CEFWebBrowserTask) + 15) & ~(size_t)15;

int32_t TaskBytes(uint32_t size) { return (int32_t)(CEFWebBrowserTask::kDataOffset + (size ? size : 1)); }

CEFWebBrowserTask* TaskOf(void* data) {
    ASSERT_POINTER(data);
    auto* task = reinterpret_cast<CEFWebBrowserTask*>(static_cast<unsigned char*>(data) -
                                                      CEFWebBrowserTask::kDataOffset);
    CLASS_CHECK(task, CEFWEBBROWSERTASK_CLASS_ID);
    return task;
}

int64_t DeleteTask(void** handle) {
    auto* task = static_cast<CEFWebBrowserTask*>(*handle);
    // Only a task that never ran hands its data to the delete function.
    WebBrowserTaskFunc remove = task->Delete.exchange(nullptr);
    if (remove) remove(task->Data());
    const uint32_t total = task->TotalSize;
    task->Base.ClassId = 0;
    task->~CEFWebBrowserTask();
    Memory_Free(task, total);
    *handle = nullptr;
    return 1;
}

void TaskRecord::AddRef() { Class_AddRef(Owner); }
void TaskRecord::Release() {
    CEFWebBrowserTask* owner = Owner;
    Class_Release(&owner);
}
void TaskRecord::Execute() {
    if (Owner->Execute) Owner->Execute(Owner->Data());
    Owner->Delete.store(nullptr);
}

} // namespace

int64_t CEFWebBrowserTask_CreateWithSize(void** handle, uint32_t size, WebBrowserTaskFunc execute,
                                         WebBrowserTaskFunc remove) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    if (size > 0x7fff0000u) return 0;
    const int32_t total = TaskBytes(size);
    void* memory = Memory_AllocZero(total);
    auto* task = new (memory) CEFWebBrowserTask();
    task->Base.ClassId = CEFWEBBROWSERTASK_CLASS_ID;
    task->Base.RefCount = 1;
    task->Base.Delete = DeleteTask;
    task->Task.Owner = task;
    task->Execute = execute;
    task->Delete.store(remove);
    task->TotalSize = (uint32_t)total;
    *handle = task->Data();
    return 1;
}

int64_t CEFWebBrowserTask_Post(void* handle) {
    CEFWebBrowserTask* task = TaskOf(handle);
    CEFBrowserEngine* engine = CEFBrowserEngine_Get();
    return engine && engine->PostTask(CEF_THREAD_UI, &task->Task) ? 1 : 0;
}

int64_t CEFWebBrowserTask_PostDelayed(void* handle, int64_t delayMs) {
    CEFWebBrowserTask* task = TaskOf(handle);
    CEFBrowserEngine* engine = CEFBrowserEngine_Get();
    return engine && engine->PostDelayedTask(CEF_THREAD_UI, &task->Task, delayMs) ? 1 : 0;
}

void* CEFWebBrowserTask_AddRef(void* handle) {
    Class_AddRef(TaskOf(handle));
    return handle;
}

int64_t CEFWebBrowserTask_Release(void* handle) {
    if (!handle) return 0;
    CEFWebBrowserTask* task = TaskOf(handle);
    Class_Release(&task);
    return 1;
}

const WebBrowserTaskInterface* CEFWebBrowserTask_GetInterface() {
    static const WebBrowserTaskInterface table = {CEFWebBrowserTask_CreateWithSize, CEFWebBrowserTask_Post,
                                                  CEFWebBrowserTask_PostDelayed, CEFWebBrowserTask_AddRef,
                                                  CEFWebBrowserTask_Release};
    return &table;
}
