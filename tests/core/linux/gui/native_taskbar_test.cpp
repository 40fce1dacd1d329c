// The tile drawn for real: the bar's pixels over a window's bottom edge, the overlay in the
// icon's top-right quarter, and sprite-sheet pictures decoded and cut by GdkPixbuf.
#include "core/linux/gui/native_taskbar.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>

#include "core/linux/gui/native_image.h"
#include "tests/core/linux/gui/desktop_peers.h"

namespace {

DesktopPeers* g_peers = nullptr;

class Taskbar : public ::testing::Test {
  public:
    static void SetUpTestSuite() {
        g_peers = new DesktopPeers;
        g_ready = g_peers->StartDisplay() && gtk_init_check(nullptr, nullptr);
    }
    static void TearDownTestSuite() {
        NativeTaskbar_Remove();
        delete g_peers;
    }
    void SetUp() override { ASSERT_TRUE(g_ready) << "no X display (Xvfb) for GTK"; }
    static inline bool g_ready = false;
};

struct Rgb {
    int r, g, b, a;
};

Rgb Pixel(cairo_surface_t* surface, int x, int y) {
    cairo_surface_flush(surface);
    const uint32_t v = *reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(surface) +
                                                     y * cairo_image_surface_get_stride(surface) + x * 4);
    return {(int)(v >> 16 & 255), (int)(v >> 8 & 255), (int)(v & 255), (int)(v >> 24)};
}

bool Near(Rgb p, int r, int g, int b) {
    return abs(p.r - r) <= 3 && abs(p.g - g) <= 3 && abs(p.b - b) <= 3 && p.a == 255;
}
const int kBar[3] = {30, 104, 208}; // (0.117, 0.406, 0.816)

bool IsBar(Rgb p) { return Near(p, kBar[0], kBar[1], kBar[2]); }

// Draws the bar for the window into a fresh transparent 200 x 60 picture.
cairo_surface_t* Draw(GtkWidget* window, int64_t* drew) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 200, 60);
    cairo_t* cr = cairo_create(surface);
    *drew = NativeTaskbar_DrawProgress(window, cr, 200, 60);
    cairo_destroy(cr);
    return surface;
}

GdkPixbuf* Solid(int w, int h, uint32_t rgba) {
    GdkPixbuf* p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, w, h);
    gdk_pixbuf_fill(p, rgba);
    return p;
}

std::string Encode(GdkPixbuf* pixbuf) {
    gchar* bytes = nullptr;
    gsize length = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &bytes, &length, "png", nullptr, nullptr);
    std::string out(bytes, length);
    g_free(bytes);
    return out;
}

Rgb PixbufPixel(GdkPixbuf* p, int x, int y) {
    const guchar* at = gdk_pixbuf_read_pixels(p) + y * gdk_pixbuf_get_rowstride(p) + x * gdk_pixbuf_get_n_channels(p);
    return {at[0], at[1], at[2], gdk_pixbuf_get_has_alpha(p) ? at[3] : 255};
}

} // namespace

TEST_F(Taskbar, BarAlongTheBottomOfTheWindowThatSetIt) {
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* other = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    int64_t drew = 0;
    ASSERT_EQ(NativeTaskbar_SetProgress(window, 50), 1);
    cairo_surface_t* s = Draw(window, &drew);
    EXPECT_EQ(drew, 1);
    // Inner bar from x 3 to 197, y 47 to 57: half of it filled.
    EXPECT_TRUE(IsBar(Pixel(s, 10, 52)));
    EXPECT_TRUE(IsBar(Pixel(s, 95, 52)));
    EXPECT_TRUE(Near(Pixel(s, 110, 52), 237, 237, 237));
    EXPECT_TRUE(Near(Pixel(s, 1, 45), 255, 255, 255)) << "highlight ring";
    EXPECT_TRUE(Near(Pixel(s, 0, 44), 153, 153, 153)) << "shadow ring";
    EXPECT_EQ(Pixel(s, 100, 43).a, 0) << "the page above stays uncovered";
    cairo_surface_destroy(s);
    cairo_surface_destroy(Draw(other, &drew));
    EXPECT_EQ(drew, 0);
    // Indeterminate: slanted blocks over about half of the inner row.
    EXPECT_EQ(NativeTaskbar_SetProgress(nullptr, -1), 1);
    s = Draw(window, &drew);
    int blocks = 0;
    for (int x = 3; x < 197; x++) blocks += IsBar(Pixel(s, x, 52)) ? 1 : 0;
    EXPECT_NEAR(blocks, 97, 15);
    EXPECT_FALSE(IsBar(Pixel(s, 100, 44)));
    cairo_surface_destroy(s);
    EXPECT_EQ(NativeTaskbar_SetProgress(nullptr, 101), 0);
    EXPECT_EQ(NativeTaskbar_SetProgress(nullptr, -2), 1);
    cairo_surface_destroy(Draw(window, &drew));
    EXPECT_EQ(drew, 0);
    gtk_widget_destroy(other);
    gtk_widget_destroy(window);
}

// The bar's view lies over the page only while a bar is shown: left there empty, it would blank
// the window's bottom rows.
TEST_F(Taskbar, BarViewIsOnScreenOnlyWhileABarIsShown) {
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* overlay = gtk_overlay_new();
    gtk_container_add(GTK_CONTAINER(window), overlay);
    gtk_container_add(GTK_CONTAINER(overlay), gtk_label_new("page"));
    ASSERT_EQ(NativeTaskbar_AttachProgressView(overlay), 1);
    GList* children = gtk_container_get_children(GTK_CONTAINER(overlay));
    GtkWidget* view = nullptr;
    for (GList* at = children; at; at = at->next)
        if (GTK_IS_DRAWING_AREA(at->data)) view = GTK_WIDGET(at->data);
    g_list_free(children);
    ASSERT_NE(view, nullptr);
    gtk_widget_show_all(window);
    EXPECT_FALSE(gtk_widget_get_visible(view)) << "no bar yet";
    // Refreshes come at most every so often: each step is given time to be taken.
    const auto settle = [&](bool visible) {
        return StepUntil([&] { return gtk_widget_get_visible(view) == (gboolean)visible; },
                         [] {
                             g_usleep(10000);
                             NativeTaskbar_Refresh();
                         },
                         20);
    };
    ASSERT_EQ(NativeTaskbar_SetProgress(window, 50), 1);
    EXPECT_TRUE(settle(true)) << "50 %";
    ASSERT_EQ(NativeTaskbar_SetProgress(window, -2), 1);
    EXPECT_TRUE(settle(false)) << "hidden";
    ASSERT_EQ(NativeTaskbar_SetProgress(window, -1), 1);
    EXPECT_TRUE(settle(true)) << "indeterminate";
    ASSERT_EQ(NativeTaskbar_SetProgress(window, -2), 1);
    EXPECT_TRUE(settle(false)) << "hidden again";
    gtk_widget_destroy(window);
}

TEST_F(Taskbar, OverlayInTheIconsTopRightQuarter) {
    NativeTaskbar_SetProgress(nullptr, -2);
    NativeImage* icon = nullptr;
    NativeImage* overlay = nullptr;
    const std::string red = Encode(Solid(64, 64, 0xff0000ff)), blue = Encode(Solid(8, 8, 0x0000ffff));
    ASSERT_EQ(NativeImage_Create(&icon, red.data(), (uint32_t)red.size()), 1);
    ASSERT_EQ(NativeImage_Create(&overlay, blue.data(), (uint32_t)blue.size()), 1);
    NativeWindow_SetBigIcon(nullptr, icon);
    NativeTaskbar_SetOverlayIcon(nullptr, overlay);
    GList* list = gtk_window_get_default_icon_list();
    ASSERT_NE(list, nullptr);
    GdkPixbuf* shown = GDK_PIXBUF(list->data);
    const struct {
        int x, y;
        int r, b;
    } points[] = {{48, 8, 0, 255}, {33, 30, 0, 255}, {31, 8, 255, 0}, {48, 40, 255, 0}, {8, 56, 255, 0}};
    for (const auto& p : points) {
        const Rgb c = PixbufPixel(shown, p.x, p.y);
        EXPECT_EQ(c.r, p.r) << p.x << "," << p.y;
        EXPECT_EQ(c.b, p.b) << p.x << "," << p.y;
    }
    g_list_free(list);
    NativeTaskbar_SetOverlayIcon(nullptr, nullptr);
    list = gtk_window_get_default_icon_list();
    EXPECT_EQ(PixbufPixel(GDK_PIXBUF(list->data), 48, 8).r, 255);
    g_list_free(list);
    NativeWindow_SetBigIcon(nullptr, nullptr);
    EXPECT_EQ(gtk_window_get_default_icon_list(), nullptr);
}

TEST_F(Taskbar, SpriteSheetPictures) {
    // Left half green, right half blue.
    GdkPixbuf* sheet = Solid(32, 16, 0x00ff00ff);
    gdk_pixbuf_fill(gdk_pixbuf_new_subpixbuf(sheet, 16, 0, 16, 16), 0x0000ffff);
    const std::string png = Encode(sheet);
    NativeImage* image = nullptr;
    ASSERT_EQ(NativeImage_Create(&image, png.data(), (uint32_t)png.size()), 1);
    int32_t w = 0, h = 0;
    NativeImage_GetSize(image, &w, &h);
    EXPECT_EQ(w * 1000 + h, 32016);
    NativeImage* cut = nullptr;
    ASSERT_EQ(NativeImage_Crop(image, 16, 4, 16, 8, &cut), 1);
    NativeImage_GetSize(cut, &w, &h);
    EXPECT_EQ(w * 1000 + h, 16008);
    EXPECT_EQ(PixbufPixel(reinterpret_cast<GdkPixbuf*>(cut), 0, 0).b, 255);
    NativeImage_Release(&cut);
    const int32_t outside[][4] = {{17, 0, 16, 16}, {0, 1, 32, 16}, {-1, 0, 4, 4}, {0, 0, 0, 4}};
    for (const auto& r : outside) {
        EXPECT_EQ(NativeImage_Crop(image, r[0], r[1], r[2], r[3], &cut), 0);
        EXPECT_EQ(cut, nullptr);
    }
    NativeImage_Release(&image);
    EXPECT_EQ(image, nullptr);
    // Bytes that are no picture, and a picture claiming to be larger than allowed.
    EXPECT_EQ(NativeImage_Create(&image, "IMG 64 32", 9), 0);
    std::string huge = Encode(Solid(1, 1, 0));
    huge[16] = 0, huge[17] = 1, huge[18] = 0, huge[19] = 0; // width 65536 in the IHDR chunk
    EXPECT_EQ(NativeImage_Create(&image, huge.data(), (uint32_t)huge.size()), 0);
    EXPECT_EQ(image, nullptr);
    g_object_unref(sheet);
}
