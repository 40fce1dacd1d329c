// The page's dialogs without a display: type words and buttons in both directions, chooser
// answers, the dialog thread's order and a deletion with requests still waiting.
#include "skin/skin_window_dialog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/runtime/class.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "skin/skin_window_internal.h"
#include "tests/skin/test_browser.h"
#include "tests/skin/test_window_controls.h"
#include "tests/support/dictionary_text.h"

namespace {

class DialogEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_EQ(Class_Init(), 1);
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(WebBrowser_Init(TestBrowser_GetInterface(), ""), 1);
        NativeSkinWindow_SetInterface(TestNative_GetInterface());
    }
    void TearDown() override {
        WebBrowser_Remove();
        EventQueue_Remove();
        Thread_Remove();
        Class_Remove();
    }
};
::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new DialogEnvironment);

constexpr const char* kAnswers[] = {"MessageBoxResponse", "BrowseForFileResponse", "BrowseForFolderResponse"};

class SkinWindowDialogTest : public ::testing::Test {
  protected:
    SkinWindow* window = nullptr;
    SkinWindowDialog* dialog = nullptr;
    std::vector<std::string> answers;  // "Name {information}"

    void SetUp() override {
        ASSERT_EQ(NotificationCenter_Init(), 1);
        TestControls() = TestControlsState();
        SkinWindowDialog_SetNativeInterface(TestDialogs_GetInterface());
        ASSERT_EQ(SkinWindow_Create(&window), 1);
        ASSERT_EQ(SkinWindowDialog_Create(&dialog), 1);
        SkinWindowDialog_SetSkinWindowHandle(dialog, window);
        for (const char* name : kAnswers)
            NotificationCenter_AddInstanceObserver("SkinWindow", name, window->Header.InstanceId, this, Record);
    }
    void TearDown() override {
        if (dialog) SkinWindowDialog_Release(&dialog);
        for (const char* name : kAnswers)
            NotificationCenter_RemoveInstanceObserver("SkinWindow", name, window->Header.InstanceId, this, Record);
        NotificationCenter_Process();
        SkinWindow_Release(&window);
        NotificationCenter_Remove();
        SkinWindowDialog_SetNativeInterface(nullptr);
    }
    static int64_t Record(void* user, const char*, const char* name, const char*, Dictionary* info) {
        static_cast<SkinWindowDialogTest*>(user)->answers.push_back(std::string(name) + " {" + DictionaryAsJson(info) + "}");
        return 1;
    }
    // Delivery passes until the count of answers is reached, for at most ten seconds.
    bool AwaitAnswers(size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (answers.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            NotificationCenter_Process();
        }
        return answers.size() == count;
    }
};

TEST_F(SkinWindowDialogTest, MessageBoxTypesAndButtons) {
    const struct {
        uint32_t type;
        int64_t pressed;   // platform button
        uint32_t shown;    // platform type
        int32_t result;    // page's bit
    } cases[] = {
        {3, 1, 1, 1},  {3, 2, 1, 2},    {12, 6, 4, 4},  {12, 7, 4, 8},  {0, 1, 0, 1},
        {14, 2, 3, 2}, {13, 1, 0, 1},   {15, 2, 1, 2},  {4, 1, 0, 1},   {17, 1, 32, 1},
        {36, 1, 48, 1}, {76, 7, 20, 8}, {112, 1, 32, 1}, {0, 99, 0, 0},
    };
    for (const auto& c : cases) {
        TestControls().Dialogs.clear();
        answers.clear();
        TestControls().MessageBoxAnswer = c.pressed;
        ASSERT_EQ(SkinWindowDialog_MessageBox(dialog, "Go on?", "Setup", c.type), 1);
        ASSERT_EQ(TestControls().Dialogs.size(), 1u);
        EXPECT_EQ(TestControls().Dialogs[0], "box|Go on?|Setup|" + std::to_string(c.shown)) << c.type;
        EXPECT_TRUE(answers.empty()) << "queued, not fired inside the call";
        NotificationCenter_Process();
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0], "MessageBoxResponse {\"successful\":true,\"result\":" + std::to_string(c.result) + "}")
            << c.type << " " << c.pressed;
    }
}

TEST_F(SkinWindowDialogTest, ChooserAnswers) {
    ASSERT_EQ(SkinWindowDialog_BrowseForFile(dialog, "Pick", "Text", "*.txt", "/start/", "a.txt"), 1);
    ASSERT_EQ(answers.size(), 1u) << "the file chooser answers at once";
    EXPECT_EQ(answers[0], R"(BrowseForFileResponse {"successful":true,"path":"/home/u/notes.txt"})");
    EXPECT_EQ(TestControls().Dialogs[0], "file|Pick|/start/");
    SkinWindowDialog_BrowseForFolder(dialog, "Where", "/opt");
    NotificationCenter_Process();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[1], R"(BrowseForFolderResponse {"successful":true,"path":"/home/u/"})");
    EXPECT_EQ(TestControls().Dialogs[1], "folder|Where|/opt");

    answers.clear();
    TestControls().ChooserAnswer = 0;
    SkinWindowDialog_BrowseForFile(dialog, "Pick", "", "", "", "");
    SkinWindowDialog_BrowseForFolder(dialog, "Where", "");
    // A chooser that answers success with nothing chosen is no success either.
    TestControls().ChooserAnswer = 1;
    TestControls().ChosenDirectory = TestControls().ChosenFile = "";
    SkinWindowDialog_BrowseForFolder(dialog, "Where", "");
    NotificationCenter_Process();
    EXPECT_EQ(answers, (std::vector<std::string>{R"(BrowseForFileResponse {"successful":false,"path":""})",
                                                  R"(BrowseForFolderResponse {"successful":false,"path":""})",
                                                  R"(BrowseForFolderResponse {"successful":false,"path":""})"}));

    // A folder and a name that each fit but together do not: cut, the path would name another file.
    answers.clear();
    TestControls().ChosenDirectory = "/" + std::string(600, 'd') + "/";
    TestControls().ChosenFile = std::string(600, 'f');
    SkinWindowDialog_BrowseForFile(dialog, "Pick", "", "", "", "");
    EXPECT_EQ(answers, (std::vector<std::string>{R"(BrowseForFileResponse {"successful":false,"path":""})"}));
}

// A start path up to the answer's length reaches the chooser whole; a longer one is left out, never
// cut into another folder (which the folder chooser would create).
TEST_F(SkinWindowDialogTest, StartPathsAreWholeOrLeftOut) {
    const std::string fits = "/" + std::string(1000, 's') + "/", over = "/" + std::string(1100, 's') + "/";
    SkinWindowDialog_BrowseForFolder(dialog, "Where", fits.c_str());
    SkinWindowDialog_BrowseForFile(dialog, "Pick", "", "", fits.c_str(), "");
    SkinWindowDialog_BrowseForFolder(dialog, "Where", over.c_str());
    SkinWindowDialog_BrowseForFile(dialog, "Pick", "", "", over.c_str(), "");
    EXPECT_EQ(TestControls().Dialogs,
              (std::vector<std::string>{"folder|Where|" + fits, "file|Pick|" + fits, "folder|Where|", "file|Pick|"}));
}

TEST_F(SkinWindowDialogTest, LongTextsAreCut) {
    const std::string text(2000, 'x');
    SkinWindowDialog_MessageBox(dialog, text.c_str(), text.c_str(), 0);
    EXPECT_EQ(TestControls().Dialogs[0], "box|" + text.substr(0, 511) + "|" + text.substr(0, 511) + "|0");
}

TEST_F(SkinWindowDialogTest, DialogThreadRunsRequestsInOrder) {
    SkinWindowDialog_SetUseThread(dialog, 1);
    for (uint32_t type : {0u, 3u, 12u}) SkinWindowDialog_MessageBox(dialog, "t", "c", type);
    ASSERT_TRUE(AwaitAnswers(3));
    EXPECT_EQ(TestControls().Dialogs, (std::vector<std::string>{"box|t|c|0", "box|t|c|1", "box|t|c|4"}));
}

// The user keeps the first box open while the object goes: the waiting requests are dropped.
std::atomic<int> g_open{0};
std::atomic<bool> g_release{false};

TEST_F(SkinWindowDialogTest, DeleteDropsWaitingRequests) {
    static const SkinWindowDialogNativeInterface blocking = {
        [](void*, const char*, const char*, uint32_t) -> int64_t {
            g_open++;
            while (!g_release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return 1;
        },
        TestDialogs_GetInterface()->GetNewDirectory,
        TestDialogs_GetInterface()->GetLoadFilename,
    };
    SkinWindowDialog_SetNativeInterface(&blocking);
    SkinWindowDialog_SetUseThread(dialog, 1);
    for (int i = 0; i < 4; i++) SkinWindowDialog_MessageBox(dialog, "t", "c", 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_open == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(g_open, 1);
    std::thread user([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        g_release = true;
    });
    ASSERT_EQ(SkinWindowDialog_Release(&dialog), 1);
    user.join();
    EXPECT_EQ(g_open, 1);
    NotificationCenter_Process();
    EXPECT_LE(answers.size(), 1u);
}

} // namespace
