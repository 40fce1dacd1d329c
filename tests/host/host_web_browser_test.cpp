// Back-end choice at start-up and the main loop's browser tasks.
#include "host/host_web_browser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "skin/web_browser.h"
#include "tests/skin/test_browser.h"
#include "tests/support/log_capture.h"

// This program carries a CEF back end of its own, so that the choice can pick it.
const WebBrowserInterface* CEF5414CEFWebBrowser_GetInterface() {
    static WebBrowserInterface table = *TestBrowser_GetInterface();
    table.Init = [](const char* path) -> int64_t { return TestBrowserRecord(std::string("CefInit ") + path); };
    return &table;
}
const WebBrowserTaskInterface kCefTasks = {};
const WebBrowserTaskInterface* CEFWebBrowserTask_GetInterface() { return &kCefTasks; }

namespace {

namespace fs = std::filesystem;

const fs::path kFramework = fs::read_symlink("/proc/self/exe").parent_path() / "Contents" / "Frameworks" /
                            "Chromium Embedded Framework.framework";

class HostWebBrowserTest : public LogLinesTest {
  protected:
    void SetUp() override {
        LogLinesTest::SetUp();
        TestBrowser() = TestBrowserState();
        GlobalWebBrowserInterface = nullptr;
        GlobalWebBrowserTaskInterface = nullptr;
    }
    void TearDown() override {
        WebBrowser_Remove();
        GlobalWebBrowserTaskInterface = nullptr;
        fs::remove_all(kFramework.parent_path().parent_path());
        LogLinesTest::TearDown();
    }
    bool Logged(const std::string& line) {
        for (const auto& text : printed)
            if (text.find(line) != std::string::npos) return true;
        return false;
    }
};

TEST_F(HostWebBrowserTest, ChoiceWithoutTheCefLibrary) {
    const std::string library = (kFramework / "Chromium Embedded Framework").string();
    const struct {
        int32_t cef, branch, fallback;
        bool native;
        int64_t result;
        std::string init;  // the Init call the chosen table receives, empty for none
        const char* line;
    } cases[] = {
        {0, 5414, 0, true, 1, "Init ", nullptr},
        {1, 5414, 1, true, 1, "Init " + library, nullptr},
        {1, 3770, 1, true, 1, "Init " + library, nullptr},
        {1, 5414, 0, true, 0, "", "Unrecognized CEF version (0.0.0.0 / 5414)\n"},
        {1, 3770, 0, true, 0, "", "Unrecognized CEF version (0.0.0.0 / 3770)\n"},
        {0, 5414, 1, false, 0, "", "Native webview failed to load\n"},
        {1, 5414, 1, false, 0, "", "Native webview failed to load\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.cef) + " " + std::to_string(c.branch) + " " + std::to_string(c.fallback));
        TestBrowser().Calls.clear();
        printed.clear();
        EXPECT_EQ(Host_WebBrowserInit(c.cef, c.branch, c.fallback, c.native ? TestBrowser_GetInterface() : nullptr),
                  c.result);
        EXPECT_EQ(TestBrowser().Calls, c.init.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.init});
        if (c.line) {
            EXPECT_TRUE(Logged(c.line)) << c.line;
        }
        // The native back end's tasks run on our own main loop, never through the CEF table.
        EXPECT_EQ(GlobalWebBrowserTaskInterface, c.result ? HostWebBrowserTask_GetInterface() : nullptr);
        EXPECT_EQ(GlobalWebBrowserInterface, c.result ? TestBrowser_GetInterface() : nullptr);
        WebBrowser_Remove();
        GlobalWebBrowserTaskInterface = nullptr;
    }
}

TEST_F(HostWebBrowserTest, CefChosenOnlyWhenItsLibraryIsThere) {
    fs::create_directories(kFramework);
    std::ofstream(kFramework / "Chromium Embedded Framework") << "not really";
    // Without a readable version the configured branch decides.
    ASSERT_EQ(Host_WebBrowserInit(1, 5414, 0, TestBrowser_GetInterface()), 1);
    EXPECT_EQ(GlobalWebBrowserInterface, CEF5414CEFWebBrowser_GetInterface());
    EXPECT_EQ(GlobalWebBrowserTaskInterface, &kCefTasks);
    EXPECT_EQ(TestBrowser().Calls,
              std::vector<std::string>{"CefInit " + (kFramework / "Chromium Embedded Framework").string()});
    WebBrowser_Remove();
    GlobalWebBrowserTaskInterface = nullptr;
    ASSERT_EQ(Host_WebBrowserInit(1, 3770, 1, TestBrowser_GetInterface()), 1);
    EXPECT_EQ(GlobalWebBrowserInterface, TestBrowser_GetInterface());
}

TEST_F(HostWebBrowserTest, FailedStartInstallsNoTasks) {
    TestBrowser().InitResult = 0;
    EXPECT_EQ(Host_WebBrowserInit(0, 0, 0, TestBrowser_GetInterface()), 0);
    EXPECT_EQ(GlobalWebBrowserTaskInterface, nullptr);
}

// ---- Main-loop tasks ---------------------------------------------------------------------------

std::vector<std::string> g_ran;
struct Payload {
    char Name[8];
};
void Execute(void* data) { g_ran.push_back(std::string("run ") + static_cast<Payload*>(data)->Name); }
void Delete(void* data) { g_ran.push_back(std::string("delete ") + static_cast<Payload*>(data)->Name); }

void* NewTask(const char* name) {
    void* task = nullptr;
    EXPECT_EQ(HostWebBrowserTask_GetInterface()->CreateWithSize(&task, sizeof(Payload), Execute, Delete), 1);
    snprintf(static_cast<Payload*>(task)->Name, sizeof(Payload::Name), "%s", name);
    return task;
}

class MainLoopTaskTest : public ::testing::Test {
  protected:
    const WebBrowserTaskInterface* tasks = HostWebBrowserTask_GetInterface();
    void SetUp() override {
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        g_ran.clear();
    }
    void TearDown() override {
        EventQueue_Remove();
        Thread_Remove();
    }
};

TEST_F(MainLoopTaskTest, PostedRunsOnALaterPassDelayedAfterItsDelay) {
    void* now = NewTask("now");
    void* later = NewTask("later");
    ASSERT_EQ(tasks->Post(now), 1);
    // Taken before the post: the delay runs from inside it.
    const auto posted = std::chrono::steady_clock::now();
    ASSERT_EQ(tasks->PostDelayed(later, 60), 1);
    tasks->Release(now);
    tasks->Release(later);
    EXPECT_TRUE(g_ran.empty());
    EventQueue_Flush(nullptr);
    EXPECT_EQ(g_ran, std::vector<std::string>{"run now"});
    const auto deadline = posted + std::chrono::seconds(10);
    while (g_ran.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EventQueue_Flush(nullptr);
    }
    EXPECT_EQ(g_ran, (std::vector<std::string>{"run now", "run later"}));
    // The queue's clock counts whole milliseconds, and the delay runs from the one the post fell in:
    // up to a millisecond of it may have passed before the post.
    EXPECT_GE(std::chrono::steady_clock::now() - posted, std::chrono::milliseconds(59));
}

TEST_F(MainLoopTaskTest, ReleasedUnrunCallsDeleteOnce) {
    void* task = NewTask("idle");
    EXPECT_EQ(tasks->AddRef(task), task);
    tasks->Release(task);
    EXPECT_TRUE(g_ran.empty());
    tasks->Release(task);
    EXPECT_EQ(g_ran, std::vector<std::string>{"delete idle"});
    // A task whose event the queue discards unrun (the queue ends first) is deleted, not run.
    void* dropped = NewTask("drop");
    ASSERT_EQ(tasks->Post(dropped), 1);
    tasks->Release(dropped);
    EventQueue_Remove();
    EXPECT_EQ(g_ran, (std::vector<std::string>{"delete idle", "delete drop"}));
    ASSERT_EQ(EventQueue_Init(), 1);
}

} // namespace
