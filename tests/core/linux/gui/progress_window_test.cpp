// The host's progress window on a real X display (Xvfb): read back from the window's pixels, the
// bar moves while no figure has come, and stands at the figure once one has.
#include "core/linux/gui/progress_window.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <thread>
#include <vector>

#include "core/linux/gui/native_ui.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "tests/core/linux/gui/desktop_peers.h"

namespace {

// The bar's place in the window, as the window shows it.
std::vector<uint32_t> BarRow() {
    std::vector<uint32_t> row;
    GList* windows = gtk_window_list_toplevels();
    GdkWindow* shown = nullptr;
    for (GList* at = windows; at; at = at->next)
        if (gtk_widget_get_visible(GTK_WIDGET(at->data))) shown = gtk_widget_get_window(GTK_WIDGET(at->data));
    g_list_free(windows);
    GdkPixbuf* shot = shown ? gdk_pixbuf_get_from_window(shown, 20, 60, 360, 20) : nullptr;
    if (!shot) return row;
    const guchar* pixels = gdk_pixbuf_get_pixels(shot);
    const int channels = gdk_pixbuf_get_n_channels(shot);
    const int stride = gdk_pixbuf_get_rowstride(shot);
    for (int y = 0; y < 20; y++)
        for (int i = 0; i < 360; i++) {
            const guchar* at = pixels + y * stride + i * channels;
            row.push_back((uint32_t)at[0] << 16 | (uint32_t)at[1] << 8 | at[2]);
        }
    g_object_unref(shot);
    return row;
}

// Runs the passes of a main loop for a while: the centre's pass drives the window.
void Passes(int milliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        NotificationCenter_Process();
        while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

TEST(ProgressWindow, BarMovesUntilAFigureComesThenStands) {
    DesktopPeers peers;
    ASSERT_TRUE(peers.StartDisplay()) << "no X display (Xvfb)";
    ASSERT_EQ(NativeUI_HasDisplay(), 1);
    ASSERT_EQ(Thread_Init(), 1);
    ASSERT_EQ(EventQueue_Init(), 1);
    ASSERT_EQ(NotificationCenter_Init(), 1);
    ProgressWindow* window = nullptr;
    ASSERT_EQ(ProgressWindow_Create(&window, "Updating", "Applying the update"), 1);
    Passes(500);
    const std::vector<uint32_t> first = BarRow();
    Passes(400);
    const std::vector<uint32_t> second = BarRow();
    ASSERT_EQ(first.size(), 360u * 20u);
    EXPECT_NE(first, second) << "no figure yet: the bar must not stand still";

    ASSERT_EQ(ProgressWindow_SetProgress(window, 1.0), 1);
    Passes(400);
    const std::vector<uint32_t> third = BarRow();
    Passes(400);
    EXPECT_EQ(third, BarRow()) << "a figure stands";
    EXPECT_EQ(ProgressWindow_GetShownProgress(window), 1.0);

    ProgressWindow_Delete(&window);
    NotificationCenter_Remove();
    EventQueue_Remove();
    Thread_Remove();
}
