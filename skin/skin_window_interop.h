// "QVR.SkinWindow": the script class through which a page drives its own window, and the native
// window controls it needs beyond the native window table (installed by the platform layer).
#pragma once

#include <cstdint>

struct Dictionary;
struct NativeSkinWindow;
struct SkinWindow;

// Every slot is filled; results are 1 for success and 0 for failure unless said otherwise.
struct SkinWindowControlsInterface {
    int64_t (*Maximize)(NativeSkinWindow* window);
    int64_t (*Minimize)(NativeSkinWindow* window);
    // Brings a minimised or maximised window back to its normal frame.
    int64_t (*Restore)(NativeSkinWindow* window);
    int64_t (*IsMinimized)(NativeSkinWindow* window);
    int64_t (*IsMaximized)(NativeSkinWindow* window);
    // Starts a move (resize 0) or resize drag following the mouse and answers the mouse position
    // on screen; a resize drag tells the content view that a live resize starts.
    int64_t (*BeginDrag)(NativeSkinWindow* window, int32_t resize, double* x, double* y);
    // Moves or resizes the window after the mouse, from where the drag began.
    int64_t (*ContinueDrag)(NativeSkinWindow* window, int32_t resize);
    int64_t (*EndLiveResize)(NativeSkinWindow* window);
    // The dock tile's progress.
    int64_t (*SetTaskbarProgress)(int32_t value);
    // A user notification; answers whether it was posted.
    int64_t (*Notify)(NativeSkinWindow* window, int32_t type, const char* caption, const char* message);
    // Draws the content view into a picture file encoded after the path's extension.
    int64_t (*SaveImage)(NativeSkinWindow* window, const char* path);
};
// Null uninstalls: the frame changes then do nothing, the queries answer 0.
int64_t SkinWindowControls_SetInterface(const SkinWindowControlsInterface* table);

// The dock tile's progress and a user notification, through the installed controls (0 without).
int64_t NativeTaskbar_SetProgress(int32_t value);
int64_t NativeNotify_Update(NativeSkinWindow* window, int32_t type, const char* caption, const char* message);

// ---- Window operations the page orders -------------------------------------------------------------
// Frame changes: their notifications carry frameNotification false. Restore answers 0 when the
// window is neither minimised nor maximised.
int64_t SkinWindow_Maximize(SkinWindow* window);
int64_t SkinWindow_Minimize(SkinWindow* window);
int64_t SkinWindow_Restore(SkinWindow* window);
int64_t SkinWindow_IsVisible(SkinWindow* window);
int64_t SkinWindow_IsMinimized(SkinWindow* window);
int64_t SkinWindow_IsMaximized(SkinWindow* window);
// Frame names as NativeWindow_TranslateFrameString reads them; read back, a popup is "Borderless".
int64_t SkinWindow_SetWindowFrame(SkinWindow* window, const char* frame);
int64_t SkinWindow_GetWindowFrame(SkinWindow* window, char* buffer, int32_t capacity);
int64_t SkinWindow_GetMinWidth(SkinWindow* window, int32_t* width);
int64_t SkinWindow_GetMinHeight(SkinWindow* window, int32_t* height);
// Negative values become 0; the native window's minimum content size follows.
int64_t SkinWindow_SetMinSize(SkinWindow* window, int32_t width, int32_t height);
// Fires "Message" {message} for the window.
int64_t SkinWindow_SendMessage(SkinWindow* window, const char* message);
int64_t SkinWindow_GetCanHide(SkinWindow* window, uint32_t* value);
int64_t SkinWindow_SetCanHide(SkinWindow* window, uint32_t value);
int64_t SkinWindow_GetCanShow(SkinWindow* window, uint32_t* value);
int64_t SkinWindow_SetCanShow(SkinWindow* window, uint32_t value);
int64_t SkinWindow_GetCanMaximize(SkinWindow* window, uint32_t* value);
int64_t SkinWindow_SetCanMaximize(SkinWindow* window, uint32_t value);
int64_t SkinWindow_GetCanMinimize(SkinWindow* window, uint32_t* value);
int64_t SkinWindow_SetCanMinimize(SkinWindow* window, uint32_t value);
int64_t SkinWindow_GetCanRestore(SkinWindow* window, uint32_t* value);
int64_t SkinWindow_SetCanRestore(SkinWindow* window, uint32_t value);
int64_t SkinWindow_GetUseNotificationArea(SkinWindow* window, uint32_t* value);
int64_t SkinWindow_SetUseNotificationArea(SkinWindow* window, uint32_t value);
int64_t SkinWindow_GetMinimizeToNotificationArea(SkinWindow* window, uint32_t* value);
int64_t SkinWindow_SetMinimizeToNotificationArea(SkinWindow* window, uint32_t value);
int64_t SkinWindow_SetCanActivate(SkinWindow* window, uint32_t value);
// Drags that follow the mouse until the left button is released (SkinWindow_SimulateMouseUp);
// a move fires "BeginMove" {x, y} and at its end "EndMove" {x, y, deltaX, deltaY}.
int64_t SkinWindow_BeginMove(SkinWindow* window);
int64_t SkinWindow_BeginSize(SkinWindow* window);
int64_t SkinWindow_SetTaskbarProgress(SkinWindow* window, int32_t value);
int64_t SkinWindow_Notify(SkinWindow* window, int32_t type, const char* caption, const char* message);
// The window's picture into the file at the (resolved) path.
int64_t SkinWindow_SaveImage(SkinWindow* window, const char* path);
// Input passed to the window's browser unchanged; a mouse move continues a drag.
int64_t SkinWindow_SimulateMouseDown(SkinWindow* window, int32_t x, int32_t y, uint32_t modifiers);
int64_t SkinWindow_SimulateMouseUp(SkinWindow* window, int32_t x, int32_t y, uint32_t modifiers);
int64_t SkinWindow_SimulateMouseMove(SkinWindow* window, int32_t x, int32_t y, uint32_t modifiers, uint32_t leave);
int64_t SkinWindow_SimulateMouseWheel(SkinWindow* window, int32_t x, int32_t y, int32_t delta);
int64_t SkinWindow_SimulateKeyDown(SkinWindow* window, int32_t virtualKey, int32_t character, int32_t extended,
                                   uint32_t modifier);
int64_t SkinWindow_SimulateKeyUp(SkinWindow* window, int32_t virtualKey, int32_t character, int32_t extended,
                                 uint32_t modifier);
int64_t SkinWindow_SimulateCharacter(SkinWindow* window, int32_t virtualKey, int32_t character, int32_t extended,
                                     uint32_t modifier);
int64_t SkinWindow_SimulateUndo(SkinWindow* window);
int64_t SkinWindow_SimulateRedo(SkinWindow* window);
int64_t SkinWindow_SimulateCut(SkinWindow* window);
int64_t SkinWindow_SimulateCopy(SkinWindow* window);
int64_t SkinWindow_SimulatePaste(SkinWindow* window);
int64_t SkinWindow_SimulateDelete(SkinWindow* window);
int64_t SkinWindow_SimulateSelectAll(SkinWindow* window);

// The class's invoke function: the instance is the skin window. 1 when the call was handled;
// 0 for a request without a method, an unknown method, or a missing or mistyped argument (then
// "returnValue" is false).
int64_t SkinWindow_Invoke(void* window, Dictionary* request, Dictionary* result);
