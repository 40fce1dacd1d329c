// Window verbs and the progress window on a real X display (Xvfb, no window manager, so what is
// asked is what the server does).
#include "core/linux/gui/native_window.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <string>
#include <thread>

#include "core/linux/gui/progress_window.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "tests/core/linux/gui/desktop_peers.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"

namespace {

DesktopPeers* g_peers = nullptr;
const auto* g_environment = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

class Window : public ::testing::Test {
  public:
    static void SetUpTestSuite() {
        g_peers = new DesktopPeers;
        g_ready = g_peers->StartDisplay() && gtk_init_check(nullptr, nullptr);
    }
    static void TearDownTestSuite() { delete g_peers; }
    void SetUp() override { ASSERT_TRUE(g_ready) << "no X display (Xvfb) for GTK"; }
    static inline bool g_ready = false;
};

// Runs the main loop until the value is what is wanted, at most twenty seconds.
template <typename Read>
int32_t Settled(Read read, int32_t want) {
    int32_t value = read();
    StepUntil([&] { return value == want; },
              [&] {
                  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
                  value = read();
              },
              20);
    return value;
}

} // namespace

TEST_F(Window, TitleFrameSizeAndPlace) {
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* child = gtk_label_new("x");
    gtk_container_add(GTK_CONTAINER(window), child);
    NativeWindow_SetTitleUtf8(child, "Héllo");
    char title[4];
    NativeWindow_GetTitleUtf8(window, title, sizeof title);
    EXPECT_STREQ(title, "H\xc3\xa9") << "cut to the buffer";
    const uint16_t wide[] = {'N', 0xe9, 0xd83d, 0xde00, 0};
    NativeWindow_SetTitle(window, wide);
    NativeWindow_GetTitleUtf8(window, title, sizeof title);
    EXPECT_STREQ(title, "N\xc3\xa9");
    uint16_t back[3] = {1, 1, 1};
    NativeWindow_GetTitle(window, back, 3);
    EXPECT_EQ(back[0], 'N');
    EXPECT_EQ(back[1], 0xe9);
    EXPECT_EQ(back[2], 0) << "cut to the buffer, terminated";
    const int32_t frames[][2] = {{0, 0}, {1, 1}, {2, 1}, {3, 3}, {9, 0}};
    for (const auto& f : frames) {
        int32_t got = -1;
        NativeWindow_SetFrame(window, f[0]);
        NativeWindow_GetFrame(window, &got);
        EXPECT_EQ(got, f[1]) << f[0];
    }
    uint32_t resizable = 0;
    NativeWindow_GetResizable(window, &resizable);
    EXPECT_EQ(resizable, 0u);
    NativeWindow_SetFrame(window, 3);
    NativeWindow_Size(window, 300, 200);
    NativeWindow_Show(window);
    NativeWindow_Move(window, 40, 50);
    auto value = [&](int64_t (*get)(void*, int32_t*)) {
        return [=] {
            int32_t v = -1;
            get(window, &v);
            return v;
        };
    };
    EXPECT_EQ(Settled(value(NativeWindow_GetWidth), 300), 300);
    EXPECT_EQ(Settled(value(NativeWindow_GetHeight), 200), 200);
    EXPECT_EQ(Settled(value(NativeWindow_GetX), 40), 40);
    EXPECT_EQ(Settled(value(NativeWindow_GetY), 50), 50);
    EXPECT_EQ(value(NativeWindow_GetScreenWidth)(), 800);
    EXPECT_EQ(value(NativeWindow_GetScreenHeight)(), 600);
    NativeWindow_Center(window, nullptr);
    EXPECT_EQ(Settled(value(NativeWindow_GetX), 250), 250);
    EXPECT_EQ(Settled(value(NativeWindow_GetY), 200), 200);
    NativeWindow_SetMinimumWidth(window, 120);
    NativeWindow_SetMinimumHeight(window, 80);
    EXPECT_EQ(value(NativeWindow_GetMinimumWidth)(), 120) << "the other dimension is kept";
    EXPECT_EQ(value(NativeWindow_GetMinimumHeight)(), 80);
    NativeWindow_Size(window, 10, 10);
    EXPECT_EQ(Settled(value(NativeWindow_GetWidth), 120), 120) << "not below the minimum";
    EXPECT_EQ(NativeWindow_IsVisible(window), 1);
    EXPECT_EQ(NativeWindow_SetCursor(window, 11), 1);
    EXPECT_EQ(NativeWindow_SetCursor(nullptr, 99), 1);
    NativeWindow_Hide(window);
    EXPECT_EQ(NativeWindow_IsVisible(window), 0);
    TakeLog();
    EXPECT_EQ(NativeWindow_SendData(window, "{}"), 0);
    EXPECT_NE(TakeLog().find("NativeWindow_SendDataJSON not supported on macOS"), std::string::npos);
    gtk_widget_destroy(window);
}

TEST_F(Window, ProgressWindowThrottle) {
    ASSERT_EQ(Thread_Init() == 1 && EventQueue_Init() == 1 && NotificationCenter_Init() == 1, true);
    ProgressWindow* p = nullptr;
    ASSERT_EQ(ProgressWindow_Create(&p, "Working", "Please wait"), 1);
    ProgressWindow_SetProgress(p, 0.1);
    ProgressWindow_SetProgress(p, 0.2);
    ProgressWindow_SetProgress(p, 0.3);
    EXPECT_DOUBLE_EQ(ProgressWindow_GetShownProgress(p), 0.1) << "within 40 ms only the first shows";
    ProgressWindow_SetProgress(p, 1.0);
    EXPECT_DOUBLE_EQ(ProgressWindow_GetShownProgress(p), 1.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ProgressWindow_SetProgress(p, 0.5);
    EXPECT_DOUBLE_EQ(ProgressWindow_GetShownProgress(p), 0.5);
    ProgressWindow_Delete(&p);
    EXPECT_EQ(p, nullptr);
    NotificationCenter_Remove();
    EventQueue_Remove();
    Thread_Remove();
}

TEST(WindowNames, FramesAndCursors) {
    const struct {
        int32_t id;
        const char *frame, *cursor;
    } cases[] = {{0, "Normal", "auto"},     {2, "Popup", "crosshair"}, {3, "Resizable", "allscroll"},
                 {9, "Normal", "progress"}, {-1, "Normal", "auto"},    {23, "Normal", "w-resize"},
                 {99, "Normal", "auto"}};
    for (const auto& c : cases) {
        EXPECT_STREQ(NativeWindow_TranslateFrame(c.id), c.frame) << c.id;
        EXPECT_STREQ(NativeWindow_TranslateCursor(c.id), c.cursor) << c.id;
    }
}

TEST(WindowDeathTest, ClientSizeIsNotProvided) {
    InstallTestAbortHook();
    int32_t value = 0;
    EXPECT_DEATH(NativeWindow_GetClientWidth(nullptr, &value), AbortRegex("Not Implemented - NativeWindow_GetClientWidth"));
}
