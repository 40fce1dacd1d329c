// The native window under a skin window: the operations the skin window needs of the platform's
// window, one table that the platform layer installs (a headless stand-in where there is no display).
#pragma once

#include <cstdint>

struct Dictionary;
struct SkinWindow;
// The platform's window and bitmap objects; only the installed table knows their layout.
struct NativeSkinWindow;
struct NativeImage;

// Window frame styles.
enum : int32_t {
    NATIVEWINDOW_FRAME_NORMAL = 0,
    NATIVEWINDOW_FRAME_BORDERLESS = 1,
    NATIVEWINDOW_FRAME_POPUP = 2,
    NATIVEWINDOW_FRAME_RESIZABLE = 3,
};

// Every slot is filled; results are 1 for success and 0 for failure unless said otherwise.
struct NativeSkinWindowInterface {
    // A hidden, borderless window of the given content size bound to its skin window, whose close
    // requests (the user's included) go to SkinWindow_PerformClose.
    int64_t (*Create)(NativeSkinWindow** window, SkinWindow* owner, int32_t width, int32_t height);
    int64_t (*Release)(NativeSkinWindow** window);
    // Lets the platform close the window once the skin window has let go of it: the content view
    // is replaced by an empty one of zero size first.
    int64_t (*Close)(NativeSkinWindow* window);
    int64_t (*SetFrame)(NativeSkinWindow* window, int32_t style);
    int64_t (*SetTitleUtf8)(NativeSkinWindow* window, const char* title);
    int64_t (*GetTitleUtf8)(NativeSkinWindow* window, char* buffer, int32_t capacity);
    int64_t (*SetMinimumSize)(NativeSkinWindow* window, int32_t width, int32_t height);
    // Answers 1 when the window is on screen.
    int64_t (*IsVisible)(NativeSkinWindow* window);
    // Content size, frame origin (y from the top of the screen) and screen size.
    int64_t (*GetWidth)(NativeSkinWindow* window, int32_t* width);
    int64_t (*GetHeight)(NativeSkinWindow* window, int32_t* height);
    int64_t (*GetX)(NativeSkinWindow* window, int32_t* x);
    int64_t (*GetY)(NativeSkinWindow* window, int32_t* y);
    int64_t (*GetScreenWidth)(NativeSkinWindow* window, int32_t* width);
    int64_t (*GetScreenHeight)(NativeSkinWindow* window, int32_t* height);
    int64_t (*GetResizable)(NativeSkinWindow* window);
    int64_t (*Move)(NativeSkinWindow* window, int32_t x, int32_t y);
    int64_t (*Size)(NativeSkinWindow* window, int32_t width, int32_t height);
    int64_t (*Show)(NativeSkinWindow* window);
    int64_t (*Hide)(NativeSkinWindow* window);
    // The modal box over the window; answers the button pressed.
    int64_t (*MessageBox)(NativeSkinWindow* window, const char* text, const char* caption, uint32_t type);
    // Applies a cursor id (the order of the cursor names) to the window.
    int64_t (*SetCursor)(NativeSkinWindow* window, int32_t cursor);
    // The content view a back end embeds its browser view into.
    void* (*GetContentView)(NativeSkinWindow* window);
    // The application icon, and the window's big icon (none when not set).
    NativeImage* (*GetDefaultIcon)(NativeSkinWindow* window);
    NativeImage* (*GetBigIcon)(NativeSkinWindow* window);
    // Makes the application icon the window's miniaturised image.
    int64_t (*SetMiniaturizedAppIcon)(NativeSkinWindow* window);
    // Redraws the taskbar or dock tile of the application.
    int64_t (*RefreshTaskbar)();
    // A bitmap decoded from encoded image bytes (PNG and the like); 0 when they do not decode.
    int64_t (*ImageCreate)(NativeImage** image, const void* bytes, uint32_t length);
    int64_t (*ImageRelease)(NativeImage** image);
    int64_t (*ImageGetSize)(NativeImage* image, int32_t* width, int32_t* height);
    // A new image of the rectangle, which lies inside the source.
    int64_t (*ImageCrop)(NativeImage* source, int32_t x, int32_t y, int32_t width, int32_t height,
                         NativeImage** image);
    // The application's taskbar or dock icon, and the overlay on it; the window takes the image
    // (none clears the picture).
    int64_t (*SetBigIcon)(NativeSkinWindow* window, NativeImage* image);
    int64_t (*SetOverlayIcon)(NativeSkinWindow* window, NativeImage* image);
    // The window's dock menu: items removed, items built from a dictionary (id, text, checked,
    // subMenu; choosing one calls SkinWindow_ContextMenuSelect), an item checked or unchecked.
    int64_t (*ClearDockItems)(NativeSkinWindow* window);
    int64_t (*CreateMenuFromDictionary)(NativeSkinWindow* window, Dictionary* items, void** menu);
    int64_t (*SetMenuSelected)(void* menu, int32_t id, int32_t selected);
};

// Installs the table every skin window uses from then on (null uninstalls); 1.
int64_t NativeSkinWindow_SetInterface(const NativeSkinWindowInterface* table);
// The installed table; using a skin window's native side without one aborts.
const NativeSkinWindowInterface* NativeSkinWindow_GetInterface();

// Sets a window's cursor through the gate: while the gate is on, only changes made while they
// are allowed (the skin window's own) reach the window; the others answer 1 and change nothing.
int64_t NativeWindow_SetCursor(NativeSkinWindow* window, int32_t cursor);
int64_t NativeWindow_SetCursorGate(int32_t on);
int64_t NativeWindow_AllowCursorChange(int32_t allow);

// Cursor names in id order ("auto" is 0); an unknown name is "auto".
int32_t NativeWindow_TranslateCursorString(const char* name);
// "Normal" 0, "Borderless" 1, "Popup" 2, "Resizable" 3, compared without case; others "Normal".
int32_t NativeWindow_TranslateFrameString(const char* name);
