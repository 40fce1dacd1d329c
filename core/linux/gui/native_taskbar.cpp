// The application tile drawn with cairo and GTK: the progress bar over the bottom edge of the
// window that set it, and the overlay composed into the application's icon.
#include "core/linux/gui/native_taskbar.h"

#include <gtk/gtk.h>

#include "core/linux/gui/native_image.h"
#include "core/platform/dock_progress.h"
#include "core/runtime/debug.h"
#include "core/runtime/time.h"

namespace {

struct Tile {
    bool Started = false;
    DockProgress Progress;
    GtkWidget* Owner = nullptr; // toplevel the bar is drawn over; weak
    GdkPixbuf* Icon = nullptr;
    GdkPixbuf* Overlay = nullptr;
    GdkPixbuf* Shown = nullptr; // the icon as the windows show it
    GSList* Views = nullptr;    // bar views to redraw; weak
};

Tile& State() {
    static Tile tile;
    if (!tile.Started) {
        DockProgress_Init(&tile.Progress, Time_GetCurrent());
        tile.Started = true;
    }
    return tile;
}

GtkWidget* Toplevel(void* window) {
    return window && GTK_IS_WIDGET(window) ? gtk_widget_get_toplevel(GTK_WIDGET(window)) : nullptr;
}

void OwnerGone(gpointer, GObject* gone) {
    if (State().Owner == (GtkWidget*)gone) State().Owner = nullptr;
}

void SetOwner(GtkWidget* owner) {
    Tile& t = State();
    if (owner == nullptr || owner == t.Owner) return;
    if (t.Owner) g_object_weak_unref(G_OBJECT(t.Owner), OwnerGone, nullptr);
    t.Owner = owner;
    g_object_weak_ref(G_OBJECT(owner), OwnerGone, nullptr);
}

// Control colours of a light theme: shadow, highlight and face.
void Fill(cairo_t* cr, double x, double y, double w, double h, double r, double g, double b) {
    cairo_set_source_rgb(cr, r, g, b);
    cairo_rectangle(cr, x, y, w, h);
    cairo_fill(cr);
}

constexpr double kBar[3] = {0.1171875, 0.40625, 0.81640625};

void DrawBar(cairo_t* cr, double x, double y, double w, double h, const DockProgress& p) {
    cairo_save(cr);
    cairo_rectangle(cr, x, y, w, h);
    cairo_clip(cr);
    Fill(cr, x, y, w, h, 0.6, 0.6, 0.6);
    Fill(cr, x + 1, y + 1, w - 2, h - 2, 1, 1, 1);
    Fill(cr, x + 2, y + 2, w - 4, h - 4, 0.93, 0.93, 0.93);
    cairo_set_source_rgb(cr, kBar[0], kBar[1], kBar[2]);
    if (!p.Indeterminate) {
        cairo_rectangle(cr, x + 3, y + 3, p.Percent / 100.0 * (w - 6), h - 6);
        cairo_fill(cr);
    } else {
        cairo_rectangle(cr, x + 3, y + 3, w - 6, h - 6);
        cairo_clip(cr);
        // Slanted blocks 10 wide every 20, shifted by the animation frame.
        for (double bx = -p.AnimationFrame; bx < w; bx += DOCKPROGRESS_FRAME_PERIOD) {
            cairo_move_to(cr, x + bx + 10, y + 3);
            cairo_line_to(cr, x + bx + 20, y + 3);
            cairo_line_to(cr, x + bx + 10, y + h - 3);
            cairo_line_to(cr, x + bx, y + h - 3);
            cairo_close_path(cr);
            cairo_fill(cr);
        }
    }
    cairo_restore(cr);
}

gboolean DrawView(GtkWidget* view, cairo_t* cr, gpointer) {
    NativeTaskbar_DrawProgress(view, cr, gtk_widget_get_allocated_width(view), gtk_widget_get_allocated_height(view));
    return FALSE;
}

void ViewGone(gpointer, GObject* gone) { State().Views = g_slist_remove(State().Views, gone); }

// The icon with the overlay scaled into its top-right quarter.
GdkPixbuf* Compose(GdkPixbuf* icon, GdkPixbuf* overlay) {
    if (icon == nullptr && overlay == nullptr) return nullptr;
    const int w = icon ? gdk_pixbuf_get_width(icon) : 64, h = icon ? gdk_pixbuf_get_height(icon) : 64;
    GdkPixbuf* out = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, w, h);
    if (out == nullptr) return nullptr;
    gdk_pixbuf_fill(out, 0);
    if (icon) gdk_pixbuf_composite(icon, out, 0, 0, w, h, 0, 0, 1, 1, GDK_INTERP_BILINEAR, 255);
    const int qw = w / 2, qh = h / 2;
    if (overlay && qw > 0 && qh > 0) {
        const double sx = (double)qw / gdk_pixbuf_get_width(overlay), sy = (double)qh / gdk_pixbuf_get_height(overlay);
        gdk_pixbuf_composite(overlay, out, w - qw, 0, qw, qh, w - qw, 0, sx, sy, GDK_INTERP_BILINEAR, 255);
    }
    return out;
}

void ApplyIcon() {
    Tile& t = State();
    if (t.Shown) g_object_unref(t.Shown);
    t.Shown = Compose(t.Icon, t.Overlay);
    GList* list = t.Shown ? g_list_append(nullptr, t.Shown) : nullptr;
    // Windows without an icon of their own follow the default one.
    gtk_window_set_default_icon_list(list);
    g_list_free(list);
    DockProgress_SetDirty(&t.Progress);
}

void Replace(GdkPixbuf** slot, NativeImage* image) {
    if (*slot) g_object_unref(*slot);
    *slot = reinterpret_cast<GdkPixbuf*>(image);
}

NativeImage* NewReference(GdkPixbuf* pixbuf) {
    return pixbuf ? reinterpret_cast<NativeImage*>(g_object_ref(pixbuf)) : nullptr;
}

} // namespace

int64_t NativeTaskbar_SetProgress(void* window, int32_t value) {
    Tile& t = State();
    if (DockProgress_SetProgress(&t.Progress, value) != 1) return 0;
    SetOwner(Toplevel(window));
    return 1;
}

int64_t NativeTaskbar_SetOverlayIcon(void*, NativeImage* image) {
    Replace(&State().Overlay, image);
    ApplyIcon();
    return 1;
}

int64_t NativeTaskbar_Refresh() {
    Tile& t = State();
    if (DockProgress_Refresh(&t.Progress, Time_GetCurrent()) != 1) return 1;
    // A view is on screen only while it has a bar to draw: a view left over the page with nothing
    // drawn would blank the window's bottom rows, which the page below no longer paints.
    for (GSList* at = t.Views; at; at = at->next) {
        GtkWidget* view = GTK_WIDGET(at->data);
        const bool shown = DockProgress_IsShown(&t.Progress) && t.Owner && Toplevel(view) == t.Owner;
        if (gtk_widget_get_visible(view) != (gboolean)shown) gtk_widget_set_visible(view, shown);
        if (shown) gtk_widget_queue_draw(view);
    }
    return 1;
}

int64_t NativeTaskbar_DrawProgress(void* window, cairo_t* context, int32_t width, int32_t height) {
    ASSERT_POINTER(context);
    Tile& t = State();
    if (!DockProgress_IsShown(&t.Progress) || t.Owner == nullptr || Toplevel(window) != t.Owner) return 0;
    if (width < 1 || height < 1) return 0;
    const int32_t bar = height < NATIVETASKBAR_BAR_HEIGHT ? height : NATIVETASKBAR_BAR_HEIGHT;
    DrawBar(context, 0, height - bar, width, bar, t.Progress);
    return 1;
}

int64_t NativeTaskbar_AttachProgressView(void* overlay) {
    ASSERT_POINTER(overlay);
    if (!GTK_IS_OVERLAY(overlay)) return 0;
    GtkWidget* view = gtk_drawing_area_new();
    gtk_widget_set_size_request(view, -1, NATIVETASKBAR_BAR_HEIGHT);
    gtk_widget_set_valign(view, GTK_ALIGN_END);
    gtk_widget_set_halign(view, GTK_ALIGN_FILL);
    g_signal_connect(view, "draw", G_CALLBACK(DrawView), nullptr);
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay), view);
    gtk_overlay_set_overlay_pass_through(GTK_OVERLAY(overlay), view, TRUE);
    // Hidden until a bar is shown (see NativeTaskbar_Refresh).
    gtk_widget_set_no_show_all(view, TRUE);
    State().Views = g_slist_prepend(State().Views, view);
    g_object_weak_ref(G_OBJECT(view), ViewGone, nullptr);
    return 1;
}

int64_t NativeWindow_SetBigIcon(void*, NativeImage* image) {
    Replace(&State().Icon, image);
    ApplyIcon();
    return 1;
}

int64_t NativeWindow_GetBigIcon(void*, NativeImage** image) {
    ASSERT_POINTER(image);
    *image = NewReference(State().Icon);
    return 1;
}

int64_t NativeWindow_GetDefaultIcon(void*, NativeImage** image) {
    ASSERT_POINTER(image);
    *image = NewReference(State().Shown);
    return 1;
}

int64_t NativeTaskbar_Remove() {
    Tile& t = State();
    if (t.Owner) g_object_weak_unref(G_OBJECT(t.Owner), OwnerGone, nullptr);
    for (GSList* at = t.Views; at; at = at->next) g_object_weak_unref(G_OBJECT(at->data), ViewGone, nullptr);
    g_slist_free(t.Views);
    Replace(&t.Icon, nullptr);
    Replace(&t.Overlay, nullptr);
    Replace(&t.Shown, nullptr);
    t = Tile{};
    return 1;
}
