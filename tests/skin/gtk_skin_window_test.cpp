// Skin windows as real GTK windows on an X display: geometry rules and their notifications, the
// permission flags, page-started drags, and the user's mouse and keyboard reaching an off-screen
// browser through the content view (input from xdotool).
#include "skin/linux/gtk/gtk_skin_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include <sys/stat.h>

#include "core/formats/interop.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "skin/skin_window_interop.h"
#include "skin/skin_window_internal.h"
#include "tests/skin/gtk_display.h"
#include "tests/skin/test_browser.h"
#include "tests/support/dictionary_text.h"
#include "tests/support/log_capture.h"

#include <sys/prctl.h>
#include <sys/wait.h>

namespace {

// A private bus standing in for the system bus, on which the tests play logind.
pid_t g_bus = 0;

void StartPrivateSystemBus() {
    int fds[2];
    if (pipe(fds) != 0) return;
    char fd[48];
    snprintf(fd, sizeof(fd), "--print-address=%d", fds[1]);
    g_bus = fork();
    if (g_bus == 0) {
        close(fds[0]);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", fd, (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    pollfd ready = {fds[0], POLLIN, 0};
    if (poll(&ready, 1, 10000) != 1) return (void)close(fds[0]);
    FILE* in = fdopen(fds[0], "r");
    char address[512] = "";
    if (in && fgets(address, sizeof(address), in)) {
        address[strcspn(address, "\n")] = 0;
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address, 1);
    }
    if (in) fclose(in);
}

// The recording browser, but keeping the view-change callback so that a test can deliver frames
// as an off-screen browser would.
WebBrowserViewChangeFunc g_viewChange = nullptr;
void* g_viewChangeUser = nullptr;

const WebBrowserInterface* FrameBrowser() {
    static WebBrowserInterface table = [] {
        WebBrowserInterface copy = *TestBrowser_GetInterface();
        copy.SetViewChangeCallback = [](WebBrowser*, void* user,
                                        WebBrowserViewChangeFunc function) -> int64_t {
            g_viewChange = function;
            g_viewChangeUser = user;
            return 1;
        };
        return copy;
    }();
    return &table;
}

class GtkEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        StartPrivateSystemBus();
        ASSERT_NE(getenv("DBUS_SYSTEM_BUS_ADDRESS"), nullptr) << "dbus-daemon could not be started";
        const std::string why = TestDisplayStart();
        ASSERT_EQ(why, "") << "GUI tests need an X display: " << why;
        ASSERT_EQ(GtkSkinWindow_Init(), 1) << "GTK could not open the display " << getenv("DISPLAY");
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(Interop_Init(), 1);
        ASSERT_EQ(WebBrowser_Init(FrameBrowser(), ""), 1);
        NativeSkinWindow_SetInterface(GtkSkinWindow_GetInterface());
        SkinWindowControls_SetInterface(GtkSkinWindow_GetControlsInterface());
        SkinWindow_Init("test");
    }
    void TearDown() override {
        SkinWindow_Remove();
        WebBrowser_Remove();
        Interop_Remove();
        EventQueue_Remove();
        Thread_Remove();
        if (g_bus > 0) kill(g_bus, SIGTERM), waitpid(g_bus, nullptr, 0);
    }
};
::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new GtkEnvironment);

constexpr const char* kNames[] = {"Show",    "Hide",    "Move",  "Size", "Maximize",  "Minimize",
                                  "Restore", "EndMove", "Sleep", "Wake", "ViewChange"};

// The colour at (x, y) from the top of a 24- or 32-bit BMP file, as 0xRRGGBB.
uint32_t BmpPixel(const std::string& bmp, int x, int y) {
    auto u32 = [&](size_t at) {
        return (uint32_t)(uint8_t)bmp[at] | (uint32_t)(uint8_t)bmp[at + 1] << 8 |
               (uint32_t)(uint8_t)bmp[at + 2] << 16 | (uint32_t)(uint8_t)bmp[at + 3] << 24;
    };
    if (bmp.size() < 54 || bmp.compare(0, 2, "BM") != 0) return 0xdeadbeef;
    const uint32_t offset = u32(10), width = u32(18), height = u32(22), bits = (uint8_t)bmp[28];
    const uint32_t row = ((width * bits / 8) + 3) & ~3u;
    const size_t at = offset + (size_t)(height - 1 - (uint32_t)y) * row + (size_t)x * bits / 8;
    if (at + 3 > bmp.size()) return 0xdeadbeef;
    return (uint32_t)(uint8_t)bmp[at + 2] << 16 | (uint32_t)(uint8_t)bmp[at + 1] << 8 | (uint8_t)bmp[at];
}

// Sends logind's announcement of a suspend and of the wake, as the owner of logind's name.
constexpr const char kPlayLogind[] = R"PY(
import dbus, dbus.lowlevel
bus = dbus.SystemBus()
bus.request_name('org.freedesktop.login1')
for sleeping in (True, False):
    m = dbus.lowlevel.SignalMessage('/org/freedesktop/login1', 'org.freedesktop.login1.Manager', 'PrepareForSleep')
    m.append(dbus.Boolean(sleeping))
    bus.send_message(m)
bus.flush()
)PY";

class GtkSkinWindowTest : public LogLinesTest {
  protected:
    SkinWindow* window = nullptr;
    std::vector<std::string> fired;

    void SetUp() override {
        LogLinesTest::SetUp();
        ASSERT_EQ(NotificationCenter_Init(), 1);
        TestBrowser() = TestBrowserState();
        ASSERT_EQ(SkinWindow_Create(&window), 1);
        for (const char* name : kNames)
            NotificationCenter_AddInstanceObserver("SkinWindow", name, window->Header.InstanceId, this,
                                                   Record);
    }
    void TearDown() override {
        for (const char* name : kNames)
            NotificationCenter_RemoveInstanceObserver("SkinWindow", name, window->Header.InstanceId, this,
                                                      Record);
        SkinWindow_Release(&window);
        Pump(50);
        NotificationCenter_Remove();
        LogLinesTest::TearDown();
    }

    static int64_t Record(void* user, const char*, const char* name, const char*, Dictionary* info) {
        static_cast<GtkSkinWindowTest*>(user)->fired.push_back(std::string(name) + " " +
                                                               (info ? DictionaryAsJson(info) : "null"));
        return 1;
    }
    void Pump(int milliseconds = 20) {
        GtkSkinWindow_Pump(milliseconds);
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
    }
    // A shown 400 x 300 window at a known place, its notifications so far forgotten.
    void Open(const char* title) {
        Dictionary* config = nullptr;
        Dictionary_Create(&config);
        Dictionary_SetInt64ByKey(config, "minWidth", 400);
        Dictionary_SetInt64ByKey(config, "minHeight", 300);
        Dictionary_SetStringByKey(config, "title", title);
        ASSERT_EQ(SkinWindow_LoadConfig(window, config), 1);
        Dictionary_Release(&config);
        SkinWindow_SetOrigin(window, 100, 100);
        SkinWindow_Show(window);
        ASSERT_TRUE(WaitFor([&] { return Xdo(std::string("search --onlyvisible --name '^") + title + "$'"); },
                            [&] { Pump(); }));
        Pump(200);
        fired.clear();
    }
    std::vector<std::string> Calls(const char* prefix) {
        std::vector<std::string> out;
        for (const std::string& c : TestBrowser().Calls)
            if (c.rfind(prefix, 0) == 0) out.push_back(c);
        return out;
    }
    static std::vector<std::string> WithText(const std::vector<std::string>& calls) {
        std::vector<std::string> out;
        for (const std::string& c : calls)
            if (Numbers(c).at(1) != 0) out.push_back(c);
        return out;
    }
    static std::vector<int64_t> Numbers(const std::string& call) {
        std::istringstream in(call.substr(call.find(' ') + 1));
        std::vector<int64_t> out;
        for (int64_t v; in >> v;) out.push_back(v);
        return out;
    }
    bool Fired(const std::string& line) {
        return WaitFor([&] { return std::find(fired.begin(), fired.end(), line) != fired.end(); },
                       [&] { Pump(); }, 5000);
    }
};

TEST_F(GtkSkinWindowTest, SizeStopsAtTheMinimumAndReportsTheContentSize) {
    Open("size-window");
    const struct {
        int32_t Width, Height;
        const char* Expected;
    } cases[] = {
        {500, 350, R"(Size "frameNotification":false,"width":500,"height":350)"},
        {10, 10, R"(Size "frameNotification":false,"width":400,"height":300)"},
        {420, 5, R"(Size "frameNotification":false,"width":420,"height":300)"},
    };
    for (const auto& c : cases) {
        fired.clear();
        SkinWindow_SetSize(window, c.Width, c.Height);
        EXPECT_TRUE(Fired(c.Expected)) << c.Width << "x" << c.Height;
        Pump(100);
        EXPECT_EQ(std::count_if(fired.begin(), fired.end(),
                                [](const std::string& f) { return f.rfind("Size", 0) == 0; }),
                  1);
    }
    int32_t width = 0, height = 0;
    SkinWindow_GetWidth(window, &width);
    SkinWindow_GetHeight(window, &height);
    EXPECT_EQ(width, 420);
    EXPECT_EQ(height, 300);
}

TEST_F(GtkSkinWindowTest, PermissionFlagsStopMovesShowsAndZooms) {
    Open("flag-window");
    SkinWindow_SetCanMove(window, 0);
    SkinWindow_SetOrigin(window, 300, 200);
    SkinWindow_Center(window);
    SkinWindow_SetCanMaximize(window, 0);
    SkinWindow_Maximize(window);
    Pump(200);
    EXPECT_EQ(fired, std::vector<std::string>{});
    int32_t x = 0, y = 0;
    SkinWindow_GetX(window, &x);
    SkinWindow_GetY(window, &y);
    EXPECT_EQ(x, 100);
    EXPECT_EQ(y, 100);
    EXPECT_EQ(SkinWindow_IsMaximized(window), 0);

    SkinWindow_SetCanShow(window, 0);
    SkinWindow_Show(window);
    EXPECT_TRUE(Fired(R"(Hide "frameNotification":false)"));
    EXPECT_EQ(SkinWindow_IsVisible(window), 0);
}

TEST_F(GtkSkinWindowTest, MaximiseOnceThenRestoreTheSavedFrame) {
    Open("zoom-window");
    SkinWindow_Maximize(window);
    SkinWindow_Maximize(window);
    // The display answers in its own time, later on a busy machine.
    int32_t width = 0;
    EXPECT_TRUE(WaitFor([&] { return SkinWindow_GetWidth(window, &width) && width == 1280; }, [&] { Pump(); }, 5000))
        << width;
    Pump(200);
    EXPECT_EQ(std::count(fired.begin(), fired.end(), R"(Maximize "frameNotification":false)"), 1);
    fired.clear();
    EXPECT_EQ(SkinWindow_Restore(window), 1);
    EXPECT_TRUE(Fired(R"(Restore "frameNotification":false)"));
    int32_t x = 0, height = 0;
    EXPECT_TRUE(WaitFor(
        [&] {
            SkinWindow_GetX(window, &x);
            SkinWindow_GetWidth(window, &width);
            SkinWindow_GetHeight(window, &height);
            return x == 100 && width == 400 && height == 300;
        },
        [&] { Pump(); }, 5000))
        << x << " " << width << " " << height;
    EXPECT_EQ(SkinWindow_Restore(window), 0);
}

// The page starts a move from its title bar; the user's mouse carries the window.
TEST_F(GtkSkinWindowTest, MoveDragFollowsTheMouseAndEndsWithDeltas) {
    Open("drag-window");
    ASSERT_TRUE(Xdo("mousemove --sync 150 120"));
    Pump(100);
    ASSERT_TRUE(Xdo("mousedown 1"));
    Pump(50);
    SkinWindow_BeginMove(window); // as the page does on a press in its title bar
    ASSERT_TRUE(Xdo("mousemove --sync 190 150"));
    EXPECT_TRUE(Fired(R"(Move "frameNotification":true,"x":140,"y":130)"));
    ASSERT_TRUE(Xdo("mouseup 1"));
    EXPECT_TRUE(Fired(R"(EndMove "x":150,"y":120,"deltaX":40,"deltaY":30)"));

    // A drag that ends where it began has no distance.
    fired.clear();
    SkinWindow_BeginMove(window);
    SkinWindow_SimulateMouseUp(window, 150 + 40, 120 + 30, WEBBROWSER_MODIFIER_LEFT_BUTTON);
    Pump(100);
    EXPECT_TRUE(Fired(R"(EndMove "x":190,"y":150,"deltaX":0,"deltaY":0)"));
}

TEST_F(GtkSkinWindowTest, UserInputReachesAnOffScreenBrowser) {
    Open("input-window");
    // Window content starts at (100, 100).
    ASSERT_TRUE(Xdo("mousemove --sync 130 140 keydown shift keydown ctrl click 1 keyup ctrl keyup shift"));
    ASSERT_TRUE(Xdo("mousedown 3 mousemove --sync 135 140 mouseup 3"));
    ASSERT_TRUE(WaitFor([&] { return Calls("SimulateMouseUp").size() >= 2; }, [&] { Pump(); }))
        << testing::PrintToString(TestBrowser().Calls);
    Pump(100);
    const std::vector<std::string> downs = Calls("SimulateMouseDown");
    ASSERT_EQ(downs.size(), 2u);
    EXPECT_EQ(downs[0], "SimulateMouseDown 30 40 9"); // shift only, with the left button
    EXPECT_EQ(downs[1], "SimulateMouseDown 30 40 4");
    EXPECT_NE(
        std::find(TestBrowser().Calls.begin(), TestBrowser().Calls.end(), "SimulateMouseMove 35 40 0 0"),
        TestBrowser().Calls.end());

    TestBrowser().Calls.clear();
    ASSERT_TRUE(Xdo("mousemove --sync 150 160 key KP_1 key a"));
    ASSERT_TRUE(WaitFor([&] { return Calls("SimulateKeyUp").size() >= 2; }, [&] { Pump(); }))
        << testing::PrintToString(TestBrowser().Calls);
    // Key down: virtual key, character, character without modifiers, modifiers. xdotool may
    // press Num Lock around the keypad key; such keys make no text and are left out.
    const std::vector<std::string> keys = WithText(Calls("SimulateKeyDown"));
    const std::vector<std::string> characters = WithText(Calls("SimulateCharacter"));
    ASSERT_EQ(keys.size(), 2u) << testing::PrintToString(TestBrowser().Calls);
    ASSERT_EQ(characters.size(), 1u); // the keypad key makes none
    EXPECT_EQ(Numbers(keys[0]).back(), 128);
    const std::vector<int64_t> a = Numbers(keys[1]);
    EXPECT_EQ(std::vector<int64_t>(a.begin() + 1, a.end()), (std::vector<int64_t>{97, 97, 0}));
    EXPECT_EQ(Numbers(characters[0]), a);
}

// Pictures are encoded after the extension ("jpg" alone selects JPEG) and written through a
// descriptor that follows no link, for the user alone.
TEST_F(GtkSkinWindowTest, SavedPicturesFollowTheExtensionAndNoLink) {
    Open("picture-window");
    const struct {
        const char* Name;
        std::string Magic;
    } cases[] = {
        {"shot.png", "\x89PNG"}, {"shot.jpeg", "\x89PNG"}, {"shot.jpg", "\xff\xd8\xff"}, {"shot", "\x89PNG"}};
    for (const auto& c : cases) {
        const std::string path = dir.file(c.Name);
        ASSERT_EQ(SkinWindow_SaveImage(window, path.c_str()), 1) << c.Name;
        EXPECT_EQ(ReadFile(path).substr(0, c.Magic.size()), c.Magic) << c.Name;
        struct stat info = {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << c.Name;
    }
    WriteText(dir.file("kept.txt"), "kept");
    ASSERT_EQ(symlink(dir.file("kept.txt").c_str(), dir.file("link.png").c_str()), 0);
    EXPECT_EQ(SkinWindow_SaveImage(window, dir.file("link.png").c_str()), 0);
    EXPECT_EQ(ReadFile(dir.file("kept.txt")), "kept");
}

// An off-screen browser's frame is drawn unscaled at the top-left corner; a buffer too small for
// its size is refused.
TEST_F(GtkSkinWindowTest, FramesAreDrawnAtTheTopLeftUnscaled) {
    Open("frame-window");
    ASSERT_NE(g_viewChange, nullptr);
    std::string pixels;
    for (int i = 0; i < 20 * 10; i++) pixels += std::string("\x00\x00\xff\xff", 4); // red, opaque
    EXPECT_EQ(
        g_viewChange(window->Browser, g_viewChangeUser, pixels.data(), (int32_t)pixels.size() - 4, 20, 10),
        1);
    Pump(100);
    EXPECT_EQ(fired, std::vector<std::string>{});
    EXPECT_EQ(g_viewChange(window->Browser, g_viewChangeUser, pixels.data(), (int32_t)pixels.size(), 20, 10),
              1);
    EXPECT_TRUE(Fired("ViewChange null"));
    Pump(200);
    ASSERT_EQ(SkinWindow_SaveImage(window, dir.file("frame.bmp").c_str()), 1);
    const std::string bmp = ReadFile(dir.file("frame.bmp"));
    EXPECT_EQ(BmpPixel(bmp, 0, 0), 0xff0000u);
    EXPECT_EQ(BmpPixel(bmp, 19, 9), 0xff0000u);
    EXPECT_NE(BmpPixel(bmp, 20, 9), 0xff0000u);
    EXPECT_NE(BmpPixel(bmp, 19, 10), 0xff0000u);
    EXPECT_NE(BmpPixel(bmp, 200, 150), 0xff0000u);
}

// Only logind is heard: the same signal from any other sender changes nothing.
TEST_F(GtkSkinWindowTest, SleepAndWakeComeFromLogindOnly) {
    Open("sleep-window");
    ASSERT_EQ(system("timeout 10 gdbus emit --system --object-path /org/freedesktop/login1 "
                     "--signal org.freedesktop.login1.Manager.PrepareForSleep true >/dev/null 2>&1"),
              0);
    Pump(300);
    EXPECT_EQ(fired, std::vector<std::string>{});
    WriteText(dir.file("logind.py"), kPlayLogind);
    ASSERT_EQ(system(("timeout 10 /usr/bin/python3 " + dir.file("logind.py")).c_str()), 0);
    EXPECT_TRUE(WaitFor([&] { return fired.size() >= 2; }, [&] { Pump(); }, 5000));
    EXPECT_EQ(fired, (std::vector<std::string>{"Sleep null", "Wake null"}));
}

} // namespace
