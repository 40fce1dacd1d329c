// Skin windows without a display: configuration, centring, the state machine and its load
// time-out, the close protocol, frame notifications and callbacks into the page.
#include "skin/skin_window.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "skin/skin_window_internal.h"
#include "tests/skin/test_browser.h"
#include "tests/support/dictionary_text.h"
#include "tests/support/log_capture.h"

namespace {

// ---- The owning application, as the tests want it ---------------------------------------------

std::map<std::string, std::string> g_skinFiles;  // path -> bytes; "!copy" fails the read
bool g_main = true;

const SkinWindowAppInterface kApp = {
    [](const char* text, char* out, int32_t capacity) -> int64_t {
        std::string value = text;
        const size_t at = value.find("{Name}");
        if (at != std::string::npos) value.replace(at, 6, "Quarvelon");
        snprintf(out, (size_t)capacity, "%s", value.c_str());
        return 1;
    },
    [](const char* id, Dictionary*, char* url, int32_t capacity) -> int64_t {
        snprintf(url, (size_t)capacity, "http://skin/index.html?window=%s", id);
        return 1;
    },
    [](const char*) -> int64_t { return g_main ? 1 : 0; },
    [](char* text, int32_t capacity) -> int64_t {
        if (strcmp(text, "#title") != 0) return 0;
        snprintf(text, (size_t)capacity, "%s", "{Name} &amp; friends");
        return 1;
    },
    [](const char* path, void** data, uint32_t* length) -> int64_t {
        const auto found = g_skinFiles.find(path);
        if (found == g_skinFiles.end()) return 0;
        if (found->second == "!copy") return -1;
        *length = (uint32_t)found->second.size();
        *data = Memory_Alloc(*length + 1);
        memcpy(*data, found->second.data(), *length);
        return 1;
    },
    [](void* data, uint32_t length) -> int64_t { return Memory_Free(data, length + 1), 1; },
};

// A script class whose instances the tests create on behalf of a window.
int64_t CreateProbe(const char* className, char*, int32_t, void*, InteropExecuteFunc, InteropInvokeFunc* invoke,
                    InteropReleaseFunc* release, InteropProcessFunc* process, void** user) {
    if (strcmp(className, "Test.Probe") != 0) return 0;
    *invoke = [](void*, Dictionary*, Dictionary*) -> int64_t { return 1; };
    *release = [](void** u) -> int64_t { return (*u = nullptr), 1; };
    *process = [](void*) -> int64_t { return 1; };
    *user = nullptr;
    return 1;
}

class SkinWindowEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(Interop_Init(), 1);
        ASSERT_NE(Interop_Add(
                      "probe", +[]() -> int64_t { return 1; }, +[]() -> int64_t { return 1; }, CreateProbe,
                      +[](const char*, void*) -> int64_t { return 1; },
                      +[](const char*, const char*) -> int64_t { return 1; }),
                  nullptr);
        ASSERT_EQ(WebBrowser_Init(TestBrowser_GetInterface(), ""), 1);
        NativeSkinWindow_SetInterface(TestNative_GetInterface());
        SkinWindow_SetAppInterface(&kApp);
        SkinWindow_Init("test");
    }
    void TearDown() override {
        SkinWindow_Remove();
        WebBrowser_Remove();
        Interop_Remove();
        EventQueue_Remove();
        Thread_Remove();
    }
};
::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new SkinWindowEnvironment);

constexpr const char* kNames[] = {"Show", "Hide", "Close", "Move", "Size", "ContextMenuSelect"};

class SkinWindowTest : public LogLinesTest {
  protected:
    SkinWindow* window = nullptr;
    std::vector<std::string> fired;  // "Name {information}"

    void SetUp() override {
        LogLinesTest::SetUp();
        Log_SetLevel(LOG_LEVEL_DEBUG);
        ASSERT_EQ(NotificationCenter_Init(), 1);
        TestBrowser() = TestBrowserState();
        TestNative() = TestNativeState();
        g_skinFiles.clear();
        g_main = true;
        ASSERT_EQ(SkinWindow_Create(&window), 1);
        for (const char* name : kNames) NotificationCenter_AddInstanceObserver("SkinWindow", name, Id(), this, Record);
    }
    void TearDown() override {
        for (const char* name : kNames)
            NotificationCenter_RemoveInstanceObserver("SkinWindow", name, Id(), this, Record);
        Interop_RemoveInstancesActiveInRequester(nullptr);
        Pump();
        if (window) SkinWindow_Release(&window);
        EXPECT_EQ(TestBrowser().Live, 0);
        EXPECT_EQ(TestNative().Live, 0);
        NotificationCenter_Remove();
        Interop_Process();
        LogLinesTest::TearDown();
    }

    const char* Id() { return window->Header.InstanceId; }
    NativeSkinWindow* Native() { return static_cast<NativeSkinWindow*>(SkinWindow_GetNativeHandle(window)); }
    int32_t State() {
        int32_t state = -1;
        SkinWindow_GetState(window, &state);
        return state;
    }

    static int64_t Record(void* user, const char*, const char* name, const char*, Dictionary* info) {
        static_cast<SkinWindowTest*>(user)->fired.push_back(std::string(name) + " " +
                                                            (info ? DictionaryAsJson(info) : "null"));
        return 1;
    }

    // Runs the main queue and the notification centre a few passes.
    void Pump() {
        for (int i = 0; i < 5; i++) {
            EventQueue_Flush(nullptr);
            NotificationCenter_Process();
        }
    }
    // Runs passes until the window's native side is closed, for at most ten seconds.
    bool PumpUntilClosed() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!Native()->Closed && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            Pump();
        }
        return Native()->Closed == 1;
    }

    void Load(const char* json) {
        Dictionary* config = nullptr;
        JSON* parser = nullptr;
        Dictionary_Create(&config);
        JSON_Create(&parser);
        JSON_SetDictionaryHandle(parser, config);
        ASSERT_EQ(JSON_LoadString(parser, "%s", json), 1) << json;
        JSON_Release(&parser);
        EXPECT_EQ(SkinWindow_LoadConfig(window, config), 1);
        Dictionary_Release(&config);
    }

    // Loads, embeds and navigates: state 1 with the page running.
    void Open(const char* json = "{}") {
        Load(json);
        ASSERT_EQ(SkinWindow_Process(window), 1);
        ASSERT_EQ(State(), SKINWINDOW_STATE_NAVIGATED);
        Pump();
        fired.clear();
        TestBrowser().Calls.clear();
    }

    std::string Config(const char* path) {
        char value[320];
        SkinWindow_GetConfig(window, path, "(none)", value, sizeof(value));
        return value;
    }

    std::string CreateInstance() {
        char id[40] = "";
        EXPECT_EQ(Interop_DispatchCreateInstance("Test.Probe", id, sizeof(id), window, nullptr, nullptr), 1);
        return id;
    }

    bool Logged(const std::string& line) {
        for (const auto& text : printed)
            if (text.find(line) != std::string::npos) return true;
        return false;
    }
};

TEST_F(SkinWindowTest, ConfigurationOverDefaults) {
    const struct {
        const char* json;
        int32_t width, height, frame;
        const char* title;
    } cases[] = {
        {"{}", 600, 400, 0, "Host"},
        {"{\"minWidth\": 0, \"minHeight\": -5}", 1, 1, 0, "Host"},
        {"{\"MINWIDTH\": 700, \"windowframe\": \"resizable\"}", 700, 400, 3, "Host"},
        {"{\"windowFrame\": \"POPUP\", \"title\": \"A &lt;b&gt; {Name}\"}", 600, 400, 2, "A <b> Quarvelon"},
        {"{\"windowFrame\": \"Borderless\", \"title\": \"#title\"}", 600, 400, 1, "Quarvelon & friends"},
        {"{\"windowFrame\": \"Fancy\", \"minWidth\": 4294967297}", 2147483647, 400, 0, "Host"},
        // Values of the wrong type leave the defaults.
        {"{\"minWidth\": \"wide\", \"minHeight\": [1], \"title\": {\"a\": 1}, \"windowFrame\": 3}", 600, 400, 0, "Host"},
        // A root that is not an object holds no settings.
        {"[{\"minHeight\": 300}]", 600, 400, 0, "Host"},
        {"\"text\"", 600, 400, 0, "Host"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        SkinWindow_Release(&window);
        ASSERT_EQ(SkinWindow_Create(&window), 1);
        Load(c.json);
        int32_t width = 0, height = 0;
        EXPECT_EQ(SkinWindow_GetWidth(window, &width), 1);
        EXPECT_EQ(SkinWindow_GetHeight(window, &height), 1);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, c.height);
        EXPECT_EQ(Native()->Frame, c.frame);
        char title[320];
        EXPECT_EQ(SkinWindow_GetTitle(window, title, sizeof(title)), 1);
        EXPECT_STREQ(title, c.title);
        EXPECT_EQ(State(), SKINWINDOW_STATE_EMBEDDING);
    }
}

TEST_F(SkinWindowTest, ConfigurationReadByPath) {
    Load("{\"cef\": {\"webGl\": true}, \"text\": \"caf&#233;\", \"popupFrame\": \"RESIZABLE\", \"url\": \"x\"}");
    const std::pair<const char*, const char*> cases[] = {
        {"cef.webGl", "true"},          {"cef.webSecurity", "true"}, {"cef.databases", "false"},
        {"windows.useNotificationArea", "false"}, {"text", "caf\xc3\xa9"}, {"title", "Host"},
        {"missing", "(none)"},          {"cef.missing", "(none)"},   {"url", "x"},
    };
    for (const auto& c : cases) EXPECT_EQ(Config(c.first), c.second) << c.first;
    char frame[32];
    SkinWindow_GetPopupFrame(window, frame, sizeof(frame));
    EXPECT_STREQ(frame, "RESIZABLE");
    Load("{\"popupFrame\": \"Popup\"}");
    SkinWindow_GetPopupFrame(window, frame, sizeof(frame));
    EXPECT_STREQ(frame, "Normal");
    // The whole configuration reaches the browser's embed.
    Dictionary* config = nullptr;
    ASSERT_EQ(SkinWindow_GetConfigHandle(window, &config), 1);
    EXPECT_EQ(TestBrowser().Calls, (std::vector<std::string>{"Create", "Embed"}));
}

TEST_F(SkinWindowTest, SpriteSheetFailuresAreLoggedAndTheWindowGoesOn) {
    g_skinFiles = {{"images/good.png", "IMG 64 32"}, {"images/bad.png", "garbage"}, {"images/cut.png", "!copy"}};
    const std::pair<const char*, const char*> cases[] = {
        {"{Name}.png", "Unable to open sprite sheet (Quarvelon.png)\n"},
        {"images/cut.png", "Unable to copy sprite sheet (images/cut.png)\n"},
        {"images/bad.png", "Unable to read sprite sheet (images/bad.png)\n"},
        {"images/good.png", nullptr},
    };
    for (const auto& c : cases) {
        printed.clear();
        Load(("{\"spriteSheet\": \"" + std::string(c.first) + "\"}").c_str());
        EXPECT_EQ(State(), SKINWINDOW_STATE_EMBEDDING);
        if (c.second) {
            EXPECT_TRUE(Logged(c.second)) << c.first;
        } else {
            EXPECT_FALSE(Logged("sprite sheet")) << c.first;
        }
    }
    EXPECT_NE(window->SpriteSheet, nullptr);
}

TEST_F(SkinWindowTest, CentredInTheScreenOrTheViewport) {
    Load("{}");
    Pump();
    EXPECT_EQ(fired, std::vector<std::string>{"Move \"frameNotification\":true,\"x\":660,\"y\":340"});
    int32_t x = -1, y = -1;
    SkinWindow_GetX(window, &x);
    SkinWindow_GetY(window, &y);
    EXPECT_EQ(x, 660);
    EXPECT_EQ(y, 340);
    SkinWindow_SetViewportSizeCallback(
        window,
        [](void*, SkinWindow*, int32_t* w, int32_t* h) -> int64_t {
            *w = 800;
            *h = 300;
            return 1;
        },
        nullptr);
    fired.clear();
    EXPECT_EQ(SkinWindow_Center(window), 1);
    Pump();
    EXPECT_EQ(fired, std::vector<std::string>{"Move \"frameNotification\":true,\"x\":100,\"y\":0"});
    SkinWindow_SetCanMove(window, 0);
    SkinWindow_SetViewportSizeCallback(window, [](void*, SkinWindow*, int32_t*, int32_t*) -> int64_t { return 1; },
                                       nullptr);
    EXPECT_EQ(SkinWindow_Center(window), 1);
    SkinWindow_GetX(window, &x);
    EXPECT_EQ(x, 100);
    SkinWindow_SetViewportSizeCallback(window, [](void*, SkinWindow*, int32_t*, int32_t*) -> int64_t { return 0; },
                                       nullptr);
    EXPECT_EQ(SkinWindow_Center(window), 0);
}

TEST_F(SkinWindowTest, EmbedsNavigatesAndTearsDown) {
    TestBrowser().EmbedAtOnce = 0;
    TestBrowser().DeferUnembed = 1;
    SkinWindow_Release(&window);
    ASSERT_EQ(SkinWindow_Create(&window), 1);
    Load("{}");
    EXPECT_EQ(SkinWindow_Process(window), 1);
    EXPECT_EQ(State(), SKINWINDOW_STATE_EMBEDDING);
    // The back end finishes embedding later.
    WebBrowser* embedded = window->Browser;
    embedded->Embedded = 1;
    TestBrowser().Calls.clear();
    EXPECT_EQ(SkinWindow_Process(window), 1);
    EXPECT_EQ(State(), SKINWINDOW_STATE_NAVIGATED);
    EXPECT_EQ(TestBrowser().Calls,
              std::vector<std::string>{"Navigate http://skin/index.html?window=" + std::string(Id())});
    SkinWindow_Loaded(window);
    EXPECT_EQ(SkinWindow_SetCanClose(window, 1), 1);
    SkinWindow_Close(window);
    EXPECT_EQ(State(), SKINWINDOW_STATE_UNEMBEDDING);
    EXPECT_EQ(SkinWindow_Process(window), 1);
    EXPECT_EQ(State(), SKINWINDOW_STATE_UNEMBEDDING);
    TestBrowser_FinishUnembed(embedded);
    CreateInstance();
    EXPECT_EQ(SkinWindow_Process(window), 1);
    EXPECT_EQ(State(), SKINWINDOW_STATE_CLOSED);
    EXPECT_EQ(Interop_InstancesActiveInRequester(window), 1);
    EXPECT_EQ(SkinWindow_Process(window), 0);
    EXPECT_EQ(Interop_InstancesActiveInRequester(window), 0);
}

TEST_F(SkinWindowTest, LoadTimeOut) {
    const struct {
        const char* json;
        bool main, loaded, visible;
        bool timedOut;
    } cases[] = {
        {"{\"loadTimeout\": 5}", true, false, false, true},
        {"{\"loadTimeout\": 5}", true, true, false, false},
        {"{\"loadTimeout\": 5}", false, false, false, false},
        {"{\"loadTimeout\": 5}", true, false, true, false},
        {"{\"loadTimeout\": 0}", true, false, false, false},
        {"{\"loadTimeout\": -3}", true, false, false, false},
        {"{\"loadTimeout\": 120}", true, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.json) + (c.main ? " main" : "") + (c.loaded ? " loaded" : "") +
                     (c.visible ? " visible" : ""));
        SkinWindow_Release(&window);
        ASSERT_EQ(SkinWindow_Create(&window), 1);
        g_main = c.main;
        Open(c.json);
        printed.clear();
        TestNative().MessageBoxes.clear();
        if (c.loaded) SkinWindow_Loaded(window);
        Native()->Visible = c.visible;
        window->LoadStart -= 60;
        EXPECT_EQ(SkinWindow_Process(window), 1);
        EXPECT_EQ(State(), c.timedOut ? SKINWINDOW_STATE_UNEMBEDDING : SKINWINDOW_STATE_NAVIGATED);
        EXPECT_EQ(Logged("Timeout waiting for window to load\n"), c.timedOut);
        EXPECT_EQ(TestNative().MessageBoxes, c.timedOut ? std::vector<std::string>{"Timeout waiting for window to load|Host|16"}
                                                        : std::vector<std::string>{});
        EXPECT_EQ(TestBrowser().Calls, c.timedOut ? std::vector<std::string>{"Unembed"} : std::vector<std::string>{});
    }
    // A window that never embeds times out in state 0 too, and ends like a closed one.
    SkinWindow_Release(&window);
    TestBrowser().EmbedAtOnce = 0;
    ASSERT_EQ(SkinWindow_Create(&window), 1);
    Load("{\"loadTimeout\": 1}");
    window->LoadStart -= 2;
    EXPECT_EQ(SkinWindow_Process(window), 1);
    EXPECT_EQ(State(), SKINWINDOW_STATE_UNEMBEDDING);
    EXPECT_EQ(SkinWindow_Process(window), 1);
    EXPECT_EQ(SkinWindow_Process(window), 0);
}

TEST_F(SkinWindowTest, UnknownStateIsLogged) {
    Open();
    window->State = 7;
    EXPECT_EQ(SkinWindow_Process(window), 1);
    EXPECT_TRUE(Logged("Unknown state in SkinWindow (7)"));
}

TEST_F(SkinWindowTest, ClosingAskTheLoadedPageFirst) {
    // A window still embedding ignores a close.
    Load("{}");
    SkinWindow_Close(window);
    TestNative_UserClose(Native());
    EXPECT_EQ(State(), SKINWINDOW_STATE_EMBEDDING);
    EXPECT_EQ(Native()->Closed, 0);

    Open();
    SkinWindow_Loaded(window);
    SkinWindow_Close(window);
    Pump();
    TestNative_UserClose(Native());
    EXPECT_EQ(fired, (std::vector<std::string>{"Close \"frameNotification\":false",
                                                "Close \"frameNotification\":true"}));
    EXPECT_EQ(State(), SKINWINDOW_STATE_NAVIGATED);
    EXPECT_TRUE(TestBrowser().Calls.empty());
    SkinWindow_SetCanClose(window, 1);
    SkinWindow_Close(window);
    EXPECT_EQ(State(), SKINWINDOW_STATE_UNEMBEDDING);
    EXPECT_EQ(Native()->Closed, 1);
    EXPECT_EQ(TestBrowser().Calls, std::vector<std::string>{"Unembed"});
    // Once closed, further closes do nothing.
    SkinWindow_Close(window);
    TestNative_UserClose(Native());
    EXPECT_EQ(TestBrowser().Calls, std::vector<std::string>{"Unembed"});
}

TEST_F(SkinWindowTest, CloseWaitsForScriptInstances) {
    Open();
    const std::string id = CreateInstance();
    TestNative_UserClose(Native());
    Pump();
    EXPECT_EQ(State(), SKINWINDOW_STATE_NAVIGATED);
    EXPECT_EQ(Native()->Closed, 0);
    // The retry goes on while the instance lives, and closes once it is gone.
    ASSERT_EQ(Interop_DispatchReleaseInstance(id.c_str()), 1);
    Interop_Process();
    EXPECT_EQ(Interop_InstancesActiveInRequester(window), 0);
    EXPECT_TRUE(PumpUntilClosed());
    EXPECT_EQ(State(), SKINWINDOW_STATE_UNEMBEDDING);
    EXPECT_FALSE(Logged("leaked"));
}

TEST_F(SkinWindowTest, CloseGivesUpWaitingAfterThirtySeconds) {
    Open();
    CreateInstance();
    CreateInstance();
    TestNative_UserClose(Native());
    EXPECT_EQ(Native()->Closed, 0);
    window->CloseWaitStart -= 31;
    EXPECT_TRUE(PumpUntilClosed());
    EXPECT_TRUE(Logged("2 native instance(s) leaked\n"));
    EXPECT_EQ(State(), SKINWINDOW_STATE_UNEMBEDDING);
}

TEST_F(SkinWindowTest, FrameNotificationTellsThePageFromTheUser) {
    Open();
    EXPECT_EQ(SkinWindow_SetSize(window, -1, 10), 0);
    EXPECT_EQ(SkinWindow_SetSize(window, 640, 480), 1);
    EXPECT_EQ(SkinWindow_Show(window), 1);
    Pump();
    TestNative_UserResize(Native(), 800, 600);
    SkinWindow_SetOrigin(window, 5, 6);
    Pump();
    EXPECT_EQ(fired, (std::vector<std::string>{
                         "Show \"frameNotification\":false",
                         "Size \"frameNotification\":false,\"width\":640,\"height\":480",
                         "Size \"frameNotification\":true,\"width\":800,\"height\":600",
                         "Move \"frameNotification\":false,\"x\":5,\"y\":6",
                     }));
}

// The page's calls are served while the main queue is flushed: the frame changes it orders must
// not add to that queue, and their flag still comes back for the user's changes.
TEST_F(SkinWindowTest, FrameChangesThePageOrdersAddNothingToTheQueue) {
    Open();
    fired.clear();
    EventQueue_Add(nullptr, window, nullptr, 0, [](void* instance, void*) {
        SkinWindow* w = static_cast<SkinWindow*>(instance);
        SkinWindow_SetOrigin(w, 5, 6);
        SkinWindow_SetSize(w, 640, 480);
        SkinWindow_Show(w);
    });
    EventQueue_Flush(nullptr);
    EXPECT_FALSE(Logged("Detected an increase of event queue"));
    Pump();
    TestNative_UserResize(Native(), 800, 600);
    Pump();
    ASSERT_FALSE(fired.empty());
    EXPECT_EQ(fired.back(), "Size \"frameNotification\":true,\"width\":800,\"height\":600");
}

TEST_F(SkinWindowTest, ScriptCallbacksReachThePageAndStallsAreLogged) {
    Load("{}");
    TestBrowser().EmbedAtOnce = 0;
    Open();
    EXPECT_EQ(SkinWindow_ExecuteScript(window, "cb(1)", "ctx", nullptr), 1);
    EXPECT_EQ(TestBrowser().LastScript, "cb(1)|ctx");
    EXPECT_FALSE(Logged("stalling"));
    TestBrowser().ScriptDelayMs = 1100;
    EXPECT_EQ(SkinWindow_ExecuteScript(window, "slow()", "two", nullptr), 1);
    EXPECT_TRUE(Logged("One of the javascript callbacks is stalling the ui thread (slow()) (two)\n"));
}

TEST_F(SkinWindowTest, EmergencyCloseAndCursor) {
    Open("{\"windowFrame\": \"Popup\"}");
    CreateInstance();
    EXPECT_EQ(SkinWindow_SetReadyEmergencyClose(window), 1);
    uint32_t canClose = 0;
    SkinWindow_GetCanClose(window, &canClose);
    EXPECT_EQ(canClose, 1u);
    EXPECT_EQ(Native()->Frame, 0);
    EXPECT_EQ(Interop_InstancesActiveInRequester(window), 0);

    // The cursor changes only on a visible window; names are compared without case, unknown
    // names are "auto".
    EXPECT_EQ(SkinWindow_SetCursor(window, "pointer"), 1);
    Native()->Visible = 1;
    for (const char* name : {"pointer", "w-resize", "Pointer", "Not-Allowed", "nonsense", "hand"})
        SkinWindow_SetCursor(window, name);
    EXPECT_EQ(TestNative().Cursors, (std::vector<std::string>{"8", "23", "8", "7", "0", "0"}));
    // Changes that do not come from the window itself stay out while the gate is on.
    EXPECT_EQ(NativeWindow_SetCursor(Native(), 11), 1);
    EXPECT_EQ(TestNative().Cursors.size(), 6u);
    SkinWindow_SetCursorChangeCallback(
        window, [](void*, SkinWindow*, const char* name) -> int64_t { return strcmp(name, "wait") == 0 ? 5 : 0; },
        nullptr);
    EXPECT_EQ(SkinWindow_SetCursor(window, "wait"), 5);
    EXPECT_EQ(TestNative().Cursors.size(), 6u);
}

TEST_F(SkinWindowTest, PicturesFromTheSpriteSheet) {
    using SetFunc = int64_t (*)(SkinWindow*, int32_t, int32_t, int32_t, int32_t);
    const SetFunc all[] = {SkinWindow_SetBigIcon, SkinWindow_SetTaskbarOverlay, SkinWindow_SetSmallIcon,
                           SkinWindow_SetNotificationAreaIcon};
    Load("{}");
    for (SetFunc set : all) EXPECT_EQ(set(window, 0, 0, 8, 8), 0);
    g_skinFiles = {{"sheet.png", "IMG 64 32"}};
    Load("{\"spriteSheet\": \"sheet.png\"}");
    const struct {
        int32_t x, y, width, height;
        int64_t result;
        int32_t iconWidth;  // of the big icon afterwards, -1 for none
    } cases[] = {
        {0, 0, 16, 16, 1, 16}, {48, 16, 16, 16, 1, 16}, {49, 0, 16, 16, 0, 16}, {0, 17, 16, 16, 0, 16},
        {-1, 0, 16, 16, 0, 16}, {0, 0, -2, 16, 0, 16},  {0, 0, 0, 16, 1, -1},   {60, 30, 4, 2, 1, 4},
        {0, 0, 64, 32, 1, 64},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y) + " " + std::to_string(c.width) + "x" +
                     std::to_string(c.height));
        EXPECT_EQ(SkinWindow_SetBigIcon(window, c.x, c.y, c.width, c.height), c.result);
        EXPECT_EQ(Native()->BigIcon ? Native()->BigIcon->Width : -1, c.iconWidth);
    }
    EXPECT_EQ(SkinWindow_SetTaskbarOverlay(window, 1, 2, 3, 4), 1);
    EXPECT_EQ(Native()->Overlay->Height, 4);
    EXPECT_EQ(SkinWindow_SetTaskbarOverlay(window, 1, 2, 3, 0), 1);
    EXPECT_EQ(Native()->Overlay, nullptr);
    EXPECT_EQ(SkinWindow_SetSmallIcon(window, 500, 500, 9, 9), 1);
    EXPECT_EQ(SkinWindow_SetNotificationAreaIcon(window, 0, -1, 9, 9), 0);
}

TEST_F(SkinWindowTest, DockMenu) {
    Load("{}");
    EXPECT_EQ(SkinWindow_SetContextMenuSelect(window, 1, 1), 0);
    EXPECT_EQ(SkinWindow_SetContextMenu(window, "[{\"id\": 1, \"text\": \"One\"}, {\"id\": 2}]"), 1);
    ASSERT_NE(Native()->Menu, nullptr);
    EXPECT_EQ(SkinWindow_SetContextMenuSelect(window, 2, 7), 1);
    EXPECT_EQ(Native()->Menu->Selected, std::vector<std::string>{"2 1"});
    SkinWindow_ContextMenuSelect(window, 2);
    EXPECT_EQ(fired, std::vector<std::string>{"ContextMenuSelect \"id\":2"});
    EXPECT_FALSE(Logged("Unable to parse json"));
    // Text that does not parse clears the menu and is logged.
    EXPECT_EQ(SkinWindow_SetContextMenu(window, "[{\"id\": 1,"), 0);
    EXPECT_EQ(Native()->Menu, nullptr);
    EXPECT_TRUE(Logged("Unable to parse json ContextMenu\n"));
    EXPECT_EQ(SkinWindow_SetContextMenuSelect(window, 1, 0), 0);
}

} // namespace
