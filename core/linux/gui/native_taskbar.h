// The application tile on a desktop without a dock: its icon with an overlay in the top-right
// quarter becomes the windows' icon, and its progress bar is drawn along the bottom edge of the
// window that set it, over the page. Main thread only.
#pragma once

#include <cstdint>

typedef struct _cairo cairo_t;
struct NativeImage;

// Height of the bar along the window's bottom edge, in pixels.
constexpr int32_t NATIVETASKBAR_BAR_HEIGHT = 16;

// -2 hides the bar, -1 makes it indeterminate, 0..100 is a percentage; other values are refused
// (0). The window (a GtkWindow, or a widget inside one) becomes the one the bar is drawn over;
// null keeps the previous one.
int64_t NativeTaskbar_SetProgress(void* window, int32_t value);
// Takes the caller's reference to the image (null removes the overlay) and sets the icon anew.
int64_t NativeTaskbar_SetOverlayIcon(void* window, NativeImage* image);
// Called often from the main loop: redraws the bar views at most every 0.125 s, when changed.
int64_t NativeTaskbar_Refresh();

// Hooks for the window that shows a page. Draws the bar into the context for a window of the
// given size (along its bottom edge) when that window set the bar and a bar is shown; 1 when
// something was drawn.
int64_t NativeTaskbar_DrawProgress(void* window, cairo_t* context, int32_t width, int32_t height);
// Adds a view to a GtkOverlay that draws the bar over the overlay's main child and lets the
// mouse through; NativeTaskbar_Refresh redraws it.
int64_t NativeTaskbar_AttachProgressView(void* overlay);

// The application's icon (the window's big icon): takes the caller's reference (null clears it).
int64_t NativeWindow_SetBigIcon(void* window, NativeImage* image);
// A new reference to the big icon (null when none), and to the application's icon as the windows
// show it (overlay included).
int64_t NativeWindow_GetBigIcon(void* window, NativeImage** image);
int64_t NativeWindow_GetDefaultIcon(void* window, NativeImage** image);

// Forgets the tile's state and pictures (at the end of the native layer).
int64_t NativeTaskbar_Remove();
