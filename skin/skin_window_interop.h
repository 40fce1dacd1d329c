// "QVR.SkinWindow": the script class through which a page drives its own window, and the native
// window controls it needs beyond the native window table (installed by the platform layer).
#pragma once

#include <cstdint>

struct Dictionary;
struct NativeSkinWindow;

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

// The class's invoke function: the instance is the skin window. 1 when the call was handled;
// 0 for a request without a method, an unknown method, or a missing or mistyped argument (then
// "returnValue" is false).
int64_t SkinWindow_Invoke(void* window, Dictionary* request, Dictionary* result);
