// The content view of a GTK skin window: the browser's widget goes inside it; an off-screen
// browser's frames are drawn by it and the user's input reaches such a browser through it.
#include "skin/linux/gtk/gtk_skin_window_view.h"

#include <cmath>
#include <cstring>

#include "core/runtime/debug.h"
#include "core/runtime/notification_center.h"
#include "skin/skin_window.h"
#include "skin/skin_window_internal.h"
#include "skin/web_browser.h"

namespace {

constexpr const char* kKey = "skin-window-view";

struct ViewRecord {
    SkinWindow* Owner;
    GtkWidget* View;
    cairo_surface_t* Frame; // the last frame, over Pixels
    unsigned char* Pixels;
};

ViewRecord* RecordOf(GtkWidget* view) {
    return static_cast<ViewRecord*>(g_object_get_data(G_OBJECT(view), kKey));
}

void DropFrame(ViewRecord* r) {
    if (r->Frame) cairo_surface_destroy(r->Frame);
    g_free(r->Pixels);
    r->Frame = nullptr;
    r->Pixels = nullptr;
}

void FreeRecord(gpointer data) {
    auto* r = static_cast<ViewRecord*>(data);
    DropFrame(r);
    g_free(r);
}

// A browser with a widget of its own takes the user's input itself.
bool OffScreen(ViewRecord* r) {
    return gtk_bin_get_child(GTK_BIN(r->View)) == nullptr;
}

WebBrowser* Browser(ViewRecord* r) {
    return r->Owner->Browser;
}

void Point(ViewRecord* r, double x, double y, int32_t* outX, int32_t* outY) {
    (void)r;
    *outX = (int32_t)std::trunc(x);
    *outY = (int32_t)std::trunc(y);
}

uint32_t ButtonBit(guint button) {
    switch (button) {
    case 1:
        return WEBBROWSER_MODIFIER_LEFT_BUTTON;
    case 2:
        return WEBBROWSER_MODIFIER_MIDDLE_BUTTON;
    case 3:
        return WEBBROWSER_MODIFIER_RIGHT_BUTTON;
    default:
        return 0;
    }
}

gboolean OnButton(GtkWidget* widget, GdkEventButton* event, gpointer) {
    ViewRecord* r = RecordOf(widget);
    if (!r || !OffScreen(r)) return FALSE;
    const uint32_t bit = ButtonBit(event->button);
    if (bit == 0 || (event->type != GDK_BUTTON_PRESS && event->type != GDK_BUTTON_RELEASE)) return FALSE;
    int32_t x = 0, y = 0;
    Point(r, event->x, event->y, &x, &y);
    const uint32_t modifiers = GtkSkinWindowView_ButtonModifiers(event->state) | bit;
    if (event->type == GDK_BUTTON_PRESS) {
        gtk_widget_grab_focus(widget);
        WebBrowser_SimulateMouseDown(Browser(r), x, y, modifiers);
    } else {
        WebBrowser_SimulateMouseUp(Browser(r), x, y, modifiers);
    }
    return TRUE;
}

// Only a left-button drag carries a button; other drags are plain moves.
gboolean OnMotion(GtkWidget* widget, GdkEventMotion* event, gpointer) {
    ViewRecord* r = RecordOf(widget);
    if (!r || !OffScreen(r)) return FALSE;
    int32_t x = 0, y = 0;
    Point(r, event->x, event->y, &x, &y);
    const uint32_t modifiers =
        (event->state & GDK_BUTTON1_MASK) ? (uint32_t)WEBBROWSER_MODIFIER_LEFT_BUTTON : 0u;
    WebBrowser_SimulateMouseMove(Browser(r), x, y, modifiers, 0);
    return FALSE;
}

gboolean OnEnter(GtkWidget* widget, GdkEventCrossing* event, gpointer) {
    ViewRecord* r = RecordOf(widget);
    if (!r || !OffScreen(r)) return FALSE;
    int32_t x = 0, y = 0;
    Point(r, event->x, event->y, &x, &y);
    WebBrowser_SimulateMouseMove(Browser(r), x, y, 0, 0);
    return FALSE;
}

// The vertical distance, upward positive, one step of a wheel counting as one.
gboolean OnScroll(GtkWidget* widget, GdkEventScroll* event, gpointer) {
    ViewRecord* r = RecordOf(widget);
    if (!r || !OffScreen(r)) return FALSE;
    double delta = 0;
    switch (event->direction) {
    case GDK_SCROLL_UP:
        delta = 1;
        break;
    case GDK_SCROLL_DOWN:
        delta = -1;
        break;
    case GDK_SCROLL_SMOOTH:
        delta = -event->delta_y;
        break;
    default:
        return FALSE;
    }
    int32_t x = 0, y = 0;
    Point(r, event->x, event->y, &x, &y);
    WebBrowser_SimulateMouseWheel(Browser(r), x, y, (int32_t)std::trunc(delta));
    return TRUE;
}

void KeyValues(GdkEventKey* event, int32_t* virtualKey, int32_t* character, int32_t* plain,
               uint32_t* modifiers) {
    *virtualKey = event->hardware_keycode & 0xffff;
    // The first UTF-16 unit of the key's text, with and without its modifiers.
    const gunichar with = gdk_keyval_to_unicode(event->keyval);
    *character = (int32_t)(with > 0xffff ? 0xd800 + ((with - 0x10000) >> 10) : with);
    guint base = 0;
    GdkKeymap* keymap = gdk_keymap_get_for_display(gdk_window_get_display(event->window));
    gdk_keymap_translate_keyboard_state(keymap, event->hardware_keycode, (GdkModifierType)0, event->group,
                                        &base, nullptr, nullptr, nullptr);
    const gunichar without = gdk_keyval_to_unicode(base);
    *plain = (int32_t)(without > 0xffff ? 0xd800 + ((without - 0x10000) >> 10) : without);
    *modifiers = GtkSkinWindowView_KeyModifiers(event->state, event->keyval);
}

gboolean OnKey(GtkWidget* widget, GdkEventKey* event, gpointer) {
    ViewRecord* r = RecordOf(widget);
    if (!r || !OffScreen(r)) return FALSE;
    int32_t key = 0, character = 0, plain = 0;
    uint32_t modifiers = 0;
    KeyValues(event, &key, &character, &plain, &modifiers);
    if (event->type == GDK_KEY_PRESS) {
        WebBrowser_SimulateKeyDown(Browser(r), key, character, plain, modifiers);
        // Keys of the numeric keypad make no character of their own.
        if (!(modifiers & WEBBROWSER_MODIFIER_KEYPAD))
            WebBrowser_SimulateCharacter(Browser(r), key, character, plain, modifiers);
    } else {
        WebBrowser_SimulateKeyUp(Browser(r), key, character, plain, modifiers);
    }
    return TRUE;
}

gboolean OnFocus(GtkWidget* widget, GdkEventFocus* event, gpointer) {
    ViewRecord* r = RecordOf(widget);
    if (!r || !OffScreen(r)) return FALSE;
    WebBrowser_SimulateFocus(Browser(r), event->in ? 1 : 0);
    return FALSE;
}

void OnSize(GtkWidget* widget, GdkRectangle* allocation, gpointer) {
    ViewRecord* r = RecordOf(widget);
    if (r) WebBrowser_SetSize(Browser(r), allocation->width, allocation->height);
}

// The frame unscaled with its top-left corner at the view's: a smaller frame is not stretched.
gboolean OnDraw(GtkWidget* widget, cairo_t* cr, gpointer) {
    ViewRecord* r = RecordOf(widget);
    if (!r || !r->Frame || !OffScreen(r)) return FALSE;
    cairo_save(cr);
    cairo_set_source_surface(cr, r->Frame, 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
    return FALSE;
}

// A frame of 32-bit pixels, blue, green, red and premultiplied alpha in memory: cairo's own
// ARGB32 layout on a little-endian machine. A buffer too small for its size is refused.
int64_t OnViewChange(WebBrowser*, void* user, const void* pixels, int32_t size, int32_t width,
                     int32_t height) {
    auto* view = static_cast<GtkWidget*>(user);
    ViewRecord* r = RecordOf(view);
    if (!r || !pixels || width < 1 || height < 1 || width > 0x4000 || height > 0x4000) return 1;
    const int64_t needed = (int64_t)width * height * 4;
    if (size < needed) return 1;
    DropFrame(r);
    r->Pixels = static_cast<unsigned char*>(g_malloc((gsize)size));
    memcpy(r->Pixels, pixels, (size_t)size);
    r->Frame = cairo_image_surface_create_for_data(r->Pixels, CAIRO_FORMAT_ARGB32, width, height, width * 4);
    gtk_widget_queue_draw(view);
    NotificationCenter_Fire("SkinWindow", "ViewChange", r->Owner->Header.InstanceId, nullptr);
    return 1;
}

} // namespace

GtkWidget* GtkSkinWindowView_Create(SkinWindow* owner) {
    CLASS_CHECK(owner, SKINWINDOW_CLASS_ID);
    GtkWidget* view = gtk_event_box_new();
    auto* r = static_cast<ViewRecord*>(g_malloc0(sizeof(ViewRecord)));
    r->Owner = owner;
    r->View = view;
    g_object_set_data_full(G_OBJECT(view), kKey, r, FreeRecord);
    gtk_widget_set_can_focus(view, TRUE);
    gtk_event_box_set_visible_window(GTK_EVENT_BOX(view), TRUE);
    gtk_widget_add_events(view, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_POINTER_MOTION_MASK |
                                    GDK_ENTER_NOTIFY_MASK | GDK_LEAVE_NOTIFY_MASK | GDK_SCROLL_MASK |
                                    GDK_SMOOTH_SCROLL_MASK | GDK_KEY_PRESS_MASK | GDK_KEY_RELEASE_MASK |
                                    GDK_FOCUS_CHANGE_MASK);
    g_signal_connect(view, "button-press-event", G_CALLBACK(OnButton), nullptr);
    g_signal_connect(view, "button-release-event", G_CALLBACK(OnButton), nullptr);
    g_signal_connect(view, "motion-notify-event", G_CALLBACK(OnMotion), nullptr);
    g_signal_connect(view, "enter-notify-event", G_CALLBACK(OnEnter), nullptr);
    g_signal_connect(view, "scroll-event", G_CALLBACK(OnScroll), nullptr);
    g_signal_connect(view, "key-press-event", G_CALLBACK(OnKey), nullptr);
    g_signal_connect(view, "key-release-event", G_CALLBACK(OnKey), nullptr);
    g_signal_connect(view, "focus-in-event", G_CALLBACK(OnFocus), nullptr);
    g_signal_connect(view, "focus-out-event", G_CALLBACK(OnFocus), nullptr);
    g_signal_connect(view, "size-allocate", G_CALLBACK(OnSize), nullptr);
    g_signal_connect(view, "draw", G_CALLBACK(OnDraw), nullptr);
    WebBrowser_SetViewChangeCallback(owner->Browser, view, OnViewChange);
    return view;
}

void GtkSkinWindowView_Clear(GtkWidget* view) {
    if (GtkWidget* child = gtk_bin_get_child(GTK_BIN(view))) gtk_container_remove(GTK_CONTAINER(view), child);
    if (ViewRecord* r = RecordOf(view)) {
        DropFrame(r);
        WebBrowser_SetViewChangeCallback(r->Owner->Browser, nullptr, nullptr);
    }
    gtk_widget_queue_draw(view);
}

void GtkSkinWindowView_ClickPoint(GtkWidget* view, double rootX, double rootY, int32_t* x, int32_t* y) {
    int ox = 0, oy = 0;
    if (GdkWindow* window = gtk_widget_get_window(view)) gdk_window_get_origin(window, &ox, &oy);
    *x = (int32_t)std::trunc(rootX - ox);
    *y = (int32_t)std::trunc(rootY - oy);
}

uint32_t GtkSkinWindowView_ButtonModifiers(uint32_t state) {
    if (state & GDK_SHIFT_MASK) return WEBBROWSER_MODIFIER_SHIFT;
    if (state & GDK_CONTROL_MASK) return WEBBROWSER_MODIFIER_CONTROL;
    if (state & (GDK_SUPER_MASK | GDK_META_MASK)) return WEBBROWSER_MODIFIER_COMMAND;
    return 0;
}

// Caps lock is not reported.
uint32_t GtkSkinWindowView_KeyModifiers(uint32_t state, uint32_t keyval) {
    uint32_t word = 0;
    if (state & GDK_SHIFT_MASK) word |= WEBBROWSER_MODIFIER_SHIFT;
    if (state & GDK_MOD1_MASK) word |= WEBBROWSER_MODIFIER_ALT;
    if (state & GDK_CONTROL_MASK) word |= WEBBROWSER_MODIFIER_CONTROL;
    if (state & (GDK_SUPER_MASK | GDK_META_MASK)) word |= WEBBROWSER_MODIFIER_COMMAND;
    if (keyval >= GDK_KEY_KP_Space && keyval <= GDK_KEY_KP_Equal) word |= WEBBROWSER_MODIFIER_KEYPAD;
    const bool function = (keyval >= GDK_KEY_F1 && keyval <= GDK_KEY_F35) ||
                          (keyval >= GDK_KEY_Home && keyval <= GDK_KEY_End) || keyval == GDK_KEY_Insert ||
                          keyval == GDK_KEY_Delete || keyval == GDK_KEY_Help;
    if (function) word |= WEBBROWSER_MODIFIER_FUNCTION;
    return word;
}
