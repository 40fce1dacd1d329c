// A small window with a text and a progress bar that the host shows while it works before any
// skin window exists. Main thread only.
#pragma once

#include <cstdint>

struct ProgressWindow;

// Shows the window centred and has every pass of the main loop dispatch one pending event. The
// bar pulses until the first figure is set.
int64_t ProgressWindow_Create(ProgressWindow** handle, const char* title, const char* text);
// 0.0 to 1.0. Below 1.0 the bar moves at most every 40 ms; 1.0 or more is shown at once.
int64_t ProgressWindow_SetProgress(ProgressWindow* handle, double value);
// Dispatches one pending event, without waiting.
int64_t ProgressWindow_Process();
int64_t ProgressWindow_Delete(ProgressWindow** handle);
// What the bar shows (for the window's users that draw it elsewhere).
double ProgressWindow_GetShownProgress(ProgressWindow* handle);
