// The engine objects behind an embedded browser (its host, frames, client callbacks, tasks and the
// windows the engine owns), as abstract tables of our own beside those of cef_engine.h.
#pragma once

#include <cstdint>
#include <string>

#include "host/cef/cef_app.h"
#include "host/cef/cef_engine.h"

struct NativeImage;

// Paint element types.
enum : int32_t { PET_VIEW = 0, PET_POPUP = 1 };
// Key event types.
enum : int32_t { KEYEVENT_RAWKEYDOWN = 0, KEYEVENT_KEYDOWN = 1, KEYEVENT_KEYUP = 2, KEYEVENT_CHAR = 3 };
// Mouse buttons.
enum : int32_t { MBT_LEFT = 0, MBT_MIDDLE = 1, MBT_RIGHT = 2 };
// Engine event flags.
enum : uint32_t {
    EVENTFLAG_CAPS_LOCK_ON = 1,
    EVENTFLAG_SHIFT_DOWN = 2,
    EVENTFLAG_CONTROL_DOWN = 4,
    EVENTFLAG_ALT_DOWN = 8,
    EVENTFLAG_LEFT_MOUSE_BUTTON = 16,
    EVENTFLAG_MIDDLE_MOUSE_BUTTON = 32,
    EVENTFLAG_RIGHT_MOUSE_BUTTON = 64,
    EVENTFLAG_COMMAND_DOWN = 128,
};
// Feature states of the browser settings.
enum : int32_t { STATE_DEFAULT = 0, STATE_ENABLED = 1, STATE_DISABLED = 2 };
// The load error of a load that was stopped on purpose.
enum : int32_t { ERR_ABORTED = -3 };
// Request and termination statuses.
enum : int32_t { UR_UNKNOWN = 0, UR_SUCCESS = 1, UR_IO_PENDING = 2 };
enum : int32_t { RV_CANCEL = 0, RV_CONTINUE = 1 };

struct CEFRect {
    int32_t x, y, width, height;
    bool operator==(const CEFRect& other) const {
        return x == other.x && y == other.y && width == other.width && height == other.height;
    }
};

struct CEFScreenInfo {
    float DeviceScaleFactor;
    int32_t Depth;
    CEFRect Rect;
    CEFRect AvailableRect;
};

struct CEFKeyEvent {
    int32_t Type;
    uint32_t Modifiers;
    int32_t NativeKeyCode;
    int32_t Character;
    int32_t UnmodifiedCharacter;
};

struct CEFMouseEvent {
    int32_t X, Y;
    uint32_t Modifiers;
};

// The feature states of a new browser that the back end decides.
struct CEFBrowserSettings {
    uint32_t Size;
    int32_t JavascriptCloseWindows;
    int32_t JavascriptDomPaste;
    int32_t TextAreaResize;
    int32_t LocalStorage;
    int32_t Databases;
    int32_t WebGl;
};

struct CEFPopupFeatures {
    int32_t x, xSet, y, ySet, width, widthSet, height, heightSet;
    int32_t MenuBarVisible, StatusBarVisible, ToolBarVisible, ScrollbarsVisible;
};

// A frame of a page with the operations of the browser process.
class CEFPageFrame : public CEFFrame {
  public:
    virtual bool IsMain() = 0;
    // The parent with a reference for the caller, or null for a top frame.
    virtual CEFPageFrame* GetParentFrame() = 0;
    virtual void LoadURL(const char* url) = 0;
    virtual void Undo() = 0;
    virtual void Redo() = 0;
    virtual void Cut() = 0;
    virtual void Copy() = 0;
    virtual void Paste() = 0;
    virtual void Delete() = 0;
    virtual void SelectAll() = 0;
};

class CEFBrowserHost : public CEFObject {
  public:
    // Native windows of the engine, opaque to the back end; null when there is none.
    virtual void* GetWindowHandle() = 0;
    virtual void* GetOpenerWindowHandle() = 0;
    virtual void CloseBrowser(int32_t force) = 0;
    virtual void CloseDevTools() = 0;
    virtual void ShowDevTools(const CEFWindowInfo& info, const CEFBrowserSettings& settings) = 0;
    virtual void WasResized() = 0;
    virtual void WasHidden(int32_t hidden) = 0;
    virtual void NotifyScreenInfoChanged() = 0;
    virtual void NotifyMoveOrResizeStarted() = 0;
    virtual void Invalidate(int32_t type) = 0;
    virtual void SetFocus(int32_t focus) = 0;
    virtual void SendCaptureLostEvent() = 0;
    virtual void SendKeyEvent(const CEFKeyEvent& event) = 0;
    virtual void SendMouseMoveEvent(const CEFMouseEvent& event, int32_t leave) = 0;
    virtual void SendMouseClickEvent(const CEFMouseEvent& event, int32_t button, int32_t up, int32_t clicks) = 0;
    virtual void SendMouseWheelEvent(const CEFMouseEvent& event, int32_t deltaX, int32_t deltaY) = 0;
};

// A browser as the browser process sees it. Getters hand out a reference for the caller.
class CEFHostBrowser : public CEFBrowser {
  public:
    virtual CEFBrowserHost* GetHost() = 0;
    virtual CEFPageFrame* GetMainPageFrame() = 0;
    virtual CEFPageFrame* GetFocusedFrame() = 0;
    virtual bool HasDocument() = 0;
    virtual bool CanGoBack() = 0;
    virtual bool IsSame(CEFHostBrowser* other) = 0;
};

// A process message whose arguments can be told apart by type.
enum : int32_t { VTYPE_INVALID = 0, VTYPE_INT = 3, VTYPE_STRING = 9 };
class CEFValueMessage : public CEFProcessMessage {
  public:
    virtual int32_t GetArgumentType(int32_t index) = 0;
    virtual int32_t GetInt(int32_t index) = 0;
};

// The engine's work item: Execute runs on the thread it was posted to.
class CEFTask : public CEFObject {
  public:
    virtual void Execute() = 0;
};

// The callbacks of a browser's client. Objects handed in are borrowed for the call; anything
// handed out carries a reference for the engine. The defaults are the engine's own behaviour.
class CEFClient : public CEFObject {
  public:
    // Life span.
    virtual int32_t on_before_popup(CEFHostBrowser*, CEFPageFrame*, const char*, const CEFPopupFeatures&,
                                    CEFClient** client) {
        (void)client;
        return 0;
    }
    virtual void on_after_created(CEFHostBrowser*) {}
    virtual int32_t do_close(CEFHostBrowser*) { return 0; }
    virtual void on_before_close(CEFHostBrowser*) {}
    // Load.
    virtual void on_loading_state_change(CEFHostBrowser*, int32_t, int32_t, int32_t) {}
    virtual void on_load_start(CEFHostBrowser*, CEFPageFrame*, int32_t) {}
    virtual void on_load_end(CEFHostBrowser*, CEFPageFrame*, int32_t) {}
    virtual void on_load_error(CEFHostBrowser*, CEFPageFrame*, int32_t, const std::u16string&, const std::u16string&) {}
    // Context menu.
    virtual void on_before_context_menu(CEFHostBrowser*, CEFPageFrame*) {}
    virtual int32_t run_context_menu(CEFHostBrowser*, CEFPageFrame*) { return 0; }
    virtual int32_t on_context_menu_command(CEFHostBrowser*, CEFPageFrame*, int32_t) { return 0; }
    virtual void on_context_menu_dismissed(CEFHostBrowser*, CEFPageFrame*) {}
    // Request.
    virtual int32_t on_before_browse(CEFHostBrowser*, CEFPageFrame*, CEFRequest*, int32_t, int32_t) { return 0; }
    virtual int32_t on_open_urlfrom_tab(CEFHostBrowser*, CEFPageFrame*, const char*, int32_t, int32_t) { return 0; }
    // This client itself, with a reference, when it answers resource requests.
    virtual CEFClient* get_resource_request_handler(CEFHostBrowser*, CEFPageFrame*, CEFRequest*) { return nullptr; }
    virtual int32_t get_auth_credentials(CEFHostBrowser*, const char*, int32_t, const char*, int32_t, const char*,
                                         const char*, CEFAuthCallback*) {
        return 0;
    }
    virtual int32_t on_certificate_error(CEFHostBrowser*, int32_t, const char*, CEFCallback*) { return 0; }
    virtual int32_t on_select_client_certificate(CEFHostBrowser*, int32_t, const char*, int32_t) { return 0; }
    virtual void on_render_process_terminated(CEFHostBrowser*, int32_t) {}
    // Resource request (the engine's I/O thread).
    virtual int32_t on_before_resource_load(CEFHostBrowser*, CEFPageFrame*, CEFRequest*, CEFCallback*) {
        return RV_CONTINUE;
    }
    virtual CEFResourceHandler* get_resource_handler(CEFHostBrowser*, CEFPageFrame*, CEFRequest*) { return nullptr; }
    virtual void on_resource_redirect(CEFHostBrowser*, CEFPageFrame*, CEFRequest*, CEFResponse*, std::string*) {}
    virtual int32_t on_resource_response(CEFHostBrowser*, CEFPageFrame*, CEFRequest*, CEFResponse*) { return 0; }
    virtual void* get_resource_response_filter(CEFHostBrowser*, CEFPageFrame*, CEFRequest*, CEFResponse*) {
        return nullptr;
    }
    virtual void on_resource_load_complete(CEFHostBrowser*, CEFPageFrame*, CEFRequest*, CEFResponse*, int32_t,
                                           int64_t) {}
    virtual void on_protocol_execution(CEFHostBrowser*, CEFPageFrame*, CEFRequest*, int32_t* allow) { (void)allow; }
    // Display.
    virtual void on_title_change(CEFHostBrowser*, const char*) {}
    virtual int32_t on_tooltip(CEFHostBrowser*, const char*) { return 0; }
    virtual int32_t on_console_message(CEFHostBrowser*, int32_t, const char*, const char*, int32_t) { return 0; }
    virtual void on_favicon_urlchange(CEFHostBrowser*) {}
    virtual void on_fullscreen_mode_change(CEFHostBrowser*, int32_t) {}
    virtual void on_status_message(CEFHostBrowser*, const char*) {}
    virtual void on_loading_progress_change(CEFHostBrowser*, double) {}
    virtual int32_t on_cursor_change(CEFHostBrowser*, void*, int32_t) { return 0; }
    // Render (windowless browsers).
    virtual int32_t get_root_screen_rect(CEFHostBrowser*, CEFRect*) { return 0; }
    virtual void get_view_rect(CEFHostBrowser*, CEFRect* rect) { *rect = CEFRect{0, 0, 1, 1}; }
    virtual int32_t get_screen_point(CEFHostBrowser*, int32_t, int32_t, int32_t*, int32_t*) { return 0; }
    virtual int32_t get_screen_info(CEFHostBrowser*, CEFScreenInfo*) { return 0; }
    virtual void on_popup_show(CEFHostBrowser*, int32_t) {}
    virtual void on_popup_size(CEFHostBrowser*, const CEFRect&) {}
    virtual void on_paint(CEFHostBrowser*, int32_t, size_t, const CEFRect*, const void*, int32_t, int32_t) {}
    virtual void on_accelerated_paint(CEFHostBrowser*, int32_t) {}
    virtual int32_t start_dragging(CEFHostBrowser*) { return 0; }
    virtual void update_drag_cursor(CEFHostBrowser*, int32_t) {}
    virtual void on_scroll_offset_changed(CEFHostBrowser*, double, double) {}
    virtual void on_ime_composition_range_changed(CEFHostBrowser*) {}
    virtual void on_text_selection_changed(CEFHostBrowser*, const char*) {}
    virtual void on_virtual_keyboard_requested(CEFHostBrowser*, int32_t) {}
    // Client.
    virtual int32_t on_process_message_received(CEFHostBrowser*, CEFPageFrame*, int32_t, CEFProcessMessage*) {
        return 0;
    }

  protected:
    ~CEFClient() = default;
};

// The engine binding's browser side and the native windows its browsers live in.
class CEFBrowserEngine {
  public:
    // A new browser with a reference for the caller, or null.
    virtual CEFHostBrowser* CreateBrowserSync(const CEFWindowInfo& info, CEFClient* client, const char* url,
                                              const CEFBrowserSettings& settings) = 0;
    virtual void RunMessageLoop() = 0;
    virtual void QuitMessageLoop() = 0;
    // The engine holds a reference to the task until it has run or been dropped.
    virtual bool PostTask(int32_t thread, CEFTask* task) = 0;
    virtual bool PostDelayedTask(int32_t thread, CEFTask* task, int64_t delayMs) = 0;

    virtual int64_t WindowCenter(void* window, void* opener) = 0;
    virtual int64_t WindowSetSmallIcon(void* window, NativeImage* icon) = 0;
    virtual int64_t WindowGetScreenDPI(void* window, int32_t* horizontal, int32_t* vertical) = 0;
    virtual int64_t WindowGetTextScaleFactor(void* window, float* factor) = 0;
    virtual int64_t WindowGetX(void* window, int32_t* x) = 0;
    virtual int64_t WindowGetY(void* window, int32_t* y) = 0;
    virtual int64_t WindowGetWidth(void* window, int32_t* width) = 0;
    virtual int64_t WindowGetHeight(void* window, int32_t* height) = 0;
    virtual int64_t WindowAdjustWindowSize(void* window, int32_t* x, int32_t* y, int32_t* width, int32_t* height) = 0;
    virtual int64_t WindowMove(void* window, int32_t x, int32_t y) = 0;
    virtual int64_t WindowSize(void* window, int32_t width, int32_t height) = 0;
    virtual int64_t WindowSetTitleUtf8(void* window, const char* title) = 0;
    virtual int64_t WindowSetFrame(void* window, int32_t style) = 0;

  protected:
    ~CEFBrowserEngine() = default;
};

// The binding of this process; null (the library is absent) until one is installed.
int64_t CEFBrowserEngine_Set(CEFBrowserEngine* engine);
CEFBrowserEngine* CEFBrowserEngine_Get();
