// The embedded browser behind one table of operations: skin windows and their views drive a
// browser without knowing its engine, and code posts work to the engine's user-interface thread.
#pragma once

#include <cstdint>

struct Dictionary;
struct SkinWindow;
struct Stream;
// The back end's browser object; only the installed table knows its layout.
struct WebBrowser;

// Modifier bits of the key and mouse operations.
enum : uint32_t {
    WEBBROWSER_MODIFIER_LEFT_BUTTON = 1,
    WEBBROWSER_MODIFIER_MIDDLE_BUTTON = 2,
    WEBBROWSER_MODIFIER_RIGHT_BUTTON = 4,
    WEBBROWSER_MODIFIER_SHIFT = 8,
    WEBBROWSER_MODIFIER_ALT = 16,
    WEBBROWSER_MODIFIER_CONTROL = 32,
    WEBBROWSER_MODIFIER_COMMAND = 64,
    WEBBROWSER_MODIFIER_KEYPAD = 128,
    WEBBROWSER_MODIFIER_FUNCTION = 256,
    WEBBROWSER_MODIFIER_CAPS_LOCK = 512,
};

// Called for every frame an off-screen browser renders; width and height are at least 1.
typedef int64_t (*WebBrowserViewChangeFunc)(WebBrowser* browser, void* user, const void* pixels, int32_t size,
                                            int32_t width, int32_t height);

typedef int64_t (*WebBrowserFunc)(WebBrowser* browser);
typedef int64_t (*WebBrowserKeyFunc)(WebBrowser* browser, int32_t virtualKey, int32_t character, int32_t extended,
                                     uint32_t modifiers);
typedef int64_t (*WebBrowserMouseFunc)(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers);

// A back end fills every slot; the order is fixed.
struct WebBrowserInterface {
    int64_t (*Embed)(WebBrowser* browser, SkinWindow* window, Dictionary* config);
    WebBrowserFunc CheckEmbed;
    WebBrowserFunc Unembed;
    int64_t (*Navigate)(WebBrowser* browser, const char* url);
    WebBrowserFunc NotifyMoveOrResizeStarted;
    WebBrowserFunc Hide;
    WebBrowserFunc Show;
    int64_t (*SetSize)(WebBrowser* browser, int32_t width, int32_t height);
    int64_t (*SetDPI)(WebBrowser* browser, int32_t dpi, int32_t second);
    int64_t (*WasHidden)(WebBrowser* browser, int32_t hidden);
    WebBrowserFunc Invalidate;
    int64_t (*SetMouseCursorChangeEnabled)(WebBrowser* browser, int32_t enabled);
    int64_t (*IsMouseCursorChangeEnabled)(WebBrowser* browser, int32_t* enabled);
    int64_t (*SetCursor)(WebBrowser* browser, int32_t cursor);
    int64_t (*SimulateFocus)(WebBrowser* browser, int32_t focus);
    WebBrowserFunc SimulateCaptureLost;
    WebBrowserKeyFunc SimulateKeyDown;
    WebBrowserKeyFunc SimulateKeyUp;
    WebBrowserKeyFunc SimulateCharacter;
    int64_t (*SimulateMouseMove)(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers, int32_t leave);
    WebBrowserMouseFunc SimulateMouseDown;
    WebBrowserMouseFunc SimulateMouseUp;
    int64_t (*SimulateMouseWheel)(WebBrowser* browser, int32_t x, int32_t y, int32_t delta);
    WebBrowserFunc SimulateUndo;
    WebBrowserFunc SimulateRedo;
    WebBrowserFunc SimulateCut;
    WebBrowserFunc SimulateCopy;
    WebBrowserFunc SimulatePaste;
    WebBrowserFunc SimulateDelete;
    WebBrowserFunc SimulateSelectAll;
    int64_t (*ExecuteScript)(WebBrowser* browser, const char* first, const char* second, Stream* reply);
    int64_t (*SetViewChangeCallback)(WebBrowser* browser, void* user, WebBrowserViewChangeFunc function);
    int64_t (*Create)(WebBrowser** browser);
    int64_t (*Release)(WebBrowser** browser);
    int64_t (*RunMessagePump)();
    int64_t (*QuitMessagePump)();
    int64_t (*Init)(const char* libraryPath);
    int64_t (*Remove)();
};

// The installed table (null before WebBrowser_Init) and whether "WebBrowser" is verbose.
extern const WebBrowserInterface* GlobalWebBrowserInterface;
extern bool GlobalWebBrowserVerbose;

// Installs the table (a null table aborts), reads the verbose level and answers the table's Init.
int64_t WebBrowser_Init(const WebBrowserInterface* table, const char* libraryPath);
// Calls the installed table's Remove and uninstalls it; 1.
int64_t WebBrowser_Remove();

// The dispatchers. Without an installed table they abort (QuitMessagePump answers 1). Embed
// answers 1 without embedding again when the browser is embedded; Unembed answers 1 when it is
// not; the operations from Navigate to ExecuteScript answer 0 without calling the back end when
// the browser is not embedded.
int64_t WebBrowser_Embed(WebBrowser* browser, SkinWindow* window, Dictionary* config);
int64_t WebBrowser_CheckEmbed(WebBrowser* browser);
int64_t WebBrowser_Unembed(WebBrowser* browser);
int64_t WebBrowser_Navigate(WebBrowser* browser, const char* url);
int64_t WebBrowser_NotifyMoveOrResizeStarted(WebBrowser* browser);
int64_t WebBrowser_Hide(WebBrowser* browser);
int64_t WebBrowser_Show(WebBrowser* browser);
int64_t WebBrowser_SetSize(WebBrowser* browser, int32_t width, int32_t height);
int64_t WebBrowser_SetDPI(WebBrowser* browser, int32_t dpi, int32_t second);
int64_t WebBrowser_WasHidden(WebBrowser* browser, int32_t hidden);
int64_t WebBrowser_Invalidate(WebBrowser* browser);
int64_t WebBrowser_SetMouseCursorChangeEnabled(WebBrowser* browser, int32_t enabled);
int64_t WebBrowser_IsMouseCursorChangeEnabled(WebBrowser* browser, int32_t* enabled);
int64_t WebBrowser_SetCursor(WebBrowser* browser, int32_t cursor);
int64_t WebBrowser_SimulateFocus(WebBrowser* browser, int32_t focus);
int64_t WebBrowser_SimulateCaptureLost(WebBrowser* browser);
int64_t WebBrowser_SimulateKeyDown(WebBrowser* browser, int32_t virtualKey, int32_t character, int32_t extended,
                                   uint32_t modifiers);
int64_t WebBrowser_SimulateKeyUp(WebBrowser* browser, int32_t virtualKey, int32_t character, int32_t extended,
                                 uint32_t modifiers);
int64_t WebBrowser_SimulateCharacter(WebBrowser* browser, int32_t virtualKey, int32_t character, int32_t extended,
                                     uint32_t modifiers);
int64_t WebBrowser_SimulateMouseMove(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers, int32_t leave);
int64_t WebBrowser_SimulateMouseDown(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers);
int64_t WebBrowser_SimulateMouseUp(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers);
int64_t WebBrowser_SimulateMouseWheel(WebBrowser* browser, int32_t x, int32_t y, int32_t delta);
int64_t WebBrowser_SimulateUndo(WebBrowser* browser);
int64_t WebBrowser_SimulateRedo(WebBrowser* browser);
int64_t WebBrowser_SimulateCut(WebBrowser* browser);
int64_t WebBrowser_SimulateCopy(WebBrowser* browser);
int64_t WebBrowser_SimulatePaste(WebBrowser* browser);
int64_t WebBrowser_SimulateDelete(WebBrowser* browser);
int64_t WebBrowser_SimulateSelectAll(WebBrowser* browser);
int64_t WebBrowser_ExecuteScript(WebBrowser* browser, const char* first, const char* second, Stream* reply);
int64_t WebBrowser_SetViewChangeCallback(WebBrowser* browser, void* user, WebBrowserViewChangeFunc function);
int64_t WebBrowser_Create(WebBrowser** browser);
int64_t WebBrowser_Release(WebBrowser** browser);
int64_t WebBrowser_RunMessagePump();
int64_t WebBrowser_QuitMessagePump();

// ---- Work for the engine's user-interface thread -------------------------------------------------
// A task handle points at the caller's data area. Execute receives it when the task runs; delete
// receives it when the task is destroyed without having run.
typedef void (*WebBrowserTaskFunc)(void* data);

struct WebBrowserTaskInterface {
    int64_t (*CreateWithSize)(void** task, uint32_t size, WebBrowserTaskFunc execute, WebBrowserTaskFunc remove);
    // The queue holds a reference of its own until the task has run; the caller keeps its own.
    int64_t (*Post)(void* task);
    int64_t (*PostDelayed)(void* task, int64_t delayMs);
    void* (*AddRef)(void* task);
    int64_t (*Release)(void* task);
};

extern const WebBrowserTaskInterface* GlobalWebBrowserTaskInterface;

// Installs the task table; a second install aborts.
int64_t WebBrowserTask_SetInterface(const WebBrowserTaskInterface* table);
// Each answers 0 (or no task) while no task table is installed. Create clears the handle first.
int64_t WebBrowserTask_Create(void** task, uint32_t size, WebBrowserTaskFunc execute, WebBrowserTaskFunc remove);
int64_t WebBrowserTask_Post(void* task);
int64_t WebBrowserTask_PostDelayed(void* task, int64_t delayMs);
void* WebBrowserTask_AddRef(void* task);
int64_t WebBrowserTask_Release(void* task);
