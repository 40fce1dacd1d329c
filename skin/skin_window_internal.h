// The skin window record, shared by the window's own files and its tests.
#pragma once

#include <cstdint>

#include "core/runtime/callback.h"
#include "core/runtime/class.h"

struct Dictionary;
struct NativeImage;
struct NativeSkinWindow;
struct SkinWindowDialog;
struct SkinWindowDialogWait;
struct WebBrowser;

struct SkinWindow {
    Class Header;
    Dictionary* Config;
    WebBrowser* Browser;
    NativeSkinWindow* Native;
    NativeImage* SpriteSheet;
    int32_t State;
    double LoadStart;      // monotonic seconds when the configuration was loaded
    double CloseWaitStart; // monotonic seconds a deferred close began waiting, 0 when none
    double RestoreFrame[4];
    int32_t MinWidth;
    int32_t MinHeight;
    uint32_t CanClose;
    uint32_t CanMove;
    uint32_t CanShow;
    uint32_t CanHide;
    uint32_t CanMaximize;
    uint32_t CanMinimize;
    uint32_t CanRestore;
    uint32_t UseNotificationArea;
    uint32_t MinimizeToNotificationArea;
    uint32_t Loaded;
    uint32_t FrameNotification; // 0 while a frame change the page ordered is carried out
    uint32_t NativeClosed;
    uint32_t CloseTimerRunning;
    // The retry timer's events are queued under this field's address, so that stopping the timer
    // leaves the window's other events alone.
    uint32_t CloseTimer;
    void* DockMenu;
    SkinWindowDialog* Dialog;
    SkinWindowDialogWait* DialogWaits; // page callbacks waiting for a dialog's answer
    int32_t Frame;                      // the frame style last applied
    uint32_t Moving;                    // a move drag started by the page runs
    uint32_t Resizing;                  // a resize drag started by the page runs
    double StartX, StartY;              // mouse position on screen when the drag began
    CallbackBase ViewportSizeCallback;
    CallbackBase CursorChangeCallback;
    uint32_t FrameResetDue; // the flag goes back to 1 on the next pass of the notification centre
};

// How long a deferred close waits for the page's script instances, in seconds.
constexpr double SKINWINDOW_CLOSE_WAIT = 30.0;

// A frame change the page orders: its notifications carry frameNotification false until the
// next pass of the main loop.
void SkinWindow_BeginScriptFrameChange(SkinWindow* window);
void SkinWindow_EndScriptFrameChange(SkinWindow* window);
