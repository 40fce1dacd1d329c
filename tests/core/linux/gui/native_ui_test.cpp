// Message boxes, the abort box and the choosers on a real X display (Xvfb), answered by xdotool.
// A watchdog closes any box nobody answered within 15 s, so a test fails instead of hanging.
#include "core/linux/gui/native_ui.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <string>
#include <thread>

#include "core/linux/gui/native_chooser.h"
#include "core/runtime/debug.h"
#include "tests/core/linux/gui/desktop_peers.h"

namespace {

DesktopPeers* g_peers = nullptr;
constexpr int kUnanswered = -99;
int g_closedUnanswered = 0;

guint g_watchdog = 0;

gboolean CloseOpenDialogs(gpointer) {
    g_watchdog = 0;
    GList* windows = gtk_window_list_toplevels();
    for (GList* at = windows; at; at = at->next)
        if (GTK_IS_DIALOG(at->data) && gtk_widget_get_visible(GTK_WIDGET(at->data))) {
            gtk_dialog_response(GTK_DIALOG(at->data), kUnanswered);
            g_closedUnanswered++;
        }
    g_list_free(windows);
    return G_SOURCE_REMOVE;
}

class NativeUI : public ::testing::Test {
  public:
    static void SetUpTestSuite() {
        g_peers = new DesktopPeers;
        g_ready = g_peers->StartDisplay() && NativeUI_HasDisplay() == 1;
    }
    static void TearDownTestSuite() { delete g_peers; }
    void SetUp() override { ASSERT_TRUE(g_ready) << "no X display (Xvfb) for GTK"; }
    static inline bool g_ready = false;

    // Types the keys into the window titled `title` once it is on screen, again while it stays
    // open (a key can be lost while the window takes focus).
    static pid_t Answer(const std::string& title, const std::string& keys) {
        const std::string find = "xdotool search --onlyvisible --name '^" + title + "$' | head -1";
        return g_peers->Background(
            {"timeout", "20", "sh", "-c",
             "for i in $(seq 40); do id=$(" + find + "); [ -n \"$id\" ] && break; sleep 0.25; done; "
             "while [ -n \"$id\" ]; do xdotool windowfocus --sync $id sleep 0.3 " + keys +
                 "; sleep 2; id=$(" + find + "); done"});
    }
    // Shows something while Answer types into it; the typist ends with it.
    template <typename Show>
    static auto Answered(const std::string& title, const std::string& keys, Show show) {
        const pid_t typist = Answer(title, keys);
        g_watchdog = g_timeout_add_seconds(15, CloseOpenDialogs, nullptr);
        auto result = show();
        if (g_watchdog) g_source_remove(g_watchdog);
        g_watchdog = 0;
        g_peers->Finish(typist);
        return result;
    }
};

} // namespace

TEST_F(NativeUI, MessageBoxButtonsAndResults) {
    const struct {
        uint32_t type;
        const char* keys;
        int64_t result;
    } cases[] = {
        {0x34, "key alt+y", 6}, {0x34, "key alt+n", 7}, {0x34, "key Escape", 7}, {3, "key alt+y", 6},
        {3, "key alt+n", 7},    {3, "key alt+c", 2},    {3, "key Escape", 2},    {0x11, "key Return", 1},
        {1, "key alt+c", 2},    {0, "key Escape", 1},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string caption = "Caption " + std::to_string(n++);
        EXPECT_EQ(Answered(caption, c.keys,
                           [&] { return NativeWindow_MessageBox(nullptr, "Text below", caption.c_str(), c.type); }),
                  c.result)
            << c.type << " " << c.keys;
    }
}

TEST_F(NativeUI, OverrideAndAbortBox) {
    NativeUI_MessageBoxOverride([](void*, const char* text, const char* caption, uint32_t type) -> int64_t {
        return std::string(text) == "t" && std::string(caption) == "c" ? 40 + type : 0;
    });
    EXPECT_EQ(NativeWindow_MessageBox(nullptr, "t", "c", 2), 42);
    NativeUI_MessageBoxOverride(nullptr);
    NativeUI_Init();
    // The abort box is shown (and answered) unless in command-line mode.
    auto start = std::chrono::steady_clock::now();
    Answered("Internal error...", "key Return", [] {
        NativeUI_AbortOverride("f.cpp", 1, "Assertion failed (x)\nwhy");
        return 0;
    });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12)) << "answered, not closed by watchdog";
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200)) << "it was shown";
    // Nor from another thread, which may not touch the toolkit.
    start = std::chrono::steady_clock::now();
    std::thread([] { NativeUI_AbortOverride("f.cpp", 1, "Assertion failed (x)\nwhy"); }).join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
        << "returned without waiting for an answer";
    // Nor in command-line mode: nobody answers here, so a box shown would stay until the
    // watchdog closed it.
    Debug_FlagsOverride([]() -> uint32_t { return DEBUG_FLAG_CMDLINE; });
    const int closed = g_closedUnanswered;
    g_watchdog = g_timeout_add_seconds(15, CloseOpenDialogs, nullptr);
    NativeUI_AbortOverride("f.cpp", 1, "Assertion failed (x)\nwhy");
    if (g_watchdog) g_source_remove(g_watchdog);
    g_watchdog = 0;
    EXPECT_EQ(g_closedUnanswered, closed) << "a box was shown in command-line mode";
    Debug_FlagsOverride(nullptr);
    NativeUI_Remove();
}

TEST_F(NativeUI, LoadChooserSplitsTheChoice) {
    const std::string folder = g_peers->Dir().file("a/b/");
    g_peers->Run({"mkdir", "-p", folder});
    WriteText(folder + "c.txt", "x");
    // The chooser starts in the folder with the file selected; Return takes it.
    char directory[1024], name[64] = "c.txt";
    snprintf(directory, sizeof directory, "%s", folder.substr(0, folder.size() - 1).c_str());
    // The title is decoded: the window is found as "Pick & one".
    const auto load = [&] {
        return NativeChooser_GetLoadFilename(nullptr, "Pick &amp; one", directory, sizeof directory, name, sizeof name);
    };
    ASSERT_EQ(Answered("Pick & one", "key Return", load), 1);
    EXPECT_EQ(std::string(directory), folder);
    EXPECT_STREQ(name, "c.txt");
    snprintf(name, sizeof name, "%s", "kept");
    EXPECT_EQ(Answered("Pick & one", "key Escape", load), 0);
    EXPECT_EQ(std::string(directory) + name, folder + "kept") << "cancel keeps the buffers";
    // A choice that does not fit is refused, not cut into another path: "~" (the test's home)
    // starts the chooser in the folder, whose full path is longer than the buffer.
    char home[7] = "~/a/b/";
    snprintf(name, sizeof name, "%s", "c.txt");
    const auto loadHome = [&] {
        return NativeChooser_GetLoadFilename(nullptr, "Home", home, sizeof home, name, sizeof name);
    };
    const int closed = g_closedUnanswered;
    EXPECT_EQ(Answered("Home", "key Return", loadHome), 0);
    EXPECT_EQ(g_closedUnanswered, closed) << "the choice was made, and refused";
    EXPECT_STREQ(home, "~/a/b/");
}

TEST_F(NativeUI, DirectoryChooserCleansUpWhatItCreated) {
    const std::string base = g_peers->Dir().file("d/");
    g_peers->Run({"mkdir", "-p", base});
    char path[1024];
    // One missing level: created for the choice, removed on cancel, kept when chosen.
    const auto choose = [&](const std::string& start) {
        return [&path, start] { return NativeChooser_GetNewDirectory(nullptr, "Folder", path, sizeof path, start.c_str()); };
    };
    EXPECT_EQ(Answered("Folder", "key Escape", choose(base + "new")), 0);
    EXPECT_FALSE(FileExists(base + "new"));
    EXPECT_EQ(Answered("Folder", "key Return", choose(base + "new")), 1);
    EXPECT_EQ(std::string(path), base + "new/");
    EXPECT_TRUE(FileExists(base + "new"));
    // Several levels: the topmost created one holds the next and stays.
    EXPECT_EQ(Answered("Folder", "key Escape", choose(base + "l1/l2")), 0);
    EXPECT_TRUE(FileExists(base + "l1/l2"));
}

// Nobody can answer: the box says what it would on standard error.
TEST(NativeUINoDisplay, NothingIsShownAndNothingWaits) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            char path[64];
            const bool ok = NativeWindow_MessageBoxDefault(nullptr, "t", "c", 3) == 2 &&
                            NativeWindow_MessageBoxDefault(nullptr, "t", "c", 4) == 7 &&
                            NativeWindow_MessageBoxDefault(nullptr, "t", "c", 1) == 2 &&
                            NativeChooser_GetNewDirectory(nullptr, "t", path, sizeof path, "/tmp/qvr-none/x") == 0 &&
                            !FileExists("/tmp/qvr-none");
            NativeUI_Init();
            NativeUI_AbortOverride("f.cpp", 1, "m");
            exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "c: t\nc: t\nc: t\n");
}
