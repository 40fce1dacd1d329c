// User notifications through the desktop's notification server (libnotify): one notification per
// id, shown anew or replaced in place, and withdrawn. Main thread only.
#pragma once

#include <cstdint>

// Title and text are cut to this many bytes after their character references are decoded.
constexpr int32_t NATIVENOTIFY_TEXT_SIZE = 320;

// Connects to the notification server's bus on first need; 1.
int64_t NativeNotify_Init();
// Forgets every notification (the server keeps showing them until they expire); 1.
int64_t NativeNotify_RemoveAll();
// Shows or replaces the notification with that id. Level 1 is a warning, 2 an error (titled
// "Warning" and "Error", with the title above the text), anything else plain. 0 when no server
// took it.
int64_t NativeNotify_Update(void* window, int32_t id, void* unused, int32_t level, const char* title,
                            const char* text);
// 0 when no notification with that id is shown.
int64_t NativeNotify_Remove(void* window, int32_t id);
// Nothing to do here; 1.
int64_t NativeNotify_Add(void* window, int32_t id);
