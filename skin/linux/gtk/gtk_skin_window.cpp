// Skin windows as GTK windows: window and workspace events become "SkinWindow" notifications,
// the close protocol runs on the user's close, and the page's own title bar and grip drive move
// and resize drags (the window has no frame of its own to drag). Main thread only.
#include "skin/linux/gtk/gtk_skin_window.h"

#include <fcntl.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/linux/gui/native_chooser.h"
#include "core/linux/gui/native_image.h"
#include "core/linux/gui/native_menu.h"
#include "core/linux/gui/native_notify.h"
#include "core/linux/gui/native_taskbar.h"
#include "core/linux/gui/native_ui.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "skin/linux/gtk/gtk_skin_window_view.h"
#include "skin/native_skin_window.h"
#include "skin/skin_window.h"
#include "skin/skin_window_dialog.h"
#include "skin/skin_window_interop.h"
#include "skin/skin_window_internal.h"
#include "skin/web_browser.h"

namespace {

constexpr int32_t kTitleSize = 320;

// The record behind a NativeSkinWindow handle.
struct GtkSkinWindow {
    SkinWindow* Owner; // not reference-held: the skin window owns this record
    GtkWidget* Window;
    GtkWidget* Content;
    int32_t X, Y, Width, Height; // the frame last reported by a move or resize
    int32_t StartX, StartY, StartWidth, StartHeight;
    double StartPointX, StartPointY; // the mouse on screen when a drag began
    int32_t MinWidth, MinHeight;
    uint32_t Visible, Maximized, Minimized, Closed;
    guint DragSource; // the timer that follows the mouse while a drag runs
    char Title[kTitleSize];
};

GtkSkinWindow* Rec(NativeSkinWindow* window) {
    ASSERT_POINTER(window);
    return reinterpret_cast<GtkSkinWindow*>(window);
}
NativeImage* Img(GdkPixbuf* pixbuf) {
    return reinterpret_cast<NativeImage*>(pixbuf);
}

const char* Id(GtkSkinWindow* w) {
    return w->Owner->Header.InstanceId;
}
void Fire(GtkSkinWindow* w, const char* name) {
    NotificationCenter_Fire("SkinWindow", name, Id(w), nullptr);
}

bool g_display = false;
// The windows alive, told of the machine's sleep and wake.
std::vector<GtkSkinWindow*> g_windows;
GDBusConnection* g_systemBus = nullptr;

// logind announces a suspend with true before it and false after the wake.
void OnPrepareForSleep(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant* parameters, gpointer) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return;
    gboolean sleeping = FALSE;
    g_variant_get(parameters, "(b)", &sleeping);
    const std::vector<GtkSkinWindow*> windows = g_windows;
    for (GtkSkinWindow* w : windows)
        if (!w->Closed)
            NotificationCenter_Fire("SkinWindow", sleeping ? "Sleep" : "Wake", w->Owner->Header.InstanceId,
                                    nullptr);
}

// Without a system bus (containers, tests) windows simply hear of no sleep.
void WatchSleep() {
    g_systemBus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (!g_systemBus) return;
    g_dbus_connection_signal_subscribe(
        g_systemBus, "org.freedesktop.login1", "org.freedesktop.login1.Manager", "PrepareForSleep",
        "/org/freedesktop/login1", nullptr, G_DBUS_SIGNAL_FLAGS_NONE, OnPrepareForSleep, nullptr, nullptr);
}

// The mouse position on the screen, and the buttons held.
void PointerOnScreen(double* x, double* y, guint* buttons = nullptr) {
    *x = *y = 0;
    if (buttons) *buttons = 0;
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return;
    GdkDevice* pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(display));
    if (!pointer) return;
    GdkModifierType mask = (GdkModifierType)0;
    int px = 0, py = 0;
    gdk_window_get_device_position(gdk_screen_get_root_window(gdk_display_get_default_screen(display)),
                                   pointer, &px, &py, &mask);
    *x = px;
    *y = py;
    if (buttons) *buttons = (guint)mask;
}

void ScreenArea(GtkSkinWindow* w, GdkRectangle* area, bool workArea) {
    GdkDisplay* display = gdk_display_get_default();
    GdkWindow* gdkWindow = gtk_widget_get_window(w->Window);
    GdkMonitor* monitor = gdkWindow ? gdk_display_get_monitor_at_window(display, gdkWindow)
                                    : gdk_display_get_primary_monitor(display);
    if (!monitor) monitor = gdk_display_get_monitor(display, 0);
    *area = {0, 0, 0, 0};
    if (!monitor) return;
    if (workArea)
        gdk_monitor_get_workarea(monitor, area);
    else
        gdk_monitor_get_geometry(monitor, area);
}

// ---- Geometry with its notifications -------------------------------------------------------------

// A move to the origin, unless moving is forbidden or the window is there already; the page
// hears of it at once, so the platform's later report of the same origin adds nothing.
void SetFrameOrigin(GtkSkinWindow* w, int32_t x, int32_t y) {
    if (w->Owner->CanMove == 0) return;
    if (x == w->X && y == w->Y) return;
    w->X = x;
    w->Y = y;
    SkinWindow_NotifyMove(w->Owner, x, y);
    gtk_window_move(GTK_WINDOW(w->Window), x, y);
}

// A content size raised to the minimum; "Size" when it differs from the last one reported.
void SetContentSize(GtkSkinWindow* w, int32_t width, int32_t height) {
    if (width < w->MinWidth) width = w->MinWidth;
    if (height < w->MinHeight) height = w->MinHeight;
    if (width < 1) width = 1;
    if (height < 1) height = 1;
    if (width == w->Width && height == w->Height) return;
    w->Width = width;
    w->Height = height;
    SkinWindow_NotifySize(w->Owner, width, height);
    gtk_window_resize(GTK_WINDOW(w->Window), width, height);
}

gboolean OnConfigure(GtkWidget*, GdkEventConfigure*, gpointer user) {
    auto* w = static_cast<GtkSkinWindow*>(user);
    if (w->Closed) return FALSE;
    int x = 0, y = 0, width = 0, height = 0;
    gtk_window_get_position(GTK_WINDOW(w->Window), &x, &y);
    gtk_window_get_size(GTK_WINDOW(w->Window), &width, &height);
    if (x != w->X || y != w->Y) {
        if (!w->Owner->Moving && w->Owner->CanMove != 1)
            Log_Debug("%s unsupported on when issued for OS X window frame\n", "SkinWindow.CanMove");
        w->X = x;
        w->Y = y;
        SkinWindow_NotifyMove(w->Owner, x, y);
    }
    if (width != w->Width || height != w->Height) {
        w->Width = width;
        w->Height = height;
        SkinWindow_NotifySize(w->Owner, width, height);
    }
    return FALSE;
}

// ---- Window events ---------------------------------------------------------------------------------

gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer user) {
    auto* w = static_cast<GtkSkinWindow*>(user);
    // The user's close runs the close protocol; the window itself goes with its skin window.
    if (!w->Closed) SkinWindow_PerformClose(w->Owner);
    return TRUE;
}

void OnActive(GObject*, GParamSpec*, gpointer user) {
    auto* w = static_cast<GtkSkinWindow*>(user);
    if (w->Closed) return;
    if (gtk_window_is_active(GTK_WINDOW(w->Window))) {
        Fire(w, "Activate");
    } else {
        WebBrowser_SimulateCaptureLost(w->Owner->Browser);
        Fire(w, "Deactivate");
    }
}

gboolean OnState(GtkWidget*, GdkEventWindowState* event, gpointer user) {
    auto* w = static_cast<GtkSkinWindow*>(user);
    if (w->Closed || !(event->changed_mask & GDK_WINDOW_STATE_ICONIFIED)) return FALSE;
    const uint32_t iconified = (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) ? 1 : 0;
    if (iconified == w->Minimized) return FALSE; // ordered by us and reported already
    w->Minimized = iconified;
    SkinWindow_NotifyFrame(w->Owner, iconified ? "Minimize" : "Restore");
    return FALSE;
}

gboolean OnLeave(GtkWidget*, GdkEventCrossing* event, gpointer user) {
    auto* w = static_cast<GtkSkinWindow*>(user);
    if (event->detail == GDK_NOTIFY_INFERIOR) return FALSE;
    if (w->Owner->Moving || w->Owner->Resizing || w->Closed) return FALSE;
    WebBrowser_SimulateMouseMove(w->Owner->Browser, -1, -1, 0, 1);
    WebBrowser_SimulateCaptureLost(w->Owner->Browser);
    Fire(w, "MouseLeave");
    return FALSE;
}

// ---- The native window table -----------------------------------------------------------------------

int64_t Create(NativeSkinWindow** handle, SkinWindow* owner, int32_t width, int32_t height) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    if (GtkSkinWindow_Init() != 1) return 0;
    auto* w = static_cast<GtkSkinWindow*>(g_malloc0(sizeof(GtkSkinWindow)));
    w->Owner = owner;
    w->Window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(w->Window);
    gtk_window_set_decorated(GTK_WINDOW(w->Window), FALSE);
    gtk_widget_set_app_paintable(w->Window, TRUE);
    GdkScreen* screen = gtk_widget_get_screen(w->Window);
    if (GdkVisual* rgba = gdk_screen_get_rgba_visual(screen)) gtk_widget_set_visual(w->Window, rgba);
    w->Content = GtkSkinWindowView_Create(owner);
    // The application's progress bar is drawn over the page, along the window's bottom edge.
    GtkWidget* overlay = gtk_overlay_new();
    gtk_container_add(GTK_CONTAINER(w->Window), overlay);
    gtk_container_add(GTK_CONTAINER(overlay), w->Content);
    NativeTaskbar_AttachProgressView(overlay);
    gtk_widget_show(overlay);
    gtk_widget_show(w->Content);
    w->MinWidth = width;
    w->MinHeight = height;
    w->Width = width;
    w->Height = height;
    gtk_widget_set_size_request(w->Content, width, height);
    gtk_window_set_default_size(GTK_WINDOW(w->Window), width, height);
    gtk_widget_add_events(w->Window, GDK_STRUCTURE_MASK | GDK_LEAVE_NOTIFY_MASK);
    g_signal_connect(w->Window, "configure-event", G_CALLBACK(OnConfigure), w);
    g_signal_connect(w->Window, "delete-event", G_CALLBACK(OnDelete), w);
    g_signal_connect(w->Window, "notify::is-active", G_CALLBACK(OnActive), w);
    g_signal_connect(w->Window, "window-state-event", G_CALLBACK(OnState), w);
    g_signal_connect(w->Window, "leave-notify-event", G_CALLBACK(OnLeave), w);
    gtk_widget_realize(w->Window);
    g_windows.push_back(w);
    *handle = reinterpret_cast<NativeSkinWindow*>(w);
    return 1;
}

int64_t Release(NativeSkinWindow** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 1;
    GtkSkinWindow* w = Rec(*handle);
    w->Closed = 1;
    for (auto it = g_windows.begin(); it != g_windows.end(); ++it)
        if (*it == w) {
            g_windows.erase(it);
            break;
        }
    if (w->DragSource) g_source_remove(w->DragSource);
    g_signal_handlers_disconnect_by_data(w->Window, w);
    GtkSkinWindowView_Clear(w->Content);
    gtk_widget_destroy(w->Window);
    g_object_unref(w->Window);
    g_free(w);
    *handle = nullptr;
    return 1;
}

int64_t Close(NativeSkinWindow* handle) {
    GtkSkinWindow* w = Rec(handle);
    // The browser's widget is gone by now; what is left of the content is emptied before the
    // window leaves the screen.
    GtkSkinWindowView_Clear(w->Content);
    w->Closed = 1;
    w->Visible = 0;
    gtk_widget_hide(w->Window);
    return 1;
}

int64_t SetFrame(NativeSkinWindow* handle, int32_t style) {
    GtkSkinWindow* w = Rec(handle);
    const bool titled = style != NATIVEWINDOW_FRAME_BORDERLESS && style != NATIVEWINDOW_FRAME_POPUP;
    gtk_window_set_decorated(GTK_WINDOW(w->Window), titled);
    return 1;
}

int64_t SetTitleUtf8(NativeSkinWindow* handle, const char* title) {
    GtkSkinWindow* w = Rec(handle);
    ASSERT_POINTER(title);
    String_CopyLength(w->Title, title, kTitleSize);
    // GTK takes only valid UTF-8.
    gchar* valid = g_utf8_make_valid(w->Title, -1);
    gtk_window_set_title(GTK_WINDOW(w->Window), valid);
    g_free(valid);
    return 1;
}

int64_t GetTitleUtf8(NativeSkinWindow* handle, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, Rec(handle)->Title, capacity);
    return 1;
}

int64_t SetMinimumSize(NativeSkinWindow* handle, int32_t width, int32_t height) {
    GtkSkinWindow* w = Rec(handle);
    w->MinWidth = width < 1 ? 1 : width;
    w->MinHeight = height < 1 ? 1 : height;
    gtk_widget_set_size_request(w->Content, w->MinWidth, w->MinHeight);
    if (w->Width < w->MinWidth || w->Height < w->MinHeight) SetContentSize(w, w->Width, w->Height);
    return 1;
}

int64_t IsVisible(NativeSkinWindow* handle) {
    return gtk_widget_get_visible(Rec(handle)->Window) ? 1 : 0;
}

int64_t GetWidth(NativeSkinWindow* handle, int32_t* width) {
    ASSERT_POINTER(width);
    *width = Rec(handle)->Width;
    return 1;
}
int64_t GetHeight(NativeSkinWindow* handle, int32_t* height) {
    ASSERT_POINTER(height);
    *height = Rec(handle)->Height;
    return 1;
}
int64_t GetX(NativeSkinWindow* handle, int32_t* x) {
    ASSERT_POINTER(x);
    *x = Rec(handle)->X;
    return 1;
}
int64_t GetY(NativeSkinWindow* handle, int32_t* y) {
    ASSERT_POINTER(y);
    *y = Rec(handle)->Y;
    return 1;
}
int64_t GetScreenWidth(NativeSkinWindow* handle, int32_t* width) {
    ASSERT_POINTER(width);
    GdkRectangle area;
    ScreenArea(Rec(handle), &area, false);
    *width = area.width;
    return area.width > 0 ? 1 : 0;
}
int64_t GetScreenHeight(NativeSkinWindow* handle, int32_t* height) {
    ASSERT_POINTER(height);
    GdkRectangle area;
    ScreenArea(Rec(handle), &area, false);
    *height = area.height;
    return area.height > 0 ? 1 : 0;
}
int64_t GetResizable(NativeSkinWindow* handle) {
    return Rec(handle)->Owner->Frame == NATIVEWINDOW_FRAME_RESIZABLE ? 1 : 0;
}

int64_t Move(NativeSkinWindow* handle, int32_t x, int32_t y) {
    SetFrameOrigin(Rec(handle), x, y);
    return 1;
}

int64_t Size(NativeSkinWindow* handle, int32_t width, int32_t height) {
    SetContentSize(Rec(handle), width, height);
    return 1;
}

// Showing a window the page may not show hides it instead, whatever was asked.
int64_t Hide(NativeSkinWindow* handle);
int64_t Show(NativeSkinWindow* handle) {
    GtkSkinWindow* w = Rec(handle);
    if (w->Owner->CanShow != 1) return Hide(handle);
    const bool was = w->Visible != 0;
    w->Visible = 1;
    gtk_window_move(GTK_WINDOW(w->Window), w->X, w->Y);
    gtk_widget_show(w->Window);
    gtk_window_present(GTK_WINDOW(w->Window));
    if (!was) SkinWindow_NotifyFrame(w->Owner, "Show");
    return 1;
}

int64_t Hide(NativeSkinWindow* handle) {
    GtkSkinWindow* w = Rec(handle);
    const bool was = w->Visible != 0;
    w->Visible = 0;
    gtk_widget_hide(w->Window);
    if (was) SkinWindow_NotifyFrame(w->Owner, "Hide");
    return 1;
}

// The low four bits choose the buttons, the next four the icon; the answer is the id of the
// button pressed (1 OK, 2 Cancel, 3 Abort, 4 Retry, 5 Ignore, 6 Yes, 7 No).
int64_t MessageBox(NativeSkinWindow* handle, const char* text, const char* caption, uint32_t type) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(caption);
    static const struct {
        const char* Labels[3];
        int32_t Ids[3];
    } kButtons[] = {
        {{"_OK"}, {1}},
        {{"_OK", "_Cancel"}, {1, 2}},
        {{"_Abort", "_Retry", "_Ignore"}, {3, 4, 5}},
        {{"_Yes", "_No", "_Cancel"}, {6, 7, 2}},
        {{"_Yes", "_No"}, {6, 7}},
        {{"_Retry", "_Cancel"}, {4, 2}},
    };
    const uint32_t set = (type & 0xf) < 6 ? (type & 0xf) : 0;
    GtkMessageType kind = GTK_MESSAGE_OTHER;
    switch (type & 0xf0) {
    case 0x10:
        kind = GTK_MESSAGE_ERROR;
        break;
    case 0x20:
        kind = GTK_MESSAGE_QUESTION;
        break;
    case 0x30:
        kind = GTK_MESSAGE_WARNING;
        break;
    case 0x40:
        kind = GTK_MESSAGE_INFO;
        break;
    default:
        break;
    }
    GtkWindow* parent = handle ? GTK_WINDOW(Rec(handle)->Window) : nullptr;
    gchar* primary = g_utf8_make_valid(caption, -1);
    gchar* secondary = g_utf8_make_valid(text, -1);
    GtkWidget* dialog =
        gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, kind, GTK_BUTTONS_NONE, "%s", primary);
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", secondary);
    gtk_window_set_title(GTK_WINDOW(dialog), primary);
    g_free(primary);
    g_free(secondary);
    int32_t cancel = 0;
    for (int i = 0; i < 3 && kButtons[set].Labels[i]; i++) {
        gtk_dialog_add_button(GTK_DIALOG(dialog), kButtons[set].Labels[i], kButtons[set].Ids[i]);
        if (kButtons[set].Ids[i] == 2) cancel = 2;
    }
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), kButtons[set].Ids[0]);
    const gint response = NativeUI_RunDialog(dialog);
    gtk_widget_destroy(dialog);
    // Closing the box without a button is its cancel button, or the only button there is.
    if (response > 0) return response;
    return cancel ? cancel : kButtons[set].Ids[0];
}

// Cursor ids in the order of their names; GDK knows the CSS names.
int64_t SetCursor(NativeSkinWindow* handle, int32_t cursor) {
    static const char* const kNames[] = {
        "default",  "default",     "crosshair",   "all-scroll", "help",      "move",
        "no-drop",  "not-allowed", "pointer",     "progress",   "text",      "wait",
        "n-resize", "ne-resize",   "nesw-resize", "ns-resize",  "nw-resize", "nwse-resize",
        "e-resize", "ew-resize",   "s-resize",    "se-resize",  "sw-resize", "w-resize",
    };
    GtkSkinWindow* w = Rec(handle);
    GdkWindow* gdkWindow = gtk_widget_get_window(w->Window);
    if (!gdkWindow) return 0;
    const char* name = cursor >= 0 && cursor < (int32_t)G_N_ELEMENTS(kNames) ? kNames[cursor] : "default";
    GdkCursor* made = gdk_cursor_new_from_name(gdk_window_get_display(gdkWindow), name);
    gdk_window_set_cursor(gdkWindow, made);
    if (made) g_object_unref(made);
    return made ? 1 : 0;
}

void* GetContentView(NativeSkinWindow* handle) {
    return Rec(handle)->Content;
}

NativeImage* GetDefaultIcon(NativeSkinWindow*) {
    GList* icons = gtk_window_get_default_icon_list();
    NativeImage* first = icons ? Img(GDK_PIXBUF(icons->data)) : nullptr;
    g_list_free(icons);
    return first;
}

// The application's icon, held by the platform layer (which keeps its own reference).
NativeImage* GetBigIcon(NativeSkinWindow* handle) {
    NativeImage* icon = nullptr;
    NativeWindow_GetBigIcon(Rec(handle)->Window, &icon);
    NativeImage* held = icon;
    if (icon) NativeImage_Release(&icon);
    return held;
}

// There is no application icon of a miniaturised window on this platform.
int64_t SetMiniaturizedAppIcon(NativeSkinWindow*) {
    return 1;
}
int64_t SetBigIcon(NativeSkinWindow* handle, NativeImage* image) {
    return NativeWindow_SetBigIcon(Rec(handle)->Window, image);
}

int64_t SetOverlayIcon(NativeSkinWindow* handle, NativeImage* image) {
    return NativeTaskbar_SetOverlayIcon(Rec(handle)->Window, image);
}

// The page's dock items go to the application menu of the platform layer.
int64_t ClearDockItems(NativeSkinWindow* handle) {
    return NativeWindow_ClearDockItems(Rec(handle)->Window);
}
int64_t CreateMenuFromDictionary(NativeSkinWindow* handle, Dictionary* items, void** menu) {
    return NativeWindow_CreateMenuFromDictionary(Rec(handle)->Window, items, nullptr, nullptr, menu);
}

const NativeSkinWindowInterface kTable = {
    Create,
    Release,
    Close,
    SetFrame,
    SetTitleUtf8,
    GetTitleUtf8,
    SetMinimumSize,
    IsVisible,
    GetWidth,
    GetHeight,
    GetX,
    GetY,
    GetScreenWidth,
    GetScreenHeight,
    GetResizable,
    Move,
    Size,
    Show,
    Hide,
    MessageBox,
    SetCursor,
    GetContentView,
    GetDefaultIcon,
    GetBigIcon,
    SetMiniaturizedAppIcon,
    NativeTaskbar_Refresh,
    NativeImage_Create,
    NativeImage_Release,
    NativeImage_GetSize,
    NativeImage_Crop,
    SetBigIcon,
    SetOverlayIcon,
    ClearDockItems,
    CreateMenuFromDictionary,
    NativeWindow_SetMenuSelected,
};

// ---- Window controls ---------------------------------------------------------------------------------

// The platform's own zoom never runs: the window takes the work area of its screen itself.
int64_t Maximize(NativeSkinWindow* handle) {
    GtkSkinWindow* w = Rec(handle);
    SkinWindow* owner = w->Owner;
    if (owner->CanMaximize == 0 || w->Maximized) return 1;
    owner->RestoreFrame[0] = w->X;
    owner->RestoreFrame[1] = w->Y;
    owner->RestoreFrame[2] = w->Width;
    owner->RestoreFrame[3] = w->Height;
    GdkRectangle area;
    ScreenArea(w, &area, true);
    w->Maximized = 1;
    if (w->Minimized) {
        w->Minimized = 0;
        gtk_window_deiconify(GTK_WINDOW(w->Window));
    }
    if (area.width > 0 && area.height > 0) {
        SetFrameOrigin(w, area.x, area.y);
        SetContentSize(w, area.width, area.height);
    }
    SkinWindow_NotifyFrame(owner, "Maximize");
    return 1;
}

int64_t Minimize(NativeSkinWindow* handle) {
    GtkSkinWindow* w = Rec(handle);
    if (w->Owner->CanMinimize == 0 || w->Minimized) return 1;
    w->Minimized = 1;
    gtk_window_iconify(GTK_WINDOW(w->Window));
    SkinWindow_NotifyFrame(w->Owner, "Minimize");
    return 1;
}

int64_t Restore(NativeSkinWindow* handle) {
    GtkSkinWindow* w = Rec(handle);
    SkinWindow* owner = w->Owner;
    if (owner->CanRestore != 1) Log_Debug("%s output not supported\n", "GtkSkinWindow_Restore");
    if (w->Minimized) {
        w->Minimized = 0;
        gtk_window_deiconify(GTK_WINDOW(w->Window));
    }
    if (w->Maximized) {
        w->Maximized = 0;
        SetFrameOrigin(w, (int32_t)owner->RestoreFrame[0], (int32_t)owner->RestoreFrame[1]);
        SetContentSize(w, (int32_t)owner->RestoreFrame[2], (int32_t)owner->RestoreFrame[3]);
    }
    SkinWindow_NotifyFrame(owner, "Restore");
    return 1;
}

int64_t IsMinimized(NativeSkinWindow* handle) {
    return Rec(handle)->Minimized;
}
int64_t IsMaximized(NativeSkinWindow* handle) {
    return Rec(handle)->Maximized;
}

void FollowTo(GtkSkinWindow* w, bool resize, double mx, double my) {
    const int32_t dx = (int32_t)std::trunc(mx - w->StartPointX),
                  dy = (int32_t)std::trunc(my - w->StartPointY);
    if (resize)
        SetContentSize(w, w->StartWidth + dx, w->StartHeight + dy);
    else
        SetFrameOrigin(w, w->StartX + dx, w->StartY + dy);
}

// The browser's widget takes the mouse's own events, so a drag follows the mouse by looking at it
// until the left button is up; then a move reports where it began and how far it went.
gboolean FollowDrag(gpointer user) {
    auto* w = static_cast<GtkSkinWindow*>(user);
    SkinWindow* owner = w->Owner;
    if (w->Closed || !(owner->Moving || owner->Resizing)) {
        w->DragSource = 0;
        return G_SOURCE_REMOVE;
    }
    double mx = 0, my = 0;
    guint buttons = 0;
    PointerOnScreen(&mx, &my, &buttons);
    FollowTo(w, owner->Resizing != 0, mx, my);
    if (buttons & GDK_BUTTON1_MASK) return G_SOURCE_CONTINUE;
    if (owner->Moving)
        NotificationCenter_FireWithJSON(
            "SkinWindow", "EndMove", Id(w), "{\"x\": %d, \"y\": %d, \"deltaX\": %d, \"deltaY\": %d}",
            (int32_t)std::trunc(w->StartPointX), (int32_t)std::trunc(w->StartPointY),
            (int32_t)std::trunc(mx - w->StartPointX), (int32_t)std::trunc(my - w->StartPointY));
    owner->Moving = owner->Resizing = 0;
    w->DragSource = 0;
    return G_SOURCE_REMOVE;
}

int64_t BeginDrag(NativeSkinWindow* handle, int32_t resize, double* x, double* y) {
    ASSERT_POINTER(x);
    ASSERT_POINTER(y);
    GtkSkinWindow* w = Rec(handle);
    PointerOnScreen(&w->StartPointX, &w->StartPointY);
    w->StartX = w->X;
    w->StartY = w->Y;
    w->StartWidth = w->Width;
    w->StartHeight = w->Height;
    *x = w->StartPointX;
    *y = w->StartPointY;
    (void)resize;
    if (!w->DragSource) w->DragSource = g_timeout_add(10, FollowDrag, w);
    return 1;
}

// Screen y grows downward here, so dragging the grip down makes the window taller.
int64_t ContinueDrag(NativeSkinWindow* handle, int32_t resize) {
    GtkSkinWindow* w = Rec(handle);
    double mx = 0, my = 0;
    PointerOnScreen(&mx, &my);
    FollowTo(w, resize != 0, mx, my);
    return 1;
}

int64_t EndLiveResize(NativeSkinWindow*) {
    return 1;
}

// The application's bar, drawn by the platform layer along the bottom of the window that set it:
// the active skin window, else the newest.
int64_t SetTaskbarProgress(int32_t value) {
    GtkSkinWindow* owner = g_windows.empty() ? nullptr : g_windows.back();
    for (GtkSkinWindow* w : g_windows)
        if (gtk_window_is_active(GTK_WINDOW(w->Window))) owner = w;
    return NativeTaskbar_SetProgress(owner ? owner->Window : nullptr, value);
}

// One desktop notification per window: a new one replaces the last.
int64_t Notify(NativeSkinWindow* handle, int32_t type, const char* caption, const char* message) {
    return NativeNotify_Update(Rec(handle)->Window, 0, nullptr, type, caption, message);
}

// A chosen item of the application menu goes to the skin window that added it.
void OnMenuAction(void* window, int32_t id) {
    for (GtkSkinWindow* w : g_windows)
        if (w->Window == window) SkinWindow_ContextMenuSelect(w->Owner, id);
}

// Written through a descriptor that follows no link, readable by the user alone.
int64_t SaveImage(NativeSkinWindow* handle, const char* path) {
    ASSERT_POINTER(path);
    GtkSkinWindow* w = Rec(handle);
    GdkWindow* gdkWindow = gtk_widget_get_window(w->Content);
    if (!gdkWindow || w->Width < 1 || w->Height < 1) return 0;
    GdkPixbuf* picture = gdk_pixbuf_get_from_window(gdkWindow, 0, 0, w->Width, w->Height);
    if (!picture) return 0;
    const char* dot = strrchr(path, '.');
    const char* slash = strrchr(path, '/');
    const char* extension = dot && (!slash || dot > slash) ? dot + 1 : "";
    const char* type = "png";
    if (String_CompareWithoutCase(extension, "bmp") == 1)
        type = "bmp";
    else if (String_CompareWithoutCase(extension, "jpg") == 1)
        type = "jpeg";
    else if (String_CompareWithoutCase(extension, "tiff") == 1)
        type = "tiff";
    gchar* data = nullptr;
    gsize length = 0;
    const bool encoded = gdk_pixbuf_save_to_buffer(picture, &data, &length, type, nullptr, nullptr);
    g_object_unref(picture);
    if (!encoded) return 0;
    bool written = false;
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        gsize done = 0;
        while (done < length) {
            const ssize_t n = write(fd, data + done, length - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += (gsize)n;
        }
        written = done == length && close(fd) == 0;
        if (!written && done != length) close(fd);
    }
    g_free(data);
    return written ? 1 : 0;
}

const SkinWindowControlsInterface kControls = {
    Maximize,      Minimize,           Restore, IsMinimized, IsMaximized, BeginDrag, ContinueDrag,
    EndLiveResize, SetTaskbarProgress, Notify,  SaveImage,
};

// The page's boxes and choosers are the platform layer's own (the box through its override, so
// that a page may pass localisation keys as the host does).
const SkinWindowDialogNativeInterface kDialogs = {
    NativeWindow_MessageBox,
    NativeChooser_GetNewDirectory,
    NativeChooser_GetLoadFilename,
};

gboolean PumpDone(gpointer flag) {
    *static_cast<bool*>(flag) = true;
    return G_SOURCE_REMOVE;
}

} // namespace

int64_t GtkSkinWindow_Init() {
    if (g_display) return 1;
    g_display = gtk_init_check(nullptr, nullptr) == TRUE;
    if (g_display) WatchSleep();
    if (g_display) NativeWindow_SetMenuActionHandler(OnMenuAction);
    return g_display ? 1 : 0;
}

const NativeSkinWindowInterface* GtkSkinWindow_GetInterface() {
    return &kTable;
}
const SkinWindowControlsInterface* GtkSkinWindow_GetControlsInterface() {
    return &kControls;
}
const SkinWindowDialogNativeInterface* GtkSkinWindow_GetDialogInterface() {
    return &kDialogs;
}

int64_t GtkSkinWindow_Pump(int32_t milliseconds) {
    if (!g_display) return 0;
    bool done = false;
    const guint source = g_timeout_add(milliseconds > 0 ? (guint)milliseconds : 0, PumpDone, &done);
    while (!done) g_main_context_iteration(nullptr, TRUE);
    (void)source;
    return 1;
}
