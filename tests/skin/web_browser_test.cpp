// The browser dispatchers: the embed rule, the operations that need an embedded browser, the
// verbose lines, the missing-table answers and the task table's install rule.
#include "skin/web_browser.h"

#include <gtest/gtest.h>

#include <functional>

#include "core/runtime/log.h"
#include "tests/skin/test_browser.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"

namespace {

class WebBrowserTest : public LogLinesTest {
  protected:
    WebBrowser* browser = nullptr;

    void SetUp() override {
        LogLinesTest::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        InstallTestAbortHook();
        TestBrowser() = TestBrowserState();
        Log_SetVerboseFilter("");
        GlobalWebBrowserInterface = nullptr;
        ASSERT_EQ(WebBrowser_Init(TestBrowser_GetInterface(), "lib"), 1);
        ASSERT_EQ(WebBrowser_Create(&browser), 1);
        TestBrowser().Calls.clear();
    }
    void TearDown() override {
        WebBrowser_Release(&browser);
        WebBrowser_Remove();
        LogLinesTest::TearDown();
    }
    // The printed texts that contain a "WebBrowser - " line.
    std::vector<std::string> BrowserLines() {
        std::vector<std::string> lines;
        for (const auto& text : printed) {
            const size_t at = text.find("WebBrowser - ");
            if (at != std::string::npos) lines.push_back(text.substr(at));
        }
        return lines;
    }
};

// Every operation that works on a page, with the call the back end receives and the verbose line.
struct PageOperation {
    std::function<int64_t(WebBrowser*)> call;
    const char* received;
    const char* line;  // null: logs nothing
};

const std::vector<PageOperation>& PageOperations() {
    static const std::vector<PageOperation> operations = {
        {[](WebBrowser* b) { return WebBrowser_Navigate(b, "http://x/"); }, "Navigate http://x/",
         "WebBrowser - Navigate - http://x/\n"},
        {[](WebBrowser* b) { return WebBrowser_NotifyMoveOrResizeStarted(b); }, "NotifyMoveOrResizeStarted", nullptr},
        {[](WebBrowser* b) { return WebBrowser_Hide(b); }, "Hide", "WebBrowser - Hide\n"},
        {[](WebBrowser* b) { return WebBrowser_Show(b); }, "Show", "WebBrowser - Show\n"},
        {[](WebBrowser* b) { return WebBrowser_SetSize(b, 640, 480); }, "SetSize 640 480",
         "WebBrowser - SetSize - Width 640 Height 480\n"},
        {[](WebBrowser* b) { return WebBrowser_SetDPI(b, 96, 2); }, "SetDPI 96 2", nullptr},
        {[](WebBrowser* b) { return WebBrowser_WasHidden(b, 1); }, "WasHidden 1", nullptr},
        {[](WebBrowser* b) { return WebBrowser_Invalidate(b); }, "Invalidate", nullptr},
        {[](WebBrowser* b) { return WebBrowser_SetMouseCursorChangeEnabled(b, 0); }, "SetMouseCursorChangeEnabled 0",
         nullptr},
        {[](WebBrowser* b) {
             int32_t on = 5;
             return WebBrowser_IsMouseCursorChangeEnabled(b, &on);
         },
         "IsMouseCursorChangeEnabled", nullptr},
        {[](WebBrowser* b) { return WebBrowser_SetCursor(b, 3); }, "SetCursor 3", nullptr},
        {[](WebBrowser* b) { return WebBrowser_SimulateFocus(b, 1); }, "SimulateFocus 1", "WebBrowser - SimulateFocus 1\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulateCaptureLost(b); }, "SimulateCaptureLost",
         "WebBrowser - SimulateCaptureLost\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulateKeyDown(b, 65, 97, 0, 8); }, "SimulateKeyDown 65 97 0 8",
         "WebBrowser - SimulateKeyDown - VirtualKey 65 Char 97 Extended 0 Modifiers\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulateKeyUp(b, 66, 98, 1, 32); }, "SimulateKeyUp 66 98 1 32",
         "WebBrowser - SimulateKeyUp - VirtualKey 66 Char 98 Extended 1 Modifiers\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulateCharacter(b, 67, 99, 0, 512); }, "SimulateCharacter 67 99 0 512",
         "WebBrowser - SimulateCharacter - VirtualKey 67 Char 99 Extended 0 Modifiers\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulateMouseMove(b, 10, 20, 1, 1); }, "SimulateMouseMove 10 20 1 1",
         "WebBrowser - SimulateMouseMove - X 10 Y 20 Modifiers 1 Leave 1\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulateMouseDown(b, 11, 21, 4); }, "SimulateMouseDown 11 21 4",
         "WebBrowser - SimulateMouseDown - X 11 Y 21 Modifiers 4\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulateMouseUp(b, 12, 22, 2); }, "SimulateMouseUp 12 22 2",
         "WebBrowser - SimulateMouseUp - X 12 Y 22 Modifiers 2\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulateMouseWheel(b, 13, 23, -120); }, "SimulateMouseWheel 13 23 -120",
         "WebBrowser - SimulateMouseWheel - X 13 Y 23 Delta -120\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulateUndo(b); }, "SimulateUndo", "WebBrowser - SimulateUndo\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulateRedo(b); }, "SimulateRedo", "WebBrowser - SimulateRedo\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulateCut(b); }, "SimulateCut", "WebBrowser - SimulateCut\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulateCopy(b); }, "SimulateCopy", "WebBrowser - SimulateCopy\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulatePaste(b); }, "SimulatePaste", "WebBrowser - SimulatePaste\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulateDelete(b); }, "SimulateDelete", "WebBrowser - SimulateDelete\n"},
        {[](WebBrowser* b) { return WebBrowser_SimulateSelectAll(b); }, "SimulateSelectAll",
         "WebBrowser - SimulateSelectAll\n"},
        {[](WebBrowser* b) { return WebBrowser_ExecuteScript(b, "a", "b", nullptr); }, "ExecuteScript", nullptr},
    };
    return operations;
}

TEST_F(WebBrowserTest, EmbedOnceAndUnembedOnlyWhatIsEmbedded) {
    EXPECT_EQ(WebBrowser_Unembed(browser), 1);
    EXPECT_EQ(WebBrowser_Embed(browser, nullptr, nullptr), 1);
    EXPECT_EQ(WebBrowser_Embed(browser, nullptr, nullptr), 1);
    EXPECT_EQ(WebBrowser_CheckEmbed(browser), 1);
    EXPECT_EQ(WebBrowser_Unembed(browser), 1);
    EXPECT_EQ(WebBrowser_CheckEmbed(browser), 0);
    EXPECT_EQ(TestBrowser().Calls, (std::vector<std::string>{"Embed", "Unembed"}));
    // The back end's answer comes through when it embeds.
    TestBrowser().EmbedResult = 0;
    TestBrowser().EmbedAtOnce = 0;
    EXPECT_EQ(WebBrowser_Embed(browser, nullptr, nullptr), 0);
}

TEST_F(WebBrowserTest, PageOperationsNeedAnEmbeddedBrowser) {
    for (const auto& op : PageOperations()) EXPECT_EQ(op.call(browser), 0) << op.received;
    EXPECT_TRUE(TestBrowser().Calls.empty());
    ASSERT_EQ(WebBrowser_Embed(browser, nullptr, nullptr), 1);
    for (const auto& op : PageOperations()) {
        TestBrowser().Calls.clear();
        EXPECT_EQ(op.call(browser), 1) << op.received;
        EXPECT_EQ(TestBrowser().Calls, std::vector<std::string>{op.received});
    }
    // Slots from the view-change callback on go through without the check.
    WebBrowser_Unembed(browser);
    TestBrowser().Calls.clear();
    EXPECT_EQ(WebBrowser_SetViewChangeCallback(browser, nullptr, nullptr), 1);
    EXPECT_EQ(WebBrowser_RunMessagePump(), 1);
    EXPECT_EQ(WebBrowser_QuitMessagePump(), 7);
    EXPECT_EQ(TestBrowser().Calls,
              (std::vector<std::string>{"SetViewChangeCallback", "RunMessagePump", "QuitMessagePump"}));
}

TEST_F(WebBrowserTest, VerboseLinesOnlyAtVerboseLevel) {
    ASSERT_EQ(WebBrowser_Embed(browser, nullptr, nullptr), 1);
    for (const auto& op : PageOperations()) op.call(browser);
    EXPECT_TRUE(BrowserLines().empty());
    WebBrowser_Unembed(browser);
    EXPECT_EQ(BrowserLines(), std::vector<std::string>{"WebBrowser - Unembed\n"});

    printed.clear();
    Log_SetVerboseFilter("WebBrowser");
    ASSERT_EQ(WebBrowser_Init(TestBrowser_GetInterface(), ""), 1);
    ASSERT_EQ(WebBrowser_Embed(browser, nullptr, nullptr), 1);
    std::vector<std::string> expected = {"WebBrowser - Embed\n"};
    for (const auto& op : PageOperations()) {
        op.call(browser);
        if (op.line) expected.push_back(op.line);
    }
    EXPECT_EQ(BrowserLines(), expected);
    Log_SetVerboseFilter("");
}

TEST_F(WebBrowserTest, InitAndRemoveGoThroughTheTable) {
    WebBrowser_Remove();
    EXPECT_EQ(GlobalWebBrowserInterface, nullptr);
    EXPECT_EQ(WebBrowser_Remove(), 1);
    EXPECT_EQ(WebBrowser_QuitMessagePump(), 1);
    TestBrowser().InitResult = 0;
    EXPECT_EQ(WebBrowser_Init(TestBrowser_GetInterface(), "/x/engine"), 0);
    EXPECT_EQ(WebBrowser_Remove(), 1);
    EXPECT_EQ(TestBrowser().Calls, (std::vector<std::string>{"Remove", "Init /x/engine", "Remove"}));
    TestBrowser().InitResult = 1;
    ASSERT_EQ(WebBrowser_Init(TestBrowser_GetInterface(), ""), 1);
}

TEST_F(WebBrowserTest, ProgrammingErrorsStop) {
    int32_t on = 0;
    EXPECT_DEATH(WebBrowser_IsMouseCursorChangeEnabled(browser, nullptr), "Pointer is NULL");
    EXPECT_DEATH(WebBrowser_Init(nullptr, ""), "Pointer is NULL");
    EXPECT_DEATH((GlobalWebBrowserInterface = nullptr, WebBrowser_Navigate(browser, "x")), "Pointer is NULL");
    EXPECT_DEATH((GlobalWebBrowserInterface = nullptr, WebBrowser_IsMouseCursorChangeEnabled(browser, &on)),
                 "Pointer is NULL");
}

// A task table that records what reaches it.
std::vector<std::string> g_taskCalls;
const WebBrowserTaskInterface kRecordingTasks = {
    [](void** task, uint32_t size, WebBrowserTaskFunc, WebBrowserTaskFunc) -> int64_t {
        g_taskCalls.push_back("Create " + std::to_string(size));
        *task = &g_taskCalls;
        return 1;
    },
    [](void*) -> int64_t { return g_taskCalls.push_back("Post"), 1; },
    [](void*, int64_t delay) -> int64_t { return g_taskCalls.push_back("PostDelayed " + std::to_string(delay)), 1; },
    [](void* task) -> void* { return g_taskCalls.push_back("AddRef"), task; },
    [](void*) -> int64_t { return g_taskCalls.push_back("Release"), 1; },
};

TEST_F(WebBrowserTest, TasksReachTheOneInstalledTable) {
    GlobalWebBrowserTaskInterface = nullptr;
    void* task = &printed;
    EXPECT_EQ(WebBrowserTask_Create(&task, 16, nullptr, nullptr), 0);
    EXPECT_EQ(task, nullptr);
    EXPECT_EQ(WebBrowserTask_Post(&printed), 0);
    EXPECT_EQ(WebBrowserTask_PostDelayed(&printed, 5), 0);
    EXPECT_EQ(WebBrowserTask_AddRef(&printed), nullptr);
    EXPECT_EQ(WebBrowserTask_Release(&printed), 0);

    g_taskCalls.clear();
    ASSERT_EQ(WebBrowserTask_SetInterface(&kRecordingTasks), 1);
    EXPECT_EQ(WebBrowserTask_Create(&task, 24, nullptr, nullptr), 1);
    EXPECT_EQ(task, &g_taskCalls);
    EXPECT_EQ(WebBrowserTask_Post(task), 1);
    EXPECT_EQ(WebBrowserTask_PostDelayed(task, 250), 1);
    EXPECT_EQ(WebBrowserTask_AddRef(task), task);
    EXPECT_EQ(WebBrowserTask_Release(task), 1);
    EXPECT_EQ(g_taskCalls, (std::vector<std::string>{"Create 24", "Post", "PostDelayed 250", "AddRef", "Release"}));
    EXPECT_DEATH(WebBrowserTask_SetInterface(&kRecordingTasks),
                 AbortRegex("Assertion failed (GlobalWebBrowserTaskInterface == NULL)\nWebBrowserTask already set up"));
    GlobalWebBrowserTaskInterface = nullptr;
}

} // namespace
