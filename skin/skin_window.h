// A skin window: one native window whose content hosts an embedded browser showing a page of the
// skin, with its configuration, its state machine, load time-out, close protocol and the
// "SkinWindow" notifications through which it reports to its page.
#pragma once

#include <cstdint>

struct Dictionary;
struct NativeImage;
struct SkinWindow;
struct Stream;

enum : uint32_t {
    SKINWINDOW_CLASS_ID = 0xc65da205,
};

// States of SkinWindow_Process.
enum : int32_t {
    SKINWINDOW_STATE_EMBEDDING = 0,
    SKINWINDOW_STATE_NAVIGATED = 1,
    SKINWINDOW_STATE_UNEMBEDDING = 3,
    SKINWINDOW_STATE_CLOSED = 4,
};

// What a window asks of the skin application that owns it; the application installs it. The
// functions take the window's instance id.
struct SkinWindowAppInterface {
    int64_t (*ExpandString)(const char* text, char* out, int32_t capacity);
    int64_t (*GetWindowUrl)(const char* windowId, Dictionary* config, char* url, int32_t capacity);
    int64_t (*IsMainWindow)(const char* windowId);
    // Replaces a localisation key in place by its text; 1 when found.
    int64_t (*LocalizeString)(char* text, int32_t capacity);
    // Reads a file of the skin whole: 1 when read, 0 when it cannot be opened, -1 when reading failed.
    int64_t (*ReadSkinFile)(const char* path, void** data, uint32_t* length);
    // Frees what ReadSkinFile handed out.
    int64_t (*FreeSkinFile)(void* data, uint32_t length);
};
// Null uninstalls: texts are then used as they are, no URL is known and every window is main.
int64_t SkinWindow_SetAppInterface(const SkinWindowAppInterface* table);

// The viewport-size callback answers the area a window is centred in; the cursor-change callback
// takes over SkinWindow_SetCursor.
typedef int64_t (*SkinWindowViewportSizeFunc)(void* user, SkinWindow* window, int32_t* width, int32_t* height);
typedef int64_t (*SkinWindowCursorChangeFunc)(void* user, SkinWindow* window, const char* cursor);

// ---- Object life and module ----------------------------------------------------------------------
int64_t SkinWindow_Create(SkinWindow** window);
int64_t SkinWindow_AddRef(SkinWindow* window);
int64_t SkinWindow_Release(SkinWindow** window);
int64_t SkinWindow_Delete(SkinWindow** window);
int64_t SkinWindow_GetInstanceId(SkinWindow* window, char* buffer, int32_t capacity);
// Before the first window: installs the cursor gate. The name is that of the application.
int64_t SkinWindow_Init(const char* name);
int64_t SkinWindow_Remove();
// Finds the window of another running instance: never, 0.
int64_t SkinWindow_Locate(const char* name);

// ---- For the skin application and the back ends ------------------------------------------------
// Merges the configuration into the window's, builds the native window and starts embedding; 1.
int64_t SkinWindow_LoadConfig(SkinWindow* window, Dictionary* config);
// One tick of the state machine; 0 when the window is closed and is to be removed.
int64_t SkinWindow_Process(SkinWindow* window);
int64_t SkinWindow_GetState(SkinWindow* window, int32_t* state);
// Passes the two strings to the page; logs a call that stalls for a second or more.
int64_t SkinWindow_ExecuteScript(SkinWindow* window, const char* first, const char* second, Stream* reply);
int64_t SkinWindow_SetReadyEmergencyClose(SkinWindow* window);
// The value at the dotted path, else the default; always 1.
int64_t SkinWindow_GetConfig(SkinWindow* window, const char* path, const char* defaultValue, char* buffer,
                             int32_t capacity);
int64_t SkinWindow_GetConfigHandle(SkinWindow* window, Dictionary** config);
// "Resizable" or "Normal" from "popupFrame".
int64_t SkinWindow_GetPopupFrame(SkinWindow* window, char* buffer, int32_t capacity);
// The native window's content view.
void* SkinWindow_GetNativeHandle(SkinWindow* window);
void* SkinWindow_GetBasicWindowHandle(SkinWindow* window);
int64_t SkinWindow_SetViewportSizeCallback(SkinWindow* window, SkinWindowViewportSizeFunc function, void* user);
int64_t SkinWindow_SetCursorChangeCallback(SkinWindow* window, SkinWindowCursorChangeFunc function, void* user);
int64_t SkinWindow_GetWidth(SkinWindow* window, int32_t* width);
int64_t SkinWindow_GetHeight(SkinWindow* window, int32_t* height);
int64_t SkinWindow_GetX(SkinWindow* window, int32_t* x);
int64_t SkinWindow_GetY(SkinWindow* window, int32_t* y);
int64_t SkinWindow_GetScreenWidth(SkinWindow* window, int32_t* width);
int64_t SkinWindow_GetScreenHeight(SkinWindow* window, int32_t* height);
int64_t SkinWindow_GetTitle(SkinWindow* window, char* buffer, int32_t capacity);
int64_t SkinWindow_GetDefaultIcon(SkinWindow* window, NativeImage** icon);
int64_t SkinWindow_GetBigIcon(SkinWindow* window, NativeImage** icon);
int64_t SkinWindow_GetSmallIcon(SkinWindow* window, NativeImage** icon);
int64_t SkinWindow_GetWindowResizable(SkinWindow* window);
// The load time-out check: 1 while the window may go on loading.
int64_t SkinWindow_CheckLoadTimeout(SkinWindow* window);

// ---- Frame and page operations -------------------------------------------------------------------
// Frame changes ordered by the page: the notifications they cause carry frameNotification false.
int64_t SkinWindow_Show(SkinWindow* window);
int64_t SkinWindow_Hide(SkinWindow* window);
int64_t SkinWindow_Close(SkinWindow* window);
int64_t SkinWindow_SetSize(SkinWindow* window, int32_t width, int32_t height);
int64_t SkinWindow_SetOrigin(SkinWindow* window, int32_t x, int32_t y);
int64_t SkinWindow_Center(SkinWindow* window);
int64_t SkinWindow_SetTitle(SkinWindow* window, const char* title);
int64_t SkinWindow_SetCursor(SkinWindow* window, const char* cursor);
// The page has loaded: ends the main window's load time-out.
int64_t SkinWindow_Loaded(SkinWindow* window);
int64_t SkinWindow_GetCanClose(SkinWindow* window, uint32_t* canClose);
int64_t SkinWindow_SetCanClose(SkinWindow* window, uint32_t canClose);
int64_t SkinWindow_GetCanMove(SkinWindow* window, uint32_t* canMove);
int64_t SkinWindow_SetCanMove(SkinWindow* window, uint32_t canMove);

// Pictures cut from the sprite sheet (pixels): 0 when an argument is negative or there is no
// sheet; a width or height below 1 clears the picture; 0 when the rectangle leaves the sheet.
int64_t SkinWindow_SetBigIcon(SkinWindow* window, int32_t x, int32_t y, int32_t width, int32_t height);
int64_t SkinWindow_SetTaskbarOverlay(SkinWindow* window, int32_t x, int32_t y, int32_t width, int32_t height);
// The same conditions checked; nothing changes on this platform.
int64_t SkinWindow_SetSmallIcon(SkinWindow* window, int32_t x, int32_t y, int32_t width, int32_t height);
int64_t SkinWindow_SetNotificationAreaIcon(SkinWindow* window, int32_t x, int32_t y, int32_t width, int32_t height);
// The dock menu from JSON text; 0 when it does not parse or cannot be built.
int64_t SkinWindow_SetContextMenu(SkinWindow* window, const char* json);
int64_t SkinWindow_SetContextMenuSelect(SkinWindow* window, int32_t id, uint32_t select);

// ---- Dialogs ----------------------------------------------------------------------------------------
// Each shows its dialog; the answer ("MessageBoxResponse", "BrowseForFileResponse",
// "BrowseForFolderResponse") reaches the page's callback as {callbackId, type, sender, info}.
int64_t SkinWindow_MessageBox(SkinWindow* window, const char* text, const char* caption, uint32_t type,
                              const char* callbackId);
int64_t SkinWindow_BrowseForFile(SkinWindow* window, const char* text, const char* fileTypeDesc,
                                 const char* fileTypeExt, const char* startPath, const char* startFile,
                                 const char* callbackId);
int64_t SkinWindow_BrowseForFolder(SkinWindow* window, const char* text, const char* startPath,
                                   const char* callbackId);

// ---- For the native window -------------------------------------------------------------------------
// The close protocol, where every close (the page's and the user's) ends.
int64_t SkinWindow_PerformClose(SkinWindow* window);
// Fires a frame notification ("Show", "Hide", "Maximize", ...) with {frameNotification} at once.
int64_t SkinWindow_NotifyFrame(SkinWindow* window, const char* name);
// Queues "Move" {frameNotification, x, y} and "Size" {frameNotification, width, height} for the next pass.
int64_t SkinWindow_NotifyMove(SkinWindow* window, int32_t x, int32_t y);
int64_t SkinWindow_NotifySize(SkinWindow* window, int32_t width, int32_t height);
// A dock menu item was chosen: "ContextMenuSelect" {id}.
int64_t SkinWindow_ContextMenuSelect(SkinWindow* window, int32_t id);
