// Message boxes, the abort box and the choosers on a real X display (Xvfb), answered by xdotool.
// A watchdog closes any box nobody answered within 15 s, so a test fails instead of hanging.
#include "core/linux/gui/native_ui.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <sys/stat.h>
#include <unistd.h>

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

// Answers a chooser from inside the loop, as its user would with the mouse: takes the choice once
// the chooser shows `Want`, answers the toolkit's replace question with Replace, and cancels once
// the chooser says why it refused (kept in `Refused`).
struct Driver {
    std::string Want;
    std::string Refused = "";
    bool Taken = false;
    bool Asked = false;
};

gboolean Drive(gpointer data) {
    Driver* d = static_cast<Driver*>(data);
    GtkWidget* chooser = nullptr;
    GtkWidget* question = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* at = windows; at; at = at->next) {
        if (!gtk_widget_get_visible(GTK_WIDGET(at->data))) continue;
        if (GTK_IS_FILE_CHOOSER_DIALOG(at->data)) chooser = GTK_WIDGET(at->data);
        else if (GTK_IS_MESSAGE_DIALOG(at->data)) question = GTK_WIDGET(at->data);
    }
    g_list_free(windows);
    if (question) {
        d->Asked = true;
        gtk_dialog_response(GTK_DIALOG(question), GTK_RESPONSE_ACCEPT);
    } else if (chooser) {
        GtkWidget* note = gtk_file_chooser_get_extra_widget(GTK_FILE_CHOOSER(chooser));
        gchar* shown = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
        if (note && gtk_widget_get_visible(note) && gtk_label_get_text(GTK_LABEL(note))[0]) {
            d->Refused = gtk_label_get_text(GTK_LABEL(note));
            gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_CANCEL);
        } else if (!d->Taken && shown && d->Want == shown) {
            d->Taken = true;
            gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
        }
        g_free(shown);
    }
    return G_SOURCE_CONTINUE;
}

// A folder whose path is longer than the path module's 320 bytes, made under `base`.
std::string LongFolder(const std::string& base) {
    std::string folder = base;
    for (char c : {'p', 'q', 'r'}) {
        folder += std::string(110, c) + "/";
        mkdir(folder.c_str(), 0700);
    }
    return folder;
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
    // Shows a chooser that the driver answers.
    template <typename Show>
    static auto Driven(Driver& driver, Show show) {
        const guint source = g_timeout_add(100, Drive, &driver);
        g_watchdog = g_timeout_add_seconds(15, CloseOpenDialogs, nullptr);
        auto result = show();
        if (g_watchdog) g_source_remove(g_watchdog);
        g_watchdog = 0;
        g_source_remove(source);
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

// The path is judged as the toolkit gives it, whole: longer than the path module's buffers, or
// with a backslash in a name, it still names the file it names.
TEST_F(NativeUI, LoadChooserTakesAnyPathThatNamesAFile) {
    const std::string base = g_peers->Dir().file("load/");
    g_peers->Run({"mkdir", "-p", base});
    const std::string deep = LongFolder(base);
    WriteText(deep + "long.txt", "x");
    WriteText(base + "a\\b.txt", "x");
    const struct {
        std::string folder, name;
    } rows[] = {{deep, "long.txt"}, {base, "a\\b.txt"}};
    for (const auto& row : rows) {
        char directory[1024], name[256];
        snprintf(directory, sizeof directory, "%s", row.folder.c_str());
        snprintf(name, sizeof name, "%s", row.name.c_str());
        Driver driver{row.folder + row.name};
        const auto load = [&] {
            return NativeChooser_GetLoadFilename(nullptr, "Load", directory, sizeof directory, name, sizeof name);
        };
        EXPECT_EQ(Driven(driver, load), 1) << row.name << ": " << driver.Refused;
        EXPECT_EQ(std::string(directory), row.folder);
        EXPECT_EQ(std::string(name), row.name);
    }
}

// A save names a new name or a file (after the toolkit's question), in any folder, "/" included;
// a link at the name, even a dangling one, and anything but a file are refused with the reason.
TEST_F(NativeUI, SaveChooserRefusesLinksAndWhatIsNoFile) {
    const std::string base = g_peers->Dir().file("save/");
    g_peers->Run({"mkdir", "-p", base});
    WriteText(base + "plain.txt", "kept");
    ASSERT_EQ(mkfifo((base + "fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink((base + "nowhere").c_str(), (base + "dangling").c_str()), 0);
    ASSERT_EQ(symlink((base + "plain.txt").c_str(), (base + "tofile").c_str()), 0);
    const std::string top = "qvr-save-" + std::to_string(getpid());
    const struct {
        std::string folder, name;
        bool asked;
        std::string refused; // "" when taken
    } rows[] = {
        {base, "new.txt", false, ""},
        {"/", top, false, ""},
        {base, "plain.txt", true, ""},
        {base, "fifo", true, "\u201c" + base + "fifo\u201d is not a file."},
        {base, "dangling", true, "\u201c" + base + "dangling\u201d is a link."},
        {base, "tofile", true, "\u201c" + base + "tofile\u201d is a link."},
    };
    for (const auto& row : rows) {
        char directory[1024], name[256];
        snprintf(directory, sizeof directory, "%s", row.folder.c_str());
        snprintf(name, sizeof name, "%s", row.name.c_str());
        Driver driver{row.folder + row.name};
        const int64_t chosen = Driven(driver, [&] {
            return NativeChooser_GetSaveFilename(nullptr, "Save", directory, sizeof directory, name, sizeof name);
        });
        EXPECT_EQ(driver.Taken, true) << row.name;
        EXPECT_EQ(driver.Asked, row.asked) << row.name;
        EXPECT_EQ(driver.Refused, row.refused) << row.name;
        EXPECT_EQ(chosen, row.refused.empty() ? 1 : 0) << row.name;
        EXPECT_EQ(std::string(directory) + name, row.folder + row.name) << "either the choice or what was passed";
    }
    EXPECT_FALSE(FileExists(base + "nowhere"));
    EXPECT_EQ(ReadFile(base + "plain.txt"), "kept");
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
    // The start and the answer are paths as they are: longer than the path module's buffers, or
    // with a backslash in a name, which is made as that name and never as two folders.
    const std::string deep = LongFolder(base);
    const std::string slashed = base + "x\\y";
    for (const std::string& start : {deep, slashed}) {
        Driver driver{start.back() == '/' ? start.substr(0, start.size() - 1) : start};
        EXPECT_EQ(Driven(driver, choose(start)), 1) << start << ": " << driver.Refused;
        EXPECT_EQ(std::string(path), driver.Want + "/");
    }
    EXPECT_TRUE(FileExists(slashed));
    EXPECT_FALSE(FileExists(base + "x"));
    // "." and ".." of the page's start are folded before anything is made; "~" is the home.
    Driver folded{base + "folded"};
    EXPECT_EQ(Driven(folded, choose(base + "./gone/../folded/sub/../.")), 1) << folded.Refused;
    EXPECT_EQ(std::string(path), base + "folded/");
    EXPECT_TRUE(FileExists(base + "folded")) << "the chosen folder stays";
    EXPECT_FALSE(FileExists(base + "gone"));
    EXPECT_FALSE(FileExists(base + "folded/sub"));
    std::string home = getenv("HOME");
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    Driver atHome{home + "/made-at-home"};
    EXPECT_EQ(Driven(atHome, choose("~/made-at-home")), 1) << atHome.Refused;
    EXPECT_EQ(std::string(path), home + "/made-at-home/");
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
