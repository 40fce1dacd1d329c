// Window verbs over GTK windows for the portable layers: title, frame style, size and position
// (y measured from the top of the screen, sizes of the content), minimum size, show and hide,
// cursor. A handle is a GtkWindow or any widget inside one. Main thread only.
#pragma once

#include <cstdint>

// Frame styles: "Normal" (title bar, fixed size), "Borderless" and "Popup" (no decoration), and
// "Resizable" (title bar, sizable). A popup reads back as borderless.
enum : int32_t {
    NATIVEWINDOW_STYLE_NORMAL = 0,
    NATIVEWINDOW_STYLE_BORDERLESS = 1,
    NATIVEWINDOW_STYLE_POPUP = 2,
    NATIVEWINDOW_STYLE_RESIZABLE = 3,
};

// Names of a frame style id and of a cursor id; an unknown id is "Normal" or "auto".
const char* NativeWindow_TranslateFrame(int32_t frame);
const char* NativeWindow_TranslateCursor(int32_t cursor);

int64_t NativeWindow_GetTitleUtf8(void* window, char* buffer, int32_t size);
int64_t NativeWindow_SetTitleUtf8(void* window, const char* title);
// The same in UTF-16: the title cut to `size` units, terminated.
int64_t NativeWindow_GetTitle(void* window, uint16_t* buffer, int32_t size);
int64_t NativeWindow_SetTitle(void* window, const uint16_t* title);
int64_t NativeWindow_GetFrame(void* window, int32_t* frame);
// Ids other than 1 to 3 are set like "Normal".
int64_t NativeWindow_SetFrame(void* window, int32_t frame);
int64_t NativeWindow_GetResizable(void* window, uint32_t* resizable);
int64_t NativeWindow_GetX(void* window, int32_t* x);
int64_t NativeWindow_GetY(void* window, int32_t* y);
// The monitor that holds the window (0 when none).
int64_t NativeWindow_GetScreenWidth(void* window, int32_t* width);
int64_t NativeWindow_GetScreenHeight(void* window, int32_t* height);
int64_t NativeWindow_GetWidth(void* window, int32_t* width);
int64_t NativeWindow_GetHeight(void* window, int32_t* height);
int64_t NativeWindow_Move(void* window, int32_t x, int32_t y);
// Keeps the top edge where it is.
int64_t NativeWindow_Size(void* window, int32_t width, int32_t height);
// The decoration around a content rectangle of that size (0 for an undecorated window).
int64_t NativeWindow_GetFrameOffset(void* window, int32_t width, int32_t height, int32_t* extraWidth,
                                    int32_t* extraHeight);
// Adds the title bar's height to height when the window has one.
int64_t NativeWindow_AdjustWindowSize(void* window, int32_t* x, int32_t* y, int32_t* width, int32_t* height);
// Centres the content over the parent's (halves rounded toward zero), or on the screen.
int64_t NativeWindow_Center(void* window, void* parent);
int64_t NativeWindow_GetMinimumWidth(void* window, int32_t* width);
int64_t NativeWindow_GetMinimumHeight(void* window, int32_t* height);
int64_t NativeWindow_SetMinimumWidth(void* window, int32_t width);
int64_t NativeWindow_SetMinimumHeight(void* window, int32_t height);
int64_t NativeWindow_Show(void* window);
int64_t NativeWindow_Hide(void* window);
int64_t NativeWindow_Minimize(void* window);
int64_t NativeWindow_Restore(void* window);
int64_t NativeWindow_Maximize(void* window);
int64_t NativeWindow_IsMinimized(void* window);
int64_t NativeWindow_IsMaximized(void* window);
int64_t NativeWindow_IsVisible(void* window);
int64_t NativeWindow_Close(void* window);
// Cursor ids in the order of the CSS cursor names ("auto" 0 ... "w-resize" 23); an id the
// desktop's cursor theme lacks logs so and shows the arrow. Without a window, every window.
int64_t NativeWindow_SetCursor(void* window, int32_t cursor);
int64_t NativeWindow_GetTextScaleFactor(void* window, double* factor);
// Nothing to do on this desktop; 1.
int64_t NativeWindow_GetScreenDPI(void* window, int32_t* dpi);
int64_t NativeWindow_SetCanActivate(void* window, uint32_t value);
int64_t NativeWindow_SetSmallIcon(void* window, void* image);
int64_t NativeWindow_SetProperty(void* window, const char* name, const char* value);
int64_t NativeWindow_GetProperty(void* window, const char* name, char* value, int32_t size);
int64_t NativeWindow_BringToForeground(void* window);
// Not supported: logs and answers 0.
int64_t NativeWindow_SendData(void* window, const char* data);
// Not provided: calling one stops the process.
int64_t NativeWindow_GetClientWidth(void* window, int32_t* width);
int64_t NativeWindow_GetClientHeight(void* window, int32_t* height);
