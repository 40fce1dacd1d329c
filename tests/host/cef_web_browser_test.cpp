// The CEF back end's browser table against a recording engine: what each operation asks of the
// browser host, the settings of a new browser, and the life of browser tasks.
#include "host/cef/cef_web_browser.h"

#include <gtest/gtest.h>

#include <functional>

#include "core/runtime/dictionary.h"
#include "tests/host/cef_fakes_browser.h"
#include "workflow/workflow_app.h"

namespace {

using Strings = std::vector<std::string>;

class CefWebBrowserTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(WorkflowApp_Init("cef_web_browser_test.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        CEFBrowserEngine_Set(&engine);
        engine.browser = engineBrowser;
    }
    void TearDown() override {
        if (browser) {
            // The engine reports the close the unembed asked for.
            if (CEF5414CEFWebBrowser_Unembed(browser) && engine.client) engine.client->on_before_close(engineBrowser);
            engine.DropClient();
            CEF5414CEFWebBrowser_Release(&browser);
        }
        engine.DropTasks();
        CEFBrowserEngine_Set(nullptr);
        WorkflowApp_Remove(nullptr);
        EXPECT_TRUE(arena.Balanced());
    }
    void Embed(bool offscreen, Dictionary* config = nullptr) {
        Dictionary* app = nullptr;
        WorkflowApp_GetConfigHandle(&app);
        Dictionary_SetBooleanByPath(app, "cef.offscreenRender", offscreen ? 1 : 0);
        ASSERT_EQ(CEF5414CEFWebBrowser_Create(&browser), 1);
        ASSERT_EQ(CEF5414CEFWebBrowser_Embed(browser, nullptr, config), 1);
        log.Take();
    }

    FakeArena arena;
    FakeLog log;
    std::string windowName = "main";
    FakeBrowserHost* host = arena.Make<FakeBrowserHost>(&log, &windowName, nullptr);
    FakePageFrame* mainFrame = arena.Make<FakePageFrame>(&arena, &log, "https://a.skin/", true);
    FakeHostBrowser* engineBrowser = arena.Make<FakeHostBrowser>(&arena, host, mainFrame);
    FakeBrowserEngine engine{&arena, &log};
    WebBrowser* browser = nullptr;
};

TEST(CefWebBrowserModifiers, EngineFlagsOfTheModifierBits) {
    struct Case {
        uint32_t bits, event, key;
    } cases[] = {
        {0, 0, 0},
        {8, 2, 2},
        {32, 4, 4},
        {16, 8, 8},
        {64, 128, 128},
        {512, 0, 1},
        {128 | 256, 0, 0},
        {1 | 2 | 4, 16, 0},
        {4 | 2, 64, 0},
        {2, 32, 0},
        {8 | 16 | 32 | 64 | 512 | 4, 2 | 4 | 8 | 128 | 64, 2 | 4 | 8 | 128 | 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CEFWebBrowser_GetEventModifiers(c.bits), c.event) << c.bits;
        EXPECT_EQ(CEFWebBrowser_GetKeyModifiers(c.bits), c.key) << c.bits;
    }
}

TEST_F(CefWebBrowserTest, InputReachesTheHostInLogicalUnits) {
    Embed(true);
    ASSERT_EQ(CEF5414CEFWebBrowser_SetDPI(browser, 192, 0), 1);
    EXPECT_EQ(log.Take(), Strings{"notify_screen_info_changed"});
    struct Case {
        std::function<int64_t()> call;
        int64_t result;
        Strings asked;
    } cases[] = {
        {[&] { return CEF5414CEFWebBrowser_SimulateMouseDown(browser, 100, 50, 5); }, 1, {"click 50,25 16 0 0 1"}},
        {[&] { return CEF5414CEFWebBrowser_SimulateMouseUp(browser, 100, 51, 4 | 2); }, 1, {"click 50,25 64 2 1 1"}},
        {[&] { return CEF5414CEFWebBrowser_SimulateMouseDown(browser, 3, 3, 2 | 8); }, 1, {"click 1,1 34 1 0 1"}},
        {[&] { return CEF5414CEFWebBrowser_SimulateMouseDown(browser, 1, 1, 8 | 512); }, 0, {}},
        {[&] { return CEF5414CEFWebBrowser_SimulateMouseMove(browser, -9, 20, 8 | 1, 1); }, 1, {"move -4,10 18 1"}},
        {[&] { return CEF5414CEFWebBrowser_SimulateMouseWheel(browser, 7, 9, -120); }, 1, {"wheel 3,4 0 0 -120"}},
        {[&] { return CEF5414CEFWebBrowser_SimulateKeyDown(browser, 65, 97, 66, 8 | 512 | 1); }, 1, {"key 1 3 65 97 66"}},
        {[&] { return CEF5414CEFWebBrowser_SimulateKeyUp(browser, 65, 97, 66, 64 | 128); }, 1, {"key 2 128 65 97 66"}},
        {[&] { return CEF5414CEFWebBrowser_SimulateCharacter(browser, 0, 233, 0, 0); }, 1, {"key 3 0 0 233 0"}},
        {[&] { return CEF5414CEFWebBrowser_SimulateCaptureLost(browser); }, 1, {"send_capture_lost_event"}},
        {[&] { return CEF5414CEFWebBrowser_SimulateUndo(browser); }, 1, {"undo"}},
        {[&] { return CEF5414CEFWebBrowser_SimulateDelete(browser); }, 1, {"del"}},
        {[&] { return CEF5414CEFWebBrowser_SimulateSelectAll(browser); }, 1, {"select_all"}},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        EXPECT_EQ(cases[i].call(), cases[i].result) << i;
        EXPECT_EQ(log.Take(), cases[i].asked) << i;
    }
}

TEST_F(CefWebBrowserTest, SizeAndVisibilityReachOnlyAWindowlessBrowser) {
    const auto run = [&] {
        CEF5414CEFWebBrowser_SetSize(browser, 100, 50);
        CEF5414CEFWebBrowser_SetSize(browser, 100, 50);
        CEF5414CEFWebBrowser_Hide(browser);
        CEF5414CEFWebBrowser_SimulateFocus(browser, 1);
        CEF5414CEFWebBrowser_SetSize(browser, 100, 50);
        CEF5414CEFWebBrowser_Show(browser);
        CEF5414CEFWebBrowser_SimulateFocus(browser, 1);
        CEF5414CEFWebBrowser_WasHidden(browser, 1);
        CEF5414CEFWebBrowser_Invalidate(browser);
        CEF5414CEFWebBrowser_NotifyMoveOrResizeStarted(browser);
        return log.Take();
    };
    Embed(true);
    EXPECT_EQ(run(), (Strings{"was_resized", "set_focus 0", "was_hidden 1", "was_resized", "was_hidden 0",
                              "set_focus 1", "set_focus 1", "was_hidden 1", "invalidate 0",
                              "notify_move_or_resize_started"}));
    TearDown();
    SetUp();
    Embed(false);
    EXPECT_EQ(run(), Strings{"notify_move_or_resize_started"});
}

TEST_F(CefWebBrowserTest, EmbedSettingsFromTheWindowConfiguration) {
    struct Case {
        std::vector<std::pair<const char*, uint32_t>> keys;
        int32_t webGl, localStorage, databases;
    } cases[] = {
        {{}, STATE_DEFAULT, STATE_DISABLED, STATE_DISABLED},
        {{{"cef.webGl", 0}}, STATE_DISABLED, STATE_DISABLED, STATE_DISABLED},
        {{{"cef.webGl", 0}, {"cef.enableWebGl", 1}}, STATE_ENABLED, STATE_DISABLED, STATE_DISABLED},
        {{{"cef.localStorage", 1}, {"cef.databases", 1}}, STATE_DEFAULT, STATE_ENABLED, STATE_ENABLED},
        {{{"cef.databases", 1}, {"cef.enableDatabases", 0}}, STATE_DEFAULT, STATE_DISABLED, STATE_DISABLED},
    };
    for (const Case& c : cases) {
        Dictionary* config = nullptr;
        Dictionary_Create(&config);
        for (const auto& [key, value] : c.keys) Dictionary_SetBooleanByPath(config, key, value);
        WebBrowser* made = nullptr;
        ASSERT_EQ(CEF5414CEFWebBrowser_Create(&made), 1);
        ASSERT_EQ(CEF5414CEFWebBrowser_Embed(made, nullptr, config), 1);
        EXPECT_EQ(log.Take()[0], "create CefBrowserWindow 0x0 windowless 0 about:blank");
        const CEFBrowserSettings& s = engine.settings;
        EXPECT_EQ((Strings{std::to_string(s.JavascriptCloseWindows), std::to_string(s.JavascriptDomPaste),
                           std::to_string(s.TextAreaResize), std::to_string(s.WebGl), std::to_string(s.LocalStorage),
                           std::to_string(s.Databases)}),
                  (Strings{"1", "2", "2", std::to_string(c.webGl), std::to_string(c.localStorage),
                           std::to_string(c.databases)}));
        engine.client->on_before_close(engineBrowser);
        engine.DropClient();
        CEF5414CEFWebBrowser_Release(&made);
        Dictionary_Release(&config);
    }
}

TEST_F(CefWebBrowserTest, NavigateAndUnembed) {
    engine.browser = nullptr;
    Embed(false);
    EXPECT_EQ(CEF5414CEFWebBrowser_CheckEmbed(browser), 0);
    EXPECT_EQ(CEF5414CEFWebBrowser_CEFWebBrowser(browser, "https://a.skin/index.html"), 0);
    // Without an engine browser the handler goes at once and nothing is left to unembed.
    EXPECT_EQ(CEF5414CEFWebBrowser_Unembed(browser), 0);
    EXPECT_EQ(CEF5414CEFWebBrowser_Unembed(browser), 0);
    CEF5414CEFWebBrowser_Release(&browser);

    engine.browser = engineBrowser;
    Embed(false);
    EXPECT_EQ(CEF5414CEFWebBrowser_CheckEmbed(browser), 1);
    EXPECT_EQ(CEF5414CEFWebBrowser_CEFWebBrowser(browser, "https://a.skin/index.html"), 1);
    EXPECT_EQ(log.Take(), Strings{"load https://a.skin/index.html"});
    EXPECT_EQ(CEF5414CEFWebBrowser_Unembed(browser), 1);
    EXPECT_EQ(log.Take(), (Strings{"close_dev_tools", "close_browser 1"}));
    // Embedded until the engine reports the close.
    EXPECT_EQ(CEF5414CEFWebBrowser_CheckEmbed(browser), 1);
    engine.client->on_before_close(engineBrowser);
    EXPECT_EQ(CEF5414CEFWebBrowser_CheckEmbed(browser), 0);
    EXPECT_EQ(CEF5414CEFWebBrowser_ExecuteScript(browser, "a", "b", nullptr), 0);
    EXPECT_EQ(CEF5414CEFWebBrowser_Unembed(browser), 0);
    EXPECT_TRUE(log.Take().empty());
}

std::vector<std::string> g_views;
int64_t RecordView(WebBrowser* browser, void* user, const void* pixels, int32_t size, int32_t width, int32_t height) {
    g_views.push_back(std::string(browser && user == browser ? "self " : "other ") +
                      std::to_string(static_cast<const uint8_t*>(pixels)[4]) + " " + std::to_string(size) + " " +
                      std::to_string(width) + "x" + std::to_string(height));
    return 1;
}

TEST_F(CefWebBrowserTest, PaintedFramesReachTheViewCallbackButEmptyOnesDoNot) {
    Embed(true);
    g_views.clear();
    ASSERT_EQ(CEF5414CEFWebBrowser_SetViewChangeCallback(browser, browser, RecordView), 1);
    const uint8_t pixels[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const CEFRect all{0, 0, 2, 1};
    engine.client->on_paint(engineBrowser, PET_VIEW, 1, &all, pixels, 2, 1);
    engine.client->on_paint(engineBrowser, PET_VIEW, 0, nullptr, nullptr, 0, 1);
    EXPECT_EQ(g_views, Strings{"self 5 8 2x1"});
    // An unembedding browser stops reporting frames at once.
    CEF5414CEFWebBrowser_Unembed(browser);
    engine.client->on_paint(engineBrowser, PET_VIEW, 1, &all, pixels, 2, 1);
    EXPECT_EQ(g_views.size(), 1u);
    engine.client->on_before_close(engineBrowser);
}

struct TaskCounts {
    int executed = 0, deleted = 0;
};

void CountExecute(void* data) { (*static_cast<TaskCounts**>(data))->executed++; }
void CountDelete(void* data) { (*static_cast<TaskCounts**>(data))->deleted++; }

TEST_F(CefWebBrowserTest, TaskDeleteRunsOnlyForTasksThatNeverRan) {
    enum Fate { Unposted, Ran, Dropped };
    struct Case {
        Fate fate;
        int executed, deleted;
    } cases[] = {{Unposted, 0, 1}, {Ran, 1, 0}, {Dropped, 0, 1}};
    for (const Case& c : cases) {
        TaskCounts counts;
        void* task = nullptr;
        ASSERT_EQ(CEFWebBrowserTask_CreateWithSize(&task, sizeof(TaskCounts*), CountExecute, CountDelete), 1);
        *static_cast<TaskCounts**>(task) = &counts;
        EXPECT_EQ(CEFWebBrowserTask_AddRef(task), task);
        CEFWebBrowserTask_Release(task);
        if (c.fate != Unposted) {
            EXPECT_EQ(CEFWebBrowserTask_PostDelayed(task, 25), 1);
        }
        CEFWebBrowserTask_Release(task);
        if (c.fate == Ran) {
            EXPECT_EQ(engine.RunTasks(), 1u);
        }
        engine.DropTasks();
        EXPECT_EQ(counts.executed, c.executed) << c.fate;
        EXPECT_EQ(counts.deleted, c.deleted) << c.fate;
    }
    EXPECT_EQ(log.Take(), (Strings{"post 0 25", "post 0 25"}));
}

} // namespace
