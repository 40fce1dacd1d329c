// Window verbs over GtkWindow.
#include "core/linux/gui/native_window.h"

#include <gtk/gtk.h>

#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/string.h"
#include "core/runtime/unicode.h"

namespace {

constexpr const char* kMinWidth = "qvr-min-width";
constexpr const char* kMinHeight = "qvr-min-height";

GtkWindow* Window(void* handle) {
    ASSERT_POINTER(handle);
    GtkWidget* top = GTK_IS_WIDGET(handle) ? gtk_widget_get_toplevel(GTK_WIDGET(handle)) : nullptr;
    return top && GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr;
}

// Lets a change reach the display server before it is read back.
void Flush() {
    for (int i = 0; i < 100 && gtk_events_pending(); i++) gtk_main_iteration_do(FALSE);
}

GdkRectangle Screen(GtkWindow* window) {
    GdkRectangle area{0, 0, 0, 0};
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
    GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(window));
    GdkMonitor* monitor = display ? (gdk ? gdk_display_get_monitor_at_window(display, gdk)
                                         : gdk_display_get_primary_monitor(display))
                                  : nullptr;
    if (monitor == nullptr && display) monitor = gdk_display_get_monitor(display, 0);
    if (monitor) gdk_monitor_get_geometry(monitor, &area);
    return area;
}

void ApplyMinimum(GtkWindow* window) {
    GdkGeometry hints{};
    hints.min_width = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(window), kMinWidth));
    hints.min_height = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(window), kMinHeight));
    gtk_window_set_geometry_hints(window, nullptr, &hints, GDK_HINT_MIN_SIZE);
}

// CSS cursor names in id order, and the names cursor themes know them by.
constexpr const char* kCursors[][2] = {
    {"auto", "default"},        {"default", "default"},         {"crosshair", "crosshair"},
    {"allscroll", "all-scroll"}, {"help", "help"},               {"move", "move"},
    {"nodrop", "no-drop"},       {"not-allowed", "not-allowed"}, {"pointer", "pointer"},
    {"progress", "progress"},    {"text", "text"},               {"wait", "wait"},
    {"n-resize", "n-resize"},    {"ne-resize", "ne-resize"},     {"nesw-resize", "nesw-resize"},
    {"ns-resize", "ns-resize"},  {"nw-resize", "nw-resize"},     {"nwse-resize", "nwse-resize"},
    {"e-resize", "e-resize"},    {"ew-resize", "ew-resize"},     {"s-resize", "s-resize"},
    {"se-resize", "se-resize"},  {"sw-resize", "sw-resize"},     {"w-resize", "w-resize"},
};

void SetCursorOn(GtkWindow* window, GdkCursor* cursor) {
    if (GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(window))) gdk_window_set_cursor(gdk, cursor);
}

constexpr int32_t kCursorCount = (int32_t)(sizeof kCursors / sizeof kCursors[0]);

} // namespace

const char* NativeWindow_TranslateFrame(int32_t frame) {
    static constexpr const char* kFrames[] = {"Normal", "Borderless", "Popup", "Resizable"};
    return frame >= 0 && frame <= NATIVEWINDOW_STYLE_RESIZABLE ? kFrames[frame] : kFrames[0];
}

const char* NativeWindow_TranslateCursor(int32_t cursor) {
    return kCursors[cursor >= 0 && cursor < kCursorCount ? cursor : 0][0];
}

int64_t NativeWindow_GetTitleUtf8(void* handle, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    GtkWindow* window = Window(handle);
    const char* title = window ? gtk_window_get_title(window) : nullptr;
    if (title && size > 0) String_CopyLength(buffer, title, size);
    return 1;
}

int64_t NativeWindow_SetTitleUtf8(void* handle, const char* title) {
    if (GtkWindow* window = Window(handle)) gtk_window_set_title(window, title ? title : "");
    return 1;
}

int64_t NativeWindow_GetTitle(void* handle, uint16_t* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 1;
    buffer[0] = 0;
    GtkWindow* window = Window(handle);
    const char* title = window ? gtk_window_get_title(window) : nullptr;
    // Filling the whole buffer leaves no terminator: one unit stays for it.
    if (title) buffer[StringUtf8_CopyToUtf16(buffer, title, size - 1)] = 0;
    return 1;
}

int64_t NativeWindow_SetTitle(void* handle, const uint16_t* title) {
    char* text = nullptr;
    if (title && !StringUtf16_CreateUtf8(title, &text)) return 0;
    NativeWindow_SetTitleUtf8(handle, text ? text : "");
    if (text) StringUtf16_DeleteUtf8(&text);
    return 1;
}

int64_t NativeWindow_GetFrame(void* handle, int32_t* frame) {
    ASSERT_POINTER(frame);
    GtkWindow* window = Window(handle);
    *frame = !window                           ? NATIVEWINDOW_STYLE_NORMAL
             : gtk_window_get_resizable(window) ? NATIVEWINDOW_STYLE_RESIZABLE
             : gtk_window_get_decorated(window) ? NATIVEWINDOW_STYLE_NORMAL
                                                : NATIVEWINDOW_STYLE_BORDERLESS;
    return 1;
}

int64_t NativeWindow_SetFrame(void* handle, int32_t frame) {
    GtkWindow* window = Window(handle);
    if (window == nullptr) return 1;
    const bool bare = frame == NATIVEWINDOW_STYLE_BORDERLESS || frame == NATIVEWINDOW_STYLE_POPUP;
    gtk_window_set_decorated(window, bare ? FALSE : TRUE);
    gtk_window_set_resizable(window, frame == NATIVEWINDOW_STYLE_RESIZABLE ? TRUE : FALSE);
    return 1;
}

int64_t NativeWindow_GetResizable(void* handle, uint32_t* resizable) {
    ASSERT_POINTER(resizable);
    GtkWindow* window = Window(handle);
    *resizable = window && gtk_window_get_resizable(window) ? 1 : 0;
    return 1;
}

int64_t NativeWindow_GetX(void* handle, int32_t* x) {
    ASSERT_POINTER(x);
    gint gx = 0, gy = 0;
    if (GtkWindow* window = Window(handle)) gtk_window_get_position(window, &gx, &gy);
    *x = gx;
    return 1;
}

int64_t NativeWindow_GetY(void* handle, int32_t* y) {
    ASSERT_POINTER(y);
    gint gx = 0, gy = 0;
    if (GtkWindow* window = Window(handle)) gtk_window_get_position(window, &gx, &gy);
    *y = gy;
    return 1;
}

int64_t NativeWindow_GetScreenWidth(void* handle, int32_t* width) {
    ASSERT_POINTER(width);
    GtkWindow* window = Window(handle);
    *width = window ? Screen(window).width : 0;
    return 1;
}

int64_t NativeWindow_GetScreenHeight(void* handle, int32_t* height) {
    ASSERT_POINTER(height);
    GtkWindow* window = Window(handle);
    *height = window ? Screen(window).height : 0;
    return 1;
}

int64_t NativeWindow_GetWidth(void* handle, int32_t* width) {
    ASSERT_POINTER(width);
    gint w = 0, h = 0;
    if (GtkWindow* window = Window(handle)) gtk_window_get_size(window, &w, &h);
    *width = w;
    return 1;
}

int64_t NativeWindow_GetHeight(void* handle, int32_t* height) {
    ASSERT_POINTER(height);
    gint w = 0, h = 0;
    if (GtkWindow* window = Window(handle)) gtk_window_get_size(window, &w, &h);
    *height = h;
    return 1;
}

int64_t NativeWindow_Move(void* handle, int32_t x, int32_t y) {
    if (GtkWindow* window = Window(handle)) {
        gtk_window_move(window, x, y);
        Flush();
    }
    return 1;
}

int64_t NativeWindow_Size(void* handle, int32_t width, int32_t height) {
    // GTK keeps the top-left corner where it is, and so the top edge.
    if (GtkWindow* window = Window(handle)) {
        gtk_window_resize(window, width < 1 ? 1 : width, height < 1 ? 1 : height);
        Flush();
    }
    return 1;
}

int64_t NativeWindow_GetFrameOffset(void* handle, int32_t, int32_t, int32_t* extraWidth, int32_t* extraHeight) {
    ASSERT_POINTER(extraWidth);
    ASSERT_POINTER(extraHeight);
    *extraWidth = *extraHeight = 0;
    GtkWindow* window = Window(handle);
    GdkWindow* gdk = window ? gtk_widget_get_window(GTK_WIDGET(window)) : nullptr;
    if (gdk == nullptr || !gtk_window_get_decorated(window)) return 1;
    GdkRectangle frame;
    gdk_window_get_frame_extents(gdk, &frame);
    *extraWidth = frame.width - gdk_window_get_width(gdk);
    *extraHeight = frame.height - gdk_window_get_height(gdk);
    return 1;
}

int64_t NativeWindow_AdjustWindowSize(void* handle, int32_t* x, int32_t* y, int32_t* width, int32_t* height) {
    ASSERT_POINTER(x);
    ASSERT_POINTER(y);
    ASSERT_POINTER(width);
    ASSERT_POINTER(height);
    int32_t extraWidth = 0, extraHeight = 0;
    NativeWindow_GetFrameOffset(handle, *width, *height, &extraWidth, &extraHeight);
    *height += extraHeight;
    return 1;
}

int64_t NativeWindow_Center(void* handle, void* parent) {
    GtkWindow* window = Window(handle);
    if (window == nullptr) return 1;
    if (parent == nullptr || Window(parent) == nullptr) {
        gtk_window_set_position(window, GTK_WIN_POS_CENTER);
        const GdkRectangle area = Screen(window);
        gint w = 0, h = 0;
        gtk_window_get_size(window, &w, &h);
        return NativeWindow_Move(handle, area.x + (area.width - w) / 2, area.y + (area.height - h) / 2);
    }
    int32_t px = 0, py = 0, pw = 0, ph = 0, w = 0, h = 0;
    NativeWindow_GetX(parent, &px);
    NativeWindow_GetY(parent, &py);
    NativeWindow_GetWidth(parent, &pw);
    NativeWindow_GetHeight(parent, &ph);
    NativeWindow_GetWidth(handle, &w);
    NativeWindow_GetHeight(handle, &h);
    return NativeWindow_Move(handle, px + (pw - w) / 2, py + (ph - h) / 2);
}

int64_t NativeWindow_GetMinimumWidth(void* handle, int32_t* width) {
    ASSERT_POINTER(width);
    GtkWindow* window = Window(handle);
    *width = window ? GPOINTER_TO_INT(g_object_get_data(G_OBJECT(window), kMinWidth)) : 0;
    return 1;
}

int64_t NativeWindow_GetMinimumHeight(void* handle, int32_t* height) {
    ASSERT_POINTER(height);
    GtkWindow* window = Window(handle);
    *height = window ? GPOINTER_TO_INT(g_object_get_data(G_OBJECT(window), kMinHeight)) : 0;
    return 1;
}

int64_t NativeWindow_SetMinimumWidth(void* handle, int32_t width) {
    if (GtkWindow* window = Window(handle)) {
        g_object_set_data(G_OBJECT(window), kMinWidth, GINT_TO_POINTER(width < 0 ? 0 : width));
        ApplyMinimum(window);
    }
    return 1;
}

int64_t NativeWindow_SetMinimumHeight(void* handle, int32_t height) {
    if (GtkWindow* window = Window(handle)) {
        g_object_set_data(G_OBJECT(window), kMinHeight, GINT_TO_POINTER(height < 0 ? 0 : height));
        ApplyMinimum(window);
    }
    return 1;
}

int64_t NativeWindow_Show(void* handle) {
    if (GtkWindow* window = Window(handle)) {
        gtk_widget_show(GTK_WIDGET(window));
        gtk_window_present(window);
        Flush();
    }
    return 1;
}

int64_t NativeWindow_Hide(void* handle) {
    if (GtkWindow* window = Window(handle)) {
        gtk_widget_hide(GTK_WIDGET(window));
        Flush();
    }
    return 1;
}

int64_t NativeWindow_Minimize(void* handle) {
    if (GtkWindow* window = Window(handle)) gtk_window_iconify(window);
    return 1;
}

int64_t NativeWindow_Restore(void* handle) {
    if (GtkWindow* window = Window(handle)) {
        gtk_window_deiconify(window);
        gtk_window_unmaximize(window);
    }
    return 1;
}

int64_t NativeWindow_Maximize(void* handle) {
    if (GtkWindow* window = Window(handle)) gtk_window_maximize(window);
    return 1;
}

int64_t NativeWindow_IsMinimized(void* handle) {
    GtkWindow* window = Window(handle);
    GdkWindow* gdk = window ? gtk_widget_get_window(GTK_WIDGET(window)) : nullptr;
    return gdk && (gdk_window_get_state(gdk) & GDK_WINDOW_STATE_ICONIFIED) ? 1 : 0;
}

int64_t NativeWindow_IsMaximized(void* handle) {
    GtkWindow* window = Window(handle);
    return window && gtk_window_is_maximized(window) ? 1 : 0;
}

int64_t NativeWindow_IsVisible(void* handle) {
    GtkWindow* window = Window(handle);
    return window && gtk_widget_get_visible(GTK_WIDGET(window)) ? 1 : 0;
}

int64_t NativeWindow_Close(void* handle) {
    if (GtkWindow* window = Window(handle)) gtk_window_close(window);
    return 1;
}

int64_t NativeWindow_SetCursor(void* handle, int32_t cursor) {
    const char* const* names = kCursors[cursor >= 0 && cursor < kCursorCount ? cursor : 0];
    GdkDisplay* display = gdk_display_get_default();
    if (display == nullptr) return 1;
    GdkCursor* shape = gdk_cursor_new_from_name(display, names[1]);
    if (shape == nullptr) {
        Log_Debug("Unsupported cursor (%s) using default instead. To implement this cursor add %s.png to the "
                  "Resources directory\n",
                  names[0], names[0]);
        shape = gdk_cursor_new_from_name(display, "default");
    }
    GtkWindow* window = handle ? Window(handle) : nullptr;
    if (window) {
        SetCursorOn(window, shape);
    } else {
        GList* windows = gtk_window_list_toplevels();
        for (GList* at = windows; at; at = at->next) SetCursorOn(GTK_WINDOW(at->data), shape);
        g_list_free(windows);
    }
    if (shape) g_object_unref(shape);
    return 1;
}

int64_t NativeWindow_GetTextScaleFactor(void*, double* factor) {
    ASSERT_POINTER(factor);
    *factor = 1.0;
    return 1;
}

int64_t NativeWindow_GetScreenDPI(void*, int32_t*) { return 1; }
int64_t NativeWindow_SetCanActivate(void*, uint32_t) { return 1; }
int64_t NativeWindow_SetSmallIcon(void*, void*) { return 1; }
int64_t NativeWindow_SetProperty(void*, const char*, const char*) { return 1; }
int64_t NativeWindow_GetProperty(void*, const char*, char*, int32_t) { return 1; }
int64_t NativeWindow_BringToForeground(void*) { return 1; }

int64_t NativeWindow_SendData(void*, const char*) {
    Log_Error("NativeWindow_SendDataJSON not supported on macOS");
    return 0;
}

int64_t NativeWindow_GetClientWidth(void*, int32_t*) { Debug_Abort("Not Implemented - %s", "NativeWindow_GetClientWidth"); }

int64_t NativeWindow_GetClientHeight(void*, int32_t*) {
    Debug_Abort("Not Implemented - %s", "NativeWindow_GetClientHeight");
}
